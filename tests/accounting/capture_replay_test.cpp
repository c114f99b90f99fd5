// The capture thread replaying a capture file into accounting (the agent's own path for
// `--replay`), checked against an independent libpcap count while another thread reads the tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "capture/capture_thread.h"
#include "capture/replay_adapter.h"
#include "state/records.h"
#include "adapter_fixture.h"
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
  ASSERT_TRUE(AttachNicArea(*Global(), nic));  // the only adapter: its thread counts alone
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
  // A reader of everything a reply builder copies, while the capture thread writes. The last pass
  // starts after the thread has ended: on a busy machine this thread may be held off the core for
  // the whole replay, and a single pass made before the first frame sees nothing at all.
  uint64_t seen = 0;
  for (bool finished = false; !finished;) {
    finished = done;
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

  // Every frame the thread took reached exactly one counter; group frames all reached the ring.
  const uint32_t taken = RelaxedLoad(nic->FramesRead);
  ASSERT_GT(taken, frames.size() - 20);
  uint32_t group = 0;
  for (uint32_t i = 0; i < taken; ++i) group += frames[i].bytes[0] & 1;
  const TotalsSnapshot t = Global()->Totals();
  EXPECT_EQ(t.OwnFrames + t.OtherFrames + t.OwnGroupFrames + t.OtherGroupFrames + t.OwnEventFrames + t.OtherEventFrames,
            taken);
  EXPECT_EQ(t.FrameSequence, taken);
  EXPECT_EQ(nic->GroupFrameCount, group);
  EXPECT_GT(seen, 0u);
  EXPECT_EQ(nic->CountsAlone, 1);
}

// Two adapters of one GlobalArea replaying at once: their threads add to the same totals, and none
// of the adds is lost.
TEST_F(AccountingTest, TwoAdaptersReplayingAtOnceLoseNoTotal) {
  const std::string path = testing::TempDir() + "accounting_replay2_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(MakeWorkload(path, 20000, 40, 7));
  platform::RealClock clock;
  platform::CapturedOutput out;
  struct Run {
    platform::Event stop;
    NicArea* nic = AllocateNicArea();
    std::thread thread;
  } runs[2];
  std::vector<std::unique_ptr<FileDriver>> drivers;
  for (Run& r : runs) ASSERT_TRUE(AttachNicArea(*Global(), r.nic));
  for (Run& r : runs) {
    ReplayConfig config;
    config.have_own_address = true;
    memcpy(config.own_address, kOwnMac.data(), 6);
    config.end_event = &r.stop;
    drivers.push_back(std::make_unique<FileDriver>(path, config, clock, out));
    CaptureContext ctx;
    ctx.driver = drivers.back().get();
    ctx.stop_request = &r.stop;
    ctx.out = &out;
    ctx.account_8023 = AccountEthernetFrame;
    ctx.account_8025 = AccountTokenRingFrame;
    r.thread = std::thread([nic = r.nic, ctx] { CaptureThread(nic, ctx); });
  }
  for (Run& r : runs) r.thread.join();
  std::filesystem::remove(path);

  const uint32_t taken = RelaxedLoad(runs[0].nic->FramesRead) + RelaxedLoad(runs[1].nic->FramesRead);
  ASSERT_GT(taken, 2u * 19980u);
  const TotalsSnapshot t = Global()->Totals();
  EXPECT_EQ(t.FrameSequence, taken);
  EXPECT_EQ(t.OwnFrames + t.OtherFrames + t.OwnGroupFrames + t.OtherGroupFrames + t.OwnEventFrames + t.OtherEventFrames,
            taken);
  for (const Run& r : runs) EXPECT_EQ(r.nic->CountsAlone, 0);
}

}  // namespace
}  // namespace netward::test
