// The desktop back end of the taskbar: GTK 3 and a StatusNotifierItem (libayatana-appindicator3).
// Built as a module (netward-desktop.so) that the agent loads at run time when a display is there;
// its one entry point is kDesktopModuleEntry. The module takes the rest of the agent (message
// windows, settings, outputs) from the agent program, which exports its symbols for it.
#pragma once

#include <memory>

#include "taskbar/taskbar.h"

namespace netward {

inline constexpr char kDesktopModule[] = "netward-desktop.so";
inline constexpr char kDesktopModuleEntry[] = "netward_make_desktop_backend";

// The entry point: starts the desktop's thread and opens the display; null when the display cannot
// be opened. The caller owns the back end (the module stays loaded while it lives, and after).
using MakeDesktopBackendFn = TaskbarBackend* (*)(const TaskbarContext& ctx, uintptr_t taskbar_window);

}  // namespace netward
