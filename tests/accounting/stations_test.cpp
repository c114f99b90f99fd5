// Station table, name caches and reverse look-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "accounting/name_resolver.h"
#include "adapter_fixture.h"

namespace netward::test {
namespace {

TEST_F(AccountingTest, IndexFindsWhatTheLinearScanFinds) {
  Adapter a;
  NicArea& nic = a.nic();
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    if (i % 5000 == 2499) RelaxedStore(nic.StationCount, 0);  // day roll-over
    nic.IsGroupFrame = rng() % 4 == 0;
    nic.FromSelf = rng() % 8 == 0;
    const int cls = int(rng() % 3);
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, uint8_t(rng() % 40)};
    const uint8_t addr[10] = {10, 0, uint8_t(rng() % 3), uint8_t(rng() % 20), 0, 0, 0, 0, 0, uint8_t(rng() % 5)};
    memcpy(nic.SrcAddress, mac, 6);
    const int before = nic.StationCount;
    StationRecord* got = FindOrAddStation(&nic, cls, mac, addr, cls == 1 ? "IP" : cls == 2 ? "IPX" : "NetBEUI");
    if (got != nullptr && nic.StationCount == before + 1) {
      ASSERT_EQ(got, &nic.Stations[before]) << "a new station is the last entry";
      continue;
    }
    const StationRecord* want = nullptr;  // the first record with both labels
    for (int s = 0; s < nic.StationCount && !want; ++s)
      if (!strcmp(nic.Stations[s].AddressLabel.bytes, nic.SrcLabel.bytes) &&
          !strcmp(nic.Stations[s].ProtocolLabel.bytes, nic.ProtoLabel.bytes))
        want = &nic.Stations[s];
    ASSERT_EQ(got, want) << "frame " << i;
  }
  EXPECT_GT(nic.StationCount, 100);
}

// The key cache in front of the label index: WAN adapters, whose modem labels hide the MAC (many
// keys, one station), more keys than one cache epoch holds, and records the cache never saw made.
TEST_F(AccountingTest, KeyCacheFindsWhatTheLinearScanFinds) {
  struct Setup {
    const char* what;
    bool wan;
    bool own_zero;
  } setups[] = {{"802.3", false, false}, {"WAN, own address known", true, false}, {"WAN, own address zero", true, true}};
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.what);
    Adapter a(kOwnMac, 0, setup.wan);
    NicArea& nic = a.nic();
    if (setup.wan && !setup.own_zero) memcpy(nic.OwnAddress, MacN(3).data(), 6);
    std::mt19937 rng(11);
    int added = 0;
    for (int i = 0; i < 30000; ++i) {
      if (i % 9000 == 8999) RelaxedStore(nic.StationCount, 0);  // day roll-over
      Mac src = MacN(uint8_t(rng() % 6));
      if (rng() % 5 == 0) src = {0x20, 0x53, 0x45, 0x4E, 0x44, 0x01};  // the WAN send pseudo-address
      memcpy(nic.SrcAddress, src.data(), 6);
      nic.IsGroupFrame = rng() % 3 == 0;
      nic.FromSelf = rng() % 8 == 0;
      const int cls = int(rng() % 3);
      // Many keys: more than the 2048 one epoch of the key cache keeps before it starts afresh.
      const Mac mac = rng() % 2 ? src : Mac{0x02, 0, uint8_t(rng() % 16), 0, 0, uint8_t(rng() % 200)};
      const uint8_t addr[10] = {10, 0, uint8_t(rng() % 4), uint8_t(rng() % 50), 0, 0, 0, 0, 0, uint8_t(rng() % 3)};
      const char* name = cls == 1 ? "IP" : cls == 2 ? "IPX" : "SNA";
      // The labels the spec gives, made here without the search.
      char want_addr[16], want_proto[29];
      const bool own = memcmp(mac.data(), nic.OwnAddress, 6) == 0;
      const bool send = setup.wan && memcmp(src.data(), kWanSendAddress, 6) == 0;
      MakeMacLabel(mac.data(), own, want_addr);
      if (setup.wan) snprintf(want_addr, sizeof want_addr, "%s", own || send ? kLocalModemLabel : kRemoteModemLabel);
      MakeProtocolLabel(cls, addr, name, want_proto);

      const int before = nic.StationCount;
      StationRecord* got = FindOrAddStation(&nic, cls, mac.data(), addr, name);
      ASSERT_STREQ(nic.SrcLabel.bytes, want_addr) << "frame " << i;
      ASSERT_STREQ(nic.ProtoLabel.bytes, want_proto) << "frame " << i;
      if (got != nullptr && nic.StationCount == before + 1) {
        ASSERT_EQ(got, &nic.Stations[before]) << "a new station is the last entry";
        ++added;
      }
      const StationRecord* want = nullptr;  // the first record with both labels
      for (int k = 0; k < nic.StationCount && !want; ++k)
        if (!strcmp(nic.Stations[k].AddressLabel.bytes, want_addr) &&
            !strcmp(nic.Stations[k].ProtocolLabel.bytes, want_proto))
          want = &nic.Stations[k];
      ASSERT_EQ(got, want) << "frame " << i;
    }
    EXPECT_GT(added, 1000) << "the table filled and started over";
  }
}

TEST_F(AccountingTest, RecordsTheSearchDidNotMakeAndTheRollOver) {
  Adapter a;
  NicArea& nic = a.nic();
  const uint8_t ip2[4] = {10, 1, 0, 2}, ip3[4] = {10, 1, 0, 3}, ip4[4] = {10, 1, 0, 4};
  memcpy(nic.SrcAddress, MacN(2).data(), 6);
  nic.FrameTime = 100;
  StationRecord* first = FindOrAddStation(&nic, 1, MacN(2).data(), ip2, "IP");
  ASSERT_EQ(first, &nic.Stations[0]);
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(2).data(), ip2, "IP"), first) << "now from the key cache";

  // A record that another writer put into the table is found, not made twice.
  nic.Stations[1].AddressLabel.Set("020000000003");
  nic.Stations[1].ProtocolLabel.Set("IP 10.1.0.3");
  RelaxedStore(nic.StationCount, 2);
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(3).data(), ip3, "IP"), &nic.Stations[1]);
  EXPECT_EQ(nic.StationCount, 2);

  // A group frame of another station finds no record; once one exists, it is found.
  nic.IsGroupFrame = 1;
  memcpy(nic.SrcAddress, MacN(4).data(), 6);
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(4).data(), ip4, "IP"), nullptr);
  EXPECT_STREQ(nic.SrcLabel.bytes, "020000000004") << "labels are made all the same";
  nic.IsGroupFrame = 0;
  StationRecord* added = FindOrAddStation(&nic, 1, MacN(4).data(), ip4, "IP");
  ASSERT_EQ(added, &nic.Stations[2]);
  nic.IsGroupFrame = 1;
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(4).data(), ip4, "IP"), added);

  // After the roll-over a cached key finds nothing of the old day: the station is made anew.
  nic.IsGroupFrame = 0;
  RelaxedStore(nic.StationCount, 0);
  nic.FrameTime = 200;
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(4).data(), ip4, "IP"), &nic.Stations[0]);
  EXPECT_EQ(nic.StationCount, 1);
  EXPECT_EQ(nic.Stations[0].FirstSeen, 200u);
  EXPECT_STREQ(nic.Stations[0].ProtocolLabel.bytes, "IP 10.1.0.4");

  // A protocol name accounting never uses is searched by its labels alone.
  StationRecord* other = FindOrAddStation(&nic, 0, MacN(4).data(), ip4, "DECnet");
  ASSERT_EQ(other, &nic.Stations[1]);
  EXPECT_STREQ(other->ProtocolLabel.bytes, "DECnet");
  EXPECT_EQ(FindOrAddStation(&nic, 0, MacN(4).data(), ip4, "DECnet"), other);
}

TEST_F(AccountingTest, StationIdentityAndRoles) {
  Adapter a;
  NicArea& nic = a.nic();
  a.global().HostName.Set("MYHOST");
  const uint8_t ip1[4] = {192, 168, 1, 2}, ip2[4] = {192, 168, 1, 3};
  memcpy(&nic.TcpipConfig[kGateways][0], ip2, 4);
  memcpy(&nic.TcpipConfig[kDnsServers][0], ip1, 4);
  memcpy(&nic.TcpipConfig[kDnsServers][1], ip2, 4);  // GW is found first
  memcpy(nic.SrcAddress, MacN(1).data(), 6);
  StationRecord* s1 = FindOrAddStation(&nic, 1, MacN(1).data(), ip1, "IP");
  StationRecord* s2 = FindOrAddStation(&nic, 1, MacN(1).data(), ip2, "IP");
  ASSERT_NE(s1, s2) << "one MAC with two IP addresses gives two stations";
  EXPECT_STREQ(s1->ProtocolLabel.bytes, "IP 192.168.1.2");
  EXPECT_STREQ(s1->Role.bytes, "DNS");
  EXPECT_STREQ(s2->Role.bytes, "GW");
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(1).data(), ip1, "IP"), s1);

  StationRecord* self = FindOrAddStation(&nic, 1, kOwnMac.data(), ip2, "IP");
  EXPECT_EQ(self->IsSelf, 1u);
  EXPECT_STREQ(self->Name.bytes, "MYHOST");
  EXPECT_STREQ(self->Role.bytes, "Self");
  EXPECT_STREQ(nic.SrcLabel.bytes, "*00600800000A");
  // Group frames of other stations find stations but never add one.
  nic.IsGroupFrame = 1;
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(9).data(), ip1, "IP"), nullptr);
  EXPECT_EQ(FindOrAddStation(&nic, 1, MacN(1).data(), ip1, "IP"), s1);
  const uint8_t zero[4] = {};
  EXPECT_STREQ(AddressRoleLabel(nic, zero), "") << "address 0 never matches";
}

TEST_F(AccountingTest, NameCacheUpdatesAndEvictsTheOldest) {
  Adapter a;
  NicArea& nic = a.nic();
  char name[33];
  nic.FrameTime = 100;
  RememberNetbiosName(&nic, "A1", "NetBEUI", "FIRST");
  nic.FrameTime = 101;
  RememberNetbiosName(&nic, "A1", "NetBEUI", "RENAMED");
  EXPECT_EQ(nic.NameCache[1].Time, 0u) << "same labels update in place";
  nic.FrameTime = 50;  // entries 1..199 become the oldest
  for (int i = 1; i < kNameCacheEntries; ++i) RememberNetbiosName(&nic, ("B" + std::to_string(i)).c_str(), "IP", "N");
  nic.FrameTime = 200;
  RememberNetbiosName(&nic, "C", "IP", "0123456789012345678901234567890123456789");
  EXPECT_STREQ(nic.NameCache[1].AddressLabel.bytes, "C") << "the first of the oldest is reused";
  LookupNetbiosName(&nic, "C", "IP", name, sizeof name);
  EXPECT_STREQ(name, "01234567890123456789012345678901") << "cut to 32 characters";
  char small[4];
  LookupNetbiosName(&nic, "A1", "NetBEUI", small, sizeof small);
  EXPECT_STREQ(small, "REN");
}

// Many names over many evictions, against a plain model of the cache: any name the capture
// thread's indexed search misses would come back as a second entry with the same labels.
TEST_F(AccountingTest, NameCacheMatchesAPlainScanOverManyEvictions) {
  Adapter a;
  NicArea& nic = a.nic();
  struct Entry {
    std::string addr, proto, name;
    uint32_t time;
  };
  std::vector<Entry> model;
  std::mt19937 rng(11);
  uint32_t now = 1;
  for (int step = 0; step < 6000; ++step) {
    if (rng() % 3 == 0) ++now;  // several names share a time, so ties are broken as well
    const int key = static_cast<int>(rng() % 450);
    const Entry want{"K" + std::to_string(key), key % 2 ? "IP" : "NetBEUI", "N" + std::to_string(step), now};
    nic.FrameTime = now;
    RememberNetbiosName(&nic, want.addr.c_str(), want.proto.c_str(), want.name.c_str());
    auto same = [&](const Entry& e) { return e.addr == want.addr && e.proto == want.proto; };
    if (auto it = std::find_if(model.begin(), model.end(), same); it != model.end()) {
      *it = want;
    } else if (model.size() < static_cast<size_t>(kNameCacheEntries)) {
      model.push_back(want);
    } else {
      *std::min_element(model.begin(), model.end(), [](const Entry& x, const Entry& y) { return x.time < y.time; }) = want;
    }
  }
  ASSERT_EQ(model.size(), static_cast<size_t>(kNameCacheEntries));
  for (int i = 0; i < kNameCacheEntries; ++i) {
    const NameCacheEntry& e = nic.NameCache[i];
    EXPECT_EQ(e.AddressLabel.bytes, model[i].addr) << i;
    EXPECT_EQ(e.ProtocolLabel.bytes, model[i].proto) << i;
    EXPECT_EQ(e.Name.bytes, model[i].name) << i;
    EXPECT_EQ(e.Time, model[i].time) << i;
  }
}

// Answers "host-N..." for 10.x.x.N; can hold every look-up until released.
class FakeResolver : public NameResolver {
 public:
  bool ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) override {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return open_; });
    if (ip[3] == 13) return false;
    snprintf(out, size, "host-%d.a-very-long-domain-name.example", ip[3]);
    return true;
  }
  void Hold(bool hold) {
    { std::lock_guard l(mu_); open_ = !hold; }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = true;
};

TEST_F(AccountingTest, ReverseLookupsRunOnThePool) {
  FakeResolver resolver;
  ResolverPool pool(resolver);
  InstallResolverPool(&pool);
  Adapter a;
  NicArea& nic = a.nic();
  auto add = [&](uint8_t net, uint8_t host) {
    const uint8_t ip[4] = {10, net, 0, host};
    return FindOrAddStation(&nic, 1, MacN(1).data(), ip, "IP");
  };
  auto wait_idle = [&] {
    for (int i = 0; i < 5000 && pool.Completed() != pool.Submitted(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pool.Completed() == pool.Submitted();
  };
  memcpy(nic.SrcAddress, MacN(1).data(), 6);
  add(0, 7);
  EXPECT_EQ(pool.Submitted(), 0u) << "AutoIpName 0: no look-up";
  a.global().AutoIpName = 1;
  a.global().FrameSequence = 77;
  StationRecord* s = add(0, 8);
  StationRecord* t = add(0, 13);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(pool.Completed(), 2u);
  EXPECT_STREQ(s->Name.bytes, "host-8.a-very-long-domain-name.e") << "32 characters";
  EXPECT_EQ(RelaxedLoad(s->LastSequence), 77u);
  EXPECT_STREQ(t->Name.bytes, "");
  EXPECT_EQ(nic.ResolverThreadId, 2u);

  // A full queue drops look-ups and counts them; the capture side never waits.
  resolver.Hold(true);
  for (int i = 0; i < 100; ++i) EXPECT_NE(add(9, uint8_t(i)), nullptr);
  EXPECT_GE(pool.Dropped(), 100u - ResolverPool::kQueueSlots - ResolverPool::kDefaultThreads);
  EXPECT_EQ(pool.Submitted() + pool.Dropped(), 102u);
  resolver.Hold(false);
  ASSERT_TRUE(wait_idle());
  InstallResolverPool(nullptr);
}

}  // namespace
}  // namespace netward::test
