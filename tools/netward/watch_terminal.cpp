#include "watch_terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "exit_status.h"
#include "reply_parser.h"
#include "watch_view.h"

namespace netward::client {

namespace {

constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";  // alternate screen, cursor hidden
constexpr char kLeaveScreen[] = "\x1b[?25h\x1b[?1049l";
constexpr char kHome[] = "\x1b[H";
constexpr char kClearToEndOfLine[] = "\x1b[K";
constexpr char kClearToEnd[] = "\x1b[J";

volatile sig_atomic_t g_quit = 0;
volatile sig_atomic_t g_resized = 0;

void OnQuit(int) { g_quit = 1; }
void OnResize(int) { g_resized = 1; }

void WriteAll(const std::string& s) {
  for (size_t done = 0; done < s.size();) {
    ssize_t n = write(STDOUT_FILENO, s.data() + done, s.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR) return;
  }
}

// The first `columns` characters of a UTF-8 line.
std::string Cut(const std::string& line, size_t columns) {
  size_t chars = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80 && chars++ == columns) return line.substr(0, i);
  }
  return line;
}

// The terminal while the watch runs: its screen, its keys, and the signals that end or resize it.
class Terminal {
 public:
  Terminal() : screen_(isatty(STDOUT_FILENO) == 1), keys_(isatty(STDIN_FILENO) == 1) {
    struct sigaction sa {};
    sa.sa_handler = OnQuit;  // no SA_RESTART: a wait ends at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    sa.sa_handler = OnResize;
    sigaction(SIGWINCH, &sa, nullptr);
    if (keys_ && tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      keys_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    } else {
      keys_ = false;
    }
    if (screen_) WriteAll(kEnterScreen);
  }
  ~Terminal() {
    if (screen_) WriteAll(kLeaveScreen);
    if (keys_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

  void Size(size_t& rows, size_t& columns) const {
    winsize ws{};
    rows = 24;
    columns = 80;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
      rows = ws.ws_row;
      columns = ws.ws_col;
    }
  }

  void Draw(const std::vector<std::string>& lines, size_t columns) {
    std::string out;
    if (screen_) {
      out = kHome;
      for (size_t i = 0; i < lines.size(); ++i) {
        out += Cut(lines[i], columns) + kClearToEndOfLine;
        if (i + 1 < lines.size()) out += "\r\n";
      }
      out += kClearToEnd;
    } else {
      for (const std::string& l : lines) out += l + "\n";
      out += "\n";
    }
    WriteAll(out);
  }

  // Waits up to `ms` for a key; the key, or 0 when the time passed or a signal came.
  char WaitKey(int ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (!keys_) {
      poll(nullptr, 0, ms);
      return 0;
    }
    if (poll(&p, 1, ms) != 1) return 0;
    char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : 0;
  }

 private:
  bool screen_, keys_;
  termios saved_{};
};

std::string Clock() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[16];
  strftime(buf, sizeof buf, "%H:%M:%S", &local);
  return buf;
}

// Polls and redraws until 'q' or a signal; true when the agent refused the key.
bool WatchLoop(const WatchSettings& s, AgentConnection& conn, const std::string& where) {
  using Steady = std::chrono::steady_clock;
  char every[32];
  std::snprintf(every, sizeof every, "%g", s.interval_seconds);
  Terminal terminal;
  WatchView view;
  bool connected = true, have_poll = false;
  Steady::time_point last_poll{};
  std::string trouble, err;
  while (!g_quit) {
    const Steady::time_point began = Steady::now();
    if (!connected) connected = conn.Open(s.target, err);
    RequestReply reply;
    if (connected && conn.Request(s.key, s.request, reply, err)) {
      if (reply.result == kResultKeyRejected) return true;
      ParsedReply parsed;
      ParseError perr;
      if (reply.result != 0) {
        trouble = "unexpected result " + std::to_string(static_cast<int32_t>(reply.result));
      } else if (!ParseReplyBlock(reply.block, parsed, perr)) {
        trouble = perr.Message();
      } else {
        const double elapsed = have_poll ? std::chrono::duration<double>(began - last_poll).count() : 0;
        view.Update(parsed, elapsed);
        have_poll = true;
        last_poll = began;
        trouble.clear();
      }
    } else {
      connected = false;
      trouble = "agent unreachable (" + err + "), trying again every " + every + " s";
    }
    for (bool redraw = true; redraw && !g_quit;) {
      size_t rows, columns;
      terminal.Size(rows, columns);
      rows = std::max<size_t>(rows, 3);
      const std::string title = "netward --watch " + std::string(every) + " '" + s.request + "'  " + where + "  " +
                                Clock() + "  (q quits)";
      std::vector<std::string> lines = view.Lines(title, trouble.empty() ? rows : rows - 1);
      if (!trouble.empty()) lines.insert(lines.begin() + 1, "!! " + trouble);
      terminal.Draw(lines, columns);
      redraw = false;
      // Keys and resizes until the next poll is due.
      for (;;) {
        const auto due = began + std::chrono::duration<double>(s.interval_seconds);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Steady::now()).count();
        if (left <= 0 || g_quit) break;
        const char key = terminal.WaitKey(static_cast<int>(left));
        if (key == 'q' || key == 'Q') g_quit = 1;
        if (key == ' ') break;  // poll now
        if (g_resized) {
          g_resized = 0;
          redraw = true;
          break;
        }
      }
    }
  }
  return false;
}

}  // namespace

int RunWatch(const WatchSettings& s) {
  AgentConnection conn;
  std::string err;
  if (!conn.Open(s.target, err)) {
    std::fprintf(stderr, "netward: %s\n", err.c_str());
    return kExitUnreachable;
  }
  if (WatchLoop(s, conn, conn.Where())) {
    // Said after the terminal is given back, so that the line stays on it.
    std::fprintf(stderr, "netward: key rejected by the agent at %s (result -2)\n", conn.Where().c_str());
    return kExitKeyRejected;
  }
  return kExitOk;
}

}  // namespace netward::client
