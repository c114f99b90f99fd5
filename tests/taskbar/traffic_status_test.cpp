#include "taskbar/traffic_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace netward {
namespace {

constexpr uint32_t kNow = 0x66000000;  // some second of 2024

// Counters of the previous second; each case says which ones rose.
constexpr TrafficCounters kBefore = {1000.0f, 10, 4, 1, 2000.0f, 20, 8, 2};

enum Rise : unsigned {
  kOwn = 1, kOwnGroup = 2, kOwnEvent = 4, kOther = 8, kOtherGroup = 16, kOtherEvent = 32,
};

TrafficCounters Risen(unsigned rises) {
  TrafficCounters c = kBefore;
  if (rises & kOwn) c.OwnFrames += 1;
  if (rises & kOwnGroup) c.OwnGroupFrames += 1;
  if (rises & kOwnEvent) c.OwnEventFrames += 1;
  if (rises & kOther) c.OtherFrames += 1;
  if (rises & kOtherGroup) c.OtherGroupFrames += 1;
  if (rises & kOtherEvent) c.OtherEventFrames += 1;
  return c;
}

struct StatusCase {
  const char* name;
  unsigned rises;
  TrafficTimes times;  // LastOtherTime, LastOwnGroupTime, LastOwnUnicastTime, LastOtherUnicastTime
  bool broadcast_icon;
  uint32_t code;
};

constexpr TrafficTimes kRecent = {kNow - 1, kNow - 5, kNow - 10, kNow - 10};

TEST(TrafficStatus, FirstMatchingRuleWins) {
  const StatusCase cases[] = {
      {"own error beats a broadcast sent in the same second", kOwnEvent | kOwnGroup | kOwn, kRecent, false, 1},
      {"error on a received frame", kOtherEvent | kOwnGroup | kOther, kRecent, false, 2},
      {"broadcast sent beats unicast", kOwnGroup | kOther | kOwn | kOtherGroup, kRecent, false, 3},
      {"unicast received", kOther | kOwn | kOtherGroup, kRecent, true, 4},
      {"unicast sent only", kOwn, kRecent, false, 5},
      {"after a broadcast: own unicast in its second", 0, {kNow - 1, kNow - 5, kNow - 5, kNow - 10}, true, 6},
      {"after a broadcast: unicast received later", 0, {kNow - 1, kNow - 5, kNow - 9, kNow - 2}, true, 6},
      {"rule 6 before broadcasts received", kOtherGroup, {kNow - 1, kNow - 5, kNow - 5, 0}, true, 6},
      {"unicast older than the broadcast", 0, {kNow - 1, kNow - 5, kNow - 6, kNow - 6}, true, 8},
      {"unicast after a broadcast, icon not shown", 0, {kNow - 1, kNow - 5, kNow - 1, kNow - 1}, false, 8},
      // Signed: a broadcast time with the top bit set is "before" any small time.
      {"times compare signed", 0, {kNow - 1, 0x80000001u, 5, 0}, true, 6},
      {"broadcast received", kOtherGroup, kRecent, false, 7},
      {"nothing rose", 0, kRecent, false, 8},
      {"nothing from others since start", 0, {0, kNow - 5, kNow - 5, 0}, false, 9},
      {"nothing from others for 63 s", 0, {kNow - 63, 0, 0, 0}, false, 10},
      {"exactly 62 s is not over the limit", 0, {kNow - 62, 0, 0, 0}, false, 8},
      {"last frame stamped after now (clock set back)", 0, {kNow + 100, 0, 0, 0}, false, 8},
      {"broadcast received long after silence", kOtherGroup, {kNow - 600, 0, 0, 0}, false, 7},
  };
  for (const StatusCase& c : cases)
    EXPECT_EQ(TrafficStatusCode(Risen(c.rises), kBefore, c.times, kNow, c.broadcast_icon), c.code) << c.name;
}

TEST(TrafficStatus, CountersCompareUnsignedAndBytesDoNotCount) {
  TrafficCounters before = kBefore, now = kBefore;
  before.OwnEventFrames = 0xFFFFFFFF;  // wrapped to 0: not a rise
  now.OwnEventFrames = 0;
  now.OwnBytes += 64.0f;
  EXPECT_EQ(TrafficStatusCode(now, before, kRecent, kNow, false), 8u);
  before.OwnEventFrames = 0x7FFFFFFF;
  now.OwnEventFrames = 0x80000000;
  EXPECT_EQ(TrafficStatusCode(now, before, kRecent, kNow, false), 1u);
}

TEST(TrafficStatus, Tooltip) {
  std::unique_ptr<GlobalArea, void (*)(GlobalArea*)> g(AllocateGlobalArea(), FreeGlobalArea);
  char tip[kTooltipBytes];
  g->HostName.Set("PC-LAB-07");
  g->AddressText.Set("192.168.1.20");
  FormatTooltip(*g, tip);
  EXPECT_STREQ(tip, "NETWARD - PC-LAB-07  192.168.1.20");
  // The longest host name and address fill the 64 bytes exactly.
  g->HostName.Set("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
  g->AddressText.Set("255.255.255.255 (2)");
  FormatTooltip(*g, tip);
  EXPECT_EQ(strlen(tip), 63u);
  EXPECT_STREQ(tip + 42, "  255.255.255.255 (2)");
}

}  // namespace
}  // namespace netward
