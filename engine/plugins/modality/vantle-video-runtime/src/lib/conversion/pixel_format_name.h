// Pixel-format names as the rejection messages print them.
#pragma once

#include <string>

#include "common/ffmpeg.h"

namespace vantle {

// The AV_PIX_FMT_ constant without its prefix ("NV12", "YUV420P10LE",
// "GRAY8"), except "MonoWhite", "MonoBlack", "ZRGB", "RGBZ", "ZBGR", "BGRZ"
// and "None" for AV_PIX_FMT_NONE.
std::string pixel_format_name(AVPixelFormat format);

}  // namespace vantle
