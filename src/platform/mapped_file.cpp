#include "platform/mapped_file.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace netward::platform {

namespace {

// The mapped ranges, read by the SIGBUS handler. A slot is claimed through `used`, then `end` is
// set, then `begin` (release): the handler looks only at slots whose `begin` it sees non-zero.
struct GuardSlot {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
GuardSlot g_slots[MappedFile::kMaxMapped];
struct sigaction g_previous;
uintptr_t g_page = 4096;
std::once_flag g_once;
bool g_installed = false;

void PassOn(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) return g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    return g_previous.sa_handler(sig);
  }
  // The default action (ignoring a fault would only repeat it), raised again: it is held until
  // this handler returns, then ends the process as it would have. A SIGBUS sent with kill comes
  // here too, and must not be lost.
  signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

void OnBus(int sig, siginfo_t* info, void* context) {
  // si_code > 0: raised by the kernel for a fault, not sent by kill or raise.
  if (info != nullptr && info->si_code > 0) {
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& s : g_slots) {
      const uintptr_t begin = s.begin.load(std::memory_order_acquire);
      const uintptr_t end = s.end.load(std::memory_order_relaxed);
      if (begin == 0 || addr < begin || addr >= end) continue;
      const uintptr_t page = addr & ~(g_page - 1);
      // mmap is a plain system call here, safe in a handler.
      if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) == MAP_FAILED)
        break;
      s.cut.store(true, std::memory_order_relaxed);
      return;
    }
  }
  PassOn(sig, info, context);
}

bool InstallHandler() {
  std::call_once(g_once, [] {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_page = static_cast<uintptr_t>(page);
    struct sigaction sa = {};
    sa.sa_sigaction = OnBus;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    g_installed = sigaction(SIGBUS, &sa, &g_previous) == 0;
  });
  return g_installed;
}

}  // namespace

bool MappedFile::Map(int fd, size_t size) {
  Unmap();
  if (size == 0 || !InstallHandler()) return false;
  int slot = 0;
  for (bool expected = false; slot < kMaxMapped; ++slot, expected = false)
    if (g_slots[slot].used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) break;
  if (slot == kMaxMapped) return false;
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) {
    g_slots[slot].used.store(false, std::memory_order_release);
    return false;
  }
  // Read once, front to back.
  madvise(p, size, MADV_SEQUENTIAL);
  data_ = static_cast<const uint8_t*>(p);
  size_ = size;
  mapped_ = (size + g_page - 1) & ~(g_page - 1);
  released_ = 0;
  slot_ = slot;
  GuardSlot& s = g_slots[slot];
  cut_ = &s.cut;
  s.cut.store(false, std::memory_order_relaxed);
  s.end.store(reinterpret_cast<uintptr_t>(p) + mapped_, std::memory_order_relaxed);
  s.begin.store(reinterpret_cast<uintptr_t>(p), std::memory_order_release);
  return true;
}

void MappedFile::Unmap() {
  if (data_ == nullptr) return;
  GuardSlot& s = g_slots[slot_];
  s.begin.store(0, std::memory_order_release);
  munmap(const_cast<uint8_t*>(data_), mapped_);
  s.used.store(false, std::memory_order_release);
  data_ = nullptr;
  size_ = mapped_ = released_ = 0;
  slot_ = -1;
  cut_ = nullptr;
}

void MappedFile::Release(size_t offset) {
  const size_t to = (offset < mapped_ ? offset : mapped_) & ~(g_page - 1);
  if (data_ == nullptr || to <= released_) return;
  madvise(const_cast<uint8_t*>(data_) + released_, to - released_, MADV_DONTNEED);
  released_ = to;
}

}  // namespace netward::platform
