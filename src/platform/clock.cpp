#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace netward::platform {

LocalDate LocalDateOf(uint32_t time) {
  time_t t = static_cast<time_t>(time);
  struct tm tm {};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

LocalClock LocalClockOf(uint32_t time) {
  time_t t = static_cast<time_t>(time);
  struct tm tm {};
  localtime_r(&t, &tm);
  return {tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void ClockText(uint32_t time, char (&out)[9]) {
  const LocalClock c = LocalClockOf(time);
  const int parts[3] = {c.hour, c.minute, c.second};
  for (int i = 0; i < 3; ++i) {
    out[i * 3] = static_cast<char>('0' + parts[i] / 10 % 10);
    out[i * 3 + 1] = static_cast<char>('0' + parts[i] % 10);
    if (i < 2) out[i * 3 + 2] = ':';
  }
  out[8] = '\0';
}

void DayName(const LocalDate& d, char (&out)[9]) {
  snprintf(out, sizeof out, "%04u%02u%02u", unsigned(d.year) % 10000u, unsigned(d.month) % 100u,
           unsigned(d.day) % 100u);
}

uint32_t RealClock::Now() { return static_cast<uint32_t>(::time(nullptr)); }

bool RealClock::Wait(Event& event, uint32_t timeout_ms) { return event.WaitMs(timeout_ms); }

void RealClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t TestClock::Now() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<uint32_t>(now_ms_ / 1000);
}

bool TestClock::Wait(Event& event, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  uint64_t deadline = now_ms_ + timeout_ms;
  ++waiters_;
  ++waits_begun_;
  cv_.notify_all();
  // Poll the event in short real-time slices: the event has its own lock and cannot wake us here.
  while (!event.IsSet() && now_ms_ < deadline) cv_.wait_for(lock, std::chrono::milliseconds(2));
  --waiters_;
  return event.IsSet();
}

void TestClock::SleepMs(uint32_t ms) { Advance(ms); }

void TestClock::Advance(uint64_t ms) {
  std::lock_guard<std::mutex> lock(mu_);
  now_ms_ += ms;
  cv_.notify_all();
}

void TestClock::Set(uint32_t time) {
  std::lock_guard<std::mutex> lock(mu_);
  now_ms_ = uint64_t(time) * 1000;
  cv_.notify_all();
}

int TestClock::Waiters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return waiters_;
}

bool TestClock::AwaitWaiters(int n, uint32_t real_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(real_ms), [&] { return waiters_ >= n; });
}

uint64_t TestClock::WaitsBegun() const {
  std::lock_guard<std::mutex> lock(mu_);
  return waits_begun_;
}

bool TestClock::AwaitWaitsBegun(uint64_t n, uint32_t real_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(real_ms), [&] { return waits_begun_ >= n; });
}

}  // namespace netward::platform
