// Client-side parser of the agent's reply block: the 32-byte "TASK" header, then a run of fixed-size
// records taken apart by their 4-byte tags. Every read is bounded by the block; a block that does
// not take apart cleanly gives an error naming the record tag and its byte offset in the block.
// Wire format: packed, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wire/reply_layout.h"

namespace netward::client {

inline constexpr size_t kHeaderBytes = header_off::End;
inline constexpr size_t kTotBytes = tot_off::End;
inline constexpr size_t kTxt4Bytes = txt4_off::End;
inline constexpr size_t kHistBytes = hist_off::End;
inline constexpr size_t kTetBytes = tet_off::End;
inline constexpr size_t kStatBytes = stat_off::End;
inline constexpr size_t kDetlBytes = line_off::End;
inline constexpr size_t kBhdrBytes = bhdr_off::End;
inline constexpr size_t kBentBytes = bent_off::End;
inline constexpr size_t kOidBytes = adapter_status::kEnd;
// The broadcast reply holds at most one entry per group-frame slot: 4 adapters x 4500.
inline constexpr uint32_t kMaxBentEntries = 18000;
// Snapshot images are taken apart one level deep; nested request records are parsed as replies.
inline constexpr unsigned kMaxSnapshotDepth = 1;

enum class Tag { kTot, kTxt4, kHist, kTet, kStat, kDetl, kBhdr, kBent, kOid, kNws };

// A text field as stored: up to the first NUL, with the trailing blanks of blank-padded fields
// removed. Bytes are kept as sent (8-bit characters).
struct ReplyHeader {
  std::string magic, version, date, time;
  uint32_t status_code = 0;
};

// The eight traffic counters that "TOT " and "TET " both carry at bytes 8-39.
struct TrafficCounts {
  float own_bytes = 0;
  uint32_t own_frames = 0, own_group_frames = 0, own_event_frames = 0;
  float other_bytes = 0;
  uint32_t other_frames = 0, other_group_frames = 0, other_event_frames = 0;
};

struct TotRecord : TrafficCounts {
  uint32_t frame_sequence = 0;
  uint32_t day_changes = 0;
  int32_t seconds_since_other = 0;
  std::string host_name, address_text;
};

struct TetRecord : TrafficCounts {
  uint32_t interval = 0;  // hour * 6 + minute / 10
};

struct StatRecord {
  uint32_t adapter_number = 0;
  std::string address_label, protocol_label, role, name, last_seen;
  float bytes_sent = 0;
  uint32_t frames_sent = 0, group_frames_sent = 0, event_frames_sent = 0;
  float bytes_received = 0;
  uint32_t frames_received = 0;
};

struct DetlRecord {
  uint32_t adapter_number = 0, sequence = 0, length = 0;
  std::string time_text, source_text, peer_text, role_text, name_text, direction_mark, destination_text,
      summary_text, protocol_text, event_text;
  uint32_t media_type = 0;
};

struct BhdrRecord {
  std::string time_text, window_start;
  uint32_t group_frames = 0, recent_frames = 0, entry_count = 0;
};

struct BentRecord {
  uint32_t adapter_number = 0;
  std::string address_label, protocol_label, role, name;
  uint32_t recent_frames = 0, window_frames = 0;
  std::string time_text;
  uint32_t sequence = 0;
  std::string group_text, destination_text;
};

// The Ethernet counters, then the Token Ring ones.
inline constexpr size_t kOidCounters = adapter_status::kEthernetCounters + adapter_status::kTokenRingCounters;

struct OidRecord {
  uint32_t adapter_number = 0;
  std::string adapter_name, state, loopback, adapter_title, driver_file_text, own_address, hardware_status,
      media_connection, media, link_speed, transmit_errors, receive_errors, receive_no_buffer, receive_crc_errors;
  std::string counters[kOidCounters];
  std::string ring_status, ring_state;
};

struct ParsedReply;

// One record of a snapshot image: its name, and for a request record the reply block it holds; for
// a "DUMP_n" record the frame count of the (inverted) capture when its header reads cleanly.
struct NwsRecord {
  std::string name;
  uint32_t data_length = 0;
  bool is_dump = false;
  uint32_t dump_frames = 0;
  std::vector<ParsedReply> reply;  // zero or one element (a vector, as ParsedReply is incomplete here)
};

struct Record {
  Tag tag{};
  size_t offset = 0;  // from the start of the reply block
  TotRecord tot;
  std::string text;  // TXT4 text, HIST date
  TetRecord tet;
  StatRecord stat;
  DetlRecord detl;
  BhdrRecord bhdr;
  BentRecord bent;
  OidRecord oid;
  std::vector<NwsRecord> nws;  // the snapshot image's records ("NWS " alone: none)
};

struct ParsedReply {
  ReplyHeader header;
  std::vector<Record> records;
};

struct ParseError {
  std::string tag;  // printable form of the 4 tag bytes, or "TASK" for the header
  size_t offset = 0;
  std::string what;
  std::string Message() const;
};

// Takes a whole reply block apart. False with `err` filled when it is malformed.
bool ParseReplyBlock(std::span<const uint8_t> block, ParsedReply& out, ParseError& err);

const char* TagText(Tag t);

}  // namespace netward::client
