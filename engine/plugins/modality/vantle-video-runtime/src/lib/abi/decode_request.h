// Body of vantle_video_runtime_decode.
#pragma once

#include <vector>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Checks both pointers, decodes, and writes the response only on success.
Status decode_runtime_request(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response);
// The selected frames as response records; never touches a response.
Result<std::vector<RuntimeFrame>> handle_runtime_request(const RuntimeDecodeRequest& request);

}  // namespace vantle
