// Shared by the desktop back end's windows. Everything here runs on the desktop's one GTK thread
// unless it says otherwise.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "taskbar/taskbar.h"

namespace netward::gtkui {

// Runs `f` on the GTK thread (at once when called there). Any thread.
void OnGtkThread(std::function<void()> f);
// Runs `work` on a thread of its own, then `done` on the GTK thread; blocking work (reports, pings,
// files) never runs on the GTK thread. Joined when the desktop ends.
void OffMainLoop(std::function<void()> work, std::function<void()> done);

// A window of the agent with a message window of its own: kMsgCloseWindow, WM_CLOSE and
// kMsgRaiseWindow arrive through it, and its handle stands in a GlobalArea slot while it exists.
class AgentWindow : public std::enable_shared_from_this<AgentWindow> {
 public:
  virtual ~AgentWindow();
  // Registers the message window (titled `title`, "" for none) and puts it in `slot`.
  bool Attach(GtkWidget* window, WindowSlot slot, const char* title);
  uintptr_t handle() const { return handle_; }
  GtkWidget* widget() const { return window_; }
  // Destroys the GTK window; the slot is cleared and the message window ends. Idempotent.
  void Close();
  void Raise();
  // Handles one message of its queue.
  void Handle(const WindowMessage& m);

 protected:
  AgentWindow() = default;
  GtkWidget* window_ = nullptr;

 private:
  uintptr_t handle_ = 0;
  WindowSlot slot_ = kTaskbarWindow;
};

// What the windows reach of the agent and of the desktop.
const TaskbarContext& Context();
uintptr_t TaskbarWindowHandle();
GtkBuilder* BuilderFor(const char* ui_name);  // "quicklook", "settings", "loading"
// The picture of an icon resource number at `size` pixels; null for an unknown number.
GdkPixbuf* IconPixbuf(uint32_t resource, int size);
void ShowHelpPage(uint32_t context);
// Busy cursor on a window (and its buttons insensitive) while work runs off the main loop.
void SetBusy(GtkWidget* window, bool busy);

// A modal message box with a caption, a text and an OK button (Yes/No for a question); `done`
// gets true for OK/Yes. `parent` may be null.
enum class BoxKind { kPlain, kExclamation, kQuestion, kStop, kInfo };
void ShowMessageBox(GtkWindow* parent, const char* caption, const std::string& text, BoxKind kind,
                    std::function<void(bool)> done = nullptr);

// The windows, one of each at most.
bool OpenQuickLookWindow();
void RefreshQuickLookWindow(const QuickLookView& view);
bool OpenSettingsWindow();
void StartLoading();
void CloseAllWindows();

// The client's main window on the X display, 0 when none (or no X display). `display` is an Xlib
// Display* owned by the calling thread.
uintptr_t FindClientWindowOn(void* display);
void RaiseClientWindowOn(void* display, uintptr_t window);
// The same on GDK's own X display (none under Wayland: 0, nothing raised).
uintptr_t FindClientWindowOnDisplay();
void RaiseClientWindowOnDisplay(uintptr_t window);

}  // namespace netward::gtkui
