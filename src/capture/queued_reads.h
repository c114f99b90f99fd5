// Read objects of an adapter whose frames come from a pull source (a packet socket, a capture file):
// started reads wait in a FIFO and each delivered frame completes the oldest one. Frames are pulled
// only while the capture thread waits, so nothing is buffered beyond what the source itself holds.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/packet_driver.h"

namespace netward {

class QueuedReadHandle : public PacketDriverHandle {
 public:
  bool AllocateReadObject(int slot) override;
  void FreeReadObject(int slot) override;
  bool StartRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* byte_count) override;
  WaitResult WaitRead(int slot, const platform::Event& stop) override;
  uint32_t FinishRead(int slot, uint32_t* time) override;
  bool Exhausted() const override { return exhausted_.load(std::memory_order_acquire); }

 protected:
  enum class Pull { kFrame, kWait, kEnd };
  // Next frame of the source. kWait: nothing yet; wait for `wait_fd` (-1: none) to become readable
  // or `timeout_ms` (-1: no limit) to pass. kEnd: the source has no more frames.
  virtual Pull PullFrame(FrameRef& frame, int& wait_fd, int& timeout_ms) = 0;
  // Whether the packet filter in force passes the frame (never called with the filter off).
  virtual bool Accepts(const FrameRef& frame) const = 0;

  uint32_t Filter() const { return filter_.load(std::memory_order_relaxed); }
  void StoreFilter(uint32_t f) { filter_.store(f, std::memory_order_relaxed); }

 private:
  struct ReadObject {
    bool allocated = false;
    bool pending = false;
    bool completed = false;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t* byte_count = nullptr;
    uint32_t time = 0;
  };
  void CompleteOldest(const FrameRef& frame);
  // Polls the stop event and `fd`; true when the stop event is set.
  static bool WaitFds(int stop_fd, int fd, int timeout_ms);

  std::atomic<uint32_t> filter_{0};
  ReadObject reads_[kReadSlots];
  int fifo_[kReadSlots] = {};
  int fifo_head_ = 0;
  int fifo_size_ = 0;
  std::atomic<bool> exhausted_{false};
};

}  // namespace netward
