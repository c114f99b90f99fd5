// IPv4 (RFC 791) and ICMP (RFC 792; next-hop MTU of RFC 1191): the IP layer with its protocol
// dispatch, and the ICMP message texts.
#include <cstring>

#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {

// 0x20 of the IP header's byte 6: more fragments.

// ICMP: type 0, code 1, redirect gateway 4-7, next-hop MTU 6-7, then the offending datagram's
// IP header from 8, taken to be 20 bytes: its protocol at 17, destination at 24-27 and the
// destination port of its TCP or UDP header at 30-31.
constexpr size_t kIcmpType = 0, kIcmpCode = 1, kIcmpGateway = 4, kIcmpMtu = 6,
                 kIcmpInnerProtocol = 17, kIcmpInnerDest = 24, kIcmpInnerPort = 30;

// Destination-unreachable codes (RFC 792, RFC 1812); code 3 is composed.
constexpr Tok kUnreachableCodes[] = {
    {0, "ICMP Network Unreachable"},
    {1, "ICMP Host Unreachable"},
    {2, "ICMP Protocol Unreachable"},
    {4, "ICMP Fragmentation needed but not set"},
    {5, "ICMP Source Route Failed"},
    {6, "ICMP Destination Network Unknown"},
    {7, "ICMP Destination Host Unknown"},
    {8, "ICMP Source Host Isolated"},
    {9, "ICMP Destination Network Administratively Prohibited"},
    {10, "ICMP Destination Host Administratively Prohibited"},
    {11, "ICMP Network Unreachable for TOS"},
    {12, "ICMP Host Unreachable for TOS"},
    {13, "ICMP Communication Administratively Prohibited by Filtering"},
    {14, "ICMP Host Precedence Violation"},
    {15, "ICMP Precedence Cutoff in Effect"},
};
const char* UnreachableText(uint8_t code) { return Tok2Str(kUnreachableCodes, code, "ICMP Destination Unreachable"); }

// Redirect codes (RFC 792).
constexpr Tok kRedirectCodes[] = {
    {0, "ICMP Redirect for network"},
    {1, "ICMP Redirect for host"},
    {2, "ICMP Redirect for TOS and network"},
    {3, "ICMP Redirect for TOS and host"},
};
const char* RedirectText(uint8_t code) { return Tok2Str(kRedirectCodes, code, "ICMP Redirect"); }

// ICMP types with a fixed text; types 3, 5 and 11 are composed.
constexpr Tok kFixedTypes[] = {
    {0, "ICMP PING Reply"},
    {4, "ICMP Source Quench"},
    {8, "ICMP PING"},
    {9, "ICMP Router Advertisement"},
    {10, "ICMP Router Solicitation"},
    {12, "ICMP Parameter Problem"},
    {13, "ICMP Timestamp"},
    {14, "ICMP Timestamp Reply"},
    {15, "ICMP Information Request"},
    {16, "ICMP Information Reply"},
    {17, "ICMP Subnet Mask Address Request"},
    {18, "ICMP Subnet Mask Address Reply"},
};
const char* FixedTypeText(uint8_t type) { return Tok2Str(kFixedTypes, type, "ICMP"); }

void PortUnreachable(TextSink& work, ByteView icmp, const DecoderContext& ctx) {
  const uint8_t protocol = icmp.u8(kIcmpInnerProtocol);
  const uint16_t port = icmp.be16(kIcmpInnerPort);
  const char* name = nullptr;
  if (protocol == 6 || protocol == 17) name = LookupServiceName(ctx, port, protocol == 6);
  work.Str("ICMP Port '");
  if (name)
    work.Str(name);
  else
    work.Dec(port);
  work.Str("' Unreachable");
}

}  // namespace

void DecodeIcmp(DecodedLine& line, TextSink& work, ByteView icmp, const DecoderContext& ctx) {
  line.ProtocolText[0] = '\0';
  const uint8_t type = icmp.u8(kIcmpType), code = icmp.u8(kIcmpCode);
  switch (type) {
    case 3:
      SetText(line.ProtocolText).Str("ICMP Destination Unreachable");
      if (code == 3) {
        PortUnreachable(work, icmp, ctx);
      } else {
        work.Str(UnreachableText(code));
        if (code == 4 && icmp.be16(kIcmpMtu) != 0) work.Str(", MaxMTU=").Dec(icmp.be16(kIcmpMtu));
      }
      work.Str(", for Target=").Ipv4(icmp, kIcmpInnerDest);
      break;
    case 5:
      work.Str(RedirectText(code));
      if (icmp.be32(kIcmpGateway) == icmp.be32(kIcmpInnerDest)) {
        work.Str(".  No need to use router since Dest=").Ipv4(icmp, kIcmpInnerDest).Str(" is LOCAL");
      } else {
        work.Str(".  Use Router=").Ipv4(icmp, kIcmpGateway).Str(" for Dest=");
        work.Ipv4(icmp, kIcmpInnerDest);
      }
      break;
    case 11:
      work.Str("ICMP Time Exceeded for Dest=").Ipv4(icmp, kIcmpInnerDest);
      break;
    default:
      work.Str(FixedTypeText(type));
      break;
  }
}

void DecodeIp(DecodedLine& line, ByteView ip, const DecoderContext& ctx) {
  SetText(line.ProtocolText).Str("IP");
  char text[kWorkTextSize] = {};
  {
    TextSink work(text, kWorkTextSize - 1);
    {
      auto dest = SetText(line.DestinationText);
      dest.Ipv4(ip, ip_off::Dest);
    }
    IpInfo info;
    info.header_length = (ip.u8(ip_off::VersionLength) & 0x0F) * 4u;
    info.total_length = ip.be16(ip_off::TotalLength);
    info.id[0] = ip.u8(ip_off::Id);
    info.id[1] = ip.u8(ip_off::Id + 1);
    info.more_fragments = ip.u8(ip_off::Fragment) & 0x20;
    info.fragment_offset = (ip.be16(ip_off::Fragment) & 0x1FFFu) * 8u;
    const ByteView payload = ip.Sub(info.header_length);

    switch (const uint8_t protocol = ip.u8(ip_off::Protocol)) {
      case 1:
        DecodeIcmp(line, work, payload, ctx);
        // Every message but destination-unreachable names itself in the protocol column.
        if (line.ProtocolText[0] == '\0') SetText(line.ProtocolText).Str(text);
        break;
      case 6:
        DecodeTcp(line, work, payload, info, ctx);
        break;
      case 17:
        DecodeUdp(line, work, payload, info, ctx);
        break;
      case 88:
        work.Str("IGRP");
        SetText(line.ProtocolText).Str("IGRP");
        break;
      case 89:
        work.Str("OSPF");
        SetText(line.ProtocolText).Str("OSPF");
        break;
      default:
        work.Str("Protocol=x'").Hex(protocol, 2).Char('\'');
        break;
    }
  }
  memcpy(line.SummaryText, text, sizeof line.SummaryText);
}

}  // namespace netward::decoder
