#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "taskbar/taskbar.h"

namespace netward {
namespace {

constexpr uint32_t kWaitMs = 5000;

// A tray that records "add 7 139"-style lines and can refuse the next modify. The test reads it only
// after a tick or a sent message has been handled, which orders the accesses.
class RecordingBackend : public TaskbarBackend {
 public:
  bool AddIcon(const NotifyIconRecord& r) override { return Record("add", r); }
  bool ModifyIcon(const NotifyIconRecord& r) override { return Record("modify", r) && !std::exchange(refuse, false); }
  void DeleteIcon(const NotifyIconRecord& r) override { Record("delete", r); }
  bool StartClient(const char* program) override { return Record(std::string("start ") + program, {}); }
  uintptr_t FindClientWindow() override { return 0; }
  void RaiseWindow(uintptr_t) override {}
  void ShowHelp(const char*, uint32_t) override {}
  uint32_t TrackMenu(bool) override { return 0; }
  std::vector<std::string> Take() { return std::exchange(calls, {}); }

  std::vector<std::string> calls;
  std::string tip;
  bool refuse = false;

 private:
  bool Record(const std::string& what, const NotifyIconRecord& r) {
    calls.push_back(r.Size ? what + " " + std::to_string(r.Flags) + " " + std::to_string(r.Icon) : what);
    if (r.Size) tip = r.Tip;
    return true;
  }
};

class TaskbarThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ = AllocateGlobalArea();
    g_->HostName.Set("LABPC");
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
  }
  // One second on the clock; returns when the thread has run its tick.
  void Tick() {
    ASSERT_TRUE(clock_.AwaitWaiters(1, kWaitMs));
    uint64_t begun = clock_.WaitsBegun();
    clock_.Advance(1000);
    ASSERT_TRUE(clock_.AwaitWaitsBegun(begun + 1, kWaitMs));
  }
  void Send(uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0) {
    ASSERT_TRUE(SendWindowMessage(handle_->window(), message, wparam, lparam));
  }
  uint32_t Status() const { return g_->StatusCode.load(); }

  GlobalArea* g_ = nullptr;
  platform::TestClock clock_{0x66000000};
  platform::CapturedOutput out_;
  RecordingBackend tray_;
  HeadlessTaskbarBackend headless_{out_};
  std::filesystem::path dir_ = std::filesystem::temp_directory_path() / ("taskbar_" + std::to_string(getpid()));
  std::unique_ptr<TaskbarThreadHandle> handle_;
};

using Calls = std::vector<std::string>;

TEST_F(TaskbarThreadTest, IconFollowsTrafficIsAddedAgainAfterARefusedModifyAndGoesAtClose) {
  Start(&tray_);
  EXPECT_EQ(g_->Windows[kTaskbarWindow].load(), handle_->window());
  EXPECT_EQ(tray_.tip, "NETWARD - LABPC  10.1.2.3");
  Tick();  // code 9 is shown anew every second
  EXPECT_EQ(tray_.Take(), (Calls{"add 7 139", "modify 6 139"}));
  tray_.refuse = true;
  Tick();
  Tick();
  EXPECT_EQ(tray_.Take(), (Calls{"modify 6 139", "add 7 139"}));

  // A broadcast and a unicast sent in the same second: 3, then 6 while nothing rises, then 8 (once).
  g_->LastOtherTime.store(clock_.Now());
  g_->OwnGroupFrames.fetch_add(1);
  g_->OwnFrames.fetch_add(1);
  g_->LastOwnGroupTime.store(clock_.Now());
  g_->LastOwnUnicastTime.store(clock_.Now());
  for (int i = 0; i < 4; ++i) Tick();
  EXPECT_EQ(tray_.Take(), (Calls{"modify 6 138", "modify 6 137", "modify 6 143"}));
  EXPECT_EQ(Status(), 8u);

  Send(kMsgTaskbarLogOff);  // ignored: the icon stays
  Send(kMsgTaskbarClose);   // handled before the sender goes on
  EXPECT_EQ(tray_.Take(), (Calls{"delete 6 143"}));
  handle_.reset();  // joins
  EXPECT_FALSE(PostWindowMessage(g_->Windows[kTaskbarWindow].load(), kMsgTaskbarLogOff));
}

TEST_F(TaskbarThreadTest, ClientStartsAtMostOnceInFiveSecondsDoubleClickOpensQuickLookWithoutIt) {
  Start(&tray_);
  tray_.Take();
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);  // no client program: QuickLook instead
  EXPECT_EQ(out_.Text(), "Taskbar: QuickLook is not available without a desktop\n");
  std::ofstream(dir_ / "Netward.Exe") << "client";  // found whatever the letter case
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);
  Send(kWmCommand, kCmdAdvanced);
  for (int i = 0; i < 4; ++i) Tick();
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Take().size(), 5u);  // one start, four modifies of code 9
  Tick();
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Take(), (Calls{"modify 6 139", "start NETWARD.exe"}));
}

TEST_F(TaskbarThreadTest, HeadlessBackEndPrintsWhatNeedsADesktop) {
  Start(&headless_);
  Send(kWmCommand, kCmdAdvanced);
  Send(kWmCommand, kCmdHelp);
  Send(kWmCommand, kCmdSettings);
  EXPECT_EQ(out_.Text(),
            "Taskbar: no desktop to start NETWARD.exe on\n"
            "Taskbar: no desktop to show NETWARD.HLP on\n"
            "Taskbar: Settings are not available without a desktop\n");
}

}  // namespace
}  // namespace netward
