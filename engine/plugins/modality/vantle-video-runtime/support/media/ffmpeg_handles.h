// FFmpeg glue for the programs around the library (the tool, the example host,
// the tests' media, the benchmark's ceiling): the library's own owning handles
// (one definition, header-only, FFmpeg alone) under the names these programs
// use, plus what only they need. Nothing here links the library.
#pragma once

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "common/ffmpeg.h"

namespace vantle::media {

using vantle::CodecContextHandle;
using vantle::FfmpegHandle;
using vantle::FrameHandle;
using vantle::PacketHandle;
using SwsHandle = vantle::SwsContextHandle;
using DictionaryHandle = FfmpegHandle<AVDictionary, av_dict_free>;

// FFmpeg's text for an error code.
inline std::string ffmpeg_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// Gives the context a copy of `extradata` with the zeroed padding FFmpeg
// reads past its end; false when out of memory.
inline bool set_extradata(AVCodecContext& context, std::span<const std::uint8_t> extradata) {
  if (extradata.empty()) {
    return true;
  }
  auto* copy =
      static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (copy != nullptr) {
    std::memcpy(copy, extradata.data(), extradata.size());
    context.extradata = copy;
    context.extradata_size = static_cast<int>(extradata.size());
  }
  return copy != nullptr;
}

}  // namespace vantle::media
