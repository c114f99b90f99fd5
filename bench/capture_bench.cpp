// Frames per second through the capture thread from an in-memory replay of the mixed workload
// (generated on first use into the build directory), with accounting stood in by the placeholder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture/capture_thread.h"
#include "capture/replay_adapter.h"
#include "capture_benchmark.h"

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
  const uint32_t passes = 5;
  CaptureBenchmark(state, frames, passes, account);  // each run ends when the replay has delivered every frame
  state.counters["frames_per_run"] = static_cast<double>(frames.size() * passes);
}

BENCHMARK_CAPTURE(BM_CaptureLoop, accounting_off, AccountFramePlaceholder)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
