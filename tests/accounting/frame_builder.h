// Test helpers: a small frame builder and a fixture that does the capture thread's per-frame work
// around the accounting entry points.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "accounting/accounting.h"
#include "accounting/stations.h"

namespace netward::test {

using Mac = std::array<uint8_t, 6>;
using Ip4 = std::array<uint8_t, 4>;

inline constexpr Mac kOwnMac = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0A};
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline Mac MacN(uint8_t n) { return {0x02, 0x00, 0x00, 0x00, 0x00, n}; }
inline Ip4 IpN(uint8_t n) { return {10, 1, 0, n}; }

// Appends big-endian fields; finished frames are padded to the 60-byte minimum.
class Frame {
 public:
  Frame& U8(uint8_t v) { b_.push_back(v); return *this; }
  Frame& U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
  Frame& U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
  template <size_t N>
  Frame& Bytes(const std::array<uint8_t, N>& a) { b_.insert(b_.end(), a.begin(), a.end()); return *this; }
  Frame& Bytes(std::initializer_list<uint8_t> l) { b_.insert(b_.end(), l); return *this; }
  Frame& Zeros(size_t n) { b_.resize(b_.size() + n); return *this; }
  Frame& Eth(const Mac& dst, const Mac& src, uint16_t type) { return Bytes(dst).Bytes(src).U16(type); }
  // IPv4 header of 20 bytes; total length = 20 + `payload`.
  Frame& Ip(const Ip4& src, const Ip4& dst, uint8_t proto, uint16_t payload, uint16_t frag = 0) {
    return U8(0x45).U8(0).U16(uint16_t(20 + payload)).U16(1).U16(frag).U8(64).U8(proto).U16(0).Bytes(src).Bytes(dst);
  }
  Frame& Tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint8_t flags, uint16_t data = 0) {
    U16(sport).U16(dport).U32(seq).U32(0).U8(0x50).U8(flags).U16(8192).U32(0);
    return Zeros(data);
  }
  Frame& Udp(uint16_t sport, uint16_t dport, uint16_t len) { return U16(sport).U16(dport).U16(len).U16(0); }
  Frame& Arp(uint16_t op, const Mac& sha, const Ip4& spa, const Mac& tha, const Ip4& tpa) {
    return U16(1).U16(0x0800).U8(6).U8(4).U16(op).Bytes(sha).Bytes(spa).Bytes(tha).Bytes(tpa);
  }
  Frame& Llc(uint8_t dsap, uint8_t ssap, uint8_t control) { return U8(dsap).U8(ssap).U8(control); }
  // Rewrites the 802.3 length field (bytes 12-13) to the bytes after the header.
  Frame& FixLength() {
    uint16_t n = uint16_t(b_.size() - 14);
    b_[12] = uint8_t(n >> 8);
    b_[13] = uint8_t(n);
    return *this;
  }
  std::vector<uint8_t> Done() const {
    std::vector<uint8_t> out = b_;
    if (out.size() < 60) out.resize(60);
    return out;
  }

 private:
  std::vector<uint8_t> b_;
};

// One adapter with its GlobalArea, fed frame by frame as the capture thread does.
class Adapter {
 public:
  explicit Adapter(const Mac& own = kOwnMac, int media = 0, bool wan = false) {
    if (Global() == nullptr) g_global_area.store(AllocateGlobalArea());
    global_ = Global();
    nic_ = AllocateNicArea();
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
