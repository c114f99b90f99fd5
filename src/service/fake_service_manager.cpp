#include "service/fake_service_manager.h"

namespace netward::service {

namespace {
ScmResult NotExist() { return {kErrorServiceDoesNotExist, "The specified service does not exist."}; }
}  // namespace

void FakeServiceManager::Fail(const std::string& op, const std::string& name, ScmResult result) {
  failures_[op + " " + name] = std::move(result);
}

void FakeServiceManager::Add(const std::string& name, uint32_t state, int stop_rounds) {
  Service& s = services[name];
  s.state = state;
  s.stop_rounds = stop_rounds;
  s.config.name = name;
}

bool FakeServiceManager::Failing(const std::string& op, const std::string& name, ScmResult& out) {
  calls.push_back(name.empty() ? op : op + " " + name);
  for (const std::string& key : {op + " " + name, op + " "}) {
    auto it = failures_.find(key);
    if (it != failures_.end()) {
      out = it->second;
      return true;
    }
  }
  return false;
}

ScmResult FakeServiceManager::Connect() {
  ScmResult r;
  Failing("Connect", "", r);
  return r;
}

ScmResult FakeServiceManager::Create(const ServiceConfig& config) {
  ScmResult r;
  if (Failing("Create", config.name, r)) return r;
  if (services.count(config.name)) return {kErrorServiceExists, "The specified service already exists."};
  services[config.name].config = config;
  return {};
}

ScmResult FakeServiceManager::Open(const std::string& name) {
  ScmResult r;
  if (Failing("Open", name, r)) return r;
  return services.count(name) ? ScmResult{} : NotExist();
}

ScmResult FakeServiceManager::Start(const std::string& name) {
  ScmResult r;
  if (Failing("Start", name, r)) return r;
  auto it = services.find(name);
  if (it == services.end()) return NotExist();
  if (it->second.state != kStateStopped) return {kErrorServiceAlreadyRunning, "already running"};
  it->second.state = kStateRunning;
  return {};
}

ScmResult FakeServiceManager::Stop(const std::string& name, uint32_t& state) {
  ScmResult r;
  if (Failing("Stop", name, r)) return r;
  auto it = services.find(name);
  if (it == services.end()) return NotExist();
  if (it->second.state == kStateStopped) {
    state = kStateStopped;
    return {kErrorServiceNotActive, "The service has not been started."};
  }
  it->second.state = it->second.stop_rounds > 0 ? kStateStopPending : kStateStopped;
  state = it->second.state;
  return {};
}

ScmResult FakeServiceManager::Query(const std::string& name, uint32_t& state) {
  ScmResult r;
  if (Failing("Query", name, r)) return r;
  auto it = services.find(name);
  if (it == services.end()) return NotExist();
  Service& s = it->second;
  if (s.state == kStateStopPending && s.stop_rounds-- <= 0) s.state = kStateStopped;
  state = s.state;
  return {};
}

ScmResult FakeServiceManager::Delete(const std::string& name) {
  ScmResult r;
  if (Failing("Delete", name, r)) return r;
  return services.erase(name) ? ScmResult{} : NotExist();
}

}  // namespace netward::service
