#include "core/agent.h"
#include "capture/scripted_driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "common/free_port.h"
#include "common/http_get.h"
#include "state/history.h"
#include "platform/files.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

using namespace netward;
using namespace netward::platform;
namespace fs = std::filesystem;

namespace {

// 2026-12-04 12:00:00 UTC.
constexpr uint32_t kDec4Noon = 1796385600u;

class FixedRandom : public Random {
 public:
  void Seed(uint32_t s) override { seed = s; }
  uint32_t Next() override { return ++draws; }
  uint32_t seed = 0;
  uint32_t draws = 0;
};

class AgentTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = fs::path(testing::TempDir()) / ("agent_" + std::to_string(getpid()) + "_" +
                                             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(state_);
    fs::create_directories(history());
    hive_ = std::make_shared<HiveFile>();
  }
  void TearDown() override {
    if (thread_.joinable()) Stop();
    agent_.reset();
    FreeGlobalArea(g_global_area.exchange(nullptr));
    chdir("/");
    fs::remove_all(state_);
  }
  fs::path history() const { return state_ / "NETWARD History"; }

  // Starts the agent on a thread and waits until its main loop waits for the first checkpoint.
  // `captures`: adapter names of capture files given on the command line.
  void Start(uint32_t start_time, std::vector<std::string> interfaces = {"eth0"}, std::vector<std::string> captures = {}) {
    clock_ = std::make_unique<TestClock>(start_time);
    registry_ = std::make_unique<SystemRegistry>(hive_, PacketDriverKeys());
    registry_->SetInterfaceNames(std::move(interfaces));
    for (const auto& name : captures) registry_->AddExport(Widen(kDevicePrefix + name));
    AgentOptions opt;
    opt.state_dir = state_.string();
    agent_ = std::make_unique<Agent>(*registry_, *clock_, out_, random_, opt);
    agent_->hooks().packet_driver = &driver_;  // no live capture in these tests
    thread_ = std::thread([this] { agent_->AgentMain(); });
    ASSERT_TRUE(clock_->AwaitWaiters(1, 10000));
  }
  void Checkpoint() {
    uint64_t waits = clock_->WaitsBegun();
    clock_->Advance(kCheckpointMs);
    // The loop has finished the checkpoint once it waits again.
    ASSERT_TRUE(clock_->AwaitWaitsBegun(waits + 1, 10000));
  }
  void Stop() {
    agent_->CommonStop();
    thread_.join();
  }
  std::vector<TraceRecord> Trace(const char* day) {
    std::vector<uint8_t> bytes;
    std::vector<TraceRecord> out;
    if (!ReadFile((history() / (std::string(day) + ".TET")).string(), bytes)) return out;
    EXPECT_EQ(bytes.size() % kTraceRecordSize, 0u);
    for (size_t i = 0; i + kTraceRecordSize <= bytes.size(); i += kTraceRecordSize) {
      uint8_t rec[kTraceRecordSize];
      memcpy(rec, bytes.data() + i, sizeof rec);
      TraceRecord r;
      EXPECT_TRUE(ParseTraceRecord(rec, r));
      out.push_back(r);
    }
    return out;
  }
  size_t FileSize(const std::string& name) {
    std::error_code ec;
    auto n = fs::file_size(history() / name, ec);
    return ec ? 0 : n;
  }
  void Touch(const std::string& name) { std::ofstream(history() / name) << "x"; }

  fs::path state_;
  std::shared_ptr<HiveFile> hive_;
  std::unique_ptr<TestClock> clock_;
  std::unique_ptr<SystemRegistry> registry_;
  CapturedOutput out_;
  FixedRandom random_;
  ScriptedDriver driver_;
  std::unique_ptr<Agent> agent_;
  std::thread thread_;
};

// The limit of four adapters and its warning: CaptureFilesComeBeforeInterfacesAndLeftOutAdaptersAreNamed.
TEST_F(AgentTest, StartUpPrintsItsLinesAndNamesEachAdapter) {
  Start(kDec4Noon, {"eth0", "lo"});
  std::string text = out_.Text();
  EXPECT_EQ(text.rfind("TapEyeSv Started - Version '19990415' \n", 0), 0u) << text;
  EXPECT_NE(text.find("Current Directory is '" + history().string() + "'\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Creating ZivUzevari Thread for Adapter \\Device\\TapEye_lo\n"), std::string::npos);
  EXPECT_NE(text.find("Creating ServerRPC Thread \n"), std::string::npos);
  char name[32];
  Global()->Nics[1]->AdapterName.Get(name);
  EXPECT_STREQ(name, "lo");
  Stop();
  EXPECT_NE(out_.Text().find("TapEyeSv shutdown in progress.\n"), std::string::npos);
}

TEST_F(AgentTest, PurgeKeepsTheLastMonthAndAnythingNotAHistoryFile) {
  for (const char* n : {"20261030.TET", "20261103.TES", "20261104.TET", "20261201.TES", "2026110.TET",
                        "x0261001.TET", "20261001.TEX", "20261001.TET.bak", "00001001.TET", "notes.txt"})
    Touch(n);
  Start(kDec4Noon);
  Stop();
  std::set<std::string> left;
  for (auto& e : fs::directory_iterator(history())) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"20261104.TET", "20261201.TES", "2026110.TET", "x0261001.TET",
                                          "20261001.TEX", "00001001.TET", "notes.txt", "20261204.TET"}))
      << "only the four characters after the date count: a .TET.bak copy goes too";
  std::string text = out_.Text();
  EXPECT_NE(text.find("PURGING 20261030.TET\n"), std::string::npos);
  EXPECT_NE(text.find("PURGING 20261103.TES\n"), std::string::npos);
}

TEST_F(AgentTest, StopBeforeTheFirstCheckpointWritesTotalsAndStatistics) {
  Start(kDec4Noon);
  GlobalArea* g = Global();
  NicArea* nic = g->Nics[0];
  g->OwnFrames.fetch_add(5);
  g->OtherBytes.fetch_add(1500.0f);
  nic->Stations[0].FramesSent = 5;
  RelaxedStore(nic->StationCount, 1);
  clock_->Advance(90000);  // 90 s in, long before the checkpoint
  Stop();
  auto trace = Trace("20261204");
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].Time, kDec4Noon);
  EXPECT_EQ(trace[0].OwnFrames, 0u) << "the start marker has no gains";
  EXPECT_EQ(trace[1].OwnFrames, 5u);
  EXPECT_EQ(trace[1].OtherBytes, 1500.0f);
  EXPECT_EQ(FileSize("20261204.TES"), kStatsRecordSize);
  EXPECT_TRUE(agent_->agent_stopped().IsSet());
}

TEST_F(AgentTest, CheckpointsRecordGainsAndADayChangeEmptiesTheStationTables) {
  Start(kDec4Noon + 11 * 3600 + 55 * 60, {"eth0", "eth1"});  // 23:55
  GlobalArea* g = Global();
  RelaxedStore(g->Nics[0]->StationCount, 3);
  g->OwnFrames.fetch_add(2);
  Checkpoint();  // 00:05 on the 5th: the record goes to the new day, yesterday's statistics are written
  g->OwnFrames.fetch_add(1);
  Checkpoint();
  Stop();

  EXPECT_EQ(Trace("20261204").size(), 1u) << "only the start marker";
  auto dec5 = Trace("20261205");
  ASSERT_EQ(dec5.size(), 3u);
  EXPECT_EQ(dec5[0].OwnFrames, 2u);
  EXPECT_EQ(dec5[1].OwnFrames, 1u) << "gains are since the previous checkpoint";
  EXPECT_EQ(dec5[2].OwnFrames, 0u);
  // Three stations on the first adapter and none on the second: three records, adapter index 0.
  std::vector<uint8_t> tes;
  ASSERT_TRUE(ReadFile((history() / "20261204.TES").string(), tes));
  ASSERT_EQ(tes.size(), 3 * kStatsRecordSize);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tes[i * kStatsRecordSize + 4], 0);
  EXPECT_EQ(RelaxedLoad(g->Nics[0]->StationCount), 0);
  EXPECT_EQ(g->DayChanges.load(), 2u) << "once per adapter";
  EXPECT_EQ(FileSize("20261205.TES"), 0u) << "the stop found empty station tables";
}

TEST_F(AgentTest, AccessKeyFromSettingsOrRandom) {
  // No OpenKey: four draws filled from the last word to the first, seeded with the time.
  Start(kDec4Noon);
  GlobalArea* g = Global();
  uint32_t words[4];
  memcpy(words, g->AccessKey, 16);
  EXPECT_EQ(random_.seed, kDec4Noon);
  EXPECT_EQ(words[3], 1u);
  EXPECT_EQ(words[0], 4u);

  // A first byte of zero counts as no key.
  hive_->Set(kSettingsKey, "OpenKey", RegValue{kRegBinary, {0, 'A', 'B'}});
  agent_->LoadSettings();
  memcpy(words, g->AccessKey, 16);
  EXPECT_EQ(words[3], 5u);

  // A string key is zero-padded; a longer one keeps its first 16 bytes; AutoIpName is re-read.
  hive_->SetString(kSettingsKey, "OpenKey", "Secret");
  hive_->SetDword(kSettingsKey, "AutoIpName", 1);
  agent_->LoadSettings();
  EXPECT_EQ(memcmp(g->AccessKey, "Secret\0\0\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_EQ(g->AutoIpName.load(), 1u);
  hive_->SetString(kSettingsKey, "OpenKey", "0123456789abcdefXYZ");
  agent_->LoadSettings();
  EXPECT_EQ(memcmp(g->AccessKey, "0123456789abcdef", 16), 0);
  Stop();
}

TEST_F(AgentTest, CommonStopReportsInOrderAndClosesWindows) {
  Start(kDec4Noon);
  std::vector<std::string> log;
  std::mutex mu;
  agent_->hooks().report_status = [&](uint32_t s, uint32_t e, uint32_t h) {
    std::lock_guard<std::mutex> l(mu);
    log.push_back("status " + std::to_string(s) + " " + std::to_string(e) + " " + std::to_string(h));
  };
  agent_->hooks().rpc_stop_listening = [&] {
    std::lock_guard<std::mutex> l(mu);
    log.push_back("rpc stop");
  };
  agent_->hooks().post_message = [&](uintptr_t w, uint32_t m) {
    std::lock_guard<std::mutex> l(mu);
    log.push_back("msg " + std::to_string(w) + " " + std::to_string(m));
  };
  Global()->Windows[kQuickLookWindow].store(77);
  agent_->NotifyTaskbarWindow();  // no taskbar window open: nothing sent
  Stop();
  EXPECT_EQ(log, (std::vector<std::string>{"status 3 0 3000", "msg 77 1124", "status 3 0 3000", "rpc stop",
                                           "status 3 0 3000", "status 1 0 0"}));
}

TEST_F(AgentTest, StartUpGivesAdaptersTheirCardTitleAndDriverDate) {
  // A card named for an adapter no real machine has, its driver under the state directory.
  const std::string card = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\1";
  hive_->SetString(card, "ProductName", "TapNet");
  hive_->SetString(card, "ServiceName", "TAP7");
  hive_->SetString(card, "Title", "[1] Tap Card");
  hive_->SetString("HKLM\\SYSTEM\\CurrentControlSet\\Services\\TapNet", "ImagePath", "\\SystemRoot\\tap.sys");
  std::ofstream(state_ / "tap.sys") << "x";
  timespec times[2] = {{kDec4Noon - 86400, 0}, {kDec4Noon - 86400, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (state_ / "tap.sys").c_str(), times, 0), 0);
  Start(kDec4Noon, {"eth0", "tap7"});
  EXPECT_EQ(agent_->windows_dir(), fs::canonical(state_).string());
  GlobalArea* g = Global();
  char title[64], text[32];
  g->Nics[1]->AdapterTitle.Get(title);
  g->Nics[1]->DriverFileText.Get(text);
  EXPECT_STREQ(title, "Tap Card");
  EXPECT_STREQ(text, "tap.sys      03-Dec-2026");
  EXPECT_EQ(g->Nics[1]->DriverFileTime, kDec4Noon - 86400);
  Stop();
}

TEST_F(AgentTest, DataPathSettingIsCreatedAndUsed) {
  fs::path custom = state_ / "custom";
  hive_->SetString(kSettingsKey, "DataPath", custom.string());
  Start(kDec4Noon, {});
  EXPECT_EQ(Global()->NicCount.load(), 0) << "no adapters: the agent still runs";
  Stop();
  EXPECT_TRUE(fs::exists(custom / "20261204.TET"));
}

// A fifth --replay used to be ignored without a word, and capture files came after every live
// interface, so that on a host with four interfaces up a --replay file was never opened.
TEST_F(AgentTest, CaptureFilesComeBeforeInterfacesAndLeftOutAdaptersAreNamed) {
  Start(kDec4Noon, {"eth0", "eth1", "eth2", "lo"}, {"trace", "trace_2"});
  GlobalArea* g = Global();
  ASSERT_EQ(g->NicCount.load(), 4);
  std::vector<std::u16string> devices;
  for (int i = 0; i < 4; ++i) devices.emplace_back(g->Nics[i]->DeviceName);
  EXPECT_EQ(devices, (std::vector<std::u16string>{u"\\Device\\TapEye_trace", u"\\Device\\TapEye_trace_2",
                                                  u"\\Device\\TapEye_eth0", u"\\Device\\TapEye_eth1"}));
  EXPECT_EQ(out_.Warnings(), std::vector<std::string>{"Not monitored (at most 4 adapters are), 2 left out: "
                                                      "\\Device\\TapEye_eth2, \\Device\\TapEye_lo\n"});
}

// A DataPath that could not be created or entered used to put the history into whatever directory
// the agent was started in, without a word.
TEST_F(AgentTest, ADataPathThatCannotBeUsedIsSaidOnceAndTheStateDirectoryTakesOver) {
  std::ofstream(state_ / "file") << "x";
  const fs::path bad = state_ / "file" / "history";
  hive_->SetString(kSettingsKey, "DataPath", bad.string());
  const fs::path elsewhere = state_ / "started-here";
  fs::create_directories(elsewhere);
  ASSERT_EQ(chdir(elsewhere.c_str()), 0);
  Start(kDec4Noon, {});
  Stop();
  EXPECT_EQ(out_.Warnings(), std::vector<std::string>{"DataPath '" + bad.string() + "' cannot be used: Not a directory; "
                                                      "history files go to '" + history().string() + "'\n"});
  EXPECT_NE(out_.Text().find("Current Directory is '" + history().string() + "'\n"), std::string::npos);
  EXPECT_EQ(agent_->history_dir(), history().string());
  EXPECT_EQ(Trace("20261204").size(), 2u) << "start marker and final record in the state directory's history";
  EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing in the directory the agent was started in";
}

// A misspelt setting name used to be ignored without a word (an "OpenKy" leaves a random key that
// no client knows).
TEST_F(AgentTest, UnknownSettingNamesGetOneLineEach) {
  hive_->SetString(kSettingsKey, "OpenKy", "secret");
  hive_->SetString(kSettingsKey, "datapath", "");  // names are not case-sensitive
  hive_->SetDword(kSettingsKey, "AutoIpNames", 1);
  hive_->SetDword(kSettingsKey, "RpcTcpPort", 0);
  Start(kDec4Noon, {});
  const std::string known = " is ignored (known: DataPath, OpenKey, AutoIpName, RpcTcpPort, RpcLocalEndpoint, "
                            "EndpointMapperPort, MetricsAddress, MetricsTopStations)\n";
  EXPECT_EQ(out_.Warnings(), (std::vector<std::string>{
                                 "Unknown setting 'AutoIpNames' in " + std::string(kSettingsKey) + known,
                                 "Unknown setting 'OpenKy' in " + std::string(kSettingsKey) + known,
                             }));
}

// The metrics endpoint comes from the settings; an address that cannot be used is said once and
// the agent runs on without it.
TEST_F(AgentTest, SettingsNameTheMetricsEndpoint) {
  const uint16_t port = testing_net::FreePort();
  hive_->SetString(kSettingsKey, "MetricsAddress", std::to_string(port));
  Start(kDec4Noon);
  EXPECT_TRUE(out_.Warnings().empty());
  EXPECT_NE(out_.Text().find("Metrics served at http://127.0.0.1:" + std::to_string(port) + "/metrics\n"),
            std::string::npos)
      << out_.Text();
  const std::string body = testing_net::HttpBody(testing_net::HttpGet(port, "/metrics"));
  EXPECT_NE(body.find("\nnetward_start_time_seconds 1796385600\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\nnetward_adapter_frames_total{adapter=\"eth0\"} 0\n"), std::string::npos) << body;
  Stop();
  agent_.reset();
  EXPECT_EQ(testing_net::ConnectLoopback(port), -1) << "the endpoint goes with the agent";
}

TEST_F(AgentTest, AMetricsAddressWrittenAsADwordIsItsPort) {
  const uint16_t port = testing_net::FreePort();
  hive_->SetDword(kSettingsKey, "MetricsAddress", port);
  Start(kDec4Noon);
  EXPECT_TRUE(out_.Warnings().empty());
  EXPECT_EQ(testing_net::HttpStatusLine(testing_net::HttpGet(port, "/metrics")), "HTTP/1.1 200 OK");
}

TEST_F(AgentTest, ABadMetricsAddressIsSaidAndTheAgentRunsOn) {
  hive_->SetString(kSettingsKey, "MetricsAddress", "every:where");
  Start(kDec4Noon);
  ASSERT_EQ(out_.Warnings().size(), 1u);
  EXPECT_EQ(out_.Warnings()[0].rfind("Metrics not served (MetricsAddress): metrics address 'every:where': ", 0), 0u)
      << out_.Warnings()[0];
}

TEST_F(AgentTest, AMetricsPortInUseIsSaidAndTheAgentRunsOn) {
  const int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(held, 1), 0);
  socklen_t n = sizeof a;
  getsockname(held, reinterpret_cast<sockaddr*>(&a), &n);
  hive_->SetString(kSettingsKey, "MetricsAddress", "127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  Start(kDec4Noon);
  ASSERT_EQ(out_.Warnings().size(), 1u);
  EXPECT_EQ(out_.Warnings()[0], "Metrics endpoint cannot be opened (MetricsAddress): 127.0.0.1:" +
                                    std::to_string(ntohs(a.sin_port)) +
                                    ": Address already in use; the agent runs on without it\n");
  EXPECT_NE(out_.Text().find("Creating ServerRPC Thread"), std::string::npos);
  close(held);
}

// A stop a minute after midnight, before the new day's first checkpoint: the whole table (the
// previous day's traffic) goes into the new day's statistics file and none is written for the old.
TEST_F(AgentTest, StopJustAfterMidnightWritesTheNewDaysFile) {
  constexpr uint32_t kDec4At2359 = kDec4Noon + 11 * 3600 + 59 * 60;
  Start(kDec4At2359);
  RelaxedStore(Global()->Nics[0]->StationCount, 2);
  clock_->Advance(2 * 60 * 1000);  // 00:01 on the 5th
  Stop();
  EXPECT_EQ(FileSize("20261204.TES"), 0u);
  EXPECT_EQ(FileSize("20261205.TES"), 2 * kStatsRecordSize);
  EXPECT_EQ(Trace("20261205").size(), 1u) << "the stop's record goes to the new day";
}

}  // namespace
