#include "accounting/frame_shape.h"

#include "accounting/accounting.h"
#include "wire/headers.h"

namespace netward {

namespace {

FrameShape Ip(FrameShape k, size_t ip) {
  k.cls = kClassIp;
  k.name = kNameIp;
  k.ip = ip;
  k.dest = ip + ip_off::Dest;
  k.src = ip + ip_off::Source;
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
  const uint8_t dsap = f.u8(llc + llc_off::Dsap), ssap = f.u8(llc + llc_off::Ssap), control = f.u8(llc + llc_off::Control);
  const uint16_t saps = static_cast<uint16_t>(dsap << 8 | ssap);
  if (saps == 0xFFFF) return Ipx(k, llc + 6, llc + 18);  // raw IPX: no LLC at all
  if (saps == 0xE0E0) return Ipx(k, llc + 9, llc + 21);
  if (saps == 0xAAAA) {  // SNAP: the Ethernet type after the 5-byte SNAP header
    switch (f.be16(llc + llc_off::SnapType)) {
      case ether_type::Ip:
        return Ip(k, llc + 8);
      case ether_type::Ipx:
        return Ipx(k, llc + 14, llc + 26);
      case ether_type::Arp:
        if (f.be16(llc + 10) == ether_type::Ip) return Arp(k, llc + 8);
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
  const uint16_t type = f.be16(eth_off::Type);
  if (type <= kMax8023Length) return ShapeOfLlc(f, eth_off::Data);  // a length: 802.3 with 802.2
  switch (type) {
    case ether_type::Ip:
      return Ip(FrameShape{}, eth_off::Data);
    case ether_type::Ipx:
      return Ipx(FrameShape{}, 20, 32);
    case ether_type::Arp:
      if (f.be16(eth_off::Data + 2) == ether_type::Ip) return Arp(FrameShape{}, eth_off::Data);  // protocol type 2-3
      return Link(FrameShape{}, kNameMisc);
    case ether_type::Appletalk:
    case ether_type::Aarp:
      return Link(FrameShape{}, kNameAppletalk);
    default:
      return Link(FrameShape{}, kNameMisc);
  }
}

}  // namespace netward
