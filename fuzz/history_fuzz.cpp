// History day files as the request dispatcher reads them: any bytes, in a file read a piece at a
// time, give whole records only, in order, never more than asked for, and the same records as the
// in-memory parser.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "state/history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netward;
  static const int fd = memfd_create("history", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  // The first byte picks the record size and the cap, the rest is the file.
  const size_t record = size > 0 && (data[0] & 1) ? kStatsRecordSize : kTraceRecordSize;
  const size_t cap = size > 0 ? data[0] >> 1 : 0;
  size_t n = 0;
  HistoryReadResult r = ForEachDayRecord(path, record, cap, [&](const uint8_t* rec) {
    if (memcmp(rec, data + n * record, record) != 0) abort();
    ++n;
    return true;
  });
  if (!r.opened || n != r.records || n > cap || n > size / record) abort();
  if (!r.cut && (n != size / record || r.trailing_bytes != size % record)) abort();

  std::vector<TraceRecord> read, parsed;
  HistoryReadResult a = ReadTraceFile(path, read);
  HistoryReadResult b = ParseTraceFile(data, size, parsed);
  if (a.records != b.records || a.bad_tags != b.bad_tags || a.trailing_bytes != b.trailing_bytes) abort();
  if (read.size() != parsed.size() || (!read.empty() && memcmp(&read.back(), &parsed.back(), sizeof read.back())))
    abort();
  return 0;
}
