#include "library_calls.h"

#include <string>

#include "common/text.h"

namespace vantle::bench {

namespace {

Status check_count(const char* what, std::size_t got, std::size_t wanted) {
  if (got != wanted) {
    return fail(str_cat(what, " returned ", got, " items, ", wanted, " were expected"));
  }
  return {};
}

}  // namespace

std::string library_last_error() {
  const RuntimeBytes text = vantle_video_runtime_last_error();
  return std::string(reinterpret_cast<const char*>(text.data), text.len);
}

Status call_decode_indexed(const RuntimeDecodeRequest& request, std::size_t pictures) {
  RuntimeIndexedResponse response{};
  if (vantle_video_runtime_decode_indexed(&request, &response) != 0) {
    return fail(str_cat("vantle_video_runtime_decode_indexed: ", library_last_error()));
  }
  const std::size_t count = response.frame_count;
  vantle_video_runtime_free_indexed_response(&response);
  return check_count("vantle_video_runtime_decode_indexed", count, pictures);
}

Status call_decode(const RuntimeDecodeRequest& request, std::size_t pictures) {
  RuntimeDecodeResponse response{};
  if (vantle_video_runtime_decode(&request, &response) != 0) {
    return fail(str_cat("vantle_video_runtime_decode: ", library_last_error()));
  }
  const std::size_t count = response.frame_count;
  vantle_video_runtime_free_response(&response);
  return check_count("vantle_video_runtime_decode", count, pictures);
}

Status call_transcode(const RuntimeTranscodeRequest& request, std::size_t access_units) {
  RuntimeTranscodeResponse response{};
  if (vantle_video_runtime_transcode_h264(&request, &response) != 0) {
    return fail(library_last_error());
  }
  const std::size_t count = response.access_unit_count;
  vantle_video_runtime_free_transcode_response(&response);
  return check_count("vantle_video_runtime_transcode_h264", count, access_units);
}

}  // namespace vantle::bench
