// The service manager on systemd: unit files in the system unit directory, driven through
// systemctl (spawned, no shell); the service side through sd_notify and the journal.
#pragma once

#include <map>
#include <string>

#include "service/service_manager.h"
#include "platform/process.h"

namespace netward::service {

class SystemdServiceManager : public ServiceManager {
 public:
  struct Paths {
    std::string unit_dir = "/etc/systemd/system";
    std::string systemctl = "/usr/bin/systemctl";
    std::string booted_marker = "/run/systemd/system";  // exists when systemd is PID 1
  };
  SystemdServiceManager() = default;
  explicit SystemdServiceManager(Paths paths) : paths_(std::move(paths)) {}

  ScmResult Connect() override;
  ScmResult Create(const ServiceConfig& config) override;
  ScmResult Open(const std::string& name) override;
  ScmResult Start(const std::string& name) override;
  ScmResult Stop(const std::string& name, uint32_t& state) override;
  ScmResult Query(const std::string& name, uint32_t& state) override;
  ScmResult Delete(const std::string& name) override;

 private:
  // systemctl with these arguments; its failure as a result (exit status and standard error).
  ScmResult Systemctl(std::vector<std::string> args, std::string* out = nullptr);
  // LoadState and ActiveState of a unit.
  ScmResult Show(const std::string& name, std::string& load, std::string& active);
  ScmResult WriteUnit(const std::string& name, const std::string& text);
  std::string UnitPath(const std::string& name) const;

  Paths paths_;
};

// The state in the service status numbering for a systemd ActiveState.
uint32_t StateOfActiveState(const std::string& active);

class SystemdChannel : public ServiceChannel {
 public:
  bool Connect() override;
  bool Notify(const std::string& assignments) override;
};

class JournalEventLog : public EventLog {
 public:
  bool Report(uint16_t event_type, const std::vector<std::string>& strings) override;
};

}  // namespace netward::service
