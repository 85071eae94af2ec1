// Body of vantle_video_runtime_transcode_h264.
#pragma once

#include <vector>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Checks both pointers, sets FFmpeg up, transcodes, and writes the response
// only on success.
Status run_transcode_request(const RuntimeTranscodeRequest* request,
                             RuntimeTranscodeResponse* response);

}  // namespace vantle
