// The three request exports, as the tool calls them: a response that frees
// itself, and the library's own message on failure.
#pragma once

#include <expected>
#include <span>
#include <string>

#include "vantle_video_runtime.h"

namespace vantle::tool {

// Owns one filled response and releases it with the matching export.
template <typename Response, typename Element, void (*Release)(Response*) noexcept>
class OwnedResponse {
 public:
  OwnedResponse() = default;
  OwnedResponse(const OwnedResponse&) = delete;
  OwnedResponse& operator=(const OwnedResponse&) = delete;
  OwnedResponse(OwnedResponse&& other) noexcept : response_(other.response_) {
    other.response_ = Response{};
  }
  ~OwnedResponse() { Release(&response_); }

  Response* out() { return &response_; }
  std::span<const Element> items() const;

 private:
  Response response_{};
};

using DecodedFrames =
    OwnedResponse<RuntimeDecodeResponse, RuntimeFrame, vantle_video_runtime_free_response>;
using IndexedFrames = OwnedResponse<RuntimeIndexedResponse, RuntimeIndexedFrame,
                                    vantle_video_runtime_free_indexed_response>;
using AccessUnits = OwnedResponse<RuntimeTranscodeResponse, RuntimeBytes,
                                  vantle_video_runtime_free_transcode_response>;

template <>
inline std::span<const RuntimeFrame> DecodedFrames::items() const {
  return {response_.frames, response_.frame_count};
}
template <>
inline std::span<const RuntimeIndexedFrame> IndexedFrames::items() const {
  return {response_.frames, response_.frame_count};
}
template <>
inline std::span<const RuntimeBytes> AccessUnits::items() const {
  return {response_.access_units, response_.access_unit_count};
}

// Each answers the response, or the library's last error message.
std::expected<DecodedFrames, std::string> decode(const RuntimeDecodeRequest& request);
std::expected<IndexedFrames, std::string> decode_indexed(const RuntimeDecodeRequest& request);
std::expected<AccessUnits, std::string> transcode_h264(const RuntimeTranscodeRequest& request);

}  // namespace vantle::tool
