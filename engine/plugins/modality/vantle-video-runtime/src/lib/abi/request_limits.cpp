// The two exports over the bounds on what one stream may ask for.
#include <cstdint>

#include "common/request_limits.h"
#include "vantle_video_runtime.h"

extern "C" {

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_picture_area_limit(
    std::uint64_t pixels) noexcept {
  vantle::set_picture_area_limit(pixels);
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_response_limit(
    std::uint64_t bytes) noexcept {
  vantle::set_response_limit(bytes);
}

}  // extern "C"
