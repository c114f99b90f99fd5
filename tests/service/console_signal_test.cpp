// The real agent: in console mode SIGHUP (log-off) leaves it running, SIGTERM, SIGINT and SIGQUIT end
// it with its final trace record written and exit code 0 within CommonStop's 2500 ms, also when
// nobody reads its output any more; as the service it reports readiness and the stop stages through
// the notify socket. Settings or capture files that are pipes or devices cannot hold it up.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>

#include "agent_process.h"
#include "common/scratch.h"

namespace {

using agent_process::AgentProcess;
using agent_process::Options;
namespace testing_scratch = netward::testing_scratch;

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
  // Ctrl+C and Ctrl+Break go through the debug handler; a shutdown does not.
  EXPECT_EQ(out.find("Stopping NETWARD Agent Service.\n") != std::string::npos, GetParam() != SIGTERM) << out;
}

TEST(CapturePriority, OneLineSaysWhenTheCaptureThreadsCannotBeRaised) {
  constexpr char kLine[] = "Capture threads run at normal priority";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  AgentProcess raised;
  Options without;
  without.without_sys_nice = true;
  AgentProcess plain(without);
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

// SIGQUIT (Ctrl+Break, Ctrl+\\) used to kill the agent with no final records.
INSTANTIATE_TEST_SUITE_P(Signals, ConsoleStop, ::testing::Values(SIGTERM, SIGINT, SIGQUIT), [](const auto& info) {
  return info.param == SIGTERM ? "Sigterm" : info.param == SIGINT ? "Sigint" : "Sigquit";
});

// Started as a background job of a script, the agent inherits SIGINT and SIGQUIT ignored; Ctrl+C
// and Ctrl+Break are still its own to handle.
TEST(ConsoleStopInBackground, AnInheritedIgnoredCtrlCStillStops) {
  struct sigaction ignore {}, was_int{}, was_quit{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &was_int);
  sigaction(SIGQUIT, &ignore, &was_quit);
  AgentProcess agent;
  sigaction(SIGINT, &was_int, nullptr);
  sigaction(SIGQUIT, &was_quit, nullptr);
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  ASSERT_EQ(kill(agent.pid(), SIGINT), 0);
  EXPECT_GE(agent.AwaitExit(2500), 0) << agent.Output();
  EXPECT_TRUE(agent.ExitedZero());
}

// A console agent whose output reader has gone (`| head`, a dead `tee`) used to die of SIGPIPE on
// the "Stopping ..." line, before its final trace record and statistics.
TEST(ConsoleOutputGone, StopStillWritesTheFinalRecords) {
  Options o;
  o.output_pipe = true;
  AgentProcess agent(o);
  ASSERT_GT(agent.pid(), 0);
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  agent.ClosePipe();
  ASSERT_EQ(kill(agent.pid(), SIGINT), 0);
  ASSERT_GE(agent.AwaitExit(2500), 0);
  EXPECT_TRUE(agent.ExitedZero()) << "status " << agent.status();
  EXPECT_EQ(agent.TraceTags(), (std::vector<std::string>{"TET ", "TET "}));
  const auto stats = agent.StatisticsTags();
  EXPECT_FALSE(stats.empty()) << "the capture's stations";
  EXPECT_EQ(std::count(stats.begin(), stats.end(), "TES1"), static_cast<long>(stats.size()));
}

// Settings that are no file: /dev/zero used to end in std::bad_alloc, a named pipe to hang start-up
// with SIGTERM ignored. Both are now a clear line and a non-zero exit at once.
TEST(StartUp, SettingsThatAreNoFileAreRefusedAtOnce) {
  testing_scratch::ScratchDir dir;
  const std::string pipe = dir / "hive.reg";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  for (const auto& [path, kind] : {std::pair<std::string, std::string>{"/dev/zero", "a character device"},
                                   std::pair<std::string, std::string>{pipe, "a named pipe"}}) {
    Options o;
    o.hive = false;
    o.args = {"--hive", path};
    AgentProcess agent(o);
    long ms = agent.AwaitExit(3000);
    if (ms < 0) kill(agent.pid(), SIGTERM);
    ASSERT_GE(ms, 0) << path << " holds the start-up\n" << agent.Output();
    EXPECT_TRUE(agent.Exited() && WIFEXITED(agent.status()) && WEXITSTATUS(agent.status()) == 2) << agent.status();
    EXPECT_NE(agent.Output().find("tapeyesv: cannot open '" + path + "': " + kind + ", not a regular file\n"),
              std::string::npos)
        << agent.Output();
  }
}

// A capture file that is a named pipe with no writer used to hold its capture thread in open(), so
// that Ctrl+C wrote the final files and then never ended the process.
TEST(StartUp, ACaptureFileThatIsAPipeIsRefusedAndTheStopEnds) {
  testing_scratch::ScratchDir dir;
  const std::string pipe = dir / "trace.pcap";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  Options o;
  o.capture = false;
  o.args = {"--replay", pipe};
  AgentProcess agent(o);
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  EXPECT_TRUE(agent.AwaitOutput("Capture file '" + pipe + "' cannot be read: a named pipe, not a regular file\n", 5))
      << agent.Output();
  ASSERT_EQ(kill(agent.pid(), SIGINT), 0);
  long ms = agent.AwaitExit(2500);
  if (ms < 0) {
    if (int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);  // let it end
  }
  EXPECT_GE(ms, 0) << agent.Output();
  EXPECT_TRUE(agent.ExitedZero());
}

TEST(ServiceMode, ReportsReadinessAndStopStagesThroughTheNotifySocket) {
  testing_scratch::ScratchDir sock_dir;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/notify", sock_dir.path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto next = [fd] {
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("(none)");
  };

  Options o;
  o.notify_socket = addr.sun_path;
  AgentProcess agent(o);
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
}

}  // namespace
