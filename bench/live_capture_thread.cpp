// The capture thread alone on a live interface, for the live benchmark: the Linux driver in
// promiscuous mode, with accounting ("real"), with the placeholder that does none ("off"), or only
// the driver's reads without the capture thread's rings ("reads"), so that each layer's share of the
// agent's CPU shows. Reports the capture thread's CPU clock and the heap allocations made
// while frames came: operator new calls (counted by a replacement, as the accounting benchmark
// does), C library malloc calls (libpcap's, counted by interposition) and the heap's growth
// (mallinfo2).
//
// Usage: live_capture_thread IFNAME FRAMES real|off|reads [RING_KIB]
// Prints "ready" once the filter is set, then, after FRAMES frames or two quiet seconds:
// "frames N cpu S new A malloc M heap_growth B kernel_drops D wakeups W".
#include <malloc.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "accounting/accounting.h"
#include "accounting/stations.h"
#include "allocation_count.h"
#include "capture/linux_driver.h"
#include "capture/capture_thread.h"
#include "memory_driver.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

using namespace netward;

namespace {
std::atomic<uint64_t> g_malloc_calls{0};
}  // namespace

// Every malloc of the process, libpcap's included, goes through these and on to the C library's.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n) {
  g_malloc_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  g_malloc_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  g_malloc_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
}

namespace {

double ThreadCpuSeconds(std::thread& t) {
  clockid_t clock;
  timespec ts{};
  if (pthread_getcpuclockid(t.native_handle(), &clock) != 0 || clock_gettime(clock, &ts) != 0) return -1;
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The driver's reads alone, taken in slot order as the capture thread takes them, and nothing else.
void ReadsOnly(NicArea* nic, const CaptureContext& ctx) {
  std::unique_ptr<PacketDriverHandle> h = ctx.driver->Open(nic->DeviceName);
  if (!h) return;
  static uint8_t buffers[kReadSlots][kReadLength];
  static uint32_t counts[kReadSlots];
  for (int i = 0; i < kReadSlots; ++i) {
    h->AllocateReadObject(i);
    h->StartRead(i, buffers[i], kReadLength, &counts[i]);
  }
  h->SetFilter(kFilterPromiscuous);
  nic->Driver.store(h.get());
  for (uint32_t k = 0;; ++k) {
    const int slot = static_cast<int>(k % kReadSlots);
    if (h->WaitRead(slot, *ctx.stop_request) == WaitResult::kStopped) break;
    uint32_t time = 0;
    h->FinishRead(slot, &time);
    RelaxedStore(nic->FramesRead, k + 1);
    h->StartRead(slot, buffers[slot], kReadLength, &counts[slot]);
  }
  h->Close();
  ctx.driver->KeepClosed(std::move(h));
}

// How often the thread slept and was woken.
uint64_t VoluntarySwitches(pid_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  char line[256];
  unsigned long long n = 0;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1) break;
  fclose(f);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: live_capture_thread IFNAME FRAMES real|off|reads [RING_KIB]\n");
    return 2;
  }
  const std::string ifname = argv[1];
  const uint32_t want = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
  const std::string mode = argv[3];
  platform::HiveFile hive;
  if (argc > 4)
    hive.SetDword(std::string(kAdapterParametersKey) + "\\" + ifname, kRingSizeValue,
                  static_cast<uint32_t>(strtoul(argv[4], nullptr, 10)));

  NicArea* nic = AllocateNicArea();
  AttachNicArea(*AllocateGlobalArea(), nic);
  const std::u16string device = platform::Widen(std::string(kDevicePrefix) + ifname);
  for (size_t i = 0; i < device.size() && i < 127; ++i) nic->DeviceName[i] = device[i];
  platform::RealClock clock;
  NullOutput out;
  LinuxPacketDriver driver(hive, clock, out, {});
  platform::Event stop;
  CaptureContext ctx;
  ctx.driver = &driver;
  ctx.stop_request = &stop;
  ctx.out = &out;
  ctx.force_promiscuous = true;
  if (mode == "real") {
    ctx.account_8023 = AccountEthernetFrame;
    ctx.account_8025 = AccountTokenRingFrame;
  }
  std::atomic<pid_t> capture_tid{0};
  std::thread capture([&] {
    capture_tid = gettid();
    if (mode == "reads")
      ReadsOnly(nic, ctx);
    else
      CaptureThread(nic, ctx);
  });

  using Clock = std::chrono::steady_clock;
  auto filter_set = [&] {
    PacketDriverHandle* h = nic->Driver.load();
    uint32_t f = 0;
    return h != nullptr && h->QueryOid(kOidGenCurrentPacketFilter, &f, 4) && f == kFilterPromiscuous;
  };
  for (auto end = Clock::now() + std::chrono::seconds(10); !filter_set();) {
    if (Clock::now() > end) {
      fprintf(stderr, "live_capture_thread: %s did not open\n", ifname.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const uint32_t frames0 = RelaxedLoad(nic->FramesRead);
  const uint64_t wakeups0 = VoluntarySwitches(capture_tid);
  const double cpu0 = ThreadCpuSeconds(capture);
  printf("ready\n");
  fflush(stdout);
  const size_t heap0 = mallinfo2().uordblks;
  const uint64_t new0 = g_new_calls.load(), malloc0 = g_malloc_calls.load();

  uint32_t last = frames0;
  auto quiet_since = Clock::now();
  while (RelaxedLoad(nic->FramesRead) - frames0 < want) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint32_t now = RelaxedLoad(nic->FramesRead);
    if (now != last || last == frames0) {
      // Before the first frame there is no limit: the sender loads its capture first.
      last = now;
      quiet_since = Clock::now();
    } else if (Clock::now() - quiet_since > std::chrono::seconds(2)) {
      break;
    }
  }
  const uint64_t new_calls = g_new_calls.load() - new0, malloc_calls = g_malloc_calls.load() - malloc0;
  const double cpu = ThreadCpuSeconds(capture) - cpu0;
  const uint64_t wakeups = VoluntarySwitches(capture_tid) - wakeups0;
  const double heap_growth = double(mallinfo2().uordblks) - double(heap0);
  const uint32_t frames = RelaxedLoad(nic->FramesRead) - frames0;
  uint32_t drops = 0;
  nic->Driver.load()->QueryOid(kOidGenRcvNoBuffer, &drops, 4);
  stop.Set();
  capture.join();
  printf("frames %u cpu %.6f new %llu malloc %llu heap_growth %.0f kernel_drops %u wakeups %llu\n", frames, cpu,
         static_cast<unsigned long long>(new_calls), static_cast<unsigned long long>(malloc_calls),
         heap_growth, drops, static_cast<unsigned long long>(wakeups));
  return 0;
}
