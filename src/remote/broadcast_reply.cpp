#include "remote/broadcast_reply.h"
#include "remote/detail_records.h"

#include <cstring>
#include <vector>

#include "wire/byte_order.h"
#include "decoder/decoded_line.h"
#include "decoder/decoder.h"
#include "platform/clock.h"

namespace netward {

namespace {

constexpr size_t kMaxEntries = size_t(kMaxNics) * kGroupFrames;  // 18,000
constexpr size_t kIndexSlots = 32768;                           // power of two above kMaxEntries


uint64_t Fnv1a(const uint8_t* p, size_t n, uint64_t h = 1469598103934665603ull) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

void PutTimeText(uint8_t* p, uint32_t t) {
  char text[9];
  platform::ClockText(t, text);
  memcpy(p, text, 9);
}

void AddCount(uint8_t* p) { PutU32Le(p, GetU32Le(p) + 1); }

}  // namespace

void BuildBroadcastReply(const GlobalArea& g, bool sent, bool low, uint32_t now, Body& body) {
  body.assign(kBhdrSize + kBentSize * kMaxEntries, 0);
  uint8_t* header = body.data();
  memcpy(header, "BHDR", 4);
  PutTimeText(header + bhdr_off::TimeText, now);
  PutTimeText(header + bhdr_off::WindowStart, now - kBroadcastWindowSeconds);
  const uint32_t window_start = now - kBroadcastWindowSeconds;
  const uint32_t recent_start = now - kRecentSeconds;

  // Entries by hash of their group key; -1 = free. Each group has one entry, so the first match is
  // the only one, and creation order is kept by the entries' positions.
  std::vector<int32_t> index(kIndexSlots, -1);
  uint32_t n = 0;
  auto group_key = [&](const uint8_t* entry, const uint8_t*& a, size_t& alen, const uint8_t*& b, size_t& blen) {
    if (sent) {
      a = entry + bent_off::GroupText, alen = 100, b = nullptr, blen = 0;
    } else {
      a = entry + bent_off::AddressLabel, alen = 16, b = entry + bent_off::ProtocolLabel, blen = 28;
    }
  };

  const NicRoleLabels roles(g);
  int nics = g.NicCount.load(std::memory_order_acquire);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    uint32_t previous_sequence = g.FrameSequence.load(std::memory_order_relaxed);
    const NicArea* nic = g.Nics[i];
    const int32_t media = RelaxedLoad(nic->MediaType);
    decoder::DecoderContext ctx;
    MakeDecoderContext(*nic, roles, ctx);
    const uint32_t count = RelaxedLoad(nic->GroupFrameCount);
    const uint32_t stored = count < uint32_t(kGroupFrames) ? count : uint32_t(kGroupFrames);
    for (uint32_t k = 0; k < stored; ++k) {
      GroupSlotCopy c;
      // A slot being rewritten, or rewritten while it was copied, is one a capture thread has wrapped
      // round the ring onto: this slot and every older one are past the ring's end now.
      if (!CopyGroupSlot(nic->GroupFrames[(count - 1 - k) % kGroupFrames], c)) break;
      const uint32_t sequence = c.sequence;
      const uint32_t time = c.time;
      if (sequence == 0 || sequence > previous_sequence || time < window_start) break;
      previous_sequence = sequence;
      const char* src_label = c.src_label;
      const char* proto_label = c.proto_label;
      const StationRecord* station = c.station;
      decoder::DecodedLine line;
      line.AdapterNumber = static_cast<uint32_t>(i + 1);
      bool decoded = false;
      auto decode = [&] {
        if (media == 0 || media == 1) decoder::DecodeFrame(line, c.data, sizeof c.data, media, ctx);
        decoded = true;
      };
      if (sent) {
        if (src_label[0] != '*') continue;
        decode();
      }
      // The key of this frame, laid out as in an entry.
      uint8_t probe[kBentSize] = {};
      memcpy(probe + bent_off::AddressLabel, src_label, 16);
      memcpy(probe + bent_off::ProtocolLabel, proto_label, 28);
      if (sent) memcpy(probe + bent_off::GroupText, low ? line.SummaryText : line.ProtocolText, 100);
      const uint8_t *a, *b;
      size_t alen, blen;
      group_key(probe, a, alen, b, blen);
      uint64_t h = Fnv1a(b, blen, Fnv1a(a, alen));
      size_t slot = h & (kIndexSlots - 1);
      uint8_t* entry = nullptr;
      while (index[slot] >= 0) {
        uint8_t* candidate = body.data() + kBhdrSize + size_t(index[slot]) * kBentSize;
        if (memcmp(candidate + (a - probe), a, alen) == 0 && (blen == 0 || memcmp(candidate + (b - probe), b, blen) == 0)) {
          entry = candidate;
          break;
        }
        slot = (slot + 1) & (kIndexSlots - 1);
      }
      if (entry == nullptr) {
        entry = body.data() + kBhdrSize + size_t(n) * kBentSize;
        index[slot] = static_cast<int32_t>(n++);
        memcpy(entry, "BENT", 4);
        PutU32Le(entry + bent_off::Adapter, static_cast<uint32_t>(i + 1));
        memcpy(entry + bent_off::AddressLabel, src_label, 16);
        memcpy(entry + bent_off::ProtocolLabel, proto_label, 28);
        char role[8], name[33];
        SourceRoleAndName(*nic, station, src_label, proto_label, role, name);
        memcpy(entry + bent_off::Role, role, 8);
        memcpy(entry + bent_off::Name, name, 32);
        PutU32Le(entry + bent_off::Sequence, sequence);
        PutTimeText(entry + bent_off::TimeText, time);
        if (!decoded) decode();
        memcpy(entry + bent_off::GroupText, low ? line.SummaryText : line.ProtocolText, 100);
        memcpy(entry + bent_off::Destination, line.DestinationText, 28);
      }
      AddCount(header + bhdr_off::GroupFrames);
      AddCount(entry + bent_off::WindowFrames);
      if (time >= recent_start) {
        AddCount(header + bhdr_off::RecentFrames);
        AddCount(entry + bent_off::RecentFrames);
      }
    }
  }
  PutU32Le(header + bhdr_off::EntryCount, n);
  body.resize(kBhdrSize + kBentSize * n);
}

}  // namespace netward
