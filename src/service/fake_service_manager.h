// Test doubles of the service manager, its status channel and the event log. The fake manager
// keeps services in memory, logs every call, and fails a chosen operation on request.
#pragma once

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "service/service_manager.h"

namespace netward::service {

class FakeServiceManager : public ServiceManager {
 public:
  struct Service {
    uint32_t state = kStateStopped;
    // Queries that still read stop-pending after a stop was accepted.
    int stop_rounds = 0;
    ServiceConfig config;
  };

  ScmResult Connect() override;
  ScmResult Create(const ServiceConfig& config) override;
  ScmResult Open(const std::string& name) override;
  ScmResult Start(const std::string& name) override;
  ScmResult Stop(const std::string& name, uint32_t& state) override;
  ScmResult Query(const std::string& name, uint32_t& state) override;
  ScmResult Delete(const std::string& name) override;

  // Makes operation `op` ("Connect", "Create", "Open", "Start", "Stop", "Query", "Delete") on `name`
  // ("" for any) fail with `result`.
  void Fail(const std::string& op, const std::string& name, ScmResult result);
  void Add(const std::string& name, uint32_t state, int stop_rounds = 0);

  std::map<std::string, Service> services;
  std::vector<std::string> calls;  // "Op name"

 private:
  bool Failing(const std::string& op, const std::string& name, ScmResult& out);
  std::map<std::string, ScmResult> failures_;
};

class FakeServiceChannel : public ServiceChannel {
 public:
  bool Connect() override { return connect_ok; }
  bool Notify(const std::string& assignments) override {
    reports.push_back(assignments);
    if (!notify_ok) errno = EPIPE;
    return notify_ok;
  }
  bool connect_ok = true;
  bool notify_ok = true;
  std::vector<std::string> reports;
};

class FakeEventLog : public EventLog {
 public:
  bool Report(uint16_t event_type, const std::vector<std::string>& strings) override {
    entries.push_back({event_type, strings});
    return true;
  }
  struct Entry {
    uint16_t type;
    std::vector<std::string> strings;
  };
  std::vector<Entry> entries;
};

}  // namespace netward::service
