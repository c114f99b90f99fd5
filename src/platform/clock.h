// Every time the agent uses comes from a Clock: the real one, or a test clock that a test moves.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/event.h"

namespace netward::platform {

struct LocalDate {
  int year = 0;   // e.g. 2026
  int month = 0;  // 1-12
  int day = 0;    // 1-31
};

// Local time of day.
struct LocalClock {
  int hour = 0;    // 0-23
  int minute = 0;  // 0-59
  int second = 0;  // 0-60
};

// Local calendar date and time of day of a time in seconds since 1970 (the process's time zone).
LocalDate LocalDateOf(uint32_t time);
LocalClock LocalClockOf(uint32_t time);
// "YYYYMMDD" of the local date; `out` holds at least 9 bytes.
void DayName(const LocalDate& d, char (&out)[9]);
// "HH:MM:SS" of the local time of day, NUL-terminated. Formatted by hand: the detail replies call
// it for hundreds of lines.
void ClockText(uint32_t time, char (&out)[9]);

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970, as `time` gives them.
  virtual uint32_t Now() = 0;
  // Waits until `event` is set or `timeout_ms` has passed on this clock. True when the event was set.
  virtual bool Wait(Event& event, uint32_t timeout_ms) = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  LocalDate Today() { return LocalDateOf(Now()); }
};

class RealClock : public Clock {
 public:
  uint32_t Now() override;
  bool Wait(Event& event, uint32_t timeout_ms) override;
  void SleepMs(uint32_t ms) override;
};

// A clock that moves only when the test says so. Waits end when their event is set or when Advance
// carries the clock past their deadline.
class TestClock : public Clock {
 public:
  explicit TestClock(uint32_t start_time) : now_ms_(uint64_t(start_time) * 1000) {}
  uint32_t Now() override;
  bool Wait(Event& event, uint32_t timeout_ms) override;
  void SleepMs(uint32_t ms) override;  // returns at once, moving the clock
  void Advance(uint64_t ms);
  void Set(uint32_t time);
  // Number of Wait calls currently blocked (lets a test know the loop has reached its wait).
  int Waiters() const;
  // Waits (in real time, up to `real_ms`) until at least `n` Wait calls are blocked.
  bool AwaitWaiters(int n, uint32_t real_ms);
  // Wait calls begun since the clock was made, and a real-time wait for that count to reach `n`.
  uint64_t WaitsBegun() const;
  bool AwaitWaitsBegun(uint64_t n, uint32_t real_ms);

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t now_ms_;
  int waiters_ = 0;
  uint64_t waits_begun_ = 0;
};

}  // namespace netward::platform
