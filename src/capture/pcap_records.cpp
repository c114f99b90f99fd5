#include "capture/pcap_records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace netward {

namespace {

constexpr size_t kBlockBytes = 64 * 1024;  // one read; the block stays in the L2 cache until used
// Mapped: how far ahead of the record being read its bytes are asked for (a few pages: enough for
// memory to keep up, little enough to stay in the L2 cache), and how much is read between two
// give-backs of the pages behind.
constexpr size_t kPrefetchAhead = 8 * 1024;
constexpr size_t kReleaseBytes = 16 << 20;
constexpr size_t kRecordHeaderBytes = 16;
// A whole record of the largest size fits behind the unread part of a block.
constexpr size_t kBufferBytes = kBlockBytes + kRecordHeaderBytes + PcapRecords::kMaxCaptured;

constexpr uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kMagicNano = 0xA1B23C4D;

uint32_t Field(const uint8_t* p, bool swapped) {
  uint32_t v;
  memcpy(&v, p, 4);
  return swapped ? __builtin_bswap32(v) : v;
}

}  // namespace

bool PcapRecords::Handles(const uint8_t (&magic)[4], bool& nanoseconds) {
  const uint32_t m = Field(magic, false), swapped = __builtin_bswap32(m);
  nanoseconds = m == kMagicNano || swapped == kMagicNano;
  return nanoseconds || m == kMagicMicro || swapped == kMagicMicro;
}

PcapRecords::PcapRecords() = default;

PcapRecords::~PcapRecords() {
  if (fd_ >= 0) close(fd_);
}

bool PcapRecords::Open(int fd, const PcapRecordFormat& format, Access access) {
  if (!buffer_) buffer_.reset(new (std::nothrow) uint8_t[kBufferBytes]);
  if (!buffer_) return false;
  map_.Unmap();
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  format_ = format;
  if (format_.snapshot == 0 || format_.snapshot > kMaxCaptured) format_.snapshot = kMaxCaptured;
  base_ = buffer_.get();
  pos_ = end_ = 0;
  failed_ = false;
  struct stat st;
  const off_t start = lseek(fd, 0, SEEK_CUR);
  if (access == Access::kMapped && start >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > start &&
      map_.Map(fd, static_cast<size_t>(st.st_size))) {
    base_ = map_.data();
    pos_ = static_cast<size_t>(start);
    end_ = map_.size();
    next_release_ = pos_ + kReleaseBytes;
    prefetched_ = pos_ & ~size_t{63};
  }
  return true;
}

bool PcapRecords::LeaveMapping() {
  if (lseek(fd_, static_cast<off_t>(pos_), SEEK_SET) < 0) return false;
  map_.Unmap();
  base_ = buffer_.get();
  pos_ = end_ = 0;
  return true;
}

bool PcapRecords::FileHolds(size_t bytes) const {
  struct stat st;
  return fstat(fd_, &st) == 0 && st.st_size >= 0 && static_cast<size_t>(st.st_size) >= bytes;
}

bool PcapRecords::Refill(size_t n) {
  if (Mapped() && !LeaveMapping()) return false;
  // The unread part moves to the front (less than a record), and whole blocks follow it.
  memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
  end_ -= pos_;
  pos_ = 0;
  while (end_ < n) {
    const size_t room = kBufferBytes - end_;
    const ssize_t got = read(fd_, buffer_.get() + end_, room < kBlockBytes ? room : kBlockBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    end_ += static_cast<size_t>(got);
  }
  return true;
}

bool PcapRecords::Next(FrameRef& frame, int64_t& time_us) {
  if (failed_ || fd_ < 0) return false;
  if (!Have(kRecordHeaderBytes)) {
    failed_ = true;
    return false;
  }
  const uint8_t* h = base_ + pos_;
  const bool swapped = format_.swapped;
  const uint32_t seconds = Field(h, swapped), fraction = Field(h + 4, swapped);
  const uint32_t captured = Field(h + 8, swapped), wire_length = Field(h + 12, swapped);
  if (captured > kMaxCaptured || !Have(kRecordHeaderBytes + captured)) {
    failed_ = true;
    return false;
  }
  if (Mapped()) {
    // Of a frame, reads take its first kReadLength bytes: the rest of a long frame is not touched.
    const uint32_t used = captured < kReadLength ? captured : kReadLength;
    const uint8_t* data = base_ + pos_ + kRecordHeaderBytes;
    // Touched here, so that a cut in its pages is seen now rather than when the frame is copied.
    if (used > 0) static_cast<void>(*static_cast<const volatile uint8_t*>(data + used - 1));
    // Past a cut, the rest of the page that holds the new end reads as zeros without a fault: an
    // all-zero header (rare in a real file) is taken only while the file still holds it.
    if (map_.Cut() || ((seconds | fraction | captured | wire_length) == 0 && !FileHolds(pos_ + kRecordHeaderBytes))) {
      failed_ = true;
      return false;
    }
    // Each line once, up to kPrefetchAhead past the end of this record.
    const size_t ahead = pos_ + kRecordHeaderBytes + captured + kPrefetchAhead;
    const size_t stop = ahead < end_ ? ahead : end_;
    size_t line = prefetched_;
    for (; line < stop; line += 64) __builtin_prefetch(base_ + line);
    prefetched_ = line;
    if (pos_ >= next_release_) {
      map_.Release(pos_);
      next_release_ = pos_ + kReleaseBytes;
    }
  }
  frame.data = base_ + pos_ + kRecordHeaderBytes;
  frame.captured = captured < format_.snapshot ? captured : format_.snapshot;
  frame.wire_length = wire_length;
  // The stamp fields are signed 32-bit numbers in the format, and libpcap takes them so from a file
  // in this machine's byte order, but as unsigned numbers once it has swapped them: as it does.
  const int64_t sec = swapped ? int64_t{seconds} : int64_t{static_cast<int32_t>(seconds)};
  const int64_t sub = swapped ? int64_t{fraction} : int64_t{static_cast<int32_t>(fraction)};
  time_us = sec * 1000000 + (format_.nanoseconds ? sub / 1000 : sub);
  pos_ += kRecordHeaderBytes + captured;
  return true;
}

}  // namespace netward
