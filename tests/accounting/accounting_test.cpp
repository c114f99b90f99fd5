// Classification, directions, counters and events of frames built in the test.
#include <gtest/gtest.h>

#include <random>

#include "adapter_fixture.h"

namespace netward::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Tcp(const Mac& dst, const Mac& src, const Ip4& sip, const Ip4& dip, uint16_t sport, uint32_t seq,
          uint8_t flags, uint16_t data = 0) {
  return Frame().Eth(dst, src, 0x0800).Ip(sip, dip, 6, uint16_t(20 + data)).Tcp(sport, 80, seq, flags, data).Done();
}
Bytes Icmp(uint8_t type) { return Frame().Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 1, 8).U8(type).Zeros(7).Done(); }
Bytes Llc(const Mac& dst, uint8_t dsap, uint8_t ssap, uint8_t control) {
  return Frame().Eth(dst, MacN(2), 0).Llc(dsap, ssap, control).Zeros(40).FixLength().Done();
}
Bytes DnsQuery(uint16_t id) {
  return Frame().Eth(MacN(1), kOwnMac, 0x0800).Ip(IpN(10), IpN(1), 17, 25).Udp(1025, 53, 25)
      .U16(id).U16(0x0100).U16(1).U16(0).U32(0).Bytes({1, 'a', 0}).U16(1).U16(1).Done();
}
Bytes OwnArp(const Ip4& target) {
  return Frame().Eth(kBroadcast, kOwnMac, 0x0806).Arp(1, kOwnMac, IpN(10), Mac{}, target).Done();
}
// NetBIOS datagram (UDP 138) whose first-level encoded source name is `name` + `suffix`.
Bytes NbDatagram(const Mac& src, const Ip4& sip, const char* name, uint8_t suffix = 0) {
  Frame f;
  f.Eth(kBroadcast, src, 0x0800).Ip(sip, {10, 1, 255, 255}, 17, 56).Udp(138, 138, 56);
  f.U8(0x11).U8(0x02).U16(1).Bytes(sip).U16(138).U32(0).U8(0x20);
  uint8_t raw[16];
  memset(raw, ' ', 15);
  memcpy(raw, name, strlen(name));
  raw[15] = suffix;
  for (uint8_t b : raw) f.U8(uint8_t('A' + (b >> 4))).U8(uint8_t('A' + (b & 15)));
  return f.U8(0).Done();
}

TEST_F(AccountingTest, DirectionsAndTotals) {
  using T = TotalsSnapshot;
  struct Case {
    const char* what;
    Bytes frame;
    uint32_t direction;
    bool station;
    uint32_t T::*counter;
    bool bytes;
  } cases[] = {
      {"unicast, others", Tcp(MacN(3), MacN(2), IpN(2), IpN(3), 1, 5, 0x10), kDirOtherUnicast, true, &T::OtherFrames, true},
      {"unicast, self", Tcp(MacN(3), kOwnMac, IpN(10), IpN(3), 1, 5, 0x10), kDirOwnUnicast, true, &T::OwnFrames, true},
      {"group, other", NbDatagram(MacN(2), IpN(2), "X"), kDirOtherGroup, false, &T::OtherGroupFrames, false},
      {"group, self", OwnArp(IpN(3)), kDirOwnGroup, true, &T::OwnGroupFrames, false},
      {"event, other", Tcp(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 5, 0x04), kDirOtherEvent, true, &T::OtherEventFrames, false},
      {"event, self", Tcp(MacN(2), kOwnMac, IpN(10), IpN(2), 1, 5, 0x14), kDirOwnEvent, true, &T::OwnEventFrames, false},
      {"group event", Llc(kBroadcast, 0xF0, 0xF0, 0x05), kDirOtherEvent, false, &T::OtherEventFrames, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    Adapter a;
    const FrameEntry& e = a.Feed(c.frame, 1000);
    const T t = a.global().Totals();
    EXPECT_EQ(e.Direction, c.direction);
    EXPECT_EQ(e.Station != nullptr, c.station);
    EXPECT_EQ(t.*c.counter, 1u);
    EXPECT_EQ(t.OwnFrames + t.OwnGroupFrames + t.OwnEventFrames + t.OtherFrames + t.OtherGroupFrames + t.OtherEventFrames, 1u);
    EXPECT_EQ(t.OwnBytes + t.OtherBytes, c.bytes ? float(c.frame.size()) : 0.0f);
    EXPECT_EQ(a.nic().GroupFrameCount, c.frame[0] & 1u);
  }
}

// An adapter counts into the GlobalArea it is attached to, whichever block the process publishes;
// one attached to none keeps its frames in the ring without counting them.
TEST_F(AccountingTest, AnAdapterCountsIntoTheAreaItIsAttachedTo) {
  GlobalArea* own = AllocateGlobalArea();
  NicArea* nic = AllocateNicArea();
  ASSERT_TRUE(AttachNicArea(*own, nic));
  EXPECT_EQ(nic->Global, own);
  EXPECT_EQ(own->Nics[0], nic);
  EXPECT_EQ(own->NicCount.load(), 1);
  own->HostName.Set("ATTACHED");

  Adapter a;
  a.nic().Global = own;
  const FrameEntry& e = a.Feed(Tcp(MacN(3), kOwnMac, IpN(10), IpN(3), 1, 5, 0x10), 1000);
  EXPECT_EQ(e.Direction, kDirOwnUnicast);
  EXPECT_EQ(own->Totals().OwnFrames, 1u);
  EXPECT_EQ(a.global().Totals().OwnFrames, 0u) << "the process's block is not the adapter's";
  StationRecord* self = e.Station;
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->IsSelf, 1u);
  EXPECT_STREQ(self->Name.bytes, "ATTACHED") << "the own station is named from the adapter's block";

  a.nic().Global = nullptr;
  const FrameEntry& kept = a.Feed(Tcp(MacN(3), MacN(2), IpN(2), IpN(3), 1, 5, 0x10), 1001);
  EXPECT_EQ(kept.Station, nullptr);
  EXPECT_STREQ(kept.SrcLabel.bytes, "");
  EXPECT_EQ(own->Totals().OtherFrames, 0u);
  EXPECT_EQ(a.nic().RecentFrames[1].Time, 1001u) << "the frame is still in the ring";

  for (int i = 1; i < kMaxNics; ++i) EXPECT_TRUE(AttachNicArea(*own, AllocateNicArea()));
  NicArea* fifth = AllocateNicArea();
  EXPECT_FALSE(AttachNicArea(*own, fifth));
  EXPECT_EQ(fifth->Global, nullptr);
  EXPECT_EQ(own->NicCount.load(), kMaxNics);
  delete fifth;
  FreeGlobalArea(own);
}

TEST_F(AccountingTest, UnicastCountsBothEndsAndAnEventOnlyTheSender) {
  Adapter a;
  a.Feed(Tcp(MacN(3), MacN(2), IpN(2), IpN(3), 1, 5, 0x10), 100, 1514);
  StationRecord* s = a.Station("020000000002", "IP 10.1.0.2");
  StationRecord* r = a.Station("020000000003", "IP 10.1.0.3");
  ASSERT_TRUE(s && r);
  EXPECT_EQ(s->BytesSent, 1514.0f) << "the wire length, not the stored bytes";
  EXPECT_EQ(r->FramesReceived, 1u);
  EXPECT_EQ(r->BytesReceived, 1514.0f);
  const FrameEntry& e = a.Feed(Tcp(MacN(3), MacN(2), IpN(2), IpN(3), 1, 5, 0x04), 101);
  EXPECT_EQ(e.Station, s);
  EXPECT_STREQ(e.ProtoLabel.bytes, "IP 10.1.0.2");
  EXPECT_EQ(s->EventFramesSent, 1u);
  EXPECT_EQ(s->FramesSent, 1u);
  EXPECT_EQ(r->FramesReceived, 1u);
  EXPECT_EQ(r->LastSeen, 100u) << "the destination is not touched";
  EXPECT_EQ(s->LastSequence, e.Sequence);
  EXPECT_EQ(a.global().OtherBytes.load(), 1514.0f);
}

TEST_F(AccountingTest, EventKinds) {
  const struct {
    Bytes frame;
    uint32_t event;
  } cases[] = {
      {Icmp(3), kEventIcmpError},  {Icmp(5), kEventIcmpError},  {Icmp(11), kEventIcmpError},
      {Icmp(12), kEventIcmpError}, {Icmp(8), kEventNone},
      {Llc(kOwnMac, 0xF0, 0xF0, 0x05), kEventLlcError}, {Llc(kOwnMac, 0x04, 0x04, 0x09), kEventLlcError},
      {Llc(kOwnMac, 0x42, 0x42, 0x97), kEventLlcError}, {Llc(kOwnMac, 0xF0, 0xF0, 0x03), kEventNone},
      // A reset in a later fragment carries no TCP header.
      {Frame().Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 6, 40, 0x0010).Tcp(1, 2, 3, 0x04).Done(), kEventNone},
  };
  for (const auto& c : cases) {
    Adapter a;
    EXPECT_EQ(a.Feed(c.frame, 50).Event, c.event) << testing::PrintToString(c.frame).substr(0, 200);
  }
}

TEST_F(AccountingTest, ProtocolLabelsByFraming) {
  const struct {
    Bytes frame;
    const char* proto;
  } cases[] = {
      {Frame().Eth(kOwnMac, MacN(2), 0x8137).Zeros(6).U32(0x11).Bytes(kOwnMac).U16(1).U32(0x22).Bytes(MacN(2)).Done(),
       "IPX 00000022:020000000002"},
      {Frame().Eth(kOwnMac, MacN(2), 0).U16(0xFFFF).Zeros(4).U32(0x11).Bytes(kOwnMac).U16(1).U32(0x33).Bytes(MacN(2))
           .FixLength().Done(), "IPX 00000033:020000000002"},
      {Frame().Eth(kOwnMac, MacN(2), 0).Llc(0xE0, 0xE0, 3).U16(0xFFFF).Zeros(4).U32(0x11).Bytes(kOwnMac).U16(1)
           .U32(0x44).Bytes(MacN(2)).FixLength().Done(), "IPX 00000044:020000000002"},
      {Frame().Eth(kOwnMac, MacN(2), 0).Llc(0xAA, 0xAA, 3).Zeros(3).U16(0x0800).Ip({192, 168, 100, 7}, IpN(10), 17, 8)
           .Udp(1, 2, 8).FixLength().Done(), "IP 192.168.100.7"},
      {Frame().Eth(kOwnMac, MacN(2), 0x0806).U16(1).U16(0x809B).Zeros(24).Done(), "<misc>"},
      {Frame().Eth(kOwnMac, MacN(2), 0x80F3).Zeros(30).Done(), "Appletalk"},
      {Llc(kOwnMac, 0x08, 0x04, 3), "SNA"},
      {Llc(kOwnMac, 0x42, 0x42, 3), "<misc>"},
  };
  for (const auto& c : cases) {
    Adapter a;
    const FrameEntry& e = a.Feed(c.frame, 50);
    EXPECT_STREQ(e.ProtoLabel.bytes, c.proto);
    EXPECT_NE(e.Station, nullptr) << c.proto;
  }
}

// Repeats within 300 s of the last stored or matched copy are re-transmissions; only the last
// query or request is kept.
TEST_F(AccountingTest, DnsAndArpRetransmitWindows) {
  const struct {
    const char* what;
    std::vector<std::tuple<uint32_t, int, bool>> steps;  // time, which one, re-transmission
  } cases[] = {
      {"299 s", {{1000, 0, false}, {1299, 0, true}}},
      {"300 s", {{1000, 0, false}, {1300, 0, false}}},
      {"a match renews the window", {{1000, 0, false}, {1200, 0, true}, {1499, 0, true}}},
      {"a different one in between", {{1000, 0, false}, {1001, 1, false}, {1002, 0, false}}},
  };
  for (const auto& c : cases) {
    Adapter dns, arp;
    for (auto [time, which, retransmit] : c.steps) {
      EXPECT_EQ(dns.Feed(DnsQuery(which ? 7 : 6), time).Event, retransmit ? kEventDnsRetransmit : kEventNone) << c.what;
      EXPECT_EQ(arp.Feed(OwnArp(which ? IpN(4) : IpN(3)), time).Event, retransmit ? kEventArpRetransmit : kEventNone)
          << c.what;
    }
  }
  Adapter a;  // other stations' ARP requests are never checked
  auto other = Frame().Eth(kBroadcast, MacN(2), 0x0806).Arp(1, MacN(2), IpN(2), Mac{}, IpN(3)).Done();
  a.Feed(other, 10);
  EXPECT_EQ(a.Feed(other, 11).Event, kEventNone);
}

TEST_F(AccountingTest, TcpConnectionTracking) {
  Adapter a;
  auto send = [&](uint16_t sport, uint32_t seq, uint8_t flags, uint16_t data) {
    return a.Feed(Tcp(MacN(3), MacN(2), IpN(2), IpN(3), sport, seq, flags, data), 10).Event;
  };
  EXPECT_EQ(send(1000, 100, 0x02, 0), kEventNone);
  EXPECT_EQ(send(1000, 100, 0x02, 0), kEventTcpRetransmit) << "the same SYN again";
  EXPECT_EQ(send(1000, 100, 0x10, 0), kEventNone) << "a pure ACK is not tracked";
  EXPECT_EQ(send(1000, 101, 0x10, 10), kEventNone);
  EXPECT_EQ(send(1000, 50, 0x10, 10), kEventTcpRetransmit);
  EXPECT_EQ(send(1001, 50, 0x10, 10), kEventNone) << "another connection";
  StationRecord* s = a.Station("020000000002", "IP 10.1.0.2");
  ASSERT_TRUE(s && s->ConnectionChain);
  EXPECT_EQ(s->ConnectionChain->Next, &a.nic().Connections[1]);

  for (int i = 2; i < kMaxConnections; ++i) send(uint16_t(2000 + i), 1, 0x02, 0);
  ASSERT_EQ(a.nic().ConnectionCount, 1000u);
  EXPECT_EQ(send(5000, 1, 0x02, 0), kEventNone);
  EXPECT_EQ(a.nic().ConnectionCount, 0u) << "the 1001st connection empties the table";
  EXPECT_EQ(s->ConnectionChain, nullptr);
  EXPECT_EQ(send(1000, 100, 0x02, 0), kEventNone) << "tracking starts afresh";
}

// The connection index stands for the chains: before each frame the expected event comes from
// walking the sender's chain, and after it the chain holds the connection with its sequence.
TEST_F(AccountingTest, ConnectionIndexFindsWhatTheChainWalkFinds) {
  Adapter a;
  NicArea& nic = a.nic();
  std::mt19937 rng(5);
  int retransmits = 0, table_resets = 0;
  for (int i = 0; i < 40000; ++i) {
    if (i % 15000 == 14999) RelaxedStore(nic.StationCount, 0);  // day roll-over: records made anew
    const uint8_t n = uint8_t(2 + rng() % 5);
    const Ip4 sip = {10, 1, 0, uint8_t(n * 10 + rng() % 3)};
    const Ip4 dip = {10, 1, 1, uint8_t(rng() % 4)};
    const uint16_t sport = uint16_t(1000 + rng() % 150);
    const uint32_t seq = rng() % 20;
    const bool syn = rng() % 2;
    const Bytes frame = Tcp(MacN(1), MacN(n), sip, dip, sport, seq, syn ? 0x02 : 0x10, syn ? 0 : 10);

    char proto[32];
    snprintf(proto, sizeof proto, "IP %d.%d.%d.%d", sip[0], sip[1], sip[2], sip[3]);
    char addr[16];
    snprintf(addr, sizeof addr, "02000000000%X", n);
    auto same = [&](const ConnectionEntry& c) {
      const uint8_t port[2] = {uint8_t(sport >> 8), uint8_t(sport)}, http[2] = {0, 80};
      return memcmp(c.SrcIp, sip.data(), 4) == 0 && memcmp(c.SrcPort, port, 2) == 0 &&
             memcmp(c.DestIp, dip.data(), 4) == 0 && memcmp(c.DestPort, http, 2) == 0;
    };
    uint32_t want = kEventNone;
    bool known = false;
    if (const StationRecord* s = a.Station(addr, proto))
      for (const ConnectionEntry* c = s->ConnectionChain; c != nullptr && !known; c = c->Next)
        if (same(*c)) {
          known = true;
          if (seq <= c->HighestSequence) want = kEventTcpRetransmit;
        }
    const bool full = !known && nic.ConnectionCount >= uint32_t(kMaxConnections);
    ASSERT_EQ(a.Feed(frame, 10).Event, want) << "frame " << i;
    retransmits += want == kEventTcpRetransmit;
    table_resets += full;
    if (full) continue;  // the table emptied instead
    const StationRecord* s = a.Station(addr, proto);
    ASSERT_NE(s, nullptr);
    const ConnectionEntry* c = s->ConnectionChain;
    while (c != nullptr && !same(*c)) c = c->Next;
    ASSERT_NE(c, nullptr) << "frame " << i;
    EXPECT_EQ(c->HighestSequence, seq);
  }
  EXPECT_GT(retransmits, 1000);
  EXPECT_GT(table_resets, 3);
}

TEST_F(AccountingTest, TheFiveHundredAndFirstStationIsNotRecorded) {
  Adapter a;
  for (int i = 0; i < kMaxStations / 2; ++i)  // each frame adds its source and its destination
    a.Feed(Frame().Eth(MacN(uint8_t(i)), MacN(uint8_t(i)), 0x0800).Ip({10, 2, uint8_t(i), 1}, {10, 3, uint8_t(i), 1}, 17, 8)
               .Udp(1, 2, 8).Done(), 10);
  ASSERT_EQ(a.nic().StationCount, kMaxStations);
  const TotalsSnapshot before = a.global().Totals();
  const FrameEntry& e = a.Feed(Tcp(kOwnMac, MacN(1), IpN(99), IpN(10), 1, 3, 0x10), 20);
  EXPECT_EQ(e.Station, nullptr);
  EXPECT_STREQ(e.SrcLabel.bytes, "020000000001") << "labels are filled all the same";
  EXPECT_EQ(a.nic().StationCount, kMaxStations);
  EXPECT_EQ(a.global().Totals().OtherFrames, before.OtherFrames);
  EXPECT_EQ(a.global().Totals().LastOtherTime, before.LastOtherTime);
  // Accounting stops early (direction 0), but an LLC error found before still reaches the log.
  const FrameEntry& llc = a.Feed(Llc(kOwnMac, 0xF0, 0xF0, 0x05), 21);
  EXPECT_EQ(llc.Event, kEventLlcError);
  EXPECT_EQ(llc.Direction, 0u);
  EXPECT_EQ(a.nic().EventCount, 1u);
}

TEST_F(AccountingTest, GroupFramesNameStationsOrTheCache) {
  Adapter a;
  const FrameEntry& g = a.Feed(NbDatagram(MacN(2), IpN(2), "ALPHA"), 10);
  EXPECT_EQ(g.Station, nullptr);
  EXPECT_EQ(a.nic().StationCount, 0);
  EXPECT_STREQ(a.nic().NameCache[0].Name.bytes, "ALPHA");
  const GroupFrameEntry& ge = a.nic().GroupFrames[0];
  EXPECT_EQ(ge.Sequence, g.Sequence);
  EXPECT_STREQ(ge.ProtoLabel.bytes, "IP 10.1.0.2");
  EXPECT_EQ(ge.DestIp[2], 255) << "a directed broadcast keeps its destination";
  EXPECT_EQ(memcmp(ge.Data, g.Data, kFrameDataBytes), 0);
  a.Feed(Tcp(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 3, 0x10), 11);
  EXPECT_STREQ(a.Station("020000000002", "IP 10.1.0.2")->Name.bytes, "ALPHA") << "from the cache";
  // A known nameless station takes the name of its broadcast; a named one keeps its name.
  a.Feed(Tcp(kOwnMac, MacN(3), IpN(3), IpN(10), 1, 3, 0x10), 12);
  a.Feed(NbDatagram(MacN(3), IpN(3), "BRAVO  "), 13);
  a.Feed(NbDatagram(MacN(3), IpN(3), "CHARLIE"), 14);
  EXPECT_STREQ(a.Station("020000000003", "IP 10.1.0.3")->Name.bytes, "BRAVO");
  a.Feed(NbDatagram(MacN(4), IpN(4), "DELTA", 0x1D), 15);
  EXPECT_EQ(a.nic().NameCache[1].Time, 0u) << "only suffixes 0 and 0x20 name";
  a.Feed(Frame().Eth({0x01, 0, 0x5E, 0, 0, 1}, MacN(5), 0x0800).Ip(IpN(5), {224, 0, 0, 1}, 17, 8).Udp(1, 2, 8).Done(), 16);
  EXPECT_EQ(a.nic().GroupFrames[4].DestIp[0], 0) << "class D keeps no destination";
}

TEST_F(AccountingTest, NetbiosFramesNamesOverLlc) {
  const struct {
    uint8_t command, byte30;
    const char* name;
  } cases[] = {{0x01, ' ', "FIRSTNAME      "}, {0x01, 0x1B, ""}, {0x0A, 0, "SECONDNAME     "},
               {0x0A, 0x1C, ""},              {0x08, 0x03, "SECONDNAME     "}, {0x03, 0, ""}};
  for (const auto& c : cases) {
    Adapter a;
    Bytes f = Frame().Eth({0x03, 0, 0, 0, 0, 1}, MacN(2), 0).Llc(0xF0, 0xF0, 3).Zeros(60).FixLength().Done();
    f[14 + 7] = c.command;
    memcpy(&f[14 + 15], "FIRSTNAME      ", 15);
    memcpy(&f[14 + 31], "SECONDNAME     ", 15);
    f[14 + 30] = c.byte30;
    a.Feed(f, 10);
    EXPECT_STREQ(a.nic().NameCache[0].Name.bytes, c.name) << int(c.command);
  }
}

TEST_F(AccountingTest, WanPseudoAddresses) {
  const Mac send{0x20, 'S', 'E', 'N', 'D', 1}, recv{0x20, 'R', 'E', 'C', 'V', 1};
  Adapter a(kOwnMac, 0, /*wan=*/true);
  const FrameEntry& out = a.Feed(Tcp(recv, send, IpN(10), IpN(20), 1, 3, 0x10), 10);
  EXPECT_STREQ(out.SrcLabel.bytes, "*LOCAL_MODEM");
  EXPECT_EQ(out.Direction, kDirOwnUnicast);
  const FrameEntry& in = a.Feed(Tcp(send, recv, IpN(20), IpN(10), 1, 3, 0x10), 11);
  EXPECT_STREQ(in.SrcLabel.bytes, "REMOTE_MODEM");
  EXPECT_EQ(in.Direction, kDirOtherUnicast);
  EXPECT_EQ(a.Station("*LOCAL_MODEM", "IP 10.1.0.10")->IsSelf, 1u);
  // Without a known address, the first other source becomes the adapter's own.
  Adapter b(kOwnMac, 0, /*wan=*/true);
  b.Feed(Tcp(MacN(9), MacN(8), IpN(8), IpN(9), 1, 3, 0x10), 10);
  EXPECT_EQ(memcmp(b.nic().OwnAddress, MacN(8).data(), 6), 0);
  EXPECT_NE(b.Station("*LOCAL_MODEM", "IP 10.1.0.8"), nullptr);
}

TEST_F(AccountingTest, TokenRing) {
  Adapter a(kOwnMac, /*media=*/1);
  auto tr = [](uint8_t fc, const Mac& dst, Mac src, Bytes rif) {
    Frame f;
    if (!rif.empty()) src[0] |= 0x80;
    f.U8(0x10).U8(fc).Bytes(dst).Bytes(src);
    for (uint8_t b : rif) f.U8(b);
    return f.Llc(0xF0, 0xF0, 0x03).Zeros(40).Done();
  };
  EXPECT_EQ(a.Feed(tr(0x01, kOwnMac, MacN(2), {}), 10).Station, nullptr) << "MAC frame";
  EXPECT_EQ(a.nic().StationCount, 0);
  EXPECT_EQ(a.global().Totals().OtherFrames + a.global().Totals().OtherGroupFrames, 0u);
  const FrameEntry& routed = a.Feed(tr(0x40, kOwnMac, MacN(2), {0x04, 0x30, 0x01, 0x10}), 11);
  EXPECT_STREQ(routed.SrcLabel.bytes, "020000000002") << "route-information bit cleared";
  EXPECT_STREQ(routed.ProtoLabel.bytes, "NetBEUI") << "LLC after the route field";
  EXPECT_EQ(a.Feed(tr(0x40, {0xC0, 0, 0, 0, 0, 0x80}, MacN(2), {}), 12).Direction, kDirOtherGroup);
  platform::CapturedOutput out;
  SetAccountingOutput(&out);
  a.Feed(tr(0x80, kOwnMac, MacN(2), {}), 13);
  SetAccountingOutput(nullptr);
  EXPECT_EQ(out.Text(), "WARNING: Unexpected Frame Type x80\n");
}

TEST_F(AccountingTest, DnsAnswersAndShortFrames) {
  Adapter a;
  Frame f;  // question host.example.com A; the answer's name points at it
  f.Eth(kOwnMac, MacN(1), 0x0800).Ip(IpN(1), IpN(10), 17, 58).Udp(53, 1025, 58).U16(1).U16(0x8180).U16(1).U16(1).U32(0);
  f.Bytes({4, 'h', 'o', 's', 't', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}).U16(1).U16(1);
  f.U16(0xC00C).U16(1).U16(1).U32(60).U16(4).Bytes({10, 1, 0, 77});
  a.Feed(f.Done(), 10);
  a.Feed(Tcp(kOwnMac, MacN(5), IpN(77), IpN(10), 1, 3, 0x10), 11);
  EXPECT_STREQ(a.Station("020000000005", "IP 10.1.0.77")->Name.bytes, "host.example.com");
  // A cut query is stored with the bytes that exist and zeros after them.
  Bytes q = DnsQuery(6);
  q.resize(45);
  a.Feed(q, 12, 45);
  EXPECT_EQ(a.nic().LastDnsQuery[2], q[44]);
  EXPECT_EQ(a.nic().LastDnsQuery[3], 0);
  // A wire length of 14 hides every byte after the Ethernet header.
  const FrameEntry& e = a.Feed(Tcp(kOwnMac, MacN(2), IpN(2), IpN(10), 1, 3, 0x04), 13, 14);
  EXPECT_EQ(e.Event, kEventNone);
  EXPECT_STREQ(e.ProtoLabel.bytes, "IP 0.0.0.0");
}

}  // namespace
}  // namespace netward::test
