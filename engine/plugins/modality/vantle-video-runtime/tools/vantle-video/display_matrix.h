// A stream's display matrix as the tool reports it, and the turn that shows
// its pictures upright.
#pragma once

#include <string>

#include "clip.h"
#include "vantle_video_runtime.h"

namespace vantle::tool {

// The decode options that show the clip's pictures upright (nothing asked
// without a display matrix), as the ffmpeg command line's autorotation.
RuntimeDecodeOptions upright_options(const Clip& clip);

// "turned 90 degrees clockwise and flipped horizontally", "kept as stored".
std::string turn_text(const RuntimeDecodeOptions& options);

// The rotation ffprobe reports for the matrix, in whole degrees
// (counter-clockwise), then what decode does with it:
// "-90 (display matrix; decode: turned 90 degrees clockwise)".
std::string rotation_text(const Clip& clip);

}  // namespace vantle::tool
