// SMB (CIFS) requests and replies in NetBIOS session messages (RFC 1002) on TCP port 139: the
// command, Transact2 subcommands, the path of opens and tree connects, and the error status.
#include "decoder/decoder_internal.h"

namespace netward::decoder {
namespace {

// Session header: packet type 0 (0 = session message), the SMB header from 4.
constexpr size_t kSessionType = 0, kSmbStart = 4;
// SMB header, little-endian: 0xFF 'S' 'M' 'B' 0-3, command 4, status 5-8 (DOS error code 7-8),
// high byte of the second flags word 11, parameter word count 32, parameter words from 33, the
// byte count after them; the Transact2 subcommand is the first setup word, at 61.
constexpr size_t kCommand = 4, kStatus = 5, kDosError = 7, kFlags2High = 11, kWordCount = 32,
                 kWords = 33, kTrans2Subcommand = 61;
constexpr uint8_t kSmbMagic[4] = {0xFF, 'S', 'M', 'B'};
constexpr uint8_t kUnicodeStrings = 0x80, kNtStatus = 0x40;
constexpr uint8_t kTransact2 = 0x32, kTreeConnectAndX = 0x75, kNtCreateAndX = 0xA2;
constexpr uint16_t kFindFirst = 1;
// Where the name starts, counted from the byte-count field.
constexpr size_t kNameAfterCount = 3, kFindFirstNameAfterCount = 17;

// SMB command codes (the header's command byte) and their texts.
constexpr Tok kSmbCommands[] = {
    {0x00, " Make Directory"},
    {0x01, " Delete directory"},
    {0x02, " open file"},
    {0x03, " Create file"},
    {0x04, " Close path"},
    {0x05, " Flush file"},
    {0x06, " Delete file"},
    {0x07, " Rename file"},
    {0x08, " Get attributes"},
    {0x09, " Set atributes"},
    {0x0A, " Read"},
    {0x0B, " Write"},
    {0x0C, " Lock"},
    {0x0D, " Unlock"},
    {0x0E, " Create temp file"},
    {0x0F, " Make new file"},
    {0x10, " Check path"},
    {0x11, " Exit"},
    {0x12, " Seek"},
    {0x13, " Lock & read"},
    {0x14, " Write & unlock"},
    {0x1A, " Read block raw"},
    {0x1B, " Read block mpx"},
    {0x1C, " Read block resp"},
    {0x1D, " Write block raw"},
    {0x1E, " Write block mpx"},
    {0x1F, " Write block resp"},
    {0x20, " Write done"},
    {0x21, " Get server info"},
    {0x22, " Set extended atributes"},
    {0x23, " Get extended attributes"},
    {0x24, " Lock"},
    {0x26, " Transact resp"},
    {0x27, " Ioctl"},
    {0x28, " Ioctl resp"},
    {0x2A, " Move"},
    {0x2B, " Echo"},
    {0x2C, " Write & close"},
    {0x2D, " open"},
    {0x2E, " Read"},
    {0x2F, " Write"},
    {0x30, " Set file size"},
    {0x31, " Close & discon"},
    {0x33, " Transact2 resp"},
    {0x34, " Find close"},
    {0x35, " Find notify close"},
    {0x60, " Logon"},
    {0x61, " Bind"},
    {0x62, " Unbind"},
    {0x63, " Get access rights"},
    {0x64, " Link"},
    {0x65, " Fork"},
    {0x68, " Get path name"},
    {0x69, " Read & hide"},
    {0x6B, " Read check"},
    {0x6C, " Make node"},
    {0x6D, " Read link"},
    {0x6E, " Get link attributes"},
    {0x70, " Tree connect"},
    {0x71, " Tree disconnect"},
    {0x72, " Negotiate"},
    {0x73, " Session setup"},
    {0x74, " Logoff"},
    {0x75, " Tree connect"},
    {0x80, " Get disk attributes"},
    {0x81, " Search directory"},
    {0x82, " Find"},
    {0x83, " Find unique"},
    {0x84, " Find close"},
    {0xA1, " NT transact resp"},
    {0xA2, " NT OPEN"},
    {0xA4, " NT cancel"},
    {0xC0, " open spool file"},
    {0xC1, " Write spool file"},
    {0xC2, " Close spool file"},
    {0xC3, " Return spool file"},
    {0xD0, " Send Message"},
    {0xD1, " Broadcast message"},
    {0xD2, " Forward name"},
    {0xD3, " Cancel forwarding"},
    {0xD4, " Get computer name"},
    {0xD5, " Begin message"},
    {0xD6, " End message"},
    {0xD7, " Message text"},
    {0xFF, " No second command"},
};
const char* CommandText(uint8_t c) { return Tok2Str(kSmbCommands, c, nullptr); }

const char* Transact2Text(uint16_t sub) {
  static constexpr const char* kTexts[] = {
      " Open",          " Findfirst",           " Findnext",           " Query file system info",
      " Set file system info", " Query path info", " Set path info",   " Query file info",
      " Set file info", " FSCTL",               " IOCTL",              " Find-notify-first",
      " Find-notify-next",
  };
  return sub < sizeof kTexts / sizeof kTexts[0] ? kTexts[sub] : " Transact2";
}

// " name": single-byte text up to its NUL, or UTF-16LE units cut to single-byte characters
// (units above 0x7F shown as '?'). The column's width ends it at the latest.
void AppendName(TextSink& out, ByteView smb, size_t off, bool unicode) {
  out.Char(' ');
  if (unicode) {
    for (size_t i = off; !out.full(); i += 2) {
      const uint16_t unit = smb.le16(i);
      if (unit == 0) break;
      out.Char(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
  } else {
    for (size_t i = off; !out.full(); ++i) {
      const uint8_t c = smb.u8(i);
      if (c == 0) break;
      out.Char(static_cast<char>(c));
    }
  }
}

}  // namespace

void DecodeSmb(DecodedLine& line, ByteView session) {
  if (session.u8(kSessionType) != 0 || !session.equals(kSmbStart, 4, kSmbMagic)) return;
  const ByteView smb = session.Sub(kSmbStart);
  const uint8_t command = smb.u8(kCommand);
  const uint8_t flags2 = smb.u8(kFlags2High);
  const uint8_t word_count = smb.u8(kWordCount);
  const size_t byte_count = kWords + 2 * size_t{word_count};

  auto protocol = AppendText(line.ProtocolText);
  size_t name_after = 0;  // 0: no name for this command
  if (command == kTransact2) {
    if (word_count >= 15) {
      const uint16_t sub = smb.le16(kTrans2Subcommand);
      protocol.Str(Transact2Text(sub));
      if (sub == kFindFirst) name_after = kFindFirstNameAfterCount;
    }
  } else if (const char* text = CommandText(command)) {
    protocol.Str(text);
    if (command == kTreeConnectAndX || command == kNtCreateAndX) name_after = kNameAfterCount;
  }
  if (name_after && smb.u8(byte_count) != 0)
    AppendName(protocol, smb, byte_count + name_after, flags2 & kUnicodeStrings);

  const uint32_t status = smb.le32(kStatus);
  if (status != 0) {
    if (flags2 & kNtStatus)
      protocol.Str(" ERROR x").Hex(status, 8);
    else
      protocol.Str(" ERROR ").Dec(smb.le16(kDosError));
  }
}

}  // namespace netward::decoder
