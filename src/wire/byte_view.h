// Bounded read-only view of outside bytes: a stored frame (its first 256 bytes, zero-filled behind
// the frame), a PDU, a reply record, a history record.
//
// Every read past the end yields zeros, exactly what the zero-filled stored area of a frame would
// hold there, so no parser can read outside its buffer whatever offsets malformed input leads it
// to. Fixed-length copies and comparisons (the 242-byte ARP request, the 214-byte DNS query) take
// the bytes that exist and treat the rest as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace netward {

class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

  constexpr size_t size() const { return size_; }
  constexpr const uint8_t* data() const { return data_; }

  // The view from `off` on; empty when `off` is at or past the end.
  constexpr ByteView Sub(size_t off) const { return off < size_ ? ByteView(data_ + off, size_ - off) : ByteView(); }

  constexpr uint8_t u8(size_t off) const { return off < size_ ? data_[off] : 0; }
  constexpr uint16_t be16(size_t off) const { return static_cast<uint16_t>(u8(off) << 8 | u8(off + 1)); }
  constexpr uint32_t be32(size_t off) const { return uint32_t(be16(off)) << 16 | be16(off + 2); }
  constexpr uint16_t le16(size_t off) const { return static_cast<uint16_t>(u8(off) | u8(off + 1) << 8); }
  constexpr uint32_t le32(size_t off) const { return uint32_t(le16(off)) | uint32_t(le16(off + 2)) << 16; }

  // Copies n bytes from `off` into `out`, zero-filling whatever lies past the end.
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
  // Pointer to `off` inside the view, or null when `off` is at or past the end.
  const uint8_t* at(size_t off) const { return off < size_ ? data_ + off : nullptr; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace netward
