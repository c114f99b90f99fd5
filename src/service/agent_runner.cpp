#include "service/agent_runner.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "capture/linux_driver.h"
#include "capture/packet_driver.h"
#include "core/agent.h"
#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"
#include "remote/rpc_server.h"
#include "service/console_events.h"
#include "taskbar/message_window.h"

namespace netward::service {

namespace {

// The state directory holds the history directory, which the agent creates one level deep only.
void MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos)
    if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0755);
}

}  // namespace

int RunAgent(ServiceHost& host, const HostRun& run, platform::Output& out, ConsoleSignalThread* signals) {
  auto hive = std::make_shared<platform::HiveFile>();
  if (!run.hive_path.empty()) {
    platform::HiveFile::Error err;
    if (!hive->Load(run.hive_path, err)) {
      fprintf(stderr, "tapeyesv: %s\n", err.message.c_str());
      host.ReportServiceStatus(kStateStopped, 0, 0);
      return 2;
    }
  }
  if (!run.options.state_dir.empty()) MakeDirectories(run.options.state_dir);
  platform::SystemRegistry registry(hive, PacketDriverKeys());
  registry.SetHivePath(run.hive_path);  // "OPEN " requests read it again
  for (const std::string& name : ReplayAdapterNames(run.options.replay_files))
    registry.AddExport(platform::Widen(kDevicePrefix + name));
  platform::RealClock clock;
  platform::LibcRandom random;

  AgentOptions options = run.options;
  // The service's local endpoint lives in its runtime directory (RuntimeDirectory=), at a fixed
  // name clients can find, unless the command line or the settings name one.
  const char* runtime = getenv("RUNTIME_DIRECTORY");
  if (!host.debug_mode() && runtime != nullptr && *runtime != 0) {
    std::string dir(runtime);
    options.default_local_endpoint = dir.substr(0, dir.find(':')) + "/tapeyesv.sock";
  }

  Agent agent(registry, clock, out, random, options);
  // The two process events exist with the agent; an event without its descriptor cannot wake a
  // capture thread's poll.
  if (agent.stop_request().Fd() < 0 || agent.agent_stopped().Fd() < 0) {
    host.ReportServiceStatus(kStateStopped, 0, 0);
    out.MessageBox("CreateEvent FAILED", kSevereErrorCaption);
    return 1;
  }
  if (!host.ReportServiceStatus(kStateRunning, 0, 0)) return 1;

  AgentHooks& hooks = agent.hooks();
  hooks.report_status = [&host](uint32_t state, uint32_t code, uint32_t hint) {
    host.ReportServiceStatus(state, code, hint);
  };
  hooks.rpc_server_thread = RpcServerThread;
  hooks.rpc_stop_listening = StopRpcListening;
  // Window messages (CommonStop's close, log-off) reach the taskbar window's queue; set before any
  // thread starts, so no thread ever sees the hook change.
  hooks.post_message = [](uintptr_t window, uint32_t message) { SendWindowMessage(window, message); };

  const bool debug = host.debug_mode();
  if (signals != nullptr) {
    signals->Attach([&agent, &out, debug](int sig) { return HandleConsoleSignal(agent, out, sig, debug); });
  }
  agent.AgentMain();
  // The agent has ended (also when a remote stop or a fatal error ran CommonStop); a stop that is
  // still running on the signal thread finishes before the agent goes away.
  if (signals != nullptr) signals->Detach();
  return agent.exit_code();
}

}  // namespace netward::service
