// The capture thread replaying a capture file into accounting (the agent's own path for
// `--replay`), checked against an independent libpcap count while another thread reads the tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "capture/capture_thread.h"
#include "capture/replay_adapter.h"
#include "core/records.h"
#include "frame_builder.h"
#include "pcap_frames.h"

namespace netward::test {
namespace {

class FileDriver : public PacketDriver {
 public:
  FileDriver(std::string path, const ReplayConfig& config, platform::Clock& clock, platform::Output& out)
      : path_(std::move(path)), config_(config), clock_(clock), out_(out) {}
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    return OpenCaptureFile(path_, config_, clock_, out_);
  }

 private:
  std::string path_;
  ReplayConfig config_;
  platform::Clock& clock_;
  platform::Output& out_;
};

TEST_F(AccountingTest, ReplayThroughTheCaptureThreadMatchesAnIndependentCount) {
  const std::string path = testing::TempDir() + "accounting_replay_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(MakeWorkload(path, 20000, 40, 5));
  std::vector<PcapFrame> frames;
  int link = 0;
  ASSERT_TRUE(LoadPcap(path, frames, link));

  platform::Event stop;
  platform::RealClock clock;
  platform::CapturedOutput out;
  ReplayConfig config;
  config.have_own_address = true;
  memcpy(config.own_address, kOwnMac.data(), 6);
  config.end_event = &stop;  // the thread ends once the file is delivered
  FileDriver driver(path, config, clock, out);
  NicArea* nic = AllocateNicArea();
  CaptureContext ctx;
  ctx.driver = &driver;
  ctx.stop_request = &stop;
  ctx.out = &out;
  ctx.account_8023 = AccountEthernetFrame;
  ctx.account_8025 = AccountTokenRingFrame;
  std::atomic<bool> done{false};
  std::thread capture([&] {
    CaptureThread(nic, ctx);
    done = true;
  });
  // A reader of everything a reply builder copies, while the capture thread writes.
  uint64_t seen = 0;
  while (!done) {
    const int count = RelaxedLoad(nic->StationCount);
    for (int i = 0; i < count; ++i) {
      uint8_t rec[kStationRecordSize];
      SerializeStationRecord(nic->Stations[i], rec);
      seen += rec[station_off::FramesSent];
    }
    for (const FrameEntry& e : nic->RecentFrames) {
      if (e.Complete.load(std::memory_order_acquire) != 1) continue;
      uint8_t fe[kFrameEntrySize];
      SerializeFrameEntry(e, StationRef(RelaxedLoad(e.Station)), fe);
      seen += fe[frame_off::Direction];
    }
    seen += Global()->Totals().OtherFrames;
  }
  capture.join();
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".counts");

  // Frames are handled strictly in file order; count the ones the thread took.
  const uint32_t taken = RelaxedLoad(nic->FramesRead);
  ASSERT_GT(taken, frames.size() - 20);
  std::map<std::string, uint32_t> sent_by;
  uint32_t group = 0;
  for (uint32_t i = 0; i < taken; ++i) {
    const PcapFrame& f = frames[i];
    if (f.bytes[0] & 1) {
      ++group;
      continue;
    }
    char label[16];
    MakeMacLabel(&f.bytes[6], memcmp(&f.bytes[6], kOwnMac.data(), 6) == 0, label);
    ++sent_by[label];
  }
  ASSERT_LT(nic->StationCount, kMaxStations);
  std::map<std::string, uint32_t> got;
  for (int i = 0; i < nic->StationCount; ++i) {
    const StationRecord& s = nic->Stations[i];
    // Unicast frames sent = event-free ones plus unicast event frames; group event frames also
    // count in EventFramesSent, so compare the event-free part through the totals below.
    got[s.AddressLabel.bytes] += s.FramesSent;
  }
  const TotalsSnapshot t = Global()->Totals();
  uint32_t unicast = 0, got_unicast = 0;
  for (const auto& [label, n] : sent_by) unicast += n;
  for (const auto& [label, n] : got) got_unicast += n;
  EXPECT_EQ(t.OwnFrames + t.OtherFrames, got_unicast);
  EXPECT_EQ(t.OwnFrames + t.OtherFrames + t.OwnGroupFrames + t.OtherGroupFrames + t.OwnEventFrames +
                t.OtherEventFrames,
            taken);
  EXPECT_EQ(nic->GroupFrameCount, group);
  EXPECT_LE(got_unicast, unicast);
  EXPECT_GE(got_unicast + t.OwnEventFrames + t.OtherEventFrames, unicast) << "only events leave the frame counts";
  for (const auto& [label, n] : sent_by) EXPECT_LE(got[label], n) << label;
  EXPECT_GT(seen, 0u);
  ReleaseStationIndex(nic);
  delete nic;
}

}  // namespace
}  // namespace netward::test
