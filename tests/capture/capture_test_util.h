// Shared fixture pieces of the capture tests: a NicArea with the process's GlobalArea, a capture
// thread around it, and waiting helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <functional>
#include <thread>

#include "capture/capture_thread.h"
#include "platform/output.h"

namespace netward {

// Standard output of a shell command line (stderr as the line itself redirects it).
inline std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class CaptureRun {
 public:
  CaptureRun() : nic_(AllocateNicArea()) {
    if (Global() == nullptr) g_global_area.store(AllocateGlobalArea());
    nic_->Global = Global();  // counts into it without being listed there: the run frees the adapter
  }
  ~CaptureRun() {
    Stop();
    delete nic_;
  }
  void Start(PacketDriver& driver, bool promiscuous = false, const char16_t* device = u"\\Device\\TapEye_test",
             AccountEntry account = AccountFramePlaceholder) {
    for (int i = 0; device[i] && i < 127; ++i) nic_->DeviceName[i] = device[i];
    ctx_.driver = &driver;
    ctx_.stop_request = &stop_;
    ctx_.out = &out_;
    ctx_.force_promiscuous = promiscuous;
    ctx_.common_stop = [this] { ++common_stops_; };
    ctx_.account_8023 = account;
    ctx_.account_8025 = account;
    thread_ = std::thread([this] {
      CaptureThread(nic_, ctx_);
      ended_ = true;
    });
  }
  void Stop() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
  }
  bool Ended() const { return ended_; }
  bool Join(int ms) {
    if (!WaitUntil([this] { return Ended(); }, ms)) return false;
    thread_.join();
    return true;
  }
  NicArea* nic() { return nic_; }
  platform::CapturedOutput& out() { return out_; }
  platform::Event& stop() { return stop_; }
  int common_stops() const { return common_stops_; }
  uint32_t FramesRead() const { return RelaxedLoad(nic_->FramesRead); }

 private:
  NicArea* nic_;
  CaptureContext ctx_;
  platform::Event stop_;
  platform::CapturedOutput out_;
  std::atomic<int> common_stops_{0};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace netward
