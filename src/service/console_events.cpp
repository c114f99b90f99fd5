#include "service/console_events.h"

#include <pthread.h>

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
