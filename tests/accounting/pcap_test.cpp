// Capture files through accounting: station counts and totals against an independent count of the
// same frames, and tables read by another thread while frames are accounted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "accounting/name_resolver.h"
#include "core/records.h"
#include "frame_builder.h"
#include "pcap_frames.h"

namespace netward::test {
namespace {

namespace fs = std::filesystem;

std::string MacLabel(const uint8_t* mac, const Mac& own) {
  char out[16];
  MakeMacLabel(mac, memcmp(mac, own.data(), 6) == 0, out);
  return out;
}

struct Count {
  uint32_t frames = 0;
  double bytes = 0;
};

// Feeds every frame and checks the station and global counters against counts made here from the
// frames' own addresses. Which frames raised an event is taken from the frame entries: event frames
// are left out of the byte and frame counts by design.
void CheckAgainstIndependentCount(const std::vector<PcapFrame>& frames, const Mac& own, const char* what) {
  SCOPED_TRACE(what);
  FreeGlobalArea(g_global_area.exchange(nullptr));
  g_global_area.store(AllocateGlobalArea());
  Adapter a(own);
  std::map<std::string, Count> sent, received;
  uint32_t group = 0, group_events = 0, unicast_events = 0;
  Count unicast;
  for (const PcapFrame& f : frames) {
    // Records shorter than a header (or claiming a wire length below it) are damaged files.
    if (f.bytes.size() < 14 || f.wire_length < 14) continue;
    const FrameEntry& e = a.Feed(f.bytes, f.time, f.wire_length);
    const bool is_group = f.bytes[0] & 1;
    const bool event = e.Event != kEventNone;
    if (is_group) {
      ++group;
      group_events += event;
      continue;
    }
    if (event) {
      ++unicast_events;
      continue;
    }
    // Stations are per MAC and protocol address; sum per MAC label.
    Count& s = sent[MacLabel(&f.bytes[6], own)];
    ++s.frames;
    s.bytes += f.wire_length;
    Count& r = received[MacLabel(&f.bytes[0], own)];
    ++r.frames;
    r.bytes += f.wire_length;
    ++unicast.frames;
    unicast.bytes += f.wire_length;
  }
  NicArea& nic = a.nic();
  ASSERT_LT(nic.StationCount, kMaxStations) << "a full table would leave frames uncounted";
  std::map<std::string, Count> got_sent, got_received;
  for (int i = 0; i < nic.StationCount; ++i) {
    const StationRecord& s = nic.Stations[i];
    got_sent[s.AddressLabel.bytes].frames += s.FramesSent;
    got_sent[s.AddressLabel.bytes].bytes += s.BytesSent;
    got_received[s.AddressLabel.bytes].frames += s.FramesReceived;
    got_received[s.AddressLabel.bytes].bytes += s.BytesReceived;
  }
  for (const auto& [label, c] : sent) {
    EXPECT_EQ(got_sent[label].frames, c.frames) << label;
    EXPECT_NEAR(got_sent[label].bytes, c.bytes, c.bytes * 1e-6 + 1) << label;
  }
  for (const auto& [label, c] : received) EXPECT_EQ(got_received[label].frames, c.frames) << label;
  const TotalsSnapshot t = a.global().Totals();
  EXPECT_EQ(t.OwnFrames + t.OtherFrames, unicast.frames);
  EXPECT_NEAR(double(t.OwnBytes) + double(t.OtherBytes), unicast.bytes, unicast.bytes * 1e-5 + 1);
  EXPECT_EQ(t.OwnEventFrames + t.OtherEventFrames, unicast_events + group_events);
  EXPECT_EQ(t.OwnGroupFrames + t.OtherGroupFrames, group - group_events);
  EXPECT_EQ(nic.GroupFrameCount, group);
}

TEST_F(AccountingTest, SampleCapturesMatchAnIndependentCount) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(NETWARD_SHARED_DIR "/captures")) {
    const std::string path = entry.path().string();
    if (path.find(".pcap") == std::string::npos) continue;
    std::vector<PcapFrame> frames;
    int link = 0;
    if (!LoadPcap(path, frames, link) || link != DLT_EN10MB || frames.empty()) continue;
    CheckAgainstIndependentCount(frames, Mac{0x02, 0x99, 0x99, 0x99, 0x99, 0x99}, path.c_str());
    ++files;
  }
  EXPECT_GT(files, 100);
}

class WorkloadTest : public AccountingTest {
 protected:
  static void SetUpTestSuite() {
    path_ = new std::string(testing::TempDir() + "accounting_mix_" + std::to_string(getpid()) + ".pcap");
    ASSERT_TRUE(MakeWorkload(*path_, 30000, 40, 1));
  }
  static void TearDownTestSuite() {
    fs::remove(*path_);
    fs::remove(*path_ + ".counts");
    delete path_;
  }
  static std::string* path_;
};
std::string* WorkloadTest::path_ = nullptr;

TEST_F(WorkloadTest, MixedWorkloadMatchesAnIndependentCount) {
  std::vector<PcapFrame> frames;
  int link = 0;
  ASSERT_TRUE(LoadPcap(*path_, frames, link));
  ASSERT_EQ(frames.size(), 30000u);
  CheckAgainstIndependentCount(frames, kOwnMac, "mixed workload");
}

// Readers on other threads (reply builders, the history writer, the taskbar) copy the tables while
// the capture thread accounts frames, the main thread empties the station table at "midnight" and
// look-up threads name stations. Run under the tsan preset, this must report nothing.
TEST_F(WorkloadTest, TablesReadWhileFramesAreAccounted) {
  std::vector<PcapFrame> frames;
  int link = 0;
  ASSERT_TRUE(LoadPcap(*path_, frames, link));
  struct Resolver : NameResolver {
    bool ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) override {
      snprintf(out, size, "h%d", ip[3]);
      return true;
    }
  } resolver;
  ResolverPool pool(resolver);
  InstallResolverPool(&pool);
  Adapter a(kOwnMac);
  a.global().AutoIpName = 1;
  NicArea& nic = a.nic();
  std::atomic<bool> done{false};

  std::thread capture([&] {
    for (int pass = 0; pass < 3; ++pass)
      for (const PcapFrame& f : frames) a.Feed(f.bytes, f.time + pass * 100, f.wire_length);
    done = true;
  });
  std::thread roll_over([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      RelaxedStore(nic.StationCount, 0);
    }
  });
  uint64_t checksum = 0, complete = 0;
  while (!done) {
    const int count = RelaxedLoad(nic.StationCount);
    for (int i = 0; i < count && i < kMaxStations; ++i) {
      uint8_t rec[kStationRecordSize];
      SerializeStationRecord(nic.Stations[i], rec);
      checksum += rec[station_off::FramesSent];
    }
    for (int i = 0; i < kRecentFrames; i += 7) {
      const FrameEntry& e = nic.RecentFrames[i];
      if (e.Complete.load(std::memory_order_acquire) != 1) continue;
      uint8_t out[kFrameEntrySize];
      SerializeFrameEntry(e, StationRef(RelaxedLoad(e.Station)), out);
      complete += out[frame_off::Complete];
    }
    for (int i = 0; i < kGroupFrames; i += 97) {
      uint8_t out[kGroupFrameEntrySize];
      SerializeGroupFrameEntry(nic.GroupFrames[i], 0, out);
      checksum += out[group_off::Data];
    }
    char name[33];
    const uint8_t ip[4] = {10, 1, 0, 2};
    LookupDnsName(&nic, ip, name, sizeof name);
    LookupNetbiosName(&nic, "020000000001", "NetBEUI", name, sizeof name);
    const TotalsSnapshot t = a.global().Totals();
    checksum += t.OtherFrames + RelaxedLoad(nic.GroupFrameCount) + RelaxedLoad(nic.EventCount);
  }
  capture.join();
  roll_over.join();
  while (pool.Completed() != pool.Submitted()) std::this_thread::yield();
  InstallResolverPool(nullptr);
  EXPECT_GT(complete, 0u);
  EXPECT_GT(checksum, 0u);
  EXPECT_GT(pool.Completed(), 0u);
}

}  // namespace
}  // namespace netward::test
