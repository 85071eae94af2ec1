// The ABI codec enumeration, seen from FFmpeg and from messages.
#pragma once

#include <string_view>

#include "common/ffmpeg.h"
#include "vantle_video_runtime.h"

namespace vantle {

// "H.264", "AV1", or "H.265" for every other value.
std::string_view name(RuntimeCodec codec) noexcept;
// The FFmpeg decoder looked up for the codec; every value other than H.264
// and AV1 is HEVC.
AVCodecID ffmpeg_id(RuntimeCodec codec) noexcept;

}  // namespace vantle
