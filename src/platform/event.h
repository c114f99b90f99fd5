// Manual-reset event: set once, stays set until Reset. Waitable with a time-out, and through a file
// descriptor that becomes readable while the event is set (for poll loops such as a capture read).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace netward::platform {

class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // One atomic load, no lock: cheap enough for a capture thread to ask before every frame.
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  // True when the event was set, false on time-out.
  bool WaitMs(uint32_t timeout_ms);
  int Fd() const { return fd_; }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  // Written under mu_ (so that waiters on cv_ cannot miss a change), read without it.
  std::atomic<bool> set_{false};
  int fd_ = -1;
};

}  // namespace netward::platform
