// Capture-file adapters through the Linux driver and the capture thread.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "capture/linux_driver.h"
#include "capture/replay_adapter.h"
#include "capture_test_util.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

using namespace netward;
using namespace netward::platform;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kStart = 1796385600u;  // agent clock at the start of replay

std::string TempPath(const std::string& name) {
  return (fs::path(testing::TempDir()) / ("nwcap_" + std::to_string(getpid()) + "_" + name)).string();
}

struct FileFrame {
  std::vector<uint8_t> bytes;
  uint32_t wire_length;
  int64_t time_us;
};

void WriteCapture(const std::string& path, int link_type, const std::vector<FileFrame>& frames) {
  pcap_t* dead = pcap_open_dead(link_type, 65535);
  pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(d, nullptr);
  for (const FileFrame& f : frames) {
    pcap_pkthdr h{};
    h.ts.tv_sec = f.time_us / 1000000;
    h.ts.tv_usec = f.time_us % 1000000;
    h.caplen = static_cast<uint32_t>(f.bytes.size());
    h.len = f.wire_length;
    pcap_dump(reinterpret_cast<u_char*>(d), &h, f.bytes.data());
  }
  pcap_dump_close(d);
  pcap_close(dead);
}

std::vector<uint8_t> EthernetFrame(const uint8_t (&src)[6], size_t size, uint8_t marker) {
  std::vector<uint8_t> f(size, marker);
  memset(f.data(), 0xFF, 6);
  memcpy(f.data() + 6, src, 6);
  f[12] = 0x88;
  f[13] = 0xB5;
  return f;
}

std::u16string Device(const std::string& name) { return Widen(std::string(kDevicePrefix) + name); }
// The adapter a `--replay` file becomes.
std::u16string DeviceOf(const std::string& path) { return Device(fs::path(path).stem().string()); }

// Replays `device` until the adapter has delivered its last frame (or the thread ended).
struct Replay {
  std::shared_ptr<HiveFile> hive = std::make_shared<HiveFile>();
  TestClock clock{kStart};
  // Outlives the capture thread, which hands the closed adapter to it at its end.
  std::unique_ptr<LinuxPacketDriver> driver;
  CaptureRun run;

  bool Play(const std::u16string& device, std::vector<std::string> files = {}, int ms = 20000) {
    driver = std::make_unique<LinuxPacketDriver>(*hive, clock, run.out(), std::move(files));
    run.Start(*driver, false, device.c_str());
    return WaitUntil(
        [&] {
          PacketDriverHandle* h = run.nic()->Driver.load();
          return run.Ended() || (h != nullptr && h->Exhausted());
        },
        ms);
  }
};

TEST(Replay, EveryShippedCaptureReplaysAllItsFrames) {
  const std::string dir = std::string(NETWARD_SHARED_DIR) + "/captures";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no sample captures at " << dir;
  if (Shell("command -v capinfos").empty()) GTEST_SKIP() << "capinfos is not installed";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() != ".pcap" && entry.path().extension() != ".pcapng") continue;
    SCOPED_TRACE(path);
    // "path<TAB>count" from an independent reader.
    std::string line = Shell("capinfos -r -T -M -c '" + path + "' 2>/dev/null");
    size_t tab = line.rfind('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const uint32_t expected = static_cast<uint32_t>(std::stoul(line.substr(tab + 1)));
    Replay r;
    ASSERT_TRUE(r.Play(Device(entry.path().stem().string()), {path}));
    ASSERT_FALSE(r.run.Ended()) << r.run.out().Text();
    EXPECT_EQ(r.run.FramesRead(), expected);
    if (expected > 0 && expected <= kRecentFrames) {
      EXPECT_EQ(r.run.nic()->RecentFrames[0].Time, kStart);  // rebased
    }
    ++files;
  }
  EXPECT_GT(files, 300);
}

TEST(Replay, MixedWorkloadKeepsWireLengthsAndLearnsTheOwnAddress) {
  const std::string path = TempPath("mix.pcap");
  const std::string gen = std::string(NETWARD_SHARED_DIR) + "/workloads/make_pcap.py";
  if (access(gen.c_str(), R_OK) != 0) GTEST_SKIP() << "no workload generator at " << gen;
  ASSERT_EQ(system(("/usr/bin/python3 " + gen + " --frames 1200 --stations 60 --seed 3 --out " + path +
                    " 2>/dev/null").c_str()),
            0);
  Replay r;
  ASSERT_TRUE(r.Play(DeviceOf(path), {path}));
  ASSERT_EQ(r.run.FramesRead(), 1200u);
  // The last 300 frames' lengths as tshark reads them: frame 900+i sits in entry i.
  std::string lens = Shell("tshark -r '" + path + "' -T fields -e frame.len 2>/dev/null | tail -n 300");
  if (lens.empty()) GTEST_SKIP() << "tshark is not installed";
  // Without an OwnAddress setting the adapter takes the busiest sender of the first 1000 frames.
  std::string busiest = Shell("tshark -r '" + path + "' -T fields -e eth.src 2>/dev/null | head -n 1000 | sort | "
                              "uniq -c | sort -rn | head -n 1");
  uint8_t expect_own[6];
  ASSERT_TRUE(ParseMacAddress(busiest.substr(busiest.find_last_of(' ') + 1, 17), expect_own)) << busiest;
  EXPECT_EQ(memcmp(r.run.nic()->OwnAddress, expect_own, 6), 0);
  std::istringstream in(lens);
  for (int i = 0; i < 300; ++i) {
    uint32_t len = 0;
    in >> len;
    ASSERT_EQ(r.run.nic()->RecentFrames[i].Length, len) << i;
  }
  fs::remove(path);
}

TEST(Replay, OtherLinkTypesAreRefusedNamingFileAndType) {
  const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
  struct {
    int link_type;
    const char* text;
  } cases[] = {{DLT_RAW, "has link type RAW"}, {DLT_NULL, "has link type NULL"}, {DLT_LINUX_SLL, "has link type LINUX_SLL"}};
  for (const auto& c : cases) {
    const std::string path = TempPath("linktype.pcap");
    WriteCapture(path, c.link_type, {{EthernetFrame(src, 60, 1), 60, 0}});
    Replay r;
    ASSERT_TRUE(r.Play(DeviceOf(path), {path}));
    ASSERT_TRUE(r.run.Ended());
    const std::string text = r.run.out().Text();
    EXPECT_NE(text.find("Capture file '" + path + "' " + c.text), std::string::npos) << text;
    EXPECT_NE(text.find(kTextOpenFailed), std::string::npos);
    EXPECT_EQ(r.run.common_stops(), 0);
    fs::remove(path);
  }
}

// A named pipe given as a capture file used to hold the capture thread in open() for ever, and the
// agent's stop with it; /dev/zero is no capture either. Both are refused at once, in words.
TEST(Replay, NamedPipesAndDevicesAreRefusedWithoutWaiting) {
  const std::string pipe = TempPath("pipe.pcap");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  const std::string zero = TempPath("zero.pcap");
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  for (const auto& [path, kind] : {std::pair{pipe, "a named pipe"}, std::pair{zero, "a character device"}}) {
    Replay r;
    ASSERT_TRUE(r.Play(DeviceOf(path), {path}, 3000)) << "the capture thread waits on " << path;
    ASSERT_TRUE(r.run.Ended());
    const std::string text = r.run.out().Text();
    EXPECT_NE(text.find("Capture file '" + path + "' cannot be read: " + kind + ", not a regular file\n"),
              std::string::npos) << text;
    EXPECT_EQ(r.run.common_stops(), 0);
  }
  // Unblock a thread still waiting on the pipe, so that a failure above does not hang the test.
  if (int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);
  fs::remove(pipe);
  fs::remove(zero);
}

TEST(Replay, HiveConfiguredTokenRingFileWithOwnAddress) {
  // 802.5: access control, frame control 0x40 (LLC), destination, source with the routing bit.
  auto tr = [](uint8_t src_last, uint32_t len) {
    std::vector<uint8_t> f(len, 0);
    f[0] = 0x10;
    f[1] = 0x40;
    memset(&f[2], 0xC0, 6);
    const uint8_t src[6] = {0x80 | 0x10, 0, 0x5A, 0, 0, src_last};
    memcpy(&f[8], src, 6);
    return f;
  };
  const std::string path = TempPath("ring.pcap");
  WriteCapture(path, DLT_IEEE802, {{tr(1, 40), 40, 1000000000}, {tr(2, 40), 40, 1000000000 + 5500000},
                                   {tr(2, 40), 40, 1000000000 + 7000000}});
  const std::string key = std::string(kAdapterParametersKey) + "\\ring";
  for (bool given : {false, true}) {
    SCOPED_TRACE(given ? "OwnAddress given" : "OwnAddress learnt");
    Replay r;
    r.hive->SetString(key, "CaptureFile", path);
    if (given) r.hive->SetString(key, "OwnAddress", "02-00-00-00-00-09");
    ASSERT_TRUE(r.Play(Device("ring")));
    ASSERT_EQ(r.run.FramesRead(), 3u);
    EXPECT_EQ(r.run.nic()->MediaType, 1);
    const uint8_t learnt[6] = {0x10, 0, 0x5A, 0, 0, 2};  // most frequent source, routing bit cleared
    const uint8_t set[6] = {2, 0, 0, 0, 0, 9};
    EXPECT_EQ(memcmp(r.run.nic()->OwnAddress, given ? set : learnt, 6), 0);
    // The clock stands still: a fast replay stamps nothing later than now.
    EXPECT_EQ(r.run.nic()->RecentFrames[0].Time, kStart);
    EXPECT_EQ(r.run.nic()->RecentFrames[2].Time, kStart);
    PacketDriverHandle* h = r.run.nic()->Driver.load();
    uint32_t filter = 0;
    ASSERT_TRUE(h->QueryOid(kOidGenCurrentPacketFilter, &filter, 4));
    EXPECT_EQ(filter, kFilterNormal8025);
  }
  fs::remove(path);
}

TEST(Replay, RealtimePaceKeepsTheFilesSpacing) {
  const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
  const std::string path = TempPath("paced.pcap");
  WriteCapture(path, DLT_EN10MB, {{EthernetFrame(src, 60, 1), 60, 0}, {EthernetFrame(src, 60, 2), 60, 300000},
                                  {EthernetFrame(src, 60, 3), 60, 600000}});
  for (const char* pace : {"realtime", "fast"}) {
    SCOPED_TRACE(pace);
    Replay r;
    r.hive->SetString(std::string(kAdapterParametersKey) + "\\" + fs::path(path).stem().string(), "Pace", pace);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.Play(DeviceOf(path), {path}));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.run.FramesRead(), 3u);
    if (std::string(pace) == "realtime")
      EXPECT_GE(took, std::chrono::milliseconds(550));
    else
      EXPECT_LT(took, std::chrono::milliseconds(300));
  }
  fs::remove(path);
}

// Frame times read straight off a replay adapter, the agent clock moved between reads: a fast
// replay keeps the file's spacing from the start but never stamps a frame later than the clock;
// real-time pace keeps the rebased times.
TEST(Replay, FrameTimesAreRebasedAndFastPaceNeverRunsAheadOfTheClock) {
  struct Step {
    int64_t file_us;       // from the first frame
    uint64_t advance_ms;   // clock moved before this frame is read
    uint32_t expect;       // seconds after the start
  };
  struct Case {
    const char* name;
    ReplayPace pace;
    std::vector<Step> steps;
  } cases[] = {
      {"fast",
       ReplayPace::kFast,
       {{0, 0, 0},
        {5500000, 10000, 5},
        {7000000, 0, 7},
        {1200000000, 0, 10},        // twenty minutes in: held at the clock
        {1201000000, 1000, 11},
        {1210000000, 2000000, 1210},  // the clock has passed the file time again
        {-3000000, 0, 0}}},           // earlier than the first frame: the start time
      {"realtime", ReplayPace::kRealtime, {{0, 0, 0}, {1100000, 0, 1}}},
  };
  const int64_t first = int64_t(1000000000) * 1000000;
  const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
  const std::vector<uint8_t> bytes = EthernetFrame(src, 60, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = std::make_unique<MemoryFrameSource>();
    for (const Step& s : c.steps) source->Add(bytes.data(), 60, 60, first + s.file_us);
    TestClock clock{kStart};
    ReplayConfig config;
    config.pace = c.pace;
    config.have_own_address = true;
    ReplayHandle h(std::move(source), kMedium8023, config, clock);
    ASSERT_TRUE(h.SetFilter(kFilterNormal8023));
    ASSERT_TRUE(h.AllocateReadObject(0));
    Event stop;
    uint8_t buffer[kReadLength];
    uint32_t count = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      clock.Advance(c.steps[i].advance_ms);
      ASSERT_TRUE(h.StartRead(0, buffer, kReadLength, &count));
      ASSERT_EQ(h.WaitRead(0, stop), WaitResult::kCompleted);
      uint32_t time = 0;
      EXPECT_EQ(h.FinishRead(0, &time), 60u);
      EXPECT_EQ(time, kStart + c.steps[i].expect) << "frame " << i;
    }
  }
}

// One adapter replaying frames held in memory `passes` times, with no pause between frames.
class MemoryReplayDriver : public PacketDriver {
 public:
  MemoryReplayDriver(MemoryFrameSource frames, uint32_t passes) : frames_(std::move(frames)), passes_(passes) {}
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    auto source = std::make_unique<MemoryFrameSource>(frames_);
    source->SetPasses(passes_);
    ReplayConfig config;
    config.have_own_address = true;
    return std::make_unique<ReplayHandle>(std::move(source), kMedium8023, config, clock_);
  }

 private:
  MemoryFrameSource frames_;
  uint32_t passes_;
  RealClock clock_;
};

Event* g_stop_at_frame_500 = nullptr;
void SetStopAtFrame500(NicArea* nic, const uint8_t*) {
  if (RelaxedLoad(nic->FramesRead) == 500) g_stop_at_frame_500->Set();
}

// Frames are handed to the reads in batches, yet the stop request is looked at before every frame:
// set while the adapter delivers without pause (here by the frame's own accounting), it ends the
// thread before the next frame.
TEST(Replay, StopWinsOverABusyAdapterBeforeTheNextFrame) {
  const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
  MemoryFrameSource frames;
  for (int i = 0; i < 100; ++i) frames.Add(EthernetFrame(src, 60, uint8_t(i)).data(), 60, 60, i);
  MemoryReplayDriver driver(frames, 1000000);
  CaptureRun run;
  g_stop_at_frame_500 = &run.stop();
  run.Start(driver, false, u"\\Device\\TapEye_test", SetStopAtFrame500);
  ASSERT_TRUE(run.Join(5000));
  EXPECT_EQ(run.FramesRead(), 500u);
}

// A read takes a whole buffer: a short frame in a slot that held a long one ends in zeros.
TEST(Replay, AShortFrameLeavesNoTailOfTheLongOneBefore) {
  const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
  MemoryFrameSource frames;
  frames.Add(EthernetFrame(src, 300, 0xAA).data(), 300, 300, 0);
  for (int i = 1; i <= kReadSlots; ++i) frames.Add(EthernetFrame(src, 60, 0xBB).data(), 60, 60, 0);
  MemoryReplayDriver driver(frames, 1);
  CaptureRun run;
  run.Start(driver);
  ASSERT_TRUE(WaitUntil([&] { return run.FramesRead() == kReadSlots + 1; }));
  run.Stop();
  const FrameEntry& reused = run.nic()->RecentFrames[kReadSlots];  // read in slot 0 after the long frame
  EXPECT_EQ(reused.Length, 60u);
  EXPECT_EQ(reused.Data[59], 0xBB);
  const std::vector<uint8_t> zeros(kFrameDataBytes - 60, 0);
  EXPECT_EQ(std::vector<uint8_t>(reused.Data + 60, reused.Data + kFrameDataBytes), zeros);
}

TEST(Replay, AdapterNamesOfReplayFilesAreUniqueStems) {
  EXPECT_EQ(ReplayAdapterNames({"/a/trace.pcap", "b/trace.pcapng", "mix", "/x/Trace.pcap"}),
            (std::vector<std::string>{"trace", "trace_2", "mix", "Trace_3"}));
}

}  // namespace

// What a capture file says of itself to the adapter status report, before and after it is closed.
TEST(Replay, StatusOidAnswersOfACaptureFile) {
  RealClock clock;
  for (int medium : {kMedium8023, kMedium8025}) {
    ReplayHandle h(std::make_unique<MemoryFrameSource>(), medium, ReplayConfig{}, clock);
    const int64_t ring = medium == kMedium8025 ? 0 : -1;  // -1: not answered
    const std::pair<uint32_t, int64_t> rows[] = {
        {kOidGenMacOptions, kMacOptionNoLoopback}, {kOidGenHardwareStatus, kHardwareReady},
        {kOidGenMediaConnectStatus, kMediaConnected}, {kOidGenLinkSpeed, -1}, {kOidGenVendorDriverVersion, -1},
        {kOidGenXmitError, -1}, {kOid8025LineErrors, -1}, {kOid8025CurrentRingStatus, ring},
        {kOid8025CurrentRingState, ring < 0 ? -1 : int64_t{kRingStateOpened}}, {kOidGenDriverVersion, 0x0500}};
    for (bool closed : {false, true}) {
      if (closed) h.Close();
      EXPECT_EQ(h.IsOpen(), !closed);
      for (auto [oid, want] : rows) {
        uint32_t v = 0;
        EXPECT_EQ(h.QueryOid(oid, &v, oid == kOidGenDriverVersion ? 2 : 4) ? v : -1LL, want) << medium << std::hex << oid;
      }
    }
  }
}
