// The process entry of tapeyesv: the keywords, installation and control of the agent service, the
// service start with its status reports, the event log, and console mode.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/agent.h"
#include "platform/clock.h"
#include "platform/output.h"
#include "service/service_manager.h"

namespace netward::service {

inline constexpr char kControlErrorCaption[] = "NETWARD ERROR";
inline constexpr char kNoScmText[] = "Could not open Service Control Manager";
inline constexpr uint32_t kServiceTypeOwnProcess = 0x10;
inline constexpr uint32_t kAcceptStop = 1;
inline constexpr size_t kErrorTextSize = 256;

// The seven fields of the service status record, in the record's order.
struct ServiceStatusRecord {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_exit_code = 0;
  uint32_t checkpoint = 0;
  uint32_t wait_hint = 0;
};

// What the command line gives the agent besides the keyword.
struct HostRun {
  AgentOptions options;
  std::string hive_path;  // empty: no settings file
};

class ServiceHost;

struct HostEnv {
  ServiceManager* manager = nullptr;
  ServiceChannel* channel = nullptr;
  EventLog* event_log = nullptr;
  platform::Output* out = nullptr;
  platform::Clock* clock = nullptr;  // the 1000 ms rounds of the remove keyword
  // Absolute path of this executable; false (errno set) when it cannot be read.
  std::function<bool(std::string&)> executable_path;
  // Runs the agent (RunAgent) until it has ended; returns the process exit code.
  std::function<int(ServiceHost&, const HostRun&)> run_agent;
  // Settings file the service reads when its command line names none ("" for none).
  std::string default_hive;
  // State directory of the service when neither --state-dir nor $STATE_DIRECTORY gives one.
  std::string default_state_dir = "/var/lib/netward";
};

// "%s (0x%x)" of an error text and its number; empty when there is no text or when it does not fit
// a buffer of `size` bytes with 14 to spare.
std::string FormatErrorText(const ScmResult& error, size_t size = kErrorTextSize);

// Parses the options after the keyword (argv[first..]); false with a message on standard error.
bool ParseOptions(int argc, char** argv, int first, HostRun& run);
// The options again as command-line words (for the unit's ExecStart).
std::vector<std::string> OptionWords(const HostRun& run);

class ServiceHost {
 public:
  explicit ServiceHost(HostEnv env) : env_(std::move(env)) {}

  // The process entry: carries out the keyword of argv[1] or becomes the service.
  int Main(int argc, char** argv);

  void InstallService(const HostRun& run);
  void RemoveService();
  void StartAgentService();
  void StopAgentServices();
  // Service mode after the manager has connected; returns the exit code.
  int ServiceMain(const HostRun& run);

  // Safe from any thread; a no-op returning true in console mode.
  bool ReportServiceStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint_ms);
  void LogServiceError(const char* message);

  bool debug_mode() const { return debug_mode_; }
  bool force_promiscuous() const { return force_promiscuous_; }
  const ServiceStatusRecord& status() const { return status_; }
  uint32_t last_error() const { return last_error_; }
  platform::Output& out() { return *env_.out; }

 private:
  int Console(int argc, char** argv);
  void PrintUsage();

  HostEnv env_;
  bool debug_mode_ = false;
  bool force_promiscuous_ = false;
  bool status_handle_ = false;
  uint32_t checkpoint_counter_ = 1;
  uint32_t last_error_ = 0;
  ServiceStatusRecord status_;
};

}  // namespace netward::service
