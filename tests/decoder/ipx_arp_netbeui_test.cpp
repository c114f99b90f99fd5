#include <gtest/gtest.h>

#include "decoder_fixture.h"

namespace netward::decoder::test {
namespace {

constexpr size_t kIpx = 14;
Frame Ipx(uint16_t dest_socket, uint16_t src_socket, uint8_t sap_operation) {
  Frame f = Ethernet(0x8137);
  f.Put(kIpx + 6, {0xC0, 0xDE, 0x00, 0x0C}).Put(kIpx + 10, {0x00, 0xA0, 0xC9, 0x7F, 0xA4, 0xAE});
  f.Be16(kIpx + 16, dest_socket).Be16(kIpx + 28, src_socket).Be16(kIpx + 30, sap_operation);
  return f;
}

TEST(Ipx, SapOperationsAndSockets) {
  struct Case {
    uint16_t dest_socket;
    uint8_t operation;
    const char *summary, *protocol;  // no protocol: the same as the summary
  };
  const Case cases[] = {
      {0x0452, 1, "IPX SAP General Service Query (NetWare)", nullptr},
      {0x0452, 4, "IPX SAP Nearest Service Response (NetWare)", nullptr},
      {0x0452, 9, "IPX SAP (NetWare)", nullptr},
      {0x0451, 2, "IPX DestSocket=1105 SrcSocket=16385 (NetWare)", "IPX (NetWare)"},
  };
  Decoder d;
  for (const Case& c : cases) {
    const DecodedLine l = d.Decode(Ipx(c.dest_socket, 0x4001, c.operation));
    EXPECT_EQ(COL(l.DestinationText), "C0DE000C:00A0C97FA4AE");
    EXPECT_EQ(COL(l.SummaryText), c.summary);
    EXPECT_EQ(COL(l.ProtocolText), c.protocol ? c.protocol : c.summary);
  }
}

// ARP for IP from byte 14: sender protocol address 10.0.0.x at 28, target at 38.
Frame Arp(uint16_t operation, uint8_t sender, uint8_t target) {
  Frame f = Ethernet(0x0806);
  f.Be16(14, 1).Be16(16, 0x0800).Put(18, {6, 4}).Be16(20, operation);
  f.Put(28, {10, 0, 0, sender}).Put(38, {10, 0, 0, target});
  return f;
}

TEST(Arp, OperationsAndRoles) {
  struct Case {
    uint16_t operation;
    uint8_t sender, target;
    const char *summary, *protocol;
  };
  const Case cases[] = {
      {1, 7, 1, "ARP Request, Target=10.0.0.1, Sender=10.0.0.7",
       "ARP Request, Looking for 10.0.0.1 (GW)"},
      {1, 7, 99, "ARP Request, Target=10.0.0.99, Sender=10.0.0.7",
       "ARP Request, Looking for 10.0.0.99"},
      {2, 1, 7, "ARP Reply, Target=10.0.0.7, Sender=10.0.0.1", "ARP Reply,   Found 10.0.0.1 (GW)"},
      {2, 7, 1, "ARP Reply, Target=10.0.0.1, Sender=10.0.0.7", "ARP Reply,   Found 10.0.0.7 (Self)"},
      {3, 7, 1, "RARP Request, Target=10.0.0.1, Sender=10.0.0.7", "Address Resolution Protocol"},
      {8, 7, 1, "ARP 800, Target=10.0.0.1, Sender=10.0.0.7", "Address Resolution Protocol"},
      {0, 7, 1, "ARP 00, Target=10.0.0.1, Sender=10.0.0.7", "Address Resolution Protocol"},
  };
  Decoder d;
  for (const Case& c : cases) {
    const DecodedLine l = d.Decode(Arp(c.operation, c.sender, c.target));
    EXPECT_EQ(COL(l.SummaryText), c.summary);
    EXPECT_EQ(COL(l.ProtocolText), c.protocol);
  }
  // Roles belong to adapter 1 only; without a role table nothing is added.
  d.ctx.roles = nullptr;
  EXPECT_EQ(COL(d.Decode(Arp(1, 7, 1)).ProtocolText), "ARP Request, Looking for 10.0.0.1");
}

constexpr size_t kNbf = 17;
Frame NetBeui(uint8_t command, const std::string& dest, uint8_t dest_suffix,
              const std::string& src) {
  Frame f = Ethernet(60);
  f.Put(0, {0x03, 0, 0, 0, 0, 0x01}).Put(14, {0xF0, 0xF0, 0x03}).Put(kNbf + 4, {command});
  if (!dest.empty()) f.PlainName(kNbf + 12, dest, dest_suffix);
  if (!src.empty()) f.PlainName(kNbf + 28, src, 0x00);
  return f;
}

TEST(NetBeui, CommandTexts) {
  const std::pair<uint8_t, const char*> commands[] = {
      {0x00, "Add Group Name"}, {0x0F, "Status Response"}, {0x13, "Status Response"},
      {0x1F, "Session Alive"}, {0x05, ""}, {0x20, ""},
  };

  Decoder d;
  for (auto [command, text] : commands)
    EXPECT_EQ(COL(d.Decode(NetBeui(command, "SERVER1", 0x20, "WS7")).SummaryText),
              std::string("NetBEUI ") + text + " Dest=SERVER1<20> Src=WS7<00>");
}

TEST(NetBeui, BrowserNotes) {
  const std::string browse("\x01\x02__MSBROWSE__\x02", 15);
  struct Case {
    std::string dest;
    uint8_t suffix;
    std::string src;
    const char* protocol;
  };
  const Case cases[] = {
      {"SERVER1", 0x20, "WS7", "NetBeui,     Looking for SERVER1"},
      {browse, 0x01, "WS7", "NetBeui,     *** MASTER BROWSER ***"},
      {"FS1", 0x20, browse, "NetBeui,     *** MASTER BROWSER ***"},
      {"*SMBSERVER", 0x20, "WS7", "NetBeui,     Browser List"},
      {"CORP", 0x1B, "WS7", "NetBeui,     Browser CORP"},
      {"WS7", 0x00, "WS7", "NetBeui,     Advertising WS7"},
      {"", 0x00, "WS7", "NetBeui,     Advertising WS7"},
  };
  Decoder d;
  for (const Case& c : cases)
    EXPECT_EQ(COL(d.Decode(NetBeui(0x0A, c.dest, c.suffix, c.src)).ProtocolText), c.protocol);
  EXPECT_EQ(COL(d.Decode(NetBeui(0x05, "", 0, "WS7")).SummaryText), "NetBEUI  Src=WS7<00>");
  EXPECT_EQ(COL(d.Decode(NetBeui(0x05, "", 0, "")).SummaryText), "NetBEUI ");
}

}  // namespace
}  // namespace netward::decoder::test
