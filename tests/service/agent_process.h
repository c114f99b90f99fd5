// The real agent binary in a scratch directory: console mode (or the service as systemd starts it)
// with a test hive that fixes an empty adapter list, a capture file added with --replay, and its
// output in a file or a pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch.h"

extern char** environ;

namespace agent_process {

using Clock = std::chrono::steady_clock;

using netward::testing_scratch::ReadText;

struct Options {
  std::string notify_socket;        // non-empty: the service with NOTIFY_SOCKET, else -debug
  std::vector<std::string> args;    // more command-line words, after the usual ones
  std::string hive_extra;           // appended to the Parameters key of the hive
  bool capture = true;              // --replay of a sample capture when there is one
  bool hive = true;                 // --hive with the test hive
  bool output_pipe = false;         // standard output into a pipe (read with ReadSome), not a file
  std::string local_endpoint;       // "" = <dir>/sock
  bool without_sys_nice = false;    // started through setpriv with CAP_SYS_NICE out of its bounding set
};

class AgentProcess {
 public:
  explicit AgentProcess(Options o = {}) {
    char tmpl[] = "/tmp/nw-agent-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ + "/hive.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\r\n"
           "\"Export\"=hex(7):00,00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\r\n"
           "\"EndpointMapperPort\"=dword:00000000\r\n"
        << o.hive_extra;
    std::vector<std::string> args = {TAPEYESV_PATH};
    if (o.hive) args.insert(args.end(), {"--hive", dir_ + "/hive.reg"});
    args.insert(args.end(), {"--local-endpoint", o.local_endpoint.empty() ? dir_ + "/sock" : o.local_endpoint});
    std::vector<std::string> env(environ, environ + std::char_traits<char*>::length(environ));
    if (o.notify_socket.empty()) {
      args.insert(args.begin() + 1, {"-debug", "--state-dir", dir_ + "/state"});
    } else {
      env.push_back("NOTIFY_SOCKET=" + o.notify_socket);
      env.push_back("STATE_DIRECTORY=" + dir_ + "/state");
    }
    const std::string capture = NETWARD_SHARED_DIR "/captures/arista_ether.pcap";
    if (o.capture && access(capture.c_str(), R_OK) == 0) args.insert(args.end(), {"--replay", capture});
    args.insert(args.end(), o.args.begin(), o.args.end());
    if (o.without_sys_nice) args.insert(args.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_nice", "--"});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipe_fds[2] = {-1, -1};
    if (o.output_pipe && pipe2(pipe_fds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
      posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    pipe_ = pipe_fds[0];
  }
  ~AgentProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ClosePipe();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::string& dir() const { return dir_; }
  std::string history() const { return dir_ + "/state/NETWARD History"; }
  // Everything written so far: the output file, or what was read from the pipe.
  std::string Output() {
    if (pipe_ < 0) return ReadText(dir_ + "/out.txt");
    for (;;) {
      pollfd p{pipe_, POLLIN, 0};
      char buf[4096];
      if (poll(&p, 1, 0) != 1) break;
      ssize_t n = read(pipe_, buf, sizeof buf);
      if (n <= 0) break;
      piped_.append(buf, static_cast<size_t>(n));
    }
    return piped_ + ReadText(dir_ + "/out.txt");
  }
  // The reading end of the output pipe goes away (a `| head` that has finished).
  void ClosePipe() {
    if (pipe_ >= 0) close(pipe_);
    pipe_ = -1;
  }
  bool AwaitOutput(const std::string& text, int seconds = 15) {
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
      if (Output().find(text) != std::string::npos) return true;
      if (Exited()) return Output().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Start-up is over once the RPC server thread has opened its protocol sequences.
  bool AwaitStarted() { return AwaitOutput("RpcServerUseProtseq ncacn_spx"); }
  bool Exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  bool ExitedZero() { return Exited() && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
  int status() const { return status_; }
  // Milliseconds until the process ended, or -1 after `limit_ms`.
  long AwaitExit(long limit_ms) {
    auto start = Clock::now();
    long ms = 0;
    while (!Exited() && ms <= limit_ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    return exited_ ? ms : -1;
  }
  // Tags of the 40-byte records of the day's trace file ("cut" for a partial record).
  std::vector<std::string> TraceTags() const { return Tags(".TET", 40); }
  std::vector<std::string> StatisticsTags() const { return Tags(".TES", 166); }
  pid_t pid() const { return pid_; }

 private:
  std::vector<std::string> Tags(const char* ext, size_t size) const {
    std::vector<std::string> tags;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(history(), ec)) {
      if (e.path().extension() != ext) continue;
      std::string data = ReadText(e.path());
      for (size_t i = 0; i < data.size(); i += size) tags.push_back(i + size <= data.size() ? data.substr(i, 4) : "cut");
    }
    return tags;
  }

  std::string dir_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string piped_;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace agent_process
