// The client program's window on the X display (found by its title, raised through the window
// manager), and the loading window shown while the client starts.

// Ours first: Xlib's macros (CurrentTime, None) would rewrite our field names.
#include "taskbar/gtk/gtk_internal.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace netward::gtkui {

namespace {

// X11 windows of other programs, through GDK's own connection (with its error trap: a window may
// go away while it is looked at).
Display* XDisplay() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) return nullptr;
  return gdk_x11_display_get_xdisplay(display);
}

std::string WindowTitle(Display* dpy, Window w) {
  static Atom net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
  static Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(dpy, w, net_wm_name, 0, 64, False, utf8, &type, &format, &n, &after, &data) == Success &&
      data != nullptr && type == utf8) {
    title.assign(reinterpret_cast<char*>(data), n);
  }
  if (data != nullptr) XFree(data);
  if (title.empty()) {
    char* name = nullptr;
    if (XFetchName(dpy, w, &name) && name != nullptr) title = name;
    if (name != nullptr) XFree(name);
  }
  return title;
}

}  // namespace

uintptr_t FindClientWindowOn(void* display) {
  Display* dpy = static_cast<Display*>(display);
  if (dpy == nullptr) return 0;
  GdkDisplay* gdk = gdk_display_get_default();
  gdk_x11_display_error_trap_push(gdk);
  const Window root = DefaultRootWindow(dpy);
  std::vector<Window> candidates;
  // A window manager lists the top-level client windows; without one they are the root's children.
  Atom client_list = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
  if (client_list != None) {
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, root, client_list, 0, 4096, False, XA_WINDOW, &type, &format, &n, &after, &data) ==
            Success &&
        data != nullptr && format == 32) {
      const long* ids = reinterpret_cast<const long*>(data);
      candidates.assign(ids, ids + n);
    }
    if (data != nullptr) XFree(data);
  }
  if (candidates.empty()) {
    Window root_return, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(dpy, root, &root_return, &parent, &children, &n) && children != nullptr)
      candidates.assign(children, children + n);
    if (children != nullptr) XFree(children);
  }
  uintptr_t found = 0;
  for (Window w : candidates) {
    if (WindowTitle(dpy, w).compare(0, strlen(kClientTitlePrefix), kClientTitlePrefix) == 0) {
      found = w;
      break;
    }
  }
  gdk_x11_display_error_trap_pop_ignored(gdk);
  return found;
}

void RaiseClientWindowOn(void* display, uintptr_t window) {
  Display* dpy = static_cast<Display*>(display);
  if (dpy == nullptr || window == 0) return;
  GdkDisplay* gdk = gdk_display_get_default();
  gdk_x11_display_error_trap_push(gdk);
  XMapRaised(dpy, window);
  XEvent e = {};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = 2;  // from a pager-like program: the window manager obeys
  XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(dpy);
  gdk_x11_display_error_trap_pop_ignored(gdk);
}

// The loading window: shown one second after "Advanced" unless the client's window is already
// there, closed when it appears or after 20 seconds.
class LoadingWindow : public AgentWindow {
 public:
  static void Show() {
    auto w = std::make_shared<LoadingWindow>();
    GtkBuilder* builder = BuilderFor("loading");
    GtkWidget* window = GTK_WIDGET(gtk_builder_get_object(builder, "loading"));
    g_object_unref(builder);
    if (!w->Attach(window, kLoadingWindow, "")) {
      gtk_widget_destroy(window);
      return;
    }
    if (FindClientWindowOnDisplay() != 0) {
      w->Close();
      return;
    }
    gtk_widget_show_all(window);
    std::weak_ptr<AgentWindow> weak = w;
    g_timeout_add_full(G_PRIORITY_DEFAULT, kTaskbarTimerMs, Tick, new std::weak_ptr<AgentWindow>(weak),
                       [](gpointer p) { delete static_cast<std::weak_ptr<AgentWindow>*>(p); });
  }

 private:
  static gboolean Tick(gpointer data) {
    std::shared_ptr<AgentWindow> w = static_cast<std::weak_ptr<AgentWindow>*>(data)->lock();
    if (!w || w->handle() == 0) return G_SOURCE_REMOVE;
    auto* self = static_cast<LoadingWindow*>(w.get());
    ++self->ticks_;
    if (self->ticks_ < kLoadingTicks && FindClientWindowOnDisplay() == 0) return G_SOURCE_CONTINUE;
    w->Close();
    return G_SOURCE_REMOVE;
  }
  int ticks_ = 0;
};

void StartLoading() {
  g_timeout_add(kLoadingDelayMs, [](gpointer) -> gboolean {
    if (FindClientWindowOnDisplay() == 0 && Context().global->Windows[kLoadingWindow].load() == 0)
      LoadingWindow::Show();
    return G_SOURCE_REMOVE;
  }, nullptr);
}

uintptr_t FindClientWindowOnDisplay() { return FindClientWindowOn(XDisplay()); }
void RaiseClientWindowOnDisplay(uintptr_t window) { RaiseClientWindowOn(XDisplay(), window); }

}  // namespace netward::gtkui
