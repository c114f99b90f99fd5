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

const char* CommandText(uint8_t c) {
  switch (c) {
    case 0x00: return " Make Directory";
    case 0x01: return " Delete directory";
    case 0x02: return " open file";
    case 0x03: return " Create file";
    case 0x04: return " Close path";
    case 0x05: return " Flush file";
    case 0x06: return " Delete file";
    case 0x07: return " Rename file";
    case 0x08: return " Get attributes";
    case 0x09: return " Set atributes";
    case 0x0A: return " Read";
    case 0x0B: return " Write";
    case 0x0C: return " Lock";
    case 0x0D: return " Unlock";
    case 0x0E: return " Create temp file";
    case 0x0F: return " Make new file";
    case 0x10: return " Check path";
    case 0x11: return " Exit";
    case 0x12: return " Seek";
    case 0x13: return " Lock & read";
    case 0x14: return " Write & unlock";
    case 0x1A: return " Read block raw";
    case 0x1B: return " Read block mpx";
    case 0x1C: return " Read block resp";
    case 0x1D: return " Write block raw";
    case 0x1E: return " Write block mpx";
    case 0x1F: return " Write block resp";
    case 0x20: return " Write done";
    case 0x21: return " Get server info";
    case 0x22: return " Set extended atributes";
    case 0x23: return " Get extended attributes";
    case 0x24: return " Lock";
    case 0x26: return " Transact resp";
    case 0x27: return " Ioctl";
    case 0x28: return " Ioctl resp";
    case 0x2A: return " Move";
    case 0x2B: return " Echo";
    case 0x2C: return " Write & close";
    case 0x2D: return " open";
    case 0x2E: return " Read";
    case 0x2F: return " Write";
    case 0x30: return " Set file size";
    case 0x31: return " Close & discon";
    case 0x33: return " Transact2 resp";
    case 0x34: return " Find close";
    case 0x35: return " Find notify close";
    case 0x60: return " Logon";
    case 0x61: return " Bind";
    case 0x62: return " Unbind";
    case 0x63: return " Get access rights";
    case 0x64: return " Link";
    case 0x65: return " Fork";
    case 0x68: return " Get path name";
    case 0x69: return " Read & hide";
    case 0x6B: return " Read check";
    case 0x6C: return " Make node";
    case 0x6D: return " Read link";
    case 0x6E: return " Get link attributes";
    case 0x70: return " Tree connect";
    case 0x71: return " Tree disconnect";
    case 0x72: return " Negotiate";
    case 0x73: return " Session setup";
    case 0x74: return " Logoff";
    case 0x75: return " Tree connect";
    case 0x80: return " Get disk attributes";
    case 0x81: return " Search directory";
    case 0x82: return " Find";
    case 0x83: return " Find unique";
    case 0x84: return " Find close";
    case 0xA1: return " NT transact resp";
    case 0xA2: return " NT OPEN";
    case 0xA4: return " NT cancel";
    case 0xC0: return " open spool file";
    case 0xC1: return " Write spool file";
    case 0xC2: return " Close spool file";
    case 0xC3: return " Return spool file";
    case 0xD0: return " Send Message";
    case 0xD1: return " Broadcast message";
    case 0xD2: return " Forward name";
    case 0xD3: return " Cancel forwarding";
    case 0xD4: return " Get computer name";
    case 0xD5: return " Begin message";
    case 0xD6: return " End message";
    case 0xD7: return " Message text";
    case 0xFF: return " No second command";
    default: return nullptr;
  }
}

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
void AppendName(TextSink& out, FrameView smb, size_t off, bool unicode) {
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

void DecodeSmb(DecodedLine& line, FrameView session) {
  if (session.u8(kSessionType) != 0 || !session.Equals(kSmbStart, kSmbMagic, 4)) return;
  const FrameView smb = session.Sub(kSmbStart);
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
