// The bounds a host sets on what one stream may make the library allocate:
// the area of a decoded picture and the pixel bytes of one response.
// Process-wide, read at every call; setting them never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vantle {

// DCI 8K (8192 x 4320) is admitted; the 2112 x 31744 pictures (67 Mpx) that
// fuzzed parameter sets declare are not.
inline constexpr std::uint64_t DEFAULT_PICTURE_AREA_LIMIT = std::uint64_t{8192} * 4320;
inline constexpr std::uint64_t DEFAULT_RESPONSE_LIMIT = std::uint64_t{4} << 30;

// 0: FFmpeg's own limit.
std::uint64_t picture_area_limit() noexcept;
void set_picture_area_limit(std::uint64_t pixels) noexcept;
// 0: no bound.
std::uint64_t response_limit() noexcept;
void set_response_limit(std::uint64_t bytes) noexcept;

// One request call's response on the calling thread, counted against the
// response limit from zero; nested scopes share the outermost one's count.
class ResponseCountScope {
 public:
  ResponseCountScope() noexcept;
  ~ResponseCountScope();
  ResponseCountScope(const ResponseCountScope&) = delete;
  ResponseCountScope& operator=(const ResponseCountScope&) = delete;
};

// Adds `size` bytes to the running call's response. Fails, counting
// nothing, when that would take it over the limit: "response exceeds the
// response limit of {limit} bytes ({total} bytes)". Outside a call, and
// while the buffers of a picture already counted whole are allocated
// (set_inside_response_picture), nothing is counted.
Result<void> count_response_bytes(std::size_t size);
void set_inside_response_picture(bool inside) noexcept;

// Whether a width x height picture is above `limit` (0 admits everything).
bool above_picture_area_limit(std::uint64_t width, std::uint64_t height,
                              std::uint64_t limit) noexcept;

// "{codec} stream declares a {w}x{h} picture ({n} pixels), above the
// picture area limit of {limit} pixels"
std::string picture_area_refusal(std::string_view codec, std::uint64_t width, std::uint64_t height,
                                 std::uint64_t limit);

}  // namespace vantle
