// The one place that includes FFmpeg: C headers, version switches and owning
// handles for every FFmpeg object the library holds.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>
#include <type_traits>

// FFmpeg 6.1 (libavutil 58.29) added the AVFrame flags that replace
// key_frame / interlaced_frame, which 9.0 removed.
#define VANTLE_FFMPEG_HAS_FRAME_FLAGS (LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 29, 100))

namespace vantle {

namespace detail {

// Calls an FFmpeg release function, whichever of the two conventions it
// follows: `f(&p)` (which also nulls the pointer) or `f(p)`.
template <typename T, auto Release>
struct FfmpegDeleter {
  void operator()(T* pointer) const noexcept {
    if constexpr (std::is_invocable_v<decltype(Release), T**>) {
      Release(&pointer);
    } else {
      Release(pointer);
    }
  }
};

inline void release_packet(AVPacket** packet) noexcept {
  av_packet_free(packet);
}

}  // namespace detail

// The number an FFmpeg enumeration field holds. Decoders and hosts may store
// codes this generation's enumeration does not list; reading them as plain
// ints keeps such values from ever being loaded as out-of-range enums.
template <typename Enum>
int enum_code(const Enum& field) noexcept {
  static_assert(sizeof(Enum) == sizeof(int));
  int code = 0;
  std::memcpy(&code, &field, sizeof code);
  return code;
}

template <typename Enum>
void set_enum_code(Enum& field, int code) noexcept {
  static_assert(sizeof(Enum) == sizeof(int));
  std::memcpy(&field, &code, sizeof code);
}

template <typename T, auto Release>
using FfmpegHandle = std::unique_ptr<T, detail::FfmpegDeleter<T, Release>>;

using CodecContextHandle = FfmpegHandle<AVCodecContext, avcodec_free_context>;
using FrameHandle = FfmpegHandle<AVFrame, av_frame_free>;
// av_packet_free unreferences the payload and frees the packet itself.
using PacketHandle = FfmpegHandle<AVPacket, detail::release_packet>;
using SwsContextHandle = FfmpegHandle<SwsContext, sws_freeContext>;

// One decoded frame exactly as the decoder returned it (possibly a hardware
// frame). Declared here, not beside the decoder, because frame conversion
// consumes it and must not depend on decoding.
struct FfmpegDecodedFrame {
  FrameHandle frame;
};

}  // namespace vantle
