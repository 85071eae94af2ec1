#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vantle::tool {

Progress::Progress(std::string label, std::size_t total)
    : label_(std::move(label)),
      total_(total),
      terminal_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

Progress::~Progress() {
  if (shown_) {
    std::fprintf(stderr, "\r%s: %zu/%zu\n", label_.c_str(), done_, total_);
  }
}

void Progress::step() {
  ++done_;
  if (!terminal_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::seconds(1) ||
      (shown_ && now - last_ < std::chrono::milliseconds(200))) {
    return;
  }
  shown_ = true;
  last_ = now;
  std::fprintf(stderr, "\r%s: %zu/%zu", label_.c_str(), done_, total_);
  std::fflush(stderr);
}

}  // namespace vantle::tool
