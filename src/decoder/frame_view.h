// Bounded read-only view over the stored bytes of one frame (the first 256 bytes as captured,
// zero-filled behind the frame). Every field read goes through it: a read past the end yields
// zero bytes, exactly what the zero-filled stored area would give, so no decoder can read outside
// the buffer whatever offsets a malformed frame leads it to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace netward::decoder {

class FrameView {
 public:
  constexpr FrameView() = default;
  constexpr FrameView(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

  constexpr size_t size() const { return size_; }

  // The view from `off` on; empty when `off` is at or past the end.
  constexpr FrameView Sub(size_t off) const {
    return off < size_ ? FrameView(data_ + off, size_ - off) : FrameView();
  }

  constexpr uint8_t u8(size_t off) const { return off < size_ ? data_[off] : 0; }
  constexpr uint16_t be16(size_t off) const {
    return static_cast<uint16_t>(u8(off) << 8 | u8(off + 1));
  }
  constexpr uint32_t be32(size_t off) const {
    return uint32_t(be16(off)) << 16 | be16(off + 2);
  }
  constexpr uint16_t le16(size_t off) const {
    return static_cast<uint16_t>(u8(off) | u8(off + 1) << 8);
  }
  constexpr uint32_t le32(size_t off) const {
    return uint32_t(le16(off)) | uint32_t(le16(off + 2)) << 16;
  }

  // Copies n bytes from `off` into out; the part past the end is zero.
  void bytes(size_t off, uint8_t* out, size_t n) const {
    size_t have = off < size_ ? size_ - off : 0;
    if (have > n) have = n;
    if (have) memcpy(out, data_ + off, have);
    if (have < n) memset(out + have, 0, n - have);
  }

  // True when the n bytes at `off` equal `want` (bytes past the end compare as zero).
  bool Equals(size_t off, const uint8_t* want, size_t n) const {
    for (size_t i = 0; i < n; ++i)
      if (u8(off + i) != want[i]) return false;
    return true;
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace netward::decoder
