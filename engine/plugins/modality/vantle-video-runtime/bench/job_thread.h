// A thread of its own that runs the jobs handed to it one at a time, so a
// scenario can choose which thread makes a library call and which releases
// its response, and when each thread exits.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vantle::bench {

class JobThread {
 public:
  JobThread();
  // Stops the thread if stop() was not called.
  ~JobThread();
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Runs `job` on the thread and waits until it is done.
  void run(const std::function<void()>& job);
  // Lets the thread exit (its thread-local state destroyed) and joins it.
  void stop();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  const std::function<void()>* job_ = nullptr;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vantle::bench
