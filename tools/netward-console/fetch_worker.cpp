#include "fetch_worker.h"

namespace netward::console {

FetchWorker::FetchWorker(std::unique_ptr<ReplySource> source, Post post)
    : source_(std::move(source)), post_(std::move(post)), live_(source_->live()), where_(source_->Where()) {
  thread_ = std::thread([this] { Run(); });
}

FetchWorker::~FetchWorker() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    job_ = nullptr;
  }
  cv_.notify_all();
  thread_.join();
}

bool FetchWorker::Submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (running_ || job_ || stop_) return false;
    job_ = std::move(job);
  }
  cv_.notify_all();
  return true;
}

bool FetchWorker::busy() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_ || job_ != nullptr;
}

void FetchWorker::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || job_ != nullptr; });
    if (stop_) return;
    Job job = std::move(job_);
    job_ = nullptr;
    running_ = true;
    lock.unlock();
    Done done = job(*source_);
    lock.lock();
    running_ = false;
    // Handed over only after running_ is clear, so that the completion may submit the next job.
    if (done && !stop_) {
      lock.unlock();
      post_(std::move(done));
      lock.lock();
    }
  }
}

bool RefreshClock::Due(double now, bool shown) const {
  if (!shown || in_flight_) return false;
  return forced_ || !ever_ || now - last_end_ >= period_;
}

void RefreshClock::Finished(double now) {
  in_flight_ = false;
  forced_ = false;
  ever_ = true;
  last_end_ = now;
}

}  // namespace netward::console
