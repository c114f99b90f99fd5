// Station table, labels, name caches and reverse look-ups.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "accounting/name_resolver.h"
#include "frame_builder.h"

namespace netward::test {
namespace {

TEST(Labels, Formats) {
  struct Case {
    int cls;
    std::vector<uint8_t> addr;
    const char* name;
    const char* expect;
  };
  const Case cases[] = {
      {1, {10, 0, 0, 1}, "IP", "IP 10.0.0.1"},
      {1, {255, 255, 255, 255}, "IP", "IP 255.255.255.255"},
      {1, {0, 9, 99, 100}, "IP", "IP 0.9.99.100"},
      {2, {0, 0, 0x1A, 0x2B, 0x00, 0x60, 0x08, 0xAB, 0xCD, 0xEF}, "IPX", "IPX 00001A2B:006008ABCDEF"},
      {0, {}, "Appletalk", "Appletalk"},
  };
  for (const Case& c : cases) {
    char out[29];
    std::vector<uint8_t> a = c.addr;
    a.resize(10);
    MakeProtocolLabel(c.cls, a.data(), c.name, out);
    EXPECT_STREQ(out, c.expect);
  }
  char mac[16];
  const uint8_t m[6] = {0x00, 0x60, 0x08, 0xAB, 0xCD, 0xEF};
  MakeMacLabel(m, false, mac);
  EXPECT_STREQ(mac, "006008ABCDEF");
  MakeMacLabel(m, true, mac);
  EXPECT_STREQ(mac, "*006008ABCDEF");
}

// The first record of Stations[0..StationCount) with both labels, as the plain scan finds it.
const StationRecord* LinearScan(const NicArea& nic) {
  for (int i = 0; i < nic.StationCount; ++i)
    if (strcmp(nic.Stations[i].AddressLabel.bytes, nic.SrcLabel.bytes) == 0 &&
        strcmp(nic.Stations[i].ProtocolLabel.bytes, nic.ProtoLabel.bytes) == 0)
      return &nic.Stations[i];
  return nullptr;
}

TEST_F(AccountingTest, IndexFindsWhatTheLinearScanFinds) {
  Adapter a;
  NicArea& nic = a.nic();
  std::mt19937 rng(7);
  int resets = 0;
  for (int i = 0; i < 20000; ++i) {
    if (i % 5000 == 2499) {  // day roll-over
      RelaxedStore(nic.StationCount, 0);
      ++resets;
    }
    nic.IsGroupFrame = rng() % 4 == 0;
    nic.FromSelf = rng() % 8 == 0;
    const int cls = int(rng() % 3);
    uint8_t mac[6] = {0x02, 0, 0, 0, 0, uint8_t(rng() % 40)};
    uint8_t addr[10] = {10, 0, uint8_t(rng() % 3), uint8_t(rng() % 20), 0, 0, 0, 0, 0, uint8_t(rng() % 5)};
    memcpy(nic.SrcAddress, mac, 6);
    const int before = nic.StationCount;
    StationRecord* got = FindOrAddStation(&nic, cls, mac, addr, cls == 1 ? "IP" : cls == 2 ? "IPX" : "NetBEUI");
    const StationRecord* want = LinearScan(nic);
    if (got != nullptr && nic.StationCount == before + 1) {
      EXPECT_EQ(got, &nic.Stations[before]) << "a new station is the last entry";
      continue;
    }
    ASSERT_EQ(got, want) << "frame " << i;
  }
  EXPECT_EQ(resets, 4);
  EXPECT_GT(nic.StationCount, 100);
}

TEST_F(AccountingTest, StationIdentity) {
  Adapter a;
  NicArea& nic = a.nic();
  strcpy(a.global().HostName.bytes, "MYHOST");
  const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
  const uint8_t ip1[4] = {10, 0, 0, 1}, ip2[4] = {10, 0, 0, 2};
  memcpy(nic.SrcAddress, mac, 6);
  StationRecord* s1 = FindOrAddStation(&nic, 1, mac, ip1, "IP");
  StationRecord* s2 = FindOrAddStation(&nic, 1, mac, ip2, "IP");
  EXPECT_NE(s1, s2) << "one MAC with two IP addresses gives two stations";
  EXPECT_STREQ(s1->AddressLabel.bytes, s2->AddressLabel.bytes);
  EXPECT_EQ(FindOrAddStation(&nic, 1, mac, ip1, "IP"), s1);
  EXPECT_EQ(s1->Nic, &nic);
  EXPECT_EQ(memcmp(s1->IpAddress, ip1, 4), 0);

  StationRecord* self = FindOrAddStation(&nic, 1, kOwnMac.data(), ip2, "IP");
  EXPECT_EQ(self->IsSelf, 1u);
  EXPECT_STREQ(self->Name.bytes, "MYHOST");
  EXPECT_STREQ(self->Role.bytes, "Self");
  EXPECT_STREQ(nic.SrcLabel.bytes, "*00600800000A");

  // Group frames of other stations never add one, but find existing ones.
  nic.IsGroupFrame = 1;
  const uint8_t other[6] = {0x02, 0, 0, 0, 0, 9};
  EXPECT_EQ(FindOrAddStation(&nic, 1, other, ip1, "IP"), nullptr);
  EXPECT_EQ(FindOrAddStation(&nic, 1, mac, ip1, "IP"), s1);
  nic.FromSelf = 1;
  EXPECT_NE(FindOrAddStation(&nic, 1, other, ip1, "IP"), nullptr);
}

TEST_F(AccountingTest, RoleLabelsFromTcpipConfig) {
  Adapter a;
  NicArea& nic = a.nic();
  auto ip = [](uint8_t d) {
    uint32_t v;
    const uint8_t b[4] = {10, 0, 0, d};
    memcpy(&v, b, 4);
    return v;
  };
  nic.TcpipConfig[kAddresses][0] = ip(10);
  nic.TcpipConfig[kGateways][0] = ip(1);
  nic.TcpipConfig[kDnsServers][0] = ip(2);
  nic.TcpipConfig[kDnsServers][1] = ip(1);
  nic.TcpipConfig[kWinsServers][0] = ip(3);
  nic.TcpipConfig[kWinsServers][2] = ip(4);  // after the terminating zero
  nic.TcpipConfig[kSubnetMasks][0] = ip(5);
  const struct {
    uint8_t d;
    const char* role;
  } cases[] = {{10, "Self"}, {1, "GW"}, {2, "DNS"}, {3, "WINS"}, {4, ""}, {5, ""}, {6, ""}};
  for (const auto& c : cases) {
    const uint8_t addr[4] = {10, 0, 0, c.d};
    EXPECT_STREQ(AddressRoleLabelPlaceholder(nic, addr), c.role) << int(c.d);
  }
  const uint8_t zero[4] = {};
  EXPECT_STREQ(AddressRoleLabelPlaceholder(nic, zero), "");
  // New IP stations take the role of their address.
  memcpy(nic.SrcAddress, MacN(1).data(), 6);
  const uint8_t gw[4] = {10, 0, 0, 1};
  EXPECT_STREQ(FindOrAddStation(&nic, 1, MacN(1).data(), gw, "IP")->Role.bytes, "GW");
}

TEST_F(AccountingTest, NameCacheUpdatesAndEvictsTheOldest) {
  Adapter a;
  NicArea& nic = a.nic();
  char name[33];
  nic.FrameTime = 100;
  RememberNetbiosName(&nic, "A1", "NetBEUI", "FIRST");
  nic.FrameTime = 101;
  RememberNetbiosName(&nic, "A1", "NetBEUI", "RENAMED");
  LookupNetbiosName(&nic, "A1", "NetBEUI", name, sizeof name);
  EXPECT_STREQ(name, "RENAMED");
  EXPECT_EQ(nic.NameCache[0].Time, 101u);
  EXPECT_EQ(nic.NameCache[1].Time, 0u);
  // Fill the cache; entries 1..199 all get time 50, older than entry 0.
  nic.FrameTime = 50;
  for (int i = 1; i < kNameCacheEntries; ++i) RememberNetbiosName(&nic, ("B" + std::to_string(i)).c_str(), "IP 1.1.1.1", "N");
  nic.FrameTime = 200;
  RememberNetbiosName(&nic, "C", "IP 1.1.1.1", "0123456789012345678901234567890123456789");
  EXPECT_STREQ(nic.NameCache[1].AddressLabel.bytes, "C") << "first of the oldest equals is reused";
  LookupNetbiosName(&nic, "C", "IP 1.1.1.1", name, sizeof name);
  EXPECT_STREQ(name, "01234567890123456789012345678901") << "cut to 32 characters";
  LookupNetbiosName(&nic, "B1", "IP 1.1.1.1", name, sizeof name);
  EXPECT_STREQ(name, "");
  char small[4];
  LookupNetbiosName(&nic, "A1", "NetBEUI", small, sizeof small);
  EXPECT_STREQ(small, "REN");
}

TEST_F(AccountingTest, DnsNameLookupStopsAtTheFirstEmptyEntry) {
  Adapter a;
  NicArea& nic = a.nic();
  const uint8_t ip1[4] = {1, 2, 3, 4}, ip2[4] = {5, 6, 7, 8};
  memcpy(nic.DnsNames[0].Ip, ip1, 4);
  nic.DnsNames[0].Name.Set("one");
  memcpy(nic.DnsNames[2].Ip, ip2, 4);
  nic.DnsNames[2].Name.Set("two");
  char name[33];
  LookupDnsName(&nic, ip1, name, sizeof name);
  EXPECT_STREQ(name, "one");
  LookupDnsName(&nic, ip2, name, sizeof name);
  EXPECT_STREQ(name, "");
}

// Answers from a table; can hold every look-up until released.
class FakeResolver : public NameResolver {
 public:
  bool ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) override {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return open_; });
    ++calls_;
    if (ip[3] == 13) return false;
    snprintf(out, size, "host-%d.a-very-long-domain-name.example", ip[3]);
    return true;
  }
  void Hold() { std::lock_guard l(mu_); open_ = false; }
  void Release() {
    { std::lock_guard l(mu_); open_ = true; }
    cv_.notify_all();
  }
  int calls() { std::lock_guard l(mu_); return calls_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = true;
  int calls_ = 0;
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST_F(AccountingTest, ReverseLookupsRunOnThePool) {
  FakeResolver resolver;
  ResolverPool pool(resolver);
  InstallResolverPool(&pool);
  Adapter a;
  NicArea& nic = a.nic();
  const uint8_t ip[4] = {10, 0, 0, 7}, unknown[4] = {10, 0, 0, 13};
  memcpy(nic.SrcAddress, MacN(1).data(), 6);

  FindOrAddStation(&nic, 1, MacN(1).data(), ip, "IP");
  EXPECT_EQ(pool.Submitted(), 0u) << "AutoIpName 0: no look-up";
  a.global().AutoIpName = 1;
  a.global().FrameSequence = 77;
  const uint8_t ip8[4] = {10, 0, 0, 8};
  StationRecord* s = FindOrAddStation(&nic, 1, MacN(1).data(), ip8, "IP");
  StationRecord* t = FindOrAddStation(&nic, 1, MacN(1).data(), unknown, "IP");
  FindOrAddStation(&nic, 0, MacN(1).data(), MacN(1).data(), "NetBEUI");  // not IP: no look-up
  ASSERT_TRUE(WaitFor([&] { return pool.Completed() == 2; }));
  EXPECT_STREQ(s->Name.bytes, "host-8.a-very-long-domain-name.e") << "32 characters";
  EXPECT_EQ(RelaxedLoad(s->LastSequence), 77u);
  EXPECT_STREQ(t->Name.bytes, "");
  EXPECT_EQ(nic.ResolverThreadId, 2u);

  // A full queue drops look-ups and counts them; the capture side never waits.
  resolver.Hold();
  int made = 0;
  for (int i = 0; i < 100; ++i) {
    const uint8_t addr[4] = {10, 9, 0, uint8_t(i)};
    if (FindOrAddStation(&nic, 1, MacN(2).data(), addr, "IP")) ++made;
  }
  EXPECT_EQ(made, 100);
  EXPECT_GE(pool.Dropped(), 100u - ResolverPool::kQueueSlots - ResolverPool::kDefaultThreads);
  EXPECT_EQ(pool.Submitted() + pool.Dropped(), 102u);
  resolver.Release();
  ASSERT_TRUE(WaitFor([&] { return pool.Completed() == pool.Submitted(); }));
  InstallResolverPool(nullptr);
}

}  // namespace
}  // namespace netward::test
