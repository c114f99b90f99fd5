#include "taskbar/launch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/process.h"
#include "taskbar/client_handoff.h"

extern char** environ;

namespace netward {

namespace {
std::mutex g_mu;
std::vector<pid_t> g_running;  // guarded by g_mu
}  // namespace

bool LaunchProgram(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::string program = path;
  if (path.find('/') == std::string::npos) {
    program.clear();
    for (const std::string& dir : platform::PathDirectories()) {
      std::string candidate = dir + "/" + path;
      if (access(candidate.c_str(), X_OK) == 0) {
        program = std::move(candidate);
        break;
      }
    }
    if (program.empty()) return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // This process's environment, less the names `env` sets, then `env`.
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& entry : env) {
      const size_t name = entry.find('=') + 1;
      replaced = replaced || std::strncmp(*e, entry.c_str(), name) == 0;
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  // The desktop's programs write to the agent's own output and error, where their complaints belong.
  const pid_t pid = platform::SpawnProgram(program.c_str(), argv.data(), -1, STDOUT_FILENO, STDERR_FILENO,
                                           envp.data());
  if (pid < 0) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  g_running.push_back(pid);
  return true;
}

bool LaunchClient(const std::string& path, const std::string& local_endpoint, const std::string& key) {
  if (local_endpoint.empty()) return LaunchProgram(path, {});
  std::string err;
  const std::string file = WriteHandoffFile(HandoffDirectory(), ClientHandoff{local_endpoint, key}, err);
  // Without the file the client still starts, and asks for the key itself.
  if (file.empty()) return LaunchProgram(path, {});
  if (LaunchProgram(path, {}, {std::string(kHandoffVariable) + "=" + file})) return true;
  unlink(file.c_str());
  return false;
}

void ReapLaunchedPrograms() {
  std::lock_guard<std::mutex> lock(g_mu);
  for (size_t i = 0; i < g_running.size();) {
    int status;
    if (waitpid(g_running[i], &status, WNOHANG) != 0) {
      g_running[i] = g_running.back();
      g_running.pop_back();
    } else {
      ++i;
    }
  }
}

int LaunchedProgramsRunning() {
  std::lock_guard<std::mutex> lock(g_mu);
  return static_cast<int>(g_running.size());
}

}  // namespace netward
