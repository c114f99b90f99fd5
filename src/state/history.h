// History files: one trace file ("%s.TET", 40-byte records) and one statistics file ("%s.TES",
// 166-byte records) per local day. Each write appends whole records and syncs; a write that fails
// part-way is cut back to whole records, and a file found ending in a partial record (a crash
// mid-write) is cut back before the next append and at start-up, so every later record stays
// aligned. A file that cannot be written is skipped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "state/records.h"
#include "state/shared_state.h"
#include "platform/files.h"
#include "platform/output.h"

namespace netward {

// Writes the history files and says on the console, once, when writing stops working (a full
// disk, a directory that went away) and once when it works again, not once per record; the agent
// goes on capturing and answering either way.
class HistoryWriter {
 public:
  explicit HistoryWriter(platform::Output* out = nullptr, platform::FileLayer& layer = platform::SystemFileLayer())
      : out_(out), layer_(layer) {}

  // Each failed write is counted here too (the metrics' history write failures); null: not counted.
  void CountFailuresIn(std::atomic<uint64_t>* failures) { failures_ = failures; }

  bool AppendTrace(const std::string& path, const TraceRecord& record);
  // One record per station: adapters in Nics order, stations 0..StationCount-1 of each.
  bool WriteStatistics(const std::string& path, const GlobalArea& global);
  // Cuts every day file ("YYYYMMDD.TET", "YYYYMMDD.TES") of `dir` back to whole records.
  void RepairDirectory(const std::string& dir);

 private:
  bool Append(const std::string& path, const void* data, size_t n, size_t record_size);

  platform::Output* out_;
  platform::FileLayer& layer_;
  std::atomic<uint64_t>* failures_ = nullptr;
  bool failing_ = false;  // the last write failed and that was said
};

// Without a console to report to.
bool AppendTraceRecord(const std::string& path, const TraceRecord& record);
bool WriteStatisticsFile(const std::string& path, const GlobalArea& global);

// One record of a statistics file: the adapter index and the 158 station bytes as written.
struct StatisticsRecord {
  uint32_t AdapterIndex = 0;
  uint8_t Station[kStationRecordSize] = {};
};

// What a reader found in a history file.
struct HistoryReadResult {
  bool opened = false;       // false: missing, unreadable or not a regular file
  size_t records = 0;        // whole records with the right tag
  size_t bad_tags = 0;       // whole records skipped because their tag is wrong
  size_t trailing_bytes = 0; // a last record cut short (power cut mid-write), ignored
  bool cut = false;          // more records than the reader was allowed to take
};

// Far beyond any real day: 144 trace records, or 2000 station records per agent run.
inline constexpr size_t kMaxHistoryFileBytes = 64u << 20;

// Parsers of history file contents: whole records only, in file order; a truncated last record and
// records with a wrong tag are left out and counted.
HistoryReadResult ParseTraceFile(const uint8_t* data, size_t size, std::vector<TraceRecord>& out);
HistoryReadResult ParseStatisticsFile(const uint8_t* data, size_t size, std::vector<StatisticsRecord>& out);

// Read a file a piece at a time and parse it, taking at most kMaxHistoryFileBytes of records; `out`
// is cleared first.
HistoryReadResult ReadTraceFile(const std::string& path, std::vector<TraceRecord>& out);
HistoryReadResult ReadStatisticsFile(const std::string& path, std::vector<StatisticsRecord>& out);

// The one reader of a history day for remote requests: the whole records of a regular file in file
// order, at most `max_records` of them, each handed to `fn` (which ends the read by returning
// false). Never loads the file and never waits on a named pipe or device.
HistoryReadResult ForEachDayRecord(const std::string& path, size_t record_size, size_t max_records,
                                   const std::function<bool(const uint8_t*)>& fn);

}  // namespace netward
