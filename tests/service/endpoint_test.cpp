// The agent's endpoints as the user names them: another agent's live local socket is never taken
// over, a stale one is; an endpoint given on the command line that cannot be opened ends the agent
// with a line saying why and a non-zero exit, instead of a status number and a quiet run without it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>

#include "agent_process.h"
#include "common/free_port.h"
#include "common/scratch.h"

namespace {

using agent_process::AgentProcess;
using agent_process::Options;
namespace testing_scratch = netward::testing_scratch;

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
}

bool Answers(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un a = UnixAddress(path);
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Ends within `seconds` with exit code 1 and `line` in its output.
void ExpectFatal(AgentProcess& agent, const std::string& line, int seconds = 8) {
  long ms = agent.AwaitExit(seconds * 1000L);
  ASSERT_GE(ms, 0) << "still running\n" << agent.Output();
  EXPECT_TRUE(WIFEXITED(agent.status()) && WEXITSTATUS(agent.status()) == 1) << "status " << agent.status();
  EXPECT_NE(agent.Output().find(line), std::string::npos) << agent.Output();
}

// A second agent given the same --local-endpoint used to delete the first agent's live socket.
TEST(Endpoints, AnotherAgentsLiveLocalSocketIsNeverTakenOver) {
  AgentProcess first;
  ASSERT_TRUE(first.AwaitStarted()) << first.Output();
  const std::string path = first.dir() + "/sock";
  ASSERT_TRUE(Answers(path));
  {
    Options o;
    o.local_endpoint = path;
    AgentProcess second(o);
    ExpectFatal(second, "TapEyeSv ERROR: ncalrpc endpoint '" + path +
                            "' (--local-endpoint) cannot be opened: another process is listening on it; the agent "
                            "stops\n");
  }
  EXPECT_TRUE(Answers(path)) << "the first agent's socket is still its own";
  ASSERT_EQ(kill(first.pid(), SIGINT), 0);
  EXPECT_GE(first.AwaitExit(2500), 0);
  EXPECT_TRUE(first.ExitedZero());
}

// A socket left behind by an agent that was killed answers nobody: it is replaced.
TEST(Endpoints, AStaleLocalSocketIsReplaced) {
  testing_scratch::ScratchDir dir;
  const std::string path = dir / "sock";
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un a = UnixAddress(path);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  close(fd);
  ASSERT_FALSE(Answers(path));
  Options o;
  o.local_endpoint = path;
  AgentProcess agent(o);
  ASSERT_TRUE(agent.AwaitStarted()) << agent.Output();
  EXPECT_NE(agent.Output().find("RpcServerUseProtseq ncalrpc = 0\n"), std::string::npos) << agent.Output();
  EXPECT_TRUE(Answers(path));
  kill(agent.pid(), SIGINT);
  EXPECT_GE(agent.AwaitExit(2500), 0);
}

// --rpc-port on a port in use used to leave the agent running without its TCP endpoint and exit 0
// later, the only sign being "RpcServerUseProtseq ncacn_ip_tcp = 1740".
TEST(Endpoints, ARpcPortInUseEndsTheAgentWithAnError) {
  const uint16_t port = netward::testing_net::FreePort();
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  Options o;
  o.args = {"--rpc-port", std::to_string(port)};
  AgentProcess agent(o);
  const std::string p = std::to_string(port);
  ExpectFatal(agent, "TapEyeSv ERROR: ncacn_ip_tcp endpoint '" + p + "' (--rpc-port) cannot be opened: TCP port " + p +
                         " is already in use; the agent stops\n");
  EXPECT_NE(agent.Output().find("RpcServerUseProtseq ncacn_ip_tcp = 1740\n"), std::string::npos);
  EXPECT_EQ(agent.TraceTags().size(), 2u) << "it still ends in order: start marker and final record";
  close(taken);
}

// Bad --local-endpoint values are said in words, not only as status numbers.
TEST(Endpoints, BadLocalEndpointsAreSaidInWords) {
  testing_scratch::ScratchDir scratch;
  const std::string& dir = scratch.path;
  std::ofstream(dir + "/file") << "x";
  const std::string longest = dir + "/" + std::string(120, 'n');
  struct Case {
    std::string path, words;
  } cases[] = {
      {dir + "/missing/sock", "the directory '" + dir + "/missing' does not exist"},
      {longest, "the path is " + std::to_string(longest.size()) + " bytes long; a local socket path holds at most 107"},
      {dir + "/file", "something that is not a socket is already there"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Options o;
    o.local_endpoint = c.path;
    AgentProcess agent(o);
    ExpectFatal(agent, "ncalrpc endpoint '" + c.path + "' (--local-endpoint) cannot be opened: " + c.words +
                           "; the agent stops\n");
  }
}

}  // namespace
