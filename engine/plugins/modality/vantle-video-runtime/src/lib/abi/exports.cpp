// The exported request entry points and the last-error view. Each is a thin
// frame around an internal body; nothing unwinds past these functions.
#include "abi/decode_request.h"
#include "abi/error_channel.h"
#include "abi/export_frame.h"
#include "abi/indexed_decode_request.h"
#include "abi/transcode_request.h"
#include "vantle_video_runtime.h"

extern "C" {

VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode(
    const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) noexcept {
  return vantle::run_request_export([&] { return vantle::run_decode_request(request, response); });
}

VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode_with_options(
    const RuntimeDecodeRequest* request, const RuntimeDecodeOptions* options,
    RuntimeDecodeResponse* response) noexcept {
  return vantle::run_request_export(
      [&] { return vantle::run_decode_request_with_options(request, options, response); });
}

VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode_indexed(
    const RuntimeDecodeRequest* request, RuntimeIndexedResponse* response) noexcept {
  return vantle::run_request_export(
      [&] { return vantle::run_indexed_decode_request(request, response); });
}

VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_transcode_h264(
    const RuntimeTranscodeRequest* request, RuntimeTranscodeResponse* response) noexcept {
  return vantle::run_request_export(
      [&] { return vantle::run_transcode_request(request, response); });
}

VANTLE_VIDEO_RUNTIME_API RuntimeBytes vantle_video_runtime_last_error(void) noexcept {
  return vantle::view_last_error();
}

}  // extern "C"
