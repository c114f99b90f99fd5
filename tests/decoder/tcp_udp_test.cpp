#include <gtest/gtest.h>

#include "decoder/service_names.h"
#include "decoder_fixture.h"

namespace netward::decoder::test {
namespace {

constexpr FixedServiceNames::Entry kNames[] = {
    {53, false, "domain"}, {139, true, "netbios-ssn"}, {21, true, "ftp"}, {20, true, "ftp-data"},
};
const FixedServiceNames kServices(kNames, std::size(kNames));

TEST(Tcp, PortsSequenceLengthAndFlags) {
  struct Case {
    uint16_t src, dst;
    uint8_t flags;
    uint16_t total;
    const char* summary;
    const char* protocol;
  };
  const Case cases[] = {
      {1032, 80, 0x18, 552, "TCP/www-http 1032 Ack=1234 Seq=5678 DataLen=512   ACK PSH",
       "TCP/IP www-http"},
      {2000, 2000, 0x02, 44, "TCP/2000 Ack=1234 Seq=5678 DataLen=0     SYN", "TCP/IP"},
      {20, 21, 0x3F, 40, "TCP/ftp ftp-data Ack=1234 Seq=5678 DataLen=0     URG ACK PSH RST SYN FIN",
       "TCP/IP ftp ftp-data"},
      {80, 3000, 0x11, 39, "TCP/3000 www-http Ack=1234 Seq=5678 DataLen=65535 ACK FIN",
       "TCP/IP www-http"},
  };
  Decoder d(&kServices);
  for (const Case& c : cases) {
    Frame f = Tcp(c.src, c.dst, c.flags, c.total);
    if (c.total == 44) f.Put(kL4 + 12, {0x60});  // 24-byte header with an MSS option
    const DecodedLine l = d.Decode(f);
    EXPECT_EQ(COL(l.DestinationText), "10.1.2.3");
    EXPECT_EQ(COL(l.SummaryText), c.summary);
    EXPECT_EQ(COL(l.ProtocolText), c.protocol);
  }
}

TEST(TcpUdp, Fragments) {
  Decoder d;
  Frame later = Tcp(1032, 80, 0x10);
  later.Be16(kIp + 6, 185);
  DecodedLine l = d.Decode(later);
  EXPECT_EQ(COL(l.SummaryText), "TCP FragmentOffset=1480 id=1234");
  EXPECT_EQ(COL(l.ProtocolText), "TCP/IP Fragment");

  Frame first = Tcp(1032, 80, 0x10);
  first.Put(kIp + 6, {0x20});
  EXPECT_EQ(COL(d.Decode(first).SummaryText),
            "TCP/www-http 1032 Ack=1234 Seq=5678 DataLen=0     ACK FRAGMENTED id=1234");

  Frame udp = Udp(53, 1035);
  udp.Be16(kIp + 6, 0x2000 | 185);
  l = d.Decode(udp);
  EXPECT_EQ(COL(l.SummaryText), "UDP FragmentOffset=1480");
  EXPECT_EQ(COL(l.ProtocolText), "UDP/IP Fragment");
}

// DNS header at UDP byte 8, question name from 20.
Frame Dns(uint16_t src, uint16_t dst, uint8_t flags_hi, uint8_t flags_lo, uint16_t questions,
          std::initializer_list<uint8_t> name) {
  Frame f = Udp(src, dst);
  f.Put(kL4 + 10, {flags_hi, flags_lo}).Be16(kL4 + 12, questions).Put(kL4 + 20, name);
  return f;
}

TEST(Udp, DnsQueriesAndReplies) {
  struct Case {
    Frame frame;
    const char* summary;
    const char* protocol;
  };
  const Case cases[] = {
      {Dns(1035, 53, 0x01, 0x00, 1, {1, 'a', 1, 'b', 0}), "UDP/domain 1035 Query Question=a.b",
       "Domain Name Server Query"},
      {Dns(53, 1035, 0x81, 0x83, 1, {1, 'a', 1, 'b', 0}),
       "UDP/1035 domain Reply NOT-FOUND Question=a.b", "Domain Name Server Reply"},
      {Dns(53, 1035, 0x81, 0x84, 1, {0}), "UDP/1035 domain Reply okay Question=", ""},
      {Dns(53, 53, 0x81, 0x80, 0, {3, 'w', 'w', 'w', 0}), "UDP/domain Reply okay", ""},
      {Dns(1035, 53, 0x00, 0x00, 1, {0xC0, 0x0C}), "UDP/domain 1035 Query Question=", ""},
      {Dns(1035, 53, 0x00, 0x00, 1, {2, 'a', 'b', 0xC0, 0x0C}),
       "UDP/domain 1035 Query Question=ab", ""},
  };
  Decoder d(&kServices);
  for (const Case& c : cases) {
    const DecodedLine l = d.Decode(c.frame);
    EXPECT_EQ(COL(l.SummaryText), c.summary);
    if (*c.protocol) {
      EXPECT_EQ(COL(l.ProtocolText), c.protocol);
    }
  }
  // Labels that run to the end of the stored frame: cut at the summary's 100 characters.
  Frame f = Dns(1035, 53, 0, 0, 1, {});
  for (size_t off = kL4 + 20; off < kStoredFrameBytes; off += 64)
    f.Put(off, {63}).Text(off + 1, std::string(63, 'x'));
  const std::string labels = std::string(63, 'x') + "." + std::string(63, 'x');
  EXPECT_EQ(std::string(d.Decode(f).SummaryText, 100),
            ("UDP/domain 1035 Query Question=" + labels).substr(0, 100));
}

// Name service question name at UDP 21; datagram source name at 23, destination at 57.
TEST(Udp, NetbiosNameAndDatagramServices) {
  struct Case {
    uint16_t port;
    std::string dest;
    uint8_t suffix;
    const char *summary, *protocol;
  };
  const Case cases[] = {
      {137, std::string("\x01\x02__MSBROWSE__\x02", 15), 0x01, nullptr,
       "IP NetBios,  *** MASTER BROWSER ***"},
      {137, "*SMBSERVER", 0x20, nullptr, "IP NetBios,  Browser List"},
      {137, "CORP", 0x1D, "UDP/137 QuestionName=CORP<1D>", "IP NetBios,  Browser CORP"},
      {137, "WS7", 0x1F, "UDP/137 QuestionName=WS7<1F>", "IP NetBios,  Looking for WS7"},
      {138, "FS1", 0x20, "UDP/138 Dest=FS1<20> Src=WS7<00>", "IP NetBios,  Looking for FS1"},
      {138, "WS7", 0x00, "UDP/138 Dest=WS7<00> Src=WS7<00>", "IP NetBios,  Advertising WS7"},
      {138, "", 0x00, "UDP/138 Src=WS7<00>", "IP NetBios,  Advertising WS7"},
  };
  Decoder d;
  for (const Case& c : cases) {
    Frame f = Udp(c.port, c.port);
    if (c.port == 137) f.EncodedName(kL4 + 21, c.dest, c.suffix);
    if (c.port == 138) f.EncodedName(kL4 + 23, "WS7", 0x00).EncodedName(kL4 + 57, c.dest, c.suffix);
    const DecodedLine l = d.Decode(f);
    if (c.summary) {
      EXPECT_EQ(COL(l.SummaryText), c.summary);
    }
    EXPECT_EQ(COL(l.ProtocolText), c.protocol);
  }
}

// A NetBIOS session message with an SMB header from TCP payload byte 4 (frame byte kSmb).
constexpr size_t kSmb = kL4 + 20 + 4;
Frame Smb(uint8_t command, uint8_t word_count) {
  Frame f = Tcp(1100, 139, 0x18, 200);
  f.Put(kSmb, {0xFF, 'S', 'M', 'B', command}).Put(kSmb + 32, {word_count});
  return f;
}

// The table's ends and codes in its gaps; the names in between are the table itself (the golden
// captures hold Negotiate and Session setup).
TEST(Smb, CommandTable) {
  const std::pair<uint8_t, const char*> commands[] = {
      {0x00, " Make Directory"}, {0xD7, " Message text"}, {0xFF, " No second command"},
      {0x15, ""}, {0x25, ""}, {0xA0, ""},
  };
  Decoder d(&kServices);
  for (auto [command, text] : commands)
    EXPECT_EQ(COL(d.Decode(Smb(command, 0)).ProtocolText),
              std::string("TCP/IP netbios-ssn") + text);
}

TEST(Smb, Transact2NamesAndErrors) {
  Decoder d;
  struct Case {
    Frame frame;
    const char* protocol;
  };
  Frame t14 = Smb(0x32, 14);
  t14.Le16(kSmb + 61, 1);
  Frame find_first = Smb(0x32, 15);
  find_first.Le16(kSmb + 61, 1).Put(kSmb + 63, {20}).Text(kSmb + 63 + 17, "\\DATA\\*.TXT");
  Frame sub99 = Smb(0x32, 15);
  sub99.Le16(kSmb + 61, 99);
  Frame tree = Smb(0x75, 4);
  tree.Put(kSmb + 41, {30}).Text(kSmb + 44, "\\\\FS3\\PUBLIC");
  Frame tree_unicode = Smb(0x75, 4);
  tree_unicode.Put(kSmb + 11, {0x80}).Put(kSmb + 41, {30});
  tree_unicode.Text(kSmb + 44, std::string("F\0S\0\xE9\0", 6));
  Frame no_bytes = Smb(0xA2, 24);
  no_bytes.Text(kSmb + 33 + 48 + 3, "IGNORED");
  Frame nt_error = Smb(0xA2, 0);
  nt_error.Put(kSmb + 11, {0x40}).Le32(kSmb + 5, 0xC0000022);
  Frame dos_error = Smb(0x72, 0);
  dos_error.Put(kSmb + 5, {0x01, 0x00}).Le16(kSmb + 7, 5);
  Frame not_message = Smb(0x72, 0);
  not_message.Put(kL4 + 20, {0x81});
  const Case cases[] = {
      {t14, "TCP/IP"},
      {find_first, "TCP/IP Findfirst \\DATA\\*.TXT"},
      {sub99, "TCP/IP Transact2"},
      {tree, "TCP/IP Tree connect \\\\FS3\\PUBLIC"},
      {tree_unicode, "TCP/IP Tree connect FS?"},
      {no_bytes, "TCP/IP NT OPEN"},
      {nt_error, "TCP/IP NT OPEN ERROR xC0000022"},
      {dos_error, "TCP/IP Negotiate ERROR 5"},
      {not_message, "TCP/IP"},
  };
  for (const Case& c : cases) EXPECT_EQ(COL(d.Decode(c.frame).ProtocolText), c.protocol);
}

}  // namespace
}  // namespace netward::decoder::test
