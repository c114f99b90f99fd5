#include "remote/dispatcher.h"
#include "remote/broadcast_reply.h"
#include "remote/detail_records.h"
#include "remote/snapshot.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
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

void AppendTraceDay(const RequestContext& c, const char* request, Body& body) {
  const GlobalArea& g = *c.g;
  const uint32_t now = c.now;
  std::string date = DateArgument(request);
  const bool today = date.size() == 8 && IsToday(date.c_str(), now);
  // Every whole 40-byte record becomes one "TET " record, tag or not, as far as the reply has room
  // (the running interval of today keeps its place at the end).
  const size_t room = kMaxHistoryDayBody / kTetRecordSize - (today ? 1 : 0);
  ForEachDayRecord(c.history_dir + "/" + date + ".TET", kTraceRecordSize, room, [&body](const uint8_t* stored) {
    uint8_t rec[kTetRecordSize];
    BuildTetRecord(GetU32Le(stored + trace_off::Time), stored + trace_off::Counts, rec);
    AppendRecord(body, rec);
    return true;
  });
  if (today) {
    TraceRecord running = GainsSince(g.Totals(), g.CheckpointCopy());
    uint8_t stored[kTraceRecordSize];
    SerializeTraceRecord(running, stored);
    uint8_t rec[kTetRecordSize];
    BuildTetRecord(now, stored + trace_off::Counts, rec);
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

void AppendStatisticsDay(const RequestContext& c, const char* request, Body& body) {
  const GlobalArea& g = *c.g;
  const uint32_t now = c.now;
  std::string date = DateArgument(request);
  const bool today = date.size() == 8 && IsToday(date.c_str(), now);
  // Stored records up to the first one without the "TES1" tag, as far as the reply has room beside
  // today's live stations.
  const size_t live = today ? LiveStationCount(g) : 0;
  const size_t limit = kMaxHistoryDayBody / kStatRecordSize;
  const size_t room = limit > live ? limit - live : 0;
  ForEachDayRecord(c.history_dir + "/" + date + ".TES", kStatsRecordSize, room, [&body](const uint8_t* stored) {
    if (memcmp(stored + stats_off::Tag, kStatsTag, 4) != 0) return false;
    uint8_t rec[kStatRecordSize];
    BuildStatRecordFromStored(stored + stats_off::Station, GetU32Le(stored + stats_off::AdapterIndex) + 1, rec);
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

// "CMD " requests: the reports and tests by their leading words (letter case ignored); any other
// command line goes to the helper program. Each handler fills the TXT4 text.
void PingGatewaysCmd(const RequestContext& c, char* text, size_t n) { PingGateways(*c.g, text, n); }
void PingDnsCmd(const RequestContext& c, char* text, size_t n) { PingDnsServers(*c.g, text, n); }
void PingWinsCmd(const RequestContext& c, char* text, size_t n) { PingWinsServers(*c.g, text, n); }
void ConfigCmd(const RequestContext& c, char* text, size_t n) {
  if (c.registry) BuildTcpipReport(*c.registry, *c.g, c.now, text, n);
}
void SubnetCmd(const RequestContext& c, char* text, size_t n) { CheckSubnetBroadcasts(*c.g, text, n); }
void TestCmd(const RequestContext& c, char* text, size_t n) {
  if (c.registry) RunConnectivityTests(*c.registry, *c.g, c.now, text, n);
}

// The remote stop answers before the agent stops: the reply is built, then CommonStop lets the
// call in progress finish.
constexpr char kStopCommand[] = "VEDEZOZE STOP";
constexpr char kStopReply[] = "TapEye Service terminating";

constexpr CommandRow kCommands[] = {
    {"PING GW", 7, PingGatewaysCmd},
    {"PING DNS", 8, PingDnsCmd},
    {"PING WINS", 10, PingWinsCmd},  // the terminator too: nothing may follow
    {"CONFIG", 6, ConfigCmd},
    {"SUBNET", 6, SubnetCmd},
    {"TEST", 4, TestCmd},
};

void RunCommand(const RequestContext& c, const char* command, Body& body) {
  if (StartsWithNoCase(command, kStopCommand, sizeof kStopCommand - 1)) {
    AppendTxt4Record(body, kStopReply);
    if (c.stop) c.stop();
    return;
  }
  char text[kTxt4TextBytes] = {};
  const CommandRow* row = nullptr;
  for (const CommandRow& r : kCommands)
    if (StartsWithNoCase(command, r.text, r.compared)) {
      row = &r;
      break;
    }
  if (row != nullptr) {
    row->handler(c, text, sizeof text);
  } else {
    RunHelperCommand(command, text, sizeof text);
  }
  AppendTxt4Record(body, text);
}

void AppendTot(const RequestContext& c, Body& body) {
  uint8_t tot[kTotRecordSize];
  BuildTotRecord(*c.g, c.now, tot);
  AppendRecord(body, tot);
}

// Request handlers: `body` holds the TOT record for the rows that keep it, nothing for the others.
void OpenRequest(const RequestContext& c, const char*, Body&) {
  if (c.registry) RefreshStationLabels(*c.registry, *c.g, c.now);
}
void SnapshotRequest(const RequestContext& c, const char* request, Body& body) {
  if (strnlen(request, 10) > 9) {  // "SNAPSHOT name": saved by the agent, answered with the totals
    SaveSnapshot(c, c.g->Windows[kQuickLookWindow].load(std::memory_order_relaxed), request + 9);
    AppendTot(c, body);
  } else {
    BuildSnapshotReply(c, body);
  }
}
void CmdRequest(const RequestContext& c, const char* request, Body& body) { RunCommand(c, request + 4, body); }
void CfgRequest(const RequestContext& c, const char*, Body& body) {
  char text[kTxt4TextBytes] = {};
  if (c.registry) ListInstalledAdapters(*c.registry, c.windows_dir, text, sizeof text);
  AppendTxt4Record(body, text);
}
void HistoryListRequest(const RequestContext& c, const char*, Body& body) {
  for (const std::string& name : platform::ListDirectory(c.history_dir, "*.TET")) {
    uint8_t rec[kHistRecordSize];
    BuildHistRecord(name.c_str(), rec);
    AppendRecord(body, rec);
  }
}
void DetailsRequest(const RequestContext& c, const char* request, Body& body) {
  AppendDetailRecords(*c.g, false, NumberAt(request, 7), body);
}
void ErrorsRequest(const RequestContext& c, const char* request, Body& body) {
  AppendDetailRecords(*c.g, true, NumberAt(request, 7), body);
}
void StatsProRequest(const RequestContext& c, const char* request, Body& body) {
  const uint32_t n = NumberAt(request, 9);
  ForEachLiveStation(*c.g, [&body, n](uint32_t adapter, const StationRecord& s) {
    if (RelaxedLoad(s.LastSequence) <= n) return;
    uint8_t rec[kStatRecordSize];
    BuildStatRecord(s, adapter, rec);
    AppendRecord(body, rec);
  });
}
void OidRequest(const RequestContext& c, const char*, Body& body) {
  const int nics = c.g->NicCount.load(std::memory_order_acquire);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    uint8_t rec[kAdapterStatusSize];
    BuildAdapterStatus(*c.g->Nics[i], i, rec);
    AppendRecord(body, rec);
  }
}
void BroadcastSentRequest(const RequestContext& c, const char* request, Body& body) {
  BuildBroadcastReply(*c.g, true, strnlen(request, 10) >= 10 && StartsWith(request + 10, "LOW", 3), c.now, body);
}
void BroadcastersRequest(const RequestContext& c, const char* request, Body& body) {
  BuildBroadcastReply(*c.g, false, strnlen(request, 9) >= 9 && StartsWith(request + 9, "LOW", 3), c.now, body);
}

// First match wins; keywords are compared with their letter case.
constexpr RequestRow kRequests[] = {
    {"TOTAL", 5, true, nullptr},
    {"OPEN", 4, true, OpenRequest},
    {"SNAPSHOT", 8, false, SnapshotRequest},
    {"CMD ", 4, false, CmdRequest},
    {"CFG ", 4, false, CfgRequest},
    {"HISTORY_LIST", 12, true, HistoryListRequest},
    {"TET ", 4, false, AppendTraceDay},
    {"TES ", 4, false, AppendStatisticsDay},
    {"DETAILS", 7, true, DetailsRequest},
    {"ERRORS", 6, true, ErrorsRequest},
    {"STATS_PRO", 9, true, StatsProRequest},
    {"OID", 3, false, OidRequest},
    {"BCASTSENT", 9, false, BroadcastSentRequest},
    {"BCASTERS", 8, false, BroadcastersRequest},
};

// The compared bytes are the keyword's own (the terminator at most): a row cannot match less or
// more than it says.
constexpr bool RowsCompareTheirText(std::span<const RequestRow> rows) {
  for (const RequestRow& r : rows)
    if (r.compared != std::char_traits<char>::length(r.text)) return false;
  return true;
}
static_assert(RowsCompareTheirText(kRequests));

}  // namespace

std::span<const RequestRow> RequestTable() { return kRequests; }
std::span<const CommandRow> CommandTable() { return kCommands; }

RequestContext AgentRequestContext(Agent& agent) {
  RequestContext c;
  c.g = agent.global();
  c.clock = &agent.clock();
  c.now = c.clock->Now();
  c.registry = &agent.registry();
  c.windows_dir = agent.windows_dir();
  if (!agent.history_dir().empty()) c.history_dir = agent.history_dir();
  c.out = &agent.out();
  c.stop = [&agent] { agent.CommonStop(); };
  c.reload_settings = [&agent] { agent.ReloadSettings(); };
  return c;
}

void DispatchRequest(const RequestContext& c, const char* request, Body& body) {
  body.clear();
  if (c.g == nullptr) return;
  for (const RequestRow& row : kRequests) {
    if (!StartsWith(request, row.text, row.compared)) continue;
    if (row.keeps_tot) AppendTot(c, body);
    if (row.handler) row.handler(c, request, body);
    return;
  }
  AppendTot(c, body);
  if (c.out) c.out->Printf("ERROR - Unknown request '%s'\n", request);
}

int32_t HandleRequest(const RequestContext& c, const uint8_t* key, const char* request_array, uint8_t** reply,
                      int32_t* reply_length) {
  *reply = nullptr;
  *reply_length = 0;
  // The text ends at the array's last byte at the latest.
  char request[256];
  memcpy(request, request_array, 255);
  request[255] = 0;
  // OPEN re-reads the settings (the access key among them) before the key is checked.
  if (StartsWithNoCase(request, "OPEN ", 5) && c.reload_settings) c.reload_settings();
  GlobalArea* g = c.g;
  if (g == nullptr || !KeyMatches(key, *g)) return kKeyRejected;

  Body body;
  DispatchRequest(c, request, body);
  size_t total = body.size() + kReplyHeaderSize;
  auto* block = static_cast<uint8_t*>(MidlUserAllocate(total));
  uint8_t header[kReplyHeaderSize];
  // The header says when the reply was made, not when it was asked for.
  BuildReplyHeader(c.Now(), g->StatusCode.load(std::memory_order_relaxed), header);
  memcpy(block, header, sizeof header);
  if (!body.empty()) memcpy(block + kReplyHeaderSize, body.data(), body.size());
  *reply = block;
  *reply_length = static_cast<int32_t>(total);
  return 0;
}

}  // namespace netward
