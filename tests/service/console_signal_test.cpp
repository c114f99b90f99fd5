// The real agent: in console mode SIGHUP (log-off) leaves it running, SIGTERM and SIGINT end it with
// its final trace record written and exit code 0 within CommonStop's 2500 ms; as the service it
// reports readiness and the stop stages through the notify socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

class AgentProcess {
 public:
  // Console mode, or with `notify_socket` the service as systemd starts it. No live adapters: the
  // hive fixes the driver's list and a capture file is added; the endpoint mapper takes any port.
  // `without_sys_nice`: started through setpriv with CAP_SYS_NICE out of its bounding set.
  explicit AgentProcess(const std::string& notify_socket = "", bool without_sys_nice = false) {
    char tmpl[] = "/tmp/nw-sig-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ + "/hive.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\r\n"
           "\"Export\"=hex(7):00,00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\r\n"
           "\"EndpointMapperPort\"=dword:00000000\r\n";
    std::vector<std::string> args = {TAPEYESV_PATH, "--hive", dir_ + "/hive.reg", "--local-endpoint", dir_ + "/sock"};
    std::vector<std::string> env(environ, environ + std::char_traits<char*>::length(environ));
    if (notify_socket.empty()) {
      args.insert(args.begin() + 1, {"-debug", "--state-dir", dir_ + "/state"});
    } else {
      env.push_back("NOTIFY_SOCKET=" + notify_socket);
      env.push_back("STATE_DIRECTORY=" + dir_ + "/state");
    }
    const std::string capture = NETWARD_SHARED_DIR "/captures/arista_ether.pcap";
    if (access(capture.c_str(), R_OK) == 0) args.insert(args.end(), {"--replay", capture});
    if (without_sys_nice) args.insert(args.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_nice", "--"});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~AgentProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Output() const { return ReadFile(dir_ + "/out.txt"); }
  // Start-up is over once the RPC server thread has opened its protocol sequences.
  bool AwaitStarted() {
    for (auto end = Clock::now() + std::chrono::seconds(15); Clock::now() < end && !Exited();) {
      if (Output().find("RpcServerUseProtseq ncacn_spx") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool Exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  bool ExitedZero() { return Exited() && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
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
  std::vector<std::string> TraceTags() const {
    std::vector<std::string> tags;
    for (const auto& e : std::filesystem::directory_iterator(dir_ + "/state/NETWARD History")) {
      if (e.path().extension() != ".TET") continue;
      std::string data = ReadFile(e.path());
      for (size_t i = 0; i < data.size(); i += 40) tags.push_back(i + 40 <= data.size() ? data.substr(i, 4) : "cut");
    }
    return tags;
  }
  pid_t pid() const { return pid_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

class ConsoleStop : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleStop, LogOffKeepsItRunningStopWritesTheFinalTrace) {
  AgentProcess agent;
  ASSERT_GT(agent.pid(), 0);
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(agent.TraceTags(), std::vector<std::string>{"TET "}) << "the start marker";
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_FALSE(agent.Exited()) << agent.Output();

  ASSERT_EQ(kill(agent.pid(), GetParam()), 0);
  long ms = agent.AwaitExit(2500);
  ASSERT_GE(ms, 0) << "still running 2500 ms after the signal\n" << agent.Output();
  printf("exit %ld ms after signal %d\n", ms, GetParam());
  EXPECT_TRUE(agent.ExitedZero());
  EXPECT_EQ(agent.TraceTags(), (std::vector<std::string>{"TET ", "TET "}));
  const std::string out = agent.Output();
  EXPECT_NE(out.find("TapEyeSv shutdown in progress.\n"), std::string::npos) << out;
  // Ctrl+C goes through the debug handler; a shutdown does not.
  EXPECT_EQ(out.find("Stopping NETWARD Agent Service.\n") != std::string::npos, GetParam() == SIGINT) << out;
}

TEST(CapturePriority, OneLineSaysWhenTheCaptureThreadsCannotBeRaised) {
  constexpr char kLine[] = "Capture threads run at normal priority";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  AgentProcess raised;
  AgentProcess plain("", true);
  ASSERT_TRUE(raised.AwaitStarted()) << raised.Output();
  ASSERT_TRUE(plain.AwaitStarted()) << plain.Output();
  const std::string out = plain.Output();
  if (out.find("Creating ZivUzevari Thread") == std::string::npos) GTEST_SKIP() << "no capture file to replay";
  const size_t at = out.find(kLine);
  EXPECT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.find(kLine, at + 1), std::string::npos) << "said once";
  if (geteuid() == 0) {
    EXPECT_EQ(raised.Output().find(kLine), std::string::npos) << raised.Output();
  }
  for (AgentProcess* a : {&raised, &plain}) {
    kill(a->pid(), SIGTERM);
    EXPECT_GE(a->AwaitExit(2500), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleStop, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Sigterm" : "Sigint"; });

TEST(ServiceMode, ReportsReadinessAndStopStagesThroughTheNotifySocket) {
  char tmpl[] = "/tmp/nw-notify-XXXXXX";
  const std::string sock_dir = mkdtemp(tmpl);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/notify", sock_dir.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto next = [fd] {
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("(none)");
  };

  AgentProcess agent(addr.sun_path);
  ASSERT_GT(agent.pid(), 0);
  EXPECT_EQ(next(), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(next(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
  for (int checkpoint : {2, 3, 4})
    EXPECT_EQ(next(), "STOPPING=1\nSTATUS=Stopping (checkpoint " + std::to_string(checkpoint) +
                          ")\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(next(), "STATUS=Stopped");
  EXPECT_GE(agent.AwaitExit(2500), 0);
  EXPECT_TRUE(agent.ExitedZero());
  EXPECT_EQ(agent.TraceTags().size(), 2u);
  EXPECT_EQ(agent.Output().rfind("TapEyeSv -install        to install   the service\n", 0), 0u);
  close(fd);
  std::error_code ec;
  std::filesystem::remove_all(sock_dir, ec);
}

}  // namespace
