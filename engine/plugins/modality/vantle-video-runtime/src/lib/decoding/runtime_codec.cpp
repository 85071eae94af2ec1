#include "decoding/runtime_codec.h"

namespace vantle {

std::string_view name(RuntimeCodec codec) noexcept {
  switch (codec) {
    case RuntimeCodec::H264:
      return "H.264";
    case RuntimeCodec::Av1:
      return "AV1";
    default:
      return "H.265";
  }
}

AVCodecID ffmpeg_id(RuntimeCodec codec) noexcept {
  switch (codec) {
    case RuntimeCodec::H264:
      return AV_CODEC_ID_H264;
    case RuntimeCodec::Av1:
      return AV_CODEC_ID_AV1;
    default:
      return AV_CODEC_ID_HEVC;
  }
}

}  // namespace vantle
