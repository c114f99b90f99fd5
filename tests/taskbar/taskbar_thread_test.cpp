#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/scratch.h"
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
  void ShowHelp(const char*, uint32_t, uint32_t) override {}
  void StartLoadingWindow() override { calls.push_back("loading"); }
  bool OpenQuickLook() override {
    calls.push_back("quicklook");
    return quicklook;
  }
  void RefreshQuickLook(const QuickLookView& view) override { refreshed.push_back(view); }
  uint32_t TrackMenu(bool) override { return 0; }
  std::vector<std::string> Take() { return std::exchange(calls, {}); }

  std::vector<std::string> calls;
  std::vector<QuickLookView> refreshed;
  std::string tip;
  bool refuse = false;
  bool quicklook = false;  // OpenQuickLook succeeds

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
  }
  void TearDown() override {
    handle_.reset();
    FreeGlobalArea(g_);
  }
  void Start(TaskbarBackend* backend) {
    TaskbarContext ctx;
    ctx.global = g_;
    ctx.clock = &clock_;
    ctx.out = &out_;
    ctx.backend = backend;
    ctx.refresh_station_labels = [this] { g_->AddressText.Set("10.1.2.3"); };
    ctx.program_dir = dir_.path;
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
  testing_scratch::ScratchDir dir_;
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
  Send(kMsgCloseWindow);   // handled before the sender goes on
  EXPECT_EQ(tray_.Take(), (Calls{"delete 6 143"}));
  handle_.reset();  // joins
  EXPECT_FALSE(PostWindowMessage(g_->Windows[kTaskbarWindow].load(), kMsgTaskbarLogOff));
}

TEST_F(TaskbarThreadTest, ClientStartsAtMostOnceInFiveSecondsDoubleClickOpensQuickLookWithoutIt) {
  Start(&tray_);
  tray_.Take();
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);  // no client program: QuickLook instead
  EXPECT_EQ(out_.Text(), "Taskbar: QuickLook is not available without a desktop\n");
  EXPECT_EQ(tray_.Take(), (Calls{"quicklook"}));
  const auto client = dir_ / "netward-console";
  std::ofstream(client) << "#!/bin/sh\n";
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);  // not executable: not the client
  EXPECT_EQ(tray_.Take(), (Calls{"quicklook"}));
  std::filesystem::permissions(client, std::filesystem::perms::owner_all);
  std::ofstream(dir_ / "NETWARD-CONSOLE") << "other";  // names differ in letter case on Linux
  Send(kMsgIconCallback, 0, kMouseLeftDoubleClick);  // found: started, the loading window shown
  Send(kWmCommand, kCmdAdvanced);
  for (int i = 0; i < 4; ++i) Tick();
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Take().size(), 6u);  // one start, the loading window, four modifies of code 9
  Tick();
  g_->Windows[kLoadingWindow].store(0x55);  // the loading window is still up: no second one
  Send(kWmCommand, kCmdAdvanced);
  EXPECT_EQ(tray_.Take(), (Calls{"modify 6 139", "start netward-console"}));
  g_->Windows[kLoadingWindow].store(0);
}

TEST_F(TaskbarThreadTest, OpenQuickLookIsRefreshedEverySecondAndRaisedInsteadOfOpenedTwice) {
  tray_.quicklook = true;
  Start(&tray_);
  Send(kWmCommand, kCmdQuickLook);
  EXPECT_TRUE(tray_.refreshed.empty());  // nothing while the slot is empty
  platform::Event wake;
  const uintptr_t quicklook = CreateMessageWindow(&wake);  // stands for the window the back end made
  g_->Windows[kQuickLookWindow].store(quicklook);
  g_->FrameSequence.store(3);
  g_->OtherFrames.store(2);
  g_->OtherEventFrames.store(1);
  g_->LastOtherTime.store(clock_.Now());
  Tick();
  Send(kWmCommand, kCmdQuickLook);  // open already: raised through its own queue
  WindowMessage m;
  ASSERT_TRUE(PeekWindowMessage(quicklook, m));
  EXPECT_EQ(m.message, kMsgRaiseWindow);
  ASSERT_EQ(tray_.refreshed.size(), 1u);
  const QuickLookView& v = tray_.refreshed[0];
  EXPECT_STREQ(v.status_text, "Error detected");
  EXPECT_EQ(v.status_icon, kQuickLookIconError);
  EXPECT_STREQ(v.cells[0][0], "33");  // one error among three frames
  EXPECT_STREQ(v.cells[2][1], "2");
  EXPECT_STREQ(v.cells[2][2], "2");  // both arrived in this second
  Tick();
  EXPECT_STREQ(tray_.refreshed.back().cells[2][2], "-");  // none in the next
  EXPECT_EQ(tray_.Take(), (Calls{"add 7 139", "quicklook", "modify 6 140", "modify 6 143"}));
  g_->Windows[kQuickLookWindow].store(0);
  DestroyMessageWindow(quicklook);
}

TEST_F(TaskbarThreadTest, HeadlessBackEndPrintsWhatNeedsADesktop) {
  Start(&headless_);
  Send(kWmCommand, kCmdAdvanced);
  Send(kWmCommand, kCmdHelp);
  Send(kWmCommand, kCmdSettings);
  EXPECT_EQ(out_.Text(),
            "Taskbar: no desktop to start netward-console on\n"
            "Taskbar: no desktop to show netward-help.html on\n"
            "Taskbar: Settings are not available without a desktop\n");
}

// The back end follows the session: no display, headless without a word; a display without a
// session bus (or a build without the desktop), headless with a line saying why.
TEST(TaskbarBackendChoice, HeadlessWithoutADisplayOrASessionBus) {
  using testing_scratch::ScopedEnv;
  testing_scratch::ScratchDir empty_runtime;  // no bus socket in it
  ScopedEnv display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", nullptr),
      bus("DBUS_SESSION_BUS_ADDRESS", nullptr), runtime("XDG_RUNTIME_DIR", nullptr);
  platform::CapturedOutput out;
  TaskbarContext ctx;
  ctx.out = &out;
  EXPECT_FALSE(HaveDesktop());
  EXPECT_NE(MakeTaskbarBackend(ctx, 0), nullptr);
  EXPECT_EQ(out.Text(), "");
  setenv("DISPLAY", ":77", 1);
  setenv("XDG_RUNTIME_DIR", empty_runtime.path.c_str(), 1);
  EXPECT_TRUE(HaveDesktop());
  EXPECT_FALSE(HaveSessionBus());
  EXPECT_NE(MakeTaskbarBackend(ctx, 0), nullptr);
#ifdef NETWARD_HAVE_GTK
  EXPECT_EQ(out.Text(), "Taskbar: a display but no session bus; the icon state is kept without a tray\n");
#else
  EXPECT_EQ(out.Text(), "Taskbar: built without a desktop tray; the icon state is kept without one\n");
#endif
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  EXPECT_TRUE(HaveSessionBus());
#ifdef NETWARD_HAVE_GTK
  // A display and a bus, but no desktop module where this program looks (beside it, or under
  // ../lib/netward): headless, saying so, and GTK never loaded.
  platform::CapturedOutput no_module;
  ctx.out = &no_module;
  EXPECT_NE(MakeTaskbarBackend(ctx, 0), nullptr);
  EXPECT_EQ(no_module.Text(),
            "Taskbar: the desktop module netward-desktop.so cannot be loaded (not found beside the agent nor "
            "where it is installed); the icon state is kept without a tray\n");
  EXPECT_EQ(dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_NOLOAD), nullptr);
#endif
}

}  // namespace
}  // namespace netward
