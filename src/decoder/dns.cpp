// DNS (RFC 1035) over UDP port 53: query or reply, the response code and the first question name.
#include "decoder/decoder_internal.h"

namespace netward::decoder {
namespace {

// Offsets from the UDP header: the DNS header starts at 8; flags at 10-11 (0x80 of byte 10: a
// response; the low two bits of byte 11: the low bits of the response code), question count at
// 12-13, the first question name from 20.
constexpr size_t kFlags = 10, kRcode = 11, kQuestions = 12, kQuestionName = 20;
// Length bytes of 0xC0 and above are compression pointers, which are not followed.
constexpr uint8_t kPointer = 0xC0;

}  // namespace

void DecodeDns(DecodedLine& line, TextSink& work, ByteView udp) {
  if (udp.u8(kFlags) & 0x80) {
    SetText(line.ProtocolText).Str("Domain Name Server Reply");
    work.Str(" Reply").Str((udp.u8(kRcode) & 0x03) ? " NOT-FOUND" : " okay");
  } else {
    SetText(line.ProtocolText).Str("Domain Name Server Query");
    work.Str(" Query");
  }
  if (udp.be16(kQuestions) == 0) return;
  work.Str(" Question=");
  // Every label moves on by at least two bytes and bytes past the stored frame read as zero,
  // so the walk ends within the frame.
  bool any_label = false;
  size_t off = kQuestionName;
  for (uint8_t n = udp.u8(off); n != 0 && n < kPointer && !work.full(); n = udp.u8(off)) {
    for (size_t i = 1; i <= n; ++i) work.Char(static_cast<char>(udp.u8(off + i)));
    work.Char('.');
    any_label = true;
    off += 1 + size_t{n};
  }
  if (any_label) work.DropLast('.');
}

}  // namespace netward::decoder
