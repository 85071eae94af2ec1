// FFmpeg glue for the programs around the library (the tool, the example host,
// the tests, the benchmark): the library's own owning handles, under their own
// names (common/ffmpeg.h: header-only, FFmpeg alone), plus what only these
// programs need. The two helpers behave as the library's own do; nothing here
// links the library.
#pragma once

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>

#include "common/ffmpeg.h"

namespace vantle::media {

using DictionaryHandle = FfmpegHandle<AVDictionary, av_dict_free>;

// The library's text for an FFmpeg status code (common/ffmpeg_error.cpp):
// FFmpeg's own for its error tags, the C library's for a system error number,
// never the bare number. av_strerror fails only on a system number the C
// library does not know, where it would fall back to the bare number.
inline std::string ffmpeg_error_text(int code) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE * 4> buffer{};
  if (av_strerror(code, buffer.data(), buffer.size()) < 0 && code < 0) {
    // GNU strerror_r: returns the text, which may or may not live in buffer.
    return strerror_r(-code, buffer.data(), buffer.size());
  }
  return buffer.data();
}

// Gives a fresh, unopened context a copy of `extradata` followed by FFmpeg's
// zeroed padding, as the library's decoders get theirs: the context owns the
// copy from the moment it is set, also when its size is refused. No extradata
// sets nothing. False when out of memory or when the size exceeds FFmpeg's
// int.
inline bool set_extradata(AVCodecContext& context, std::span<const std::uint8_t> extradata) {
  if (extradata.empty()) {
    return true;
  }
  std::size_t padded = 0;
  if (__builtin_add_overflow(extradata.size(), std::size_t{AV_INPUT_BUFFER_PADDING_SIZE},
                             &padded)) {
    return false;
  }
  auto* copy = static_cast<std::uint8_t*>(av_mallocz(padded));
  if (copy == nullptr) {
    return false;
  }
  std::memcpy(copy, extradata.data(), extradata.size());
  context.extradata = copy;
  if (extradata.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return false;
  }
  context.extradata_size = static_cast<int>(extradata.size());
  return true;
}

}  // namespace vantle::media
