#include "taskbar/taskbar.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/files.h"
#include "taskbar/launch.h"
#ifdef NETWARD_HAVE_GTK
#include "taskbar/gtk/gtk_backend.h"
#endif

namespace netward {

namespace {

constexpr char kAllocFailed[] = "GlobalAlloc FAILED";
constexpr char kSevereErrorCaption[] = "TapEyeSv SEVERE ERROR";
constexpr char kNoQuickLook[] = "Taskbar: QuickLook is not available without a desktop\n";
constexpr char kNoSettings[] = "Taskbar: Settings are not available without a desktop\n";
constexpr uint32_t kFlagsAdd = kNifMessage | kNifIcon | kNifTip;  // 7
constexpr uint32_t kFlagsModify = kNifIcon | kNifTip;             // 6
constexpr uint32_t kStartWaitMs = 5000;

// An executable regular file `name` in `dir`.
bool DirHoldsProgram(const std::string& dir, const char* name) {
  const std::string path = (dir.empty() ? std::string(".") : dir) + "/" + name;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
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
    if (g_.Windows[kQuickLookWindow].load(std::memory_order_acquire) != 0) {
      QuickLookView view;
      ComputeQuickLookView(ReadTrafficCounters(g_), s_.Snapshot, g_.FrameSequence.load(std::memory_order_relaxed),
                           s_.QuickLookStatusIcon, s_.StatusText, view);
      backend_.RefreshQuickLook(view);
    }
    backend_.SetClientAvailable(ClientAvailable());
    ReapLaunchedPrograms();
    s_.Snapshot = ReadTrafficCounters(g_);
  }

  void Handle(const WindowMessage& m) {
    s_.CurrentTime = ctx_.clock->Now();
    switch (m.message) {
      case kMsgCloseWindow:
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
        // Shown until the client's window appears, whether or not the start succeeded.
        if (g_.Windows[kLoadingWindow].load(std::memory_order_acquire) == 0) backend_.StartLoadingWindow();
        break;
      case kCmdQuickLook:
        OpenOrRaise(kQuickLookWindow, &TaskbarBackend::OpenQuickLook, kNoQuickLook);
        break;
      case kCmdSettings:
        OpenOrRaise(kSettingsWindow, &TaskbarBackend::OpenSettings, kNoSettings);
        break;
      case kCmdHelp:
        backend_.ShowHelp(kHelpFile, kHelpContents);
        break;
      default:
        break;
    }
  }

  void OpenOrRaise(WindowSlot slot, bool (TaskbarBackend::*open_window)(), const char* unavailable) {
    uintptr_t open = g_.Windows[slot].load(std::memory_order_acquire);
    if (open != 0) PostWindowMessage(open, kMsgRaiseWindow);
    else if (!(backend_.*open_window)()) ctx_.out->Write(unavailable);
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

void HeadlessTaskbarBackend::ShowHelp(const char* file, uint32_t, uint32_t) {
  out_.Printf("Taskbar: no desktop to show %s on\n", file);
}

bool HaveDesktop() {
  const char* x = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != 0) || (wayland != nullptr && *wayland != 0);
}

bool HaveSessionBus() {
  const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != 0) return true;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == 0) return false;
  struct stat st;
  return stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

#ifdef NETWARD_HAVE_GTK
namespace {
// The desktop back end is a module of its own, loaded only when a display is there: linked into the
// agent, GTK and the libraries under it cost every start (headless ones included) some 15 ms of
// dynamic loading. It looks for it beside the agent (the build tree), then where it is installed,
// relative to the agent's directory. Loaded once and never unloaded (GTK cannot be). Null, with a
// line on `out`, when it cannot be found or loaded.
MakeDesktopBackendFn LoadDesktopModule(platform::Output& out) {
  static std::atomic<MakeDesktopBackendFn> loaded{nullptr};
  if (MakeDesktopBackendFn make = loaded.load(std::memory_order_acquire)) return make;
  const std::string own = platform::OwnProgramDirectory();
  std::string why;
  for (const std::string& path : {own + "/" + kDesktopModule, own + "/" + NETWARD_DESKTOP_MODULE_DIR + "/" + kDesktopModule}) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      struct stat st;
      if (stat(path.c_str(), &st) == 0) why = dlerror();  // there, but it cannot be loaded
      continue;
    }
    auto make = reinterpret_cast<MakeDesktopBackendFn>(dlsym(module, kDesktopModuleEntry));
    if (make == nullptr) {
      why = path + ": no " + kDesktopModuleEntry;
      continue;
    }
    loaded.store(make, std::memory_order_release);
    return make;
  }
  out.Printf("Taskbar: the desktop module %s cannot be loaded (%s); the icon state is kept without a tray\n",
             kDesktopModule, why.empty() ? "not found beside the agent nor where it is installed" : why.c_str());
  return nullptr;
}
}  // namespace
#endif

std::unique_ptr<TaskbarBackend> MakeTaskbarBackend(const TaskbarContext& ctx, uintptr_t window) {
  platform::Output& out = *ctx.out;
  if (!HaveDesktop()) return std::make_unique<HeadlessTaskbarBackend>(out);
#ifdef NETWARD_HAVE_GTK
  if (!HaveSessionBus()) {
    out.Write("Taskbar: a display but no session bus; the icon state is kept without a tray\n");
    return std::make_unique<HeadlessTaskbarBackend>(out);
  }
  const MakeDesktopBackendFn make = LoadDesktopModule(out);
  if (make == nullptr) return std::make_unique<HeadlessTaskbarBackend>(out);
  if (std::unique_ptr<TaskbarBackend> desktop{make(ctx, window)}) return desktop;
  out.Write("Taskbar: the display cannot be opened; the icon state is kept without a tray\n");
#else
  (void)window;
  out.Write("Taskbar: built without a desktop tray; the icon state is kept without one\n");
#endif
  return std::make_unique<HeadlessTaskbarBackend>(out);
}

std::string FindClientProgram(const std::string& program_dir) {
  const std::string own = program_dir.empty() ? platform::OwnProgramDirectory() : program_dir;
  if (DirHoldsProgram(own, kClientProgram)) return own + "/" + kClientProgram;
  for (const std::string& dir : platform::PathDirectories())
    if (DirHoldsProgram(dir, kClientProgram)) return dir + "/" + kClientProgram;
  return {};
}

bool IsClientAvailable(const std::string& program_dir) { return !FindClientProgram(program_dir).empty(); }

std::string FindHelpPage(const std::string& program_dir) {
  const std::string own = program_dir.empty() ? platform::OwnProgramDirectory() : program_dir;
  for (const std::string& path : {own + "/" + kHelpFile, own + "/../share/netward/" + kHelpFile}) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      char resolved[PATH_MAX];
      return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    }
  }
  return {};
}

void TaskbarThread(const TaskbarContext& ctx, uintptr_t window, platform::Event& wake, platform::Event* started) {
  AdoptMessageWindow(window);
  std::unique_ptr<TaskbarState> state(new (std::nothrow) TaskbarState{});
  std::unique_ptr<TaskbarBackend> own_backend;
  TaskbarBackend* backend = ctx.backend;
  if (state && backend == nullptr) {
    own_backend = MakeTaskbarBackend(ctx, window);
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
  SendWindowMessage(window_, kMsgCloseWindow);
  thread_.join();
}

}  // namespace netward
