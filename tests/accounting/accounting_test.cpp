// Classification, directions, counters and events of frames built in the test.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "frame_builder.h"

namespace netward::test {
namespace {

std::vector<uint8_t> TcpFrame(const Mac& dst, const Mac& src, const Ip4& sip, const Ip4& dip, uint16_t sport,
                              uint16_t dport, uint32_t seq, uint8_t flags, uint16_t data = 0) {
  return Frame().Eth(dst, src, 0x0800).Ip(sip, dip, 6, uint16_t(20 + data)).Tcp(sport, dport, seq, flags, data).Done();
}
std::vector<uint8_t> DnsQuery(const Mac& src, const Ip4& sip, uint16_t id) {
  return Frame().Eth(MacN(1), src, 0x0800).Ip(sip, IpN(1), 17, 8 + 17).Udp(1025, 53, 8 + 17)
      .U16(id).U16(0x0100).U16(1).U16(0).U32(0).Bytes({1, 'a', 0}).U16(1).U16(1).Done();
}
std::vector<uint8_t> IcmpFrame(uint8_t type) {
  return Frame().Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 1, 8).U8(type).Zeros(7).Done();
}
std::vector<uint8_t> LlcFrame(const Mac& dst, const Mac& src, uint8_t dsap, uint8_t ssap, uint8_t control) {
  return Frame().Eth(dst, src, 0).Llc(dsap, ssap, control).Zeros(40).FixLength().Done();
}
std::vector<uint8_t> OwnArpRequest(const Ip4& target) {
  return Frame().Eth(kBroadcast, kOwnMac, 0x0806).Arp(1, kOwnMac, IpN(10), Mac{}, target).Done();
}
// NetBIOS datagram (UDP 138 -> 138) whose source name is `name` with suffix `suffix`.
std::vector<uint8_t> NetbiosDatagram(const Mac& dst, const Mac& src, const Ip4& sip, const char* name,
                                     uint8_t suffix = 0) {
  Frame f;
  f.Eth(dst, src, 0x0800).Ip(sip, {10, 1, 255, 255}, 17, 8 + 14 + 34).Udp(138, 138, 8 + 14 + 34);
  f.U8(0x11).U8(0x02).U16(1).Bytes(sip).U16(138).U16(0).U16(0).U8(0x20);
  uint8_t raw[16];
  memset(raw, ' ', 15);
  memcpy(raw, name, strlen(name));
  raw[15] = suffix;
  for (uint8_t b : raw) f.U8(uint8_t('A' + (b >> 4))).U8(uint8_t('A' + (b & 15)));
  return f.U8(0).Done();
}

TEST_F(AccountingTest, DirectionsAndTotals) {
  struct Case {
    const char* what;
    std::vector<uint8_t> frame;
    uint32_t direction;
    bool station;
    uint32_t TotalsSnapshot::*counter;
    float TotalsSnapshot::*bytes;
  };
  const Case cases[] = {
      {"unicast between others", TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), 1, 2, 5, 0x10), kDirOtherUnicast, true,
       &TotalsSnapshot::OtherFrames, &TotalsSnapshot::OtherBytes},
      {"unicast from self", TcpFrame(MacN(3), kOwnMac, IpN(10), IpN(3), 1, 2, 5, 0x10), kDirOwnUnicast, true,
       &TotalsSnapshot::OwnFrames, &TotalsSnapshot::OwnBytes},
      {"group from other", NetbiosDatagram(kBroadcast, MacN(2), IpN(2), "X"), kDirOtherGroup, false,
       &TotalsSnapshot::OtherGroupFrames, nullptr},
      {"group from self", OwnArpRequest(IpN(3)), kDirOwnGroup, true, &TotalsSnapshot::OwnGroupFrames, nullptr},
      {"event from other", TcpFrame(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 2, 5, 0x04), kDirOtherEvent, true,
       &TotalsSnapshot::OtherEventFrames, nullptr},
      {"event from self", TcpFrame(MacN(2), kOwnMac, IpN(10), IpN(2), 1, 2, 5, 0x14), kDirOwnEvent, true,
       &TotalsSnapshot::OwnEventFrames, nullptr},
      {"group event from other", LlcFrame(kBroadcast, MacN(2), 0xF0, 0xF0, 0x05), kDirOtherEvent, false,
       &TotalsSnapshot::OtherEventFrames, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreeGlobalArea(g_global_area.exchange(nullptr));
    g_global_area.store(AllocateGlobalArea());
    Adapter a;
    const FrameEntry& e = a.Feed(c.frame, 1000);
    TotalsSnapshot t = a.global().Totals();
    EXPECT_EQ(e.Direction, c.direction);
    EXPECT_EQ(e.Station != nullptr, c.station);
    EXPECT_EQ(t.*c.counter, 1u);
    const uint32_t all = t.OwnFrames + t.OwnGroupFrames + t.OwnEventFrames + t.OtherFrames + t.OtherGroupFrames +
                         t.OtherEventFrames;
    EXPECT_EQ(all, 1u) << "exactly one counter moves";
    EXPECT_EQ(t.OwnBytes + t.OtherBytes, c.bytes ? float(c.frame.size()) : 0.0f);
    const bool group = c.frame[0] & 1;
    EXPECT_EQ(a.nic().GroupFrameCount, group ? 1u : 0u);
  }
}

TEST_F(AccountingTest, UnicastUpdatesBothStationsAndEventsOnlyTheSender) {
  Adapter a;
  a.Feed(TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), 1, 2, 5, 0x10), 100, 1514);
  StationRecord* s = a.Station("020000000002", "IP 10.1.0.2");
  StationRecord* r = a.Station("020000000003", "IP 10.1.0.3");
  ASSERT_TRUE(s && r);
  EXPECT_EQ(s->FramesSent, 1u);
  EXPECT_EQ(s->BytesSent, 1514.0f);  // the wire length, not the 256 stored bytes
  EXPECT_EQ(r->FramesReceived, 1u);
  EXPECT_EQ(r->BytesReceived, 1514.0f);
  EXPECT_EQ(s->FirstSeen, 100u);

  const FrameEntry& e = a.Feed(TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), 1, 2, 5, 0x04), 101);
  EXPECT_EQ(e.Event, kEventTcpReset);
  EXPECT_STREQ(e.SrcLabel.bytes, "020000000002");
  EXPECT_STREQ(e.ProtoLabel.bytes, "IP 10.1.0.2");
  EXPECT_EQ(s->EventFramesSent, 1u);
  EXPECT_EQ(s->FramesSent, 1u);
  EXPECT_EQ(r->FramesReceived, 1u) << "an event frame never touches the destination";
  EXPECT_EQ(r->LastSeen, 100u);
  EXPECT_EQ(s->LastSeen, 101u);
  EXPECT_EQ(s->LastSequence, e.Sequence);
  EXPECT_EQ(a.global().OtherBytes.load(), 1514.0f);
}

TEST_F(AccountingTest, EventKinds) {
  struct Case {
    const char* what;
    std::vector<uint8_t> frame;
    uint32_t event;
  };
  const Case cases[] = {
      {"TCP reset", TcpFrame(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 2, 9, 0x14), kEventTcpReset},
      {"ICMP unreachable", IcmpFrame(3), kEventIcmpError},
      {"ICMP source quench", IcmpFrame(4), kEventIcmpError},
      {"ICMP redirect", IcmpFrame(5), kEventIcmpError},
      {"ICMP time exceeded", IcmpFrame(11), kEventIcmpError},
      {"ICMP parameter problem", IcmpFrame(12), kEventIcmpError},
      {"ICMP echo", IcmpFrame(8), kEventNone},
      {"LLC receiver not ready", LlcFrame(kOwnMac, MacN(2), 0xF0, 0xF0, 0x05), kEventLlcError},
      {"LLC reject", LlcFrame(kOwnMac, MacN(2), 0x04, 0x04, 0x09), kEventLlcError},
      {"LLC frame reject", LlcFrame(kOwnMac, MacN(2), 0x42, 0x42, 0x87), kEventLlcError},
      {"LLC frame reject, final", LlcFrame(kOwnMac, MacN(2), 0x42, 0x42, 0x97), kEventLlcError},
      {"LLC UI", LlcFrame(kOwnMac, MacN(2), 0xF0, 0xF0, 0x03), kEventNone},
      {"TCP in a later fragment", Frame().Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 6, 40, 0x0010)
           .Tcp(1, 2, 3, 0x04).Done(), kEventNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Adapter a;
    EXPECT_EQ(a.Feed(c.frame, 50).Event, c.event);
  }
}

TEST_F(AccountingTest, ProtocolLabelsByFraming) {
  struct Case {
    const char* what;
    std::vector<uint8_t> frame;
    const char* proto;
  };
  const Case cases[] = {
      {"Ethernet II IPX", Frame().Eth(kOwnMac, MacN(2), 0x8137).Zeros(6).U32(0x11).Bytes(kOwnMac).U16(0x451)
           .U32(0x22).Bytes(MacN(2)).Done(), "IPX 00000022:020000000002"},
      {"raw 802.3 IPX", Frame().Eth(kOwnMac, MacN(2), 0).U16(0xFFFF).Zeros(4).U32(0x11).Bytes(kOwnMac).U16(1)
           .U32(0x33).Bytes(MacN(2)).FixLength().Done(), "IPX 00000033:020000000002"},
      {"IPX over LLC", Frame().Eth(kOwnMac, MacN(2), 0).Llc(0xE0, 0xE0, 3).U16(0xFFFF).Zeros(4).U32(0x11)
           .Bytes(kOwnMac).U16(1).U32(0x44).Bytes(MacN(2)).FixLength().Done(), "IPX 00000044:020000000002"},
      {"SNAP IP", Frame().Eth(kOwnMac, MacN(2), 0).Llc(0xAA, 0xAA, 3).Zeros(3).U16(0x0800)
           .Ip(IpN(7), IpN(10), 17, 8).Udp(1, 2, 8).FixLength().Done(), "IP 10.1.0.7"},
      {"SNAP other", Frame().Eth(kOwnMac, MacN(2), 0).Llc(0xAA, 0xAA, 3).Zeros(3).U16(0x2000).Zeros(10)
           .FixLength().Done(), "<misc>"},
      {"ARP reply", Frame().Eth(kOwnMac, MacN(2), 0x0806).Arp(2, MacN(2), IpN(2), kOwnMac, IpN(10)).Done(),
       "IP 10.1.0.2"},
      {"ARP for another protocol", Frame().Eth(kOwnMac, MacN(2), 0x0806).U16(1).U16(0x809B).Zeros(24).Done(),
       "<misc>"},
      {"Appletalk", Frame().Eth(kOwnMac, MacN(2), 0x809B).Zeros(30).Done(), "Appletalk"},
      {"AARP", Frame().Eth(kOwnMac, MacN(2), 0x80F3).Zeros(30).Done(), "Appletalk"},
      {"NetBEUI", LlcFrame(kOwnMac, MacN(2), 0xF0, 0xF0, 3), "NetBEUI"},
      {"SNA", LlcFrame(kOwnMac, MacN(2), 0x08, 0x04, 3), "SNA"},
      {"other SAP", LlcFrame(kOwnMac, MacN(2), 0x42, 0x42, 3), "<misc>"},
      {"IPv6", Frame().Eth(kOwnMac, MacN(2), 0x86DD).Zeros(40).Done(), "<misc>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Adapter a;
    const FrameEntry& e = a.Feed(c.frame, 50);
    EXPECT_STREQ(e.ProtoLabel.bytes, c.proto);
    EXPECT_STREQ(e.SrcLabel.bytes, "020000000002");
    EXPECT_NE(e.Station, nullptr);
  }
}

// Repeats within the 300-second window are re-transmissions; the window is measured from the
// last stored or matched copy, and only the last query or request is kept.
TEST_F(AccountingTest, DnsAndArpRetransmitWindows) {
  struct Step {
    uint32_t time;
    int which;  // 0 = the first query/request, 1 = a different one
    bool retransmit;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"299 s later", {{1000, 0, false}, {1299, 0, true}}},
      {"300 s later", {{1000, 0, false}, {1300, 0, false}}},
      {"a match renews the window", {{1000, 0, false}, {1200, 0, true}, {1499, 0, true}}},
      {"a different one in between", {{1000, 0, false}, {1001, 1, false}, {1002, 0, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Adapter dns, arp;
    for (const Step& s : c.steps) {
      const auto& q = dns.Feed(DnsQuery(kOwnMac, IpN(10), s.which ? 7 : 6), s.time);
      EXPECT_EQ(q.Event, s.retransmit ? kEventDnsRetransmit : kEventNone) << "DNS at " << s.time;
      const auto& r = arp.Feed(OwnArpRequest(s.which ? IpN(4) : IpN(3)), s.time);
      EXPECT_EQ(r.Event, s.retransmit ? kEventArpRetransmit : kEventNone) << "ARP at " << s.time;
    }
  }
  // ARP requests of other stations and ARP replies are never checked.
  Adapter a;
  auto other = Frame().Eth(kBroadcast, MacN(2), 0x0806).Arp(1, MacN(2), IpN(2), Mac{}, IpN(3)).Done();
  a.Feed(other, 10);
  EXPECT_EQ(a.Feed(other, 11).Event, kEventNone);
}

TEST_F(AccountingTest, TcpConnectionTracking) {
  Adapter a;
  auto from = [&](uint16_t sport, uint32_t seq, uint8_t flags, uint16_t data) {
    return a.Feed(TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), sport, 80, seq, flags, data), 10).Event;
  };
  EXPECT_EQ(from(1000, 100, 0x02, 0), kEventNone);          // SYN
  EXPECT_EQ(from(1000, 100, 0x02, 0), kEventTcpRetransmit);  // the same SYN again
  EXPECT_EQ(from(1000, 100, 0x10, 0), kEventNone);          // pure ACK: not tracked
  EXPECT_EQ(from(1000, 101, 0x10, 10), kEventNone);         // data beyond the highest
  EXPECT_EQ(from(1000, 101, 0x10, 10), kEventTcpRetransmit);
  EXPECT_EQ(from(1000, 50, 0x10, 10), kEventTcpRetransmit);  // below the highest
  EXPECT_EQ(from(1001, 50, 0x10, 10), kEventNone);           // another connection
  EXPECT_EQ(a.nic().ConnectionCount, 2u);
  StationRecord* s = a.Station("020000000002", "IP 10.1.0.2");
  ASSERT_NE(s, nullptr);
  ASSERT_NE(s->ConnectionChain, nullptr);
  EXPECT_EQ(s->ConnectionChain->Next, &a.nic().Connections[1]) << "new connections go to the chain's end";
}

TEST_F(AccountingTest, TheThousandAndFirstConnectionEmptiesTheTable) {
  Adapter a;
  for (int i = 0; i < kMaxConnections; ++i)
    a.Feed(TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), uint16_t(2000 + i), 80, 1, 0x02), 10);
  EXPECT_EQ(a.nic().ConnectionCount, 1000u);
  const auto& e = a.Feed(TcpFrame(MacN(3), MacN(4), IpN(4), IpN(3), 5000, 80, 1, 0x02), 10);
  EXPECT_EQ(e.Event, kEventNone);
  EXPECT_EQ(a.nic().ConnectionCount, 0u);
  for (int i = 0; i < a.nic().StationCount; ++i) EXPECT_EQ(a.nic().Stations[i].ConnectionChain, nullptr);
  // Tracking starts afresh: the first connection's SYN is new again.
  EXPECT_EQ(a.Feed(TcpFrame(MacN(3), MacN(2), IpN(2), IpN(3), 2000, 80, 1, 0x02), 10).Event, kEventNone);
  EXPECT_EQ(a.nic().ConnectionCount, 1u);
}

TEST_F(AccountingTest, TheFiveHundredAndFirstStationIsNotRecorded) {
  Adapter a;
  // 250 frames, each making two stations (source and destination).
  for (int i = 0; i < kMaxStations / 2; ++i)
    a.Feed(Frame().Eth(MacN(uint8_t(i)), MacN(uint8_t(i)), 0x0800).Ip({10, 2, uint8_t(i), 1}, {10, 3, uint8_t(i), 1}, 17, 8)
               .Udp(1, 2, 8).Done(), 10);
  ASSERT_EQ(a.nic().StationCount, kMaxStations);
  const TotalsSnapshot before = a.global().Totals();
  const FrameEntry& e = a.Feed(TcpFrame(kOwnMac, MacN(1), IpN(99), IpN(10), 1, 2, 3, 0x10), 20);
  EXPECT_EQ(e.Station, nullptr);
  EXPECT_EQ(e.Direction, 0u);
  EXPECT_STREQ(e.SrcLabel.bytes, "020000000001") << "the labels are still filled";
  EXPECT_EQ(a.nic().StationCount, kMaxStations);
  const TotalsSnapshot after = a.global().Totals();
  EXPECT_EQ(after.OtherFrames, before.OtherFrames);
  EXPECT_EQ(after.OtherBytes, before.OtherBytes);
  EXPECT_EQ(after.LastOtherTime, before.LastOtherTime);
  // An LLC error of an unplaceable station stops early but still goes to the detail log.
  const FrameEntry& llc = a.Feed(LlcFrame(kOwnMac, MacN(200), 0xF0, 0xF0, 0x05), 21);
  EXPECT_EQ(llc.Event, kEventLlcError);
  EXPECT_EQ(llc.Direction, 0u);
  EXPECT_EQ(a.nic().EventCount, 1u);
  EXPECT_EQ(a.global().OtherEventFrames.load(), 0u);
}

TEST_F(AccountingTest, GroupFramesNameStationsOrTheCache) {
  Adapter a;
  // Unknown sender: no station, the name goes to the cache.
  const FrameEntry& g = a.Feed(NetbiosDatagram(kBroadcast, MacN(2), IpN(2), "ALPHA"), 10);
  EXPECT_EQ(g.Station, nullptr);
  EXPECT_EQ(a.nic().StationCount, 0);
  EXPECT_STREQ(a.nic().NameCache[0].Name.bytes, "ALPHA");
  EXPECT_STREQ(a.nic().NameCache[0].ProtocolLabel.bytes, "IP 10.1.0.2");
  const GroupFrameEntry& ge = a.nic().GroupFrames[0];
  EXPECT_EQ(ge.Time, 10u);
  EXPECT_EQ(ge.Sequence, g.Sequence);
  EXPECT_STREQ(ge.SrcLabel.bytes, "020000000002");
  const uint8_t dir_bcast[4] = {10, 1, 255, 255};
  EXPECT_EQ(memcmp(ge.DestIp, dir_bcast, 4), 0) << "directed broadcast keeps its destination";
  EXPECT_EQ(memcmp(ge.Data, g.Data, kFrameDataBytes), 0);
  // Its first unicast frame creates the station with the cached name.
  a.Feed(TcpFrame(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 2, 3, 0x10), 11);
  StationRecord* s = a.Station("020000000002", "IP 10.1.0.2");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->Name.bytes, "ALPHA");
  // A known nameless station is named by its broadcast; a named one keeps its name.
  a.Feed(TcpFrame(kOwnMac, MacN(3), IpN(3), IpN(10), 1, 2, 3, 0x10), 12);
  a.Feed(NetbiosDatagram(kBroadcast, MacN(3), IpN(3), "BRAVO  "), 13);
  a.Feed(NetbiosDatagram(kBroadcast, MacN(3), IpN(3), "CHARLIE"), 14);
  StationRecord* t = a.Station("020000000003", "IP 10.1.0.3");
  EXPECT_STREQ(t->Name.bytes, "BRAVO");
  EXPECT_EQ(t->GroupFramesSent, 2u);
  // Suffixes other than 0 and 0x20 give no name; multicast IP keeps no destination.
  a.Feed(NetbiosDatagram(kBroadcast, MacN(4), IpN(4), "DELTA", 0x1D), 15);
  EXPECT_EQ(a.nic().NameCache[1].Time, 0u);
  a.Feed(Frame().Eth({0x01, 0, 0x5E, 0, 0, 1}, MacN(5), 0x0800).Ip(IpN(5), {224, 0, 0, 1}, 17, 8).Udp(1, 2, 8).Done(), 16);
  EXPECT_EQ(a.nic().GroupFrameCount, 5u);
  EXPECT_EQ(RelaxedLoad(a.nic().GroupFrames[4].DestIp[0]), 0);
}

TEST_F(AccountingTest, NetbiosFramesNamesOverLlc) {
  struct Case {
    const char* what;
    uint8_t command;
    uint8_t byte30;
    size_t name_offset;  // from the DSAP; 0 = no name
  };
  const Case cases[] = {
      {"add name query", 0x01, ' ', 15}, {"add name query, suffix", 0x01, 0x1B, 0},
      {"name query", 0x0A, 0, 31},       {"name query, suffix", 0x0A, 0x1C, 0},
      {"datagram", 0x08, 0x03, 31},      {"status query", 0x03, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Adapter a;
    std::vector<uint8_t> f = Frame().Eth({0x03, 0, 0, 0, 0, 1}, MacN(2), 0).Llc(0xF0, 0xF0, 3).Zeros(60).FixLength().Done();
    f[14 + 7] = c.command;
    memcpy(&f[14 + 15], "FIRSTNAME      ", 15);
    memcpy(&f[14 + 31], "SECONDNAME     ", 15);
    f[14 + 30] = c.byte30;
    a.Feed(f, 10);
    const char* expect = c.name_offset == 15 ? "FIRSTNAME      " : c.name_offset == 31 ? "SECONDNAME     " : "";
    EXPECT_STREQ(a.nic().NameCache[0].Name.bytes, expect);
  }
}

TEST_F(AccountingTest, WanPseudoAddresses) {
  Adapter a(kOwnMac, 0, /*wan=*/true);
  const FrameEntry& sent = a.Feed(TcpFrame(Mac{0x20, 'R', 'E', 'C', 'V', 1}, Mac{0x20, 'S', 'E', 'N', 'D', 1}, IpN(10),
                                           IpN(20), 1, 2, 3, 0x10), 10);
  EXPECT_STREQ(sent.SrcLabel.bytes, "*LOCAL_MODEM");
  EXPECT_EQ(sent.Direction, kDirOwnUnicast);
  const FrameEntry& got = a.Feed(TcpFrame(Mac{0x20, 'S', 'E', 'N', 'D', 1}, Mac{0x20, 'R', 'E', 'C', 'V', 1}, IpN(20),
                                          IpN(10), 1, 2, 3, 0x10), 11);
  EXPECT_STREQ(got.SrcLabel.bytes, "REMOTE_MODEM");
  EXPECT_EQ(got.Direction, kDirOtherUnicast);
  StationRecord* self = a.Station("*LOCAL_MODEM", "IP 10.1.0.10");
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->IsSelf, 1u);
  EXPECT_STREQ(self->Role.bytes, "Self");
  EXPECT_NE(a.Station("REMOTE_MODEM", "IP 10.1.0.20"), nullptr);

  // A WAN adapter without a known address learns it from the first other source.
  Adapter b(kOwnMac, 0, /*wan=*/true);
  b.Feed(TcpFrame(MacN(9), MacN(8), IpN(8), IpN(9), 1, 2, 3, 0x10), 10);
  EXPECT_EQ(memcmp(b.nic().OwnAddress, MacN(8).data(), 6), 0);
  EXPECT_NE(b.Station("*LOCAL_MODEM", "IP 10.1.0.8"), nullptr);
}

TEST_F(AccountingTest, TokenRing) {
  Adapter a(kOwnMac, /*media=*/1);
  auto tr = [](uint8_t fc, const Mac& dst, Mac src, std::vector<uint8_t> rif) {
    Frame f;
    f.U8(0x10).U8(fc).Bytes(dst);
    if (!rif.empty()) src[0] |= 0x80;
    f.Bytes(src);
    for (uint8_t b : rif) f.U8(b);
    return f.Llc(0xF0, 0xF0, 0x03).Zeros(40).Done();
  };
  const FrameEntry& mac_frame = a.Feed(tr(0x01, kOwnMac, MacN(2), {}), 10);
  EXPECT_EQ(mac_frame.Station, nullptr);
  EXPECT_EQ(a.nic().StationCount, 0);
  EXPECT_EQ(a.global().Totals().OtherFrames + a.global().Totals().OtherGroupFrames, 0u);

  const FrameEntry& routed = a.Feed(tr(0x40, kOwnMac, MacN(2), {0x04, 0x30, 0x01, 0x10}), 11);
  EXPECT_STREQ(routed.SrcLabel.bytes, "020000000002") << "route-information bit cleared";
  EXPECT_STREQ(routed.ProtoLabel.bytes, "NetBEUI") << "LLC found after the 4-byte route field";
  EXPECT_EQ(routed.Direction, kDirOtherUnicast);
  const FrameEntry& group = a.Feed(tr(0x40, {0xC0, 0, 0, 0, 0, 0x80}, MacN(2), {}), 12);
  EXPECT_EQ(group.Direction, kDirOtherGroup);

  platform::CapturedOutput out;
  SetAccountingOutput(&out);
  a.Feed(tr(0x80, kOwnMac, MacN(2), {}), 13);
  SetAccountingOutput(nullptr);
  EXPECT_EQ(out.Text(), "WARNING: Unexpected Frame Type x80\n");
}

TEST_F(AccountingTest, DnsAnswersNameNewStations) {
  Adapter a;
  // Response: question "host.example.com" A, answer by pointer to it, A 10.1.0.77.
  Frame f;
  f.Eth(kOwnMac, MacN(1), 0x0800).Ip(IpN(1), IpN(10), 17, 8 + 12 + 22 + 16).Udp(53, 1025, 8 + 12 + 22 + 16);
  f.U16(1).U16(0x8180).U16(1).U16(1).U32(0);
  f.Bytes({4, 'h', 'o', 's', 't', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}).U16(1).U16(1);
  f.U16(0xC00C).U16(1).U16(1).U32(60).U16(4).Bytes({10, 1, 0, 77});
  a.Feed(f.Done(), 10);
  EXPECT_EQ(a.nic().DnsNameCount, 1u);
  EXPECT_STREQ(a.nic().DnsNames[0].Name.bytes, "host.example.com");
  a.Feed(TcpFrame(kOwnMac, MacN(5), IpN(77), IpN(10), 1, 2, 3, 0x10), 11);
  StationRecord* s = a.Station("020000000005", "IP 10.1.0.77");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->Name.bytes, "host.example.com");
}

TEST_F(AccountingTest, ShortFramesReadNothingPastTheirLength) {
  Adapter a;
  // A DNS query cut short: its stored copy holds the bytes that exist, the rest zero.
  std::vector<uint8_t> q = DnsQuery(kOwnMac, IpN(10), 6);
  q.resize(45);
  a.Feed(q, 10, 45);
  EXPECT_EQ(a.nic().LastDnsQuery[0], q[42]);
  EXPECT_EQ(a.nic().LastDnsQuery[2], q[44]);
  EXPECT_EQ(a.nic().LastDnsQuery[3], 0);
  // A wire length of 14 hides every byte after the Ethernet header, even those in the buffer.
  std::vector<uint8_t> t = TcpFrame(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 2, 3, 0x04);
  const FrameEntry& e = a.Feed(t, 11, 14);
  EXPECT_EQ(e.Event, kEventNone);
  EXPECT_STREQ(e.ProtoLabel.bytes, "IP 0.0.0.0");
}

}  // namespace
}  // namespace netward::test
