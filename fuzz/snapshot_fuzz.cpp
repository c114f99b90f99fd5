// The snapshot file reader: records, nested reply blocks and the inverted frame captures, then both
// presentations of whatever read and the pcap export of its captures. Every frame the reader
// reports must lie inside its capture.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pcap_export.h"
#include "snapshot_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netward::client;
  std::vector<SnapshotRecord> records;
  ParseError err;
  if (!ReadSnapshot(std::span<const uint8_t>(data, size), records, err)) {
    if (err.offset > size) __builtin_trap();  // an error must point inside the file
    return 0;
  }
  for (const SnapshotRecord& r : records) {
    if (!r.is_dump) continue;
    for (const CaptureFrameInfo& f : r.capture_info.frames)
      if (f.offset + kRtssFrameHeadBytes + f.stored > r.capture.size()) __builtin_trap();
  }
  std::string out;
  FormatSnapshotText(records, out);
  FormatSnapshotJson(records, out);
  for (const SnapshotRecord& r : records) {
    PcapFileWritten written;
    if (r.is_dump && WriteCapturePcap(r, "/dev/null", written, out) && written.frames != r.capture_info.frames.size())
      __builtin_trap();
  }
  return 0;
}
