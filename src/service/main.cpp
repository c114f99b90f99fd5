// tapeyesv: the NETWARD agent. Keywords after '-' or '/': debug, prom (console mode); anything else
// prints the usage text.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <atomic>
#include <thread>

#include "capture/packet_driver.h"
#include "core/agent.h"
#include "platform/clock.h"
#include "platform/output.h"
#include "platform/registry.h"
#include "remote/rpc_server.h"

namespace {

constexpr char kServiceName[] = "TapEyeSv";
constexpr char kDisplayName[] = "NETWARD Agent Service";

void PrintUsage() {
  printf("%s -install        to install   the service\n", kServiceName);
  printf("%s -remove         to remove    the service\n", kServiceName);
  printf("%s -start          to start     the service\n", kServiceName);
  printf("%s -stop           to stop      the service\n", kServiceName);
  printf("%s -debug <params> to run as a console app for debugging\n", kServiceName);
  printf("\nStartServiceCtrlDispatcher being called.\n");
  printf("This may take several seconds.  Please wait.\n");
  fflush(stdout);
}

void PrintOptionsHelp() {
  fprintf(stderr,
          "options with -debug or -prom:\n"
          "  --hive PATH            settings and adapter overrides (REGEDIT4 file)\n"
          "  --replay FILE          add a capture-file adapter (repeatable)\n"
          "  --rpc-port N           fixed TCP endpoint for the RPC server\n"
          "  --local-endpoint PATH  local (Unix socket) RPC endpoint\n"
          "  --state-dir DIR        state directory (default $NETWARD_STATE_DIR or the current one)\n");
}

// Parses the options after the keyword; false on a bad option (message printed).
bool ParseOptions(int argc, char** argv, netward::AgentOptions& opt, std::string& hive_path) {
  for (int i = 2; i < argc; ++i) {
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
      hive_path = v;
    } else if (a == "--replay") {
      if (!(v = need("a capture file"))) return false;
      opt.replay_files.emplace_back(v);
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
      opt.local_endpoint = v;
    } else if (a == "--state-dir") {
      if (!(v = need("a directory"))) return false;
      opt.state_dir = v;
    } else {
      fprintf(stderr, "tapeyesv: unknown option '%s'\n", a.c_str());
      return false;
    }
  }
  return true;
}

int RunConsole(int argc, char** argv, bool promiscuous) {
  netward::AgentOptions opt;
  opt.force_promiscuous = promiscuous;
  std::string hive_path;
  if (!ParseOptions(argc, argv, opt, hive_path)) {
    PrintUsage();
    PrintOptionsHelp();
    return 2;
  }
  if (opt.state_dir.empty()) {
    const char* env = getenv("NETWARD_STATE_DIR");
    if (env && *env) opt.state_dir = env;
  }
  if (!opt.state_dir.empty() && opt.state_dir[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) opt.state_dir = std::string(cwd) + "/" + opt.state_dir;
  }
  auto hive = std::make_shared<netward::platform::HiveFile>();
  if (!hive_path.empty()) {
    netward::platform::HiveFile::Error err;
    if (!hive->Load(hive_path, err)) {
      fprintf(stderr, "tapeyesv: %s\n", err.message.c_str());
      return 2;
    }
  }
  netward::platform::SystemRegistry registry(hive);
  for (const std::string& name : netward::ReplayAdapterNames(opt.replay_files))
    registry.AddExport(netward::platform::Widen(netward::platform::kDevicePrefix + name));
  netward::platform::RealClock clock;
  netward::platform::ConsoleOutput out;
  netward::platform::LibcRandom random;

  // Console events arrive as signals and are handled on a thread of their own (never inside a
  // signal handler): SIGINT is Ctrl+C, SIGTERM a shutdown.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  out.Printf("Debugging %s.\n", kDisplayName);
  netward::Agent agent(registry, clock, out, random, opt);
  agent.hooks().rpc_server_thread = netward::RpcServerThread;
  agent.hooks().rpc_stop_listening = netward::StopRpcListening;
  std::atomic<bool> agent_ended{false};
  std::thread signals([&agent, &out, &agent_ended, set] {
    while (true) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (agent_ended.load()) return;
      if (sig == SIGHUP) {
        agent.NotifyTaskbarWindow();
        continue;
      }
      out.Printf("Stopping %s.\n", kDisplayName);
      agent.CommonStop();
      return;
    }
  });
  agent.AgentMain();
  // The agent has ended; wake the signal thread if it is still waiting.
  agent_ended.store(true);
  pthread_kill(signals.native_handle(), SIGINT);
  signals.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
    const char* kw = argv[1] + 1;
    if (strcasecmp(kw, "debug") == 0) return RunConsole(argc, argv, false);
    if (strcasecmp(kw, "prom") == 0) return RunConsole(argc, argv, true);
  }
  PrintUsage();
  fprintf(stderr, "tapeyesv: running as a service is not available in this build; use -debug\n");
  return 1;
}
