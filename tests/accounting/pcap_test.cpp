// Capture files through accounting: station counts and totals against an independent count of the
// same frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "adapter_fixture.h"
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

TEST_F(AccountingTest, MixedWorkloadMatchesAnIndependentCount) {
  const std::string path = testing::TempDir() + "accounting_mix_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(MakeWorkload(path, 30000, 40, 1));
  std::vector<PcapFrame> frames;
  int link = 0;
  ASSERT_TRUE(LoadPcap(path, frames, link));
  fs::remove(path);
  ASSERT_EQ(frames.size(), 30000u);
  CheckAgainstIndependentCount(frames, kOwnMac, "mixed workload");
}

}  // namespace
}  // namespace netward::test
