#include "remote/detail_records.h"

#include <cstring>

#include "accounting/stations.h"
#include "decoder/decoded_line.h"
#include "decoder/decoder.h"
#include "decoder/service_names.h"

namespace netward {

bool CopySlot(const FrameEntry& e, SlotCopy& c) {
  return ReadSlot(e, [&] {
    c.time = RelaxedLoad(e.Time);
    c.sequence = RelaxedLoad(e.Sequence);
    c.length = RelaxedLoad(e.Length);
    c.direction = RelaxedLoad(e.Direction);
    c.event = RelaxedLoad(e.Event);
    c.station = RelaxedLoad(e.Station);
    e.SrcLabel.Get(c.src_label);
    e.ProtoLabel.Get(c.proto_label);
    SharedCopyOut(c.data, e.Data, sizeof c.data);
  });
}

bool CopyGroupSlot(const GroupFrameEntry& e, GroupSlotCopy& c) {
  return ReadSlot(e, [&] {
    c.time = RelaxedLoad(e.Time);
    c.sequence = RelaxedLoad(e.Sequence);
    c.station = RelaxedLoad(e.Station);
    SharedCopyOut(c.dest_ip, e.DestIp, sizeof c.dest_ip);
    e.SrcLabel.Get(c.src_label);
    e.ProtoLabel.Get(c.proto_label);
    SharedCopyOut(c.data, e.Data, sizeof c.data);
  });
}

const char* NicRoleLabels::AddressRoleLabel(uint32_t adapter_number, const uint8_t ip[4]) const {
  const int nics = g_.NicCount.load(std::memory_order_acquire);
  if (adapter_number == 0 || adapter_number > uint32_t(nics) || adapter_number > uint32_t(kMaxNics)) return "";
  return netward::AddressRoleLabel(*g_.Nics[adapter_number - 1], ip);
}

void MakeDecoderContext(const NicArea& nic, const NicRoleLabels& roles, decoder::DecoderContext& ctx) {
  static const decoder::SystemServiceNames kServices;  // read once: no service look-ups per line
  SharedCopyOut(ctx.own_address, nic.OwnAddress, 6);
  ctx.roles = &roles;
  ctx.services = &kServices;
}

void SourceRoleAndName(const NicArea& nic, const StationRecord* station, const char* src_label,
                       const char* proto_label, char (&role)[8], char (&name)[33]) {
  memset(role, 0, sizeof role);
  if (station != nullptr) {
    station->Role.Get(role);
    station->Name.Get(name);
  } else {
    LookupNetbiosName(&nic, src_label, proto_label, name, sizeof name);
  }
}

void AppendDetailRecords(const GlobalArea& g, bool event_log, uint32_t newer_than, Body& body) {
  const NicRoleLabels roles(g);
  int nics = g.NicCount.load(std::memory_order_acquire);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    const NicArea* nic = g.Nics[i];
    const FrameEntry* ring = event_log ? nic->EventLog : nic->RecentFrames;
    int slots = event_log ? kEventLogEntries : kRecentFrames;
    decoder::DecoderContext ctx;
    MakeDecoderContext(*nic, roles, ctx);
    for (int s = 0; s < slots; ++s) {
      if (RelaxedLoad(ring[s].Sequence) == 0) break;
      SlotCopy c;
      if (!CopySlot(ring[s], c) || c.sequence <= newer_than) continue;
      char role[8], name[33];
      SourceRoleAndName(*nic, c.station, c.src_label, c.proto_label, role, name);
      name[32] = 0;  // the column holds 32 bytes
      decoder::LineHeader h;
      h.adapter_number = static_cast<uint32_t>(i + 1);
      h.sequence = c.sequence;
      h.length = c.length;
      h.time = c.time;
      h.direction = c.direction;
      h.event = c.event;
      h.media_type = static_cast<uint32_t>(RelaxedLoad(nic->MediaType));
      h.source_label = c.src_label;
      h.proto_label = c.proto_label;
      h.role = role;
      h.name = name;
      decoder::DecodedLine line;
      decoder::PrepareDecodedLine(line, h);
      decoder::DecodeStoredFrame(line, c.data, c.length, RelaxedLoad(nic->MediaType), ctx);
      uint8_t rec[kDetlRecordSize];
      decoder::SerializeDecodedLine(line, rec);
      AppendRecord(body, rec);
    }
  }
}

}  // namespace netward
