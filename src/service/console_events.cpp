#include "service/console_events.h"

#include <pthread.h>

#include "service/service_manager.h"
#include "taskbar/message_window.h"

namespace netward::service {

ConsoleAction ActionForSignal(int sig, bool debug_mode) {
  ConsoleAction a;
  switch (sig) {
    case SIGHUP:  // log-off: the user's session ends, the agent stays
      a.close_session_windows = true;
      a.notify_taskbar = true;
      break;
    case SIGTERM:
      if (debug_mode) a.close_session_windows = true;  // shutdown
      a.common_stop = true;                             // in service mode: the stop control
      break;
    case SIGINT:
      // Ctrl+C reaches the debug handler; a service has none, and ends as on a stop.
      a.print_stopping = debug_mode;
      a.common_stop = true;
      break;
    default: break;
  }
  return a;
}

bool HandleConsoleSignal(Agent& agent, platform::Output& out, int sig, bool debug_mode) {
  const ConsoleAction a = ActionForSignal(sig, debug_mode);
  // The windows are the agent's own (QuickLook, Settings); other programs' windows go with the
  // user's session on this platform.
  if (a.close_session_windows) CloseWindowsTitled(kSessionWindowPrefix);
  if (a.notify_taskbar) agent.NotifyTaskbarWindow();
  if (a.print_stopping) out.Printf("Stopping %s.\n", kDisplayName);
  if (!a.common_stop) return false;
  agent.CommonStop();
  return true;
}

sigset_t BlockConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

}  // namespace netward::service
