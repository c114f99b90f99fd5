// Reverse name look-ups of new IP stations, off the capture thread.
//
// A NameResolver turns an IPv4 address into a host name (the system one uses getnameinfo; tests use
// a double). A ResolverPool runs look-ups on a few worker threads fed by a fixed queue: the capture
// thread only enqueues, never waits, and a full queue drops the request and counts it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <semaphore>
#include <thread>
#include <vector>

#include "state/shared_state.h"

namespace netward {

class NameResolver {
 public:
  virtual ~NameResolver() = default;
  // Host name of `ip` (network order) into `out` (NUL-terminated); false when there is none.
  virtual bool ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) = 0;
};

class SystemNameResolver : public NameResolver {
 public:
  bool ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) override;
};

// The look-up of one station: at most 32 characters of the host name into Name, then LastSequence =
// FrameSequence so that clients see the change. A look-up finishing after the day roll-over writes
// into whatever record then occupies the same entry.
void ResolveStationName(StationRecord* station, NameResolver& resolver);

class ResolverPool {
 public:
  static constexpr int kDefaultThreads = 4;
  static constexpr uint32_t kQueueSlots = 64;  // power of two

  explicit ResolverPool(NameResolver& resolver, int threads = kDefaultThreads);
  ~ResolverPool();
  ResolverPool(const ResolverPool&) = delete;
  ResolverPool& operator=(const ResolverPool&) = delete;

  // Never blocks; false (and Dropped() + 1) when the queue is full. Returns the request number
  // (1-based) through `request` on success.
  bool Submit(StationRecord* station, uint32_t* request = nullptr);

  uint32_t Submitted() const { return submitted_.load(std::memory_order_relaxed); }
  uint32_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint32_t Completed() const { return completed_.load(std::memory_order_acquire); }

 private:
  // Bounded multi-producer multi-consumer ring: each cell's sequence number says whose turn it is.
  struct Cell {
    std::atomic<uint32_t> sequence;
    StationRecord* station;
  };
  bool Pop(StationRecord*& station);
  void Worker();

  NameResolver& resolver_;
  Cell cells_[kQueueSlots];
  alignas(64) std::atomic<uint32_t> enqueue_pos_{0};
  alignas(64) std::atomic<uint32_t> dequeue_pos_{0};
  std::counting_semaphore<> ready_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<uint32_t> submitted_{0};
  std::atomic<uint32_t> dropped_{0};
  std::atomic<uint32_t> completed_{0};
  std::vector<std::thread> threads_;
};

// The pool that FindOrAddStation hands new nameless IP stations to when AutoIpName is set; null
// (the default) drops those look-ups and counts them in DroppedLookupsWithoutPool().
void InstallResolverPool(ResolverPool* pool);
ResolverPool* InstalledResolverPool();
uint32_t DroppedLookupsWithoutPool();
void CountLookupWithoutPool();

}  // namespace netward
