// Shared pieces of the decoder's protocol families; not for use outside src/decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder.h"
#include "decoder/text_sink.h"

namespace netward::decoder {

// The IP work text: 500 characters, of which at most 499 are used; its first 100 bytes become
// the summary column.
inline constexpr size_t kWorkTextSize = 500;

// What the IP layer hands to TCP and UDP.
struct IpInfo {
  uint32_t header_length = 0;    // bytes
  uint16_t total_length = 0;     // IP total length field
  uint8_t id[2] = {};            // identification, wire order
  bool more_fragments = false;
  uint32_t fragment_offset = 0;  // bytes
};

void DecodeIcmp(DecodedLine& line, TextSink& work, ByteView icmp, const DecoderContext& ctx);
void DecodeTcp(DecodedLine& line, TextSink& work, ByteView tcp, const IpInfo& ip,
               const DecoderContext& ctx);
void DecodeUdp(DecodedLine& line, TextSink& work, ByteView udp, const IpInfo& ip,
               const DecoderContext& ctx);
void DecodeDns(DecodedLine& line, TextSink& work, ByteView udp);
void DecodeNetBiosNameService(DecodedLine& line, TextSink& work, ByteView udp);
void DecodeNetBiosDatagram(DecodedLine& line, TextSink& work, ByteView udp);
// SMB over a NetBIOS session; `session` starts at the session header. Writes ProtocolText only.
void DecodeSmb(DecodedLine& line, ByteView session);

// A NetBIOS name: 15 name bytes (trailing blanks removed, NUL-terminated) and the suffix byte.
struct NetbiosName {
  char text[16] = {};
  uint8_t suffix = 0;
  bool empty() const { return text[0] == '\0'; }
};

// RFC 1001 first-level decoding of the 32 characters at `off`.
NetbiosName DecodeEncodedName(ByteView v, size_t off);
// The 16 plain bytes at `off` (NetBIOS Frames header).
NetbiosName TakePlainName(ByteView v, size_t off);
bool IsBrowseName(const NetbiosName& n);
bool SameName(const NetbiosName& a, const NetbiosName& b);
// " Dest=%s<%02X>" and " Src=%s<%02X>" for the names that are not empty.
void AppendNamePair(TextSink& out, const NetbiosName& dest, const NetbiosName& src);
// The browser annotation of a datagram between two names, after `prefix`.
void WriteBrowserNote(TextSink& out, const char* prefix, const NetbiosName& dest,
                      const NetbiosName& src);

// A wire value and its text, for the tables of codes each protocol family keeps.
struct Tok {
  uint32_t value;
  const char* text;
};
// The text of `value` in `table`, or `fallback` when the table does not name it.
template <size_t N>
constexpr const char* Tok2Str(const Tok (&table)[N], uint32_t value, const char* fallback) {
  for (const Tok& t : table)
    if (t.value == value) return t.text;
  return fallback;
}

// Writes the 6 bytes at `off` as 12 upper-case hex digits.
inline void WriteMac(TextSink& out, ByteView v, size_t off) { out.HexBytes(v, off, 6); }

}  // namespace netward::decoder
