#include "taskbar/taskbar.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/files.h"

namespace netward {

namespace {

constexpr char kAllocFailed[] = "GlobalAlloc FAILED";
constexpr char kSevereErrorCaption[] = "TapEyeSv SEVERE ERROR";
constexpr char kNoQuickLook[] = "Taskbar: QuickLook is not available without a desktop\n";
constexpr char kNoSettings[] = "Taskbar: Settings are not available without a desktop\n";
constexpr uint32_t kFlagsAdd = kNifMessage | kNifIcon | kNifTip;  // 7
constexpr uint32_t kFlagsModify = kNifIcon | kNifTip;             // 6
constexpr uint32_t kStartWaitMs = 5000;

bool DirHoldsFile(const std::string& dir, const char* name) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name) != 0) continue;
    struct stat st;
    std::string path = (dir.empty() ? std::string(".") : dir) + "/" + e->d_name;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// The window procedure of the taskbar window and its one-second timer.
class TaskbarWindow {
 public:
  TaskbarWindow(const TaskbarContext& ctx, TaskbarBackend& backend, TaskbarState& s, uintptr_t window)
      : ctx_(ctx), g_(*ctx.global), backend_(backend), s_(s), window_(window) {}

  void Init() {
    s_.CurrentTime = ctx_.clock->Now();
    g_.Windows[kTaskbarWindow].store(window_, std::memory_order_release);
    s_.Notify.Size = kNotifyIconRecordSize;
    s_.Notify.Window = window_;
    s_.Notify.Id = 0;
    s_.Notify.Flags = kFlagsAdd;
    s_.Notify.CallbackMessage = kMsgIconCallback;
    if (ctx_.refresh_station_labels) ctx_.refresh_station_labels();
    FormatTooltip(g_, s_.Notify.Tip);
    s_.Notify.Icon = 0;
    Evaluate();
    s_.IconAdded = backend_.AddIcon(s_.Notify);
    s_.Snapshot = TrafficCounters{};
    s_.LastLaunchTime = 0;
  }

  void Tick() {
    s_.CurrentTime = ctx_.clock->Now();
    if (!s_.IconAdded) {
      s_.Notify.Flags = kFlagsAdd;
      s_.IconAdded = backend_.AddIcon(s_.Notify);
    } else if (Evaluate()) {
      // A refused modify (the tray was restarted) makes the next tick add the icon anew.
      s_.Notify.Flags = kFlagsModify;
      s_.IconAdded = backend_.ModifyIcon(s_.Notify);
    }
    if (g_.Windows[kQuickLookWindow].load(std::memory_order_acquire) != 0 && ctx_.refresh_quicklook)
      ctx_.refresh_quicklook();
    s_.Snapshot = ReadTrafficCounters(g_);
  }

  void Handle(const WindowMessage& m) {
    s_.CurrentTime = ctx_.clock->Now();
    switch (m.message) {
      case kMsgTaskbarClose:
        s_.Notify.Size = kNotifyIconRecordSize;
        s_.Notify.Id = 0;
        backend_.DeleteIcon(s_.Notify);
        s_.IconAdded = false;
        s_.Closed = true;
        break;
      case kMsgTaskbarLogOff:  // the icon stays; the service outlives the user's session
        break;
      case kMsgIconCallback:
        if (m.lparam == kMouseLeftDoubleClick) DoubleClick();
        else if (m.lparam == kMouseRightDown) Menu();
        break;
      case kWmCommand:
        Command(static_cast<uint32_t>(m.wparam & 0xFFFF));
        break;
      default:
        break;
    }
  }

 private:
  bool Evaluate() {
    StatusView view;
    view.tray_icon = s_.Notify.Icon;
    bool changed = EvaluateTrafficStatus(g_, s_.Snapshot, s_.CurrentTime, view);
    s_.Notify.Icon = view.tray_icon;
    s_.QuickLookStatusIcon = view.quicklook_icon;
    memcpy(s_.StatusText, view.text, sizeof s_.StatusText);
    return changed;
  }

  bool ClientAvailable() const { return IsClientAvailable(ctx_.program_dir); }

  void DoubleClick() {
    if (!ClientAvailable()) {
      Command(kCmdQuickLook);
      return;
    }
    s_.ClientWindow = 0;
    s_.ClientWindow = backend_.FindClientWindow();
    if (s_.ClientWindow == 0) Command(kCmdAdvanced);
    else backend_.RaiseWindow(s_.ClientWindow);
  }

  void Menu() {
    const bool available = ClientAvailable();
    uint32_t command = backend_.TrackMenu(available);
    if (command == kCmdAdvanced && !available) return;  // the item is greyed
    if (command != 0) Command(command);
  }

  void Command(uint32_t command) {
    switch (command) {
      case kCmdAdvanced:
        if (s_.CurrentTime - s_.LastLaunchTime < kRelaunchSeconds) return;
        if (backend_.StartClient(kClientProgram)) s_.LastLaunchTime = s_.CurrentTime;
        // The loading window (shown until the client's window appears) belongs to a desktop back
        // end; without one there is nothing to show.
        break;
      case kCmdQuickLook:
        OpenOrRaise(kQuickLookWindow, ctx_.start_quicklook, kNoQuickLook);
        break;
      case kCmdSettings:
        OpenOrRaise(kSettingsWindow, ctx_.start_settings, kNoSettings);
        break;
      case kCmdHelp:
        backend_.ShowHelp(kHelpFile, kHelpContents);
        break;
      default:
        break;
    }
  }

  void OpenOrRaise(WindowSlot slot, const std::function<void()>& start, const char* unavailable) {
    uintptr_t open = g_.Windows[slot].load(std::memory_order_acquire);
    if (open != 0) backend_.RaiseWindow(open);
    else if (start) start();
    else ctx_.out->Write(unavailable);
  }

  const TaskbarContext& ctx_;
  GlobalArea& g_;
  TaskbarBackend& backend_;
  TaskbarState& s_;
  uintptr_t window_;
};

}  // namespace

bool HeadlessTaskbarBackend::AddIcon(const NotifyIconRecord&) { return true; }
bool HeadlessTaskbarBackend::ModifyIcon(const NotifyIconRecord&) { return true; }
void HeadlessTaskbarBackend::DeleteIcon(const NotifyIconRecord&) {}

bool HeadlessTaskbarBackend::StartClient(const char* command_line) {
  out_.Printf("Taskbar: no desktop to start %s on\n", command_line);
  return false;
}

void HeadlessTaskbarBackend::ShowHelp(const char* file, uint32_t) {
  out_.Printf("Taskbar: no desktop to show %s on\n", file);
}

bool HaveDesktop() {
  const char* x = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != 0) || (wayland != nullptr && *wayland != 0);
}

std::unique_ptr<TaskbarBackend> MakeTaskbarBackend(platform::Output& out) {
  if (HaveDesktop()) out.Write("Taskbar: built without a desktop tray; the icon state is kept without one\n");
  return std::make_unique<HeadlessTaskbarBackend>(out);
}

bool IsClientAvailable(const std::string& program_dir) {
  if (DirHoldsFile(program_dir.empty() ? platform::OwnProgramDirectory() : program_dir, kClientModule)) return true;
  for (const std::string& dir : platform::PathDirectories())
    if (DirHoldsFile(dir, kClientModule)) return true;
  return false;
}

void TaskbarThread(const TaskbarContext& ctx, uintptr_t window, platform::Event& wake, platform::Event* started) {
  AdoptMessageWindow(window);
  std::unique_ptr<TaskbarState> state(new (std::nothrow) TaskbarState{});
  std::unique_ptr<TaskbarBackend> own_backend;
  TaskbarBackend* backend = ctx.backend;
  if (state && backend == nullptr) {
    own_backend = MakeTaskbarBackend(*ctx.out);
    backend = own_backend.get();
  }
  if (!state || backend == nullptr) {
    ctx.out->MessageBox(kAllocFailed, kSevereErrorCaption);
    DestroyMessageWindow(window);
    if (started) started->Set();
    if (ctx.common_stop) ctx.common_stop();
    return;
  }
  TaskbarWindow w(ctx, *backend, *state, window);
  w.Init();
  if (started) started->Set();
  platform::Clock& clock = *ctx.clock;
  uint32_t last_tick = clock.Now();
  while (true) {
    wake.Reset();
    WindowMessage m;
    while (!state->Closed && PeekWindowMessage(window, m)) {
      w.Handle(m);
      FinishWindowMessage(window);
    }
    if (state->Closed) break;
    // A stream of messages restarts the wait each time; a tick still comes at least every 2 s.
    bool woken = clock.Wait(wake, kTaskbarTimerMs);
    if (!woken || clock.Now() - last_tick >= 2) {
      w.Tick();
      last_tick = clock.Now();
    }
  }
  DestroyMessageWindow(window);
}

TaskbarThreadHandle TaskbarThreadHandle::Start(TaskbarContext ctx) {
  TaskbarThreadHandle h;
  h.wake_ = std::make_unique<platform::Event>();
  h.started_ = std::make_unique<platform::Event>();
  h.window_ = CreateMessageWindow(h.wake_.get());
  if (h.window_ == 0) {
    ctx.out->MessageBox(kAllocFailed, kSevereErrorCaption);
    if (ctx.common_stop) ctx.common_stop();
    return h;
  }
  platform::Event* wake = h.wake_.get();
  platform::Event* started = h.started_.get();
  uintptr_t window = h.window_;
  h.thread_ = std::thread([ctx = std::move(ctx), window, wake, started] { TaskbarThread(ctx, window, *wake, started); });
  // Real time: the start-up does no waiting of its own, this only bounds a stuck back end.
  started->WaitMs(kStartWaitMs);
  return h;
}

TaskbarThreadHandle::~TaskbarThreadHandle() {
  if (!thread_.joinable()) return;
  // Already gone when CommonStop's close message has been handled: then this fails at once.
  SendWindowMessage(window_, kMsgTaskbarClose);
  thread_.join();
}

}  // namespace netward
