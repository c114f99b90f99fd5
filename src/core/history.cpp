#include "core/history.h"

#include <vector>

#include "platform/files.h"

namespace netward {

bool AppendTraceRecord(const std::string& path, const TraceRecord& record) {
  uint8_t bytes[kTraceRecordSize];
  SerializeTraceRecord(record, bytes);
  return platform::AppendFile(path, bytes, sizeof bytes);
}

bool WriteStatisticsFile(const std::string& path, const GlobalArea& global) {
  RefreshStationLabelsPlaceholder(const_cast<GlobalArea&>(global));
  std::vector<uint8_t> out;
  int nics = global.NicCount.load(std::memory_order_relaxed);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    const NicArea* nic = global.Nics[i];
    if (nic == nullptr) continue;
    int count = RelaxedLoad(nic->StationCount);
    for (int s = 0; s < count && s < kMaxStations; ++s) {
      uint8_t rec[kStatsRecordSize];
      SerializeStatsRecord(static_cast<uint32_t>(i), nic->Stations[s], rec);
      out.insert(out.end(), rec, rec + sizeof rec);
    }
  }
  // One write of whole records: nothing to append means the file is left untouched.
  if (out.empty()) return true;
  return platform::AppendFile(path, out.data(), out.size());
}

void RefreshStationLabelsPlaceholder(GlobalArea&) {}

}  // namespace netward
