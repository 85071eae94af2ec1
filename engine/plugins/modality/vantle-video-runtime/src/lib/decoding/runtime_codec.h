// The ABI codec enumeration, seen from FFmpeg and from messages.
#pragma once

#include <string_view>

#include "common/ffmpeg.h"
#include "vantle_video_runtime.h"

namespace vantle {

// "H.264", "AV1", "VP9", "VP8", or "H.265" for every other value.
std::string_view name(RuntimeCodec codec) noexcept;
// The FFmpeg decoder looked up for the codec; every value the header does not
// list is HEVC.
AVCodecID ffmpeg_id(RuntimeCodec codec) noexcept;
// H.264 and H.265 (every unlisted value) carry parameter sets in NAL units;
// AV1, VP9 and VP8 do not.
bool carries_nal_units(RuntimeCodec codec) noexcept;

}  // namespace vantle
