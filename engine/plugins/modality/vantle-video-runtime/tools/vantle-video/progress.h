// Progress on standard error for work that takes more than about a second,
// only when standard error is a terminal: pipes and logs stay clean.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace vantle::tool {

class Progress {
 public:
  Progress(std::string label, std::size_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // One more unit of work done.
  void step();

 private:
  std::string label_;
  std::size_t total_;
  std::size_t done_ = 0;
  bool terminal_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace vantle::tool
