// NDR 2.0 transfer syntax (DCE 1.1 RPC, chapter 14): a bounded reader and a writer for the
// primitive types, alignment, fixed and conformant arrays and pointers, in either integer byte order.
// Alignment is relative to the start of the stub data, which is how the octet stream is defined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dcerpc {

// A UUID as 16 bytes in the little-endian wire layout (time_low, time_mid, time_hi_and_version in
// little-endian order, then clock_seq and node as given).
struct Uuid {
  std::array<uint8_t, 16> b{};
  bool operator==(const Uuid&) const = default;
  bool IsNil() const;
  // Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; false when the text is not a UUID.
  static bool Parse(std::string_view text, Uuid& out);
  std::string ToString() const;
};

// An interface or transfer syntax identifier: UUID and version.
struct SyntaxId {
  Uuid uuid;
  uint16_t major = 0;
  uint16_t minor = 0;
  bool operator==(const SyntaxId&) const = default;
};

// The four octets of the data representation label.
struct DataRep {
  uint8_t b[4] = {0x10, 0, 0, 0};
  bool LittleEndian() const { return (b[0] & 0xF0) == 0x10; }
  bool Ascii() const { return (b[0] & 0x0F) == 0; }
  bool IeeeFloat() const { return b[1] == 0; }
  static DataRep Little() { return DataRep{}; }
  static DataRep Big() {
    DataRep d;
    d.b[0] = 0x00;
    return d;
  }
};

class NdrReader {
 public:
  NdrReader(std::span<const uint8_t> data, bool little_endian) : data_(data), le_(little_endian) {}

  // Every read returns false once the data ran out or a bound failed; the failure is sticky.
  bool Align(size_t n);
  bool U8(uint8_t& v);
  bool U16(uint16_t& v);
  bool U32(uint32_t& v);
  bool I32(int32_t& v);
  bool U64(uint64_t& v);
  bool ReadUuid(Uuid& v);
  bool ReadSyntaxId(SyntaxId& v);
  // A fixed array of bytes: no count on the wire.
  bool Bytes(std::span<uint8_t> out);
  // A view of the next n bytes without copying.
  bool View(size_t n, std::span<const uint8_t>& out);
  bool Skip(size_t n);
  // A conformant array of bytes: 4-byte maximum count, then the elements; the count must not
  // exceed max_count.
  bool ConformantBytes(uint32_t max_count, std::span<const uint8_t>& out);
  // The referent identifier of a unique or full pointer (0 is null).
  bool Pointer(uint32_t& referent) { return U32(referent); }

  bool ok() const { return ok_; }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return data_.size() - pos_; }
  bool LittleEndian() const { return le_; }

 private:
  bool Take(size_t n, const uint8_t*& p);
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool le_;
  bool ok_ = true;
};

// Appends to a caller-owned buffer (kept across calls, so steady state does not allocate).
// Positions are relative to the buffer length at construction.
class NdrWriter {
 public:
  NdrWriter(std::vector<uint8_t>& out, bool little_endian = true)
      : out_(out), base_(out.size()), le_(little_endian) {}

  void Align(size_t n);
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void WriteUuid(const Uuid& v);
  void WriteSyntaxId(const SyntaxId& v);
  void Bytes(std::span<const uint8_t> v) { out_.insert(out_.end(), v.begin(), v.end()); }
  void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  // Maximum count, then the bytes.
  void ConformantBytes(std::span<const uint8_t> v);
  // A non-null unique pointer gets the next referent identifier (0x00020000, 0x00020004, ...).
  void Pointer(bool non_null);
  // Overwrites a 32-bit value written earlier at a position relative to the start.
  void PatchU32(size_t position, uint32_t v);

  size_t Position() const { return out_.size() - base_; }

 private:
  std::vector<uint8_t>& out_;
  size_t base_;
  bool le_;
  uint32_t next_referent_ = 0x00020000;
};

// Well-known transfer syntaxes.
extern const SyntaxId kNdr20;
extern const SyntaxId kNdr64;
// Bind-time feature negotiation: UUID 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx, where the last eight
// octets carry the feature bits; version 1.0.
bool IsBindTimeFeatureSyntax(const SyntaxId& s, uint64_t& features);

}  // namespace dcerpc
