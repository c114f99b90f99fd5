// The systemd back end: the generated units pass systemd-analyze verify, and the manager drives a
// stand-in systemctl with the expected verbs and reads its answers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/scratch.h"
#include "platform/process.h"
#include "service/systemd_manager.h"
#include "service/unit_files.h"

namespace netward::service {
namespace {

using testing_scratch::ReadText;
using testing_scratch::ScratchDir;

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

ServiceConfig AgentConfig(std::vector<std::string> args = {}) {
  ServiceConfig c;
  c.name = kServiceName;
  c.display_name = kDisplayName;
  c.binary_path = TAPEYESV_PATH;
  c.arguments = std::move(args);
  c.dependencies = {kDriverServiceName};
  c.hive_path = "/etc/netward/netward.reg";
  return c;
}

TEST(UnitFiles, ExecWordsReadBackUnchanged) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"/usr/sbin/tapeyesv", "/usr/sbin/tapeyesv"},
               {"/srv/my hive.reg", "\"/srv/my hive.reg\""},
               {"100%", "100%%"},
               {"$HOME", "$$HOME"},
               {"a\"b\\c", "\"a\\\"b\\\\c\""},
               {"", "\"\""}};
  for (const Case& c : cases) EXPECT_EQ(ExecWord(c.in), c.out) << c.in;
}

TEST(UnitFiles, AgentUnitCarriesItsSettingsAndPassesSystemdAnalyzeVerify) {
  std::string unit = AgentUnitText(AgentConfig({"--rpc-port", "4000"}));
  for (const char* line :
       {"Type=notify\n", "Requires=TapEye.service\n", "After=TapEye.service network.target\n",
        "ExecStart=" TAPEYESV_PATH " --rpc-port 4000\n", "Restart=on-failure\n", "ProtectSystem=strict\n",
        "StateDirectory=netward\n", "ReadWritePaths=-/etc/netward\n",
        "CapabilityBoundingSet=CAP_NET_RAW CAP_NET_ADMIN CAP_NET_BIND_SERVICE CAP_SYS_NICE\n", "NoNewPrivileges=yes\n",
        "WantedBy=multi-user.target\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  EXPECT_EQ(unit.find('@'), std::string::npos) << "placeholder left in\n" << unit;
  EXPECT_NE(DriverUnitText().find("Type=oneshot\n"), std::string::npos);
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  ScratchDir dir;
  WriteFile(dir / "TapEyeSv.service",
            AgentUnitText(AgentConfig({"--hive", "/srv/my hive.reg", "--state-dir", "/var/lib/100%"})));
  WriteFile(dir / "TapEye.service", DriverUnitText());
  platform::ProgramResult r = platform::RunProgram(
      {"/usr/bin/systemd-analyze", "verify", "--man=no", dir / "TapEyeSv.service", dir / "TapEye.service"});
  ASSERT_EQ(r.spawn_error, 0);
  if (r.exit_status != 0 && r.err.find("Failed to initialize") != std::string::npos)
    GTEST_SKIP() << "systemd-analyze cannot run here: " << r.err;
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

class SystemdManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_ + "/units").c_str(), 0755);
    mkdir((dir_ + "/booted").c_str(), 0755);
    setenv("FAKE_LOG", (dir_ + "/log").c_str(), 1);
    setenv("FAKE_STATE", (dir_ + "/state").c_str(), 1);
    unsetenv("FAKE_FAIL_VERB");
    State("not-found", "inactive");
    SystemdServiceManager::Paths p;
    p.unit_dir = dir_ + "/units";
    p.systemctl = NETWARD_SOURCE_DIR "/tests/service/data/fake_systemctl";
    p.booted_marker = dir_ + "/booted";
    manager_ = std::make_unique<SystemdServiceManager>(p);
  }
  void State(const char* load, const char* active) {
    WriteFile(dir_ + "/state", std::string("LoadState=") + load + "\nActiveState=" + active + "\n");
  }
  std::string TakeLog() {
    std::string log = ReadText(dir_ + "/log");
    unlink((dir_ + "/log").c_str());
    return log;
  }
  ScratchDir scratch_;
  const std::string dir_ = scratch_.path;
  std::unique_ptr<SystemdServiceManager> manager_;
};

TEST_F(SystemdManagerTest, CreateWritesBothUnitsReloadsAndEnables) {
  ASSERT_TRUE(manager_->Create(AgentConfig()).ok());
  EXPECT_EQ(ReadText(dir_ + "/units/TapEyeSv.service"), AgentUnitText(AgentConfig()));
  EXPECT_EQ(ReadText(dir_ + "/units/TapEye.service"), DriverUnitText());
  EXPECT_EQ(TakeLog(), "daemon-reload\nenable -- TapEyeSv.service\n");
  EXPECT_EQ(manager_->Create(AgentConfig()).error, kErrorServiceExists);

  State("loaded", "inactive");
  ASSERT_TRUE(manager_->Delete(kServiceName).ok());
  EXPECT_NE(access((dir_ + "/units/TapEyeSv.service").c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ + "/units/TapEye.service").c_str(), F_OK), 0);
  EXPECT_EQ(TakeLog(),
            "show --property=LoadState --property=ActiveState -- TapEyeSv.service\n"
            "disable -- TapEyeSv.service\ndaemon-reload\n");
}

TEST_F(SystemdManagerTest, StatesAndTheErrorsTheHostTellsApart) {
  EXPECT_TRUE(manager_->Connect().ok());
  EXPECT_EQ(manager_->Open(kServiceName).error, kErrorServiceDoesNotExist);
  uint32_t state = 0;
  State("loaded", "inactive");
  EXPECT_EQ(manager_->Stop(kServiceName, state).error, kErrorServiceNotActive);
  EXPECT_EQ(state, kStateStopped);
  State("loaded", "active");
  EXPECT_EQ(manager_->Start(kServiceName).error, kErrorServiceAlreadyRunning);
  TakeLog();
  EXPECT_TRUE(manager_->Stop(kServiceName, state).ok());
  EXPECT_NE(TakeLog().find("stop --no-block -- TapEyeSv.service\n"), std::string::npos);
  State("loaded", "deactivating");
  EXPECT_TRUE(manager_->Query(kServiceName, state).ok());
  EXPECT_EQ(state, kStateStopPending);

  State("loaded", "failed");
  setenv("FAKE_FAIL_VERB", "start", 1);
  setenv("FAKE_FAIL_TEXT", "Job for TapEyeSv.service failed.", 1);
  ScmResult r = manager_->Start(kServiceName);
  EXPECT_EQ(r.error, 5u);
  EXPECT_EQ(r.text, "Job for TapEyeSv.service failed.");

  SystemdServiceManager::Paths p;
  p.systemctl = dir_ + "/no-such-systemctl";
  p.booted_marker = dir_ + "/absent";
  EXPECT_EQ(SystemdServiceManager(p).Open(kServiceName).error, static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(SystemdServiceManager(p).Connect().error, kErrorServiceControllerConnect);
}

}  // namespace
}  // namespace netward::service
