#include "common/hex.h"
#include "remote/dispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "core/agent.h"
#include "capture/scripted_driver.h"
#include "core/byte_writer.h"
#include "core/history.h"
#include "platform/files.h"

using namespace netward;
using netward::testing_hex::Hex;
using namespace netward::platform;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDec4Noon = 1796385600u;  // 2026-12-04 12:00:00 UTC

class NoRandom : public Random {
 public:
  void Seed(uint32_t) override {}
  uint32_t Next() override { return 0x41; }
};

class DispatcherTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = fs::path(testing::TempDir()) / ("remote_" + std::to_string(getpid()));
    fs::remove_all(state_);
    fs::create_directories(state_ / "NETWARD History");
    hive_ = std::make_shared<HiveFile>();
    hive_->SetString(kSettingsKey, "OpenKey", "Secret");
    clock_ = std::make_unique<TestClock>(kDec4Noon + 3600 + 25 * 60);  // 13:25
    registry_ = std::make_unique<SystemRegistry>(hive_);
    // One adapter on the scripted driver: frames arrive only when a test pushes them.
    registry_->SetInterfaceNames({"nwtest0"});
    AgentOptions opt;
    opt.state_dir = state_.string();
    agent_ = std::make_unique<Agent>(*registry_, *clock_, out_, random_, opt);
    agent_->hooks().packet_driver = &driver_;  // no live capture in these tests
    thread_ = std::thread([this] { agent_->AgentMain(); });
    ASSERT_TRUE(clock_->AwaitWaiters(1, 10000));
    g_ = Global();
  }
  void TearDown() override {
    if (!agent_->stop_request().IsSet()) agent_->CommonStop();
    thread_.join();
    agent_.reset();
    FreeGlobalArea(g_global_area.exchange(nullptr));
    chdir("/");
    fs::remove_all(state_);
  }
  // Calls HandleRequest with a zero-padded key; returns the result and the block.
  int32_t Call(const char* key, const char* request, std::vector<uint8_t>& block) {
    uint8_t k[16] = {};
    memcpy(k, key, strnlen(key, 16));
    char req[256] = {};
    strncpy(req, request, 255);
    uint8_t* reply = nullptr;
    int32_t len = -1;
    int32_t rc = HandleRequest(k, req, &reply, &len);
    block.assign(reply, reply + (reply ? len : 0));
    if (rc != 0) {
      EXPECT_EQ(len, 0);
    }
    MidlUserFree(reply);
    return rc;
  }
  std::vector<uint8_t> Body(const char* request) {
    std::vector<uint8_t> block;
    EXPECT_EQ(Call("Secret", request, block), 0) << request;
    return std::vector<uint8_t>(block.begin() + (block.size() >= 32 ? 32 : 0), block.end());
  }
  StationRecord& AddStation(int nic, const char* label, uint32_t last_sequence) {
    NicArea* n = g_->Nics[nic];
    StationRecord& s = n->Stations[n->StationCount];
    s.AddressLabel.Set(label);
    s.ProtocolLabel.Set("IP 10.1.0.2");
    s.LastSequence = last_sequence;
    s.Nic = n;
    RelaxedStore(n->StationCount, n->StationCount + 1);
    return s;
  }

  fs::path state_;
  std::shared_ptr<HiveFile> hive_;
  std::unique_ptr<TestClock> clock_;
  std::unique_ptr<SystemRegistry> registry_;
  CapturedOutput out_;
  NoRandom random_;
  ScriptedDriver driver_;
  std::unique_ptr<Agent> agent_;
  std::thread thread_;
  GlobalArea* g_ = nullptr;
};

TEST_F(DispatcherTest, HeaderAndTotalsGoldenBytes) {
  g_->FrameSequence = 7;
  g_->OwnBytes = 2.0f;
  g_->OtherFrames = 3;
  g_->DayChanges = 1;
  g_->LastOtherTime = clock_->Now() - 5;  // start-up has taken 2 s of the clock: it is 13:25:02
  g_->StatusCode = 2;
  g_->HostName.Set("WORKSTATION");
  g_->AddressText.Set("IP=10.1.0.10");
  std::vector<uint8_t> block;
  ASSERT_EQ(Call("Secret", "TOTAL please", block), 0);
  ASSERT_EQ(block.size(), 132u) << "TOTAL and anything starting with it: header + 100 bytes";
  EXPECT_EQ(std::string(block.begin(), block.begin() + 28), "TASK1999041520261204" "13:25:02");
  EXPECT_EQ(Hex(block.data() + 28, 4), "02000000");
  const uint8_t* t = block.data() + 32;
  EXPECT_EQ(Hex(t, 48),
            "544f5420" "07000000" "00000040" "00000000" "00000000" "00000000" "00000000" "03000000" "00000000"
            "00000000" "01000000" "05000000");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t + 48)), "WORKSTATION");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t + 80)), "IP=10.1.0.10");
}

TEST_F(DispatcherTest, KeyIsCaseFoldedOverAllSixteenBytesAndOpenReloadsIt) {
  std::vector<uint8_t> block;
  EXPECT_EQ(Call("SECRET", "TOTAL", block), 0);
  EXPECT_EQ(Call("Secret2", "TOTAL", block), kKeyRejected);
  EXPECT_TRUE(block.empty());
  hive_->SetString(kSettingsKey, "OpenKey", "NewOne");
  EXPECT_EQ(Call("Secret", "TOTAL", block), 0) << "settings are re-read only on OPEN";
  EXPECT_EQ(Call("NewOne", "open x", block), 0) << "'open ' in any case reloads before the check";
  EXPECT_EQ(block.size(), 132u);
  EXPECT_NE(out_.Text().find("ERROR - Unknown request 'open x'\n"), std::string::npos)
      << "but the keyword match is exact";
  hive_->SetString(kSettingsKey, "OpenKey", "Third");
  EXPECT_EQ(Call("Third", "OPEN", block), kKeyRejected) << "'OPEN' without a blank does not reload";
}

TEST_F(DispatcherTest, TraceAndStatisticsDays) {
  // A stored trace record at 10:40 (interval 64) for today, nothing for yesterday.
  TraceRecord r;
  r.Time = kDec4Noon - 3600 - 20 * 60;
  r.OwnFrames = 9;
  ASSERT_TRUE(AppendTraceRecord((state_ / "NETWARD History" / "20261204.TET").string(), r));
  std::vector<uint8_t> block;
  ASSERT_EQ(Call("Secret", "TET 20261203", block), 0);
  EXPECT_EQ(block.size(), 32u) << "a past day without a file: header only";
  // Today: the start marker written at start-up, the stored record, and the running interval.
  g_->OwnFrames = 4;
  auto body = Body("TET 20261204");
  ASSERT_EQ(body.size(), 3 * kTetRecordSize);
  EXPECT_EQ(GetU32Le(body.data() + 4), 13u * 6 + 2) << "start marker at 13:25";
  EXPECT_EQ(GetU32Le(body.data() + 40 + 4), 64u);
  EXPECT_EQ(GetU32Le(body.data() + 40 + 12), 9u);
  EXPECT_EQ(GetU32Le(body.data() + 80 + 12), 4u) << "running interval: totals minus the checkpoint";

  AddStation(0, "00A0C9000001", 10).FramesSent = 5;
  fs::path tes = state_ / "NETWARD History" / "20261204.TES";
  ASSERT_TRUE(WriteStatisticsFile(tes.string(), *g_));
  AppendFile(tes.string(), "TES1", 4);  // a torn last record is ignored
  body = Body("TES 20261204");
  ASSERT_EQ(body.size(), 2 * kStatRecordSize) << "stored records, then the live table";
  EXPECT_EQ(GetU32Le(body.data() + 4), 1u) << "adapter numbers are 1-based";
  EXPECT_EQ(GetU32Le(body.data() + 104), 5u);
  EXPECT_EQ(Body("TES 20261130").size(), 0u);
}

TEST_F(DispatcherTest, StatRecordGoldenBytesAndStationsChangedSince) {
  StationRecord& s = AddStation(0, "*00600800000A", 3);
  s.Role.Set("Self");
  s.Name.Set("HOST");
  s.LastSeen = kDec4Noon + 61;
  s.BytesSent = 1.0f;
  s.FramesReceived = 2;
  AddStation(0, "00A0C9000001", 8);
  auto body = Body("STATS_PRO 5");
  ASSERT_EQ(body.size(), 100 + kStatRecordSize) << "only the station changed after sequence 5";
  body = Body("STATS_PRO");
  ASSERT_EQ(body.size(), 100 + 2 * kStatRecordSize);
  const uint8_t* st = body.data() + 100;
  std::string text(reinterpret_cast<const char*>(st), 100);
  EXPECT_EQ(text.substr(0, 8), std::string("STAT\x01\0\0\0", 8));
  EXPECT_EQ(text.substr(8, 16), "*00600800000A   ");
  EXPECT_EQ(text.substr(24, 28), "IP 10.1.0.2                 ");
  EXPECT_EQ(text.substr(52, 8), "Self    ");
  EXPECT_EQ(text.substr(60, 32), "HOST" + std::string(28, ' '));
  EXPECT_EQ(text.substr(92, 8), "12:01:01");
  EXPECT_EQ(Hex(st + 100, 24), "0000803f" "00000000" "00000000" "00000000" "00000000" "02000000");
}

TEST_F(DispatcherTest, KeywordTableBodies) {
  struct Case {
    const char* request;
    size_t body;
  } cases[] = {
      {"CMD CONFIG", 4100},   {"CFG ", 4100},       {"CMD PING WINSX", 4100}, {"HISTORY_LIST", 100 + 12},
      {"DETAILS 0", 100},     {"ERRORS 5", 100},    {"OID", 0},               {"BCASTERS HIGH", 40},
      {"SNAPSHOT", 4},        {"nonsense", 100},    {"TOTALLY", 100},
  };
  for (const auto& c : cases) EXPECT_EQ(Body(c.request).size(), c.body) << c.request;
  auto hist = Body("HISTORY_LIST");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(hist.data() + 100), 12), std::string("HIST20261204", 12));
  auto stop = Body("CMD VEDEZOZE STOP");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(stop.data() + 4)), "TapEye Service terminating");
  EXPECT_TRUE(agent_->agent_stopped().IsSet()) << "the stop ran before the reply";
}

// An ARP request from 00:a0:c9:00:00:01 for 10.1.0.10, padded to the Ethernet minimum.
std::vector<uint8_t> ArpRequest() {
  std::vector<uint8_t> f = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0xa0, 0xc9, 0x00, 0x00, 0x01, 0x08, 0x06,
                            0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x00, 0xa0, 0xc9, 0x00, 0x00, 0x01,
                            10, 1, 0, 2, 0, 0, 0, 0, 0, 0, 10, 1, 0, 10};
  f.resize(60, 0);
  return f;
}

TEST_F(DispatcherTest, DetailsDecodeTheRecentFramesNewerThanN) {
  for (int i = 0; i < 3; ++i) driver_.Push(ArpRequest(), 60, clock_->Now());
  for (int i = 0; i < 1000 && g_->FrameSequence.load() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(g_->FrameSequence.load(), 3u);
  auto body = Body("DETAILS 0");
  ASSERT_EQ(body.size(), 100 + 3 * 364);
  const uint8_t* d = body.data() + 100;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d), 4), "DETL");
  EXPECT_EQ(GetU32Le(d + 4), 1u) << "adapter number";
  EXPECT_EQ(GetU32Le(d + 8), 1u) << "sequence of the first frame";
  EXPECT_EQ(GetU32Le(d + 12), 60u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 28)), "00A0C9000001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 112), 4), "<<  ") << "group frame from another station";
  EXPECT_NE(std::string(reinterpret_cast<const char*>(d + 144), 100).find_first_not_of(' '), std::string::npos)
      << "the decoder wrote a summary";
  EXPECT_EQ(Body("DETAILS 2").size(), 100 + 364u);
  EXPECT_EQ(Body("ERRORS").size(), 100u) << "no events";

  // Broadcast replies: the three ARP requests form one group of the broadcaster.
  auto high = Body("BCASTERS HIGH");
  auto low = Body("BCASTERS LOW");
  ASSERT_EQ(high.size(), 40 + 244u);
  ASSERT_EQ(low.size(), high.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(high.data()), 4), "BHDR");
  EXPECT_EQ(GetU32Le(high.data() + 28), 3u) << "frames in the window";
  EXPECT_EQ(GetU32Le(high.data() + 32), 3u) << "all recent";
  EXPECT_EQ(GetU32Le(high.data() + 36), 1u);
  const uint8_t* e = high.data() + 40;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 8)), "00A0C9000001");
  EXPECT_EQ(GetU32Le(e + 96), 3u);
  EXPECT_EQ(GetU32Le(e + 112), 3u) << "the newest frame describes the entry";
  EXPECT_EQ(memcmp(high.data() + 40, low.data() + 40, 116), 0) << "only the grouping text differs";
  EXPECT_EQ(Body("BCASTSENT LOW").size(), 40u) << "this PC sent nothing";
  clock_->Advance(901 * 1000);
  EXPECT_EQ(Body("BCASTERS").size(), 40u) << "nothing in the last 15 minutes";
}

}  // namespace
