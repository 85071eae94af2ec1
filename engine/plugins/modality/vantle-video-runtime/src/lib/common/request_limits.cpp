#include "common/request_limits.h"

#include <atomic>
#include <cstdint>

#include "common/text.h"

namespace vantle {

namespace {
std::atomic<std::uint64_t> PICTURE_AREA_LIMIT{DEFAULT_PICTURE_AREA_LIMIT};
std::atomic<std::uint64_t> RESPONSE_LIMIT{DEFAULT_RESPONSE_LIMIT};

// The running call's response on this thread; trivially destroyed, so
// usable by thread-exit code.
struct ResponseCount {
  int calls = 0;
  bool inside_picture = false;
  std::uint64_t bytes = 0;
};
thread_local ResponseCount RESPONSE_COUNT;
}  // namespace

std::uint64_t picture_area_limit() noexcept {
  return PICTURE_AREA_LIMIT.load(std::memory_order_relaxed);
}

void set_picture_area_limit(std::uint64_t pixels) noexcept {
  PICTURE_AREA_LIMIT.store(pixels, std::memory_order_relaxed);
}

std::uint64_t response_limit() noexcept {
  return RESPONSE_LIMIT.load(std::memory_order_relaxed);
}

void set_response_limit(std::uint64_t bytes) noexcept {
  RESPONSE_LIMIT.store(bytes, std::memory_order_relaxed);
}

ResponseCountScope::ResponseCountScope() noexcept {
  if (RESPONSE_COUNT.calls++ == 0) {
    RESPONSE_COUNT.bytes = 0;
  }
}

ResponseCountScope::~ResponseCountScope() { --RESPONSE_COUNT.calls; }

Result<void> count_response_bytes(std::size_t size) {
  ResponseCount& count = RESPONSE_COUNT;
  if (count.calls == 0 || count.inside_picture) {
    return {};
  }
  const std::uint64_t limit = response_limit();
  std::uint64_t total = 0;
  if (__builtin_add_overflow(count.bytes, std::uint64_t{size}, &total)) {
    total = UINT64_MAX;
  }
  if (limit != 0 && total > limit) {
    return fail(
        str_cat("response exceeds the response limit of ", limit, " bytes (", total, " bytes)"));
  }
  count.bytes = total;
  return {};
}

void set_inside_response_picture(bool inside) noexcept {
  RESPONSE_COUNT.inside_picture = inside;
}

bool above_picture_area_limit(std::uint64_t width, std::uint64_t height,
                              std::uint64_t limit) noexcept {
  std::uint64_t area = 0;
  return limit != 0 && (__builtin_mul_overflow(width, height, &area) || area > limit);
}

std::string picture_area_refusal(std::string_view codec, std::uint64_t width, std::uint64_t height,
                                 std::uint64_t limit) {
  std::uint64_t area = 0;
  if (__builtin_mul_overflow(width, height, &area)) {
    area = UINT64_MAX;
  }
  return str_cat(codec, " stream declares a ", width, "x", height, " picture (", area,
                 " pixels), above the picture area limit of ", limit, " pixels");
}

}  // namespace vantle
