// The frame shared by the three request exports: check the two pointers, run
// the body, write the response only on success, report failures through the
// thread's last error.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "abi/error_channel.h"
#include "common/byte_buffer.h"
#include "common/host_memory.h"
#include "common/request_limits.h"
#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

inline constexpr const char* NULL_ABI_POINTER_MESSAGE = "FFmpeg runtime received null ABI pointer";

// Moves the elements into a host-heap array of exactly their number (a non-null,
// storage-less address when there are none). Pixel buffers inside the
// records are not touched.
template <typename Element>
Element* to_host_array(std::vector<Element>&& elements) noexcept {
  static_assert(std::is_trivially_copyable_v<Element>);
  auto* array = static_cast<Element*>(allocate_array(elements.size(), sizeof(Element)));
  if (!elements.empty()) {
    std::memcpy(array, elements.data(), elements.size() * sizeof(Element));
  }
  elements.clear();
  return array;
}

inline void write_response(RuntimeDecodeResponse& response, std::vector<RuntimeFrame>&& frames) {
  response.frame_count = frames.size();
  response.frames = to_host_array(std::move(frames));
}

inline void write_response(RuntimeIndexedResponse& response,
                           std::vector<RuntimeIndexedFrame>&& frames) {
  response.frame_count = frames.size();
  response.frames = to_host_array(std::move(frames));
}

inline void write_response(RuntimeTranscodeResponse& response,
                           std::vector<RuntimeBytes>&& access_units) {
  response.access_unit_count = access_units.size();
  response.access_units = to_host_array(std::move(access_units));
}

// Pointer check, body, response write. `body` takes the request and returns
// the response's elements or a message; `before_body` runs between the
// pointer check and the body.
template <typename Request, typename Response, typename Body, typename BeforeBody>
Status fill_response(const Request* request, Response* response, Body&& body,
                     BeforeBody&& before_body) {
  if (request == nullptr || response == nullptr) {
    return fail(NULL_ABI_POINTER_MESSAGE);
  }
  before_body();
  auto elements = body(*request);
  if (!elements) {
    return fail(std::move(elements.error()));
  }
  write_response(*response, std::move(*elements));
  return {};
}

template <typename Request, typename Response, typename Body>
Status fill_response(const Request* request, Response* response, Body&& body) {
  return fill_response(request, response, std::forward<Body>(body), [] {});
}

// Turns the outcome of a request into the export's status code.
inline int32_t export_status(Status outcome) noexcept {
  if (!outcome) {
    store_last_error(std::move(outcome.error()));
    return -1;
  }
  return 0;
}

// The whole frame: clear the slot, then run `request_call` (returning
// Status) and turn its outcome into the status code.
template <typename Call>
int32_t run_request_export(Call&& request_call) noexcept {
  // Host buffers come from the thread's stash for the call (host_memory.h).
  const HostMemoryCallScope call_scope;
  const ResponseCountScope response_count;
  clear_last_error();
  return export_status(request_call());
}

}  // namespace vantle
