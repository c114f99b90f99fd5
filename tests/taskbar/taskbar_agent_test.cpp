// The taskbar inside a running agent: started by the RPC server, fed by capture and accounting,
// closed by CommonStop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/free_port.h"
#include "capture/scripted_driver.h"
#include "core/agent.h"
#include "remote/rpc_server.h"
#include "taskbar/taskbar.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

namespace netward {
using netward::testing_net::FreePort;

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kDec4Noon = 1796385600u;  // 2026-12-04 12:00:00 UTC

bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

TEST(TaskbarInAgent, FollowsAccountedFramesAndEndsWithCommonStop) {
  const fs::path state = fs::path(testing::TempDir()) / ("taskbar_agent_" + std::to_string(getpid()));
  fs::remove_all(state);
  fs::create_directories(state);
  auto hive = std::make_shared<platform::HiveFile>();
  hive->SetDword(kSettingsKey, "EndpointMapperPort", FreePort());
  platform::SystemRegistry registry(hive, PacketDriverKeys());
  registry.SetInterfaceNames({"nwtest0"});
  platform::TestClock clock(kDec4Noon);
  platform::CapturedOutput out;
  platform::LibcRandom random;
  AgentOptions opt;
  opt.state_dir = state.string();
  opt.local_endpoint = (state / "rpc.sock").string();
  ScriptedDriver driver;
  {
    Agent agent(registry, clock, out, random, opt);
    agent.hooks().packet_driver = &driver;
    agent.hooks().rpc_server_thread = RpcServerThread;
    agent.hooks().rpc_stop_listening = StopRpcListening;
    std::thread main([&agent] { agent.AgentMain(); });
    ASSERT_TRUE(Eventually([&] { return out.Text().find("To Terminate") != std::string::npos; }));
    GlobalArea* g = Global();
    const uintptr_t window = g->Windows[kTaskbarWindow].load();
    EXPECT_NE(window, 0u);
    EXPECT_EQ(g->StatusCode.load(), 9u);  // nothing from other stations since start
    EXPECT_NE(out.Text().find("Creating Taskbar Thread \nTo Terminate"), std::string::npos);
    // Every thread that waits on the clock (main loop, taskbar) waits now; a tick is over once they
    // all wait again.
    ASSERT_TRUE(Eventually([&] { return clock.Waiters() >= 2; }));
    const int idle = clock.Waiters();
    auto tick = [&] {
      ASSERT_TRUE(Eventually([&] { return clock.Waiters() == idle; }));
      clock.Advance(1000);
    };

    // A unicast frame from another station to this PC's address (the driver's), Ethernet type 0x9000.
    std::vector<uint8_t> frame = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a, 0x02, 0, 0, 0, 0, 1, 0x90, 0};
    frame.resize(60);
    driver.Push(frame, 60, clock.Now());
    ASSERT_TRUE(Eventually([&] { return g->OtherFrames.load() == 1; }));
    tick();
    EXPECT_TRUE(Eventually([&] { return g->StatusCode.load() == 4; }));
    tick();
    EXPECT_TRUE(Eventually([&] { return g->StatusCode.load() == 8; }));

    agent.CommonStop();
    // The close message was sent, not posted: the window is gone once CommonStop has returned.
    EXPECT_FALSE(PostWindowMessage(window, kMsgTaskbarLogOff));
    main.join();
  }
  FreeGlobalArea(g_global_area.exchange(nullptr));
  chdir("/");
  fs::remove_all(state);
}

}  // namespace
}  // namespace netward
