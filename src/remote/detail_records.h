// "DETL" records: one decoded line per stored frame of the recent-frame rings or the event logs.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"
#include "remote/reply_records.h"

namespace netward {

inline constexpr size_t kDetlRecordSize = 364;

// A stable copy of one ring slot, taken with the Complete protocol.
struct SlotCopy {
  uint32_t time, sequence, length, direction, event;
  const StationRecord* station;
  char src_label[16];
  char proto_label[29];
  uint8_t data[kFrameDataBytes];
};
// False when the slot is not complete, or was rewritten while it was copied (the copy may be torn).
bool CopySlot(const FrameEntry& e, SlotCopy& c);

// The same for a slot of the group-frame ring.
struct GroupSlotCopy {
  uint32_t time, sequence;
  const StationRecord* station;
  uint8_t dest_ip[4];
  char src_label[16];
  char proto_label[29];
  uint8_t data[kFrameDataBytes];
};
bool CopyGroupSlot(const GroupFrameEntry& e, GroupSlotCopy& c);

// For each adapter in order, walks `RecentFrames` (or `EventLog`) in slot order, stops at the
// first slot whose Sequence is 0, and appends a record for each complete slot whose Sequence is
// greater than `newer_than`. A slot rewritten while it is copied is left out.
void AppendDetailRecords(const GlobalArea& g, bool event_log, uint32_t newer_than, Body& body);

// The roles ("Self", "GW", "DNS", "WINS") the adapters' TCP/IP configurations give an address;
// adapter numbers count from 1.
class NicRoleLabels final : public decoder::AddressRoleLabels {
 public:
  explicit NicRoleLabels(const GlobalArea& g) : g_(g) {}
  const char* AddressRoleLabel(uint32_t adapter_number, const uint8_t ip[4]) const override;

 private:
  const GlobalArea& g_;
};

// Shared by the detail and broadcast builders: the decoder context of an adapter (service names
// read once per process, the roles of `roles`), and the role and name shown for a source: the
// station's own, or the name cache's for a frame without a station.
void MakeDecoderContext(const NicArea& nic, const NicRoleLabels& roles, decoder::DecoderContext& ctx);
void SourceRoleAndName(const NicArea& nic, const StationRecord* station, const char* src_label,
                       const char* proto_label, char (&role)[8], char (&name)[33]);

}  // namespace netward
