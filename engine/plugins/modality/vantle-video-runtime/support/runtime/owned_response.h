// A response of the C interface that releases itself: what the tool and the
// tests hold while they read one. Only the public header, as a host sees it.
#pragma once

#include <span>

#include "vantle_video_runtime.h"

namespace vantle::runtime {

// The record itself, so its fields read as the host's do and a pointer to it
// goes straight to the request export; destruction passes it to the matching
// vantle_video_runtime_free_* function.
template <typename Response, typename Element, void (*Release)(Response*) noexcept>
class OwnedResponse : public Response {
 public:
  OwnedResponse() : Response{} {}
  OwnedResponse(const OwnedResponse&) = delete;
  OwnedResponse& operator=(const OwnedResponse&) = delete;
  OwnedResponse(OwnedResponse&& other) noexcept : Response(other) {
    static_cast<Response&>(other) = Response{};
  }
  OwnedResponse& operator=(OwnedResponse&&) = delete;
  ~OwnedResponse() { Release(this); }

  Response* out() { return this; }
  std::span<const Element> items() const;
};

using DecodedFrames =
    OwnedResponse<RuntimeDecodeResponse, RuntimeFrame, vantle_video_runtime_free_response>;
using IndexedFrames = OwnedResponse<RuntimeIndexedResponse, RuntimeIndexedFrame,
                                    vantle_video_runtime_free_indexed_response>;
using AccessUnits = OwnedResponse<RuntimeTranscodeResponse, RuntimeBytes,
                                  vantle_video_runtime_free_transcode_response>;

template <>
inline std::span<const RuntimeFrame> DecodedFrames::items() const {
  return {this->frames, this->frame_count};
}
template <>
inline std::span<const RuntimeIndexedFrame> IndexedFrames::items() const {
  return {this->frames, this->frame_count};
}
template <>
inline std::span<const RuntimeBytes> AccessUnits::items() const {
  return {this->access_units, this->access_unit_count};
}

}  // namespace vantle::runtime
