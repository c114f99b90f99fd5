// Console events as they arrive on Linux: SIGINT is Ctrl+C, SIGTERM a shutdown (or, under systemd,
// the stop control), SIGHUP a log-off. They are taken on a thread of their own with sigwait, never
// inside a signal handler.
#pragma once

#include <signal.h>

#include <functional>

#include "core/agent.h"
#include "platform/output.h"

namespace netward::service {

struct ConsoleAction {
  bool close_session_windows = false;  // WM_CLOSE to top-level windows titled "NETWARD "
  bool print_stopping = false;         // "Stopping %s.\n"
  bool common_stop = false;
  bool notify_taskbar = false;
};

// What the session handler and, in console mode, the debug handler after it do with a signal.
ConsoleAction ActionForSignal(int sig, bool debug_mode);

inline constexpr char kSessionWindowPrefix[] = "NETWARD ";  // title prefix of windows closed at log-off

// Carries out ActionForSignal on the running agent: the agent's windows titled "NETWARD " get
// WM_CLOSE, the taskbar window the log-off message, the console the "Stopping" line, and the agent
// CommonStop. True when the agent was stopped.
bool HandleConsoleSignal(Agent& agent, platform::Output& out, int sig, bool debug_mode);

// The signals above, blocked in every thread; call before any thread is created.
sigset_t BlockConsoleSignals();

}  // namespace netward::service
