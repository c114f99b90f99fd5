// Opt-in (NETWARD_SYSTEMD_TESTS=1, root, systemd as PID 1): installs the agent as a systemd
// service, starts it, queries it with the client, stops and removes it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/process.h"

namespace netward::service {
namespace {

std::string Agent(const char* keyword, std::vector<std::string> more = {}) {
  std::vector<std::string> argv = {TAPEYESV_PATH, keyword};
  argv.insert(argv.end(), more.begin(), more.end());
  platform::ProgramResult r = platform::RunProgram(argv);
  return r.out + r.err;
}

std::string ActiveState() {
  platform::ProgramResult r = platform::RunProgram({"/usr/bin/systemctl", "show", "--property=ActiveState", "--value", "TapEyeSv.service"});
  return r.out.substr(0, r.out.find('\n'));
}

bool AwaitState(const std::string& want, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ActiveState() == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(SystemdService, InstallStartQueryStopRemove) {
  const char* opt_in = getenv("NETWARD_SYSTEMD_TESTS");
  if (opt_in == nullptr || std::string(opt_in) != "1") GTEST_SKIP() << "set NETWARD_SYSTEMD_TESTS=1 to run";
  struct stat st{};
  if (stat("/run/systemd/system", &st) != 0) GTEST_SKIP() << "systemd is not PID 1 on this machine";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to install a system service";
  if (access("/etc/systemd/system/TapEyeSv.service", F_OK) == 0)
    GTEST_SKIP() << "TapEyeSv.service is already installed here; not touching it";
#ifndef NETWARD_CLIENT_PATH
  GTEST_SKIP() << "the netward client is not built";
#else
  char tmpl[] = "/tmp/nw-systemd-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  chmod(dir.c_str(), 0755);
  const std::string hive = dir + "/hive.reg";
  std::ofstream(hive) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n"
                         "\"OpenKey\"=\"Secret\"\n\"EndpointMapperPort\"=dword:00000000\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n"
                         "\"Export\"=hex(7):00,00\n";
  const std::string port = "39135";

  EXPECT_NE(Agent("-install", {"--hive", hive, "--rpc-port", port}).find("NETWARD Agent Service installed.\n"),
            std::string::npos);
  EXPECT_EQ(Agent("-start"), "TapEyeSv started\n");
  EXPECT_TRUE(AwaitState("active", 10)) << ActiveState();
  EXPECT_EQ(Agent("-start"), "TapEyeSv is already running\n");

  platform::ProgramResult q = platform::RunProgram({NETWARD_CLIENT_PATH, "--port", port, "--key", "Secret", "TOTAL"});
  EXPECT_EQ(q.exit_status, 0) << q.out << q.err;

  EXPECT_EQ(Agent("-stop"), "TapEyeSv stopped\nTapEye stopped\n");
  EXPECT_TRUE(AwaitState("inactive", 10)) << ActiveState();
  EXPECT_EQ(Agent("-stop"), "TapEyeSv is already stopped\nTapEye is already stopped\n");
  EXPECT_NE(Agent("-remove").find("NETWARD Agent Service removed.\n"), std::string::npos);
  EXPECT_NE(access("/etc/systemd/system/TapEyeSv.service", F_OK), 0);
  EXPECT_NE(access("/etc/systemd/system/TapEye.service", F_OK), 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
#endif
}

}  // namespace
}  // namespace netward::service
