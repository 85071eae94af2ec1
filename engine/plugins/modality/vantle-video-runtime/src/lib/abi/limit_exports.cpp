// The four exports over the bounds a host sets: on what one stream may ask
// for, and on the memory kept between calls.
#include <cstdint>

#include "common/kept_memory.h"
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

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_release_kept_memory(void) noexcept {
  vantle::release_kept_memory();
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_kept_memory_limit(
    std::uint64_t bytes) noexcept {
  vantle::set_kept_memory_limit(bytes);
}

}  // extern "C"
