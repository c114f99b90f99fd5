#include "capture/pcap_records.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace netward {

namespace {

constexpr size_t kBlockBytes = 64 * 1024;  // one read; the block stays in the L2 cache until used
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

bool PcapRecords::Open(int fd, const PcapRecordFormat& format) {
  if (!buffer_) buffer_.reset(new (std::nothrow) uint8_t[kBufferBytes]);
  if (!buffer_) return false;
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  format_ = format;
  if (format_.snapshot == 0 || format_.snapshot > kMaxCaptured) format_.snapshot = kMaxCaptured;
  pos_ = end_ = 0;
  failed_ = false;
  return true;
}

bool PcapRecords::Have(size_t n) {
  if (end_ - pos_ >= n) return true;
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
  const uint8_t* h = buffer_.get() + pos_;
  const bool swapped = format_.swapped;
  const uint32_t seconds = Field(h, swapped), fraction = Field(h + 4, swapped);
  const uint32_t captured = Field(h + 8, swapped), wire_length = Field(h + 12, swapped);
  if (captured > kMaxCaptured || !Have(kRecordHeaderBytes + captured)) {
    failed_ = true;
    return false;
  }
  frame.data = buffer_.get() + pos_ + kRecordHeaderBytes;
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
