// IPv4 (RFC 791) and ICMP (RFC 792; next-hop MTU of RFC 1191): the IP layer with its protocol
// dispatch, and the ICMP message texts.
#include <cstring>

#include "decoder/decoder_internal.h"

namespace netward::decoder {
namespace {

// IP header: version/header length 0, total length 2-3, identification 4-5, flags and fragment
// offset 6-7 (0x20 of byte 6: more fragments), protocol 9, destination 16-19.
constexpr size_t kIpVersionLength = 0, kIpTotalLength = 2, kIpId = 4, kIpFragment = 6,
                 kIpProtocol = 9, kIpDest = 16;

// ICMP: type 0, code 1, redirect gateway 4-7, next-hop MTU 6-7, then the offending datagram's
// IP header from 8, taken to be 20 bytes: its protocol at 17, destination at 24-27 and the
// destination port of its TCP or UDP header at 30-31.
constexpr size_t kIcmpType = 0, kIcmpCode = 1, kIcmpGateway = 4, kIcmpMtu = 6,
                 kIcmpInnerProtocol = 17, kIcmpInnerDest = 24, kIcmpInnerPort = 30;

const char* UnreachableText(uint8_t code) {
  switch (code) {
    case 0: return "ICMP Network Unreachable";
    case 1: return "ICMP Host Unreachable";
    case 2: return "ICMP Protocol Unreachable";
    case 4: return "ICMP Fragmentation needed but not set";
    case 5: return "ICMP Source Route Failed";
    case 6: return "ICMP Destination Network Unknown";
    case 7: return "ICMP Destination Host Unknown";
    case 8: return "ICMP Source Host Isolated";
    case 9: return "ICMP Destination Network Administratively Prohibited";
    case 10: return "ICMP Destination Host Administratively Prohibited";
    case 11: return "ICMP Network Unreachable for TOS";
    case 12: return "ICMP Host Unreachable for TOS";
    case 13: return "ICMP Communication Administratively Prohibited by Filtering";
    case 14: return "ICMP Host Precedence Violation";
    case 15: return "ICMP Precedence Cutoff in Effect";
    default: return "ICMP Destination Unreachable";
  }
}

const char* RedirectText(uint8_t code) {
  switch (code) {
    case 0: return "ICMP Redirect for network";
    case 1: return "ICMP Redirect for host";
    case 2: return "ICMP Redirect for TOS and network";
    case 3: return "ICMP Redirect for TOS and host";
    default: return "ICMP Redirect";
  }
}

// Types with a fixed text; types 3, 5 and 11 are composed.
const char* FixedTypeText(uint8_t type) {
  switch (type) {
    case 0: return "ICMP PING Reply";
    case 4: return "ICMP Source Quench";
    case 8: return "ICMP PING";
    case 9: return "ICMP Router Advertisement";
    case 10: return "ICMP Router Solicitation";
    case 12: return "ICMP Parameter Problem";
    case 13: return "ICMP Timestamp";
    case 14: return "ICMP Timestamp Reply";
    case 15: return "ICMP Information Request";
    case 16: return "ICMP Information Reply";
    case 17: return "ICMP Subnet Mask Address Request";
    case 18: return "ICMP Subnet Mask Address Reply";
    default: return "ICMP";
  }
}

void PortUnreachable(TextSink& work, FrameView icmp, const DecoderContext& ctx) {
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

void DecodeIcmp(DecodedLine& line, TextSink& work, FrameView icmp, const DecoderContext& ctx) {
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

void DecodeIp(DecodedLine& line, FrameView ip, const DecoderContext& ctx) {
  SetText(line.ProtocolText).Str("IP");
  char text[kWorkTextSize] = {};
  {
    TextSink work(text, kWorkTextSize - 1);
    {
      auto dest = SetText(line.DestinationText);
      dest.Ipv4(ip, kIpDest);
    }
    IpInfo info;
    info.header_length = (ip.u8(kIpVersionLength) & 0x0F) * 4u;
    info.total_length = ip.be16(kIpTotalLength);
    info.id[0] = ip.u8(kIpId);
    info.id[1] = ip.u8(kIpId + 1);
    info.more_fragments = ip.u8(kIpFragment) & 0x20;
    info.fragment_offset = (ip.be16(kIpFragment) & 0x1FFFu) * 8u;
    const FrameView payload = ip.Sub(info.header_length);

    switch (const uint8_t protocol = ip.u8(kIpProtocol)) {
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
