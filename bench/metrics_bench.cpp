// What the metrics endpoint costs the capture path: frames per second through the capture thread
// and accounting (an in-memory replay of the mixed workload, as fast as the thread takes them) while
// a client scrapes /metrics every 100 ms, against the same replay unscraped; a scrape every 10 ms
// shows the margin. And the time to build one exposition from full station tables.
//
//   build/default/bench/metrics_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "accounting/accounting.h"
#include "accounting/stations.h"
#include "capture/capture_thread.h"
#include "common/http_get.h"
#include "memory_driver.h"
#include "metrics/metrics_server.h"

using namespace netward;

namespace {

constexpr uint32_t kMixFrames = 200000;

const MemoryFrameSource* Workload() {
  static MemoryFrameSource frames;
  static const bool loaded = [] {
    const std::string path = std::string(NETWARD_BINARY_DIR) + "/metrics_bench_mix.pcap";
    if (access(path.c_str(), R_OK) != 0) {
      const std::string cmd = "/usr/bin/python3 " + std::string(NETWARD_SHARED_DIR) +
                              "/workloads/make_pcap.py --frames " + std::to_string(kMixFrames) +
                              " --stations 600 --seed 1 --out " + path + " 2>/dev/null";
      if (system(cmd.c_str()) != 0) return false;
    }
    int link = 0;
    std::string error;
    return frames.LoadFile(path, link, error);
  }();
  return loaded ? &frames : nullptr;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

GlobalArea* SharedState() {
  static GlobalArea* const g = [] {
    GlobalArea* global = AllocateGlobalArea();
    NicArea* nic = AllocateNicArea();
    nic->AdapterName.Set("mix");
    AttachNicArea(*global, nic);
    return global;
  }();
  return g;
}

// Replays the workload five times through the capture thread with accounting per iteration, while
// a client scrapes every `range(0)` ms (0: never).
void BM_ReplayWhileScraped(benchmark::State& state) {
  const MemoryFrameSource* frames = Workload();
  if (frames == nullptr) {
    state.SkipWithError("cannot make or read the mixed workload");
    return;
  }
  GlobalArea* g = SharedState();
  NicArea* nic = g->Nics[0];
  MetricsServer server;
  MetricsSettings settings;
  settings.endpoint.port = 0;
  settings.global = g;
  settings.now = [] { return static_cast<uint32_t>(time(nullptr)); };
  std::string why;
  if (!server.Start(settings, why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  const auto interval = std::chrono::milliseconds(state.range(0));
  std::atomic<bool> done{false};
  std::atomic<uint64_t> scrapes{0}, failed{0};
  std::thread scraper([&] {
    if (interval.count() == 0) return;
    auto next = std::chrono::steady_clock::now();
    while (!done.load()) {
      const std::string reply = testing_net::HttpGet(server.port(), "/metrics");
      (testing_net::HttpStatusLine(reply) == "HTTP/1.1 200 OK" ? scrapes : failed).fetch_add(1);
      next += interval;
      std::this_thread::sleep_until(next);
    }
  });

  platform::RealClock clock;
  NullOutput out;
  const uint32_t passes = 5;
  uint64_t total = 0;
  const auto began = std::chrono::steady_clock::now();
  const double cpu_began = ThreadCpuSeconds();
  // The adapter handles the scraper reads through NicArea::Driver live as long as the agent's would.
  std::vector<std::unique_ptr<MemoryDriver>> drivers;
  std::vector<std::unique_ptr<platform::Event>> stops;
  for (auto _ : state) {
    platform::Event& stop = *stops.emplace_back(std::make_unique<platform::Event>());
    MemoryDriver& driver = *drivers.emplace_back(std::make_unique<MemoryDriver>(*frames, passes, stop, clock));
    total += RunCaptureThread(nic, driver, stop, out, AccountEthernetFrame, AccountTokenRingFrame);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double cpu = ThreadCpuSeconds() - cpu_began;
  done = true;
  scraper.join();
  server.Stop();
  nic->Driver.store(nullptr);
  state.SetItemsProcessed(static_cast<int64_t>(total));
  // On a shared machine the wall clock also counts other programs' turns: frames per CPU second of
  // the capture thread (this thread) shows what the scrapes themselves cost it.
  state.counters["frames_per_cpu_s"] = double(total) / cpu;
  state.counters["scrapes_per_s"] = double(scrapes.load()) / seconds;
  state.counters["failed_scrapes"] = double(failed.load());
}
BENCHMARK(BM_ReplayWhileScraped)->ArgName("scrape_ms")->Arg(0)->Arg(100)->Arg(10)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One exposition from four adapters with full station tables; range(0): top talkers shown.
void BM_Exposition(benchmark::State& state) {
  static GlobalArea* g = [] {
    GlobalArea* full = AllocateGlobalArea();
    for (int a = 0; a < kMaxNics; ++a) {
      NicArea* nic = AllocateNicArea();
      nic->AdapterName.Set("eth0");
      for (int i = 0; i < kMaxStations; ++i) {
        StationRecord& s = nic->Stations[i];
        char label[16];
        snprintf(label, sizeof label, "0060080%05d", i);
        s.AddressLabel.Set(label);
        s.ProtocolLabel.Set("IP 10.1.0.10");
        s.Name.Set("WORKSTATION");
        s.BytesSent = float(i * 977 % 100000);
        s.BytesReceived = float(i * 131 % 50000);
      }
      nic->StationCount = kMaxStations;
      full->Nics[a] = nic;
    }
    full->NicCount = kMaxNics;
    return full;
  }();
  std::string text;
  for (auto _ : state) {
    WriteExposition({g, 0, static_cast<uint32_t>(state.range(0))}, ExpositionFormat::kOpenMetrics, text);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = double(text.size());
}
BENCHMARK(BM_Exposition)->ArgName("top")->Arg(20)->Arg(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
