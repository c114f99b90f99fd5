#include "platform/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/filling_disk.h"
#include "common/scratch.h"
#include "platform/clock.h"
#include "platform/event.h"

using namespace netward::platform;
using netward::testing_files::FillingDisk;
using netward::testing_scratch::ScratchDir;

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

namespace {

std::string Contents(const std::string& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadFile(path, bytes)) << path;
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(Files, ListAppendAndRead) {
  const ScratchDir dir;
  ASSERT_TRUE(AppendRecords(dir / "b.TET", "ab", 2, 2).ok);
  ASSERT_TRUE(AppendRecords(dir / "b.TET", "cd", 2, 2).ok);
  ASSERT_TRUE(AppendRecords(dir / "a.TES", "x", 1, 1).ok);
  mkdir((dir / "dir.TET").c_str(), 0755);  // directories are not files
  EXPECT_EQ(ListDirectory(dir.path, "*.TE*"), (std::vector<std::string>{"a.TES", "b.TET"}));
  EXPECT_EQ(Contents(dir / "b.TET"), "abcd");
  AppendResult r = AppendRecords(dir / "missing/x", "x", 1, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ENOENT);
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(ReadFile(dir / "missing", bytes));
}

// A write that stops half-way (a full disk) leaves the records it finished and nothing of the one it
// did not; once there is room again, every later record lands on a record boundary.
TEST(Files, AFailedAppendIsCutBackToItsLastWholeRecord) {
  const ScratchDir dir;
  const std::string path = dir / "day.TES";
  ASSERT_TRUE(AppendRecords(path, "AAAA", 4, 4).ok);
  FillingDisk full(10);  // two and a half records of the next three
  AppendResult r = AppendRecords(path, "BBBBCCCCDDDD", 12, 4, full);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ENOSPC);
  EXPECT_EQ(r.records_written, 2u);
  EXPECT_EQ(Contents(path), "AAAABBBBCCCC");
  FillingDisk none(0, EIO);
  EXPECT_FALSE(AppendRecords(path, "EEEE", 4, 4, none).ok);
  EXPECT_EQ(Contents(path), "AAAABBBBCCCC") << "a write that gets nothing in leaves the file as it was";
  // A layer whose writes return 0 (no progress, no error) is a full disk too, not an endless loop.
  struct Stuck : FileLayer {
    ssize_t Write(int, const void*, size_t) override { return 0; }
  } stuck;
  EXPECT_EQ(AppendRecords(path, "FFFF", 4, 4, stuck).error, ENOSPC);
  ASSERT_TRUE(AppendRecords(path, "GGGGHHHH", 8, 4).ok);
  EXPECT_EQ(Contents(path), "AAAABBBBCCCCGGGGHHHH");
}

// A crash mid-write leaves a partial record; the next append cuts it off before writing, and so
// does TrimToWholeRecords at start-up.
TEST(Files, APartialLastRecordIsCutOffBeforeTheNextAppend) {
  const ScratchDir dir;
  std::ofstream(dir / "a", std::ios::binary) << "AAAABB";
  AppendResult r = AppendRecords(dir / "a", "CCCC", 4, 4);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.cut_before, 2u);
  EXPECT_EQ(Contents(dir / "a"), "AAAACCCC");

  std::ofstream(dir / "b", std::ios::binary) << "AAAABBB";
  EXPECT_EQ(TrimToWholeRecords(dir / "b", 4), 3u);
  EXPECT_EQ(Contents(dir / "b"), "AAAA");
  EXPECT_EQ(TrimToWholeRecords(dir / "b", 4), 0u);
  EXPECT_EQ(TrimToWholeRecords(dir / "missing", 4), 0u);
}

// Named pipes with nobody at the other end, devices and directories are refused at once, in words,
// by every reader and by the append.
TEST(Files, OnlyRegularFilesAreOpenedAndNothingWaits) {
  const ScratchDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir / "zero").c_str()), 0);
  ASSERT_EQ(symlink("pipe", (dir / "to-pipe").c_str()), 0);
  std::ofstream(dir / "plain") << "12345";
  ASSERT_EQ(symlink("plain", (dir / "to-plain").c_str()), 0);
  struct Case {
    const char* name;
    const char* words;
  } cases[] = {{"pipe", "a named pipe, not a regular file"},
               {"to-pipe", "a named pipe, not a regular file"},
               {"zero", "a character device, not a regular file"},
               {".", "a directory, not a regular file"},
               {"nothing", "No such file or directory"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    std::string why;
    EXPECT_EQ(OpenRegularFile(path, O_RDONLY, why), -1);
    EXPECT_EQ(why, c.words);
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(ReadRegularFile(path, 1 << 20, bytes, why));
    EXPECT_TRUE(bytes.empty());
    RecordFileReader reader(path, 4);
    EXPECT_FALSE(reader.opened());
    EXPECT_EQ(reader.Next(), nullptr);
    if (strcmp(c.name, "nothing") != 0) {
      AppendResult r = AppendRecords(path, "AAAA", 4, 4);
      EXPECT_FALSE(r.ok);
    }
  }
  std::string why;
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadRegularFile(dir / "to-plain", 5, bytes, why)) << "a link to a regular file is fine";
  EXPECT_FALSE(ReadRegularFile(dir / "plain", 4, bytes, why));
  EXPECT_EQ(why, "larger than 4 bytes");
}

// Records come back whole across the reader's buffer boundaries; a cut-off tail is counted, not
// returned.
TEST(Files, RecordReaderWalksAFileInPieces) {
  const ScratchDir dir;
  const std::string path = dir / "r";
  constexpr size_t kSize = 166;
  constexpr size_t kCount = 1000;  // about 166 kB: several reads
  {
    std::ofstream f(path, std::ios::binary);
    for (size_t i = 0; i < kCount; ++i) {
      std::string rec(kSize, static_cast<char>('a' + i % 26));
      memcpy(rec.data(), &i, sizeof i);
      f << rec;
    }
    f << "tail";
  }
  RecordFileReader reader(path, kSize);
  ASSERT_TRUE(reader.opened());
  EXPECT_EQ(reader.RecordsAtOpen(), kCount);
  size_t n = 0;
  while (const uint8_t* rec = reader.Next()) {
    size_t i;
    memcpy(&i, rec, sizeof i);
    ASSERT_EQ(i, n);
    ASSERT_EQ(rec[kSize - 1], 'a' + n % 26);
    ++n;
  }
  EXPECT_EQ(n, kCount);
  EXPECT_EQ(reader.trailing_bytes(), 4u);
  EXPECT_EQ(reader.Next(), nullptr);
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

TEST(AtomicFile, ReplacesTheFileWholeKeepsItsModeAndLeavesNothingBehindOnFailure) {
  const ScratchDir dir;
  const std::string path = dir / "settings.reg";
  auto contents = [](const std::string& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto entries = [&dir] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path)) ++n;
    return n;
  };
  std::string why;
  ASSERT_TRUE(ReplaceFile(path, "first", why, 0600)) << why;
  ASSERT_TRUE(ReplaceFile(path, "second", why)) << why;
  EXPECT_EQ(contents(path), "second");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "an existing file keeps its mode";

  {
    AtomicFile dropped;
    ASSERT_TRUE(dropped.Open(path));
    dropped.Write("third", 5);
  }
  EXPECT_EQ(contents(path), "second") << "a file never committed changes nothing";
  EXPECT_EQ(entries(), 1u) << "and leaves no temporary file";

  EXPECT_FALSE(ReplaceFile(dir / "missing/settings.reg", "x", why));
  EXPECT_NE(why.find(dir / "missing/settings.reg"), std::string::npos) << why;
  EXPECT_EQ(entries(), 1u);
}
