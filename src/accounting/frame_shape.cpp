#include "accounting/frame_shape.h"

#include "accounting/accounting.h"

namespace netward {

namespace {

constexpr uint16_t kTypeIp = 0x0800;
constexpr uint16_t kTypeArp = 0x0806;
constexpr uint16_t kTypeIpx = 0x8137;
constexpr uint16_t kTypeAppletalk = 0x809B;
constexpr uint16_t kTypeAarp = 0x80F3;

FrameShape Ip(FrameShape k, size_t ip) {
  k.cls = kClassIp;
  k.name = kNameIp;
  k.ip = ip;
  k.dest = ip + 16;
  k.src = ip + 12;
  return k;
}

// ARP for IPv4: the stations are the target and the sender protocol address.
FrameShape Arp(FrameShape k, size_t arp) {
  k.cls = kClassIp;
  k.name = kNameIp;
  k.arp = arp;
  k.dest = arp + 24;
  k.src = arp + 14;
  return k;
}

FrameShape Ipx(FrameShape k, size_t dest, size_t src) {
  k.cls = kClassIpx;
  k.name = kNameIpx;
  k.dest = dest;
  k.src = src;
  return k;
}

FrameShape Link(FrameShape k, ProtocolName name) {
  k.cls = kClassLink;
  k.name = name;
  return k;
}

}  // namespace

FrameShape ShapeOfLlc(ByteView f, size_t llc) {
  FrameShape k;
  k.llc = llc;
  const uint8_t dsap = f.u8(llc), ssap = f.u8(llc + 1), control = f.u8(llc + 2);
  const uint16_t saps = static_cast<uint16_t>(dsap << 8 | ssap);
  if (saps == 0xFFFF) return Ipx(k, llc + 6, llc + 18);  // raw IPX: no LLC at all
  if (saps == 0xE0E0) return Ipx(k, llc + 9, llc + 21);
  if (saps == 0xAAAA) {  // SNAP: the Ethernet type after the 5-byte SNAP header
    switch (f.be16(llc + 6)) {
      case kTypeIp:
        return Ip(k, llc + 8);
      case kTypeIpx:
        return Ipx(k, llc + 14, llc + 26);
      case kTypeArp:
        if (f.be16(llc + 10) == kTypeIp) return Arp(k, llc + 8);
        break;
      default:
        break;
    }
    return Link(k, kNameMisc);
  }
  ProtocolName name = kNameMisc;
  if (dsap == 0xF0 || ssap == 0xF0)
    name = kNameNetbeui;
  else if (dsap == 0x04 || ssap == 0x04 || dsap == 0x08 || ssap == 0x08)
    name = kNameSna;
  k.llc_error = control == 0x05 || control == 0x09 || control == 0x87 || control == 0x97;
  return Link(k, name);
}

FrameShape ShapeOfEthernet(ByteView f) {
  const uint16_t type = f.be16(12);
  if (type <= 1500) return ShapeOfLlc(f, 14);  // a length: 802.3 with 802.2
  switch (type) {
    case kTypeIp:
      return Ip(FrameShape{}, 14);
    case kTypeIpx:
      return Ipx(FrameShape{}, 20, 32);
    case kTypeArp:
      if (f.be16(16) == kTypeIp) return Arp(FrameShape{}, 14);
      return Link(FrameShape{}, kNameMisc);
    case kTypeAppletalk:
    case kTypeAarp:
      return Link(FrameShape{}, kNameAppletalk);
    default:
      return Link(FrameShape{}, kNameMisc);
  }
}

}  // namespace netward
