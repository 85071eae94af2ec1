// Internal frame values as the host's RuntimeFrame records.
#pragma once

#include "conversion/rgb_converter.h"
#include "conversion/yuv420.h"
#include "vantle_video_runtime.h"

namespace vantle {

// The planes are handed over, not copied; the colour fields are the frame's.
RuntimeFrame to_runtime_frame(Yuv420Frame&& picture);
// The pixels are handed over, not copied; RGB output carries no colour
// description (0, 2, 2, 2).
RuntimeFrame to_runtime_frame(RgbFrame&& picture);

}  // namespace vantle
