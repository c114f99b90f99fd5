#include "pcap_export.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <ctime>

namespace netward::client {

namespace {

// Network types of the capture header and the pcap link types of the same media.
constexpr struct {
  uint16_t network;
  int link_type;
  const char* name;
} kMedia[] = {
    {1, DLT_EN10MB, "Ethernet"},
    {2, DLT_IEEE802, "Token Ring"},
};

constexpr int kMinSnapLength = 256;  // the agent keeps the first 256 bytes of each frame

}  // namespace

int PcapLinkType(uint16_t network) {
  for (const auto& m : kMedia)
    if (m.network == network) return m.link_type;
  return -1;
}

const char* NetworkName(uint16_t network) {
  for (const auto& m : kMedia)
    if (m.network == network) return m.name;
  return "unknown";
}

bool FrameTime(const FrameCaptureInfo& c, uint32_t ms_offset, int64_t& seconds, uint32_t& microseconds) {
  if (c.year < 1970 || c.month < 1 || c.month > 12 || c.day < 1 || c.day > 31 || c.hour > 23 || c.minute > 59 ||
      c.second > 60)
    return false;
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;  // whatever the zone's rule was on that day
  const time_t first = std::mktime(&tm);
  if (first == static_cast<time_t>(-1)) return false;
  seconds = static_cast<int64_t>(first) + ms_offset / 1000;
  microseconds = ms_offset % 1000 * 1000;
  return true;
}

bool WriteCapturePcap(const SnapshotRecord& dump, const std::string& path, PcapFileWritten& written,
                      std::string& err) {
  const FrameCaptureInfo& c = dump.capture_info;
  written = PcapFileWritten{path, 0, NetworkName(c.network)};
  const int link_type = PcapLinkType(c.network);
  if (link_type < 0) {
    err = dump.name + ": network type " + std::to_string(c.network) + " has no pcap link type";
    return false;
  }
  int snap_length = kMinSnapLength;
  for (const CaptureFrameInfo& f : c.frames) snap_length = std::max<int>(snap_length, f.stored);

  pcap_t* dead = pcap_open_dead(link_type, snap_length);
  if (dead == nullptr) {
    err = dump.name + ": libpcap cannot write link type " + std::to_string(link_type);
    return false;
  }
  pcap_dumper_t* out = pcap_dump_open(dead, path.c_str());
  if (out == nullptr) {
    err = pcap_geterr(dead);
    pcap_close(dead);
    return false;
  }
  bool ok = true;
  for (const CaptureFrameInfo& f : c.frames) {
    int64_t seconds = 0;
    uint32_t microseconds = 0;
    if (!FrameTime(c, f.ms_offset, seconds, microseconds)) {
      err = dump.name + ": the capture's first-frame date is not a date";
      ok = false;
      break;
    }
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(seconds);
    h.ts.tv_usec = static_cast<suseconds_t>(microseconds);
    h.caplen = f.stored;
    // The length field keeps the low 16 bits of the wire length; a file never says less than it stores.
    h.len = std::max<uint32_t>(f.length, f.stored);
    pcap_dump(reinterpret_cast<u_char*>(out), &h, dump.capture.data() + f.offset + kRtssFrameHeadBytes);
    ++written.frames;
  }
  if (ok && pcap_dump_flush(out) != 0) {
    err = path + ": write failed";
    ok = false;
  }
  pcap_dump_close(out);
  pcap_close(dead);
  return ok;
}

bool WriteSnapshotPcaps(const std::vector<SnapshotRecord>& records, const std::string& dir,
                        std::vector<PcapFileWritten>& written, std::string& err) {
  for (const SnapshotRecord& r : records) {
    if (!r.is_dump) continue;
    PcapFileWritten one;
    if (!WriteCapturePcap(r, dir + "/" + CaptureFileName(r.name, ".pcap"), one, err)) return false;
    written.push_back(one);
  }
  return true;
}

}  // namespace netward::client
