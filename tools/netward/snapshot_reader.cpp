#include "snapshot_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "reply_format.h"
#include "wire/byte_order.h"

namespace netward::client {

namespace {

bool Fail(ParseError& err, std::string tag, size_t offset, std::string what) {
  err.tag = std::move(tag);
  err.offset = offset;
  err.what = std::move(what);
  return false;
}

std::string NameOf(const uint8_t* p) {
  size_t n = 0;
  while (n < 16 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Printable(const std::string& s) {
  std::string t;
  for (unsigned char c : s) t += c < 0x20 || c >= 0x7f ? '.' : static_cast<char>(c);
  return t;
}

}  // namespace

bool ParseFrameCapture(std::span<const uint8_t> cap, FrameCaptureInfo& out, std::string& err) {
  out = FrameCaptureInfo{};
  if (cap.size() < kRtssHeaderBytes) {
    err = "capture of " + std::to_string(cap.size()) + " bytes is shorter than its 128-byte header";
    return false;
  }
  const uint8_t* p = cap.data();
  if (std::memcmp(p, "RTSS", 4) != 0) {
    err = "capture does not begin with \"RTSS\"";
    return false;
  }
  out.version_minor = p[4];
  out.version_major = p[5];
  out.network = GetU16Le(p + 6);
  out.year = GetU16Le(p + 8);
  out.month = GetU16Le(p + 10);
  out.day_of_week = GetU16Le(p + 12);
  out.day = GetU16Le(p + 14);
  out.hour = GetU16Le(p + 16);
  out.minute = GetU16Le(p + 18);
  out.second = GetU16Le(p + 20);
  out.ms = GetU16Le(p + 22);
  out.table_offset = GetU32Le(p + 24);
  out.table_length = GetU32Le(p + 28);
  const size_t size = cap.size();
  if (out.table_length % 4 != 0) {
    err = "frame table length " + std::to_string(out.table_length) + " is not a multiple of 4";
    return false;
  }
  if (out.table_offset < kRtssHeaderBytes || out.table_offset > size || out.table_length > size - out.table_offset) {
    err = "frame table (offset " + std::to_string(out.table_offset) + ", " + std::to_string(out.table_length) +
          " bytes) lies outside the " + std::to_string(size) + "-byte capture";
    return false;
  }
  const size_t count = out.table_length / 4;
  out.frames.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    CaptureFrameInfo f;
    f.offset = GetU32Le(p + out.table_offset + 4 * i);
    // Frame records lie between the header and the table.
    if (f.offset < kRtssHeaderBytes || f.offset > out.table_offset ||
        out.table_offset - f.offset < kRtssFrameHeadBytes) {
      err = "frame " + std::to_string(i + 1) + " at offset " + std::to_string(f.offset) +
            " lies outside the frame records";
      return false;
    }
    f.ms_offset = GetU32Le(p + f.offset);
    f.length = GetU16Le(p + f.offset + 4);
    f.stored = GetU16Le(p + f.offset + 6);
    if (f.stored > out.table_offset - f.offset - kRtssFrameHeadBytes) {
      err = "frame " + std::to_string(i + 1) + " stores " + std::to_string(f.stored) + " bytes past the frame records";
      return false;
    }
    out.frames.push_back(f);
  }
  return true;
}

bool ReadSnapshot(std::span<const uint8_t> file, std::vector<SnapshotRecord>& out, ParseError& err) {
  out.clear();
  err = ParseError{};
  if (file.size() < 4 || std::memcmp(file.data(), "NWS ", 4) != 0)
    return Fail(err, "NWS ", 0, "snapshot file does not begin with \"NWS \"");
  size_t pos = 4;
  for (;;) {
    const size_t left = file.size() - pos;
    if (left < 4) return Fail(err, "NWS ", pos, "snapshot file ends without its end mark");
    const uint32_t len = GetU32Le(file.data() + pos);
    if (len == 0) {
      if (left != 4) return Fail(err, "NWS ", pos, std::to_string(left - 4) + " bytes after the end mark");
      return true;
    }
    if (len < 16) return Fail(err, "NWS ", pos, "record length " + std::to_string(len) + " below 16");
    if (left - 4 < len)
      return Fail(err, "NWS ", pos,
                  "truncated record: " + std::to_string(len) + " bytes announced, " + std::to_string(left - 4) + " left");
    SnapshotRecord& rec = out.emplace_back();
    rec.offset = pos;
    rec.name = NameOf(file.data() + pos + 4);
    std::span<const uint8_t> data = file.subspan(pos + kNwsRecordHeadBytes, len - 16);
    const size_t data_at = pos + kNwsRecordHeadBytes;
    if (rec.name.rfind("DUMP_", 0) == 0) {
      rec.is_dump = true;
      rec.capture.resize(data.size());
      for (size_t i = 0; i < data.size(); ++i) rec.capture[i] = static_cast<uint8_t>(~data[i]);
      std::string why;
      if (!ParseFrameCapture(rec.capture, rec.capture_info, why)) return Fail(err, Printable(rec.name), data_at, why);
    } else {
      ParseError inner;
      if (!ParseReplyBlock(data, rec.reply, inner))
        return Fail(err, inner.tag, data_at + inner.offset, "in record \"" + Printable(rec.name) + "\": " + inner.what);
    }
    pos += 4 + len;
  }
}

void FormatSnapshotText(const std::vector<SnapshotRecord>& records, std::string& out) {
  char line[160];
  for (const SnapshotRecord& r : records) {
    out += "== " + Latin1ToUtf8(Printable(r.name)) + "\n";
    if (!r.is_dump) {
      FormatText(r.reply, out);
      out += "\n";
      continue;
    }
    const FrameCaptureInfo& c = r.capture_info;
    std::snprintf(line, sizeof line, "Frame capture: network type %u, first frame %04u-%02u-%02u %02u:%02u:%02u, %zu frames\n",
                  c.network, c.year, c.month, c.day, c.hour, c.minute, c.second, c.frames.size());
    out += line;
    out += "  Frame       ms  Length  Stored\n";
    for (size_t i = 0; i < c.frames.size(); ++i) {
      const CaptureFrameInfo& f = c.frames[i];
      std::snprintf(line, sizeof line, "  %5zu %8u  %6u  %6u\n", i + 1, f.ms_offset, f.length, f.stored);
      out += line;
    }
    out += "\n";
  }
}

bool FormatSnapshotJson(const std::vector<SnapshotRecord>& records, std::string& out) {
  using json = nlohmann::ordered_json;
  try {
    for (const SnapshotRecord& r : records) {
      std::string one;
      if (!r.is_dump) {
        if (!FormatJson(r.name, r.reply, one)) return false;
      } else {
        const FrameCaptureInfo& c = r.capture_info;
        json frames = json::array();
        for (const CaptureFrameInfo& f : c.frames)
          frames.push_back({{"Milliseconds", f.ms_offset}, {"Length", f.length}, {"Stored", f.stored}});
        json j = {{"Record", Latin1ToUtf8(r.name)},
                  {"Capture",
                   {{"Network", c.network},
                    {"Year", c.year},
                    {"Month", c.month},
                    {"Day", c.day},
                    {"Hour", c.hour},
                    {"Minute", c.minute},
                    {"Second", c.second},
                    {"Frames", std::move(frames)}}}};
        one = j.dump(-1, ' ', false, json::error_handler_t::replace);
      }
      out += one + "\n";
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string CaptureFileName(const std::string& record_name, const char* extension) {
  std::string s = record_name;
  for (char& c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
  return s + extension;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out, std::string& err) {
  out.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    err = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) err = "cannot read " + path;
  return !failed;
}

}  // namespace netward::client
