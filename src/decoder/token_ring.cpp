// IEEE 802.5 Token Ring: the 802.5 media entry, MAC frames (ring management, IEEE 802.5 major
// vectors) and the source-routing path of LLC frames.
#include <cstring>

#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {

// The routing field's length in bytes is the low five bits of its byte 14, routing control
// included. MAC frames: major vector length 14-15, class 16, command 17.
constexpr size_t kMacCommand = 17, kNoRouteLlc = 14;

constexpr const char* kMacFrame = "Token Ring MAC Frame";

// Token Ring MAC frame commands (major vector command byte).
constexpr Tok kMacCommands[] = {
    {0x00, ", Response"},
    {0x02, ", BEACON"},
    {0x03, ", Claim Token"},
    {0x04, ", RING PURGE"},
    {0x05, ", ACTIVE Monitor Present"},
    {0x06, ", Standby Monitor Present"},
    {0x07, ", Duplicate Address Test"},
    {0x08, ", Lobe Test"},
    {0x09, ", Transmit Forward"},
    {0x0B, ", Remove Ring Station"},
    {0x0C, ", Change Parameters"},
    {0x0D, ", Initialize Ring Station"},
    {0x0E, ", Request Ring Station Address"},
    {0x0F, ", Request Ring Station State"},
    {0x10, ", Request Ring Station Attachments"},
    {0x20, ", Request Initialization"},
    {0x22, ", Report Ring Station Address"},
    {0x23, ", Report Ring Station State"},
    {0x24, ", Report Ring Station Attachments"},
    {0x25, ", Report new ACTIVE Monitor"},
    {0x26, ", Report NAUN Change"},
    {0x27, ", Report Neighbor Notification Incomplete"},
    {0x28, ", Report Active Monitor Error"},
    {0x29, ", Report Soft ERROR"},
    {0x2A, ", Report Transmit Forward"},
};
const char* MacCommandText(uint8_t command) { return Tok2Str(kMacCommands, command, nullptr); }

void DecodeMacFrame(DecodedLine& line, ByteView f, const DecoderContext& ctx) {
  SetText(line.ProtocolText).Str(kMacFrame);
  uint8_t source[6];
  f.bytes(tr_off::Source, 6, source);
  source[0] &= static_cast<uint8_t>(~kRoutingPresent);
  const bool from_self = memcmp(source, ctx.own_address, 6) == 0;
  memcpy(line.DirectionMark, from_self ? "  >>" : "<<  ", 4);
  {
    auto src = SetText(line.SourceText);
    if (from_self) src.Char('*');
    for (uint8_t b : source) src.Hex(b, 2);
  }
  SetText(line.PeerText).Str("TR-MAC");
  auto summary = SetText(line.SummaryText);
  summary.Str(kMacFrame);
  const uint8_t command = f.u8(kMacCommand);
  if (const char* text = MacCommandText(command))
    summary.Str(text);
  else
    summary.Str(", Command x").Hex(command, 2);
}

void DecodeLlcFrame(DecodedLine& line, ByteView f, const DecoderContext& ctx) {
  const bool routed = f.u8(tr_off::Source) & kRoutingPresent;
  const size_t route_length = f.u8(tr_off::Routing) & 0x1F;
  const size_t llc = kNoRouteLlc + (routed ? route_length : 0);
  if ((f.u8(tr_off::Dest) & 0x80) && f.equals(tr_off::Dest, 6, kNetbiosFunctional)) {
    DecodeNetBiosFrame(line, f.Sub(llc + 3), ctx);
    return;
  }
  DecodeLlc(line, f.Sub(llc), ctx);
  if (!routed || route_length <= 2) return;
  // Each designator: 12-bit ring number, 4-bit bridge number.
  auto summary = AppendText(line.SummaryText);
  summary.Str("  RIF=");
  for (size_t d = tr_off::Designators; d < tr_off::Routing + route_length && !summary.full(); d += 2) {
    const uint8_t hi = f.u8(d), lo = f.u8(d + 1);
    summary.Char('{').Hex(hi, 2).Hex(lo >> 4, 1).Char('}').Hex(lo & 0x0F, 1);
  }
}

}  // namespace

void DecodeTokenRingFrame(DecodedLine& line, ByteView f, const DecoderContext& ctx) {
  {
    auto dest = SetText(line.DestinationText);
    WriteMac(dest, f, tr_off::Dest);
  }
  const uint8_t type = f.u8(tr_off::FrameControl) & 0xC0;
  if (type == 0x00) {
    DecodeMacFrame(line, f, ctx);
  } else if (type == 0x40) {
    DecodeLlcFrame(line, f, ctx);
  } else if (ctx.warn) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char text[] = "WARNING: Unexpected Frame Type x00\n";
    const size_t at = sizeof text - 4;
    text[at] = kHex[type >> 4];
    text[at + 1] = kHex[type & 0xF];
    ctx.warn(text);
  }
}

}  // namespace netward::decoder
