// The one thread that talks to the agent, so that a slow or silent agent never blocks the window:
// a job (a function of the reply source) runs here, and its completion is handed back through
// `post`, which the window sets to queue it on its main loop. One job at a time; a job submitted
// while one runs is refused and the caller tries again at its next refresh.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "reply_source.h"

namespace netward::console {

class FetchWorker {
 public:
  using Done = std::function<void()>;
  // Runs on the worker; returns what is to run back on the caller's loop.
  using Job = std::function<Done(ReplySource&)>;
  using Post = std::function<void(Done)>;

  FetchWorker(std::unique_ptr<ReplySource> source, Post post);
  ~FetchWorker();  // waits for a running job (bounded by the connection's timeout)
  FetchWorker(const FetchWorker&) = delete;
  FetchWorker& operator=(const FetchWorker&) = delete;

  bool Submit(Job job);
  bool busy() const;
  bool live() const { return live_; }
  std::string Where() const { return where_; }

 private:
  void Run();
  std::unique_ptr<ReplySource> source_;
  Post post_;
  const bool live_;
  const std::string where_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  Job job_;            // guarded by mu_
  bool running_ = false;  // a job was taken and has not finished; guarded by mu_
  bool stop_ = false;     // guarded by mu_
  std::thread thread_;
};

// When a view asks again: every `period` seconds after its previous fetch ended, while it is shown
// and none of its fetches is under way; at once after Force (shown again, a new day chosen).
class RefreshClock {
 public:
  explicit RefreshClock(double period) : period_(period) {}
  bool Due(double now, bool shown) const;
  void Started() { in_flight_ = true; }
  void Finished(double now);
  void Force() { forced_ = true; }
  bool in_flight() const { return in_flight_; }

 private:
  double period_;
  double last_end_ = 0;
  bool ever_ = false, in_flight_ = false, forced_ = false;
};

}  // namespace netward::console
