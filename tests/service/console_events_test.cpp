// Console events on a running agent's windows: a log-off closes the windows titled "NETWARD " and
// leaves the agent running; a shutdown closes them and stops it.
#include "service/console_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"
#include "taskbar/message_window.h"

namespace netward::service {
namespace {

// A window on a thread of its own that records the messages it handles and ends at WM_CLOSE.
class TitledWindow {
 public:
  explicit TitledWindow(const char* title) {
    std::atomic<bool> ready{false};
    thread_ = std::thread([this, title, &ready] {
      const uintptr_t w = CreateMessageWindow(&wake_);
      SetMessageWindowTitle(w, title);
      ready = true;
      while (!closed_) {
        wake_.WaitMs(50);
        wake_.Reset();
        WindowMessage m;
        while (PeekWindowMessage(w, m)) {
          if (m.message == kWmClose) closed_ = true;
          FinishWindowMessage(w);
        }
      }
      DestroyMessageWindow(w);
    });
    while (!ready) std::this_thread::yield();
  }
  ~TitledWindow() {
    closed_ = true;
    thread_.join();
  }
  bool closed() const { return closed_; }

 private:
  platform::Event wake_;
  std::atomic<bool> closed_{false};
  std::thread thread_;
};

TEST(ConsoleEvents, LogOffClosesTheNetwardWindowsAndShutdownAlsoStopsTheAgent) {
  auto hive = std::make_shared<platform::HiveFile>();
  platform::SystemRegistry registry(hive, PacketDriverKeys());
  platform::TestClock clock(1796385600u);
  platform::CapturedOutput out;
  platform::LibcRandom random;
  Agent agent(registry, clock, out, random, AgentOptions{});

  auto quicklook = std::make_unique<TitledWindow>("NETWARD QuickLook - HOST  IP=10.1.0.10");
  auto settings = std::make_unique<TitledWindow>("NETWARD Settings");
  TitledWindow hidden("");            // the taskbar's host window has no title
  TitledWindow other("NETWARD-Other");  // the eighth character is not a blank
  EXPECT_FALSE(HandleConsoleSignal(agent, out, SIGHUP, true));
  EXPECT_TRUE(quicklook->closed());
  EXPECT_TRUE(settings->closed());
  EXPECT_FALSE(hidden.closed());
  EXPECT_FALSE(other.closed());
  EXPECT_FALSE(agent.stop_request().IsSet()) << "the agent outlives the user's session";

  auto again = std::make_unique<TitledWindow>("NETWARD Settings");
  agent.agent_stopped().Set();  // no main loop here: CommonStop need not wait for it
  EXPECT_TRUE(HandleConsoleSignal(agent, out, SIGTERM, true));
  EXPECT_TRUE(again->closed()) << "a shutdown closes them too";
  EXPECT_TRUE(agent.stop_request().IsSet());
  EXPECT_FALSE(hidden.closed());
}

}  // namespace
}  // namespace netward::service
