// History files: one trace file ("%s.TET", 40-byte records) and one statistics file ("%s.TES",
// 166-byte records) per local day. Each write opens the file for appending, writes whole records,
// syncs and closes; a file that cannot be opened is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/records.h"
#include "core/shared_state.h"

namespace netward {

bool AppendTraceRecord(const std::string& path, const TraceRecord& record);

// One record per station: adapters in Nics order, stations 0..StationCount-1 of each.
bool WriteStatisticsFile(const std::string& path, const GlobalArea& global);

// One record of a statistics file: the adapter index and the 158 station bytes as written.
struct StatisticsRecord {
  uint32_t AdapterIndex = 0;
  uint8_t Station[kStationRecordSize] = {};
};

// What a reader found in a history file.
struct HistoryReadResult {
  bool opened = false;       // false: missing or unreadable (or larger than kMaxHistoryFileBytes)
  size_t records = 0;        // whole records with the right tag
  size_t bad_tags = 0;       // whole records skipped because their tag is wrong
  size_t trailing_bytes = 0; // a last record cut short (power cut mid-write), ignored
};

// Far beyond any real day: 144 trace records, or 2000 station records per agent run.
inline constexpr size_t kMaxHistoryFileBytes = 64u << 20;

// Parsers of history file contents: whole records only, in file order; a truncated last record and
// records with a wrong tag are left out and counted.
HistoryReadResult ParseTraceFile(const uint8_t* data, size_t size, std::vector<TraceRecord>& out);
HistoryReadResult ParseStatisticsFile(const uint8_t* data, size_t size, std::vector<StatisticsRecord>& out);

// Read a whole file and parse it; `out` is cleared first.
HistoryReadResult ReadTraceFile(const std::string& path, std::vector<TraceRecord>& out);
HistoryReadResult ReadStatisticsFile(const std::string& path, std::vector<StatisticsRecord>& out);

// What renews every station's Role and Name from the adapters' TCP/IP configuration before a
// statistics file is written. The TCP/IP report lives above this layer, so the agent installs it at
// start-up (and removes it at the end); without one, labels are written as they are.
using StationLabelRefresh = std::function<void(GlobalArea&)>;
void SetStationLabelRefresh(StationLabelRefresh refresh);

}  // namespace netward
