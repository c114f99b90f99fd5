// Records of a classic pcap file (the savefile format of libpcap: a 24-byte file header, then per
// frame a 16-byte record header — seconds, micro- or nanoseconds, captured length, wire length — and
// the captured bytes), handed out where they lie: in the file mapped into memory, or where it cannot
// be mapped, in 64 KiB blocks read from the file descriptor. libpcap reads the same records with two
// fread calls and a copy of every frame out of the stdio buffer: about a tenth of the agent's CPU
// when it replays a file as fast as it can. Mapped, the kernel's copy of the file goes too (about a
// fifth of that CPU); the lines just ahead are asked for while a record is read, since the
// processor's own prefetching stops at each page's end.
// libpcap still opens the file and checks its header: it says whether the file is one of these
// (PcapRecords::Handles), and gives the byte order and the snapshot length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture/packet_driver.h"
#include "platform/mapped_file.h"

namespace netward {

struct PcapRecordFormat {
  bool swapped = false;       // written in the other byte order
  bool nanoseconds = false;   // the second stamp field counts nanoseconds
  uint32_t snapshot = 0;      // longer records are cut to this many bytes, as libpcap cuts them
};

class PcapRecords {
 public:
  // Largest captured length accepted in a record (libpcap's limit for Ethernet and Token Ring).
  static constexpr uint32_t kMaxCaptured = 262144;

  // Whether the file's first four bytes are the magic number of a classic pcap file, micro- or
  // nanosecond, in either byte order; `nanoseconds` tells which.
  static bool Handles(const uint8_t (&magic)[4], bool& nanoseconds);

  PcapRecords();
  ~PcapRecords();
  PcapRecords(const PcapRecords&) = delete;
  PcapRecords& operator=(const PcapRecords&) = delete;

  enum class Access { kMapped, kRead };

  // Reads records from `fd` (positioned at the first record; the reader closes it). Mapped when
  // asked and `fd` is a regular file that can be mapped; read otherwise. False, with `fd` still the
  // caller's, when the buffer cannot be had.
  bool Open(int fd, const PcapRecordFormat& format, Access access = Access::kMapped);
  // The next record: false at the end of the file, and for good at the first damaged record (a
  // header or frame cut short, a captured length over kMaxCaptured), as libpcap ends there too.
  // A mapped file that grows is read on past its first end; one cut short while it is read ends
  // at the cut (a record the cut runs through may come out with zeros at its end).
  // `frame.data` stays valid until the next call. `frame.time` is not touched.
  bool Next(FrameRef& frame, int64_t& time_us);
  bool Mapped() const { return map_.data() != nullptr; }

 private:
  // At least `n` bytes (n <= the buffer's size) from pos_ on in the buffer; false at the end.
  bool Have(size_t n) { return end_ - pos_ >= n || Refill(n); }
  // Have's way when they are not there yet: reads more.
  bool Refill(size_t n);
  // Goes on from pos_ of the mapped file with reads (the file has grown since it was mapped).
  bool LeaveMapping();
  // The file is at least `bytes` long now.
  bool FileHolds(size_t bytes) const;

  std::unique_ptr<uint8_t[]> buffer_;
  platform::MappedFile map_;
  const uint8_t* base_ = nullptr;  // the mapping or the buffer; pos_ and end_ count from it
  size_t next_release_ = 0;        // mapped: where the pages behind are next given back
  size_t prefetched_ = 0;          // mapped: lines from here on not yet asked for
  size_t pos_ = 0;
  size_t end_ = 0;
  int fd_ = -1;
  bool failed_ = false;
  PcapRecordFormat format_;
};

}  // namespace netward
