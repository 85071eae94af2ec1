#include "common/request_limits.h"

#include <atomic>
#include <cstdint>

#include "common/text.h"

namespace vantle {

namespace {
std::atomic<std::uint64_t> PICTURE_AREA_LIMIT{DEFAULT_PICTURE_AREA_LIMIT};
std::atomic<std::uint64_t> RESPONSE_LIMIT{DEFAULT_RESPONSE_LIMIT};
thread_local bool INSIDE_RESPONSE_PICTURE = false;
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

void set_inside_response_picture(bool inside) noexcept {
  INSIDE_RESPONSE_PICTURE = inside;
}

bool inside_response_picture() noexcept {
  return INSIDE_RESPONSE_PICTURE;
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
