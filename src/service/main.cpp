// tapeyesv: the NETWARD agent. With a keyword after '-' or '/' it installs, removes, starts or
// stops its systemd service, or runs in the console (debug, prom); otherwise it is the service.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "platform/clock.h"
#include "platform/output.h"
#include "service/agent_runner.h"
#include "service/console_events.h"
#include "service/service_host.h"
#include "service/systemd_manager.h"

namespace {

bool ExecutablePath(std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = 0;
  path = buf;
  return true;
}

// Console mode and the service take console events as signals, on a thread that exists before any
// other.
bool RunsAgent(int argc, char** argv) {
  if (argc <= 1 || (argv[1][0] != '-' && argv[1][0] != '/')) return true;
  for (const char* kw : {"install", "remove", "start", "stop"})
    if (strcasecmp(argv[1] + 1, kw) == 0) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<netward::service::ConsoleSignalThread> signals;
  if (RunsAgent(argc, argv)) signals = std::make_unique<netward::service::ConsoleSignalThread>();

  netward::service::SystemdServiceManager manager;
  netward::service::SystemdChannel channel;
  netward::service::JournalEventLog event_log;
  netward::platform::ConsoleOutput out;
  netward::platform::RealClock clock;

  netward::service::HostEnv env;
  env.manager = &manager;
  env.channel = &channel;
  env.event_log = &event_log;
  env.out = &out;
  env.clock = &clock;
  env.executable_path = ExecutablePath;
  env.default_hive = NETWARD_DEFAULT_HIVE;
  env.run_agent = [&out, &signals](netward::service::ServiceHost& host, const netward::service::HostRun& run) {
    out.SetJournal(!host.debug_mode(), netward::service::kServiceName);
    return netward::service::RunAgent(host, run, out, signals.get());
  };
  netward::service::ServiceHost host(std::move(env));
  return host.Main(argc, argv);
}
