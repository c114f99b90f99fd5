#include "platform/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef NETWARD_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace netward::platform {

namespace {
std::atomic<DesktopMessageBox> g_desktop_box{nullptr};
}  // namespace

void SetDesktopMessageBox(DesktopMessageBox show) { g_desktop_box.store(show); }

namespace {
// A formatted line, cut at 4095 bytes.
struct Line {
  char text[4096];
};
Line FormatLine(const char* fmt, va_list ap) {
  Line line;
  vsnprintf(line.text, sizeof line.text, fmt, ap);
  return line;
}
}  // namespace

void Output::Printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const Line line = FormatLine(fmt, ap);
  va_end(ap);
  Write(line.text);
}

void Output::WarningPrintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const Line line = FormatLine(fmt, ap);
  va_end(ap);
  Warning(line.text);
}

void ConsoleOutput::Write(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

void ConsoleOutput::MessageBox(const char* text, const char* caption) {
  fprintf(stderr, "%s: %s\n", caption, text);
  fflush(stderr);
#ifdef NETWARD_HAVE_SYSTEMD
  if (journal_)
    sd_journal_send("MESSAGE=%s: %s", caption, text, "PRIORITY=3", "SYSLOG_IDENTIFIER=%s", identifier_, nullptr);
#endif
  if (DesktopMessageBox show = g_desktop_box.load()) show(text, caption);
}

void ConsoleOutput::Warning(const char* text) {
#ifdef NETWARD_HAVE_SYSTEMD
  // A service's standard output is the journal already: the line goes there once, as a warning.
  if (journal_) {
    std::string line(text);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=4", "SYSLOG_IDENTIFIER=%s", identifier_, nullptr);
    return;
  }
#endif
  Write(text);
}

void CapturedOutput::Write(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  text_ += text;
}

void CapturedOutput::MessageBox(const char* text, const char* caption) {
  std::lock_guard<std::mutex> lock(mu_);
  boxes_.emplace_back(text, caption);
}

void CapturedOutput::Warning(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  text_ += text;
  warnings_.emplace_back(text);
}

std::vector<std::string> CapturedOutput::Warnings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return warnings_;
}

std::string CapturedOutput::Text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

std::vector<std::pair<std::string, std::string>> CapturedOutput::Boxes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return boxes_;
}

// The classic linear congruential generator of the C library (multiplier 214013, increment 2531011,
// bits 16-30 returned), so that a key made from a given seed is the same on every platform.
void LibcRandom::Seed(uint32_t seed) { state_ = seed; }

uint32_t LibcRandom::Next() {
  state_ = state_ * 214013u + 2531011u;
  return (state_ >> 16) & 0x7FFF;
}

}  // namespace netward::platform
