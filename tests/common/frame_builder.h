// Test frames, built field by field so that a reader sees what each frame is. Fields are appended
// (U8, U16, Eth, Ip, Tcp, ...) or written at an offset (Put, Be16, Le32, Text, ...), the frame
// growing with zeros as needed. Done() gives the frame as sent (padded to the 60-byte minimum),
// Stored() its first 256 bytes as the capture thread stores them (zeros behind the frame).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace netward::test {

using Mac = std::array<uint8_t, 6>;
using Ip4 = std::array<uint8_t, 4>;

inline constexpr Mac kOwnMac = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0A};
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline Mac MacN(uint8_t n) { return {0x02, 0x00, 0x00, 0x00, 0x00, n}; }
inline Ip4 IpN(uint8_t n) { return {10, 1, 0, n}; }

inline constexpr size_t kStoredBytes = 256;

class Frame {
 public:
  // Appended, big-endian.
  Frame& U8(uint8_t v) { b_.push_back(v); return *this; }
  Frame& U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
  Frame& U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
  template <size_t N>
  Frame& Bytes(const std::array<uint8_t, N>& a) { b_.insert(b_.end(), a.begin(), a.end()); return *this; }
  Frame& Bytes(std::initializer_list<uint8_t> l) { b_.insert(b_.end(), l); return *this; }
  Frame& Zeros(size_t n) { b_.resize(b_.size() + n); return *this; }
  Frame& Eth(const Mac& dst, const Mac& src, uint16_t type) { return Bytes(dst).Bytes(src).U16(type); }
  // IPv4 header of 20 bytes; total length = 20 + `payload`.
  Frame& Ip(const Ip4& src, const Ip4& dst, uint8_t proto, uint16_t payload, uint16_t frag = 0) {
    return U8(0x45).U8(0).U16(uint16_t(20 + payload)).U16(1).U16(frag).U8(64).U8(proto).U16(0).Bytes(src).Bytes(dst);
  }
  Frame& Tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint8_t flags, uint16_t data = 0) {
    U16(sport).U16(dport).U32(seq).U32(0).U8(0x50).U8(flags).U16(8192).U32(0);
    return Zeros(data);
  }
  Frame& Udp(uint16_t sport, uint16_t dport, uint16_t len) { return U16(sport).U16(dport).U16(len).U16(0); }
  Frame& Arp(uint16_t op, const Mac& sha, const Ip4& spa, const Mac& tha, const Ip4& tpa) {
    return U16(1).U16(0x0800).U8(6).U8(4).U16(op).Bytes(sha).Bytes(spa).Bytes(tha).Bytes(tpa);
  }
  Frame& Llc(uint8_t dsap, uint8_t ssap, uint8_t control) { return U8(dsap).U8(ssap).U8(control); }
  // Rewrites the 802.3 length field (bytes 12-13) to the bytes after the header.
  Frame& FixLength() { return Be16(12, uint16_t(b_.size() - 14)); }

  // Written at `off`.
  Frame& Put(size_t off, std::initializer_list<uint8_t> bytes) {
    if (b_.size() < off + bytes.size()) b_.resize(off + bytes.size());
    for (uint8_t v : bytes) b_[off++] = v;
    return *this;
  }
  Frame& Be16(size_t off, uint16_t v) { return Put(off, {uint8_t(v >> 8), uint8_t(v)}); }
  Frame& Be32(size_t off, uint32_t v) { return Be16(off, uint16_t(v >> 16)).Be16(off + 2, uint16_t(v)); }
  Frame& Le16(size_t off, uint16_t v) { return Put(off, {uint8_t(v), uint8_t(v >> 8)}); }
  Frame& Le32(size_t off, uint32_t v) { return Le16(off, uint16_t(v)).Le16(off + 2, uint16_t(v >> 16)); }
  Frame& Text(size_t off, const std::string& s) {
    for (char c : s) Put(off++, {static_cast<uint8_t>(c)});
    return *this;
  }
  // RFC 1001 first-level encoding of a 15-character name (blank-padded) and its suffix.
  Frame& EncodedName(size_t off, const std::string& name, uint8_t suffix) {
    std::string n = name;
    n.resize(15, ' ');
    n.push_back(static_cast<char>(suffix));
    for (unsigned char c : n) Put(off, {uint8_t('A' + (c >> 4)), uint8_t('A' + (c & 15))}), off += 2;
    return *this;
  }
  Frame& PlainName(size_t off, const std::string& name, uint8_t suffix) {
    std::string n = name;
    n.resize(15, ' ');
    return Text(off, n).Put(off + 15, {suffix});
  }

  std::vector<uint8_t> Done() const {
    std::vector<uint8_t> out = b_;
    if (out.size() < 60) out.resize(60);
    return out;
  }
  std::array<uint8_t, kStoredBytes> Stored() const {
    std::array<uint8_t, kStoredBytes> s{};
    for (size_t i = 0; i < b_.size() && i < s.size(); ++i) s[i] = b_[i];
    return s;
  }

 private:
  std::vector<uint8_t> b_;
};

}  // namespace netward::test
