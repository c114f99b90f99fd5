// The real agent in console mode: SIGTERM and SIGINT end it with its final trace record written and
// exit code 0 within CommonStop's 2500 ms; SIGHUP (log-off) leaves it running.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class ConsoleAgent {
 public:
  // Console mode, or with `notify_socket` the service as systemd would start it.
  explicit ConsoleAgent(const std::string& tag, const std::string& notify_socket = "") {
    char tmpl[] = "/tmp/nw-sig-XXXXXX";
    dir_ = mkdtemp(tmpl);
    // No live adapters: the hive fixes the driver's list, and a capture file is added to it. The
    // endpoint mapper takes any free port instead of 135.
    std::ofstream(dir_ + "/hive.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\r\n"
           "\"Export\"=hex(7):00,00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\r\n"
           "\"EndpointMapperPort\"=dword:00000000\r\n";
    std::vector<std::string> args = {TAPEYESV_PATH, "--hive", dir_ + "/hive.reg", "--local-endpoint",
                                     dir_ + "/" + tag + ".sock"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    if (notify_socket.empty()) {
      args.insert(args.begin() + 1, {"-debug", "--state-dir", dir_ + "/state"});
    } else {
      env.push_back("NOTIFY_SOCKET=" + notify_socket);
      env.push_back("STATE_DIRECTORY=" + dir_ + "/state");
    }
    const std::string capture = NETWARD_SHARED_DIR "/captures/arista_ether.pcap";
    if (access(capture.c_str(), R_OK) == 0) {
      args.push_back("--replay");
      args.push_back(capture);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    spawned_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ConsoleAgent() {
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
    for (auto end = Clock::now() + std::chrono::seconds(15); Clock::now() < end;) {
      if (Output().find("RpcServerUseProtseq ncacn_spx") != std::string::npos) return true;
      if (Exited(nullptr)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool Exited(int* status) {
    int st = 0;
    if (!exited_ && waitpid(pid_, &st, WNOHANG) == pid_) {
      exited_ = true;
      status_ = st;
    }
    if (status) *status = status_;
    return exited_;
  }
  // Milliseconds until the process ended, or -1 after `limit_ms`.
  long AwaitExit(long limit_ms) {
    auto start = Clock::now();
    while (!Exited(nullptr)) {
      long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (ms > limit_ms) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
  // The trace file of the day: whole 40-byte "TET " records.
  std::vector<std::string> TraceRecords() const {
    std::vector<std::string> records;
    const std::string hist = dir_ + "/state/NETWARD History";
    DIR* d = opendir(hist.c_str());
    if (d == nullptr) return records;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() != 12 || name.substr(8) != ".TET") continue;
      std::string data = ReadFile(hist + "/" + name);
      for (size_t i = 0; i + 40 <= data.size(); i += 40) records.push_back(data.substr(i, 40));
      if (data.size() % 40 != 0) records.push_back("cut-off record");
    }
    closedir(d);
    return records;
  }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  bool spawned() const { return spawned_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool spawned_ = false;
  bool exited_ = false;
  int status_ = 0;
};

struct StopCase {
  int sig;
  bool prints_stopping;  // Ctrl+C goes through the debug handler; a shutdown does not
};

class ConsoleStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(ConsoleStop, WritesTheFinalTraceAndExitsZeroInTime) {
  ConsoleAgent agent(std::to_string(GetParam().sig));
  ASSERT_TRUE(agent.spawned());
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(agent.TraceRecords().size(), 1u) << "the start marker";
  ASSERT_EQ(kill(agent.pid(), GetParam().sig), 0);
  long ms = agent.AwaitExit(2500);
  ASSERT_GE(ms, 0) << "still running 2500 ms after the signal\n" << agent.Output();
  int status = 0;
  agent.Exited(&status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::vector<std::string> records = agent.TraceRecords();
  ASSERT_EQ(records.size(), 2u);
  for (const std::string& r : records) EXPECT_EQ(r.substr(0, 4), "TET ");
  const std::string out = agent.Output();
  EXPECT_NE(out.find("TapEyeSv shutdown in progress.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Stopping NETWARD Agent Service.\n") != std::string::npos, GetParam().prints_stopping) << out;
  printf("exit %d ms after signal %d\n", static_cast<int>(ms), GetParam().sig);
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleStop,
                         ::testing::Values(StopCase{SIGTERM, false}, StopCase{SIGINT, true}),
                         [](const auto& info) { return info.param.sig == SIGTERM ? "Sigterm" : "Sigint"; });

TEST(ConsoleLogOff, SighupKeepsTheAgentRunning) {
  ConsoleAgent agent("hup");
  ASSERT_TRUE(agent.spawned());
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(agent.Exited(nullptr)) << agent.Output();
  EXPECT_EQ(agent.Output().find("shutdown in progress"), std::string::npos);
  ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
  EXPECT_GE(agent.AwaitExit(2500), 0);
  int status = 0;
  agent.Exited(&status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(agent.TraceRecords().size(), 2u);
}

// The service under a stand-in for systemd's notify socket: start-pending, READY=1, then the stop
// stages of CommonStop on SIGTERM, and the history written under $STATE_DIRECTORY.
TEST(ServiceMode, ReportsReadinessAndStopStagesThroughTheNotifySocket) {
  char tmpl[] = "/tmp/nw-notify-XXXXXX";
  const std::string sock_dir = mkdtemp(tmpl);
  const std::string path = sock_dir + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto next = [fd](int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return std::string("(none)");
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("(none)");
  };

  ConsoleAgent agent("svc", path);
  ASSERT_TRUE(agent.spawned());
  EXPECT_EQ(next(5000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(next(5000), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
  for (int checkpoint = 2; checkpoint <= 4; ++checkpoint)
    EXPECT_EQ(next(3000), "STOPPING=1\nSTATUS=Stopping (checkpoint " + std::to_string(checkpoint) +
                              ")\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(next(3000), "STATUS=Stopped");
  EXPECT_GE(agent.AwaitExit(2500), 0);
  int status = 0;
  agent.Exited(&status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(agent.TraceRecords().size(), 2u);
  const std::string out = agent.Output();
  EXPECT_EQ(out.rfind("TapEyeSv -install        to install   the service\n", 0), 0u) << out;
  close(fd);
  std::error_code ec;
  std::filesystem::remove_all(sock_dir, ec);
}

}  // namespace
