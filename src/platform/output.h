// Console output and message boxes. Without a desktop a message box is a line on standard error
// with its caption (and a journal entry when running as a service).
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace netward::platform {

class Output {
 public:
  virtual ~Output() = default;
  virtual void Write(const char* text) = 0;
  virtual void MessageBox(const char* text, const char* caption) = 0;
  // A line about something the user should put right (a setting that cannot be used): on the
  // console, and in the journal at warning priority when running as a service.
  virtual void Warning(const char* text) { Write(text); }
  // printf-style into a bounded buffer (longer output is cut at 4 KiB, as console lines are short).
  void Printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void WarningPrintf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

// Where a desktop shows message boxes: set by the desktop back end of the taskbar while it runs, and
// called (from any thread, without waiting for the user) by ConsoleOutput::MessageBox besides its
// line. Null: lines only.
using DesktopMessageBox = void (*)(const char* text, const char* caption);
void SetDesktopMessageBox(DesktopMessageBox show);

class ConsoleOutput : public Output {
 public:
  void Write(const char* text) override;
  void MessageBox(const char* text, const char* caption) override;
  void Warning(const char* text) override;
  // When set, message boxes and warnings also go to the journal (running as a service), under
  // `identifier` (a literal: it is kept, not copied).
  void SetJournal(bool on, const char* identifier) {
    journal_ = on;
    identifier_ = identifier;
  }

 private:
  bool journal_ = false;
  const char* identifier_ = "";
};

// Collects everything for tests.
class CapturedOutput : public Output {
 public:
  void Write(const char* text) override;
  void MessageBox(const char* text, const char* caption) override;
  void Warning(const char* text) override;  // into Text() and Warnings()
  std::string Text() const;
  std::vector<std::pair<std::string, std::string>> Boxes() const;
  std::vector<std::string> Warnings() const;

 private:
  mutable std::mutex mu_;
  std::string text_;
  std::vector<std::string> warnings_;
  std::vector<std::pair<std::string, std::string>> boxes_;
};

// Random source for the default key: seeded from the time, four 15-bit draws as the C library's
// classic generator gives them.
class Random {
 public:
  virtual ~Random() = default;
  virtual void Seed(uint32_t seed) = 0;
  virtual uint32_t Next() = 0;
};

class LibcRandom : public Random {
 public:
  void Seed(uint32_t seed) override;
  uint32_t Next() override;

 private:
  uint32_t state_ = 1;
};

}  // namespace netward::platform
