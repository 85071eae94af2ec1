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

}  // namespace vantle::media
