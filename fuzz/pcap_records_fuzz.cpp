// Classic pcap records from a file, mapped or read in blocks. The first byte picks the byte order
// (bit 0), stamp unit (bit 1) and reading (bit 2), the next four the snapshot length; the rest is
// the file after its header.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/pcap_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  netward::PcapRecordFormat format;
  format.swapped = data[0] & 1;
  format.nanoseconds = data[0] & 2;
  memcpy(&format.snapshot, data + 1, 4);
  const int fd = memfd_create("pcap_records_fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data + 5, size - 5) != static_cast<ssize_t>(size - 5) || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return 0;
  }
  netward::PcapRecords records;
  const auto access = data[0] & 4 ? netward::PcapRecords::Access::kRead : netward::PcapRecords::Access::kMapped;
  if (!records.Open(fd, format, access)) {
    close(fd);
    return 0;
  }
  const uint32_t limit = format.snapshot == 0 || format.snapshot > netward::PcapRecords::kMaxCaptured
                             ? netward::PcapRecords::kMaxCaptured
                             : format.snapshot;
  netward::FrameRef frame;
  int64_t time_us = 0;
  size_t consumed = 0;
  uint32_t sum = 0;
  while (records.Next(frame, time_us)) {
    if (frame.captured > limit) __builtin_trap();
    consumed += 16;
    // Every byte handed out is read, so the sanitizers see any read past the file's bytes.
    for (uint32_t i = 0; i < frame.captured; ++i) sum += frame.data[i];
    if (consumed > size) __builtin_trap();
  }
  return static_cast<int>(sum & 0);
}
