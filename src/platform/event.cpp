#include "platform/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

namespace netward::platform {

Event::Event() { fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!set_.load(std::memory_order_relaxed) && fd_ >= 0) {
    uint64_t one = 1;
    (void)!write(fd_, &one, sizeof one);
  }
  set_.store(true, std::memory_order_release);
  cv_.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  if (set_.load(std::memory_order_relaxed) && fd_ >= 0) {
    uint64_t v;
    (void)!read(fd_, &v, sizeof v);
  }
  set_.store(false, std::memory_order_release);
}

bool Event::WaitMs(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return set_.load(std::memory_order_relaxed); });
}

}  // namespace netward::platform
