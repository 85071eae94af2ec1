// The three request exports, as the tool calls them: a response that frees
// itself (runtime/owned_response.h), and the library's own message on failure.
#pragma once

#include <expected>
#include <string>

#include "runtime/owned_response.h"

namespace vantle::tool {

using runtime::AccessUnits;
using runtime::DecodedFrames;
using runtime::IndexedFrames;

// Each answers the response, or the library's last error message.
std::expected<DecodedFrames, std::string> decode(const RuntimeDecodeRequest& request);
std::expected<IndexedFrames, std::string> decode_indexed(const RuntimeDecodeRequest& request);
std::expected<AccessUnits, std::string> transcode_h264(const RuntimeTranscodeRequest& request);

}  // namespace vantle::tool
