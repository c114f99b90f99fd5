// Reader of snapshot files (.NWS): "NWS ", records (L = 16 + data size, 16-byte zero-padded name,
// data) up to a record length of 0. A request record holds a whole reply block, parsed as a live
// reply; a "DUMP_n" record holds a frame capture in Network Monitor 1.x layout ("RTSS") with every
// byte inverted. Every length read from the file is checked against the bytes that are there.
// File format: packed, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "reply_parser.h"

namespace netward::client {

inline constexpr size_t kNwsRecordHeadBytes = 20;  // L + name
inline constexpr size_t kRtssHeaderBytes = 128;
inline constexpr size_t kRtssFrameHeadBytes = 8;  // ms offset u32, length u16, stored u16

struct CaptureFrameInfo {
  size_t offset = 0;  // of the frame record in the capture
  uint32_t ms_offset = 0;
  uint16_t length = 0, stored = 0;
};

struct FrameCaptureInfo {
  uint8_t version_minor = 0, version_major = 0;
  uint16_t network = 0;  // 1 Ethernet, 2 Token Ring
  uint16_t year = 0, month = 0, day_of_week = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  uint32_t table_offset = 0, table_length = 0;
  std::vector<CaptureFrameInfo> frames;
};

struct SnapshotRecord {
  std::string name;    // up to the first NUL of the 16 bytes
  size_t offset = 0;   // of the record's length field in the file
  bool is_dump = false;
  ParsedReply reply;                // request records
  std::vector<uint8_t> capture;     // dump records: the capture with its bytes inverted back
  FrameCaptureInfo capture_info;
};

// The whole of a file. False with "cannot open PATH: reason" or "cannot read PATH" in `err`.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out, std::string& err);

// Takes a whole snapshot file apart. False with `err` filled (offset from the start of the file)
// when any part is malformed.
bool ReadSnapshot(std::span<const uint8_t> file, std::vector<SnapshotRecord>& out, ParseError& err);

// Reads an (un-inverted) "RTSS" capture: header, frame table and frame records, all bounded.
bool ParseFrameCapture(std::span<const uint8_t> capture, FrameCaptureInfo& out, std::string& err);

// Text: per record a "== NAME" line, then the reply as live replies print, or the capture's header
// and one line per frame.
void FormatSnapshotText(const std::vector<SnapshotRecord>& records, std::string& out);
// JSON: one line per record; request records as FormatJson with the record name as the request.
bool FormatSnapshotJson(const std::vector<SnapshotRecord>& records, std::string& out);

// A file name for a record's capture: the record name with anything but letters, digits and '_'
// replaced by '_', and `extension`.
std::string CaptureFileName(const std::string& record_name, const char* extension = ".cap");

}  // namespace netward::client
