#include "capture/scripted_driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace netward {

class ScriptedHandle : public PacketDriverHandle {
 public:
  explicit ScriptedHandle(ScriptedDriver& d) : d_(d) {}
  // A closed handle may outlive the driver's own members (the base class frees it last).
  ~ScriptedHandle() override {
    if (!closed_) Close();
  }
  void Close() override {
    MarkClosed();
    std::lock_guard<std::mutex> lock(d_.mu_);
    closed_ = true;
    ++d_.closes_;
    for (auto& r : d_.reads_) r = ScriptedDriver::Read{};
    d_.fifo_.clear();
  }

  bool QueryOid(uint32_t oid, void* data, uint32_t length) override {
    const ScriptedDriver::Script& s = d_.script;
    if (s.failing_oids.count(oid)) return false;
    if (auto it = s.oid_answers.find(oid); it != s.oid_answers.end()) {
      memset(data, 0, length);
      memcpy(data, it->second.data(), std::min<size_t>(length, it->second.size()));
      return true;
    }
    switch (oid) {
      case kOidGenMediaInUse:
        if (s.fail_media_query || length < 4) return false;
        memcpy(data, &s.media, 4);
        return true;
      case kOid8023CurrentAddress:
      case kOid8025CurrentAddress:
        if (s.fail_address_query || length < 6) return false;
        memcpy(data, s.address, 6);
        return true;
      case kOidWanPermanentAddress:
        if (!s.wan || length < 6) return false;
        memset(data, 0, 6);
        return true;
      default:
        return false;
    }
  }
  bool SetOid(uint32_t oid, const void* data, uint32_t length) override {
    if (oid != kOidGenCurrentPacketFilter || length < 4) return false;
    uint32_t f;
    memcpy(&f, data, 4);
    std::lock_guard<std::mutex> lock(d_.mu_);
    d_.filters_.push_back(f);
    return d_.script.failing_filters.count(f) == 0;
  }
  bool AllocateReadObject(int slot) override {
    if (slot < 0 || slot >= kReadSlots || slot == d_.script.fail_allocate_slot) return false;
    std::lock_guard<std::mutex> lock(d_.mu_);
    d_.reads_[slot] = ScriptedDriver::Read{};
    d_.reads_[slot].allocated = true;
    return true;
  }
  void FreeReadObject(int slot) override {
    std::lock_guard<std::mutex> lock(d_.mu_);
    if (slot < 0 || slot >= kReadSlots || !d_.reads_[slot].allocated) return;
    d_.reads_[slot].allocated = false;
    ++d_.freed_;
  }
  bool StartRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* byte_count) override {
    std::lock_guard<std::mutex> lock(d_.mu_);
    if (d_.script.failing_starts.count(d_.start_calls_++)) return false;
    if (slot < 0 || slot >= kReadSlots || !d_.reads_[slot].allocated) return false;
    ScriptedDriver::Read& r = d_.reads_[slot];
    r.buffer = buffer;
    r.length = length;
    r.byte_count = byte_count;
    r.pending = true;
    r.completed = false;
    d_.started_.push_back(slot);
    d_.fifo_.push_back(slot);
    if (!d_.backlog_.empty()) {
      ScriptedDriver::Frame f = std::move(d_.backlog_.front());
      d_.backlog_.erase(d_.backlog_.begin());
      d_.CompleteLocked(d_.fifo_.front(), f);
    }
    return true;
  }
  WaitResult WaitRead(int slot, const platform::Event& stop) override {
    while (true) {
      if (stop.IsSet()) return WaitResult::kStopped;
      {
        std::lock_guard<std::mutex> lock(d_.mu_);
        if (slot >= 0 && slot < kReadSlots && d_.reads_[slot].completed) return WaitResult::kCompleted;
      }
      pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {d_.wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return WaitResult::kStopped;
      if (fds[1].revents & POLLIN) {
        uint64_t v;
        (void)!read(d_.wake_fd_, &v, sizeof v);
      }
    }
  }
  uint32_t FinishRead(int slot, uint32_t* time) override {
    std::lock_guard<std::mutex> lock(d_.mu_);
    if (slot < 0 || slot >= kReadSlots || !d_.reads_[slot].completed) return 0;
    ScriptedDriver::Read& r = d_.reads_[slot];
    r.completed = false;
    if (time) *time = r.time;
    return *r.byte_count;
  }

 private:
  ScriptedDriver& d_;
  bool closed_ = false;
};

void ScriptedDriver::Script::Answer32(uint32_t oid, uint32_t value) {
  oid_answers[oid] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
}

ScriptedDriver::ScriptedDriver() : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
ScriptedDriver::~ScriptedDriver() {
  if (wake_fd_ >= 0) close(wake_fd_);
}

std::unique_ptr<PacketDriverHandle> ScriptedDriver::Open(const char16_t*) {
  if (script.fail_open) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  ++opens_;
  return std::make_unique<ScriptedHandle>(*this);
}

void ScriptedDriver::Wake() {
  uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
}

void ScriptedDriver::CompleteLocked(int slot, const Frame& f) {
  Read& r = reads_[slot];
  fifo_.erase(std::find(fifo_.begin(), fifo_.end(), slot));
  uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(f.bytes.size()), r.length);
  memcpy(r.buffer, f.bytes.data(), n);
  memset(r.buffer + n, 0, r.length - n);
  *r.byte_count = f.wire_length;
  r.time = f.time;
  r.pending = false;
  r.completed = true;
  Wake();
}

void ScriptedDriver::Push(const std::vector<uint8_t>& bytes, uint32_t wire_length, uint32_t time) {
  std::lock_guard<std::mutex> lock(mu_);
  Frame f{bytes, wire_length, time};
  if (fifo_.empty())
    backlog_.push_back(std::move(f));
  else
    CompleteLocked(fifo_.front(), f);
}

bool ScriptedDriver::CompleteSlot(int slot, const std::vector<uint8_t>& bytes, uint32_t wire_length, uint32_t time) {
  std::lock_guard<std::mutex> lock(mu_);
  if (slot < 0 || slot >= kReadSlots || !reads_[slot].pending) return false;
  CompleteLocked(slot, Frame{bytes, wire_length, time});
  return true;
}

std::vector<uint32_t> ScriptedDriver::Filters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return filters_;
}
std::vector<int> ScriptedDriver::StartedSlots() const {
  std::lock_guard<std::mutex> lock(mu_);
  return started_;
}
int ScriptedDriver::PendingReads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(fifo_.size());
}
int ScriptedDriver::Opens() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}
int ScriptedDriver::Closes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closes_;
}
int ScriptedDriver::FreedReadObjects() const {
  std::lock_guard<std::mutex> lock(mu_);
  return freed_;
}
size_t ScriptedDriver::Backlog() const {
  std::lock_guard<std::mutex> lock(mu_);
  return backlog_.size();
}

}  // namespace netward
