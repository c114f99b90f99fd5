// The taskbar icon: a window of its own on the taskbar thread that shows the traffic state every
// second, answers the icon's mouse events and menu commands, and ends at the close message.
// What it shows on goes through a TaskbarBackend (a desktop tray, or none).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/shared_state.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/output.h"
#include "taskbar/message_window.h"
#include "taskbar/traffic_status.h"

namespace netward {

inline constexpr uint32_t kMsgIconCallback = 0x8064;     // 32868: mouse event code in lparam
inline constexpr uint32_t kMsgTaskbarClose = 0x0400 + 100;   // 1124, sent by CommonStop
inline constexpr uint32_t kMsgTaskbarLogOff = 0x0400 + 105;  // 1129, from the console handler
inline constexpr intptr_t kMouseLeftDoubleClick = 515;
inline constexpr intptr_t kMouseRightDown = 516;
inline constexpr uint32_t kCmdAdvanced = 40003;
inline constexpr uint32_t kCmdQuickLook = 40004;
inline constexpr uint32_t kCmdHelp = 40006;
inline constexpr uint32_t kCmdSettings = 40007;
inline constexpr uint32_t kTaskbarTimerMs = 1000;
inline constexpr uint32_t kRelaunchSeconds = 5;  // "Advanced" starts the client at most this often
inline constexpr uint32_t kHelpContents = 3;

inline constexpr char kClientProgram[] = "NETWARD.exe";
inline constexpr char kClientModule[] = "NETWARD.EXE";
inline constexpr char kHelpFile[] = "NETWARD.HLP";
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
  virtual void ShowHelp(const char* file, uint32_t command) = 0;
  // Shows the icon's menu at the pointer and returns the command chosen, 0 for none.
  virtual uint32_t TrackMenu(bool advanced_enabled) = 0;
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
  void ShowHelp(const char* file, uint32_t command) override;
  uint32_t TrackMenu(bool) override { return 0; }

 private:
  platform::Output& out_;
};

// The back end for this process: a desktop one when built with one and a display is there,
// otherwise the headless one.
std::unique_ptr<TaskbarBackend> MakeTaskbarBackend(platform::Output& out);
bool HaveDesktop();

// What the taskbar thread takes from the agent.
struct TaskbarContext {
  GlobalArea* global = nullptr;
  platform::Clock* clock = nullptr;
  platform::Output* out = nullptr;
  TaskbarBackend* backend = nullptr;  // null: MakeTaskbarBackend
  std::function<void()> refresh_station_labels;  // sets AddressText too
  std::function<void()> common_stop;             // when the thread cannot start
  std::function<void()> refresh_quicklook;       // every tick while the QuickLook slot is set
  std::function<void()> start_quicklook;         // null: not available here
  std::function<void()> start_settings;
  // Where the client program is looked for first (the agent's own directory); empty: that of
  // /proc/self/exe. The PATH directories follow.
  std::string program_dir;
};

// True when the client program lies in `program_dir` or a PATH directory (name compared without
// regard to letter case, as the platform it comes from does).
bool IsClientAvailable(const std::string& program_dir);

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
