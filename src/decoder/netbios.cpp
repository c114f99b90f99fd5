// NetBIOS over TCP/IP (RFC 1001/1002): name decoding, the name service and datagram service
// summaries and the browser annotations, shared with the NetBEUI decoder.
#include <cstring>

#include "decoder/decoder_internal.h"
#include "wire/headers.h"

namespace netward::decoder {
namespace {

// Name service (UDP source port 137): 8-byte UDP header, 12-byte name service header, the
// question name's length byte at 20, its 32 encoded characters from 21.
constexpr size_t kQuestionName = 21;

// The browse name: 0x01 0x02 "__MSBROWSE__" 0x02.
constexpr char kBrowseName[15] = {0x01, 0x02, '_', '_', 'M', 'S', 'B', 'R',
                                  'O',  'W',  'S', 'E', '_', '_', 0x02};

void TrimName(NetbiosName& n) {
  for (int i = 14; i >= 0 && n.text[i] == ' '; --i) n.text[i] = '\0';
  n.text[15] = '\0';
}

bool IsBrowserSuffix(uint8_t suffix) { return suffix >= 0x1B && suffix <= 0x1E; }

constexpr const char* kIpNetbios = "IP NetBios,  ";

}  // namespace

NetbiosName DecodeEncodedName(ByteView v, size_t off) {
  NetbiosName n;
  uint8_t raw[16];
  for (size_t i = 0; i < 16; ++i) {
    const int c1 = v.u8(off + 2 * i) - 'A', c2 = v.u8(off + 2 * i + 1) - 'A';
    raw[i] = static_cast<uint8_t>(c1 * 16 + c2);
  }
  memcpy(n.text, raw, 15);
  n.suffix = raw[15];
  TrimName(n);
  return n;
}

NetbiosName TakePlainName(ByteView v, size_t off) {
  NetbiosName n;
  v.bytes(off, 15, reinterpret_cast<uint8_t*>(n.text));
  n.suffix = v.u8(off + 15);
  TrimName(n);
  return n;
}

bool IsBrowseName(const NetbiosName& n) { return memcmp(n.text, kBrowseName, 15) == 0; }

bool SameName(const NetbiosName& a, const NetbiosName& b) {
  return memcmp(a.text, b.text, 15) == 0;
}

void AppendNamePair(TextSink& out, const NetbiosName& dest, const NetbiosName& src) {
  if (!dest.empty()) out.Str(" Dest=").Str(dest.text).Char('<').Hex(dest.suffix, 2).Char('>');
  if (!src.empty()) out.Str(" Src=").Str(src.text).Char('<').Hex(src.suffix, 2).Char('>');
}

void WriteBrowserNote(TextSink& out, const char* prefix, const NetbiosName& dest,
                      const NetbiosName& src) {
  out.Str(prefix);
  if (IsBrowseName(dest) || IsBrowseName(src))
    out.Str("*** MASTER BROWSER ***");
  else if (dest.text[0] == '*')
    out.Str("Browser List");
  else if (IsBrowserSuffix(dest.suffix))
    out.Str("Browser ").Str(dest.text);
  else if (!dest.empty() && !SameName(dest, src))
    out.Str("Looking for ").Str(dest.text);
  else
    out.Str("Advertising ").Str(src.text);
}

void DecodeNetBiosNameService(DecodedLine& line, TextSink& work, ByteView udp) {
  const NetbiosName q = DecodeEncodedName(udp, kQuestionName);
  work.Str(" QuestionName=").Str(q.text).Char('<').Hex(q.suffix, 2).Char('>');
  auto protocol = SetText(line.ProtocolText);
  protocol.Str(kIpNetbios);
  if (IsBrowseName(q))
    protocol.Str("*** MASTER BROWSER ***");
  else if (q.text[0] == '*')
    protocol.Str("Browser List");
  else if (IsBrowserSuffix(q.suffix))
    protocol.Str("Browser ").Str(q.text);
  else
    protocol.Str("Looking for ").Str(q.text);
}

void DecodeNetBiosDatagram(DecodedLine& line, TextSink& work, ByteView udp) {
  const NetbiosName src = DecodeEncodedName(udp, nbdgm_off::Source);
  const NetbiosName dest = DecodeEncodedName(udp, nbdgm_off::Dest);
  AppendNamePair(work, dest, src);
  auto protocol = SetText(line.ProtocolText);
  WriteBrowserNote(protocol, kIpNetbios, dest, src);
}

}  // namespace netward::decoder
