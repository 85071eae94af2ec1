#include "ffmpeg_threads.h"

#include <climits>
#include <cstdlib>
#include <string>

namespace vantle::bench {

namespace {
constexpr const char* THREADS_VARIABLE = "VANTLE_VIDEO_FFMPEG_THREADS";
}  // namespace

void set_ffmpeg_threads(int count) {
  setenv(THREADS_VARIABLE, std::to_string(count).c_str(), 1);
}

int ffmpeg_threads() {
  const char* text = std::getenv(THREADS_VARIABLE);
  if (text == nullptr || *text == '\0') {
    return 1;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || *text == '-' || *text == ' ' || value > INT_MAX) {
    return 1;
  }
  return static_cast<int>(value);
}

}  // namespace vantle::bench
