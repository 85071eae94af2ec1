// FFmpeg glue for the programs around the library (the tool, the example host,
// the tests' media): C includes and one owning handle per FFmpeg object they
// create, so every exit path frees what it made. The library keeps its own
// handles; nothing here reaches into it.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>
#include <type_traits>

namespace vantle::media {

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

template <typename T, auto Release>
using FfmpegHandle = std::unique_ptr<T, FfmpegDeleter<T, Release>>;

using CodecContextHandle = FfmpegHandle<AVCodecContext, avcodec_free_context>;
using FrameHandle = FfmpegHandle<AVFrame, av_frame_free>;
using PacketHandle = FfmpegHandle<AVPacket, av_packet_free>;
using SwsHandle = FfmpegHandle<SwsContext, sws_freeContext>;
using DictionaryHandle = FfmpegHandle<AVDictionary, av_dict_free>;

// FFmpeg's text for an error code.
inline std::string ffmpeg_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace vantle::media
