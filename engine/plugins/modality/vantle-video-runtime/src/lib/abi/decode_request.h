// Body of vantle_video_runtime_decode.
#pragma once

#include <vector>

#include "common/result.h"
#include "conversion/orientation.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Checks both pointers, decodes, and writes the response only on success.
Status run_decode_request(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response);
// As run_decode_request, then checks the options and turns the pictures
// as they say.
Status run_decode_request_with_options(const RuntimeDecodeRequest* request,
                                       const RuntimeDecodeOptions* options,
                                       RuntimeDecodeResponse* response);
// The selected frames as response records; never touches a response.
Result<std::vector<RuntimeFrame>> decode_request_records(const RuntimeDecodeRequest& request,
                                                         Orientation orientation = {});
// The orientation the options ask for, or why they are refused.
Result<Orientation> read_decode_options(const RuntimeDecodeOptions& options);

}  // namespace vantle
