// The files the decode subcommand writes: PNG pictures (libavcodec's PNG
// encoder) and YUV 4:2:0 runs as YUV4MPEG2 (.y4m).
#pragma once

#include <span>
#include <string>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle::tool {

// One RGB frame as a PNG file: 8 bits per sample, 16 for Rgb48 frames.
Status write_png(const RuntimeFrame& frame, const std::string& path);

// YUV 4:2:0 frames (all of one size and format) as one YUV4MPEG2 stream:
// C420jpeg, or C420p16 for Yuv420P16 frames, progressive, the frame rate given, XCOLORRANGE when
// the range is known.
Status write_y4m(std::span<const RuntimeFrame> frames, int rate_num, int rate_den,
                 const std::string& path);

}  // namespace vantle::tool
