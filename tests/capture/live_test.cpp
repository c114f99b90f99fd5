// Live capture on a veth pair whose far end sits in a network namespace made by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "capture/linux_driver.h"
#include "capture/live_adapter.h"
#include "capture_test_util.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

using namespace netward;
using namespace netward::platform;

namespace {

constexpr uint16_t kTestType = 0x88B5;  // local experimental EtherType: nothing else sends it

// Accounting that holds the capture thread while a Hold lives, as a slow consumer would. Declared
// after the CaptureRun, a Hold lets the thread go before the run stops it, also when a test fails.
std::atomic<bool> g_hold{false};
void HoldWhileAsked(NicArea*, const uint8_t*) {
  while (g_hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
struct Hold {
  Hold() { g_hold = true; }
  ~Hold() { Release(); }
  void Release() { g_hold = false; }
};

class LiveCapture : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root (network namespaces, packet sockets)";
    const std::string id = std::to_string(getpid());
    ns_ = "nwcap-test-" + id;
    here_ = "nwc" + id + "a";
    there_ = "nwc" + id + "b";
    const std::string cmds[] = {
        "ip netns add " + ns_,
        "ip link add " + here_ + " type veth peer name " + there_ + " netns " + ns_,
        // No IPv6: its router and neighbour traffic would be the only frames besides ours anyway.
        "sysctl -qw net.ipv6.conf." + here_ + ".disable_ipv6=1",
        "ip link set " + here_ + " up",
        "ip netns exec " + ns_ + " sysctl -qw net.ipv6.conf." + there_ + ".disable_ipv6=1",
        "ip netns exec " + ns_ + " ip link set " + there_ + " up",
    };
    for (const std::string& c : cmds) {
      if (system((c + " >/dev/null 2>&1").c_str()) != 0) {
        made_ = true;
        GTEST_SKIP() << "cannot set up the namespace (" << c << ")";
      }
      made_ = true;
    }
    std::ifstream mac("/sys/class/net/" + here_ + "/address");
    mac >> mac_;
  }
  void TearDown() override {
    if (!made_) return;
    Shell("ip link del " + here_ + " 2>&1");
    Shell("ip netns del " + ns_ + " 2>&1");
  }
  int Promiscuity() {
    std::string out = Shell("ip -d link show " + here_ + " 2>&1");
    size_t at = out.find("promiscuity ");
    return at == std::string::npos ? -1 : atoi(out.c_str() + at + 12);
  }
  // Sends frames of the test type from the far end: (destination MAC, total length, marker byte).
  // `repeat` times over.
  void Send(const std::vector<std::tuple<std::string, int, int>>& frames, int repeat = 1) {
    std::string list;
    for (auto& [dst, len, marker] : frames)
      list += "('" + dst + "'," + std::to_string(len) + "," + std::to_string(marker) + "),";
    std::string py =
        "import socket\n"
        "s=socket.socket(socket.AF_PACKET,socket.SOCK_RAW)\n"
        "s.bind(('" + there_ + "',0))\n"
        "src=s.getsockname()[4]\n"
        "for d,n,m in [" + list + "]*" + std::to_string(repeat) + ":\n"
        "  f=bytes.fromhex(d.replace(':',''))+src+bytes([0x88,0xb5])\n"
        "  s.send(f+bytes([m])*(n-len(f)))\n";
    std::string cmd = "ip netns exec " + ns_ + " /usr/bin/python3 -c \"" + py + "\"";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  }
  // Markers of the test frames recorded so far, in ring order, with their lengths.
  // The entries are read as the product's readers do, while the capture thread runs.
  std::vector<std::pair<int, uint32_t>> Recorded(NicArea* nic, uint8_t* last_byte_of_600 = nullptr) {
    std::vector<std::pair<int, uint32_t>> out;
    uint32_t n = RelaxedLoad(nic->FramesRead);
    for (uint32_t k = 0; k < n && k < kRecentFrames; ++k) {
      const FrameEntry& e = nic->RecentFrames[k];
      if (e.Complete.load(std::memory_order_acquire) != 1) continue;
      uint8_t data[kFrameDataBytes];
      SharedCopyOut(data, e.Data, sizeof data);
      const uint32_t length = RelaxedLoad(e.Length);
      if ((data[12] << 8 | data[13]) != kTestType) continue;
      out.emplace_back(data[14], length);
      if (length == 600 && last_byte_of_600) *last_byte_of_600 = data[255];
    }
    return out;
  }
  // A live driver for `run` (kept by the fixture, so it outlives the capture thread), started on here_.
  void StartAndAwaitFilter(CaptureRun& run, bool prom, AccountEntry account = AccountFramePlaceholder) {
    driver_ = std::make_unique<LinuxPacketDriver>(hive_, clock_, run.out(), std::vector<std::string>{});
    device_ = Widen(std::string(kDevicePrefix) + here_);
    run.Start(*driver_, prom, device_.c_str(), account);
    ASSERT_TRUE(WaitUntil([&] {
      PacketDriverHandle* h = run.nic()->Driver.load();
      uint32_t f = 0;
      return run.Ended() || (h && h->QueryOid(kOidGenCurrentPacketFilter, &f, 4) && f != 0);
    }));
    ASSERT_FALSE(run.Ended()) << run.out().Text();
  }

  uint64_t RxPackets() {
    std::ifstream f("/sys/class/net/" + here_ + "/statistics/rx_packets");
    uint64_t n = 0;
    f >> n;
    return n;
  }

  std::string ns_, here_, there_, mac_;
  std::u16string device_;
  bool made_ = false;
  HiveFile hive_;
  RealClock clock_;
  std::unique_ptr<LinuxPacketDriver> driver_;
};

TEST_F(LiveCapture, FramesArriveInOrderAndOtherUnicastOnlyWhenPromiscuous) {
  const std::string other = "02:00:00:00:00:99";
  for (bool prom : {false, true}) {
    SCOPED_TRACE(prom ? "promiscuous" : "normal");
    CaptureRun run;
    StartAndAwaitFilter(run, prom);
    EXPECT_EQ(Promiscuity(), prom ? 1 : 0);
    Send({{mac_, 60, 1}, {"ff:ff:ff:ff:ff:ff", 100, 2}, {other, 80, 3}, {mac_, 600, 4}, {"01:00:5e:00:00:01", 70, 5}});
    const size_t expected = prom ? 5 : 4;
    ASSERT_TRUE(WaitUntil([&] { return Recorded(run.nic()).size() >= expected; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::pair<int, uint32_t>> want = {{1, 60}, {2, 100}, {4, 600}, {5, 70}};
    if (prom) want.insert(want.begin() + 2, {3, 80});
    uint8_t last_byte = 0;
    EXPECT_EQ(Recorded(run.nic(), &last_byte), want);
    EXPECT_EQ(last_byte, 4);  // the long frame: its first 256 bytes, all markers past the header
    run.Stop();
    EXPECT_EQ(Promiscuity(), 0);  // membership gone with the socket
  }
}

// Frames wait in the kernel's ring while the thread is held across a second boundary: each keeps the
// second the kernel received it in, not the later one in which it was read.
TEST_F(LiveCapture, FramesKeepTheKernelsArrivalTime) {
  CaptureRun run;
  Hold hold;
  StartAndAwaitFilter(run, true, HoldWhileAsked);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  Send({{mac_, 60, 1}, {mac_, 60, 2}, {mac_, 60, 3}});
  const uint32_t after = static_cast<uint32_t>(time(nullptr));
  while (static_cast<uint32_t>(time(nullptr)) <= after + 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  hold.Release();
  ASSERT_TRUE(WaitUntil([&] { return Recorded(run.nic()).size() == 3; }, 3000));
  run.Stop();
  int seen = 0;
  for (const FrameEntry& e : run.nic()->RecentFrames) {
    if (e.Length != 60 || (e.Data[12] << 8 | e.Data[13]) != kTestType) continue;
    ++seen;
    EXPECT_GE(e.Time, before);
    EXPECT_LE(e.Time, after);
  }
  EXPECT_EQ(seen, 3);
}

// A burst larger than the kernel ring while the thread is held: what the ring could not take is
// counted as receive-no-buffer and reported on the console, every frame is either read or counted,
// and capture goes on. The default ring takes the same burst whole.
TEST_F(LiveCapture, KernelDropsAreCountedAndReportedAndCaptureGoesOn) {
  constexpr int kBurst = 6000;  // full-size frames: about twice what the smallest ring holds
  for (uint32_t ring_kib : {0u, 1u}) {  // 0: no hive value (the default ring); 1: the smallest ring
    SCOPED_TRACE(ring_kib);
    const std::string key = std::string(kAdapterParametersKey) + "\\" + here_;
    if (ring_kib) hive_.SetDword(key, kRingSizeValue, ring_kib);
    CaptureRun run;
    Hold hold;
    StartAndAwaitFilter(run, true, HoldWhileAsked);
    PacketDriverHandle* h = run.nic()->Driver.load();
    uint32_t no_buffer0 = 0;
    ASSERT_TRUE(h->QueryOid(kOidGenRcvNoBuffer, &no_buffer0, 4));
    const uint64_t rx0 = RxPackets();
    Send({{"ff:ff:ff:ff:ff:ff", 1514, 7}}, kBurst);
    ASSERT_TRUE(WaitUntil([&] { return RxPackets() - rx0 >= kBurst; }));
    hold.Release();
    uint32_t no_buffer = 0;
    auto read_and_dropped = [&] {
      h->QueryOid(kOidGenRcvNoBuffer, &no_buffer, 4);
      return run.FramesRead() + (no_buffer - no_buffer0);
    };
    ASSERT_TRUE(WaitUntil([&] { return read_and_dropped() >= kBurst; }, 4000))
        << run.FramesRead() << " read, " << no_buffer - no_buffer0 << " dropped";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(read_and_dropped(), uint64_t{kBurst} + 2);  // nothing counted twice (and little else on the link)
    const uint32_t dropped = no_buffer - no_buffer0;
    const std::string text = run.out().Text();
    if (ring_kib == 0) {
      EXPECT_EQ(dropped, 0u);
      EXPECT_EQ(text.find("frames dropped"), std::string::npos) << text;
    } else {
      EXPECT_GT(dropped, uint32_t{kBurst} / 4);
      EXPECT_NE(text.find("Adapter '" + here_ + "': RingSizeKB 1 is outside 1024..1048576, taking the nearest\n"),
                std::string::npos)
          << text;
      const std::string line = "Adapter '" + here_ + "': capture ring full, " + std::to_string(dropped) +
                               " frames dropped (" + std::to_string(dropped) + " in all)\n";
      EXPECT_NE(text.find(line), std::string::npos) << text;
    }
    Send({{mac_, 60, 8}, {mac_, 61, 9}});
    ASSERT_TRUE(WaitUntil([&] {
      auto seen = Recorded(run.nic());
      auto has = [&](int marker, uint32_t length) {
        return std::find(seen.begin(), seen.end(), std::pair<int, uint32_t>{marker, length}) != seen.end();
      };
      return has(8, 60) && has(9, 61);
    }, 3000));
    run.Stop();
  }
}

// The kernel keeps only the first 256 bytes of a frame in the ring: the smallest ring (four blocks of
// 256 KiB) holds some 2000 full-size frames while the thread is held, not the 650 whole ones.
TEST_F(LiveCapture, TheRingHoldsOnlyTheBytesAReadTakes) {
  hive_.SetDword(std::string(kAdapterParametersKey) + "\\" + here_, kRingSizeValue, kMinRingKiB);
  CaptureRun run;
  Hold hold;
  StartAndAwaitFilter(run, true, HoldWhileAsked);
  const uint64_t rx0 = RxPackets();
  Send({{mac_, 1514, 3}}, 6000);
  ASSERT_TRUE(WaitUntil([&] { return RxPackets() - rx0 >= 6000; }));
  hold.Release();
  ASSERT_TRUE(WaitUntil([&] { return run.FramesRead() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(run.FramesRead(), 1200u);
  EXPECT_LT(run.FramesRead(), 4000u);  // and the ring is 1 MiB indeed
  run.Stop();
}

TEST_F(LiveCapture, StopEndsABusyCaptureAtOnce) {
  CaptureRun run;
  StartAndAwaitFilter(run, true);
  Send({{"ff:ff:ff:ff:ff:ff", 60, 7}}, 3000);
  ASSERT_GT(run.FramesRead(), 0u);
  auto t0 = std::chrono::steady_clock::now();
  run.stop().Set();
  ASSERT_TRUE(run.Join(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
}

}  // namespace

// Status answers of a veth: up with its peer (veth reports 10 Gbit/s), then down (no carrier and no
// speed to read). -1: not answered.
TEST_F(LiveCapture, StatusOidsFollowTheInterface) {
  CapturedOutput out;
  std::unique_ptr<LiveHandle> h = LiveHandle::Open(here_, out);
  ASSERT_TRUE(h) << out.Text();
  auto query = [&](uint32_t oid) {
    uint32_t v = 0;
    return h->QueryOid(oid, &v, oid == kOidGenDriverVersion || oid == kOidGenVendorDriverVersion ? 2 : 4) ? v : -1LL;
  };
  const std::pair<uint32_t, int64_t> up[] = {
      {kOidGenDriverVersion, 0x0500}, {kOidGenVendorDriverVersion, -1}, {kOidGenMacOptions, kMacOptionNoLoopback},
      {kOidGenLinkSpeed, 10000 * 10000}, {kOidGenHardwareStatus, kHardwareReady},
      {kOidGenMediaConnectStatus, kMediaConnected}, {kOidGenXmitError, 0}, {kOid8023XmitLateCollisions, 0},
      {kOid8023XmitDeferred, -1}, {kOid8025LineErrors, -1}, {kOid8025CurrentRingStatus, -1}};
  for (auto [oid, want] : up) EXPECT_EQ(query(oid), want) << std::hex << oid;
  Shell("ip link set " + here_ + " down 2>&1");
  h->Close();  // answered from sysfs once closed
  EXPECT_FALSE(h->IsOpen());
  const std::pair<uint32_t, int64_t> down[] = {
      {kOidGenLinkSpeed, -1}, {kOidGenHardwareStatus, kHardwareNotReady}, {kOidGenMediaConnectStatus, kMediaDisconnected}};
  for (auto [oid, want] : down) EXPECT_EQ(query(oid), want) << std::hex << oid;
}
