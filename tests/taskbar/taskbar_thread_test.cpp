#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "taskbar/taskbar.h"

namespace netward {
namespace {

constexpr uint32_t kStart = 0x66000000;
constexpr uint32_t kWaitMs = 5000;

// A tray that records what it is given and can be told to refuse the next modify.
class RecordingBackend : public TaskbarBackend {
 public:
  struct Call {
    std::string what;
    uint32_t flags, icon;
    std::string tip;
  };
  bool AddIcon(const NotifyIconRecord& r) override { return Record("add", r); }
  bool ModifyIcon(const NotifyIconRecord& r) override {
    std::lock_guard<std::mutex> l(mu_);
    calls_.push_back({"modify", r.Flags, r.Icon, r.Tip});
    bool ok = !refuse_modify_;
    refuse_modify_ = false;
    return ok;
  }
  void DeleteIcon(const NotifyIconRecord& r) override { Record("delete", r); }
  bool StartClient(const char* command_line) override {
    std::lock_guard<std::mutex> l(mu_);
    calls_.push_back({std::string("start ") + command_line, 0, 0, ""});
    return true;
  }
  uintptr_t FindClientWindow() override { return 0; }
  void RaiseWindow(uintptr_t) override {}
  void ShowHelp(const char*, uint32_t) override {}
  uint32_t TrackMenu(bool) override { return 0; }

  void RefuseNextModify() {
    std::lock_guard<std::mutex> l(mu_);
    refuse_modify_ = true;
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> l(mu_);
    return calls_;
  }
  size_t Count(const std::string& what) {
    size_t n = 0;
    for (const Call& c : Calls()) n += c.what == what;
    return n;
  }

 private:
  bool Record(const char* what, const NotifyIconRecord& r) {
    std::lock_guard<std::mutex> l(mu_);
    calls_.push_back({what, r.Flags, r.Icon, r.Tip});
    return true;
  }
  std::mutex mu_;
  std::vector<Call> calls_;
  bool refuse_modify_ = false;
};

class TaskbarThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ = AllocateGlobalArea();
    g_->HostName.Set("LABPC");
    dir_ = std::filesystem::temp_directory_path() / ("taskbar_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    handle_.reset();
    FreeGlobalArea(g_);
    std::filesystem::remove_all(dir_);
  }

  void Start(TaskbarBackend* backend) {
    TaskbarContext ctx;
    ctx.global = g_;
    ctx.clock = &clock_;
    ctx.out = &out_;
    ctx.backend = backend;
    ctx.refresh_station_labels = [this] { g_->AddressText.Set("10.1.2.3"); };
    ctx.program_dir = dir_.string();
    handle_ = std::make_unique<TaskbarThreadHandle>(TaskbarThreadHandle::Start(std::move(ctx)));
    ASSERT_TRUE(clock_.AwaitWaiters(1, kWaitMs));  // initialised and waiting for the first tick
  }
  // Moves the clock one second and waits until the thread has run its tick.
  void Tick() {
    ASSERT_TRUE(clock_.AwaitWaiters(1, kWaitMs));
    uint64_t begun = clock_.WaitsBegun();
    clock_.Advance(1000);
    ASSERT_TRUE(clock_.AwaitWaitsBegun(begun + 1, kWaitMs));
  }
  void Send(uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0) {
    uint64_t begun = clock_.WaitsBegun();
    ASSERT_TRUE(SendWindowMessage(handle_->window(), message, wparam, lparam));
    if (message != kMsgTaskbarClose) {
      ASSERT_TRUE(clock_.AwaitWaitsBegun(begun + 1, kWaitMs));
    }
  }
  uint32_t Status() const { return g_->StatusCode.load(); }
  uint32_t Now() { return clock_.Now(); }

  GlobalArea* g_ = nullptr;
  platform::TestClock clock_{kStart};
  platform::CapturedOutput out_;
  RecordingBackend tray_;
  HeadlessTaskbarBackend headless_{out_};
  std::filesystem::path dir_;
  std::unique_ptr<TaskbarThreadHandle> handle_;
};

TEST_F(TaskbarThreadTest, IconFollowsTrafficSecondBySecond) {
  Start(&tray_);
  EXPECT_EQ(g_->Windows[kTaskbarWindow].load(), handle_->window());
  auto calls = tray_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].what, "add");
  EXPECT_EQ(calls[0].flags, 7u);
  EXPECT_EQ(calls[0].icon, kIconNothingReceived);
  EXPECT_EQ(calls[0].tip, "NETWARD - LABPC  10.1.2.3");
  EXPECT_EQ(Status(), 9u);

  // Code 9 is shown anew every second.
  Tick();
  Tick();
  EXPECT_EQ(tray_.Count("modify"), 2u);

  // A unicast frame from another station: code 4 for that second, then 8, then no more updates.
  g_->OtherFrames.fetch_add(1);
  g_->LastOtherTime.store(Now());
  g_->LastOtherUnicastTime.store(Now());
  Tick();
  EXPECT_EQ(Status(), 4u);
  EXPECT_EQ(tray_.Calls().back().icon, kIconSession);
  EXPECT_EQ(tray_.Calls().back().flags, 6u);
  Tick();
  EXPECT_EQ(Status(), 8u);
  size_t modifies = tray_.Count("modify");
  Tick();
  EXPECT_EQ(tray_.Count("modify"), modifies);

  // A broadcast and a unicast sent in the same second: 3, then 6 once nothing rises, then 8.
  g_->OwnGroupFrames.fetch_add(1);
  g_->OwnFrames.fetch_add(1);
  g_->LastOwnGroupTime.store(Now());
  g_->LastOwnUnicastTime.store(Now());
  Tick();
  EXPECT_EQ(Status(), 3u);
  Tick();
  EXPECT_EQ(Status(), 6u);
  Tick();
  EXPECT_EQ(Status(), 8u);

  // More than 62 s without frames from other stations.
  for (int i = 0; i < 60; ++i) Tick();
  EXPECT_EQ(Status(), 10u);
  EXPECT_EQ(tray_.Calls().back().icon, kIconNothingReceived);
}

TEST_F(TaskbarThreadTest, RefusedModifyIsFollowedByAnAdd) {
  Start(&tray_);
  tray_.RefuseNextModify();
  Tick();  // modify refused
  Tick();  // icon added again with the full flags
  auto calls = tray_.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].what, "modify");
  EXPECT_EQ(calls[2].what, "add");
  EXPECT_EQ(calls[2].flags, 7u);
  Tick();
  EXPECT_EQ(tray_.Calls().back().what, "modify");
}

TEST_F(TaskbarThreadTest, LogOffIsIgnoredAndCloseDeletesTheIconBeforeTheSenderGoesOn) {
  Start(&tray_);
  Send(kMsgTaskbarLogOff);
  Tick();
  EXPECT_EQ(tray_.Count("modify"), 1u);
  Send(kMsgTaskbarClose);
  EXPECT_EQ(tray_.Calls().back().what, "delete");
  EXPECT_EQ(tray_.Calls().back().icon, kIconNothingReceived);
  handle_.reset();  // joins: the thread has ended
  EXPECT_FALSE(PostWindowMessage(g_->Windows[kTaskbarWindow].load(), kMsgTaskbarLogOff));
}

TEST_F(TaskbarThreadTest, AdvancedStartsTheClientAtMostOnceInFiveSeconds) {
  Start(&tray_);
  Send(kWmCommand, kCmdAdvanced);
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Count("start NETWARD.exe"), 1u);
  for (int i = 0; i < 4; ++i) Tick();
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Count("start NETWARD.exe"), 1u);
  Tick();
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Count("start NETWARD.exe"), 2u);
}

TEST_F(TaskbarThreadTest, DoubleClickStartsTheClientWhenInstalledElseOpensQuickLook) {
  Start(&tray_);
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);
  EXPECT_EQ(tray_.Count("start NETWARD.exe"), 0u);
  EXPECT_NE(out_.Text().find("Taskbar: QuickLook is not available without a desktop\n"), std::string::npos);

  std::ofstream(dir_ / "Netward.Exe") << "client";  // found whatever the letter case
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);
  EXPECT_EQ(tray_.Count("start NETWARD.exe"), 1u);
}

TEST_F(TaskbarThreadTest, HeadlessBackEndKeepsTheStateAndPrintsWhatNeedsADesktop) {
  Start(&headless_);
  g_->LastOtherTime.store(Now());
  g_->OtherGroupFrames.store(3);
  Tick();
  EXPECT_EQ(Status(), 7u);
  Send(kWmCommand, kCmdAdvanced);
  Send(kWmCommand, kCmdHelp);
  Send(kWmCommand, kCmdSettings);
  EXPECT_EQ(out_.Text(),
            "Taskbar: no desktop to start NETWARD.exe on\n"
            "Taskbar: no desktop to show NETWARD.HLP on\n"
            "Taskbar: Settings are not available without a desktop\n");
}

TEST(MessageWindow, StaleHandlesFullQueuesAndSendsToOneself) {
  platform::Event wake;
  uintptr_t w = CreateMessageWindow(&wake);
  ASSERT_NE(w, 0u);
  for (int i = 0; i < kMessageQueueDepth; ++i) ASSERT_TRUE(PostWindowMessage(w, kWmNull));
  EXPECT_TRUE(wake.IsSet());
  EXPECT_FALSE(PostWindowMessage(w, kWmNull));  // full
  EXPECT_FALSE(SendWindowMessage(w, kWmNull));  // full, and it would be to this thread anyway
  WindowMessage m;
  ASSERT_TRUE(PeekWindowMessage(w, m));
  FinishWindowMessage(w);
  EXPECT_FALSE(SendWindowMessage(w, kWmNull, 0, 0, 10));  // own thread: posted, not waited for
  DestroyMessageWindow(w);
  EXPECT_FALSE(PostWindowMessage(w, kWmNull));
  uintptr_t again = CreateMessageWindow(&wake);  // same slot, new handle
  EXPECT_NE(again, w);
  EXPECT_FALSE(PostWindowMessage(w, kWmNull));
  EXPECT_TRUE(PostWindowMessage(again, kWmNull));
  DestroyMessageWindow(again);
}

}  // namespace
}  // namespace netward
