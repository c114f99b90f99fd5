#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace netward::platform {

pid_t SpawnProgram(const char* path, char* const argv[], int in_fd, int out_fd, int err_fd, char* const envp[]) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  bool ok = true;
  const int fds[3] = {in_fd, out_fd, err_fd};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] >= 0)
      ok = ok && posix_spawn_file_actions_adddup2(&actions, fds[target], target) == 0;
    else
      ok = ok && posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0) == 0;
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
#endif
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  ok = ok && posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
       posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  pid_t pid = -1;
  int rc = ok ? posix_spawn(&pid, path, &actions, &attr, argv, envp != nullptr ? envp : environ) : EINVAL;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

ProgramResult RunProgram(const std::vector<std::string>& argv) {
  ProgramResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    return result;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = SpawnProgram(args[0], args.data(), -1, out_pipe[1], err_pipe[1]);
  const int rc = pid < 0 ? errno : 0;
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    result.spawn_error = rc;
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        size_t room = kProgramOutputLimit - sinks[i]->size();
        sinks[i]->append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace netward::platform
