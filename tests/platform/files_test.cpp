#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/clock.h"
#include "platform/event.h"

using namespace netward::platform;

TEST(MatchPattern, BehavesLikeAFileSearch) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.TE*", "20261204.TET", true},  {"*.TE*", "20261204.tes", true}, {"*.TE*", "notes.txt", false},
      {"*.TE*", "A.TE", true},          {"*", "", true},                 {"?", "", false},
      {"a*b*c", "aXbYbZc", true},       {"a*b*c", "aXbYbZ", false},      {"*.*", "noext", false},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(Files, ListAppendAndRead) {
  std::string dir = std::string(testing::TempDir()) + "/files_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  ASSERT_TRUE(AppendFile(dir + "/b.TET", "ab", 2));
  ASSERT_TRUE(AppendFile(dir + "/b.TET", "cd", 2));
  ASSERT_TRUE(AppendFile(dir + "/a.TES", "x", 1));
  mkdir((dir + "/dir.TET").c_str(), 0755);  // directories are not files
  EXPECT_EQ(ListDirectory(dir, "*.TE*"), (std::vector<std::string>{"a.TES", "b.TET"}));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadFile(dir + "/b.TET", bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abcd");
  EXPECT_FALSE(AppendFile(dir + "/missing/x", "x", 1));
  EXPECT_FALSE(ReadFile(dir + "/missing", bytes));
}

TEST(Clock, DayNamesAndTestClockWaits) {
  setenv("TZ", "UTC", 1);
  tzset();
  char day[9];
  DayName(LocalDateOf(1764806400u), day);  // 2025-12-04 00:00 UTC
  EXPECT_STREQ(day, "20251204");

  TestClock clock(1000);
  Event ev;
  EXPECT_FALSE(clock.Wait(ev, 0));
  std::thread t([&] { clock.AwaitWaiters(1, 5000); clock.Advance(600000); });
  EXPECT_FALSE(clock.Wait(ev, 600000)) << "a wait ends when the clock passes its deadline";
  t.join();
  EXPECT_EQ(clock.Now(), 1600u);
  std::thread s([&] { clock.AwaitWaiters(1, 5000); ev.Set(); });
  EXPECT_TRUE(clock.Wait(ev, 600000));
  s.join();
  char buf[8];
  EXPECT_EQ(read(ev.Fd(), buf, 8), 8) << "the event's descriptor is readable while it is set";
}
