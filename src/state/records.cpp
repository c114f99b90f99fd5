#include "state/records.h"

#include <cstring>

#include "wire/byte_order.h"

namespace netward {

template <size_t N>
static void PutText(uint8_t* p, const Text<N>& t) {
  SharedCopyOut(p, t.bytes, N);
}

void SerializeStationRecord(const StationRecord& s, uint8_t (&out)[kStationRecordSize]) {
  namespace o = station_off;
  memset(out, 0, sizeof out);
  PutU32Le(out + o::IsSelf, RelaxedLoad(s.IsSelf));
  SharedCopyOut(out + o::IpAddress, s.IpAddress, 4);
  PutText(out + o::AddressLabel, s.AddressLabel);
  PutText(out + o::ProtocolLabel, s.ProtocolLabel);
  PutText(out + o::Name, s.Name);
  PutU32Le(out + o::LastSequence, RelaxedLoad(s.LastSequence));
  PutU32Le(out + o::FirstSeen, RelaxedLoad(s.FirstSeen));
  PutU32Le(out + o::LastSeen, RelaxedLoad(s.LastSeen));
  PutF32Le(out + o::BytesSent, RelaxedLoad(s.BytesSent));
  PutU32Le(out + o::FramesSent, RelaxedLoad(s.FramesSent));
  PutU32Le(out + o::GroupFramesSent, RelaxedLoad(s.GroupFramesSent));
  PutU32Le(out + o::EventFramesSent, RelaxedLoad(s.EventFramesSent));
  PutF32Le(out + o::BytesReceived, RelaxedLoad(s.BytesReceived));
  PutU32Le(out + o::FramesReceived, RelaxedLoad(s.FramesReceived));
  PutText(out + o::Role, s.Role);
}

void SerializeFrameEntry(const FrameEntry& f, uint32_t station_ref, uint8_t (&out)[kFrameEntrySize]) {
  namespace o = frame_off;
  out[o::Complete] = f.Complete.load(std::memory_order_acquire);
  PutU32Le(out + o::Time, RelaxedLoad(f.Time));
  PutU32Le(out + o::Sequence, RelaxedLoad(f.Sequence));
  PutU32Le(out + o::Length, RelaxedLoad(f.Length));
  PutText(out + o::SrcLabel, f.SrcLabel);
  PutText(out + o::ProtoLabel, f.ProtoLabel);
  PutU32Le(out + o::Station, station_ref);
  PutU32Le(out + o::Direction, RelaxedLoad(f.Direction));
  PutU32Le(out + o::Event, RelaxedLoad(f.Event));
  SharedCopyOut(out + o::Data, f.Data, kFrameDataBytes);
}

void SerializeGroupFrameEntry(const GroupFrameEntry& g, uint32_t station_ref,
                              uint8_t (&out)[kGroupFrameEntrySize]) {
  namespace o = group_off;
  PutU32Le(out + o::Time, RelaxedLoad(g.Time));
  PutU32Le(out + o::Sequence, RelaxedLoad(g.Sequence));
  PutU32Le(out + o::Station, station_ref);
  SharedCopyOut(out + o::DestIp, g.DestIp, 4);
  PutText(out + o::SrcLabel, g.SrcLabel);
  PutText(out + o::ProtoLabel, g.ProtoLabel);
  SharedCopyOut(out + o::Data, g.Data, kFrameDataBytes);
}

uint32_t StationRef(const StationRecord* s) {
  if (s == nullptr) return 0;
  const NicArea* nic = RelaxedLoad(s->Nic);
  if (nic == nullptr) return 0;
  return static_cast<uint32_t>(s - nic->Stations) + 1;
}

TraceRecord GainsSince(const TotalsSnapshot& now, const TotalsSnapshot& was) {
  TraceRecord r;
  r.OwnBytes = now.OwnBytes - was.OwnBytes;
  r.OwnFrames = now.OwnFrames - was.OwnFrames;
  r.OwnGroupFrames = now.OwnGroupFrames - was.OwnGroupFrames;
  r.OwnEventFrames = now.OwnEventFrames - was.OwnEventFrames;
  r.OtherBytes = now.OtherBytes - was.OtherBytes;
  r.OtherFrames = now.OtherFrames - was.OtherFrames;
  r.OtherGroupFrames = now.OtherGroupFrames - was.OtherGroupFrames;
  r.OtherEventFrames = now.OtherEventFrames - was.OtherEventFrames;
  return r;
}

void SerializeTraceRecord(const TraceRecord& r, uint8_t (&out)[kTraceRecordSize]) {
  namespace c = counts_off;
  memcpy(out + trace_off::Tag, kTraceTag, 4);
  PutU32Le(out + trace_off::Time, r.Time);
  PutF32Le(out + c::OwnBytes, r.OwnBytes);
  PutU32Le(out + c::OwnFrames, r.OwnFrames);
  PutU32Le(out + c::OwnGroupFrames, r.OwnGroupFrames);
  PutU32Le(out + c::OwnEventFrames, r.OwnEventFrames);
  PutF32Le(out + c::OtherBytes, r.OtherBytes);
  PutU32Le(out + c::OtherFrames, r.OtherFrames);
  PutU32Le(out + c::OtherGroupFrames, r.OtherGroupFrames);
  PutU32Le(out + c::OtherEventFrames, r.OtherEventFrames);
}

bool ParseTraceRecord(const uint8_t (&in)[kTraceRecordSize], TraceRecord& r) {
  namespace c = counts_off;
  if (memcmp(in + trace_off::Tag, kTraceTag, 4) != 0) return false;
  r.Time = GetU32Le(in + trace_off::Time);
  r.OwnBytes = GetF32Le(in + c::OwnBytes);
  r.OwnFrames = GetU32Le(in + c::OwnFrames);
  r.OwnGroupFrames = GetU32Le(in + c::OwnGroupFrames);
  r.OwnEventFrames = GetU32Le(in + c::OwnEventFrames);
  r.OtherBytes = GetF32Le(in + c::OtherBytes);
  r.OtherFrames = GetU32Le(in + c::OtherFrames);
  r.OtherGroupFrames = GetU32Le(in + c::OtherGroupFrames);
  r.OtherEventFrames = GetU32Le(in + c::OtherEventFrames);
  return true;
}

void SerializeStatsRecord(uint32_t adapter_index, const StationRecord& s,
                          uint8_t (&out)[kStatsRecordSize]) {
  memcpy(out + stats_off::Tag, kStatsTag, 4);
  PutU32Le(out + stats_off::AdapterIndex, adapter_index);
  uint8_t body[kStationRecordSize];
  SerializeStationRecord(s, body);
  memcpy(out + stats_off::Station, body, sizeof body);
}

}  // namespace netward
