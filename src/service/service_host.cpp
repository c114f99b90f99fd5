#include "service/service_host.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "metrics/metrics_address.h"
#include "platform/hive_file.h"

namespace netward::service {

namespace {

// Serialises status reports from the control thread, the agent and the signal thread.
std::mutex g_status_mu;

void PrintOptionsHelp() {
  fprintf(stderr,
          "options with -debug, -prom, -install, or as the service's command line:\n"
          "  --hive PATH            settings and adapter overrides (REGEDIT4 file)\n"
          "  --replay FILE          add a capture-file adapter (repeatable)\n"
          "  --rpc-port N           fixed TCP endpoint for the RPC server\n"
          "  --local-endpoint PATH  local (Unix socket) RPC endpoint\n"
          "  --state-dir DIR        state directory (default $NETWARD_STATE_DIR or the current one)\n"
          "  --metrics ADDR         serve metrics for Prometheus at http://ADDR/metrics (a port alone: loopback)\n");
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

bool IsFile(const std::string& path) {
  struct stat st{};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ScmResult FromErrno(int err) { return {static_cast<uint32_t>(err), strerror(err)}; }

// The DataPath the settings file names, as the service will see it (relative to "/", its working
// directory), created so that the unit can make it writable; "" when the settings name none.
std::string ConfiguredDataPath(const std::string& hive_path) {
  platform::HiveFile hive;
  platform::HiveFile::Error err;
  if (hive_path.empty() || !IsFile(hive_path) || !hive.Load(hive_path, err)) return "";
  std::string path = hive.GetString(kSettingsKey, "DataPath").value_or("");
  if (path.empty()) return "";
  if (path[0] != '/') path = "/" + path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (size_t pos = 1; pos <= path.size(); ++pos)
    if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0755);
  return path;
}

}  // namespace

int JournalPriority(uint16_t event_type) {
  switch (event_type) {
    case kEventError: return 3;    // LOG_ERR
    case kEventWarning: return 4;  // LOG_WARNING
    default: return 6;             // LOG_INFO
  }
}

std::string FormatErrorText(const ScmResult& error, size_t size) {
  std::string text = error.text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty() || text.size() + 14 > size) return "";
  char buf[kErrorTextSize + 32];
  snprintf(buf, sizeof buf, "%s (0x%x)", text.c_str(), error.error);
  return buf;
}

bool ParseOptions(int argc, char** argv, int first, HostRun& run) {
  AgentOptions& opt = run.options;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    auto need = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "tapeyesv: %s needs %s\n", a.c_str(), what);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    if (a == "--hive") {
      if (!(v = need("a file"))) return false;
      run.hive_path = Absolute(v);
    } else if (a == "--replay") {
      if (!(v = need("a capture file"))) return false;
      if (*v == 0) {
        // An empty name would become an adapter named after no file at all.
        fprintf(stderr, "tapeyesv: --replay needs a capture file name, not an empty one\n");
        return false;
      }
      opt.replay_files.push_back(Absolute(v));
    } else if (a == "--rpc-port") {
      if (!(v = need("a port number"))) return false;
      char* end = nullptr;
      long port = strtol(v, &end, 10);
      if (*v == 0 || *end != 0 || port < 1 || port > 65535) {
        fprintf(stderr, "tapeyesv: bad port '%s' (1-65535)\n", v);
        return false;
      }
      opt.rpc_port = static_cast<int>(port);
    } else if (a == "--local-endpoint") {
      if (!(v = need("a socket path"))) return false;
      opt.local_endpoint = Absolute(v);
    } else if (a == "--state-dir") {
      if (!(v = need("a directory"))) return false;
      opt.state_dir = Absolute(v);
    } else if (a == "--metrics") {
      if (!(v = need("an address"))) return false;
      MetricsEndpoint endpoint;
      std::string why;
      if (!ParseMetricsAddress(v, endpoint, why)) {
        fprintf(stderr, "tapeyesv: %s\n", why.c_str());
        return false;
      }
      opt.metrics_address = v;
    } else {
      fprintf(stderr, "tapeyesv: unknown option '%s'\n", a.c_str());
      return false;
    }
  }
  return true;
}

std::vector<std::string> OptionWords(const HostRun& run) {
  std::vector<std::string> words;
  auto add = [&words](const char* name, const std::string& value) {
    words.emplace_back(name);
    words.push_back(value);
  };
  if (!run.hive_path.empty()) add("--hive", run.hive_path);
  for (const std::string& f : run.options.replay_files) add("--replay", f);
  if (run.options.rpc_port > 0) add("--rpc-port", std::to_string(run.options.rpc_port));
  if (!run.options.local_endpoint.empty()) add("--local-endpoint", run.options.local_endpoint);
  if (!run.options.state_dir.empty()) add("--state-dir", run.options.state_dir);
  if (!run.options.metrics_address.empty()) add("--metrics", run.options.metrics_address);
  return words;
}

void ServiceHost::PrintUsage() {
  platform::Output& o = *env_.out;
  o.Printf("%s -install        to install   the service\n", kServiceName);
  o.Printf("%s -remove         to remove    the service\n", kServiceName);
  o.Printf("%s -start          to start     the service\n", kServiceName);
  o.Printf("%s -stop           to stop      the service\n", kServiceName);
  o.Printf("%s -debug <params> to run as a console app for debugging\n", kServiceName);
  o.Printf("\nStartServiceCtrlDispatcher being called.\n");
  o.Printf("This may take several seconds.  Please wait.\n");
}

int ServiceHost::Main(int argc, char** argv) {
  if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
    const char* kw = argv[1] + 1;
    HostRun run;
    if (strcasecmp(kw, "install") == 0) {
      // Options after the keyword go on the service's command line.
      if (!ParseOptions(argc, argv, 2, run)) {
        PrintUsage();
        PrintOptionsHelp();
        return 2;
      }
      StopAgentServices();
      RemoveService();
      InstallService(run);
      return 0;
    }
    if (strcasecmp(kw, "remove") == 0) {
      StopAgentServices();
      RemoveService();
      return 0;
    }
    if (strcasecmp(kw, "start") == 0) {
      StartAgentService();
      return 0;
    }
    if (strcasecmp(kw, "stop") == 0) {
      StopAgentServices();
      return 0;
    }
    if (strcasecmp(kw, "debug") == 0) return Console(argc, argv);
    if (strcasecmp(kw, "prom") == 0) {
      force_promiscuous_ = true;
      return Console(argc, argv);
    }
  }

  PrintUsage();
  // The unit's command line carries options only; anything else is ignored as the keyword was.
  HostRun run;
  if (argc > 1 && strncmp(argv[1], "--", 2) == 0 && !ParseOptions(argc, argv, 1, run)) {
    PrintOptionsHelp();
    return 2;
  }
  if (!env_.channel->Connect()) {
    LogServiceError("StartServiceCtrlDispatcher failed.");
    return 1;
  }
  return ServiceMain(run);
}

int ServiceHost::Console(int argc, char** argv) {
  debug_mode_ = true;
  HostRun run;
  run.options.force_promiscuous = force_promiscuous_;
  if (!ParseOptions(argc, argv, 2, run)) {
    PrintUsage();
    PrintOptionsHelp();
    return 2;
  }
  if (run.options.state_dir.empty()) {
    const char* env = getenv("NETWARD_STATE_DIR");
    if (env && *env) run.options.state_dir = Absolute(env);
  }
  run.options.debug_mode = true;
  env_.out->Printf("Debugging %s.\n", kDisplayName);
  return env_.run_agent(*this, run);
}

int ServiceHost::ServiceMain(const HostRun& given) {
  HostRun run = given;
  status_handle_ = true;
  {
    std::lock_guard<std::mutex> lock(g_status_mu);
    status_.service_type = kServiceTypeOwnProcess;
    status_.service_exit_code = 0;
  }
  if (run.hive_path.empty() && IsFile(env_.default_hive)) run.hive_path = env_.default_hive;
  if (run.options.state_dir.empty()) {
    // systemd's StateDirectory= arrives as a colon-separated list; the first is ours.
    const char* env = getenv("STATE_DIRECTORY");
    std::string dir = env ? std::string(env).substr(0, std::string(env).find(':')) : "";
    run.options.state_dir = dir.empty() ? env_.default_state_dir : dir;
  }
  run.options.debug_mode = false;
  run.options.force_promiscuous = false;
  if (!ReportServiceStatus(kStateStartPending, 0, 3000)) {
    if (status_handle_) ReportServiceStatus(kStateStopped, last_error_, 0);
    return 1;
  }
  return env_.run_agent(*this, run);
}

bool ServiceHost::ReportServiceStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint_ms) {
  if (debug_mode_) return true;
  std::string report;
  {
    std::lock_guard<std::mutex> lock(g_status_mu);
    status_.controls_accepted = state == kStateStartPending ? 0 : kAcceptStop;
    status_.current_state = state;
    status_.win32_exit_code = exit_code;
    status_.wait_hint = wait_hint_ms;
    if (state == kStateRunning || state == kStateStopped)
      status_.checkpoint = 0;
    else
      status_.checkpoint = checkpoint_counter_++;
    // The record as systemd takes it: readiness, stopping, and the wait hint as a time-out extension.
    char buf[160];
    const uint64_t extend_usec = uint64_t(wait_hint_ms) * 1000;
    switch (state) {
      case kStateStartPending:
        snprintf(buf, sizeof buf, "STATUS=Starting (checkpoint %u)\nEXTEND_TIMEOUT_USEC=%llu",
                 status_.checkpoint, static_cast<unsigned long long>(extend_usec));
        break;
      case kStateRunning: snprintf(buf, sizeof buf, "READY=1\nSTATUS=Running"); break;
      case kStateStopPending:
        snprintf(buf, sizeof buf, "STOPPING=1\nSTATUS=Stopping (checkpoint %u)\nEXTEND_TIMEOUT_USEC=%llu",
                 status_.checkpoint, static_cast<unsigned long long>(extend_usec));
        break;
      default:
        if (exit_code != 0)
          snprintf(buf, sizeof buf, "STATUS=Stopped (error %u)\nERRNO=%u", exit_code, exit_code);
        else
          snprintf(buf, sizeof buf, "STATUS=Stopped");
        break;
    }
    report = buf;
  }
  bool ok = env_.channel->Notify(report);
  if (!ok) LogServiceError("SetServiceStatus");
  return ok;
}

void ServiceHost::LogServiceError(const char* message) {
  if (debug_mode_) return;
  last_error_ = static_cast<uint32_t>(errno);
  char line[64];
  snprintf(line, sizeof line, "%s error: %d", kServiceName, static_cast<int>(last_error_));
  env_.event_log->Report(kEventError, {line, message});
}

void ServiceHost::InstallService(const HostRun& run) {
  platform::Output& o = *env_.out;
  ServiceConfig config;
  if (!env_.executable_path(config.binary_path)) {
    o.Printf("Unable to install %s - %s\n", kDisplayName, FormatErrorText(FromErrno(errno)).c_str());
    return;
  }
  ScmResult r = env_.manager->Connect();
  if (!r.ok()) {
    o.Printf("OpenSCManager failed - %s\n", FormatErrorText(r).c_str());
    return;
  }
  config.name = kServiceName;
  config.display_name = kDisplayName;
  config.arguments = OptionWords(run);
  // RPCSS has no counterpart here: the agent hosts its own endpoint mapper.
  config.dependencies = {kDriverServiceName};
  config.hive_path = run.hive_path.empty() ? env_.default_hive : run.hive_path;
  config.data_path = ConfiguredDataPath(config.hive_path);
  r = env_.manager->Create(config);
  if (r.ok())
    o.Printf("%s installed.\n", kDisplayName);
  else
    o.Printf("CreateService failed - %s\n", FormatErrorText(r).c_str());
}

void ServiceHost::RemoveService() {
  platform::Output& o = *env_.out;
  ServiceManager& m = *env_.manager;
  ScmResult r = m.Connect();
  if (!r.ok()) {
    o.Printf("OpenSCManager failed - %s\n", FormatErrorText(r).c_str());
    return;
  }
  r = m.Open(kServiceName);
  if (!r.ok()) {
    o.Printf("OpenService failed - %s\n", FormatErrorText(r).c_str());
    return;
  }
  uint32_t state = 0;
  if (m.Stop(kServiceName, state).ok()) {
    o.Printf("Stopping %s.", kDisplayName);
    env_.clock->SleepMs(1000);
    // No limit on the rounds: systemd's own stop time-out ends a service that hangs.
    uint32_t now = 0;
    while (m.Query(kServiceName, now).ok()) {
      state = now;
      if (state != kStateStopPending) break;
      o.Printf(".");
      env_.clock->SleepMs(1000);
    }
    if (state == kStateStopped)
      o.Printf("\n%s stopped.\n", kDisplayName);
    else
      o.Printf("\n%s failed to stop.\n", kDisplayName);
  }
  r = m.Delete(kServiceName);
  if (r.ok())
    o.Printf("%s removed.\n", kDisplayName);
  else
    o.Printf("DeleteService failed - %s\n", FormatErrorText(r).c_str());
}

void ServiceHost::StartAgentService() {
  platform::Output& o = *env_.out;
  ServiceManager& m = *env_.manager;
  if (!m.Connect().ok()) {
    o.MessageBox(kNoScmText, kControlErrorCaption);
    return;
  }
  ScmResult r = m.Open(kServiceName);
  if (!r.ok()) {
    o.Printf("Could not open %s - code %d\n", kServiceName, static_cast<int>(r.error));
    return;
  }
  r = m.Start(kServiceName);
  if (r.ok())
    o.Printf("%s started\n", kServiceName);
  else if (r.error == kErrorServiceAlreadyRunning)
    o.Printf("%s is already running\n", kServiceName);
  else
    o.Printf("%s failed to start - code %d\n", kServiceName, static_cast<int>(r.error));
}

void ServiceHost::StopAgentServices() {
  platform::Output& o = *env_.out;
  ServiceManager& m = *env_.manager;
  if (!m.Connect().ok()) {
    o.MessageBox(kNoScmText, kControlErrorCaption);
    return;
  }
  for (const char* name : {kServiceName, kDriverServiceName}) {
    ScmResult r = m.Open(name);
    if (!r.ok()) {
      o.Printf("Could not open %s - code %d\n", name, static_cast<int>(r.error));
      continue;
    }
    uint32_t state = 0;
    r = m.Stop(name, state);
    if (r.ok())
      o.Printf("%s stopped\n", name);
    else if (r.error == kErrorServiceNotActive)
      o.Printf("%s is already stopped\n", name);
    else
      o.Printf("%s failed to stop - code %d\n", name, static_cast<int>(r.error));
  }
}

}  // namespace netward::service
