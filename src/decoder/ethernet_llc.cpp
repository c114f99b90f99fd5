// Ethernet II / IEEE 802.3 framing and IEEE 802.2 LLC with SNAP (RFC 1042): the 802.3 media entry,
// the LLC decoder shared by both media and the media dispatch.
#include <cstdio>

#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {

// NetBEUI frames to the NetBIOS multicast address carry a 3-byte LLC header.
constexpr size_t kNetbiosAfterLlc = eth_off::Data + 3;

// An ARP packet in SNAP has its protocol type at 10-11 of the LLC header.
constexpr size_t kSnapArpProto = 10;

struct NamedSap {
  uint8_t sap;
  const char* summary;
  const char* protocol;
};
// Searched in order; the first SAP value matched by the SSAP or the DSAP names the frame.
constexpr NamedSap kNamedSaps[] = {
    {0xF0, "NetBEUI ", "NetBEUI"},
    {0x04, "SNA ", "SNA"},
    {0x08, "SNA ", "SNA"},
    {0x42, "Spanning Tree BPDU ", "Spanning Tree BPDU"},
    {0xF4, "Network Management ", "Network Management"},
};

struct ControlText {
  uint8_t control;
  const char* text;
  bool shows_nr;  // S-frames: N(R) from the second control byte
};
constexpr ControlText kControlTexts[] = {
    {0x01, " RR", true},          {0x05, " RNR", true},     {0x09, " REJ", true},
    {0x03, " UI", false},         {0x13, " UI POLL", false}, {0x43, " DISC", false},
    {0x53, " DISC POLL", false},  {0x0F, " DM", false},      {0x1F, " DM FINAL", false},
    {0x63, " UA", false},         {0x73, " UA FINAL", false}, {0x6F, " SABME", false},
    {0x7F, " SABME POLL", false}, {0x87, " FRMR", false},    {0x97, " FRMR FINAL", false},
    {0xAF, " XID", false},        {0xBF, " XID p/f=1", false}, {0xE3, " TEST", false},
    {0xF3, " TEST p/f=1", false},
};


void BothTexts(DecodedLine& line, const char* text) {
  SetText(line.SummaryText).Str(text);
  SetText(line.ProtocolText).Str(text);
}

}  // namespace

void DecodeEthernetFrame(DecodedLine& line, ByteView f, const DecoderContext& ctx) {
  {
    auto dest = SetText(line.DestinationText);
    WriteMac(dest, f, eth_off::Dest);
  }
  if ((f.u8(eth_off::Dest) & 0x01) && f.equals(eth_off::Dest, 6, kNetbiosMulticast)) {
    DecodeNetBiosFrame(line, f.Sub(kNetbiosAfterLlc), ctx);
    return;
  }
  const uint16_t type = f.be16(eth_off::Type);
  if (type <= kMax8023Length) {
    DecodeLlc(line, f.Sub(eth_off::Data), ctx);
    return;
  }
  switch (type) {
    case ether_type::Ip:
      DecodeIp(line, f.Sub(eth_off::Data), ctx);
      return;
    case ether_type::Ipx:
      DecodeIpx(line, f.Sub(eth_off::Data), ctx);
      return;
    case ether_type::Arp:
      // ARP for IP only: hardware type 14-15, protocol type 16-17.
      if (f.be16(eth_off::Data + 2) == ether_type::Ip) {
        DecodeArp(line, f.Sub(eth_off::Data), ctx);
        return;
      }
      break;
    case 0x80F3:  // AppleTalk ARP
    case 0x809B:  // AppleTalk DDP
      BothTexts(line, "Appletalk");
      return;
    case 0xC021:
      BothTexts(line, "LCP");
      return;
    case 0x8021:
      BothTexts(line, "IPCP");
      return;
    default:
      break;
  }
  SetText(line.SummaryText).Str("TYPE ").Hex(type, 4);
}

void DecodeLlc(DecodedLine& line, ByteView llc, const DecoderContext& ctx) {
  SetText(line.ProtocolText).Str("LLC");
  switch (llc.be16(llc_off::Dsap)) {
    case 0xFFFF:  // raw 802.3 IPX: the two bytes are the IPX checksum
      DecodeIpx(line, llc, ctx);
      return;
    case 0xE0E0:
      DecodeIpx(line, llc.Sub(3), ctx);
      return;
    case 0xAAAA: {
      const uint16_t type = llc.be16(llc_off::SnapType);
      if (type == ether_type::Ip) {
        DecodeIp(line, llc.Sub(llc_off::SnapData), ctx);
      } else if (type == ether_type::Ipx) {
        DecodeIpx(line, llc.Sub(llc_off::SnapData), ctx);
      } else if (type == ether_type::Arp && llc.be16(kSnapArpProto) == ether_type::Ip) {
        DecodeArp(line, llc.Sub(llc_off::SnapData), ctx);
      } else {
        SetText(line.SummaryText).Str("SNAP TYPE ").Hex(type, 4);
        SetText(line.ProtocolText).Str("SNAP TYPE ").Hex(type, 4);
      }
      return;
    }
    default:
      break;
  }

  const uint8_t dsap = llc.u8(llc_off::Dsap), ssap = llc.u8(llc_off::Ssap), control = llc.u8(llc_off::Control);
  auto summary = SetText(line.SummaryText);
  for (const NamedSap& n : kNamedSaps) {
    if (ssap == n.sap || dsap == n.sap) {
      summary.Str(n.summary);
      SetText(line.ProtocolText).Str(n.protocol);
      break;
    }
  }
  summary.Str("LLC ").Hex(dsap, 2).Char('/').Hex(ssap, 2);
  if ((control & 0x01) == 0) {
    summary.Str(" I-Frame N(R)=").Dec(llc.u8(llc_off::Control2) >> 1).Str(" N(S)=").Dec(control >> 1);
  } else {
    for (const ControlText& c : kControlTexts) {
      if (c.control != control) continue;
      summary.Str(c.text);
      if (c.shows_nr) summary.Str(" N(R)=").Dec(llc.u8(llc_off::Control2) >> 1);
      break;
    }
  }
  if (ssap & 0x01) summary.Str(" Response");
}

void ConsoleWarning(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

const char* LookupServiceName(const DecoderContext& ctx, uint16_t port, bool tcp) {
  if (ctx.services) {
    if (const char* name = ctx.services->ServiceName(port, tcp)) return name;
  }
  return port == 80 ? "www-http" : nullptr;
}

void DecodeFrame(DecodedLine& line, const uint8_t* data, size_t size, int32_t media_type,
                 const DecoderContext& ctx) {
  const ByteView frame(data, size);
  if (media_type == kMedium8023)
    DecodeEthernetFrame(line, frame, ctx);
  else if (media_type == kMedium8025)
    DecodeTokenRingFrame(line, frame, ctx);
}

void DecodeStoredFrame(DecodedLine& line, const uint8_t (&stored)[kStoredFrameBytes],
                       uint32_t frame_length, int32_t media_type, const DecoderContext& ctx) {
  const size_t size = frame_length < kStoredFrameBytes ? frame_length : kStoredFrameBytes;
  DecodeFrame(line, stored, size, media_type, ctx);
}

}  // namespace netward::decoder
