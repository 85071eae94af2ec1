// Decode a run, keep the frames at the selected display positions and
// re-encode exactly those as one fresh H.264 group of pictures.
#pragma once

#include <vector>

#include "common/byte_buffer.h"
#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

// One Annex B access unit per distinct selected position, in display order,
// the first a key frame; or the first failure's message, with nothing kept.
// FFmpeg must have been set up already.
Result<std::vector<ByteBuffer>> transcode_to_h264(const RuntimeTranscodeRequest& request);

}  // namespace vantle
