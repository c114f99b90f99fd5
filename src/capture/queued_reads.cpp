#include "capture/queued_reads.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace netward {

bool QueuedReadHandle::AllocateReadObject(int slot) {
  if (slot < 0 || slot >= kReadSlots) return false;
  reads_[slot] = ReadObject{};
  reads_[slot].allocated = true;
  return true;
}

void QueuedReadHandle::FreeReadObject(int slot) {
  if (slot < 0 || slot >= kReadSlots) return;
  reads_[slot].allocated = false;
}

bool QueuedReadHandle::StartRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* byte_count) {
  if (slot < 0 || slot >= kReadSlots) return false;
  ReadObject& r = reads_[slot];
  if (!r.allocated || r.pending || buffer == nullptr || byte_count == nullptr || fifo_size_ == kReadSlots)
    return false;
  r.buffer = buffer;
  r.length = length;
  r.byte_count = byte_count;
  r.pending = true;
  r.completed = false;
  const int tail = fifo_head_ + fifo_size_;
  fifo_[tail < kReadSlots ? tail : tail - kReadSlots] = slot;
  ++fifo_size_;
  return true;
}

void QueuedReadHandle::Deliver(const FrameRef& frame) {
  if (fifo_size_ == 0 || Filter() == kFilterOff || !Accepts(frame)) return;
  ReadObject& r = reads_[fifo_[fifo_head_]];
  fifo_head_ = fifo_head_ + 1 == kReadSlots ? 0 : fifo_head_ + 1;
  --fifo_size_;
  const uint32_t n = frame.captured < r.length ? frame.captured : r.length;
  memcpy(r.buffer, frame.data, n);
  if (n < r.length) memset(r.buffer + n, 0, r.length - n);
  *r.byte_count = frame.wire_length;
  r.time = frame.time;
  r.pending = false;
  r.completed = true;
}

bool QueuedReadHandle::WaitFds(int stop_fd, int fd, int timeout_ms) {
  pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, POLLIN, 0}};
  int n = fd >= 0 ? 2 : 1;
  while (poll(fds, n, timeout_ms) < 0 && errno == EINTR) {
  }
  return (fds[0].revents & POLLIN) != 0;
}

WaitResult QueuedReadHandle::WaitRead(int slot, const platform::Event& stop) {
  const bool valid = slot >= 0 && slot < kReadSlots;
  while (true) {
    // Looked at before every frame (one atomic load): a stop request wins over a busy adapter.
    if (stop.IsSet()) return WaitResult::kStopped;
    if (valid && reads_[slot].completed) return WaitResult::kCompleted;
    if (!valid || fifo_size_ == 0 || !reads_[slot].pending) {
      // Nothing can complete this read: only the stop request ends the wait.
      while (!WaitFds(stop.Fd(), -1, -1)) {
      }
      return WaitResult::kStopped;
    }
    int fd = -1;
    int timeout_ms = -1;
    switch (PullFrames(fifo_size_, fd, timeout_ms)) {
      case Pull::kFrame:
        break;
      case Pull::kWait:
        if (WaitFds(stop.Fd(), fd, timeout_ms)) return WaitResult::kStopped;
        break;
      case Pull::kEnd:
        exhausted_.store(true, std::memory_order_release);
        while (!WaitFds(stop.Fd(), -1, -1)) {
        }
        return WaitResult::kStopped;
    }
  }
}

uint32_t QueuedReadHandle::FinishRead(int slot, uint32_t* time) {
  if (slot < 0 || slot >= kReadSlots || !reads_[slot].completed) return 0;
  ReadObject& r = reads_[slot];
  r.completed = false;
  if (time) *time = r.time;
  return *r.byte_count;
}

}  // namespace netward
