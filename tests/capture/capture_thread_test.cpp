// Capture thread against the scripted driver: set-up failures, filters, the rings and the read
// protocol.
#include <gtest/gtest.h>

#include <numeric>

#include "capture/scripted_driver.h"
#include "capture_test_util.h"

using namespace netward;

namespace {

// Test frames carry the event code the accounting stand-in raises in byte 0 and their number in
// bytes 2-5.
void EventFromByteZero(NicArea* nic, const uint8_t* frame) {
  RelaxedStore(nic->RecentFrames[nic->FrameIndex].Event, uint32_t{frame[0]});
}

std::vector<uint8_t> TestFrame(uint32_t number, uint8_t event = 0, size_t size = 64) {
  std::vector<uint8_t> f(size);
  for (size_t i = 0; i < size; ++i) f[i] = static_cast<uint8_t>(i * 7 + number);
  f[0] = event;
  memcpy(&f[2], &number, 4);
  return f;
}

// Read as the product's readers do: the capture thread may be rewriting the entry.
uint32_t NumberOf(const FrameEntry& e) {
  uint32_t n;
  SharedCopyOut(&n, &e.Data[2], 4);
  return n;
}

struct SetUpCase {
  const char* name;
  std::function<void(ScriptedDriver::Script&)> script;
  bool promiscuous;
  const char* text;        // expected console text or message box
  bool boxed;              // `text` is a message box
  bool thread_ends;        // the thread ends by itself
  int common_stops;
  std::vector<uint32_t> filters;  // filters set before the thread is stopped
};

TEST(CaptureThread, SetUpStepsAndTheirFailures) {
  const SetUpCase cases[] = {
      {"open", [](auto& s) { s.fail_open = true; }, false, kTextOpenFailed, false, true, 0, {}},
      {"media", [](auto& s) { s.fail_media_query = true; }, false, kTextMediaFailed, false, true, 1, {0}},
      {"fddi", [](auto& s) { s.media = 2; }, false, kTextUnsupportedMedia, false, true, 1, {0}},
      {"address", [](auto& s) { s.fail_address_query = true; }, false, kTextAddressFailed, false, true, 1, {0}},
      {"read object", [](auto& s) { s.fail_allocate_slot = 7; }, false, kTextAllocatePacketFailed, false, true, 1,
       {0}},
      {"normal filter", [](auto& s) { s.failing_filters = {0x8B}; }, false, kTextSetFilterFailed, false, true, 1,
       {0, 0x8B}},
      {"promiscuous", [](auto& s) { s.failing_filters = {0x20}; }, true, kTextPromiscuousFailed, false, false, 0,
       {0, 0x20, 0x8B}},
      {"initial read", [](auto& s) { s.failing_starts = {3}; }, false, kTextInitialReadFailed, true, false, 0,
       {0, 0x8B}},
      {"promiscuous ok", [](auto&) {}, true, kTextPromiscuousOk, false, false, 0, {0, 0x20}},
      {"wan", [](auto& s) { s.wan = true; }, false, kTextWanAdapter, false, false, 0, {0, 0x20}},
      {"token ring", [](auto& s) { s.media = 1; }, false, "", false, false, 0, {0, 0x4089}},
  };
  for (const SetUpCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    c.script(driver.script);
    CaptureRun run;
    run.Start(driver, c.promiscuous);
    if (c.thread_ends) {
      ASSERT_TRUE(run.Join(5000));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return driver.Filters().size() >= c.filters.size(); }));
    }
    EXPECT_EQ(driver.Filters(), c.filters);
    EXPECT_EQ(run.common_stops(), c.common_stops);
    if (c.boxed) {
      ASSERT_EQ(run.out().Boxes().size(), 1u);
      EXPECT_EQ(run.out().Boxes()[0], std::make_pair(std::string(c.text), std::string(kCaptionCaptureDebug)));
    } else {
      EXPECT_NE(run.out().Text().find(c.text), std::string::npos) << run.out().Text();
    }
    if (driver.script.wan) {  // a WAN adapter forgets its address
      ASSERT_TRUE(WaitUntil([&] { return driver.PendingReads() == kReadSlots; }));
      const uint8_t zero[6] = {};
      EXPECT_EQ(run.nic()->IsWan, 1);
      EXPECT_EQ(memcmp(run.nic()->OwnAddress, zero, 6), 0);
    }
    if (!c.thread_ends) {
      run.Stop();
      EXPECT_EQ(driver.Filters().back(), 0u);  // off again at the end
      EXPECT_EQ(driver.Closes(), 1);
      EXPECT_EQ(driver.FreedReadObjects(), kReadSlots);
    }
    // Every way out closes the adapter; the closed handle stays readable through `Driver`.
    run.Stop();
    const bool opened = !driver.script.fail_open;
    EXPECT_EQ(driver.Closes(), opened ? 1 : 0);
    PacketDriverHandle* kept = run.nic()->Driver.load();
    ASSERT_EQ(kept != nullptr, opened);
    uint32_t media = 99;
    if (kept && !driver.script.fail_media_query) {
      EXPECT_TRUE(kept->QueryOid(kOidGenMediaInUse, &media, 4));
      EXPECT_EQ(media, driver.script.media);
    }
  }
}

TEST(CaptureThread, AReaderOfTheHandleRacesTheThreadsEndSafely) {
  // Status readers look the handle up at any moment; ASan/TSan builds catch a freed or raced handle.
  for (int round = 0; round < 20; ++round) {
    ScriptedDriver driver;
    CaptureRun run;
    std::atomic<bool> done{false};
    std::atomic<int> answers{0};
    std::thread reader([&] {
      while (!done.load()) {
        uint32_t media = 0;
        PacketDriverHandle* h = run.nic()->Driver.load(std::memory_order_acquire);
        if (h && h->QueryOid(kOidGenMediaInUse, &media, 4) && media == kMedium8023) ++answers;
      }
    });
    run.Start(driver);
    if (round % 2) {
      ASSERT_TRUE(WaitUntil([&] { return answers.load() > 0; }));
    }
    run.Stop();
    done = true;
    reader.join();
    EXPECT_EQ(driver.Closes(), 1);
  }
}

TEST(CaptureThread, RingsWrapAndEventFramesAreLogged) {
  ScriptedDriver driver;
  CaptureRun run;
  run.Start(driver, false, u"\\Device\\TapEye_test", EventFromByteZero);
  // 301 frames; every third one (0, 3, ..., 300) raises event 4, so there are 101 events.
  for (uint32_t k = 0; k <= 300; ++k) {
    const bool long_frame = k == 5;
    driver.Push(TestFrame(k, k % 3 == 0 ? 4 : 0, long_frame ? 300 : 64), long_frame ? 1000 : 64, 5000 + k);
  }
  ASSERT_TRUE(WaitUntil([&] { return run.FramesRead() == 301; }));
  run.Stop();
  NicArea* nic = run.nic();
  const uint32_t base_sequence = Global()->FrameSequence.load() - 301;

  EXPECT_EQ(NumberOf(nic->RecentFrames[0]), 300u);  // frame 301 took entry 0
  EXPECT_EQ(nic->RecentFrames[0].Sequence, base_sequence + 301);
  EXPECT_EQ(nic->RecentFrames[0].Time, 5300u);
  EXPECT_EQ(NumberOf(nic->RecentFrames[1]), 1u);
  EXPECT_EQ(nic->RecentFrames[1].Sequence, base_sequence + 2);
  EXPECT_EQ(nic->RecentFrames[299].Time, 5299u);

  const FrameEntry& longest = nic->RecentFrames[5];
  EXPECT_EQ(longest.Length, 1000u);
  std::vector<uint8_t> expect = TestFrame(5, 0, 300);
  EXPECT_EQ(memcmp(longest.Data, expect.data(), kFrameDataBytes), 0);
  EXPECT_EQ(nic->RecentFrames[6].Length, 64u);
  EXPECT_EQ(nic->RecentFrames[6].Data[64], 0);  // rest of a short frame is zero

  EXPECT_EQ(nic->EventCount, 101u);
  EXPECT_EQ(NumberOf(nic->EventLog[0]), 300u);  // the 101st event overwrote the first
  EXPECT_EQ(NumberOf(nic->EventLog[1]), 3u);
  EXPECT_EQ(nic->EventLog[1].Event, 4u);
  EXPECT_EQ(nic->EventLog[1].Sequence, base_sequence + 4);
  for (int kind = 0; kind < kEventKinds; ++kind) EXPECT_EQ(nic->EventsByKind[kind], kind == 4 ? 101u : 0u) << kind;
  for (int i = 0; i < kRecentFrames; ++i) ASSERT_EQ(nic->RecentFrames[i].Complete.load(), 1) << i;
  for (int i = 0; i < kEventLogEntries; ++i) ASSERT_EQ(nic->EventLog[i].Complete.load(), 1) << i;
  EXPECT_EQ(nic->FrameIndex, 301u % kRecentFrames);
}

TEST(CaptureThread, ReadsAreTakenInSlotOrderEvenWhenALaterOneCompletesFirst) {
  ScriptedDriver driver;
  CaptureRun run;
  run.Start(driver);
  ASSERT_TRUE(WaitUntil([&] { return driver.PendingReads() == kReadSlots && driver.Filters().size() == 2; }));
  ASSERT_TRUE(driver.CompleteSlot(1, TestFrame(11), 64, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(run.FramesRead(), 0u);  // still waiting for slot 0
  ASSERT_TRUE(driver.CompleteSlot(0, TestFrame(10), 64, 1));
  ASSERT_TRUE(WaitUntil([&] { return run.FramesRead() == 2; }));
  EXPECT_EQ(NumberOf(run.nic()->RecentFrames[0]), 10u);
  EXPECT_EQ(NumberOf(run.nic()->RecentFrames[1]), 11u);
  std::vector<int> expect(kReadSlots);
  std::iota(expect.begin(), expect.end(), 0);
  expect.insert(expect.end(), {0, 1});  // the two restarts
  EXPECT_EQ(driver.StartedSlots(), expect);
}

TEST(CaptureThread, StopWhileAllReadsArePendingEndsAtOnce) {
  ScriptedDriver driver;
  CaptureRun run;
  run.Start(driver);
  ASSERT_TRUE(WaitUntil([&] { return driver.PendingReads() == kReadSlots && driver.Filters().size() == 2; }));
  auto t0 = std::chrono::steady_clock::now();
  run.stop().Set();
  ASSERT_TRUE(run.Join(1000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
  EXPECT_EQ(run.common_stops(), 0);
  EXPECT_EQ(driver.Filters(), (std::vector<uint32_t>{0, 0x8B, 0}));
  EXPECT_EQ(driver.Closes(), 1);
}

TEST(CaptureThread, AFailedRestartLeavesItsSlotIdleUntilStop) {
  ScriptedDriver driver;
  driver.script.failing_starts = {kReadSlots};  // the first restart (slot 0)
  CaptureRun run;
  run.Start(driver);
  for (uint32_t k = 0; k < 40; ++k) driver.Push(TestFrame(k), 64, 1);
  ASSERT_TRUE(WaitUntil([&] { return run.FramesRead() == kReadSlots; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(run.FramesRead(), uint32_t(kReadSlots));  // blocked on the idle slot 0
  ASSERT_EQ(run.out().Boxes().size(), 1u);
  EXPECT_EQ(run.out().Boxes()[0], std::make_pair(std::string(kTextRestartReadFailed), std::string(kCaptionCaptureDebug)));
  run.stop().Set();
  EXPECT_TRUE(run.Join(1000));
}

}  // namespace
