// Packed layouts of the shared records as they appear in history files, snapshots and replies.
// All numbers little-endian, floats IEEE 754 single, no padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"
#include "wire/reply_fields.h"
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

// The stored records as field tables (see wire/reply_fields.h), held to the offsets above. The
// in-memory links (ConnectionChain, Nic; Station in the rings: a StationRef) are written as numbers.
namespace stored_fields {
inline constexpr auto kStation = std::to_array<Field>({
    {"ConnectionChain", station_off::ConnectionChain, 4, FieldKind::kU32},
    {"IsSelf", station_off::IsSelf, 4, FieldKind::kU32},
    {"IpAddress", station_off::IpAddress, 4, FieldKind::kRaw},
    {"AddressLabel", station_off::AddressLabel, 16, FieldKind::kText},
    {"ProtocolLabel", station_off::ProtocolLabel, 29, FieldKind::kText},
    {"Name", station_off::Name, 33, FieldKind::kText},
    {"LastSequence", station_off::LastSequence, 4, FieldKind::kU32},
    {"FirstSeen", station_off::FirstSeen, 4, FieldKind::kU32},
    {"LastSeen", station_off::LastSeen, 4, FieldKind::kU32},
    {"BytesSent", station_off::BytesSent, 4, FieldKind::kF32},
    {"FramesSent", station_off::FramesSent, 4, FieldKind::kU32},
    {"GroupFramesSent", station_off::GroupFramesSent, 4, FieldKind::kU32},
    {"EventFramesSent", station_off::EventFramesSent, 4, FieldKind::kU32},
    {"BytesReceived", station_off::BytesReceived, 4, FieldKind::kF32},
    {"FramesReceived", station_off::FramesReceived, 4, FieldKind::kU32},
    {"Role", station_off::Role, 8, FieldKind::kText},
    {"Nic", station_off::Nic, 4, FieldKind::kU32},
    {"", station_off::Reserved, 20, FieldKind::kPad},
});
inline constexpr auto kFrameEntry = std::to_array<Field>({
    {"Complete", frame_off::Complete, 1, FieldKind::kU8},
    {"Time", frame_off::Time, 4, FieldKind::kU32},
    {"Sequence", frame_off::Sequence, 4, FieldKind::kU32},
    {"Length", frame_off::Length, 4, FieldKind::kU32},
    {"SrcLabel", frame_off::SrcLabel, 16, FieldKind::kText},
    {"ProtoLabel", frame_off::ProtoLabel, 29, FieldKind::kText},
    {"Station", frame_off::Station, 4, FieldKind::kU32},
    {"Direction", frame_off::Direction, 4, FieldKind::kU32},
    {"Event", frame_off::Event, 4, FieldKind::kU32},
    {"Data", frame_off::Data, kFrameDataBytes, FieldKind::kRaw},
});
inline constexpr auto kGroupFrameEntry = std::to_array<Field>({
    {"Time", group_off::Time, 4, FieldKind::kU32},
    {"Sequence", group_off::Sequence, 4, FieldKind::kU32},
    {"Station", group_off::Station, 4, FieldKind::kU32},
    {"DestIp", group_off::DestIp, 4, FieldKind::kRaw},
    {"SrcLabel", group_off::SrcLabel, 16, FieldKind::kText},
    {"ProtoLabel", group_off::ProtoLabel, 29, FieldKind::kText},
    {"Data", group_off::Data, kFrameDataBytes, FieldKind::kRaw},
});
inline constexpr auto kTraceHead = std::to_array<Field>({
    {"Tag", trace_off::Tag, 4, FieldKind::kTag},
    {"Time", trace_off::Time, 4, FieldKind::kU32},
});
inline constexpr auto kTrace = Join(kTraceHead, reply_fields::kCounts);
inline constexpr auto kStats = std::to_array<Field>({
    {"Tag", stats_off::Tag, 4, FieldKind::kTag},
    {"AdapterIndex", stats_off::AdapterIndex, 4, FieldKind::kU32},
    {"Station", stats_off::Station, kStationRecordSize, FieldKind::kRaw},  // as kStation lays it out
});
static_assert(TilesRecord(kStation, kStationRecordSize));
static_assert(TilesRecord(kFrameEntry, kFrameEntrySize));
static_assert(TilesRecord(kGroupFrameEntry, kGroupFrameEntrySize));
static_assert(TilesRecord(kTrace, kTraceRecordSize));
static_assert(TilesRecord(kStats, kStatsRecordSize));
}  // namespace stored_fields

void SerializeTraceRecord(const TraceRecord& r, uint8_t (&out)[kTraceRecordSize]);
// Returns false when the bytes do not carry the "TET " tag.
bool ParseTraceRecord(const uint8_t (&in)[kTraceRecordSize], TraceRecord& r);

void SerializeStatsRecord(uint32_t adapter_index, const StationRecord& s,
                          uint8_t (&out)[kStatsRecordSize]);

}  // namespace netward
