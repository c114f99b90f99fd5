// Frames per second through accounting on the mixed workload (600 stations, so the station table
// fills), alone and behind the capture thread with an in-memory replay; and heap allocations per
// frame, counted by a replacement operator new and by mallinfo2 around the loop (both must be 0).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accounting/accounting.h"
#include "allocation_count.h"
#include "accounting/stations.h"
#include "capture/capture_thread.h"
#include "capture/replay_adapter.h"
#include "capture_benchmark.h"

using namespace netward;

namespace {

constexpr uint32_t kMixFrames = 200000;
constexpr uint8_t kOwn[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a};

const std::string& MixPath() {
  static const std::string path = [] {
    std::string p = std::string(NETWARD_BINARY_DIR) + "/accounting_bench_mix.pcap";
    if (access(p.c_str(), R_OK) != 0) {
      std::string cmd = "/usr/bin/python3 " + std::string(NETWARD_SHARED_DIR) + "/workloads/make_pcap.py --frames " +
                        std::to_string(kMixFrames) + " --stations 600 --seed 1 --out " + p + " 2>/dev/null";
      if (system(cmd.c_str()) != 0) p.clear();
    }
    return p;
  }();
  return path;
}

const MemoryFrameSource* Frames() {
  static MemoryFrameSource frames;
  static bool loaded = [] {
    int link = 0;
    std::string error;
    return !MixPath().empty() && frames.LoadFile(MixPath(), link, error);
  }();
  return loaded ? &frames : nullptr;
}

// The frames as 256-byte read buffers with their wire lengths, laid out once.
struct Buffers {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> lengths;
};
const Buffers& LoadBuffers() {
  static Buffers b = [] {
    Buffers out;
    MemoryFrameSource src(*Frames());
    FrameRef f;
    int64_t us;
    while (src.Next(f, us)) {
      size_t at = out.bytes.size();
      out.bytes.resize(at + kFrameDataBytes);
      memcpy(out.bytes.data() + at, f.data, f.captured < kFrameDataBytes ? f.captured : kFrameDataBytes);
      out.lengths.push_back(f.wire_length);
    }
    return out;
  }();
  return b;
}

// The capture thread's per-frame work around the accounting call, without a driver. range(0):
// adapters attached to the GlobalArea (1: the thread counts alone; 2: with locked adds, as beside
// another adapter's thread).
void BM_Accounting(benchmark::State& state) {
  if (Frames() == nullptr) {
    state.SkipWithError("cannot make or read the mixed workload");
    return;
  }
  const Buffers& b = LoadBuffers();
  GlobalArea* g = AllocateGlobalArea();
  NicArea* nic = AllocateNicArea();
  for (int64_t a = 0; a < state.range(0); ++a) AttachNicArea(*g, a == 0 ? nic : AllocateNicArea());
  const bool alone = CountsAlone(*nic);
  nic->CountsAlone = alone;
  memcpy(nic->OwnAddress, kOwn, 6);
  const size_t n = b.lengths.size();
  size_t i = 0;
  uint32_t time = 1000000;
  const uint64_t allocations_before = g_new_calls.load();
  const size_t heap_before = mallinfo2().uordblks;
  for (auto _ : state) {
    const uint8_t* frame = b.bytes.data() + i * kFrameDataBytes;
    const uint32_t k = nic->FramesRead++;
    nic->FrameIndex = k % kRecentFrames;
    nic->FrameTime = time + static_cast<uint32_t>(k / 2000);
    nic->FrameLength = b.lengths[i];
    FrameEntry& e = nic->RecentFrames[nic->FrameIndex];
    BeginSlotRewrite(e);
    e.Time = nic->FrameTime;
    e.Sequence = AddToTotal(g->FrameSequence, 1u, alone);
    e.Length = nic->FrameLength;
    AccountEthernetFrame(nic, frame);
    SharedStore<kFrameDataBytes>(e.Data, frame);
    EndSlotRewrite(e);
    if (++i == n) {
      i = 0;
      RelaxedStore(nic->StationCount, 0);  // a new "day": the table fills again
      time += 100000;
    }
  }
  const uint64_t allocations = g_new_calls.load() - allocations_before;
  const double heap_growth = double(mallinfo2().uordblks) - double(heap_before);
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_frame"] = double(allocations) / double(state.iterations());
  state.counters["heap_growth_bytes"] = heap_growth;
  state.counters["stations"] = nic->StationCount;
  FreeGlobalArea(g);
}
BENCHMARK(BM_Accounting)->ArgName("adapters")->Arg(1)->Arg(2);

// Capture thread + accounting, one core, frames from memory as fast as the thread takes them.
void BM_CaptureAndAccounting(benchmark::State& state) {
  if (Frames() == nullptr) {
    state.SkipWithError("cannot make or read the mixed workload");
    return;
  }
  state.counters["stations"] = CaptureBenchmark(state, *Frames(), 5, AccountEthernetFrame, AccountTokenRingFrame);
}
BENCHMARK(BM_CaptureAndAccounting)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
