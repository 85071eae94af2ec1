// The tool's own FFmpeg glue: C includes, and one owning handle per FFmpeg
// object it creates, so every exit path frees what it made.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace vantle::tool {

// Calls f(&p) for the free functions that take the address (and reset it).
template <typename T, void (*Free)(T**)>
struct AddressDeleter {
  void operator()(T* p) const { Free(&p); }
};

using FormatContextHandle =
    std::unique_ptr<AVFormatContext, AddressDeleter<AVFormatContext, avformat_close_input>>;
using CodecContextHandle =
    std::unique_ptr<AVCodecContext, AddressDeleter<AVCodecContext, avcodec_free_context>>;
using FrameHandle = std::unique_ptr<AVFrame, AddressDeleter<AVFrame, av_frame_free>>;
using PacketHandle = std::unique_ptr<AVPacket, AddressDeleter<AVPacket, av_packet_free>>;

struct SwsDeleter {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
using SwsHandle = std::unique_ptr<SwsContext, SwsDeleter>;

// FFmpeg's text for an error code.
inline std::string ffmpeg_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace vantle::tool
