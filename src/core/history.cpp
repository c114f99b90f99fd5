#include "core/history.h"

#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "core/byte_writer.h"

#include "platform/files.h"

namespace netward {

bool AppendTraceRecord(const std::string& path, const TraceRecord& record) {
  uint8_t bytes[kTraceRecordSize];
  SerializeTraceRecord(record, bytes);
  return platform::AppendFile(path, bytes, sizeof bytes);
}

namespace {
// Installed and removed by the agent's main thread, which is also the only writer of statistics
// files; tests write them from their own single thread.
StationLabelRefresh g_refresh;
}  // namespace

void SetStationLabelRefresh(StationLabelRefresh refresh) { g_refresh = std::move(refresh); }

bool WriteStatisticsFile(const std::string& path, const GlobalArea& global) {
  if (g_refresh) g_refresh(const_cast<GlobalArea&>(global));
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

namespace {

template <size_t N, typename Record, typename Parse>
HistoryReadResult ParseRecords(const uint8_t* data, size_t size, const char (&tag)[4], std::vector<Record>& out,
                               Parse parse) {
  HistoryReadResult r;
  r.opened = true;
  size_t pos = 0;
  for (; pos + N <= size; pos += N) {
    if (memcmp(data + pos, tag, 4) != 0) {
      ++r.bad_tags;
      continue;
    }
    out.push_back(parse(data + pos));
    ++r.records;
  }
  r.trailing_bytes = size - pos;
  return r;
}

bool ReadBounded(const std::string& path, std::vector<uint8_t>& bytes) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxHistoryFileBytes)
    return false;
  return platform::ReadFile(path, bytes) && bytes.size() <= kMaxHistoryFileBytes;
}

}  // namespace

HistoryReadResult ParseTraceFile(const uint8_t* data, size_t size, std::vector<TraceRecord>& out) {
  return ParseRecords<kTraceRecordSize>(data, size, kTraceTag, out, [](const uint8_t* p) {
    uint8_t rec[kTraceRecordSize];
    memcpy(rec, p, sizeof rec);
    TraceRecord t;
    ParseTraceRecord(rec, t);
    return t;
  });
}

HistoryReadResult ParseStatisticsFile(const uint8_t* data, size_t size, std::vector<StatisticsRecord>& out) {
  return ParseRecords<kStatsRecordSize>(data, size, kStatsTag, out, [](const uint8_t* p) {
    StatisticsRecord s;
    s.AdapterIndex = GetU32Le(p + 4);
    memcpy(s.Station, p + 8, kStationRecordSize);
    return s;
  });
}

HistoryReadResult ReadTraceFile(const std::string& path, std::vector<TraceRecord>& out) {
  out.clear();
  std::vector<uint8_t> bytes;
  if (!ReadBounded(path, bytes)) return {};
  return ParseTraceFile(bytes.data(), bytes.size(), out);
}

HistoryReadResult ReadStatisticsFile(const std::string& path, std::vector<StatisticsRecord>& out) {
  out.clear();
  std::vector<uint8_t> bytes;
  if (!ReadBounded(path, bytes)) return {};
  return ParseStatisticsFile(bytes.data(), bytes.size(), out);
}

}  // namespace netward
