// The agent's body: start-up, the ten-minute main loop with its day roll-over, and CommonStop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounting/name_resolver.h"
#include "capture/packet_driver.h"
#include "state/history.h"
#include "state/records.h"
#include "state/shared_state.h"
#include "metrics/metrics_server.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/output.h"
#include "platform/registry.h"
#include "platform/window_messages.h"

namespace netward {

inline constexpr char kAgentVersion[] = "19990415";
inline constexpr char kOwnershipNotice[] = "NETWARD agent for Linux - LAN troubleshooting monitor";
inline constexpr char kSettingsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters";
inline constexpr char kSevereErrorCaption[] = "TapEyeSv SEVERE ERROR";
inline constexpr uint32_t kCheckpointMs = 600000;  // ten minutes
inline constexpr uint32_t kStopWaitMs = 2500;       // CommonStop's wait for the final files
inline constexpr uint32_t kExportBufferBytes = 1020;

// Service states for ReportServiceStatus.
enum ServiceState : uint32_t { kServiceStopped = 1, kServiceStartPending = 2, kServiceStopPending = 3, kServiceRunning = 4 };

// Command-line options of the agent.
struct AgentOptions {
  std::string state_dir;       // the "Windows directory": default home of the history directory
  bool force_promiscuous = false;
  bool debug_mode = true;
  std::vector<std::string> replay_files;
  int rpc_port = 0;            // 0 = dynamic; given: the agent cannot run without it
  std::string local_endpoint;  // ncalrpc socket path; empty = the settings' or the default one
  // The service's own socket path (in its runtime directory), used when neither the command line
  // nor the settings name one; unlike those, the agent runs on without it.
  std::string default_local_endpoint;
  // Address of the metrics endpoint (--metrics); empty: the settings' `MetricsAddress`, if any.
  std::string metrics_address;
};

// What the agent reaches of the platform and of the layers started above it.
struct AgentHooks {
  // ReportServiceStatus(state, exit code, wait hint ms); a no-op in console mode.
  std::function<void(uint32_t, uint32_t, uint32_t)> report_status;
  // Stops the RPC server from listening (process-wide).
  std::function<void()> rpc_stop_listening;
  // Posts a window message with zero parameters to a window handle.
  std::function<void(uintptr_t, uint32_t)> post_message;
  // Body of the RPC server thread, started at the end of start-up; null: no remote access.
  std::function<void(class Agent&)> rpc_server_thread;
  // The packet driver the capture threads open adapters with; null: the Linux driver.
  PacketDriver* packet_driver = nullptr;
};

class Agent {
 public:
  Agent(platform::Registry& registry, platform::Clock& clock, platform::Output& out, platform::Random& random,
        AgentOptions options);
  ~Agent();  // joins the threads the agent started (after the stop request)

  // Start-up steps and the main loop; returns when the agent has ended.
  void AgentMain();

  // Callable from any thread, any state.
  void CommonStop();
  // CommonStop for a failure that leaves the agent unable to do what it was asked; the process then
  // ends with `exit_code` (and the service reports it).
  void FatalStop(int exit_code);
  int exit_code() const { return exit_code_.load(); }
  void NotifyTaskbarWindow();
  void LoadSettings();
  // LoadSettings after the settings file has been read again, so that a value changed on disk takes
  // effect from the next "OPEN " request on. A file that no longer reads keeps the settings in force
  // and its fault is printed once.
  void ReloadSettings();
  // Deletes history files in the current directory dated before the same day of the previous month.
  void PurgeHistoryFiles();

  AgentHooks& hooks() { return hooks_; }
  platform::Event& stop_request() { return stop_request_; }
  platform::Event& agent_stopped() { return agent_stopped_; }
  platform::Registry& registry() { return registry_; }
  platform::Clock& clock() { return clock_; }
  platform::Output& out() { return out_; }
  const AgentOptions& options() const { return options_; }
  GlobalArea* global() const { return global_; }
  // The directory history files live in (absolute), known after start-up step 6.
  const std::string& history_dir() const { return history_dir_; }
  // The "Windows directory": the state directory as an absolute path (the current directory when
  // none is given), known after start-up step 6. Reports resolve "\SystemRoot\" against it.
  const std::string& windows_dir() const { return windows_dir_; }

 private:
  void StartCaptureThread(NicArea* nic);
  void StartRpcServerThread();
  // Serves the metrics when --metrics or the settings name an address; a failure is said and the
  // agent runs on without them.
  void StartMetrics();
  void MainLoop(TraceRecord& trace, char (&day)[9]);
  void SetUpAdapters();
  void ReadHostName();
  // One line for each value under the Parameters key that nothing reads.
  void WarnUnknownSettings();
  void EnterHistoryDirectory();
  std::string HistoryPath(const char* day, const char* ext) const;
  // The day's statistics file, with every station's role and name renewed from the adapters'
  // TCP/IP configuration first.
  void WriteStatistics(const char* day);

  platform::Registry& registry_;
  platform::Clock& clock_;
  platform::Output& out_;
  platform::Random& random_;
  AgentOptions options_;
  HistoryWriter history_;  // used by the main loop's thread only
  AgentHooks hooks_;
  platform::Event stop_request_;
  platform::Event agent_stopped_;
  GlobalArea* global_ = nullptr;
  std::string history_dir_;
  std::string windows_dir_;
  std::unique_ptr<PacketDriver> linux_driver_;
  std::unique_ptr<NameResolver> resolver_;
  std::unique_ptr<ResolverPool> resolver_pool_;
  std::unique_ptr<MetricsServer> metrics_;
  std::vector<std::thread> threads_;
  std::atomic<bool> priority_reported_{false};
  std::mutex reload_mutex_;
  std::string reload_error_;  // the fault last printed by ReloadSettings
  std::atomic<int> exit_code_{0};
};

}  // namespace netward
