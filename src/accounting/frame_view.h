// Bounded read-only view of one stored frame.
//
// Accounting never reads past the 256 stored bytes nor past the frame's own length: the view's size
// is the smaller of the two, and every read past its end yields zeros, which is what the zero-filled
// read buffer would hold there. Fixed-length copies and comparisons (the 242-byte ARP request, the
// 214-byte DNS query) therefore take the bytes that exist and treat the rest as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace netward {

class FrameView {
 public:
  FrameView() = default;
  FrameView(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  uint8_t u8(size_t off) const { return off < size_ ? data_[off] : 0; }
  uint16_t be16(size_t off) const { return static_cast<uint16_t>(u8(off) << 8 | u8(off + 1)); }
  uint32_t be32(size_t off) const {
    return uint32_t(u8(off)) << 24 | uint32_t(u8(off + 1)) << 16 | uint32_t(u8(off + 2)) << 8 | u8(off + 3);
  }
  // Copies n bytes from `off`, zero-filling whatever lies past the end.
  void bytes(size_t off, size_t n, uint8_t* out) const {
    if (off + n <= size_) {  // the usual case, a fixed-size copy once inlined
      memcpy(out, data_ + off, n);
      return;
    }
    size_t have = off < size_ ? size_ - off : 0;
    if (have > n) have = n;
    if (have) memcpy(out, data_ + off, have);
    if (have < n) memset(out + have, 0, n - have);
  }
  // True when the n bytes from `off` (zeros past the end) equal `other`.
  bool equals(size_t off, size_t n, const uint8_t* other) const {
    if (off + n <= size_) return memcmp(data_ + off, other, n) == 0;
    size_t have = off < size_ ? size_ - off : 0;
    if (have > n) have = n;
    if (have && memcmp(data_ + off, other, have) != 0) return false;
    for (size_t i = have; i < n; ++i)
      if (other[i] != 0) return false;
    return true;
  }
  // Pointer to `off` inside the frame, or null when `off` is at or past the end.
  const uint8_t* at(size_t off) const { return off < size_ ? data_ + off : nullptr; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace netward
