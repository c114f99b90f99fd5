// Station table, name caches and reverse look-ups.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "accounting/name_resolver.h"
#include "frame_builder.h"

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
