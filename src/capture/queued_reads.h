// Read objects of an adapter whose frames come from a pull source (a packet socket's ring, a capture
// file): started reads wait in a FIFO and each delivered frame completes the oldest one. Frames are
// pulled only while the capture thread waits, and then as many at once as reads are pending (up to
// 15 per pull), so nothing is buffered beyond what the source itself holds.
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
  // Hands up to `max` frames of the source, in order, to Deliver. kFrame: at least one was handed
  // over. kWait: nothing now; wait for `wait_fd` (-1: none) to become readable or `timeout_ms` (-1: no
  // limit) to pass. kEnd: the source has no more frames (returned only by a pull that handed over
  // none, so that the frames of the last batch are all read first).
  virtual Pull PullFrames(int max, int& wait_fd, int& timeout_ms) = 0;
  // Whether the packet filter in force passes the frame (never called with the filter off).
  virtual bool Accepts(const FrameRef& frame) const = 0;
  // Completes the oldest pending read with the frame when the filter passes it: its first bytes,
  // then zeros to the read's length, so the capture thread never sees an earlier frame's tail.
  void Deliver(const FrameRef& frame);

  uint32_t Filter() const { return filter_.load(std::memory_order_relaxed); }
  void StoreFilter(uint32_t f) { filter_.store(f, std::memory_order_relaxed); }

 private:
  using ReadObject = ReadObjectState;
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
