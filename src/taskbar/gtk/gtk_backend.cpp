// The desktop's GTK thread, the tray item and its menu, the message pump of the agent's windows,
// message boxes and help (the client's window and the loading window: client_window.cpp). Every GTK call is made on the one GTK thread; the
// taskbar thread reaches it through OnGtkThread, and the window messages of the agent (close,
// raise) through the message windows' queues, whose wake-up event the GTK main loop watches.
#include "taskbar/gtk/gtk_backend.h"

#include <glib-unix.h>
#include <glib/gstdio.h>
#include <libayatana-appindicator/app-indicator.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "taskbar/gtk/gtk_internal.h"
#include "taskbar/client_handoff.h"
#include "taskbar/launch.h"
extern "C" {
#include "taskbar_resources.h"  // generated from taskbar.gresource.xml
}

namespace netward::gtkui {

namespace {

constexpr char kResourcePrefix[] = "/netward/taskbar/";
constexpr char kIndicatorId[] = "netward-agent";
constexpr uint32_t kGtkStartWaitMs = 10000;  // opening the display and the bus
constexpr auto kReAddInterval = std::chrono::seconds(4);  // a tray item not taken is made anew
constexpr auto kItemSettleTime = std::chrono::milliseconds(500);  // a new item's connection
constexpr char kCss[] =
    ".netward-bold { font-weight: bold; }\n"
    "textview.netward-report { font-family: monospace; font-size: 8pt; }\n";

// The tray item's icon name of a picture: "netward-<picture>"; "" for no icon.
std::string IconName(uint32_t resource) {
  const char* picture = IconPictureName(resource);
  return picture != nullptr ? std::string("netward-") + picture : std::string();
}

// Every icon resource number, for writing each picture once as a file.
constexpr uint32_t kTrayIcons[] = {kIconBroadcastReceived, kIconSession, kIconBroadcastSent,
                                   kIconNothingReceived,   kIconError,   kIconNoTraffic};

struct Desktop {
  TaskbarContext ctx;
  uintptr_t taskbar_window = 0;
  std::thread thread;
  std::thread::id gtk_thread;
  std::unique_ptr<platform::Event> wake;  // set when a message reaches one of the windows below
  std::mutex workers_mu;
  std::vector<std::thread> workers;  // guarded by workers_mu
  GDBusConnection* bus = nullptr;
  AppIndicator* indicator = nullptr;
  GtkWidget* menu = nullptr;
  GtkWidget* advanced_item = nullptr;
  std::atomic<bool> connected{false};  // a StatusNotifierWatcher holds the item
  std::chrono::steady_clock::time_point item_made;
  std::chrono::steady_clock::time_point settled;  // the new item is left alone until then
  bool apply_pending = false;
  std::string want_icon, want_tip;  // what the taskbar thread last asked the item to show
  bool want_active = false;
  bool watcher_present = false;  // a StatusNotifierWatcher is on the bus (GTK thread only)
  guint watcher_watch = 0;
  std::atomic<int> client_available{-1};
  std::string icon_dir;  // the pictures as files, for tray hosts that read them by name
  std::vector<std::shared_ptr<AgentWindow>> windows;  // GTK thread only
};

Desktop* g_desktop = nullptr;

gboolean RunClosure(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}
void FreeClosure(gpointer data) { delete static_cast<std::function<void()>*>(data); }

void PostMenuCommand(GtkMenuItem*, gpointer command) {
  PostWindowMessage(g_desktop->taskbar_window, kWmCommand, GPOINTER_TO_UINT(command));
}

void OnConnectionChanged(AppIndicator*, gboolean connected, gpointer) { g_desktop->connected.store(connected); }

gboolean PumpMessages(gint, GIOCondition, gpointer) {
  g_desktop->wake->Reset();
  // Handling a message may close a window (and drop it from the list): walk a copy.
  std::vector<std::shared_ptr<AgentWindow>> windows = g_desktop->windows;
  for (const auto& w : windows) {
    WindowMessage m;
    while (w->handle() != 0 && PeekWindowMessage(w->handle(), m)) {
      const uintptr_t handle = w->handle();
      w->Handle(m);
      FinishWindowMessage(handle);
    }
  }
  return G_SOURCE_CONTINUE;
}

// The pictures as files in a private directory: a tray host reads an icon by name from the item's
// icon theme path.
std::string WriteIconFiles() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  std::string dir = std::string(runtime != nullptr && *runtime != 0 ? runtime : g_get_tmp_dir()) + "/netward-icons-XXXXXX";
  if (g_mkdtemp_full(dir.data(), 0755) == nullptr) return {};
  for (uint32_t icon : kTrayIcons) {
    std::string resource = std::string(kResourcePrefix) + "icons/" + IconPictureName(icon) + ".svg";
    GBytes* bytes = g_resources_lookup_data(resource.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bytes == nullptr) continue;
    gsize n = 0;
    const void* data = g_bytes_get_data(bytes, &n);
    g_file_set_contents((dir + "/" + IconName(icon) + ".svg").c_str(), static_cast<const char*>(data), static_cast<gssize>(n), nullptr);
    g_bytes_unref(bytes);
  }
  return dir;
}

void RemoveIconFiles(const std::string& dir) {
  if (dir.empty()) return;
  for (uint32_t icon : kTrayIcons) g_unlink((dir + "/" + IconName(icon) + ".svg").c_str());
  g_rmdir(dir.c_str());
}

GtkWidget* AddMenuItem(const char* label, uint32_t command) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  g_signal_connect(item, "activate", G_CALLBACK(PostMenuCommand), GUINT_TO_POINTER(command));
  gtk_menu_shell_append(GTK_MENU_SHELL(g_desktop->menu), item);
  return item;
}

// The icon's menu: Advanced, QuickLook, Settings, a separator, Help.
void BuildTray() {
  Desktop& d = *g_desktop;
  d.menu = gtk_menu_new();
  d.advanced_item = AddMenuItem("Advanced", kCmdAdvanced);
  AddMenuItem("QuickLook", kCmdQuickLook);
  AddMenuItem("Settings", kCmdSettings);
  gtk_menu_shell_append(GTK_MENU_SHELL(d.menu), gtk_separator_menu_item_new());
  AddMenuItem("Help", kCmdHelp);
  gtk_widget_set_sensitive(d.advanced_item, FALSE);
  gtk_widget_show_all(d.menu);
  g_object_ref_sink(d.menu);  // kept across new tray items
}

// A new tray item. The library registers it with the tray's watcher by itself, and again whenever a
// watcher appears; a registration that never came through (seen now and then when the library's
// start-up races the bus) is only cured by a new item.
void NewTrayItem() {
  Desktop& d = *g_desktop;
  if (d.indicator != nullptr) {
    app_indicator_set_status(d.indicator, APP_INDICATOR_STATUS_PASSIVE);
    g_signal_handlers_disconnect_by_func(d.indicator, reinterpret_cast<gpointer>(OnConnectionChanged), nullptr);
    g_object_unref(d.indicator);
  }
  d.connected.store(false);
  d.indicator = app_indicator_new_with_path(kIndicatorId, IconName(kIconNothingReceived).c_str(),
                                            APP_INDICATOR_CATEGORY_APPLICATION_STATUS, d.icon_dir.c_str());
  g_signal_connect(d.indicator, "connection-changed", G_CALLBACK(OnConnectionChanged), nullptr);
  app_indicator_set_menu(d.indicator, GTK_MENU(d.menu));
  d.item_made = std::chrono::steady_clock::now();
  d.settled = d.item_made + kItemSettleTime;
}

// Puts the wanted picture, tooltip and status on the item, unless it is still connecting.
void ApplyIcon() {
  Desktop& d = *g_desktop;
  if (d.indicator == nullptr || d.apply_pending) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < d.settled) {
    // The library connects a new item asynchronously, and a property set meanwhile starts a second
    // connection that fails (an assertion, and an item that never reaches the tray): wait.
    d.apply_pending = true;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(d.settled - now).count() + 1;
    g_timeout_add(static_cast<guint>(wait), [](gpointer) -> gboolean {
      g_desktop->apply_pending = false;
      ApplyIcon();
      return G_SOURCE_REMOVE;
    }, nullptr);
    return;
  }
  if (!d.want_active) {
    app_indicator_set_status(d.indicator, APP_INDICATOR_STATUS_PASSIVE);
    return;
  }
  if (!d.want_icon.empty()) app_indicator_set_icon_full(d.indicator, d.want_icon.c_str(), d.want_tip.c_str());
  app_indicator_set_title(d.indicator, d.want_tip.c_str());
  app_indicator_set_status(d.indicator, APP_INDICATOR_STATUS_ACTIVE);
}

void ShowIcon(const std::string& name, const std::string& tip, bool active, bool add = false) {
  Desktop& d = *g_desktop;
  if (!name.empty()) d.want_icon = name;
  if (!tip.empty()) d.want_tip = tip;
  d.want_active = active;
  // Adding again what the tray has not taken: a new item, at most every few seconds.
  // (Without a watcher the library shows the icon in an XEmbed tray instead: left alone.)
  if (add && d.watcher_present && !d.connected.load() && std::chrono::steady_clock::now() - d.item_made >= kReAddInterval)
    NewTrayItem();
  ApplyIcon();
}

// A message box of the agent (no owner), from any thread, without waiting for the user.
void DesktopBox(const char* text, const char* caption) {
  std::string t = text, c = caption;
  OnGtkThread([t, c] { ShowMessageBox(nullptr, c.c_str(), t, BoxKind::kPlain); });
}

void GtkThreadMain(std::shared_ptr<std::promise<bool>> started) {
  Desktop& d = *g_desktop;
  d.gtk_thread = std::this_thread::get_id();
  if (!gtk_init_check(nullptr, nullptr)) {
    started->set_value(false);
    return;
  }
  // The tray item lives on the session bus: reach it first, so that a bus that cannot be reached is
  // said in words (the tray library would only fail an assertion) and the desktop is not used.
  GError* bus_error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &bus_error);
  if (bus == nullptr) {
    d.ctx.out->Printf("Taskbar: the session bus cannot be reached: %s\n", bus_error ? bus_error->message : "?");
    g_clear_error(&bus_error);
    started->set_value(false);
    return;
  }
  d.bus = bus;  // held for the desktop's life: the tray library shares this connection
  netward_taskbar_register_resource();
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  d.icon_dir = WriteIconFiles();
  BuildTray();
  NewTrayItem();
  d.watcher_watch = g_bus_watch_name_on_connection(
      bus, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, const gchar*, gpointer) { g_desktop->watcher_present = true; },
      +[](GDBusConnection*, const gchar*, gpointer) { g_desktop->watcher_present = false; }, nullptr, nullptr);
  guint pump = g_unix_fd_add(d.wake->Fd(), G_IO_IN, PumpMessages, nullptr);
  platform::SetDesktopMessageBox(DesktopBox);
  started->set_value(true);
  gtk_main();
  platform::SetDesktopMessageBox(nullptr);
  g_source_remove(pump);
  g_bus_unwatch_name(d.watcher_watch);
  if (d.indicator != nullptr) {
    app_indicator_set_status(d.indicator, APP_INDICATOR_STATUS_PASSIVE);
    g_object_unref(d.indicator);
    d.indicator = nullptr;
  }
  g_object_unref(d.menu);
  // Let the bus see the item go before the thread ends.
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
  g_dbus_connection_flush_sync(d.bus, nullptr, nullptr);
  g_object_unref(d.bus);
}

class TrayBackend : public TaskbarBackend {
 public:
  bool AddIcon(const NotifyIconRecord& r) override { return Show(r, true); }
  bool ModifyIcon(const NotifyIconRecord& r) override { return Show(r, false); }
  void DeleteIcon(const NotifyIconRecord&) override {
    OnGtkThread([] { ShowIcon({}, {}, false); });
  }
  bool StartClient(const char*) override {
    const TaskbarContext& ctx = g_desktop->ctx;
    const std::string path = FindClientProgram(ctx.program_dir);
    if (path.empty()) return false;
    char key[kHandoffKeyBytes] = {};
    if (ctx.global != nullptr) SharedCopyOut(key, ctx.global->AccessKey, sizeof key);
    return LaunchClient(path, ctx.local_endpoint, std::string(key, sizeof key));
  }
  uintptr_t FindClientWindow() override {
    auto found = std::make_shared<std::promise<uintptr_t>>();
    std::future<uintptr_t> result = found->get_future();
    OnGtkThread([found] { found->set_value(FindClientWindowOnDisplay()); });
    // Real time: a GTK thread that does not answer (it never blocks) counts as no window.
    if (result.wait_for(std::chrono::seconds(2)) != std::future_status::ready) return 0;
    return result.get();
  }
  void RaiseWindow(uintptr_t window) override {
    OnGtkThread([window] { RaiseClientWindowOnDisplay(window); });
  }
  void ShowHelp(const char*, uint32_t command, uint32_t context) override {
    ShowHelpPage(command == kHelpContext ? context : 0);
  }
  uint32_t TrackMenu(bool) override { return 0; }  // the menu is the tray host's
  void SetClientAvailable(bool available) override {
    if (g_desktop->client_available.exchange(available ? 1 : 0) == (available ? 1 : 0)) return;
    OnGtkThread([available] { gtk_widget_set_sensitive(g_desktop->advanced_item, available); });
  }
  bool OpenQuickLook() override {
    OnGtkThread([] { OpenQuickLookWindow(); });
    return true;
  }
  bool OpenSettings() override {
    OnGtkThread([] { OpenSettingsWindow(); });
    return true;
  }
  void StartLoadingWindow() override {
    OnGtkThread([] { StartLoading(); });
  }
  void RefreshQuickLook(const QuickLookView& view) override {
    OnGtkThread([view] { RefreshQuickLookWindow(view); });
  }

  ~TrayBackend() override {
    OnGtkThread([] {
      CloseAllWindows();
      gtk_main_quit();
    });
    g_desktop->thread.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(g_desktop->workers_mu);
      workers.swap(g_desktop->workers);
    }
    for (std::thread& t : workers) t.join();
    RemoveIconFiles(g_desktop->icon_dir);
    delete g_desktop;
    g_desktop = nullptr;
  }

 private:
  bool Show(const NotifyIconRecord& r, bool add) {
    std::string icon = IconName(r.Icon);
    std::string tip(r.Tip, strnlen(r.Tip, sizeof r.Tip));
    OnGtkThread([icon, tip, add] { ShowIcon(icon, tip, true, add); });
    return g_desktop->connected.load();
  }
};

}  // namespace

void OnGtkThread(std::function<void()> f) {
  if (g_desktop == nullptr) return;
  if (std::this_thread::get_id() == g_desktop->gtk_thread) {
    f();
    return;
  }
  // Always through a source of the default context: g_main_context_invoke could run `f` on this
  // thread whenever the GTK thread does not hold the context at that moment.
  g_idle_add_full(G_PRIORITY_DEFAULT, RunClosure, new std::function<void()>(std::move(f)), FreeClosure);
}

void OffMainLoop(std::function<void()> work, std::function<void()> done) {
  std::lock_guard<std::mutex> lock(g_desktop->workers_mu);
  g_desktop->workers.emplace_back([work = std::move(work), done = std::move(done)]() mutable {
    work();
    OnGtkThread(std::move(done));
  });
}

const TaskbarContext& Context() { return g_desktop->ctx; }
uintptr_t TaskbarWindowHandle() { return g_desktop->taskbar_window; }

GtkBuilder* BuilderFor(const char* ui_name) {
  std::string path = std::string(kResourcePrefix) + "ui/" + ui_name + ".ui";
  return gtk_builder_new_from_resource(path.c_str());
}

GdkPixbuf* IconPixbuf(uint32_t resource, int size) {
  const char* picture = IconPictureName(resource);
  if (picture == nullptr) return nullptr;
  std::string path = std::string(kResourcePrefix) + "icons/" + picture + ".svg";
  return gdk_pixbuf_new_from_resource_at_scale(path.c_str(), size, size, TRUE, nullptr);
}

void ShowHelpPage(uint32_t context) {
  const std::string page = FindHelpPage(Context().program_dir);
  if (page.empty()) {
    Context().out->Printf("Taskbar: the help page %s is not installed beside the agent\n", kHelpFile);
    return;
  }
  std::string uri = "file://" + page;
  if (context == kQuickLookHelpContext) uri += "#quicklook";
  if (!LaunchProgram("xdg-open", {uri})) Context().out->Printf("Taskbar: xdg-open cannot be started for %s\n", uri.c_str());
}

void SetBusy(GtkWidget* window, bool busy) {
  GdkWindow* w = gtk_widget_get_window(window);
  if (w == nullptr) return;
  GdkCursor* cursor = busy ? gdk_cursor_new_from_name(gdk_window_get_display(w), "wait") : nullptr;
  gdk_window_set_cursor(w, cursor);
  if (cursor != nullptr) g_object_unref(cursor);
}

void ShowMessageBox(GtkWindow* parent, const char* caption, const std::string& text, BoxKind kind,
                    std::function<void(bool)> done) {
  GtkMessageType type = GTK_MESSAGE_OTHER;
  if (kind == BoxKind::kExclamation) type = GTK_MESSAGE_WARNING;
  if (kind == BoxKind::kQuestion) type = GTK_MESSAGE_QUESTION;
  if (kind == BoxKind::kStop) type = GTK_MESSAGE_ERROR;
  if (kind == BoxKind::kInfo) type = GTK_MESSAGE_INFO;
  gchar* valid = g_utf8_make_valid(text.c_str(), -1);
  GtkWidget* box = gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
                                          kind == BoxKind::kQuestion ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s", valid);
  g_free(valid);
  gtk_window_set_title(GTK_WINDOW(box), caption);
  // Screen readers name a message box by its kind ("Warning"); the caption is what the user sees.
  atk_object_set_name(gtk_widget_get_accessible(box), caption);
  if (parent == nullptr) gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  auto* callback = new std::function<void(bool)>(std::move(done));
  g_signal_connect_data(box, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                          auto* cb = static_cast<std::function<void(bool)>*>(data);
                          std::function<void(bool)> run = *cb;
                          gtk_widget_destroy(GTK_WIDGET(dialog));
                          if (run) run(response == GTK_RESPONSE_OK || response == GTK_RESPONSE_YES);
                        }),
                        callback, +[](gpointer data, GClosure*) { delete static_cast<std::function<void(bool)>*>(data); },
                        GConnectFlags(0));
  gtk_widget_show_all(box);
}

AgentWindow::~AgentWindow() = default;

bool AgentWindow::Attach(GtkWidget* window, WindowSlot slot, const char* title) {
  handle_ = CreateMessageWindow(g_desktop->wake.get());
  if (handle_ == 0) return false;
  window_ = window;
  slot_ = slot;
  if (title != nullptr && *title != 0) SetMessageWindowTitle(handle_, title);
  g_desktop->windows.push_back(std::static_pointer_cast<AgentWindow>(shared_from_this()));
  g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     static_cast<AgentWindow*>(self)->Close();
                   }),
                   this);
  Context().global->Windows[slot].store(handle_, std::memory_order_release);
  return true;
}

void AgentWindow::Close() {
  if (handle_ == 0) return;
  const uintptr_t handle = std::exchange(handle_, 0);
  // Clear the slot only if it still names this window.
  uintptr_t expected = handle;
  Context().global->Windows[slot_].compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
  DestroyMessageWindow(handle);
  GtkWidget* w = std::exchange(window_, nullptr);
  if (w != nullptr) gtk_widget_destroy(w);
  // The object goes once nothing else (a pending worker's result) holds it.
  auto& list = g_desktop->windows;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].get() == this) {
      std::shared_ptr<AgentWindow> keep = list[i];
      list.erase(list.begin() + static_cast<long>(i));
      OnGtkThread([keep] {});  // released on a later turn of the loop, not inside its own call
      break;
    }
  }
}

void AgentWindow::Raise() {
  if (window_ != nullptr) gtk_window_present(GTK_WINDOW(window_));
}

void AgentWindow::Handle(const WindowMessage& m) {
  if (m.message == kMsgCloseWindow || m.message == kWmClose) Close();
  else if (m.message == kMsgRaiseWindow) Raise();
}

void CloseAllWindows() {
  std::vector<std::shared_ptr<AgentWindow>> windows = g_desktop->windows;
  for (const auto& w : windows) w->Close();
}

}  // namespace netward::gtkui

extern "C" [[gnu::visibility("default")]] netward::TaskbarBackend* netward_make_desktop_backend(
    const netward::TaskbarContext& ctx, uintptr_t taskbar_window) {
  using namespace netward;
  using namespace netward::gtkui;
  static_assert(std::is_same_v<decltype(&netward_make_desktop_backend), MakeDesktopBackendFn>);
  g_desktop = new Desktop;
  g_desktop->ctx = ctx;
  g_desktop->taskbar_window = taskbar_window;
  g_desktop->wake = std::make_unique<platform::Event>();
  auto started = std::make_shared<std::promise<bool>>();
  std::future<bool> up = started->get_future();
  g_desktop->thread = std::thread(GtkThreadMain, started);
  // Real time: opening the display and the session bus; a hung one counts as none.
  bool ok = up.wait_for(std::chrono::milliseconds(kGtkStartWaitMs)) == std::future_status::ready && up.get();
  if (!ok) {
    // A display that could not be opened ends the thread at once; one that hangs is left to it.
    if (up.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
      g_desktop->thread.detach();  // it keeps its block
      return nullptr;
    }
    g_desktop->thread.join();
    delete g_desktop;
    g_desktop = nullptr;
    return nullptr;
  }
  const char* display = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  ctx.out->Printf("Taskbar: tray icon on display %s\n", wayland != nullptr && *wayland ? wayland : display);
  return new TrayBackend();
}
