// An in-memory packet driver for tests: frames pushed by the test complete the started reads, any
// operation can be made to fail, and every call the capture thread makes is recorded.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "capture/packet_driver.h"

namespace netward {

class ScriptedDriver : public PacketDriver {
 public:
  // What the adapter answers and which operations fail. Set before the capture thread starts.
  struct Script {
    bool fail_open = false;
    bool fail_media_query = false;
    uint32_t media = kMedium8023;
    bool fail_address_query = false;
    uint8_t address[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a};
    bool wan = false;                      // answers the WAN permanent-address query
    std::set<uint32_t> failing_filters;    // filter values whose set fails
    int fail_allocate_slot = -1;           // read object that cannot be allocated
    std::set<int> failing_starts;          // StartRead calls (0-based, counted over all slots) that fail
    // Answers to any other OID query: the bytes given (the rest of the caller's area zeroed);
    // an OID listed in neither is not answered. A failing OID fails even when it has an answer.
    std::map<uint32_t, std::vector<uint8_t>> oid_answers;
    std::set<uint32_t> failing_oids;
    void Answer32(uint32_t oid, uint32_t value);
  };
  Script script;

  ScriptedDriver();
  ~ScriptedDriver() override;
  std::unique_ptr<PacketDriverHandle> Open(const char16_t* device_name) override;

  // A frame: completes the oldest pending read, or waits for the next read to start.
  void Push(const std::vector<uint8_t>& bytes, uint32_t wire_length, uint32_t time);
  // Completes the pending read of `slot` directly (out of start order); false when it is not pending.
  bool CompleteSlot(int slot, const std::vector<uint8_t>& bytes, uint32_t wire_length, uint32_t time);

  // Observations.
  std::vector<uint32_t> Filters() const;
  std::vector<int> StartedSlots() const;
  int PendingReads() const;
  int Opens() const;
  int Closes() const;
  int FreedReadObjects() const;
  // Frames pushed but not yet taken by a read.
  size_t Backlog() const;

 private:
  friend class ScriptedHandle;
  struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t wire_length;
    uint32_t time;
  };
  using Read = ReadObjectState;
  void CompleteLocked(int slot, const Frame& f);
  void Wake();

  mutable std::mutex mu_;
  int wake_fd_ = -1;  // eventfd: readable when a read has completed
  Read reads_[kReadSlots];
  std::vector<int> fifo_;
  std::vector<Frame> backlog_;
  std::vector<uint32_t> filters_;
  std::vector<int> started_;
  int start_calls_ = 0;
  int opens_ = 0;
  int closes_ = 0;
  int freed_ = 0;
};

}  // namespace netward
