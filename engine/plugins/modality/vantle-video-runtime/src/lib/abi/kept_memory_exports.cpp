// The two exports over what the library keeps for reuse between calls.
#include <cstdint>

#include "common/kept_memory.h"
#include "vantle_video_runtime.h"

extern "C" {

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_release_kept_memory(void) noexcept {
  vantle::release_kept_memory();
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_kept_memory_limit(
    std::uint64_t bytes) noexcept {
  vantle::set_kept_memory_limit(bytes);
}

}  // extern "C"
