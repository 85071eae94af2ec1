#include "job_thread.h"

namespace vantle::bench {

JobThread::JobThread() : thread_([this] { loop(); }) {}

JobThread::~JobThread() {
  stop();
}

void JobThread::run(const std::function<void()>& job) {
  std::unique_lock lock(mutex_);
  job_ = &job;
  changed_.notify_all();
  changed_.wait(lock, [this] { return job_ == nullptr; });
}

void JobThread::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void JobThread::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return job_ != nullptr || stopping_; });
    if (job_ == nullptr) {
      return;
    }
    (*job_)();
    job_ = nullptr;
    changed_.notify_all();
  }
}

}  // namespace vantle::bench
