// The request exports, as the tool calls them: a response that frees
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
// Decode goes through the export with options, so that pictures can be
// turned upright; all-zero options decode as the plain export does.
Result<DecodedFrames> decode(const RuntimeDecodeRequest& request,
                             const RuntimeDecodeOptions& options);
Result<IndexedFrames> decode_indexed(const RuntimeDecodeRequest& request);
Result<AccessUnits> transcode_h264(const RuntimeTranscodeRequest& request);

}  // namespace vantle::tool
