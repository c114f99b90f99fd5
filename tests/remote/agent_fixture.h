// An agent on a test clock (2026-12-04 13:25:00 UTC) whose one adapter, "nwtest0", is a scripted
// driver: tests push frames through the capture thread and accounting and call HandleRequest as the
// RPC stub does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/scripted_driver.h"
#include "core/agent.h"
#include "platform/clock.h"
#include "platform/output.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"
#include "remote/dispatcher.h"

namespace netward::test {

inline constexpr uint32_t kDec4Noon = 1796385600u;         // 2026-12-04 12:00:00 UTC
inline constexpr uint32_t kAgentStart = kDec4Noon + 3600 + 25 * 60;  // 13:25

class NoRandom : public platform::Random {
 public:
  void Seed(uint32_t) override {}
  uint32_t Next() override { return 0x41; }
};

class AgentFixture : public testing::Test {
 protected:
  explicit AgentFixture(const char* dir_name) : dir_name_(dir_name) {}

  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = std::filesystem::path(testing::TempDir()) / (dir_name_ + "_" + std::to_string(getpid()));
    std::filesystem::remove_all(state_);
    std::filesystem::create_directories(state_ / "NETWARD History");
    hive_ = std::make_shared<platform::HiveFile>();
    hive_->SetString(kSettingsKey, "OpenKey", "Secret");
    clock_ = std::make_unique<platform::TestClock>(kAgentStart);
    registry_ = std::make_unique<platform::SystemRegistry>(hive_, PacketDriverKeys());
    registry_->SetInterfaceNames({"nwtest0"});
    AgentOptions opt;
    opt.state_dir = state_.string();
    agent_ = std::make_unique<Agent>(*registry_, *clock_, out_, random_, opt);
    agent_->hooks().packet_driver = &driver_;
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
    std::filesystem::remove_all(state_);
  }

  // HandleRequest with `key` zero-padded to 16 bytes; the result, and the block in `block`.
  int32_t Call(const char* key, const char* request, std::vector<uint8_t>& block) {
    uint8_t k[16] = {};
    memcpy(k, key, strnlen(key, 16));
    char req[256] = {};
    strncpy(req, request, 255);
    uint8_t* reply = nullptr;
    int32_t len = -1;
    const int32_t rc = HandleRequest(AgentRequestContext(*agent_), k, req, &reply, &len);
    block.assign(reply, reply + (reply ? len : 0));
    if (rc != 0) {
      EXPECT_EQ(len, 0);
    }
    MidlUserFree(reply);
    return rc;
  }
  // The whole reply block of an accepted request.
  std::vector<uint8_t> Reply(const char* request) {
    std::vector<uint8_t> block;
    EXPECT_EQ(Call("Secret", request, block), 0) << request;
    return block;
  }
  // Frames pushed with their wire length and time; returns once the last one is accounted.
  struct Pushed {
    std::vector<uint8_t> bytes;
    uint32_t length, time;
  };
  void Feed(const std::vector<Pushed>& frames) {
    NicArea* nic = g_->Nics[0];
    const uint32_t want = RelaxedLoad(nic->FramesRead) + static_cast<uint32_t>(frames.size());
    for (const auto& f : frames) driver_.Push(f.bytes, f.length, f.time);
    // FramesRead counts a frame before it is accounted: wait until its ring entry is complete too.
    const FrameEntry& last = nic->RecentFrames[(want - 1) % kRecentFrames];
    for (int i = 0; i < 5000 && (RelaxedLoad(nic->FramesRead) < want || last.Complete.load() == 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(RelaxedLoad(nic->FramesRead), want);
  }

  std::filesystem::path state_;
  std::shared_ptr<platform::HiveFile> hive_;
  std::unique_ptr<platform::TestClock> clock_;
  std::unique_ptr<platform::SystemRegistry> registry_;
  platform::CapturedOutput out_;
  NoRandom random_;
  ScriptedDriver driver_;
  std::unique_ptr<Agent> agent_;
  std::thread thread_;
  GlobalArea* g_ = nullptr;

 private:
  std::string dir_name_;
};

}  // namespace netward::test
