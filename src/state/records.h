// Packed layouts of the shared records as they appear in history files, snapshots and replies.
// All numbers little-endian, floats IEEE 754 single, no padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"
#include "wire/reply_layout.h"

namespace netward {

inline constexpr size_t kStationRecordSize = 158;
inline constexpr size_t kFrameEntrySize = 326;
inline constexpr size_t kGroupFrameEntrySize = 317;
inline constexpr size_t kTraceRecordSize = 40;
inline constexpr size_t kStatsRecordSize = 166;

// Byte offsets inside the 158-byte StationRecord.
namespace station_off {
inline constexpr size_t ConnectionChain = 0, IsSelf = 4, IpAddress = 8, AddressLabel = 12,
                        ProtocolLabel = 28, Name = 57, LastSequence = 90, FirstSeen = 94,
                        LastSeen = 98, BytesSent = 102, FramesSent = 106, GroupFramesSent = 110,
                        EventFramesSent = 114, BytesReceived = 118, FramesReceived = 122, Role = 126,
                        Nic = 134, Reserved = 138, End = 158;
}
static_assert(station_off::End == kStationRecordSize);

namespace frame_off {
inline constexpr size_t Complete = 0, Time = 1, Sequence = 5, Length = 9, SrcLabel = 13,
                        ProtoLabel = 29, Station = 58, Direction = 62, Event = 66, Data = 70,
                        End = 326;
}
static_assert(frame_off::End == kFrameEntrySize);
static_assert(frame_off::End - frame_off::Data == kFrameDataBytes);

namespace group_off {
inline constexpr size_t Time = 0, Sequence = 4, Station = 8, DestIp = 12, SrcLabel = 16,
                        ProtoLabel = 32, Data = 61, End = 317;
}
static_assert(group_off::End == kGroupFrameEntrySize);

// The in-memory links (ConnectionChain, Nic) are written as zero: they mean nothing outside the
// process.
void SerializeStationRecord(const StationRecord& s, uint8_t (&out)[kStationRecordSize]);

// `station_ref` is the 32-bit value written for the Station link (0 for none).
void SerializeFrameEntry(const FrameEntry& f, uint32_t station_ref, uint8_t (&out)[kFrameEntrySize]);
void SerializeGroupFrameEntry(const GroupFrameEntry& g, uint32_t station_ref,
                              uint8_t (&out)[kGroupFrameEntrySize]);

// 1-based index of `s` in its adapter's station table, 0 for null: a stable stand-in for the
// pointer in records that leave the process.
uint32_t StationRef(const StationRecord* s);

// Trace record: the eight gains of one ten-minute period.
struct TraceRecord {
  uint32_t Time = 0;
  float OwnBytes = 0;
  uint32_t OwnFrames = 0;
  uint32_t OwnGroupFrames = 0;
  uint32_t OwnEventFrames = 0;
  float OtherBytes = 0;
  uint32_t OtherFrames = 0;
  uint32_t OtherGroupFrames = 0;
  uint32_t OtherEventFrames = 0;
};
// The eight gains from `was` to `now` (time left 0); byte totals subtract as floats.
TraceRecord GainsSince(const TotalsSnapshot& now, const TotalsSnapshot& was);

inline constexpr char kTraceTag[4] = {'T', 'E', 'T', ' '};
inline constexpr char kStatsTag[4] = {'T', 'E', 'S', '1'};

// A trace history record: "TET ", the period's end time, then the counters as the "TOT " and
// "TET " replies carry them (counts_off).
namespace trace_off {
inline constexpr size_t Tag = 0, Time = 4, Counts = 8, End = 40;
}
static_assert(trace_off::End == kTraceRecordSize && trace_off::Counts == counts_off::OwnBytes &&
              counts_off::End == trace_off::End);
// A statistics history record: "TES1", the 0-based adapter index, the station as stored.
namespace stats_off {
inline constexpr size_t Tag = 0, AdapterIndex = 4, Station = 8, End = 166;
}
static_assert(stats_off::End == kStatsRecordSize && stats_off::End - stats_off::Station == kStationRecordSize);

void SerializeTraceRecord(const TraceRecord& r, uint8_t (&out)[kTraceRecordSize]);
// Returns false when the bytes do not carry the "TET " tag.
bool ParseTraceRecord(const uint8_t (&in)[kTraceRecordSize], TraceRecord& r);

void SerializeStatsRecord(uint32_t adapter_index, const StationRecord& s,
                          uint8_t (&out)[kStatsRecordSize]);

}  // namespace netward
