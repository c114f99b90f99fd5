#include "service/systemd_manager.h"

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/unit_files.h"

#ifdef NETWARD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#endif

namespace netward::service {

namespace {

ScmResult FromErrno(int err) { return {static_cast<uint32_t>(err), strerror(err)}; }

std::string Unit(const std::string& name) { return name + ".service"; }

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line;
}

}  // namespace

uint32_t StateOfActiveState(const std::string& active) {
  if (active == "active" || active == "reloading" || active == "refreshing") return kStateRunning;
  if (active == "activating") return kStateStartPending;
  if (active == "deactivating") return kStateStopPending;
  return kStateStopped;  // inactive, failed, maintenance
}

std::string SystemdServiceManager::UnitPath(const std::string& name) const {
  return paths_.unit_dir + "/" + Unit(name);
}

ScmResult SystemdServiceManager::Systemctl(std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), paths_.systemctl);
  platform::ProgramResult r = platform::RunProgram(args);
  if (r.spawn_error != 0) return FromErrno(r.spawn_error);
  if (out) *out = r.out;
  if (r.exit_status != 0) {
    std::string text = FirstLine(r.err);
    if (text.empty()) text = "systemctl " + args[1] + " failed";
    return {static_cast<uint32_t>(r.exit_status), text};
  }
  return {};
}

ScmResult SystemdServiceManager::Connect() {
  struct stat st{};
  if (stat(paths_.booted_marker.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return {kErrorServiceControllerConnect, "System has not been booted with systemd as init system (PID 1)"};
  return {};
}

ScmResult SystemdServiceManager::Show(const std::string& name, std::string& load, std::string& active) {
  std::string out;
  ScmResult r = Systemctl({"show", "--property=LoadState", "--property=ActiveState", "--", Unit(name)}, &out);
  if (!r.ok()) return r;
  load.clear();
  active.clear();
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    if (line.rfind("LoadState=", 0) == 0) load = line.substr(10);
    if (line.rfind("ActiveState=", 0) == 0) active = line.substr(12);
    pos = end + 1;
  }
  if (load.empty() || load == "not-found")
    return {kErrorServiceDoesNotExist, "Unit " + Unit(name) + " not found."};
  return {};
}

ScmResult SystemdServiceManager::WriteUnit(const std::string& name, const std::string& text) {
  // Replaced whole, so systemd never reads half a unit.
  platform::AtomicFile unit;
  if (unit.Open(UnitPath(name))) {
    unit.Write(text.data(), text.size());
    if (unit.Commit()) return {};
  }
  return FromErrno(unit.error());
}

ScmResult SystemdServiceManager::Create(const ServiceConfig& config) {
  if (access(UnitPath(config.name).c_str(), F_OK) == 0)
    return {kErrorServiceExists, "Unit file " + UnitPath(config.name) + " already exists."};
  ScmResult r = WriteUnit(kDriverServiceName, DriverUnitText());
  if (r.ok()) r = WriteUnit(config.name, AgentUnitText(config));
  if (r.ok()) r = Systemctl({"daemon-reload"});
  if (r.ok()) r = Systemctl({"enable", "--", Unit(config.name)});
  return r;
}

ScmResult SystemdServiceManager::Open(const std::string& name) {
  std::string load, active;
  return Show(name, load, active);
}

ScmResult SystemdServiceManager::Start(const std::string& name) {
  std::string load, active;
  ScmResult r = Show(name, load, active);
  if (!r.ok()) return r;
  uint32_t state = StateOfActiveState(active);
  if (state == kStateRunning || state == kStateStartPending)
    return {kErrorServiceAlreadyRunning, "An instance of the service is already running."};
  // Returns when the agent has reported READY=1 or its start has failed.
  return Systemctl({"start", "--", Unit(name)});
}

ScmResult SystemdServiceManager::Stop(const std::string& name, uint32_t& state) {
  std::string load, active;
  ScmResult r = Show(name, load, active);
  if (!r.ok()) return r;
  state = StateOfActiveState(active);
  if (state == kStateStopped) return {kErrorServiceNotActive, "The service has not been started."};
  r = Systemctl({"stop", "--no-block", "--", Unit(name)});
  if (!r.ok()) return r;
  return Query(name, state);
}

ScmResult SystemdServiceManager::Query(const std::string& name, uint32_t& state) {
  std::string load, active;
  ScmResult r = Show(name, load, active);
  if (r.ok()) state = StateOfActiveState(active);
  return r;
}

ScmResult SystemdServiceManager::Delete(const std::string& name) {
  ScmResult r = Open(name);
  if (!r.ok()) return r;
  r = Systemctl({"disable", "--", Unit(name)});
  if (!r.ok()) return r;
  // The driver unit was installed with the agent and goes with it.
  for (const std::string& unit : {name, std::string(kDriverServiceName)}) {
    if (unlink(UnitPath(unit).c_str()) != 0 && errno != ENOENT) return FromErrno(errno);
  }
  return Systemctl({"daemon-reload"});
}

bool SystemdChannel::Connect() {
#ifdef NETWARD_HAVE_SYSTEMD
  const char* socket = getenv("NOTIFY_SOCKET");
  if (socket != nullptr && *socket != 0) return true;
#endif
  errno = ENOTCONN;
  return false;
}

bool SystemdChannel::Notify(const std::string& assignments) {
#ifdef NETWARD_HAVE_SYSTEMD
  int r = sd_notify(0, assignments.c_str());
  if (r > 0) return true;
  errno = r < 0 ? -r : ENOTCONN;
#else
  (void)assignments;
  errno = ENOSYS;
#endif
  return false;
}

bool JournalEventLog::Report(uint16_t event_type, const std::vector<std::string>& strings) {
#ifdef NETWARD_HAVE_SYSTEMD
  // The insertion strings in order, one line each, as the message.
  std::string message;
  for (const std::string& s : strings) message += (message.empty() ? "" : "\n") + s;
  return sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", JournalPriority(event_type),
                         "SYSLOG_IDENTIFIER=TapEyeSv", "NETWARD_EVENT_TYPE=%u", unsigned(event_type),
                         nullptr) == 0;
#else
  (void)event_type;
  (void)strings;
  return false;
#endif
}

}  // namespace netward::service
