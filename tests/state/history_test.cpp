// History files: exact records on disk, readers that survive a cut-off last record, and where the
// statistics of a stop just after midnight go.
#include "common/filling_disk.h"
#include "common/hex.h"
#include "common/scratch.h"
#include "state/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "wire/byte_order.h"
#include "platform/files.h"

using namespace netward;
using netward::testing_hex::Hex;
namespace fs = std::filesystem;

namespace {

class HistoryTest : public testing::Test {
 protected:
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::vector<uint8_t> Bytes(const char* name) const {
    std::vector<uint8_t> b;
    platform::ReadFile(Path(name), b);
    return b;
  }
  testing_scratch::ScratchDir scratch_;
  const fs::path dir_ = scratch_.path;
};

TEST_F(HistoryTest, TraceRecordsAppendAsFortyLittleEndianBytes) {
  TraceRecord r;
  r.Time = 1796385600;    // 0x6B12AB40
  r.OwnBytes = 3000.0f;   // 0x453B8000
  r.OwnFrames = 2;
  r.OwnGroupFrames = 0x0100;
  r.OwnEventFrames = 0;
  r.OtherBytes = 64.0f;   // 0x42800000
  r.OtherFrames = 0xFFFFFFFF;
  r.OtherGroupFrames = 7;
  r.OtherEventFrames = 1;
  ASSERT_TRUE(AppendTraceRecord(Path("20261204.TET"), TraceRecord{}));
  ASSERT_TRUE(AppendTraceRecord(Path("20261204.TET"), r));
  const auto b = Bytes("20261204.TET");
  ASSERT_EQ(b.size(), 2 * kTraceRecordSize) << "appended, not rewritten";
  EXPECT_EQ(Hex(b, 0, 8), "5445542000000000");
  EXPECT_EQ(Hex(b, 40, 40), "54455420" "40ab126b" "00803b45" "02000000" "00010000" "00000000" "00008042"
                            "ffffffff" "07000000" "01000000");
}

TEST_F(HistoryTest, StatisticsRecordsInAdapterAndTableOrder) {
  GlobalArea* g = AllocateGlobalArea();
  g->Nics[0] = AllocateNicArea();
  g->Nics[1] = AllocateNicArea();
  g->NicCount = 2;
  RelaxedStore(g->Nics[0]->StationCount, 1);
  RelaxedStore(g->Nics[1]->StationCount, 2);
  StationRecord& s = g->Nics[1]->Stations[1];
  s.ConnectionChain = &g->Nics[1]->Connections[3];
  s.Nic = g->Nics[1];
  const uint8_t ip[4] = {192, 168, 1, 2};
  memcpy(s.IpAddress, ip, 4);
  s.AddressLabel.Set("020000000001");
  s.ProtocolLabel.Set("IP 192.168.1.2");
  s.Name.Set("PC2");
  s.LastSequence = 9;
  s.FirstSeen = 0x6B12A840;
  s.LastSeen = 0x6B12A841;
  s.BytesSent = 60.0f;       // 0x42700000
  s.FramesSent = 1;
  s.GroupFramesSent = 2;
  s.EventFramesSent = 3;
  s.BytesReceived = 128.0f;  // 0x43000000
  s.FramesReceived = 4;
  s.Role.Set("GW");

  ASSERT_TRUE(WriteStatisticsFile(Path("20261204.TES"), *g));
  const auto b = Bytes("20261204.TES");
  ASSERT_EQ(b.size(), 3 * kStatsRecordSize);
  EXPECT_EQ(Hex(b, 0, 8), "5445533100000000");
  EXPECT_EQ(Hex(b, 166, 8), "5445533101000000");
  std::string want = "54455331" "01000000";                       // tag, adapter index 1
  want += "00000000" "00000000" "c0a80102";                       // chain (zero), IsSelf, IP
  want += "303230303030303030303031" "00000000";                 // "020000000001"
  want += "4950203139322e3136382e312e32" + std::string(2 * 15, '0');  // "IP 192.168.1.2"
  want += "504332" + std::string(2 * 30, '0');                    // "PC2"
  want += "09000000" "40a8126b" "41a8126b" "00007042" "01000000" "02000000" "03000000" "00000043" "04000000";
  want += "4757000000000000";                                     // "GW"
  want += "00000000" + std::string(2 * 20, '0');                  // Nic (zero), reserved
  EXPECT_EQ(Hex(b, 332, 166), want);
  FreeGlobalArea(g);
}

TEST_F(HistoryTest, ReadersKeepWholeRecordsAndIgnoreACutOffLastOne) {
  for (uint32_t t = 1; t <= 3; ++t) {
    TraceRecord r;
    r.Time = t;
    AppendTraceRecord(Path("a.TET"), r);
  }
  {
    std::ofstream f(Path("a.TET"), std::ios::app | std::ios::binary);
    f.write("TET \x04\x00\x00", 7);  // a record cut by a power failure
  }
  std::vector<TraceRecord> trace;
  HistoryReadResult r = ReadTraceFile(Path("a.TET"), trace);
  EXPECT_TRUE(r.opened);
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace[2].Time, 3u);
  EXPECT_EQ(r.trailing_bytes, 7u);

  GlobalArea* g = AllocateGlobalArea();
  g->Nics[0] = AllocateNicArea();
  g->NicCount = 1;
  RelaxedStore(g->Nics[0]->StationCount, 2);
  g->Nics[0]->Stations[1].FramesSent = 5;
  WriteStatisticsFile(Path("a.TES"), *g);
  FreeGlobalArea(g);
  auto bytes = Bytes("a.TES");
  bytes.resize(bytes.size() + 100);  // half a record of zeros after the whole ones
  memcpy(bytes.data() + kStatsRecordSize, "XES1", 4);  // and one damaged tag
  std::vector<StatisticsRecord> stats;
  r = ParseStatisticsFile(bytes.data(), bytes.size(), stats);
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(r.bad_tags, 1u);
  EXPECT_EQ(r.trailing_bytes, 100u);

  r = ReadStatisticsFile(Path("missing.TES"), stats);
  EXPECT_FALSE(r.opened);
  EXPECT_TRUE(stats.empty());
}

// A full disk: a statistics write cut part-way used to leave a partial record that
// misaligned every later record of the day. Now the file keeps whole records only, the console gets
// one line when writing stops and one when it works again, and everything written later reads back.
TEST_F(HistoryTest, AFullDiskLeavesWholeRecordsAndOneLine) {
  GlobalArea* g = AllocateGlobalArea();
  g->Nics[0] = AllocateNicArea();
  g->NicCount = 1;
  RelaxedStore(g->Nics[0]->StationCount, 300);
  for (int i = 0; i < 300; ++i) g->Nics[0]->Stations[i].FramesSent = static_cast<uint32_t>(i);
  platform::CapturedOutput out;
  testing_files::FillingDisk disk;
  HistoryWriter writer(&out, disk);
  disk.room = 100 * kStatsRecordSize + 70;  // 100 stations and part of the 101st
  writer.CountFailuresIn(&g->Health.HistoryWriteFailures);
  EXPECT_FALSE(writer.WriteStatistics(Path("20261204.TES"), *g));
  EXPECT_FALSE(writer.AppendTrace(Path("20261204.TET"), TraceRecord{}));
  EXPECT_FALSE(writer.WriteStatistics(Path("20261204.TES"), *g));
  EXPECT_EQ(g->Health.HistoryWriteFailures.load(), 3u) << "every failed write counts, not only the one said";
  EXPECT_EQ(Bytes("20261204.TES").size(), 100 * kStatsRecordSize);
  EXPECT_EQ(Bytes("20261204.TET").size(), 0u);
  std::string text = out.Text();
  EXPECT_EQ(text, "History file '20261204.TES' cannot be written: No space left on device; 100 of 300 records "
                  "kept. Writes go on being tried, and this is said again only when they work\n");

  disk.room = SIZE_MAX;  // room again
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(writer.WriteStatistics(Path("20261204.TES"), *g));
    TraceRecord r;
    r.Time = 7;
    EXPECT_TRUE(writer.AppendTrace(Path("20261204.TET"), r));
  }
  EXPECT_EQ(out.Text(), text + "History files are written again ('20261204.TES')\n");
  std::vector<StatisticsRecord> stats;
  HistoryReadResult read = ReadStatisticsFile(Path("20261204.TES"), stats);
  EXPECT_EQ(read.bad_tags, 0u);
  EXPECT_EQ(read.trailing_bytes, 0u);
  ASSERT_EQ(stats.size(), 700u) << "the 100 kept, then every record of both later writes";
  for (size_t i = 0; i < stats.size(); ++i) {
    uint32_t frames = GetU32Le(stats[i].Station + station_off::FramesSent);
    ASSERT_EQ(frames, i < 100 ? i : (i - 100) % 300) << i;
  }
  std::vector<TraceRecord> trace;
  EXPECT_EQ(ReadTraceFile(Path("20261204.TET"), trace).records, 2u);
  EXPECT_EQ(g->Health.HistoryWriteFailures.load(), 3u);
  FreeGlobalArea(g);
}

// A day file found ending in a partial record (a crash during the final statistics write) is cut
// back at start-up; files that are not day files are left alone.
TEST_F(HistoryTest, RepairCutsDayFilesBackToWholeRecords) {
  auto write = [this](const char* name, size_t n) { std::ofstream(Path(name), std::ios::binary) << std::string(n, 'x'); };
  write("20261204.TES", 3 * kStatsRecordSize + 83);
  write("20261204.TET", 2 * kTraceRecordSize);
  write("20261203.TET", 41);
  write("notes.TET", 7);
  write("20261203.TEX", 7);
  platform::CapturedOutput out;
  HistoryWriter(&out).RepairDirectory(dir_.string());
  EXPECT_EQ(Bytes("20261204.TES").size(), 3 * kStatsRecordSize);
  EXPECT_EQ(Bytes("20261204.TET").size(), 2 * kTraceRecordSize);
  EXPECT_EQ(Bytes("20261203.TET").size(), kTraceRecordSize);
  EXPECT_EQ(Bytes("notes.TET").size(), 7u);
  EXPECT_EQ(Bytes("20261203.TEX").size(), 7u);
  EXPECT_EQ(out.Text(), "History file '20261203.TET' ended in a partial record: 1 bytes cut off\n"
                        "History file '20261204.TES' ended in a partial record: 83 bytes cut off\n");
}

// The day reader for remote requests: whole records in order, at most the number asked for, and
// nothing from a file that is not a regular one.
TEST_F(HistoryTest, DayReaderIsBoundedAndTakesRegularFilesOnly) {
  for (uint32_t t = 1; t <= 5; ++t) {
    TraceRecord r;
    r.Time = t;
    AppendTraceRecord(Path("a.TET"), r);
  }
  std::vector<uint32_t> times;
  auto collect = [&times](const uint8_t* rec) {
    times.push_back(GetU32Le(rec + 4));
    return true;
  };
  HistoryReadResult r = ForEachDayRecord(Path("a.TET"), kTraceRecordSize, 3, collect);
  EXPECT_TRUE(r.opened);
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(times, (std::vector<uint32_t>{1, 2, 3}));
  times.clear();
  r = ForEachDayRecord(Path("a.TET"), kTraceRecordSize, 100, [&](const uint8_t* rec) {
    collect(rec);
    return times.size() < 2;
  });
  EXPECT_EQ(times, (std::vector<uint32_t>{1, 2})) << "the callback ends the read";
  EXPECT_FALSE(r.cut);

  ASSERT_EQ(mkfifo(Path("pipe.TET").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", Path("zero.TET").c_str()), 0);
  for (const char* name : {"pipe.TET", "zero.TET", "missing.TET"}) {
    times.clear();
    r = ForEachDayRecord(Path(name), kTraceRecordSize, SIZE_MAX, collect);
    EXPECT_FALSE(r.opened) << name;
    EXPECT_TRUE(times.empty()) << name;
    std::vector<TraceRecord> trace;
    EXPECT_FALSE(ReadTraceFile(Path(name), trace).opened) << name;
  }
}

}  // namespace
