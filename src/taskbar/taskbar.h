// The taskbar icon: a window of its own on the taskbar thread that shows the traffic state every
// second, answers the icon's mouse events and menu commands, and ends at the close message.
// What it shows on goes through a TaskbarBackend (a desktop tray, or none).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "state/shared_state.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/output.h"
#include "platform/registry.h"
#include "taskbar/message_window.h"
#include "taskbar/quicklook_model.h"
#include "taskbar/traffic_status.h"

namespace netward {

inline constexpr intptr_t kMouseLeftDoubleClick = 515;
inline constexpr intptr_t kMouseRightDown = 516;
inline constexpr uint32_t kCmdAdvanced = 40003;
inline constexpr uint32_t kCmdQuickLook = 40004;
inline constexpr uint32_t kCmdHelp = 40006;
inline constexpr uint32_t kCmdSettings = 40007;
inline constexpr uint32_t kTaskbarTimerMs = 1000;
inline constexpr uint32_t kRelaunchSeconds = 5;  // "Advanced" starts the client at most this often
inline constexpr uint32_t kHelpContents = 3;
inline constexpr uint32_t kHelpContext = 1;  // with a context number (QuickLook's is 1000)
inline constexpr uint32_t kQuickLookHelpContext = 1000;
// The agent's windows (QuickLook, Settings) take this to restore themselves and come to the front.
inline constexpr uint32_t kMsgRaiseWindow = 0x0018;
inline constexpr uint32_t kLoadingDelayMs = 1000;  // before the loading window looks for the client
inline constexpr int kLoadingTicks = 20;           // seconds the loading window waits for the client

// The client program, looked for in the agent's own directory, then along PATH.
inline constexpr char kClientProgram[] = "netward-console";
// The help page, installed beside the agent (or under ../share/netward of its directory).
inline constexpr char kHelpFile[] = "netward-help.html";
inline constexpr char kClientTitlePrefix[] = "NETWARD -";

// Flags of the notification record.
inline constexpr uint32_t kNifMessage = 1;
inline constexpr uint32_t kNifIcon = 2;
inline constexpr uint32_t kNifTip = 4;

// The notification-icon record handed to the tray.
struct NotifyIconRecord {
  uint32_t Size;  // 88
  uintptr_t Window;
  uint32_t Id;    // 0
  uint32_t Flags;
  uint32_t CallbackMessage;  // kMsgIconCallback
  uint32_t Icon;             // icon resource number; 0 = none
  char Tip[kTooltipBytes];
};
inline constexpr uint32_t kNotifyIconRecordSize = 88;

// The taskbar thread's block: allocated zero-filled once by the thread.
struct TaskbarState {
  uint32_t QuickLookStatusIcon;
  char StatusText[kStatusTextBytes];
  NotifyIconRecord Notify;
  TrafficCounters Snapshot;  // the eight counters one tick ago
  bool IconAdded;
  uint32_t LastLaunchTime;  // last successful client start (seconds since 1970); 0 = never
  uint32_t CurrentTime;     // taken at every message
  uintptr_t ClientWindow;   // found by the last search; 0 = none
  bool Closed;              // the close message has been handled
};

// What the icon is shown on. Every call comes from the taskbar thread.
class TaskbarBackend {
 public:
  virtual ~TaskbarBackend() = default;
  // Add, modify, delete the icon; false when the tray refuses (none there, restarted).
  virtual bool AddIcon(const NotifyIconRecord& record) = 0;
  virtual bool ModifyIcon(const NotifyIconRecord& record) = 0;
  virtual void DeleteIcon(const NotifyIconRecord& record) = 0;
  // Starts the client program; false when it could not be started.
  virtual bool StartClient(const char* command_line) = 0;
  // The client's main window (title beginning "NETWARD -"), 0 when there is none.
  virtual uintptr_t FindClientWindow() = 0;
  // Restores a window and brings it to the foreground.
  virtual void RaiseWindow(uintptr_t window) = 0;
  // Opens the help page: its contents (kHelpContents) or a context (kHelpContext, `context`).
  virtual void ShowHelp(const char* file, uint32_t command, uint32_t context = 0) = 0;
  // Shows the icon's menu at the pointer and returns the command chosen, 0 for none. A tray whose
  // menu is exported ahead of time (a StatusNotifierItem) returns 0 and posts the chosen command
  // to the taskbar window itself.
  virtual uint32_t TrackMenu(bool advanced_enabled) = 0;
  // Whether "Advanced" is offered; called every second for menus exported ahead of time.
  virtual void SetClientAvailable(bool) {}
  // The agent's windows, each on the desktop's own thread: false when there is no desktop to show
  // them on. Called only while the window's slot is empty.
  virtual bool OpenQuickLook() { return false; }
  virtual bool OpenSettings() { return false; }
  // The loading window of "Advanced" (shown until the client's window appears, at most 20 s).
  virtual void StartLoadingWindow() {}
  // Called every second while QuickLook is open, with what it is to show.
  virtual void RefreshQuickLook(const QuickLookView&) {}
};

// Without a desktop: the icon is kept in memory (the tray always accepts it, so the state keeps
// following the traffic), and actions that need a desktop print a line.
class HeadlessTaskbarBackend : public TaskbarBackend {
 public:
  explicit HeadlessTaskbarBackend(platform::Output& out) : out_(out) {}
  bool AddIcon(const NotifyIconRecord& record) override;
  bool ModifyIcon(const NotifyIconRecord& record) override;
  void DeleteIcon(const NotifyIconRecord& record) override;
  bool StartClient(const char* command_line) override;
  uintptr_t FindClientWindow() override { return 0; }
  void RaiseWindow(uintptr_t) override {}
  void ShowHelp(const char* file, uint32_t command, uint32_t context) override;
  uint32_t TrackMenu(bool) override { return 0; }

 private:
  platform::Output& out_;
};

struct TaskbarContext;

// The back end for this process: the desktop one when built with it and a display and a session bus
// are there, otherwise the headless one. `window` is the taskbar window.
std::unique_ptr<TaskbarBackend> MakeTaskbarBackend(const TaskbarContext& ctx, uintptr_t window);
// A display (WAYLAND_DISPLAY or DISPLAY) is named.
bool HaveDesktop();
// A session bus is there (DBUS_SESSION_BUS_ADDRESS, or the bus socket in XDG_RUNTIME_DIR).
bool HaveSessionBus();

// What the taskbar thread takes from the agent.
struct TaskbarContext {
  GlobalArea* global = nullptr;
  platform::Clock* clock = nullptr;
  platform::Output* out = nullptr;
  TaskbarBackend* backend = nullptr;  // null: MakeTaskbarBackend
  std::function<void()> refresh_station_labels;  // sets AddressText too
  std::function<void()> common_stop;             // when the thread cannot start
  // Where the client program and the help page are looked for first (the agent's own directory);
  // empty: that of /proc/self/exe. The PATH directories follow for the client.
  std::string program_dir;
  // The agent's local endpoint (its socket path), handed with the key to the client "Advanced"
  // starts; "" when the agent has none.
  std::string local_endpoint;
  // What QuickLook and Settings reach of the agent (the desktop back end only).
  const platform::Registry* registry = nullptr;  // settings when there is no settings file
  std::string hive_path;                         // the settings file Settings writes; "" = none
  std::string windows_dir;                       // the state directory
  std::function<void(char* area, size_t size)> config_report;       // the TCP/IP configuration report
  std::function<void(char* area, size_t size)> connectivity_tests;  // may take long: off the desktop's thread
  std::function<void(uintptr_t owner, const char* path)> save_snapshot;
};

// The client program's path: an executable regular file named kClientProgram in `program_dir`
// (empty: the agent's own directory) or a PATH directory; "" when there is none.
std::string FindClientProgram(const std::string& program_dir);
bool IsClientAvailable(const std::string& program_dir);
// The help page's path in `program_dir` or `program_dir`/../share/netward; "" when missing.
std::string FindHelpPage(const std::string& program_dir);

// Runs the taskbar window until its close message. `window` comes from CreateMessageWindow with
// `wake` as its event; `started` (if given) is set once the window is up, or has failed.
void TaskbarThread(const TaskbarContext& ctx, uintptr_t window, platform::Event& wake,
                   platform::Event* started = nullptr);

// The running taskbar thread. Start returns once the window is up (labels refreshed, icon added),
// so that requests arriving next see AddressText. Ending the handle closes the window (if CommonStop
// has not) and joins.
class TaskbarThreadHandle {
 public:
  TaskbarThreadHandle() = default;
  TaskbarThreadHandle(TaskbarThreadHandle&&) = default;
  TaskbarThreadHandle& operator=(TaskbarThreadHandle&&) = delete;
  ~TaskbarThreadHandle();
  static TaskbarThreadHandle Start(TaskbarContext ctx);
  uintptr_t window() const { return window_; }
  bool running() const { return thread_.joinable(); }

 private:
  std::unique_ptr<platform::Event> wake_;
  std::unique_ptr<platform::Event> started_;
  uintptr_t window_ = 0;
  std::thread thread_;
};

}  // namespace netward
