// The library side of every row: one call through the C interface, its
// response checked and released inside the timed call.
#pragma once

#include <cstddef>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle::bench {

// The calling thread's last error, as text.
std::string library_last_error();

// vantle_video_runtime_decode_indexed; fails unless it returns `pictures`.
Status call_decode_indexed(const RuntimeDecodeRequest& request, std::size_t pictures);
// vantle_video_runtime_decode; fails unless it returns `pictures`.
Status call_decode(const RuntimeDecodeRequest& request, std::size_t pictures);
// vantle_video_runtime_transcode_h264; fails unless it returns `access_units`.
Status call_transcode(const RuntimeTranscodeRequest& request, std::size_t access_units);

}  // namespace vantle::bench
