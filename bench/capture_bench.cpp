// Frames per second through the capture thread from an in-memory replay of the mixed workload
// (generated on first use into the build directory), with accounting stood in by the placeholder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture/capture_thread.h"
#include "capture/replay_adapter.h"

using namespace netward;

namespace {

constexpr uint32_t kMixFrames = 200000;

const std::string& MixPath() {
  static const std::string path = [] {
    std::string p = std::string(NETWARD_BINARY_DIR) + "/capture_bench_mix.pcap";
    if (access(p.c_str(), R_OK) != 0) {
      std::string cmd = "/usr/bin/python3 " + std::string(NETWARD_SHARED_DIR) +
                        "/workloads/make_pcap.py --frames " + std::to_string(kMixFrames) +
                        " --stations 600 --seed 1 --out " + p + " 2>/dev/null";
      if (system(cmd.c_str()) != 0) p.clear();
    }
    return p;
  }();
  return path;
}

// A driver whose one adapter replays the loaded frames `passes` times, then sets the stop event.
class MemoryDriver : public PacketDriver {
 public:
  MemoryDriver(const MemoryFrameSource& frames, uint32_t passes, platform::Event& end, platform::Clock& clock)
      : frames_(frames), passes_(passes), end_(end), clock_(clock) {}
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    auto source = std::make_unique<MemoryFrameSource>(frames_);
    source->SetPasses(passes_);
    ReplayConfig config;
    config.have_own_address = true;
    const uint8_t own[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a};
    memcpy(config.own_address, own, 6);
    config.end_event = &end_;
    return std::make_unique<ReplayHandle>(std::move(source), kMedium8023, config, clock_);
  }

 private:
  const MemoryFrameSource& frames_;
  uint32_t passes_;
  platform::Event& end_;
  platform::Clock& clock_;
};

class NullOutput : public platform::Output {
 public:
  void Write(const char*) override {}
  void MessageBox(const char*, const char*) override {}
};

void BM_CaptureLoop(benchmark::State& state, AccountEntry account) {
  static MemoryFrameSource frames;
  if (frames.size() == 0) {
    int link = 0;
    std::string error;
    if (MixPath().empty() || !frames.LoadFile(MixPath(), link, error)) {
      state.SkipWithError("cannot make or read the mixed workload");
      return;
    }
  }
  if (Global() == nullptr) g_global_area.store(AllocateGlobalArea());
  NicArea* nic = AllocateNicArea();
  platform::RealClock clock;
  NullOutput out;
  const uint32_t passes = 5;
  uint64_t total = 0;
  for (auto _ : state) {
    platform::Event stop;
    MemoryDriver driver(frames, passes, stop, clock);
    CaptureContext ctx;
    ctx.driver = &driver;
    ctx.stop_request = &stop;
    ctx.out = &out;
    ctx.account_8023 = account;
    RelaxedStore(nic->FramesRead, 0u);
    CaptureThread(nic, ctx);  // ends when the replay has delivered every frame
    total += RelaxedLoad(nic->FramesRead);
  }
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["frames_per_run"] = static_cast<double>(frames.size() * passes);
  delete nic;
}

BENCHMARK_CAPTURE(BM_CaptureLoop, accounting_off, AccountFramePlaceholder)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
