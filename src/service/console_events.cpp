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
    case SIGINT:   // Ctrl+C
    case SIGQUIT:  // Ctrl+Break
      // Both reach the debug handler; a service has none, and ends as on a stop.
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

sigset_t ConsoleSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

ConsoleSignalThread::ConsoleSignalThread() : set_(ConsoleSignalSet()) {
  signal(SIGPIPE, SIG_IGN);
  // An ignored console signal inherited from the starting shell (a background job's SIGINT and
  // SIGQUIT) would be dropped before sigwait sees it; blocked, the default action never runs.
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] { Run(); });
}

ConsoleSignalThread::~ConsoleSignalThread() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    exit_ = true;
  }
  // Any of the set wakes the sigwait; the thread sees `exit_` and ends.
  pthread_kill(thread_.native_handle(), SIGHUP);
  thread_.join();
}

void ConsoleSignalThread::Attach(std::function<bool(int)> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = std::move(handler);
  attached_ = true;
}

void ConsoleSignalThread::Detach() {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = nullptr;
  finished_ = true;
}

void ConsoleSignalThread::Run() {
  for (;;) {
    int sig = 0;
    if (sigwait(&set_, &sig) != 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (exit_) return;
    if (finished_) continue;
    if (!attached_) {
      if (sig == SIGHUP) continue;
      // Nothing to save yet: end as the signal ends a process by default.
      signal(sig, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, sig);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      raise(sig);
      return;
    }
    if (handler_ && handler_(sig)) finished_ = true;
  }
}

}  // namespace netward::service
