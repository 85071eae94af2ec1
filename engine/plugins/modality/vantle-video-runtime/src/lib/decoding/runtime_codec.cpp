#include "decoding/runtime_codec.h"

namespace vantle {

std::string_view name(RuntimeCodec codec) noexcept {
  switch (codec) {
    case RuntimeCodec::H264:
      return "H.264";
    case RuntimeCodec::Av1:
      return "AV1";
    case RuntimeCodec::Vp9:
      return "VP9";
    case RuntimeCodec::Vp8:
      return "VP8";
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
    case RuntimeCodec::Vp9:
      return AV_CODEC_ID_VP9;
    case RuntimeCodec::Vp8:
      return AV_CODEC_ID_VP8;
    default:
      return AV_CODEC_ID_HEVC;
  }
}

bool carries_nal_units(RuntimeCodec codec) noexcept {
  return codec != RuntimeCodec::Av1 && codec != RuntimeCodec::Vp9 && codec != RuntimeCodec::Vp8;
}

}  // namespace vantle
