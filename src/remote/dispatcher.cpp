#include "remote/dispatcher.h"
#include "remote/broadcast_reply.h"
#include "remote/detail_records.h"
#include "remote/snapshot.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/agent.h"
#include "wire/byte_order.h"
#include "state/history.h"
#include "diagnostics/adapter_status.h"
#include "diagnostics/connectivity.h"
#include "diagnostics/installed_adapters.h"
#include "diagnostics/tcpip_report.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace netward {

void* MidlUserAllocate(size_t bytes) {
  void* p = malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();  // the RPC layer turns this into a fault for the call
  return p;
}

void MidlUserFree(void* block) { free(block); }

namespace {

bool StartsWith(const char* s, const char* prefix, size_t n) { return strncmp(s, prefix, n) == 0; }

bool StartsWithNoCase(const char* s, const char* prefix, size_t n) { return strncasecmp(s, prefix, n) == 0; }

int FoldLetter(uint8_t c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// All 16 bytes, letters case-folded, no stop at a NUL.
bool KeyMatches(const uint8_t* key, const GlobalArea& g) {
  uint8_t ours[16];
  SharedCopyOut(ours, g.AccessKey, 16);
  for (int i = 0; i < 16; ++i)
    if (FoldLetter(key[i]) != FoldLetter(ours[i])) return false;
  return true;
}

// Decimal number after leading blanks; 0 when there is none.
uint32_t NumberAt(const char* request, size_t pos) {
  if (strnlen(request, pos) < pos) return 0;
  const char* p = request + pos;
  while (*p == ' ') ++p;
  uint32_t n = 0;
  while (*p >= '0' && *p <= '9') n = n * 10 + static_cast<uint32_t>(*p++ - '0');
  return n;
}

std::string HistoryDir() {
  Agent* agent = CurrentAgent();
  return agent && !agent->history_dir().empty() ? agent->history_dir() : std::string(".");
}

uint32_t Now() {
  Agent* agent = CurrentAgent();
  return agent ? agent->clock().Now() : static_cast<uint32_t>(time(nullptr));
}

bool IsToday(const char* date8, uint32_t now) {
  char today[9];
  platform::DayName(platform::LocalDateOf(now), today);
  return strncmp(date8, today, 8) == 0;
}

// The 8 characters after a 4-byte keyword, as they stand (short requests give a shorter text).
std::string DateArgument(const char* request) {
  size_t len = strnlen(request, 12);
  return len > 4 ? std::string(request + 4, len - 4) : std::string();
}

void AppendTraceDay(const GlobalArea& g, const char* request, uint32_t now, Body& body) {
  std::string date = DateArgument(request);
  const bool today = date.size() == 8 && IsToday(date.c_str(), now);
  // Every whole 40-byte record becomes one "TET " record, tag or not, as far as the reply has room
  // (the running interval of today keeps its place at the end).
  const size_t room = kMaxHistoryDayBody / kTetRecordSize - (today ? 1 : 0);
  ForEachDayRecord(HistoryDir() + "/" + date + ".TET", kTraceRecordSize, room, [&body](const uint8_t* stored) {
    uint8_t rec[kTetRecordSize];
    BuildTetRecord(GetU32Le(stored + 4), stored + 8, rec);
    AppendRecord(body, rec);
    return true;
  });
  if (today) {
    TraceRecord running = GainsSince(g.Totals(), g.CheckpointCopy());
    uint8_t stored[kTraceRecordSize];
    SerializeTraceRecord(running, stored);
    uint8_t rec[kTetRecordSize];
    BuildTetRecord(now, stored + 8, rec);
    AppendRecord(body, rec);
  }
}

template <typename Fn>
void ForEachLiveStation(const GlobalArea& g, Fn fn) {
  int nics = g.NicCount.load(std::memory_order_acquire);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    const NicArea* nic = g.Nics[i];
    int count = RelaxedLoad(nic->StationCount);
    for (int s = 0; s < count && s < kMaxStations; ++s) fn(static_cast<uint32_t>(i + 1), nic->Stations[s]);
  }
}

size_t LiveStationCount(const GlobalArea& g) {
  size_t n = 0;
  ForEachLiveStation(g, [&n](uint32_t, const StationRecord&) { ++n; });
  return n;
}

void AppendStatisticsDay(const GlobalArea& g, const char* request, uint32_t now, Body& body) {
  std::string date = DateArgument(request);
  const bool today = date.size() == 8 && IsToday(date.c_str(), now);
  // Stored records up to the first one without the "TES1" tag, as far as the reply has room beside
  // today's live stations.
  const size_t live = today ? LiveStationCount(g) : 0;
  const size_t limit = kMaxHistoryDayBody / kStatRecordSize;
  const size_t room = limit > live ? limit - live : 0;
  ForEachDayRecord(HistoryDir() + "/" + date + ".TES", kStatsRecordSize, room, [&body](const uint8_t* stored) {
    if (memcmp(stored, kStatsTag, 4) != 0) return false;
    uint8_t rec[kStatRecordSize];
    BuildStatRecordFromStored(stored + 8, GetU32Le(stored + 4) + 1, rec);
    AppendRecord(body, rec);
    return true;
  });
  if (today) {
    ForEachLiveStation(g, [&body](uint32_t adapter, const StationRecord& s) {
      uint8_t rec[kStatRecordSize];
      BuildStatRecord(s, adapter, rec);
      AppendRecord(body, rec);
    });
  }
}

// The text of a "CMD " request: the reports and tests by their leading words (letter case ignored),
// the remote stop, and any other command line through the helper program.
void RunCommand(const char* command, uint32_t now, Body& body) {
  char text[kTxt4TextBytes] = {};
  Agent* agent = CurrentAgent();
  GlobalArea* g = Global();
  if (StartsWithNoCase(command, "PING ", 5)) {
    if (StartsWithNoCase(command, "PING GW", 7)) {
      PingGateways(*g, text, sizeof text);
    } else if (StartsWithNoCase(command, "PING DNS", 8)) {
      PingDnsServers(*g, text, sizeof text);
    } else if (StartsWithNoCase(command, "PING WINS", 10)) {  // the terminator too: nothing may follow
      PingWinsServers(*g, text, sizeof text);
    } else {
      RunHelperCommand(command, text, sizeof text);
    }
  } else if (StartsWithNoCase(command, "CONFIG", 6)) {
    if (agent) BuildTcpipReport(agent->registry(), *g, now, text, sizeof text);
  } else if (StartsWithNoCase(command, "SUBNET", 6)) {
    CheckSubnetBroadcasts(*g, text, sizeof text);
  } else if (StartsWithNoCase(command, "TEST", 4)) {
    if (agent) RunConnectivityTests(agent->registry(), *g, now, text, sizeof text);
  } else if (StartsWithNoCase(command, "VEDEZOZE STOP", 13)) {
    AppendTxt4Record(body, "TapEye Service terminating");
    if (agent) agent->CommonStop();
    return;
  } else {
    RunHelperCommand(command, text, sizeof text);
  }
  AppendTxt4Record(body, text);
}

}  // namespace

void DispatchRequest(const char* request, Body& body) {
  GlobalArea* g = Global();
  uint32_t now = Now();
  body.clear();
  if (g == nullptr) return;
  uint8_t tot[kTotRecordSize];
  BuildTotRecord(*g, now, tot);
  AppendRecord(body, tot);

  if (StartsWith(request, "TOTAL", 5)) return;
  if (StartsWith(request, "OPEN", 4)) {
    if (Agent* agent = CurrentAgent()) RefreshStationLabels(agent->registry(), *g, now);
    return;
  }
  if (StartsWith(request, "SNAPSHOT", 8)) {
    if (strnlen(request, 10) > 9) {
      SaveSnapshot(g->Windows[kQuickLookWindow].load(std::memory_order_relaxed), request + 9);
    } else {
      BuildSnapshotReply(body);
    }
    return;
  }
  if (StartsWith(request, "CMD ", 4)) {
    body.clear();
    RunCommand(request + 4, now, body);
    return;
  }
  if (StartsWith(request, "CFG ", 4)) {
    body.clear();
    char text[kTxt4TextBytes] = {};
    if (Agent* agent = CurrentAgent()) ListInstalledAdapters(agent->registry(), agent->windows_dir(), text, sizeof text);
    AppendTxt4Record(body, text);
    return;
  }
  if (StartsWith(request, "HISTORY_LIST", 12)) {
    for (const std::string& name : platform::ListDirectory(HistoryDir(), "*.TET")) {
      uint8_t rec[kHistRecordSize];
      BuildHistRecord(name.c_str(), rec);
      AppendRecord(body, rec);
    }
    return;
  }
  if (StartsWith(request, "TET ", 4)) {
    body.clear();
    AppendTraceDay(*g, request, now, body);
    return;
  }
  if (StartsWith(request, "TES ", 4)) {
    body.clear();
    AppendStatisticsDay(*g, request, now, body);
    return;
  }
  if (StartsWith(request, "DETAILS", 7)) {
    AppendDetailRecords(*g, false, NumberAt(request, 7), body);
    return;
  }
  if (StartsWith(request, "ERRORS", 6)) {
    AppendDetailRecords(*g, true, NumberAt(request, 7), body);
    return;
  }
  if (StartsWith(request, "STATS_PRO", 9)) {
    uint32_t n = NumberAt(request, 9);
    ForEachLiveStation(*g, [&body, n](uint32_t adapter, const StationRecord& s) {
      if (RelaxedLoad(s.LastSequence) <= n) return;
      uint8_t rec[kStatRecordSize];
      BuildStatRecord(s, adapter, rec);
      AppendRecord(body, rec);
    });
    return;
  }
  if (StartsWith(request, "OID", 3)) {
    body.clear();
    const int nics = g->NicCount.load(std::memory_order_acquire);
    for (int i = 0; i < nics && i < kMaxNics; ++i) {
      uint8_t rec[kAdapterStatusSize];
      BuildAdapterStatus(*g->Nics[i], i, rec);
      AppendRecord(body, rec);
    }
    return;
  }
  if (StartsWith(request, "BCASTSENT", 9)) {
    BuildBroadcastReply(*g, true, strnlen(request, 10) >= 10 && StartsWith(request + 10, "LOW", 3), now, body);
    return;
  }
  if (StartsWith(request, "BCASTERS", 8)) {
    BuildBroadcastReply(*g, false, strnlen(request, 9) >= 9 && StartsWith(request + 9, "LOW", 3), now, body);
    return;
  }
  if (Agent* agent = CurrentAgent()) agent->out().Printf("ERROR - Unknown request '%s'\n", request);
}

int32_t HandleRequest(const uint8_t* key, const char* request_array, uint8_t** reply, int32_t* reply_length) {
  *reply = nullptr;
  *reply_length = 0;
  // The text ends at the array's last byte at the latest.
  char request[256];
  memcpy(request, request_array, 255);
  request[255] = 0;
  Agent* agent = CurrentAgent();
  if (StartsWithNoCase(request, "OPEN ", 5) && agent) agent->ReloadSettings();
  GlobalArea* g = Global();
  if (g == nullptr || !KeyMatches(key, *g)) return kKeyRejected;

  Body body;
  DispatchRequest(request, body);
  size_t total = body.size() + kReplyHeaderSize;
  auto* block = static_cast<uint8_t*>(MidlUserAllocate(total));
  uint8_t header[kReplyHeaderSize];
  BuildReplyHeader(Now(), g->StatusCode.load(std::memory_order_relaxed), header);
  memcpy(block, header, sizeof header);
  if (!body.empty()) memcpy(block + kReplyHeaderSize, body.data(), body.size());
  *reply = block;
  *reply_length = static_cast<int32_t>(total);
  return 0;
}

}  // namespace netward
