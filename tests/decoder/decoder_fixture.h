// Frames for decoder tests (the shared builder, addressed as the decoder tests want) and a decoder
// with a fixed role table and service database.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/frame_builder.h"
#include "decoder/decoder.h"

namespace netward::decoder::test {

using netward::test::Frame;

// Ethernet II with destination 02-00-00-00-00-01 and the given type.
inline Frame Ethernet(uint16_t type) {
  Frame f;
  f.Put(0, {0x02, 0, 0, 0, 0, 0x01}).Put(6, {0x02, 0, 0, 0, 0, 0x02}).Be16(12, type);
  return f;
}
// IPv4 from byte 14 to 10.1.2.3: header length 20, total length `total`, protocol `proto`.
// The transport header starts at kL4.
inline constexpr size_t kIp = 14, kL4 = 34;
inline Frame Ipv4(uint8_t proto, uint16_t total = 40) {
  Frame f = Ethernet(0x0800);
  f.Put(kIp, {0x45}).Be16(kIp + 2, total).Put(kIp + 4, {0x12, 0x34});
  f.Put(kIp + 9, {proto}).Put(kIp + 12, {10, 0, 0, 7}).Put(kIp + 16, {10, 1, 2, 3});
  return f;
}
inline Frame Tcp(uint16_t src, uint16_t dst, uint8_t flags, uint16_t total = 40) {
  Frame f = Ipv4(6, total);
  f.Be16(kL4, src).Be16(kL4 + 2, dst).Be32(kL4 + 4, 5678).Be32(kL4 + 8, 1234);
  f.Put(kL4 + 12, {0x50, flags});
  return f;
}
inline Frame Udp(uint16_t src, uint16_t dst) {
  Frame f = Ipv4(17);
  f.Be16(kL4, src).Be16(kL4 + 2, dst);
  return f;
}

inline std::string Col(const char* text, size_t width) { return std::string(text, strnlen(text, width)); }
#define COL(field) ::netward::decoder::test::Col(field, sizeof(field))

// A context with a fixed service database (names independent of the host) and a role table.
class TestRoles final : public AddressRoleLabels {
 public:
  const char* AddressRoleLabel(uint32_t adapter, const uint8_t ip[4]) const override {
    static constexpr uint8_t kGw[4] = {10, 0, 0, 1}, kSelf[4] = {10, 0, 0, 7};
    if (adapter != 1) return "";
    if (!memcmp(ip, kGw, 4)) return "GW";
    if (!memcmp(ip, kSelf, 4)) return "Self";
    return "";
  }
};

struct Decoder {
  TestRoles roles;
  DecoderContext ctx;

  explicit Decoder(const ServiceNames* names = nullptr) {
    static constexpr uint8_t kOwn[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0A};
    memcpy(ctx.own_address, kOwn, 6);
    ctx.roles = &roles;
    ctx.services = names;
  }
  // A line as the detail reply prepares it (blank destination and summary), then decoded.
  DecodedLine Decode(const Frame& f, int32_t media = kMedium8023) {
    DecodedLine line;
    LineHeader h;
    h.adapter_number = 1;
    h.source_label = "SRC";
    h.proto_label = "PEER";
    h.direction = 1;
    PrepareDecodedLine(line, h);
    const auto stored = f.Stored();
    DecodeFrame(line, stored.data(), stored.size(), media, ctx);
    return line;
  }
};

}  // namespace netward::decoder::test
