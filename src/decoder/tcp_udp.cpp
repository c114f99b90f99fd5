// TCP (RFC 793) and UDP (RFC 768): port naming through the service database, the TCP sequence
// and flag summary, and the dispatch to the NetBIOS, DNS and SMB decoders above them.
#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {


struct FlagWord {
  uint8_t bit;
  const char* text;
};
constexpr FlagWord kTcpFlagWords[] = {{0x20, " URG"}, {0x10, " ACK"}, {0x08, " PSH"},
                                      {0x04, " RST"}, {0x02, " SYN"}, {0x01, " FIN"}};

// "/dst" (and " src" when the ports differ) into the summary, the names found into the
// protocol column.
void NamePorts(DecodedLine& line, TextSink& work, uint16_t src, uint16_t dst, bool tcp,
               const DecoderContext& ctx) {
  auto protocol = AppendText(line.ProtocolText);
  work.Char('/');
  if (const char* name = LookupServiceName(ctx, dst, tcp)) {
    work.Str(name);
    protocol.Char(' ').Str(name);
  } else {
    work.Dec(dst);
  }
  if (src == dst) return;
  work.Char(' ');
  if (const char* name = LookupServiceName(ctx, src, tcp)) {
    work.Str(name);
    protocol.Char(' ').Str(name);
  } else {
    work.Dec(src);
  }
}

}  // namespace

void DecodeTcp(DecodedLine& line, TextSink& work, ByteView tcp, const IpInfo& ip,
               const DecoderContext& ctx) {
  work.Str("TCP");
  SetText(line.ProtocolText).Str("TCP/IP");
  if (ip.fragment_offset != 0) {
    work.Str(" FragmentOffset=").Dec(ip.fragment_offset).Str(" id=");
    work.Hex(ip.id[0], 2).Hex(ip.id[1], 2);
    SetText(line.ProtocolText).Str("TCP/IP Fragment");
    return;
  }
  const uint16_t src = tcp.be16(l4_off::SrcPort), dst = tcp.be16(l4_off::DstPort);
  NamePorts(line, work, src, dst, true, ctx);

  const uint32_t header_length = (tcp.u8(l4_off::TcpHeaderLength) >> 4) * 4u;
  const uint16_t data_length =
      static_cast<uint16_t>(ip.total_length - ip.header_length - header_length);
  work.Str(" Ack=").Dec(tcp.be32(l4_off::TcpAck)).Str(" Seq=").Dec(tcp.be32(l4_off::TcpSeq));
  work.Str(" DataLen=").Dec(data_length, 5);
  const uint8_t flags = tcp.u8(l4_off::TcpFlags);
  for (const FlagWord& f : kTcpFlagWords)
    if (flags & f.bit) work.Str(f.text);
  if (ip.more_fragments) work.Str(" FRAGMENTED id=").Hex(ip.id[0], 2).Hex(ip.id[1], 2);

  if (src == port::NetbiosSession || dst == port::NetbiosSession)
    DecodeSmb(line, tcp.Sub(header_length));
}

void DecodeUdp(DecodedLine& line, TextSink& work, ByteView udp, const IpInfo& ip,
               const DecoderContext& ctx) {
  work.Str("UDP");
  SetText(line.ProtocolText).Str("UDP/IP");
  if (ip.fragment_offset != 0) {
    work.Str(" FragmentOffset=").Dec(ip.fragment_offset);
    SetText(line.ProtocolText).Str("UDP/IP Fragment");
    return;
  }
  const uint16_t src = udp.be16(l4_off::SrcPort), dst = udp.be16(l4_off::DstPort);
  NamePorts(line, work, src, dst, false, ctx);
  if (src == port::NetbiosName)
    DecodeNetBiosNameService(line, work, udp);
  else if (src == port::NetbiosDatagram)
    DecodeNetBiosDatagram(line, work, udp);
  else if (src == port::Dns || dst == port::Dns)
    DecodeDns(line, work, udp);
}

}  // namespace netward::decoder
