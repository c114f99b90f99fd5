#include <gtest/gtest.h>

#include "decoder_fixture.h"

namespace netward::decoder::test {
namespace {

struct TypeCase {
  uint16_t type;
  uint16_t arp_protocol;
  const char* summary;
  const char* protocol;
};

TEST(EthernetFrame, TypesWithoutDecoderGetTheirNames) {
  const TypeCase cases[] = {
      {0x809B, 0, "Appletalk", "Appletalk"},  {0x80F3, 0, "Appletalk", "Appletalk"},
      {0xC021, 0, "LCP", "LCP"},              {0x8021, 0, "IPCP", "IPCP"},
      {0x86DD, 0, "TYPE 86DD", ""},           {0x05DD, 0, "TYPE 05DD", ""},
      {0x0806, 0x86DD, "TYPE 0806", ""},
  };
  Decoder d;
  for (const TypeCase& c : cases) {
    Frame f = Ethernet(c.type);
    f.Be16(16, c.arp_protocol);
    const DecodedLine l = d.Decode(f);
    EXPECT_EQ(COL(l.DestinationText), "020000000001") << std::hex << c.type;
    EXPECT_EQ(COL(l.SummaryText), c.summary) << std::hex << c.type;
    EXPECT_EQ(COL(l.ProtocolText), c.protocol) << std::hex << c.type;
  }
}

TEST(EthernetFrame, NetbiosMulticastGoesToNetBeuiWhateverTheType) {
  Frame f = Ethernet(0x0800);
  f.Put(0, {0x03, 0, 0, 0, 0, 0x01}).Put(17 + 4, {0x0A}).PlainName(17 + 12, "SERVER1", 0x20);
  f.PlainName(17 + 28, "WS7", 0x00);
  const DecodedLine l = Decoder().Decode(f);
  EXPECT_EQ(COL(l.DestinationText), "030000000001");
  EXPECT_EQ(COL(l.SummaryText), "NetBEUI Name Query Dest=SERVER1<20> Src=WS7<00>");
}

struct LlcCase {
  uint8_t dsap, ssap, control, control2;
  const char* summary;
  const char* protocol;
};

TEST(Llc, SapNamesFrameTypesAndResponses) {
  const LlcCase cases[] = {
      {0xF0, 0xF0, 0x0E, 0x18, "NetBEUI LLC F0/F0 I-Frame N(R)=12 N(S)=7", "NetBEUI"},
      {0xF0, 0x04, 0x03, 0, "NetBEUI LLC F0/04 UI", "NetBEUI"},
      {0xF0, 0xF1, 0x03, 0, "NetBEUI LLC F0/F1 UI Response", "NetBEUI"},
      {0x04, 0x05, 0x01, 0x0B, "SNA LLC 04/05 RR N(R)=5 Response", "SNA"},
      {0x09, 0x08, 0x05, 0x02, "SNA LLC 09/08 RNR N(R)=1", "SNA"},
      {0x42, 0x42, 0x03, 0, "Spanning Tree BPDU LLC 42/42 UI", "Spanning Tree BPDU"},
      {0xF4, 0xF5, 0xAF, 0, "Network Management LLC F4/F5 XID Response", "Network Management"},
      {0x06, 0x06, 0x03, 0, "LLC 06/06 UI", "LLC"},
      {0x06, 0x07, 0x73, 0, "LLC 06/07 UA FINAL Response", "LLC"},
      {0x06, 0x06, 0x13, 0, "LLC 06/06 UI POLL", "LLC"},
      {0x06, 0x06, 0xF3, 0, "LLC 06/06 TEST p/f=1", "LLC"},  // the last U-frame text
      {0x06, 0x06, 0x11, 0, "LLC 06/06", "LLC"},  // odd, not a known U- or S-frame
      {0x06, 0x06, 0x00, 0x01, "LLC 06/06 I-Frame N(R)=0 N(S)=0", "LLC"},
      {0xE1, 0x43, 0x09, 0xFF, "LLC E1/43 REJ N(R)=127 Response", "LLC"},  // whole bytes compared
  };
  Decoder d;
  for (const LlcCase& c : cases) {
    Frame f = Ethernet(60);
    f.Put(14, {c.dsap, c.ssap, c.control, c.control2});
    const DecodedLine l = d.Decode(f);
    EXPECT_EQ(COL(l.SummaryText), c.summary);
    EXPECT_EQ(COL(l.ProtocolText), c.protocol) << c.summary;
    EXPECT_EQ(COL(l.DestinationText), "020000000001");
  }
  // The caller's filling after the terminator stays.
  Frame f = Ethernet(1500);
  f.Put(14, {0x06, 0x06, 0x03});
  const DecodedLine l = d.Decode(f);
  EXPECT_EQ(l.SummaryText[12], '\0');
  EXPECT_EQ(l.SummaryText[13], ' ');
}

TEST(Llc, SnapAndIpxFramings) {
  Decoder d;
  Frame snap_unknown = Ethernet(50);
  snap_unknown.Put(14, {0xAA, 0xAA, 0x03, 0, 0, 0}).Be16(20, 0x86DD);
  DecodedLine l = d.Decode(snap_unknown);
  EXPECT_EQ(COL(l.SummaryText), "SNAP TYPE 86DD");
  EXPECT_EQ(COL(l.ProtocolText), "SNAP TYPE 86DD");

  Frame snap_arp = Ethernet(50);
  snap_arp.Put(14, {0xAA, 0xAA, 0x03, 0, 0, 0}).Be16(20, 0x0806).Be16(24, 0x0800);
  snap_arp.Be16(22 + 6, 1).Put(22 + 14, {10, 0, 0, 7}).Put(22 + 24, {10, 0, 0, 1});
  l = d.Decode(snap_arp);
  EXPECT_EQ(COL(l.SummaryText), "ARP Request, Target=10.0.0.1, Sender=10.0.0.7");

  Frame snap_arp_other = snap_arp;
  snap_arp_other.Be16(24, 0x0801);
  EXPECT_EQ(COL(d.Decode(snap_arp_other).SummaryText), "SNAP TYPE 0806");

  Frame snap_ip = Ethernet(50);
  snap_ip.Put(14, {0xAA, 0xAA, 0x03, 0, 0, 0}).Be16(20, 0x0800);
  snap_ip.Put(22, {0x45}).Put(22 + 9, {8}).Put(22 + 16, {192, 168, 1, 9});
  l = d.Decode(snap_ip);
  EXPECT_EQ(COL(l.DestinationText), "192.168.1.9");
  EXPECT_EQ(COL(l.SummaryText), "Protocol=x'08'");

  // IPX: raw 802.3 (checksum FFFF), over LLC E0/E0 and over SNAP: the same IPX header.
  for (size_t ipx : {size_t{14}, size_t{17}, size_t{22}}) {
    Frame f = Ethernet(100);
    if (ipx == 14) f.Put(14, {0xFF, 0xFF});
    if (ipx == 17) f.Put(14, {0xE0, 0xE0, 0x03});
    if (ipx == 22) f.Put(14, {0xAA, 0xAA, 0x03, 0, 0, 0}).Be16(20, 0x8137);
    f.Put(ipx + 6, {0, 0, 0, 1}).Put(ipx + 10, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    f.Be16(ipx + 16, 0x0452).Be16(ipx + 30, 2);
    l = d.Decode(f);
    EXPECT_EQ(COL(l.DestinationText), "00000001:FFFFFFFFFFFF") << ipx;
    EXPECT_EQ(COL(l.SummaryText), "IPX SAP General Service Response (NetWare)") << ipx;
  }
}

}  // namespace
}  // namespace netward::decoder::test
