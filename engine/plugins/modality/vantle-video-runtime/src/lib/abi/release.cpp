// The four exported release functions.
#include <cstddef>

#include "common/host_memory.h"
#include "vantle_video_runtime.h"

namespace {

// Storage exists exactly when the pointer is non-null and the length non-zero.
void release_bytes(const RuntimeBytes& bytes) noexcept {
  if (bytes.data != nullptr && bytes.len != 0) {
    vantle::free_host_memory(bytes.data);
  }
}

void release_frame_buffers(const RuntimeFrame& frame) noexcept {
  release_bytes(frame.rgb);
  release_bytes(frame.y);
  release_bytes(frame.u);
  release_bytes(frame.v);
}

template <typename Element>
void release_array(Element* elements, std::size_t count) noexcept {
  if (count != 0) {
    vantle::free_host_memory(elements);
  }
}

}  // namespace

extern "C" {

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_bytes(RuntimeBytes bytes) noexcept {
  const vantle::HostMemoryCallScope scope;
  release_bytes(bytes);
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_response(
    RuntimeDecodeResponse* response) noexcept {
  const vantle::HostMemoryCallScope scope;
  if (response == nullptr) {
    return;
  }
  if (response->frames != nullptr) {
    for (std::size_t i = 0; i < response->frame_count; ++i) {
      release_frame_buffers(response->frames[i]);
    }
    release_array(response->frames, response->frame_count);
  }
  response->frames = nullptr;
  response->frame_count = 0;
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_indexed_response(
    RuntimeIndexedResponse* response) noexcept {
  const vantle::HostMemoryCallScope scope;
  if (response == nullptr) {
    return;
  }
  if (response->frames != nullptr) {
    for (std::size_t i = 0; i < response->frame_count; ++i) {
      release_frame_buffers(response->frames[i].frame);
    }
    release_array(response->frames, response->frame_count);
  }
  response->frames = nullptr;
  response->frame_count = 0;
}

VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_transcode_response(
    RuntimeTranscodeResponse* response) noexcept {
  const vantle::HostMemoryCallScope scope;
  if (response == nullptr) {
    return;
  }
  if (response->access_units != nullptr) {
    for (std::size_t i = 0; i < response->access_unit_count; ++i) {
      release_bytes(response->access_units[i]);
    }
    release_array(response->access_units, response->access_unit_count);
  }
  response->access_units = nullptr;
  response->access_unit_count = 0;
}

}  // extern "C"
