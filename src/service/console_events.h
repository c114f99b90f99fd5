// Console events as they arrive on Linux: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGTERM a shutdown
// (or, under systemd, the stop control), SIGHUP a log-off. They are taken on a thread of their own
// with sigwait, never inside a signal handler.
#pragma once

#include <signal.h>

#include <functional>
#include <mutex>
#include <thread>

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

// The console signals (SIGINT, SIGQUIT, SIGTERM, SIGHUP).
sigset_t ConsoleSignalSet();

// The thread that takes the console signals, from the first moment of the process: construct it
// before any other thread exists, so that the signals stay blocked everywhere else. It also ignores
// SIGPIPE for the whole process: a write to a console whose reader has gone just fails.
//
// Until a handler is attached (the agent is being set up) a stop signal ends the process as it
// would by default, so that nothing before the agent's own handling can keep it from ending, and a
// log-off is ignored. While a handler is attached it gets every signal; it returns true when the
// signal ended the agent, after which further signals are ignored.
class ConsoleSignalThread {
 public:
  ConsoleSignalThread();
  ~ConsoleSignalThread();
  ConsoleSignalThread(const ConsoleSignalThread&) = delete;
  ConsoleSignalThread& operator=(const ConsoleSignalThread&) = delete;

  void Attach(std::function<bool(int sig)> handler);
  // Waits for a handler that is running to return; afterwards the handler is never called again.
  void Detach();

 private:
  void Run();

  sigset_t set_;
  std::mutex mu_;
  std::function<bool(int)> handler_;  // guarded by mu_
  bool attached_ = false;             // guarded by mu_
  bool finished_ = false;             // guarded by mu_: the agent has ended, signals are ignored
  bool exit_ = false;                 // guarded by mu_: the thread must end
  std::thread thread_;
};

}  // namespace netward::service
