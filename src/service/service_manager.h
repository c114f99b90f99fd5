// The service manager as the host sees it: the control side (install, start, stop, query, delete:
// what the command-line keywords use) and the in-service side (status reports and the event log).
// Back ends: systemd (systemd_manager.h) and fakes for tests (fake_service_manager.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netward::service {

inline constexpr char kServiceName[] = "TapEyeSv";
inline constexpr char kDisplayName[] = "NETWARD Agent Service";
inline constexpr char kDriverServiceName[] = "TapEye";

// Error numbers the host tells apart, in the numbering its messages print.
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorServiceExists = 1073;

// Outcome of one service-manager call: 0, or an error number with the platform's text for it.
struct ScmResult {
  uint32_t error = 0;
  std::string text;
  bool ok() const { return error == 0; }
};

// Service states (the service status record's numbering).
enum : uint32_t { kStateStopped = 1, kStateStartPending = 2, kStateStopPending = 3, kStateRunning = 4 };

struct ServiceConfig {
  std::string name;
  std::string display_name;
  std::string binary_path;             // absolute
  std::vector<std::string> arguments;  // options for the service's command line
  std::vector<std::string> dependencies;
  std::string hive_path;               // settings file the service reads and the Settings dialog saves
  std::string data_path;               // the settings' DataPath (absolute), "" for the state directory's
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Reaches the service manager at all.
  virtual ScmResult Connect() = 0;
  // Registers the service to start automatically at boot; kErrorServiceExists when it is there.
  virtual ScmResult Create(const ServiceConfig& config) = 0;
  // The service exists (kErrorServiceDoesNotExist otherwise).
  virtual ScmResult Open(const std::string& name) = 0;
  // Starts the service; kErrorServiceAlreadyRunning when it runs or is starting.
  virtual ScmResult Start(const std::string& name) = 0;
  // Sends the stop control without waiting for the end; `state` is the state right after.
  // kErrorServiceNotActive when it is not running.
  virtual ScmResult Stop(const std::string& name, uint32_t& state) = 0;
  virtual ScmResult Query(const std::string& name, uint32_t& state) = 0;
  // Removes the service (and the driver unit installed beside it).
  virtual ScmResult Delete(const std::string& name) = 0;
};

// The running service's channel to the manager.
class ServiceChannel {
 public:
  virtual ~ServiceChannel() = default;
  // True when the process was started by the service manager and can report to it.
  virtual bool Connect() = 0;
  // Sends one status report ("READY=1\nSTATUS=..." lines); true when the manager took it.
  virtual bool Notify(const std::string& assignments) = 0;
};

// Event-log entry types and their journal priorities.
enum : uint16_t { kEventError = 1, kEventWarning = 2, kEventInformation = 4 };
int JournalPriority(uint16_t event_type);

class EventLog {
 public:
  virtual ~EventLog() = default;
  // One entry under the source "TapEyeSv" with its insertion strings; false when it could not be
  // written.
  virtual bool Report(uint16_t event_type, const std::vector<std::string>& strings) = 0;
};

}  // namespace netward::service
