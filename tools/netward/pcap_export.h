// The frame captures of a snapshot ("DUMP_n" records) written as pcap files through libpcap's own
// writer, so that Wireshark and tshark open them: one file per adapter, Ethernet as DLT_EN10MB and
// Token Ring as DLT_IEEE802, each frame with its time, its stored bytes (at most 256) and its wire
// length. The capture keeps the first frame's local time in whole seconds and each frame's offset
// from it in milliseconds; times are read in this machine's time zone ($TZ to choose another).
#pragma once

#include <string>
#include <vector>

#include "snapshot_reader.h"

namespace netward::client {

struct PcapFileWritten {
  std::string path;
  size_t frames = 0;
  const char* medium = "";  // "Ethernet", "Token Ring"
};

// The pcap link type of a capture's network type (1 Ethernet, 2 Token Ring); -1 for any other.
int PcapLinkType(uint16_t network);
const char* NetworkName(uint16_t network);

// Seconds since 1970 of a frame: the capture's first-frame local time plus `ms_offset`; false when
// the header's date is not a date.
bool FrameTime(const FrameCaptureInfo& capture, uint32_t ms_offset, int64_t& seconds, uint32_t& microseconds);

// Writes one dump record's frames to `path` (replacing it). False with a message when the network
// type has no link type or the file cannot be written.
bool WriteCapturePcap(const SnapshotRecord& dump, const std::string& path, PcapFileWritten& written,
                      std::string& err);

// Every dump record of a snapshot to DIR/DUMP_n.pcap, in record order. Stops at the first failure.
bool WriteSnapshotPcaps(const std::vector<SnapshotRecord>& records, const std::string& dir,
                        std::vector<PcapFileWritten>& written, std::string& err);

}  // namespace netward::client
