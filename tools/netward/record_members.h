// Where each field of a reply record lands in the client's structures, and how the text form shows
// it. One row per field: the wire field (reply_fields.h), the member it fills, the head of its text
// column. The parser fills the structures row by row, the JSON form walks the wire table, the text
// tables take the rows with a head; a compile-time check holds every row list to its wire table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "reply_parser.h"
#include "wire/reply_fields.h"

namespace netward::client {

template <class R>
using MemberOf = std::variant<uint32_t R::*, int32_t R::*, float R::*, std::string R::*,
                              std::pair<std::string (R::*)[kOidCounters], uint8_t>>;

template <class R>
struct Member {
  const Field* field;
  MemberOf<R> to;
  // Text column head; a leading '>' right-aligns it. Empty: no column (key-value records list
  // every row by its field name).
  std::string_view head = {};
  bool hide_when_empty = false;  // key-value records: a text the adapter does not report
};

// The member a row names, in record `r` (an R or a const R).
template <class T, class Obj>
using LikeObj = std::conditional_t<std::is_const_v<Obj>, const T, T>;
template <class Obj>
using MemberRef =
    std::variant<LikeObj<uint32_t, Obj>*, LikeObj<int32_t, Obj>*, LikeObj<float, Obj>*, LikeObj<std::string, Obj>*>;
template <class R, class Obj>
MemberRef<Obj> RefOf(const Member<R>& m, Obj& r) {
  return std::visit(
      [&](auto to) -> MemberRef<Obj> {
        if constexpr (std::is_member_object_pointer_v<decltype(to)>) {
          return &(r.*to);
        } else {
          return &(r.*to.first)[to.second];
        }
      },
      m.to);
}

// The member's type is the one its field's kind reads.
template <class R>
constexpr bool KindFits(const Member<R>& m) {
  switch (m.field->kind) {
    case FieldKind::kU32: return std::holds_alternative<uint32_t R::*>(m.to);
    case FieldKind::kI32: return std::holds_alternative<int32_t R::*>(m.to);
    case FieldKind::kF32: return std::holds_alternative<float R::*>(m.to);
    case FieldKind::kU8:  // no reply record has one
    case FieldKind::kPad: return false;
    default: return !std::holds_alternative<uint32_t R::*>(m.to) && !std::holds_alternative<int32_t R::*>(m.to) &&
                    !std::holds_alternative<float R::*>(m.to);
  }
}

// Every field the wire table carries has exactly one row of its kind; padding has none, a tag at most one.
template <class R, size_t N, size_t M>
constexpr bool CoversTable(const std::array<Field, N>& table, const Member<R> (&rows)[M]) {
  for (const Field& f : table) {
    int n = 0;
    for (const Member<R>& m : rows) n += m.field == &f ? 1 : 0;
    const bool fits = f.kind == FieldKind::kTag ? n <= 1 : n == (f.kind == FieldKind::kPad ? 0 : 1);
    if (!fits) return false;
  }
  for (const Member<R>& m : rows)
    if (!KindFits(m)) return false;
  return true;
}

namespace rows {

namespace rf = reply_fields;

template <size_t N>
constexpr const Field* F(const std::array<Field, N>& table, std::string_view name) {
  return &FieldNamed(table, name);
}

// A hand-written header line says these; the JSON form and the parser take them from here.
inline constexpr Member<ReplyHeader> kHeaderRows[] = {
    {F(rf::kHeader, "Magic"), &ReplyHeader::magic},
    {F(rf::kHeader, "Version"), &ReplyHeader::version},
    {F(rf::kHeader, "Date"), &ReplyHeader::date},
    {F(rf::kHeader, "Time"), &ReplyHeader::time},
    {F(rf::kHeader, "StatusCode"), &ReplyHeader::status_code},
};

template <class R, size_t N>
constexpr std::array<Member<R>, 8> CountRows(const std::array<Field, N>& t) {
  return {{{F(t, "OwnBytes"), static_cast<float R::*>(&R::own_bytes), ">OwnBytes"},
           {F(t, "OwnFrames"), static_cast<uint32_t R::*>(&R::own_frames), ">OwnFrames"},
           {F(t, "OwnGroupFrames"), static_cast<uint32_t R::*>(&R::own_group_frames), ">OwnGroup"},
           {F(t, "OwnEventFrames"), static_cast<uint32_t R::*>(&R::own_event_frames), ">OwnEvent"},
           {F(t, "OtherBytes"), static_cast<float R::*>(&R::other_bytes), ">OtherBytes"},
           {F(t, "OtherFrames"), static_cast<uint32_t R::*>(&R::other_frames), ">OtherFrames"},
           {F(t, "OtherGroupFrames"), static_cast<uint32_t R::*>(&R::other_group_frames), ">OtherGroup"},
           {F(t, "OtherEventFrames"), static_cast<uint32_t R::*>(&R::other_event_frames), ">OtherEvent"}}};
}

// The totals print as a list of names and values, in record order.
inline constexpr auto kTotCounts = CountRows<TotRecord>(rf::kTot);
inline constexpr Member<TotRecord> kTotRows[] = {
    {F(rf::kTot, "FrameSequence"), &TotRecord::frame_sequence},
    kTotCounts[0], kTotCounts[1], kTotCounts[2], kTotCounts[3],
    kTotCounts[4], kTotCounts[5], kTotCounts[6], kTotCounts[7],
    {F(rf::kTot, "DayChanges"), &TotRecord::day_changes},
    {F(rf::kTot, "SecondsSinceOther"), &TotRecord::seconds_since_other},
    {F(rf::kTot, "HostName"), &TotRecord::host_name},
    {F(rf::kTot, "AddressText"), &TotRecord::address_text},
};

inline constexpr auto kTetCounts = CountRows<TetRecord>(rf::kTet);
inline constexpr Member<TetRecord> kTetRows[] = {
    {F(rf::kTet, "Interval"), &TetRecord::interval, "Interval"},
    kTetCounts[0], kTetCounts[1], kTetCounts[2], kTetCounts[3],
    kTetCounts[4], kTetCounts[5], kTetCounts[6], kTetCounts[7],
};

inline constexpr Member<StatRecord> kStatRows[] = {
    {F(rf::kStat, "AdapterNumber"), &StatRecord::adapter_number, ">Nic"},
    {F(rf::kStat, "AddressLabel"), &StatRecord::address_label, "Address"},
    {F(rf::kStat, "ProtocolLabel"), &StatRecord::protocol_label, "Protocol"},
    {F(rf::kStat, "Role"), &StatRecord::role, "Role"},
    {F(rf::kStat, "Name"), &StatRecord::name, "Name"},
    {F(rf::kStat, "LastSeen"), &StatRecord::last_seen, "LastSeen"},
    {F(rf::kStat, "BytesSent"), &StatRecord::bytes_sent, ">BytesSent"},
    {F(rf::kStat, "FramesSent"), &StatRecord::frames_sent, ">FramesSent"},
    {F(rf::kStat, "GroupFramesSent"), &StatRecord::group_frames_sent, ">GroupSent"},
    {F(rf::kStat, "EventFramesSent"), &StatRecord::event_frames_sent, ">EventSent"},
    {F(rf::kStat, "BytesReceived"), &StatRecord::bytes_received, ">BytesRcvd"},
    {F(rf::kStat, "FramesReceived"), &StatRecord::frames_received, ">FramesRcvd"},
};

// The event column before the long protocol text, so that a narrow terminal still shows it.
inline constexpr Member<DetlRecord> kDetlRows[] = {
    {F(rf::kDetl, "AdapterNumber"), &DetlRecord::adapter_number, ">Nic"},
    {F(rf::kDetl, "Sequence"), &DetlRecord::sequence, ">Seq"},
    {F(rf::kDetl, "TimeText"), &DetlRecord::time_text, "Time"},
    {F(rf::kDetl, "Length"), &DetlRecord::length, ">Len"},
    {F(rf::kDetl, "SourceText"), &DetlRecord::source_text, "Source"},
    {F(rf::kDetl, "PeerText"), &DetlRecord::peer_text, "Peer"},
    {F(rf::kDetl, "RoleText"), &DetlRecord::role_text, "Role"},
    {F(rf::kDetl, "NameText"), &DetlRecord::name_text, "Name"},
    {F(rf::kDetl, "DirectionMark"), &DetlRecord::direction_mark, "Dir"},
    {F(rf::kDetl, "DestinationText"), &DetlRecord::destination_text, "Destination"},
    {F(rf::kDetl, "SummaryText"), &DetlRecord::summary_text, "Summary"},
    {F(rf::kDetl, "EventText"), &DetlRecord::event_text, "Event"},
    {F(rf::kDetl, "ProtocolText"), &DetlRecord::protocol_text, "Protocol"},
    {F(rf::kDetl, "MediaType"), &DetlRecord::media_type},
};

// The header prints as a sentence of its own.
inline constexpr Member<BhdrRecord> kBhdrRows[] = {
    {F(rf::kBhdr, "Time"), &BhdrRecord::time_text},
    {F(rf::kBhdr, "WindowStart"), &BhdrRecord::window_start},
    {F(rf::kBhdr, "GroupFrames"), &BhdrRecord::group_frames},
    {F(rf::kBhdr, "RecentFrames"), &BhdrRecord::recent_frames},
    {F(rf::kBhdr, "EntryCount"), &BhdrRecord::entry_count},
};

inline constexpr Member<BentRecord> kBentRows[] = {
    {F(rf::kBent, "AdapterNumber"), &BentRecord::adapter_number, ">Nic"},
    {F(rf::kBent, "AddressLabel"), &BentRecord::address_label, "Address"},
    {F(rf::kBent, "ProtocolLabel"), &BentRecord::protocol_label, "Protocol"},
    {F(rf::kBent, "Role"), &BentRecord::role, "Role"},
    {F(rf::kBent, "Name"), &BentRecord::name, "Name"},
    {F(rf::kBent, "RecentFrames"), &BentRecord::recent_frames, ">Last60s"},
    {F(rf::kBent, "WindowFrames"), &BentRecord::window_frames, ">Frames"},
    {F(rf::kBent, "Time"), &BentRecord::time_text, "Time"},
    {F(rf::kBent, "Sequence"), &BentRecord::sequence, ">Seq"},
    {F(rf::kBent, "GroupText"), &BentRecord::group_text, "Text"},
    {F(rf::kBent, "DestinationText"), &BentRecord::destination_text, "Destination"},
};

// An adapter prints as a list of names and values; counters of the other medium stay out.
constexpr Member<OidRecord> Counter(std::string_view name, uint8_t i) {
  return {F(rf::kOid, name), std::pair{&OidRecord::counters, i}, {}, true};
}
inline constexpr Member<OidRecord> kOidRows[] = {
    {F(rf::kOid, "AdapterNumber"), &OidRecord::adapter_number},
    {F(rf::kOid, "AdapterName"), &OidRecord::adapter_name},
    {F(rf::kOid, "State"), &OidRecord::state},
    {F(rf::kOid, "Loopback"), &OidRecord::loopback},
    {F(rf::kOid, "AdapterTitle"), &OidRecord::adapter_title},
    {F(rf::kOid, "DriverFileText"), &OidRecord::driver_file_text},
    {F(rf::kOid, "OwnAddress"), &OidRecord::own_address},
    {F(rf::kOid, "HardwareStatus"), &OidRecord::hardware_status},
    {F(rf::kOid, "MediaConnection"), &OidRecord::media_connection},
    {F(rf::kOid, "Media"), &OidRecord::media},
    {F(rf::kOid, "LinkSpeed"), &OidRecord::link_speed},
    {F(rf::kOid, "XmitErrors"), &OidRecord::transmit_errors},
    {F(rf::kOid, "RcvErrors"), &OidRecord::receive_errors},
    {F(rf::kOid, "RcvNoBuffer"), &OidRecord::receive_no_buffer},
    {F(rf::kOid, "RcvCrcErrors"), &OidRecord::receive_crc_errors},
    Counter("RcvErrorAlignment", 0),
    Counter("XmitOneCollision", 1),
    Counter("XmitMoreCollisions", 2),
    Counter("XmitDeferred", 3),
    Counter("XmitMaxCollisions", 4),
    Counter("RcvOverrun", 5),
    Counter("XmitUnderrun", 6),
    Counter("XmitHeartbeatFailure", 7),
    Counter("XmitTimesCrsLost", 8),
    Counter("XmitLateCollisions", 9),
    Counter("LineErrors", 10),
    Counter("LostFrames", 11),
    Counter("BurstErrors", 12),
    Counter("AcErrors", 13),
    Counter("AbortDelimiters", 14),
    Counter("FrameCopiedErrors", 15),
    Counter("FrequencyErrors", 16),
    Counter("TokenErrors", 17),
    Counter("InternalErrors", 18),
    {F(rf::kOid, "RingStatus"), &OidRecord::ring_status, {}, true},
    {F(rf::kOid, "RingState"), &OidRecord::ring_state, {}, true},
};

static_assert(CoversTable(rf::kHeader, kHeaderRows));
static_assert(CoversTable(rf::kTot, kTotRows));
static_assert(CoversTable(rf::kTet, kTetRows));
static_assert(CoversTable(rf::kStat, kStatRows));
static_assert(CoversTable(rf::kDetl, kDetlRows));
static_assert(CoversTable(rf::kBhdr, kBhdrRows));
static_assert(CoversTable(rf::kBent, kBentRows));
static_assert(CoversTable(rf::kOid, kOidRows));

}  // namespace rows

}  // namespace netward::client
