// The three request exports, as the tool calls them: a response that frees
// itself (runtime/owned_response.h), and the library's own message on failure.
#pragma once

#include <string>

#include "common/result.h"
#include "runtime/owned_response.h"

namespace vantle::tool {

using runtime::AccessUnits;
using runtime::DecodedFrames;
using runtime::IndexedFrames;

// Each answers the response, or the library's last error message.
Result<DecodedFrames> decode(const RuntimeDecodeRequest& request);
Result<IndexedFrames> decode_indexed(const RuntimeDecodeRequest& request);
Result<AccessUnits> transcode_h264(const RuntimeTranscodeRequest& request);

}  // namespace vantle::tool
