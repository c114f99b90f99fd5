#include "state/history.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "wire/byte_order.h"

namespace netward {

namespace {
const char* BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// "YYYYMMDD.TET" or "YYYYMMDD.TES": the names the agent writes.
bool IsDayFileName(const std::string& name, size_t& record_size) {
  if (name.size() != 12) return false;
  for (int i = 0; i < 8; ++i)
    if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
  if (name.compare(8, 4, ".TET") == 0) record_size = kTraceRecordSize;
  else if (name.compare(8, 4, ".TES") == 0) record_size = kStatsRecordSize;
  else return false;
  return true;
}
}  // namespace

bool HistoryWriter::Append(const std::string& path, const void* data, size_t n, size_t record_size) {
  platform::AppendResult r = platform::AppendRecords(path, data, n, record_size, layer_);
  if (out_ != nullptr && r.cut_before != 0)
    out_->Printf("History file '%s' ended in a partial record: %llu bytes cut off\n", BaseName(path),
                 static_cast<unsigned long long>(r.cut_before));
  if (!r.ok) {
    if (failures_ != nullptr) failures_->fetch_add(1, std::memory_order_relaxed);
    if (out_ != nullptr && !failing_)
      out_->Printf("History file '%s' cannot be written: %s; %zu of %zu records kept. Writes go on being "
                   "tried, and this is said again only when they work\n",
                   BaseName(path), r.why.c_str(), r.records_written, n / record_size);
    failing_ = true;
    return false;
  }
  if (out_ != nullptr && failing_) out_->Printf("History files are written again ('%s')\n", BaseName(path));
  failing_ = false;
  return true;
}

bool HistoryWriter::AppendTrace(const std::string& path, const TraceRecord& record) {
  uint8_t bytes[kTraceRecordSize];
  SerializeTraceRecord(record, bytes);
  return Append(path, bytes, sizeof bytes, kTraceRecordSize);
}

bool HistoryWriter::WriteStatistics(const std::string& path, const GlobalArea& global) {
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
  return Append(path, out.data(), out.size(), kStatsRecordSize);
}

void HistoryWriter::RepairDirectory(const std::string& dir) {
  for (const std::string& name : platform::ListDirectory(dir, "*.TE?")) {
    size_t record_size = 0;
    if (!IsDayFileName(name, record_size)) continue;
    uint64_t cut = platform::TrimToWholeRecords(dir + "/" + name, record_size);
    if (cut != 0 && out_ != nullptr)
      out_->Printf("History file '%s' ended in a partial record: %llu bytes cut off\n", name.c_str(),
                   static_cast<unsigned long long>(cut));
  }
}

bool AppendTraceRecord(const std::string& path, const TraceRecord& record) {
  return HistoryWriter().AppendTrace(path, record);
}

bool WriteStatisticsFile(const std::string& path, const GlobalArea& global) {
  return HistoryWriter().WriteStatistics(path, global);
}

namespace {

TraceRecord TraceFromStored(const uint8_t* p) {
  uint8_t rec[kTraceRecordSize];
  memcpy(rec, p, sizeof rec);
  TraceRecord t;
  ParseTraceRecord(rec, t);
  return t;
}

StatisticsRecord StatisticsFromStored(const uint8_t* p) {
  StatisticsRecord s;
  s.AdapterIndex = GetU32Le(p + stats_off::AdapterIndex);
  memcpy(s.Station, p + stats_off::Station, kStationRecordSize);
  return s;
}

template <typename Record, typename Parse>
HistoryReadResult ParseRecords(const uint8_t* data, size_t size, size_t record_size, const char (&tag)[4],
                               std::vector<Record>& out, Parse parse) {
  HistoryReadResult r;
  r.opened = true;
  size_t pos = 0;
  for (; pos + record_size <= size; pos += record_size) {
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

template <typename Record, typename Parse>
HistoryReadResult ReadRecords(const std::string& path, size_t record_size, const char (&tag)[4],
                              std::vector<Record>& out, Parse parse) {
  out.clear();
  size_t bad_tags = 0;
  HistoryReadResult r = ForEachDayRecord(path, record_size, kMaxHistoryFileBytes / record_size, [&](const uint8_t* p) {
    if (memcmp(p, tag, 4) != 0) {
      ++bad_tags;
    } else {
      out.push_back(parse(p));
    }
    return true;
  });
  r.records = out.size();
  r.bad_tags = bad_tags;
  return r;
}

}  // namespace

HistoryReadResult ParseTraceFile(const uint8_t* data, size_t size, std::vector<TraceRecord>& out) {
  return ParseRecords(data, size, kTraceRecordSize, kTraceTag, out, TraceFromStored);
}

HistoryReadResult ParseStatisticsFile(const uint8_t* data, size_t size, std::vector<StatisticsRecord>& out) {
  return ParseRecords(data, size, kStatsRecordSize, kStatsTag, out, StatisticsFromStored);
}

HistoryReadResult ReadTraceFile(const std::string& path, std::vector<TraceRecord>& out) {
  return ReadRecords(path, kTraceRecordSize, kTraceTag, out, TraceFromStored);
}

HistoryReadResult ReadStatisticsFile(const std::string& path, std::vector<StatisticsRecord>& out) {
  return ReadRecords(path, kStatsRecordSize, kStatsTag, out, StatisticsFromStored);
}

HistoryReadResult ForEachDayRecord(const std::string& path, size_t record_size, size_t max_records,
                                   const std::function<bool(const uint8_t*)>& fn) {
  HistoryReadResult r;
  platform::RecordFileReader reader(path, record_size);
  if (!reader.opened()) return r;
  r.opened = true;
  while (const uint8_t* rec = reader.Next()) {
    if (r.records == max_records) {
      r.cut = true;
      return r;
    }
    ++r.records;
    if (!fn(rec)) return r;
  }
  r.trailing_bytes = reader.trailing_bytes();
  return r;
}

}  // namespace netward
