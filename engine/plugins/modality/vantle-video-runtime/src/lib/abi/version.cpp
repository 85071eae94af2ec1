// The version query: the library's own version and the FFmpeg libraries it
// was compiled against and is running with, which differ when the process
// loads another build of the same FFmpeg sonames.
#include <array>
#include <cstdio>
#include <type_traits>

#include "common/ffmpeg.h"
#include "vantle_video_runtime.h"

// The full version headers: the library headers include only the major
// number in some FFmpeg generations.
extern "C" {
#include <libavcodec/version.h>
#include <libavutil/version.h>
#include <libswscale/version.h>
}

#ifndef VANTLE_VIDEO_RUNTIME_VERSION
#error "VANTLE_VIDEO_RUNTIME_VERSION must give the project version"
#endif

namespace {

// A fixed array, neither allocated nor destroyed: the text stays readable
// from any thread until the library is unloaded, even during process exit.
struct VersionText {
  std::array<char, 256> text{};

  VersionText() noexcept {
    const unsigned codec = avcodec_version();
    const unsigned util = avutil_version();
    const unsigned scale = swscale_version();
    std::snprintf(text.data(), text.size(),
                  "vantle-video-runtime %s (libavcodec %d.%d.%d built, %u.%u.%u loaded; "
                  "libavutil %d.%d.%d built, %u.%u.%u loaded; "
                  "libswscale %d.%d.%d built, %u.%u.%u loaded)",
                  VANTLE_VIDEO_RUNTIME_VERSION, LIBAVCODEC_VERSION_MAJOR, LIBAVCODEC_VERSION_MINOR,
                  LIBAVCODEC_VERSION_MICRO, AV_VERSION_MAJOR(codec), AV_VERSION_MINOR(codec),
                  AV_VERSION_MICRO(codec), LIBAVUTIL_VERSION_MAJOR, LIBAVUTIL_VERSION_MINOR,
                  LIBAVUTIL_VERSION_MICRO, AV_VERSION_MAJOR(util), AV_VERSION_MINOR(util),
                  AV_VERSION_MICRO(util), LIBSWSCALE_VERSION_MAJOR, LIBSWSCALE_VERSION_MINOR,
                  LIBSWSCALE_VERSION_MICRO, AV_VERSION_MAJOR(scale), AV_VERSION_MINOR(scale),
                  AV_VERSION_MICRO(scale));
  }
};

static_assert(std::is_trivially_destructible_v<VersionText>);

}  // namespace

extern "C" {

VANTLE_VIDEO_RUNTIME_API const char* vantle_video_runtime_version(void) noexcept {
  // Made on the first call; the compiler guards the initialisation, so
  // threads that call at once all get the finished text.
  static const VersionText VERSION_TEXT;
  return VERSION_TEXT.text.data();
}

}  // extern "C"
