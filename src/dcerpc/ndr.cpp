#include "dcerpc/ndr.h"

#include <cstdio>
#include <cstring>

namespace dcerpc {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Uuid MakeUuid(const char* text) {
  Uuid u;
  Uuid::Parse(text, u);
  return u;
}

}  // namespace

const SyntaxId kNdr20{MakeUuid("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
const SyntaxId kNdr64{MakeUuid("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};

bool Uuid::IsNil() const {
  for (uint8_t x : b)
    if (x != 0) return false;
  return true;
}

bool Uuid::Parse(std::string_view text, Uuid& out) {
  if (text.size() != 36) return false;
  uint8_t raw[16];
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    raw[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  // Text order is big-endian for the first three fields; the wire layout is little-endian.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out.b[i] = raw[kOrder[i]];
  return true;
}

std::string Uuid::ToString() const {
  char s[37];
  std::snprintf(s, sizeof s, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3],
                b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return s;
}

bool IsBindTimeFeatureSyntax(const SyntaxId& s, uint64_t& features) {
  static const Uuid kPrefix = MakeUuid("6cb71c2c-9812-4540-0000-000000000000");
  if (std::memcmp(s.uuid.b.data(), kPrefix.b.data(), 8) != 0) return false;
  features = 0;
  for (int i = 0; i < 8; ++i) features |= static_cast<uint64_t>(s.uuid.b[8 + i]) << (8 * i);
  return true;
}

// ---- reader

bool NdrReader::Take(size_t n, const uint8_t*& p) {
  if (!ok_ || n > data_.size() - pos_) return ok_ = false;
  p = data_.data() + pos_;
  pos_ += n;
  return true;
}

bool NdrReader::Align(size_t n) {
  size_t pad = (n - pos_ % n) % n;
  const uint8_t* p;
  return Take(pad, p);
}

bool NdrReader::U8(uint8_t& v) {
  const uint8_t* p;
  if (!Take(1, p)) return false;
  v = p[0];
  return true;
}

bool NdrReader::U16(uint16_t& v) {
  const uint8_t* p;
  if (!Align(2) || !Take(2, p)) return false;
  v = le_ ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[1] | p[0] << 8);
  return true;
}

bool NdrReader::U32(uint32_t& v) {
  const uint8_t* p;
  if (!Align(4) || !Take(4, p)) return false;
  v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[le_ ? i : 3 - i]) << (8 * i);
  return true;
}

bool NdrReader::I32(int32_t& v) {
  uint32_t u;
  if (!U32(u)) return false;
  v = static_cast<int32_t>(u);
  return true;
}

bool NdrReader::U64(uint64_t& v) {
  const uint8_t* p;
  if (!Align(8) || !Take(8, p)) return false;
  v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[le_ ? i : 7 - i]) << (8 * i);
  return true;
}

bool NdrReader::ReadUuid(Uuid& v) {
  // uuid_t is a struct {u32, u16, u16, u8[8]}: the first three fields follow the byte order.
  uint32_t a;
  uint16_t b, c;
  const uint8_t* p;
  if (!U32(a) || !U16(b) || !U16(c) || !Take(8, p)) return false;
  for (int i = 0; i < 4; ++i) v.b[i] = static_cast<uint8_t>(a >> (8 * i));
  v.b[4] = static_cast<uint8_t>(b);
  v.b[5] = static_cast<uint8_t>(b >> 8);
  v.b[6] = static_cast<uint8_t>(c);
  v.b[7] = static_cast<uint8_t>(c >> 8);
  std::memcpy(v.b.data() + 8, p, 8);
  return true;
}

bool NdrReader::ReadSyntaxId(SyntaxId& v) { return ReadUuid(v.uuid) && U16(v.major) && U16(v.minor); }

bool NdrReader::Bytes(std::span<uint8_t> out) {
  const uint8_t* p;
  if (!Take(out.size(), p)) return false;
  if (!out.empty()) std::memcpy(out.data(), p, out.size());
  return true;
}

bool NdrReader::View(size_t n, std::span<const uint8_t>& out) {
  const uint8_t* p;
  if (!Take(n, p)) return false;
  out = {p, n};
  return true;
}

bool NdrReader::Skip(size_t n) {
  const uint8_t* p;
  return Take(n, p);
}

bool NdrReader::ConformantBytes(uint32_t max_count, std::span<const uint8_t>& out) {
  uint32_t count;
  if (!U32(count)) return false;
  if (count > max_count) return ok_ = false;
  return View(count, out);
}

// ---- writer

void NdrWriter::Align(size_t n) {
  size_t pad = (n - Position() % n) % n;
  out_.insert(out_.end(), pad, 0);
}

void NdrWriter::U16(uint16_t v) {
  Align(2);
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  if (!le_) std::swap(b[0], b[1]);
  out_.insert(out_.end(), b, b + 2);
}

void NdrWriter::U32(uint32_t v) {
  Align(4);
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[le_ ? i : 3 - i] = static_cast<uint8_t>(v >> (8 * i));
  out_.insert(out_.end(), b, b + 4);
}

void NdrWriter::U64(uint64_t v) {
  Align(8);
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[le_ ? i : 7 - i] = static_cast<uint8_t>(v >> (8 * i));
  out_.insert(out_.end(), b, b + 8);
}

void NdrWriter::WriteUuid(const Uuid& v) {
  U32(static_cast<uint32_t>(v.b[0] | v.b[1] << 8 | v.b[2] << 16 | static_cast<uint32_t>(v.b[3]) << 24));
  U16(static_cast<uint16_t>(v.b[4] | v.b[5] << 8));
  U16(static_cast<uint16_t>(v.b[6] | v.b[7] << 8));
  out_.insert(out_.end(), v.b.begin() + 8, v.b.end());
}

void NdrWriter::WriteSyntaxId(const SyntaxId& v) {
  WriteUuid(v.uuid);
  U16(v.major);
  U16(v.minor);
}

void NdrWriter::ConformantBytes(std::span<const uint8_t> v) {
  U32(static_cast<uint32_t>(v.size()));
  Bytes(v);
}

void NdrWriter::Pointer(bool non_null) {
  if (!non_null) {
    U32(0);
    return;
  }
  U32(next_referent_);
  next_referent_ += 4;
}

void NdrWriter::PatchU32(size_t position, uint32_t v) {
  uint8_t* p = out_.data() + base_ + position;
  for (int i = 0; i < 4; ++i) p[le_ ? i : 3 - i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace dcerpc
