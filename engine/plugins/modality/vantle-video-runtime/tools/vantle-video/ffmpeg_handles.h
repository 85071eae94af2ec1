// The shared FFmpeg handles under the tool's own names.
#pragma once

#include "media/ffmpeg_handles.h"

namespace vantle::tool {

using media::CodecContextHandle;
using media::ffmpeg_error_text;
using media::FrameHandle;
using media::PacketHandle;
using media::SwsHandle;

}  // namespace vantle::tool
