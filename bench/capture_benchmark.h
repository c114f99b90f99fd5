// The body the capture and accounting benchmarks share (Google Benchmark programs only).
#pragma once

#include <benchmark/benchmark.h>

#include "memory_driver.h"

namespace netward {

// The body of a capture benchmark: each iteration runs the capture thread over `frames`, `passes`
// times, on one adapter area made for the benchmark (the only one of its GlobalArea, as in an
// agent with one adapter); items are frames. Returns the adapter's stations at the end.
inline int CaptureBenchmark(benchmark::State& state, const MemoryFrameSource& frames, uint32_t passes,
                            AccountEntry account_8023, AccountEntry account_8025 = AccountFramePlaceholder) {
  GlobalArea* global = AllocateGlobalArea();
  NicArea* nic = AllocateNicArea();
  AttachNicArea(*global, nic);
  platform::RealClock clock;
  NullOutput out;
  uint64_t total = 0;
  for (auto _ : state) {
    platform::Event stop;
    MemoryDriver driver(frames, passes, stop, clock);
    total += RunCaptureThread(nic, driver, stop, out, account_8023, account_8025);
  }
  state.SetItemsProcessed(static_cast<int64_t>(total));
  const int stations = RelaxedLoad(nic->StationCount);
  FreeGlobalArea(global);
  return stations;
}

}  // namespace netward
