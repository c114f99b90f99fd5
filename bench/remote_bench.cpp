// Replies per second of the request dispatcher over tables filled by the real capture and
// accounting path: an agent on a test clock replays the mixed workload (200,000 frames, 600
// stations, about 100 s of traffic) from memory through its capture thread, the clock following
// the file's times, then the clock is moved 50 s past the last frame so that every stored frame
// lies inside the 15-minute broadcast window and the newest ones inside the one-minute "recent"
// column. After the replay the station table holds 500 stations, the group-frame ring its 4500
// frames and the recent ring its 300.
//
// Each benchmark calls HandleRequest (key check, body, reply block) and frees the block, as the RPC
// stub does; the time column is the time per reply, "replies/s" its inverse.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "capture/replay_adapter.h"
#include "core/agent.h"
#include "wire/byte_order.h"
#include "memory_driver.h"
#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"
#include "remote/broadcast_reply.h"
#include "remote/dispatcher.h"

using namespace netward;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMixFrames = 200000;
constexpr uint32_t kStartTime = 1796385600u;  // 2026-12-04 12:00:00 UTC
constexpr uint32_t kAfterLastFrameMs = 50000;
constexpr char kKey[] = "BenchKey";

std::string MixPath() {
  std::string p = std::string(NETWARD_BINARY_DIR) + "/remote_bench_mix.pcap";
  if (access(p.c_str(), R_OK) != 0) {
    std::string cmd = "/usr/bin/python3 " + std::string(NETWARD_SHARED_DIR) + "/workloads/make_pcap.py --frames " +
                      std::to_string(kMixFrames) + " --stations 600 --seed 1 --quiet --out " + p;
    if (system(cmd.c_str()) != 0) return {};
  }
  return p;
}

class FixedRandom : public platform::Random {
 public:
  void Seed(uint32_t) override {}
  uint32_t Next() override { return 0x41; }
};

// A fast replay never stamps a frame later than the agent's clock. This source moves the test clock
// to each frame's file time (relative to the clock at the first frame) before handing it over, so
// the frames keep their spacing; the first frame waits for `go`, set once start-up is done.
class ClockedSource : public FrameSource {
 public:
  ClockedSource(const MemoryFrameSource& frames, platform::TestClock& clock, platform::Event& go)
      : frames_(frames), clock_(clock), go_(go) {}
  bool Next(FrameRef& frame, int64_t& time_us) override {
    if (!started_) {
      go_.WaitMs(60000);
      base_ = clock_.Now();
    }
    if (!frames_.Next(frame, time_us)) return false;
    if (!started_) {
      started_ = true;
      first_us_ = time_us;
    }
    const int64_t offset_us = time_us - first_us_;
    const uint32_t target = base_ + static_cast<uint32_t>(offset_us > 0 ? offset_us / 1000000 : 0);
    if (clock_.Now() < target) clock_.Set(target);
    return true;
  }
  bool Rewind() override { return frames_.Rewind(); }

 private:
  MemoryFrameSource frames_;
  platform::TestClock& clock_;
  platform::Event& go_;
  bool started_ = false;
  uint32_t base_ = 0;
  int64_t first_us_ = 0;
};

class ClockedDriver : public PacketDriver {
 public:
  ClockedDriver(const MemoryFrameSource& frames, platform::TestClock& clock, platform::Event& go,
                platform::Event& end)
      : frames_(frames), clock_(clock), go_(go), end_(end) {}
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    ReplayConfig config;
    config.have_own_address = true;
    memcpy(config.own_address, kWorkloadOwnAddress, 6);
    config.end_event = &end_;
    return std::make_unique<ReplayHandle>(std::make_unique<ClockedSource>(frames_, clock_, go_), kMedium8023,
                                          config, clock_);
  }

 private:
  const MemoryFrameSource& frames_;
  platform::TestClock& clock_;
  platform::Event& go_;
  platform::Event& end_;
};

// The running agent with its tables filled; built once before the benchmarks run.
class FilledAgent {
 public:
  Agent& agent() { return *agent_; }
  bool Start(std::string& error) {
    std::string mix = MixPath();
    int link = 0;
    if (mix.empty() || !frames_.LoadFile(mix, link, error)) {
      if (error.empty()) error = "cannot make the mixed workload";
      return false;
    }
    state_ = fs::temp_directory_path() / ("remote_bench_" + std::to_string(getpid()));
    fs::remove_all(state_);
    fs::create_directories(state_ / "NETWARD History");
    hive_ = std::make_shared<platform::HiveFile>();
    hive_->SetString(kSettingsKey, "OpenKey", kKey);
    clock_ = std::make_unique<platform::TestClock>(kStartTime);
    registry_ = std::make_unique<platform::SystemRegistry>(hive_, PacketDriverKeys());
    registry_->SetInterfaceNames({"nwbench0"});
    driver_ = std::make_unique<ClockedDriver>(frames_, *clock_, replay_go_, replay_end_);
    AgentOptions opt;
    opt.state_dir = state_.string();
    agent_ = std::make_unique<Agent>(*registry_, *clock_, out_, random_, opt);
    agent_->hooks().packet_driver = driver_.get();
    thread_ = std::thread([this] { agent_->AgentMain(); });
    started_ = true;
    if (!clock_->AwaitWaiters(1, 20000)) {
      error = "the agent did not reach its main loop";
      return false;
    }
    // The capture thread takes the frames as fast as it can; wait until every one is accounted.
    replay_go_.Set();
    GlobalArea* g = Global();
    for (int i = 0; i < 120000 && g->FrameSequence.load() < frames_.size(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (g->FrameSequence.load() != frames_.size()) {
      error = "replay stopped at frame " + std::to_string(g->FrameSequence.load());
      return false;
    }
    // The clock stands at the last frame's time.
    clock_->Advance(kAfterLastFrameMs);
    return true;
  }

  void Stop() {
    if (!started_) return;
    agent_->CommonStop();
    thread_.join();
    agent_.reset();
    FreeGlobalArea(g_global_area.exchange(nullptr));
    chdir("/");
    fs::remove_all(state_);
  }

 private:
  MemoryFrameSource frames_;
  fs::path state_;
  std::shared_ptr<platform::HiveFile> hive_;
  std::unique_ptr<platform::TestClock> clock_;
  std::unique_ptr<platform::SystemRegistry> registry_;
  platform::Event replay_go_, replay_end_;
  std::unique_ptr<ClockedDriver> driver_;
  NullOutput out_;
  FixedRandom random_;
  std::unique_ptr<Agent> agent_;
  std::thread thread_;
  bool started_ = false;
};

// One request, answered `iterations` times. Counters: the reply size, the records of its body after
// the "TOT " record, and for broadcast replies the frames in the window, those of the last minute
// and the entries.
void BM_Reply(benchmark::State& state, Agent& agent, const char* text) {
  uint8_t key[16] = {};
  memcpy(key, kKey, sizeof kKey - 1);
  char request[256] = {};
  strncpy(request, text, 255);
  int32_t reply_length = 0;
  bool broadcast = strncmp(text, "BCAST", 5) == 0;
  uint32_t frames = 0, recent = 0, entries = 0;
  for (auto _ : state) {
    uint8_t* reply = nullptr;
    if (HandleRequest(AgentRequestContext(agent), key, request, &reply, &reply_length) != 0) {
      state.SkipWithError("key rejected");
      break;
    }
    if (broadcast && reply_length >= int32_t(kReplyHeaderSize + kBhdrSize)) {
      frames = GetU32Le(reply + kReplyHeaderSize + 28);
      recent = GetU32Le(reply + kReplyHeaderSize + 32);
      entries = GetU32Le(reply + kReplyHeaderSize + 36);
    }
    benchmark::DoNotOptimize(reply);
    MidlUserFree(reply);
  }
  state.counters["replies/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["reply_bytes"] = reply_length;
  if (broadcast) {
    state.counters["window_frames"] = frames;
    state.counters["recent_frames"] = recent;
    state.counters["entries"] = entries;
  } else {
    size_t record = strncmp(text, "DETAILS", 7) == 0 ? 364 : kStatRecordSize;
    state.counters["records"] = double(size_t(reply_length) - kReplyHeaderSize - kTotRecordSize) / double(record);
  }
}

void Register(Agent& agent) {
  static const char* const kRequests[] = {"STATS_PRO", "STATS_PRO 0", "BCASTERS HIGH", "BCASTERS LOW",
                                          "BCASTSENT HIGH", "DETAILS 0"};
  for (const char* r : kRequests)
    benchmark::RegisterBenchmark((std::string("BM_Reply/") + r).c_str(), BM_Reply, std::ref(agent), r)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  setenv("TZ", "UTC", 1);
  tzset();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FilledAgent agent;
  std::string error;
  bool ok = agent.Start(error);
  if (ok) {
    const NicArea* nic = Global()->Nics[0];
    benchmark::AddCustomContext("stations", std::to_string(RelaxedLoad(nic->StationCount)));
    benchmark::AddCustomContext("group_frames_stored", std::to_string(RelaxedLoad(nic->GroupFrameCount)));
    Register(agent.agent());
    benchmark::RunSpecifiedBenchmarks();
  } else {
    fprintf(stderr, "remote_bench: %s\n", error.c_str());
  }
  agent.Stop();
  benchmark::Shutdown();
  return ok ? 0 : 1;
}
