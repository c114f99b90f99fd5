// History files: one trace file ("%s.TET", 40-byte records) and one statistics file ("%s.TES",
// 166-byte records) per local day. Each write opens the file for appending, writes whole records,
// syncs and closes; a file that cannot be opened is skipped.
#pragma once

#include <string>

#include "core/records.h"
#include "core/shared_state.h"

namespace netward {

bool AppendTraceRecord(const std::string& path, const TraceRecord& record);

// One record per station: adapters in Nics order, stations 0..StationCount-1 of each.
bool WriteStatisticsFile(const std::string& path, const GlobalArea& global);

// Renews every station's Role and Name from the adapters' TCP/IP configuration; until that report
// exists, labels are left as they are.
void RefreshStationLabelsPlaceholder(GlobalArea& global);

}  // namespace netward
