// The keywords and the service start over the fake service manager: every path's console text,
// message box, event-log entry and status report.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "service/fake_service_manager.h"
#include "service/service_host.h"
#include "service/unit_files.h"

namespace netward::service {
namespace {

constexpr char kUsage[] =
    "TapEyeSv -install        to install   the service\n"
    "TapEyeSv -remove         to remove    the service\n"
    "TapEyeSv -start          to start     the service\n"
    "TapEyeSv -stop           to stop      the service\n"
    "TapEyeSv -debug <params> to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";
constexpr char kNoSuchService[] = "The specified service does not exist. (0x424)";

struct Harness {
  FakeServiceManager manager;
  FakeServiceChannel channel;
  FakeEventLog log;
  platform::CapturedOutput out;
  platform::TestClock clock{1'800'000'000};
  bool exe_ok = true;
  int agent_runs = 0;
  HostRun last_run;
  bool ran_in_debug = false;
  std::function<void(ServiceHost&)> agent_body;

  int Run(std::vector<std::string> args) {
    HostEnv env;
    env.manager = &manager;
    env.channel = &channel;
    env.event_log = &log;
    env.out = &out;
    env.clock = &clock;
    env.executable_path = [this](std::string& p) {
      if (!exe_ok) errno = ENOENT;
      p = "/usr/sbin/tapeyesv";
      return exe_ok;
    };
    env.run_agent = [this](ServiceHost& host, const HostRun& run) {
      ++agent_runs;
      last_run = run;
      ran_in_debug = host.debug_mode();
      if (agent_body) agent_body(host);
      return 0;
    };
    env.default_hive = "/nonexistent/netward.reg";
    args.insert(args.begin(), "tapeyesv");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    host = std::make_unique<ServiceHost>(std::move(env));
    return host->Main(static_cast<int>(argv.size()), argv.data());
  }
  std::unique_ptr<ServiceHost> host;
};

// `agent` and `driver` are the installed services' states (0: not installed); `fail_op` fails on
// TapEyeSv, or on any service for "Connect".
struct KeywordCase {
  const char* name;
  std::vector<std::string> args;
  std::string expected;
  uint32_t agent = 0, driver = 0;
  int agent_stop_rounds = 0;
  const char* fail_op = nullptr;
  ScmResult failure = {};
  bool exe_ok = true;
  size_t boxes = 0;  // "Could not open Service Control Manager" message boxes
};

class KeywordTest : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(KeywordTest, PrintsTheTextsOfItsPath) {
  const KeywordCase& c = GetParam();
  Harness h;
  if (c.agent) h.manager.Add("TapEyeSv", c.agent, c.agent_stop_rounds);
  if (c.driver) h.manager.Add("TapEye", c.driver);
  if (c.fail_op) h.manager.Fail(c.fail_op, std::string(c.fail_op) == "Connect" ? "" : "TapEyeSv", c.failure);
  h.exe_ok = c.exe_ok;
  EXPECT_EQ(h.Run(c.args), 0);
  EXPECT_EQ(h.out.Text(), c.expected);
  const std::pair<std::string, std::string> box("Could not open Service Control Manager", "NETWARD ERROR");
  EXPECT_EQ(h.out.Boxes(), std::vector(c.boxes, box));
  EXPECT_EQ(h.agent_runs, 0);
  EXPECT_TRUE(h.channel.reports.empty());
}

const ScmResult kNotBooted = {kErrorServiceControllerConnect, "not booted"};
const ScmResult kDenied = {5, "Permission denied"};
const std::string kNoManagerLine = "OpenSCManager failed - not booted (0x427)\n";
const std::string kNotInstalled = "Could not open TapEyeSv - code 1060\nCould not open TapEye - code 1060\n"
                                  "OpenService failed - " + std::string(kNoSuchService) + "\n";
const std::string kBothStopped = "TapEyeSv is already stopped\nTapEye is already stopped\n";

// Remove and stop without a manager, and remove when nothing is installed, take sub-paths of the
// install rows.
INSTANTIATE_TEST_SUITE_P(
    Keywords, KeywordTest,
    ::testing::Values(
        KeywordCase{.name = "InstallFresh", .args = {"-install"},
                    .expected = kNotInstalled + "NETWARD Agent Service installed.\n"},
        KeywordCase{.name = "InstallOverRunningService", .args = {"/INSTALL"},
                    .expected = "TapEyeSv stopped\nTapEye stopped\nStopping NETWARD Agent Service...\n"
                                "NETWARD Agent Service stopped.\nNETWARD Agent Service removed.\n"
                                "NETWARD Agent Service installed.\n",
                    .agent = kStateRunning, .driver = kStateRunning, .agent_stop_rounds = 2},
        KeywordCase{.name = "InstallWhenDeleteFails", .args = {"-install"},
                    .expected = kBothStopped + "DeleteService failed - Permission denied (0x5)\n"
                                "CreateService failed - The specified service already exists. (0x431)\n",
                    .agent = kStateStopped, .driver = kStateStopped, .fail_op = "Delete", .failure = kDenied},
        KeywordCase{.name = "InstallWithoutExecutablePath", .args = {"-install"},
                    .expected = kNotInstalled +
                                "Unable to install NETWARD Agent Service - No such file or directory (0x2)\n",
                    .exe_ok = false},
        KeywordCase{.name = "InstallWithoutManager", .args = {"-install"}, .expected = kNoManagerLine + kNoManagerLine,
                    .fail_op = "Connect", .failure = kNotBooted, .boxes = 1},
        KeywordCase{.name = "StartWithoutManager", .args = {"-start"}, .expected = "", .fail_op = "Connect",
                    .failure = kNotBooted, .boxes = 1},
        KeywordCase{.name = "RemoveStopped", .args = {"-remove"},
                    .expected = kBothStopped + "NETWARD Agent Service removed.\n", .agent = kStateStopped,
                    .driver = kStateStopped},
        KeywordCase{.name = "RemoveWhenQueryFails", .args = {"-Remove"},
                    .expected = "TapEyeSv stopped\nCould not open TapEye - code 1060\nStopping NETWARD Agent Service.\n"
                                "NETWARD Agent Service failed to stop.\nNETWARD Agent Service removed.\n",
                    .agent = kStateRunning, .agent_stop_rounds = 5, .fail_op = "Query", .failure = kDenied},
        KeywordCase{.name = "StartStopped", .args = {"-start"}, .expected = "TapEyeSv started\n",
                    .agent = kStateStopped},
        KeywordCase{.name = "StartRunning", .args = {"/start"}, .expected = "TapEyeSv is already running\n",
                    .agent = kStateRunning},
        KeywordCase{.name = "StartFails", .args = {"-start"}, .expected = "TapEyeSv failed to start - code 1\n",
                    .agent = kStateStopped, .fail_op = "Start", .failure = {1, "Job failed"}},
        KeywordCase{.name = "StopAgentFailsDriverStillTried", .args = {"-STOP"},
                    .expected = "TapEyeSv failed to stop - code 1061\nTapEye stopped\n", .agent = kStateRunning,
                    .driver = kStateRunning, .fail_op = "Stop", .failure = {1061, "cannot accept"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceHost, InstallRegistersTheServiceWithItsOptions) {
  Harness h;
  EXPECT_EQ(h.Run({"-install", "--rpc-port", "4000", "--hive", "/etc/nw/a b.reg", "--metrics", "[::1]:9753"}), 0);
  ASSERT_TRUE(h.manager.services.count("TapEyeSv"));
  const ServiceConfig& c = h.manager.services["TapEyeSv"].config;
  EXPECT_EQ(c.binary_path, "/usr/sbin/tapeyesv");
  EXPECT_EQ(c.dependencies, std::vector<std::string>{"TapEye"});
  EXPECT_EQ(c.arguments,
            (std::vector<std::string>{"--hive", "/etc/nw/a b.reg", "--rpc-port", "4000", "--metrics", "[::1]:9753"}));
  EXPECT_EQ(c.hive_path, "/etc/nw/a b.reg");

  for (const char* bad : {"0", ":9753"}) {
    Harness bad_option;
    EXPECT_EQ(bad_option.Run({"-install", bad[0] == ':' ? "--metrics" : "--rpc-port", bad}), 2) << bad;
    EXPECT_TRUE(bad_option.manager.calls.empty());
  }
}

// Under the installed unit (ProtectSystem=strict) a DataPath outside the state directory could not
// be written at all: -install makes the configured one writable (and creates it).
TEST(ServiceHost, InstallMakesTheConfiguredDataPathWritable) {
  const testing_scratch::ScratchDir scratch;
  const std::filesystem::path dir = scratch.path;
  const std::string hive = (dir / "netward.reg").string();
  const std::string data = (dir / "history here").string();
  std::ofstream(hive) << "REGEDIT4\n[" << kSettingsKey << "]\n\"DataPath\"=\"" << data << "/\"\n";
  Harness h;
  EXPECT_EQ(h.Run({"-install", "--hive", hive}), 0);
  const ServiceConfig& c = h.manager.services["TapEyeSv"].config;
  EXPECT_EQ(c.data_path, data);
  EXPECT_TRUE(std::filesystem::is_directory(data));
  EXPECT_NE(AgentUnitText(c).find("ReadWritePaths=-" + dir.string() + " -\"" + data + "\"\n"), std::string::npos)
      << AgentUnitText(c);

  Harness no_data_path;  // the default hive names none: the state directory is writable already
  EXPECT_EQ(no_data_path.Run({"-install"}), 0);
  EXPECT_EQ(no_data_path.manager.services["TapEyeSv"].config.data_path, "");
}

// `--replay ""` used to try a live interface named "capture".
TEST(ServiceHost, AnEmptyReplayNameIsAnError) {
  Harness h;
  EXPECT_EQ(h.Run({"-debug", "--replay", ""}), 2);
  EXPECT_EQ(h.agent_runs, 0);
}

TEST(ServiceHost, ErrorTextThatDoesNotFitIsEmpty) {
  EXPECT_EQ(FormatErrorText({5, std::string(242, 'x')}).size(), 242u + 6);
  EXPECT_EQ(FormatErrorText({5, std::string(243, 'x')}), "");
  EXPECT_EQ(FormatErrorText({5, "Access is denied.\r\n"}), "Access is denied. (0x5)");
  EXPECT_EQ(FormatErrorText({5, ""}), "");
  Harness h;
  h.manager.Fail("Connect", "", {5, std::string(300, 'x')});
  h.Run({"-remove"});
  EXPECT_EQ(h.out.Text(), "OpenSCManager failed - \n");
}

TEST(ServiceHost, KeywordSelection) {
  struct Case {
    std::vector<std::string> args;
    bool console;
    bool promiscuous;
  } cases[] = {
      {{"/DEBUG"}, true, false},        {{"-debug", "--rpc-port", "9"}, true, false},
      {{"-Prom"}, true, true},          {{"-debugx"}, false, false},
      {{"-debu"}, false, false},        {{"debug"}, false, false},
      {{}, false, false},               {{"-install2"}, false, false},
  };
  for (const Case& c : cases) {
    Harness h;
    h.channel.connect_ok = false;
    h.channel.notify_ok = false;
    // In console mode status reports and event-log entries are skipped, even on failure.
    h.agent_body = [](ServiceHost& host) {
      EXPECT_TRUE(host.ReportServiceStatus(kStateStopPending, 0, 3000));
      host.LogServiceError("anything");
    };
    int rc = h.Run(c.args);
    const std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(h.agent_runs, c.console ? 1 : 0) << what;
    if (c.console) {
      EXPECT_EQ(rc, 0) << what;
      EXPECT_TRUE(h.ran_in_debug);
      EXPECT_EQ(h.last_run.options.force_promiscuous, c.promiscuous) << what;
      EXPECT_EQ(h.out.Text(), "Debugging NETWARD Agent Service.\n");
      EXPECT_TRUE(h.log.entries.empty());
      EXPECT_TRUE(h.channel.reports.empty());
    } else {
      // Usage, then the dispatcher, which fails outside systemd: one error entry, nothing printed.
      EXPECT_EQ(rc, 1) << what;
      EXPECT_EQ(h.out.Text(), kUsage) << what;
      ASSERT_EQ(h.log.entries.size(), 1u) << what;
      EXPECT_EQ(h.log.entries[0].type, kEventError);
      EXPECT_EQ(h.log.entries[0].strings[1], "StartServiceCtrlDispatcher failed.");
      EXPECT_EQ(h.log.entries[0].strings[0].rfind("TapEyeSv error: ", 0), 0u);
    }
    EXPECT_TRUE(h.manager.calls.empty()) << what;
  }
  Harness bad;
  EXPECT_EQ(bad.Run({"-debug", "--frobnicate"}), 2);
  EXPECT_EQ(bad.agent_runs, 0);
  EXPECT_EQ(bad.out.Text(), kUsage);
}

TEST(ServiceHost, ServiceReportsStartRunningAndTheStopStages) {
  Harness h;
  setenv("STATE_DIRECTORY", "/var/lib/netward:/var/lib/other", 1);
  std::vector<ServiceStatusRecord> records;
  h.agent_body = [&records](ServiceHost& host) {
    records.push_back(host.status());
    host.ReportServiceStatus(kStateRunning, 0, 0);
    // CommonStop's stages.
    for (int i = 0; i < 3; ++i) host.ReportServiceStatus(kStateStopPending, 0, 3000);
    host.ReportServiceStatus(kStateStopped, 0, 0);
    records.push_back(host.status());
  };
  EXPECT_EQ(h.Run({"--rpc-port", "4000"}), 0);
  unsetenv("STATE_DIRECTORY");
  EXPECT_EQ(h.out.Text(), kUsage);
  EXPECT_EQ(h.last_run.options.state_dir, "/var/lib/netward");
  EXPECT_EQ(h.last_run.options.rpc_port, 4000);
  EXPECT_FALSE(h.ran_in_debug);
  // One message per report; their text, from the real agent:
  // ServiceMode.ReportsReadinessAndStopStagesThroughTheNotifySocket.
  EXPECT_EQ(h.channel.reports.size(), 6u);
  ASSERT_EQ(records.size(), 2u);
  const ServiceStatusRecord& start = records[0];
  EXPECT_EQ(std::vector<uint32_t>({start.service_type, start.current_state, start.controls_accepted,
                                   start.checkpoint, start.wait_hint}),
            std::vector<uint32_t>({kServiceTypeOwnProcess, kStateStartPending, 0, 1, 3000}));
  EXPECT_EQ(std::vector<uint32_t>({records[1].current_state, records[1].controls_accepted, records[1].checkpoint}),
            std::vector<uint32_t>({kStateStopped, kAcceptStop, 0}));
  EXPECT_TRUE(h.log.entries.empty());
}

TEST(ServiceHost, FailedStartReportStopsTheService) {
  Harness h;
  h.channel.notify_ok = false;
  EXPECT_EQ(h.Run({}), 1);
  EXPECT_EQ(h.agent_runs, 0);
  // start-pending, then stopped with the captured error; each failure logged.
  ASSERT_EQ(h.channel.reports.size(), 2u);
  EXPECT_EQ(h.host->status().current_state, kStateStopped);
  EXPECT_EQ(h.host->status().win32_exit_code, h.host->last_error());
  EXPECT_NE(h.host->last_error(), 0u);
  ASSERT_EQ(h.log.entries.size(), 2u);
  EXPECT_EQ(h.log.entries[0].strings[1], "SetServiceStatus");
}

}  // namespace
}  // namespace netward::service
