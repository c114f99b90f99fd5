// Test helpers: a fixture that does the capture thread's per-frame work around the accounting
// entry points, fed with frames of the shared builder.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "accounting/accounting.h"
#include "accounting/stations.h"
#include "common/frame_builder.h"

namespace netward::test {

// One adapter with its GlobalArea, fed frame by frame as the capture thread does.
class Adapter {
 public:
  explicit Adapter(const Mac& own = kOwnMac, int media = 0, bool wan = false) {
    if (Global() == nullptr) g_global_area.store(AllocateGlobalArea());
    global_ = Global();
    nic_ = AllocateNicArea();
    nic_->Global = global_;  // counts into it without being listed there: the adapter is freed here
    nic_->MediaType = media;
    nic_->IsWan = wan ? 1 : 0;
    if (!wan) memcpy(nic_->OwnAddress, own.data(), 6);
  }
  ~Adapter() { delete nic_; }
  NicArea& nic() { return *nic_; }
  GlobalArea& global() { return *global_; }

  // The capture thread's steps 3-5 and the detail-log decision; returns the recent-frame entry.
  const FrameEntry& Feed(const std::vector<uint8_t>& bytes, uint32_t time, int64_t wire_length = -1) {
    alignas(8) uint8_t buffer[kFrameDataBytes] = {};
    memcpy(buffer, bytes.data(), bytes.size() < sizeof buffer ? bytes.size() : sizeof buffer);
    const uint32_t k = nic_->FramesRead;
    RelaxedStore(nic_->FramesRead, k + 1);
    RelaxedStore(nic_->FrameIndex, k % kRecentFrames);
    RelaxedStore(nic_->FrameTime, time);
    RelaxedStore(nic_->FrameLength, wire_length >= 0 ? uint32_t(wire_length) : uint32_t(bytes.size()));
    nic_->NetbiosName.Clear();
    nic_->IpHeader = nullptr;
    nic_->IsGroupFrame = nic_->FromSelf = 0;
    const uint32_t seq = global_->FrameSequence.fetch_add(1) + 1;
    // The entry is shared with readers: written as the capture thread writes it.
    FrameEntry& e = nic_->RecentFrames[nic_->FrameIndex];
    BeginSlotRewrite(e);
    RelaxedStore(e.Time, time);
    RelaxedStore(e.Sequence, seq);
    RelaxedStore(e.Length, nic_->FrameLength);
    e.SrcLabel.Clear();
    e.ProtoLabel.Clear();
    RelaxedStore(e.Station, static_cast<StationRecord*>(nullptr));
    RelaxedStore(e.Direction, uint32_t{0});
    RelaxedStore(e.Event, uint32_t{0});
    SharedCopyIn(e.Data, buffer, sizeof buffer);
    (nic_->MediaType == 1 ? AccountTokenRingFrame : AccountEthernetFrame)(nic_, buffer);
    if (e.Event != kEventNone) RelaxedStore(nic_->EventCount, nic_->EventCount + 1);
    EndSlotRewrite(e);
    return e;
  }
  StationRecord* Station(const char* addr, const char* proto) {
    for (int i = 0; i < nic_->StationCount; ++i)
      if (strcmp(nic_->Stations[i].AddressLabel.bytes, addr) == 0 &&
          strcmp(nic_->Stations[i].ProtocolLabel.bytes, proto) == 0)
        return &nic_->Stations[i];
    return nullptr;
  }

 private:
  GlobalArea* global_;
  NicArea* nic_;
};

// A fresh GlobalArea for each test, so totals start at zero.
class AccountingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreeGlobalArea(g_global_area.exchange(nullptr));
    g_global_area.store(AllocateGlobalArea());
  }
  void TearDown() override { FreeGlobalArea(g_global_area.exchange(nullptr)); }
};

}  // namespace netward::test
