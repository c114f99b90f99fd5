#include "taskbar/launch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

#include "platform/files.h"
#include "platform/process.h"

namespace netward {

namespace {
std::mutex g_mu;
std::vector<pid_t> g_running;  // guarded by g_mu
}  // namespace

bool LaunchProgram(const std::string& path, const std::vector<std::string>& args) {
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
  // The desktop's programs write to the agent's own output and error, where their complaints belong.
  const pid_t pid = platform::SpawnProgram(program.c_str(), argv.data(), -1, STDOUT_FILENO, STDERR_FILENO);
  if (pid < 0) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  g_running.push_back(pid);
  return true;
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
