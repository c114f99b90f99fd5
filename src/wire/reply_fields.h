// Every reply record as a table of its fields: name, byte offset, size, kind. The tables are built
// from the offsets of reply_layout.h, and a compile-time check holds each one to its record: the
// fields follow each other without gap or overlap and the last ends at the record's size. Clients
// take records apart and print them from these tables; the names are the ones the JSON form shows.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "wire/reply_layout.h"

namespace netward {

enum class FieldKind : uint8_t {
  kTag,       // the record's four tag bytes
  kU8,
  kU32,       // little-endian
  kI32,       // little-endian, two's complement
  kF32,       // little-endian IEEE single
  kText,      // up to the first NUL; trailing blanks are padding
  kZeroText,  // up to the first NUL; zero-filled, so a trailing blank is part of the text
  kRaw,       // every byte, no terminator (the header's date and time, addresses, frame bytes)
  kPad,       // bytes no reader looks at
};

struct Field {
  std::string_view name;
  size_t offset;
  size_t size;
  FieldKind kind;
};

// True when the fields tile [0, end) in order.
constexpr bool TilesRecord(std::span<const Field> fields, size_t end) {
  size_t at = 0;
  for (const Field& f : fields) {
    if (f.offset != at || f.size == 0) return false;
    at += f.size;
  }
  return at == end;
}

// The field called `name`. In a constant expression a name the table lacks does not compile.
constexpr const Field& FieldNamed(std::span<const Field> fields, std::string_view name) {
  for (const Field& f : fields)
    if (f.name == name) return f;
  throw "no field of that name";
}

// The tables one after the other, as one table.
template <size_t... N>
constexpr std::array<Field, (N + ...)> Join(const std::array<Field, N>&... parts) {
  std::array<Field, (N + ...)> out{};
  size_t at = 0;
  ((std::copy(parts.begin(), parts.end(), out.begin() + at), at += N), ...);
  return out;
}

namespace reply_fields {

inline constexpr auto kHeader = std::to_array<Field>({
    {"Magic", header_off::Tag, 4, FieldKind::kTag},
    {"Version", header_off::Version, 8, FieldKind::kRaw},
    {"Date", header_off::Date, 8, FieldKind::kRaw},
    {"Time", header_off::Time, 8, FieldKind::kRaw},
    {"StatusCode", header_off::StatusCode, 4, FieldKind::kU32},
});

// The eight counters at bytes 8-39 of "TOT ", "TET " and the trace records of the history files.
inline constexpr auto kCounts = std::to_array<Field>({
    {"OwnBytes", counts_off::OwnBytes, 4, FieldKind::kF32},
    {"OwnFrames", counts_off::OwnFrames, 4, FieldKind::kU32},
    {"OwnGroupFrames", counts_off::OwnGroupFrames, 4, FieldKind::kU32},
    {"OwnEventFrames", counts_off::OwnEventFrames, 4, FieldKind::kU32},
    {"OtherBytes", counts_off::OtherBytes, 4, FieldKind::kF32},
    {"OtherFrames", counts_off::OtherFrames, 4, FieldKind::kU32},
    {"OtherGroupFrames", counts_off::OtherGroupFrames, 4, FieldKind::kU32},
    {"OtherEventFrames", counts_off::OtherEventFrames, 4, FieldKind::kU32},
});

inline constexpr auto kTotHead = std::to_array<Field>({
    {"Tag", tot_off::Tag, 4, FieldKind::kTag},
    {"FrameSequence", tot_off::FrameSequence, 4, FieldKind::kU32},
});
inline constexpr auto kTotTail = std::to_array<Field>({
    {"DayChanges", tot_off::DayChanges, 4, FieldKind::kU32},
    {"SecondsSinceOther", tot_off::SecondsSinceOther, 4, FieldKind::kI32},
    {"HostName", tot_off::HostName, 32, FieldKind::kText},
    {"AddressText", tot_off::AddressText, 20, FieldKind::kText},
});
inline constexpr auto kTot = Join(kTotHead, kCounts, kTotTail);

inline constexpr auto kTxt4 = std::to_array<Field>({
    {"Tag", txt4_off::Tag, 4, FieldKind::kTag},
    {"Text", txt4_off::Text, 4096, FieldKind::kZeroText},
});

inline constexpr auto kHist = std::to_array<Field>({
    {"Tag", hist_off::Tag, 4, FieldKind::kTag},
    {"Date", hist_off::Date, 8, FieldKind::kZeroText},
});

inline constexpr auto kTetHead = std::to_array<Field>({
    {"Tag", tet_off::Tag, 4, FieldKind::kTag},
    {"Interval", tet_off::Interval, 4, FieldKind::kU32},
});
inline constexpr auto kTet = Join(kTetHead, kCounts);

inline constexpr auto kStat = std::to_array<Field>({
    {"Tag", stat_off::Tag, 4, FieldKind::kTag},
    {"AdapterNumber", stat_off::Adapter, 4, FieldKind::kU32},
    {"AddressLabel", stat_off::AddressLabel, 16, FieldKind::kText},
    {"ProtocolLabel", stat_off::ProtocolLabel, 28, FieldKind::kText},
    {"Role", stat_off::Role, 8, FieldKind::kText},
    {"Name", stat_off::Name, 32, FieldKind::kText},
    {"LastSeen", stat_off::LastSeen, 8, FieldKind::kText},
    {"BytesSent", stat_off::BytesSent, 4, FieldKind::kF32},
    {"FramesSent", stat_off::FramesSent, 4, FieldKind::kU32},
    {"GroupFramesSent", stat_off::GroupFramesSent, 4, FieldKind::kU32},
    {"EventFramesSent", stat_off::EventFramesSent, 4, FieldKind::kU32},
    {"BytesReceived", stat_off::BytesReceived, 4, FieldKind::kF32},
    {"FramesReceived", stat_off::FramesReceived, 4, FieldKind::kU32},
});

// Times are "hh:mm:ss" and a NUL, then padding to a four-byte boundary.
inline constexpr auto kDetl = std::to_array<Field>({
    {"Tag", line_off::Tag, 4, FieldKind::kTag},
    {"AdapterNumber", line_off::AdapterNumber, 4, FieldKind::kU32},
    {"Sequence", line_off::Sequence, 4, FieldKind::kU32},
    {"Length", line_off::Length, 4, FieldKind::kU32},
    {"TimeText", line_off::TimeText, 9, FieldKind::kText},
    {"", line_off::TimePad, 3, FieldKind::kPad},
    {"SourceText", line_off::SourceText, 16, FieldKind::kText},
    {"PeerText", line_off::PeerText, 28, FieldKind::kText},
    {"RoleText", line_off::RoleText, 8, FieldKind::kText},
    {"NameText", line_off::NameText, 32, FieldKind::kText},
    {"DirectionMark", line_off::DirectionMark, 4, FieldKind::kZeroText},  // "  ->": its blanks are the mark
    {"DestinationText", line_off::DestinationText, 28, FieldKind::kText},
    {"SummaryText", line_off::SummaryText, 100, FieldKind::kText},
    {"ProtocolText", line_off::ProtocolText, 100, FieldKind::kText},
    {"EventText", line_off::EventText, 16, FieldKind::kText},
    {"MediaType", line_off::MediaType, 4, FieldKind::kU32},
});

inline constexpr auto kBhdr = std::to_array<Field>({
    {"Tag", bhdr_off::Tag, 4, FieldKind::kTag},
    {"Time", bhdr_off::TimeText, 9, FieldKind::kText},
    {"", bhdr_off::TimeText + 9, 3, FieldKind::kPad},
    {"WindowStart", bhdr_off::WindowStart, 9, FieldKind::kText},
    {"", bhdr_off::WindowStart + 9, 3, FieldKind::kPad},
    {"GroupFrames", bhdr_off::GroupFrames, 4, FieldKind::kU32},
    {"RecentFrames", bhdr_off::RecentFrames, 4, FieldKind::kU32},
    {"EntryCount", bhdr_off::EntryCount, 4, FieldKind::kU32},
});

inline constexpr auto kBent = std::to_array<Field>({
    {"Tag", bent_off::Tag, 4, FieldKind::kTag},
    {"AdapterNumber", bent_off::Adapter, 4, FieldKind::kU32},
    {"AddressLabel", bent_off::AddressLabel, 16, FieldKind::kText},
    {"ProtocolLabel", bent_off::ProtocolLabel, 28, FieldKind::kText},
    {"Role", bent_off::Role, 8, FieldKind::kText},
    {"Name", bent_off::Name, 32, FieldKind::kText},
    {"RecentFrames", bent_off::RecentFrames, 4, FieldKind::kU32},
    {"WindowFrames", bent_off::WindowFrames, 4, FieldKind::kU32},
    {"Time", bent_off::TimeText, 9, FieldKind::kText},
    {"", bent_off::TimeText + 9, 3, FieldKind::kPad},
    {"Sequence", bent_off::Sequence, 4, FieldKind::kU32},
    {"GroupText", bent_off::GroupText, 100, FieldKind::kText},
    {"DestinationText", bent_off::Destination, 28, FieldKind::kText},
});

// Zero-filled texts; the counters are decimal text, the Ethernet ten then the Token Ring nine.
inline constexpr auto kOid = std::to_array<Field>({
    {"Tag", adapter_status::kTag, 4, FieldKind::kTag},
    {"AdapterNumber", adapter_status::kNumber, 4, FieldKind::kU32},
    {"AdapterName", adapter_status::kName, 32, FieldKind::kZeroText},
    {"State", adapter_status::kState, 16, FieldKind::kZeroText},
    {"Loopback", adapter_status::kLoopback, 16, FieldKind::kZeroText},
    {"AdapterTitle", adapter_status::kTitle, 64, FieldKind::kZeroText},
    {"DriverFileText", adapter_status::kDriverFile, 32, FieldKind::kZeroText},
    {"OwnAddress", adapter_status::kAddress, 16, FieldKind::kZeroText},
    {"HardwareStatus", adapter_status::kHardware, 20, FieldKind::kZeroText},
    {"MediaConnection", adapter_status::kConnection, 20, FieldKind::kZeroText},
    {"Media", adapter_status::kMedia, 16, FieldKind::kZeroText},
    {"LinkSpeed", adapter_status::kSpeed, 16, FieldKind::kZeroText},
    {"XmitErrors", adapter_status::kXmitErrors, 16, FieldKind::kZeroText},
    {"RcvErrors", adapter_status::kRcvErrors, 16, FieldKind::kZeroText},
    {"RcvNoBuffer", adapter_status::kRcvNoBuffer, 16, FieldKind::kZeroText},
    {"RcvCrcErrors", adapter_status::kRcvCrcErrors, 16, FieldKind::kZeroText},
    {"RcvErrorAlignment", adapter_status::kEthernet + 0 * 16, 16, FieldKind::kZeroText},
    {"XmitOneCollision", adapter_status::kEthernet + 1 * 16, 16, FieldKind::kZeroText},
    {"XmitMoreCollisions", adapter_status::kEthernet + 2 * 16, 16, FieldKind::kZeroText},
    {"XmitDeferred", adapter_status::kEthernet + 3 * 16, 16, FieldKind::kZeroText},
    {"XmitMaxCollisions", adapter_status::kEthernet + 4 * 16, 16, FieldKind::kZeroText},
    {"RcvOverrun", adapter_status::kEthernet + 5 * 16, 16, FieldKind::kZeroText},
    {"XmitUnderrun", adapter_status::kEthernet + 6 * 16, 16, FieldKind::kZeroText},
    {"XmitHeartbeatFailure", adapter_status::kEthernet + 7 * 16, 16, FieldKind::kZeroText},
    {"XmitTimesCrsLost", adapter_status::kEthernet + 8 * 16, 16, FieldKind::kZeroText},
    {"XmitLateCollisions", adapter_status::kEthernet + 9 * 16, 16, FieldKind::kZeroText},
    {"LineErrors", adapter_status::kTokenRing + 0 * 16, 16, FieldKind::kZeroText},
    {"LostFrames", adapter_status::kTokenRing + 1 * 16, 16, FieldKind::kZeroText},
    {"BurstErrors", adapter_status::kTokenRing + 2 * 16, 16, FieldKind::kZeroText},
    {"AcErrors", adapter_status::kTokenRing + 3 * 16, 16, FieldKind::kZeroText},
    {"AbortDelimiters", adapter_status::kTokenRing + 4 * 16, 16, FieldKind::kZeroText},
    {"FrameCopiedErrors", adapter_status::kTokenRing + 5 * 16, 16, FieldKind::kZeroText},
    {"FrequencyErrors", adapter_status::kTokenRing + 6 * 16, 16, FieldKind::kZeroText},
    {"TokenErrors", adapter_status::kTokenRing + 7 * 16, 16, FieldKind::kZeroText},
    {"InternalErrors", adapter_status::kTokenRing + 8 * 16, 16, FieldKind::kZeroText},
    {"RingStatus", adapter_status::kRingStatus, 100, FieldKind::kZeroText},
    {"RingState", adapter_status::kRingState, 20, FieldKind::kZeroText},
});

static_assert(TilesRecord(kHeader, header_off::End));
static_assert(TilesRecord(kTot, tot_off::End));
static_assert(TilesRecord(kTxt4, txt4_off::End));
static_assert(TilesRecord(kHist, hist_off::End));
static_assert(TilesRecord(kTet, tet_off::End));
static_assert(TilesRecord(kStat, stat_off::End));
static_assert(TilesRecord(kDetl, line_off::End));
static_assert(TilesRecord(kBhdr, bhdr_off::End));
static_assert(TilesRecord(kBent, bent_off::End));
static_assert(TilesRecord(kOid, adapter_status::kEnd));

}  // namespace reply_fields

}  // namespace netward
