#include "core/agent.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "accounting/accounting.h"
#include "accounting/stations.h"
#include "capture/linux_driver.h"
#include "capture/capture_thread.h"
#include "state/history.h"
#include "diagnostics/installed_adapters.h"
#include "diagnostics/tcpip_report.h"
#include "platform/files.h"
#include "platform/thread_priority.h"
#include "platform/system_registry.h"

namespace netward {

Agent::Agent(platform::Registry& registry, platform::Clock& clock, platform::Output& out,
             platform::Random& random, AgentOptions options)
    : registry_(registry), clock_(clock), out_(out), random_(random), options_(std::move(options)), history_(&out) {}

Agent::~Agent() {
  // First: its thread reads the adapters' driver handles, which go with linux_driver_.
  metrics_.reset();
  stop_request_.Set();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  if (resolver_pool_) {
    InstallResolverPool(nullptr);
    resolver_pool_.reset();
  }
}

void Agent::LoadSettings() {
  GlobalArea* g = global_;
  if (g == nullptr) return;
  uint8_t key[16] = {};
  auto open_key = registry_.Query(kSettingsKey, "OpenKey");
  bool have_key = false;
  if (open_key && !open_key->data.empty() && open_key->data[0] != 0) {
    // A longer value keeps its first 16 bytes.
    memcpy(key, open_key->data.data(), open_key->data.size() < 16 ? open_key->data.size() : 16);
    have_key = true;
  }
  if (!have_key) {
    // Four draws, each stored as a 32-bit word, filled from the last word to the first.
    random_.Seed(clock_.Now());
    for (int word = 3; word >= 0; --word) {
      uint32_t v = random_.Next();
      memcpy(key + 4 * word, &v, 4);
    }
  }
  SharedCopyIn(g->AccessKey, key, sizeof key);
  g->AutoIpName.store(registry_.GetDword(kSettingsKey, "AutoIpName").value_or(0), std::memory_order_relaxed);
}

void Agent::ReloadSettings() {
  {
    std::lock_guard lock(reload_mutex_);
    std::string error;
    if (registry_.Reload(error)) {
      reload_error_.clear();
    } else if (error != reload_error_) {
      out_.Printf("Settings file not re-read, the settings in force stay: %s\n", error.c_str());
      reload_error_ = error;
    }
  }
  LoadSettings();
}

void Agent::WarnUnknownSettings() {
  // Every value the agent reads under its Parameters key: a misspelt one (an "OpenKy" that leaves
  // the access key random) is otherwise ignored without a word.
  static constexpr const char* kKnown[] = {"DataPath",       "OpenKey",          "AutoIpName",
                                           "RpcTcpPort",     "RpcLocalEndpoint", "EndpointMapperPort",
                                           "MetricsAddress", "MetricsTopStations"};
  for (const std::string& name : registry_.ValueNames(kSettingsKey)) {
    bool known = false;
    for (const char* k : kKnown) known = known || strcasecmp(k, name.c_str()) == 0;
    if (known) continue;
    std::string list;
    for (const char* k : kKnown) list += (list.empty() ? "" : ", ") + std::string(k);
    out_.WarningPrintf("Unknown setting '%s' in %s is ignored (known: %s)\n", name.c_str(), kSettingsKey, list.c_str());
  }
}

void Agent::ReadHostName() {
  global_->HostName.Clear();
  char name[33] = {};
  if (gethostname(name, 32) == 0) {
    name[32] = 0;
    for (char* p = name; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    global_->HostName.Set(name);
  }
}

namespace {

// SetCurrentDirectory, and on failure CreateDirectory and SetCurrentDirectory again; the reason of
// the last failure in words.
bool EnterDirectory(const std::string& dir, std::string& why) {
  if (chdir(dir.c_str()) == 0) return true;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    why = strerror(errno);
    return false;
  }
  if (chdir(dir.c_str()) == 0) return true;
  why = strerror(errno);
  return false;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

}  // namespace

void Agent::EnterHistoryDirectory() {
  std::string data_path = registry_.GetString(kSettingsKey, "DataPath").value_or("");
  if (data_path.size() > 259) data_path.resize(259);
  std::string windows_dir = options_.state_dir.empty() ? "." : options_.state_dir;
  // Absolute before the directory changes, so that later look-ups under it still find it.
  if (char resolved[PATH_MAX]; realpath(windows_dir.c_str(), resolved) != nullptr) windows_dir_ = resolved;
  else windows_dir_ = AbsolutePath(windows_dir);
  // The history directory's name is kept as the Windows agent has it, with the separator of this
  // platform.
  const std::string fallback = windows_dir_ + "/NETWARD History";
  std::string dir = data_path.empty() ? fallback : AbsolutePath(data_path);
  std::string why;
  if (!EnterDirectory(dir, why)) {
    bool entered = false;
    if (dir != fallback) {
      // A DataPath that cannot be used is said once; history goes to the state directory's, never
      // to whatever directory the agent was started in.
      out_.WarningPrintf("DataPath '%s' cannot be used: %s; history files go to '%s'\n", data_path.c_str(),
                         why.c_str(), fallback.c_str());
      dir = fallback;
      entered = EnterDirectory(dir, why);
    }
    if (!entered) out_.WarningPrintf("History directory '%s' cannot be used: %s\n", dir.c_str(), why.c_str());
  }
  char cwd[PATH_MAX] = {};
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = 0;
  // Where the history goes even when the directory could not be entered: the writes then fail and
  // say so, instead of landing in the current directory.
  if (char resolved[PATH_MAX]; realpath(dir.c_str(), resolved) != nullptr) history_dir_ = resolved;
  else history_dir_ = dir;
  out_.Printf("Current Directory is '%s'\n", cwd);
}

std::string Agent::HistoryPath(const char* day, const char* ext) const {
  char name[16];
  snprintf(name, sizeof name, "%s.%s", day, ext);
  return history_dir_.empty() ? std::string(name) : history_dir_ + "/" + name;
}

void Agent::WriteStatistics(const char* day) {
  RefreshStationLabels(registry_, *global_, static_cast<time_t>(clock_.Now()));
  history_.WriteStatistics(HistoryPath(day, "TES"), *global_);
}

void Agent::PurgeHistoryFiles() {
  platform::LocalDate today = clock_.Today();
  const int now_months = 12 * today.year + today.month - 1;
  const std::string dir = history_dir_.empty() ? "." : history_dir_;
  for (const std::string& name : platform::ListDirectory(dir, "*.TE*")) {
    if (name.size() < 12) continue;
    bool digits = true;
    for (int i = 0; i < 8; ++i) digits = digits && isdigit(static_cast<unsigned char>(name[i]));
    if (!digits) continue;
    int year = std::stoi(name.substr(0, 4));
    int month = std::stoi(name.substr(4, 2));
    int day = std::stoi(name.substr(6, 2));
    if (year == 0 || month == 0 || day == 0) continue;
    std::string ext = name.substr(8, 4);
    if (ext != ".TET" && ext != ".TES") continue;
    int months = 12 * year + month;
    if (months < now_months || (months == now_months && day < today.day)) {
      out_.Printf("PURGING %s\n", name.c_str());
      unlink((dir + "/" + name).c_str());
    }
  }
}

void Agent::SetUpAdapters() {
  // The adapter list comes as a UTF-16 multi-string of at most 1020 bytes.
  auto raw = registry_.Query(kLinkageKey, "Export");
  if (!raw || raw->type != platform::kRegMultiSz) return;
  std::vector<uint8_t> buf(raw->data);
  buf.resize(kExportBufferBytes + 2, 0);
  size_t units = kExportBufferBytes / 2;
  auto unit = [&buf](size_t i) { return static_cast<char16_t>(buf[2 * i] | buf[2 * i + 1] << 8); };
  size_t pos = 0;
  // Every adapter is attached before the first capture thread starts (see AttachNicArea).
  std::vector<NicArea*> attached;
  while (pos + 1 < units && unit(pos) != 0 && unit(pos + 1) != 0 &&
         global_->NicCount.load(std::memory_order_relaxed) < kMaxNics) {
    size_t len = 0;
    while (pos + len < units && unit(pos + len) != 0) ++len;
    NicArea* nic = AllocateNicArea();
    if (nic == nullptr) {
      out_.MessageBox("GlobalAlloc for NIC area FAILED", kSevereErrorCaption);
      for (NicArea* earlier : attached) StartCaptureThread(earlier);
      return;
    }
    AttachNicArea(*global_, nic);  // the loop stops before kMaxNics are taken
    char adapter_name[32] = {};
    for (size_t i = 15, j = 0; i < len && j < 31; ++i, ++j) adapter_name[j] = static_cast<char>(unit(pos + i) & 0xFF);
    nic->AdapterName.Set(adapter_name);
    std::string line = "Creating ZivUzevari Thread for Adapter ";
    for (size_t i = 0; i < len; ++i) line.push_back(static_cast<char>(unit(pos + i) & 0xFF));
    line += "\n";
    out_.Write(line.c_str());
    for (size_t i = 0; i < len && i < 127; ++i) nic->DeviceName[i] = unit(pos + i);
    attached.push_back(nic);
    pos += len + 1;
  }
  for (NicArea* nic : attached) StartCaptureThread(nic);
  // Entries beyond the four adapters (or beyond the list buffer) are named, not dropped silently.
  const size_t all_units = raw->data.size() / 2;
  auto any_unit = [&raw](size_t i) { return static_cast<char16_t>(raw->data[2 * i] | raw->data[2 * i + 1] << 8); };
  std::string left_out;
  int count = 0;
  while (pos < all_units && any_unit(pos) != 0) {
    std::string name;
    for (; pos < all_units && any_unit(pos) != 0; ++pos) name.push_back(static_cast<char>(any_unit(pos) & 0xFF));
    ++pos;
    left_out += (left_out.empty() ? "" : ", ") + name;
    ++count;
  }
  if (count > 0)
    out_.WarningPrintf("Not monitored (at most %d adapters are), %d left out: %s\n", kMaxNics, count, left_out.c_str());
}

void Agent::StartCaptureThread(NicArea* nic) {
  PacketDriver* driver = hooks_.packet_driver;
  if (driver == nullptr) {
    if (!linux_driver_)
      linux_driver_ = std::make_unique<LinuxPacketDriver>(registry_, clock_, out_, options_.replay_files);
    driver = linux_driver_.get();
  }
  CaptureContext ctx;
  ctx.driver = driver;
  ctx.stop_request = &stop_request_;
  ctx.out = &out_;
  ctx.force_promiscuous = options_.force_promiscuous;
  ctx.common_stop = [this] { CommonStop(); };
  ctx.account_8023 = AccountEthernetFrame;
  ctx.account_8025 = AccountTokenRingFrame;
  threads_.emplace_back([this, nic, ctx] {
    // Time-critical where the system allows it: the highest priority this process may take.
    if (platform::RaiseThreadPriority() >= 0 && !priority_reported_.exchange(true))
      out_.Printf("Capture threads run at normal priority: a higher one needs CAP_SYS_NICE or an "
                  "RLIMIT_NICE allowance\n");
    CaptureThread(nic, ctx);
  });
}
void Agent::StartMetrics() {
  std::string text = options_.metrics_address;
  const char* source = "--metrics";
  if (text.empty()) {
    source = "MetricsAddress";
    // Written as a DWORD, the value can only be meant as the port.
    if (const auto port = registry_.GetDword(kSettingsKey, "MetricsAddress")) text = std::to_string(*port);
    else text = registry_.GetString(kSettingsKey, "MetricsAddress").value_or("");
  }
  if (text.empty()) return;
  MetricsSettings settings;
  std::string why;
  if (!ParseMetricsAddress(text, settings.endpoint, why)) {
    out_.WarningPrintf("Metrics not served (%s): %s\n", source, why.c_str());
    return;
  }
  settings.global = global_;
  settings.top_stations =
      std::min(registry_.GetDword(kSettingsKey, "MetricsTopStations").value_or(kDefaultTopStations), kMaxTopStations);
  settings.now = [this] { return clock_.Now(); };
  auto server = std::make_unique<MetricsServer>();
  if (!server->Start(std::move(settings), why)) {
    out_.WarningPrintf("Metrics endpoint cannot be opened (%s): %s; the agent runs on without it\n", source,
                       why.c_str());
    return;
  }
  out_.Printf("Metrics served at %s%s\n", server->Url().c_str(),
              server->connection_limit() < kMetricsMaxConnections ? " (fewer connections: descriptors are short)" : "");
  metrics_ = std::move(server);
}

void Agent::StartRpcServerThread() {
  if (!hooks_.rpc_server_thread) return;
  threads_.emplace_back([this] { hooks_.rpc_server_thread(*this); });
}

void Agent::AgentMain() {
  out_.Printf("TapEyeSv Started - Version '%s' \n%s\n", kAgentVersion, kOwnershipNotice);
  global_ = AllocateGlobalArea();
  if (global_ == nullptr) {
    out_.MessageBox("GlobalAlloc for GLOBAL area FAILED", kSevereErrorCaption);
    return;
  }
  g_global_area.store(global_, std::memory_order_release);
  history_.CountFailuresIn(&global_->Health.HistoryWriteFailures);
  global_->Health.StartTime.store(clock_.Now(), std::memory_order_relaxed);
  ReadHostName();
  LoadSettings();
  WarnUnknownSettings();
  // Before the adapters, so that a scraper sees a replay from its first frame.
  StartMetrics();
  // Reverse look-ups of new IP stations run on a small pool, off the capture threads.
  SetAccountingOutput(&out_);
  resolver_ = std::make_unique<SystemNameResolver>();
  resolver_pool_ = std::make_unique<ResolverPool>(*resolver_);
  InstallResolverPool(resolver_pool_.get());
  EnterHistoryDirectory();

  TraceRecord trace;
  trace.Time = clock_.Now();
  char day[9];
  platform::DayName(clock_.Today(), day);
  PurgeHistoryFiles();
  // A crash or power cut mid-write may have left a partial last record; whole records from here on.
  history_.RepairDirectory(history_dir_.empty() ? "." : history_dir_);
  history_.AppendTrace(HistoryPath(day, "TET"), trace);  // start marker: all gains zero

  SetUpAdapters();
  CheckDriverDates(registry_, windows_dir_, *global_, out_);
  clock_.SleepMs(2000);
  out_.Printf("Creating ServerRPC Thread \n");
  StartRpcServerThread();

  MainLoop(trace, day);
}

void Agent::MainLoop(TraceRecord& trace, char (&day)[9]) {
  while (true) {
    bool stopping = clock_.Wait(stop_request_, kCheckpointMs);

    TotalsSnapshot now = global_->Totals();
    trace = GainsSince(now, global_->CheckpointCopy());
    trace.Time = clock_.Now();
    global_->SetCheckpoint(now);

    char previous[9];
    memcpy(previous, day, sizeof previous);
    platform::DayName(clock_.Today(), day);
    history_.AppendTrace(HistoryPath(day, "TET"), trace);

    if (stopping) {
      WriteStatistics(day);
      agent_stopped_.Set();
      return;
    }
    if (strcmp(previous, day) != 0) {
      WriteStatistics(previous);
      int nics = global_->NicCount.load(std::memory_order_relaxed);
      for (int i = 0; i < nics; ++i) {
        global_->DayChanges.fetch_add(1, std::memory_order_relaxed);
        RelaxedStore(global_->Nics[i]->StationCount, 0);
      }
    }
  }
}

void Agent::CommonStop() {
  auto report = [this](uint32_t state, uint32_t code, uint32_t hint) {
    if (hooks_.report_status) hooks_.report_status(state, code, hint);
  };
  out_.Printf("TapEyeSv shutdown in progress.\n");
  report(kServiceStopPending, 0, 3000);
  if (GlobalArea* g = Global()) {
    for (auto& w : g->Windows) {
      // Acquire: a window is published after the post_message hook that reaches it is installed.
      uintptr_t handle = w.load(std::memory_order_acquire);
      if (handle != 0 && hooks_.post_message) hooks_.post_message(handle, kMsgCloseWindow);
    }
  }
  stop_request_.Set();
  report(kServiceStopPending, 0, 3000);
  if (hooks_.rpc_stop_listening) hooks_.rpc_stop_listening();
  report(kServiceStopPending, 0, 3000);
  // Real time, not the agent clock: this bounds how long a stop may take.
  agent_stopped_.WaitMs(kStopWaitMs);
  report(kServiceStopped, static_cast<uint32_t>(exit_code_.load()), 0);
}

void Agent::FatalStop(int exit_code) {
  exit_code_.store(exit_code);
  CommonStop();
}

void Agent::NotifyTaskbarWindow() {
  GlobalArea* g = Global();
  if (g == nullptr) return;
  uintptr_t taskbar = g->Windows[kTaskbarWindow].load(std::memory_order_acquire);
  if (taskbar != 0 && hooks_.post_message) hooks_.post_message(taskbar, kMsgTaskbarLogOff);
}

}  // namespace netward
