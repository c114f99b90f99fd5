// The desktop back end of the taskbar: GTK 3 and a StatusNotifierItem (libayatana-appindicator3).
#pragma once

#include <memory>

#include "taskbar/taskbar.h"

namespace netward {

// Starts the desktop's thread and opens the display; null when the display cannot be opened.
std::unique_ptr<TaskbarBackend> MakeGtkTaskbarBackend(const TaskbarContext& ctx, uintptr_t taskbar_window);

}  // namespace netward
