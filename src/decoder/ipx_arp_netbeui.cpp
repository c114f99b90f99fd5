// IPX with SAP (Novell IPX/SAP), ARP and RARP for IPv4 (RFC 826, RFC 903) and the NetBIOS Frames
// protocol of NetBEUI frames sent to the NetBIOS group address.
#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {

// IPX header (30 bytes, big-endian): destination network 6-9, node 10-15, socket 16-17; source
// socket 28-29; a SAP packet's operation at 30-31, of which the low byte is read.
constexpr size_t kIpxDestNet = 6, kIpxDestNode = 10, kIpxDestSocket = 16, kIpxSrcSocket = 28,
                 kSapOperationLow = 31;
constexpr uint16_t kSapSocket = 0x0452;


// NetBIOS Frames header, from the first byte after the 3-byte LLC header: command 4,
// destination name 12-27 (suffix 27), source name 28-43 (suffix 43).
constexpr size_t kNbfCommand = 4, kNbfDest = 12, kNbfSource = 28;

// SAP operations.
constexpr Tok kSapOperations[] = {
    {1, "SAP General Service Query"},
    {2, "SAP General Service Response"},
    {3, "SAP Nearest Service Query"},
    {4, "SAP Nearest Service Response"},
};
const char* SapText(uint8_t operation) { return Tok2Str(kSapOperations, operation, "SAP"); }

// NetBIOS Frames commands.
constexpr Tok kNbfCommands[] = {
    {0x00, "Add Group Name"},
    {0x01, "Add Name Query"},
    {0x02, "Name in Conflict"},
    {0x03, "Status Query"},
    {0x07, "Terminate Trace"},
    {0x08, "Datagram"},
    {0x09, "Broadcast Datagram"},
    {0x0A, "Name Query"},
    {0x0D, "Add Name Response"},
    {0x0E, "Name Recognize"},
    {0x0F, "Status Response"},
    {0x13, "Status Response"},
    {0x14, "Data Ack"},
    {0x15, "Data First Middle"},
    {0x16, "Data Only Last"},
    {0x17, "Session Confirm"},
    {0x18, "Session End"},
    {0x19, "Session Initialize"},
    {0x1A, "No Receive"},
    {0x1B, "Receive Outstanding"},
    {0x1C, "Receive Continue"},
    {0x1F, "Session Alive"},
};
const char* NbfCommandText(uint8_t command) { return Tok2Str(kNbfCommands, command, ""); }

void AppendRole(TextSink& out, const DecodedLine& line, ByteView arp, size_t off,
                const DecoderContext& ctx) {
  if (!ctx.roles) return;
  uint8_t ip[4];
  arp.bytes(off, 4, ip);
  const char* role = ctx.roles->AddressRoleLabel(line.AdapterNumber, ip);
  if (role && *role) out.Str(" (").Str(role).Char(')');
}

}  // namespace

void DecodeIpx(DecodedLine& line, ByteView ipx, const DecoderContext&) {
  {
    auto dest = SetText(line.DestinationText);
    dest.HexBytes(ipx, kIpxDestNet, 4).Char(':').HexBytes(ipx, kIpxDestNode, 6);
  }
  auto protocol = SetText(line.ProtocolText);
  protocol.Str("IPX");
  auto summary = SetText(line.SummaryText);
  summary.Str("IPX ");
  const uint16_t dest_socket = ipx.be16(kIpxDestSocket);
  if (dest_socket == kSapSocket) {
    const char* text = SapText(ipx.u8(kSapOperationLow));
    protocol.Char(' ').Str(text);
    summary.Str(text);
  } else {
    summary.Str("DestSocket=").Dec(dest_socket).Str(" SrcSocket=").Dec(ipx.be16(kIpxSrcSocket));
  }
  protocol.Str(" (NetWare)");
  summary.Str(" (NetWare)");
}

void DecodeArp(DecodedLine& line, ByteView arp, const DecoderContext& ctx) {
  SetText(line.ProtocolText).Str("Address Resolution Protocol");
  auto summary = SetText(line.SummaryText);
  switch (arp.be16(arp_off::Operation)) {
    case 1: {
      summary.Str("ARP Request");
      auto p = SetText(line.ProtocolText);
      p.Str("ARP Request, Looking for ").Ipv4(arp, arp_off::TargetIp);
      AppendRole(p, line, arp, arp_off::TargetIp, ctx);
      break;
    }
    case 2: {
      summary.Str("ARP Reply");
      auto p = SetText(line.ProtocolText);
      p.Str("ARP Reply,   Found ").Ipv4(arp, arp_off::SenderIp);
      AppendRole(p, line, arp, arp_off::SenderIp, ctx);
      break;
    }
    case 3:
      summary.Str("RARP Request");
      break;
    case 4:
      summary.Str("RARP Reply");
      break;
    default:
      // The operation printed as a little-endian value: operation 5 shows as 500.
      summary.Str("ARP ").Hex(arp.le16(arp_off::Operation), 2);
      break;
  }
  summary.Str(", Target=").Ipv4(arp, arp_off::TargetIp).Str(", Sender=").Ipv4(arp, arp_off::SenderIp);
}

void DecodeNetBiosFrame(DecodedLine& line, ByteView nbf, const DecoderContext&) {
  const NetbiosName dest = TakePlainName(nbf, kNbfDest);
  const NetbiosName src = TakePlainName(nbf, kNbfSource);
  {
    auto summary = SetText(line.SummaryText);
    summary.Str("NetBEUI ").Str(NbfCommandText(nbf.u8(kNbfCommand)));
    AppendNamePair(summary, dest, src);
  }
  auto protocol = SetText(line.ProtocolText);
  WriteBrowserNote(protocol, "NetBeui,     ", dest, src);
}

}  // namespace netward::decoder
