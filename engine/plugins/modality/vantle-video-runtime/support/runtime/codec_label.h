// The codec names the programs around the library print, as the library's
// messages spell them.
#pragma once

#include "vantle_video_runtime.h"

namespace vantle::runtime {

inline const char* codec_label(RuntimeCodec codec) noexcept {
  switch (codec) {
    case RuntimeCodec::H264:
      return "H.264";
    case RuntimeCodec::Av1:
      return "AV1";
    case RuntimeCodec::Vp9:
      return "VP9";
    case RuntimeCodec::Vp8:
      return "VP8";
    case RuntimeCodec::H265:
      break;
  }
  // Values the header does not list decode as H.265.
  return "H.265";
}

}  // namespace vantle::runtime
