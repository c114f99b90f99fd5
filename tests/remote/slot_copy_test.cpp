// One writer rewrites a single ring slot without pause, the way a capture thread does (sequence and
// time first, labels cleared, data, then labels, station, direction and event), while readers copy
// it. Every copy a reader accepts must be one rewrite whole: all its fields carry the same number.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "remote/detail_records.h"

using namespace netward;

namespace {

constexpr int kReaders = 2;
constexpr int kWholeCopiesPerReader = 100000;
constexpr int kAttemptsPerReader = 20000000;  // bounds the run should the writer starve the readers

template <typename Entry>
void WriteNumbered(Entry& e, uint32_t i) {
  char label[16];
  snprintf(label, sizeof label, "%u", i);
  uint8_t data[kFrameDataBytes];
  memset(data, static_cast<int>(i & 0xFF), sizeof data);
  memcpy(data, &i, sizeof i);
  BeginSlotRewrite(e);
  RelaxedStore(e.Sequence, i);
  RelaxedStore(e.Time, i);
  e.SrcLabel.Clear();
  e.ProtoLabel.Clear();
  SharedCopyIn(e.Data, data, sizeof data);
  e.SrcLabel.Set(label);
  e.ProtoLabel.Set(label);
  RelaxedStore(e.Station, reinterpret_cast<StationRecord*>(uintptr_t{i} * 8));
  if constexpr (std::is_same_v<Entry, FrameEntry>) {
    RelaxedStore(e.Length, i);
    RelaxedStore(e.Direction, i);
    RelaxedStore(e.Event, i);
  } else {
    SharedCopyIn(e.DestIp, &i, 4);
  }
  EndSlotRewrite(e);
}

// Empty when the copy is one rewrite whole, else what disagrees with its sequence number.
template <typename Copy>
std::string Disagreement(const Copy& c) {
  const uint32_t i = c.sequence;
  char label[16];
  snprintf(label, sizeof label, "%u", i);
  uint32_t head;
  memcpy(&head, c.data, 4);
  std::string bad;
  if (c.time != i) bad += " time";
  if (strcmp(c.src_label, label) != 0 || strcmp(c.proto_label, label) != 0) bad += " labels";
  if (head != i || c.data[kFrameDataBytes - 1] != (i & 0xFF)) bad += " data";
  if (reinterpret_cast<uintptr_t>(c.station) != uintptr_t{i} * 8) bad += " station";
  if constexpr (std::is_same_v<Copy, SlotCopy>) {
    if (c.length != i || c.direction != i || c.event != i) bad += " counts";
  } else {
    uint32_t dest;
    memcpy(&dest, c.dest_ip, 4);
    if (dest != i) bad += " destination";
  }
  return bad;
}

template <typename Entry, typename Copy, typename CopyFn>
void HammerOneSlot(CopyFn copy_slot) {
  auto entry = std::make_unique<Entry>();
  WriteNumbered(*entry, 1);
  std::atomic<bool> done{false};
  std::atomic<uint32_t> rewrites{0};
  std::thread writer([&] {
    for (uint32_t i = 2; !done.load(std::memory_order_relaxed); ++i) {
      WriteNumbered(*entry, i);
      rewrites.store(i, std::memory_order_relaxed);
    }
  });
  while (rewrites.load() < 1000) std::this_thread::yield();
  std::atomic<int> accepted{0};
  std::vector<std::string> faults(kReaders);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      int whole = 0;
      for (int k = 0; k < kAttemptsPerReader && whole < kWholeCopiesPerReader && faults[r].empty(); ++k) {
        Copy c;
        if (!copy_slot(*entry, c)) continue;
        ++whole;
        accepted.fetch_add(1, std::memory_order_relaxed);
        std::string bad = Disagreement(c);
        if (!bad.empty()) faults[r] = "sequence " + std::to_string(c.sequence) + ":" + bad;
      }
    });
  }
  for (auto& t : readers) t.join();
  done = true;
  writer.join();
  for (const std::string& f : faults) EXPECT_EQ(f, "") << "a torn copy was accepted";
  EXPECT_GT(accepted.load(), 0);
  EXPECT_GT(rewrites.load(), 1000u);
}

TEST(SlotCopy, RecentFrameCopiesAreWholeWhileTheSlotIsRewritten) {
  HammerOneSlot<FrameEntry, SlotCopy>([](const FrameEntry& e, SlotCopy& c) { return CopySlot(e, c); });
}

TEST(SlotCopy, GroupFrameCopiesAreWholeWhileTheSlotIsRewritten) {
  HammerOneSlot<GroupFrameEntry, GroupSlotCopy>(
      [](const GroupFrameEntry& e, GroupSlotCopy& c) { return CopyGroupSlot(e, c); });
}

TEST(SlotCopy, SlotsNotCompleteOrBeingRewrittenAreRefused) {
  auto e = std::make_unique<FrameEntry>();
  SlotCopy c;
  EXPECT_FALSE(CopySlot(*e, c)) << "a slot never written";
  WriteNumbered(*e, 7);
  ASSERT_TRUE(CopySlot(*e, c));
  EXPECT_EQ(Disagreement(c), "");
  BeginSlotRewrite(*e);
  EXPECT_FALSE(CopySlot(*e, c)) << "a slot in the middle of its rewrite";
  EndSlotRewrite(*e);
  EXPECT_TRUE(CopySlot(*e, c));
  e->Complete.store(0);
  EXPECT_FALSE(CopySlot(*e, c)) << "a slot marked not complete";
}

}  // namespace
