#include "common/ffmpeg_setup.h"

#include <cstdlib>
#include <mutex>

#include "common/ffmpeg.h"

namespace vantle {

namespace {
std::once_flag FFMPEG_INIT;

}  // namespace

void ensure_ffmpeg_initialized() noexcept {
  // The linked FFmpeg generations need no registration call; only the
  // process-wide log level is set.
  std::call_once(FFMPEG_INIT, [] { av_log_set_level(AV_LOG_WARNING); });
}

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::uint64_t ffmpeg_thread_count_from_env() noexcept {
  const char* value = std::getenv(THREAD_COUNT_VARIABLE);
  if (value == nullptr) {
    return 1;
  }
  // A value that is not valid UTF-8 holds a byte that is no ASCII digit, so
  // it fails the parse and gives 1 as well.
  return parse_thread_count(value).value_or(1);
}

}  // namespace vantle
