#include "taskbar/launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

extern char** environ;

namespace netward {

namespace {
std::mutex g_mu;
std::vector<pid_t> g_running;  // guarded by g_mu
}  // namespace

bool LaunchProgram(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The agent blocks its console signals on every thread; the child starts with none blocked.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = path.find('/') == std::string::npos
                     ? posix_spawnp(&pid, path.c_str(), &actions, &attr, argv.data(), environ)
                     : posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
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
