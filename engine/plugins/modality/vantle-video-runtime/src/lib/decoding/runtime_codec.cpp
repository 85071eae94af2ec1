#include "decoding/runtime_codec.h"

#include <array>

namespace vantle {

namespace {

struct CodecFacts {
  RuntimeCodec codec;
  std::string_view name;
  AVCodecID ffmpeg_id;
  bool carries_nal_units;
};

// One row a codec; every value the header does not list reads the last row.
constexpr std::array<CodecFacts, 5> CODECS{{
    {RuntimeCodec::H264, "H.264", AV_CODEC_ID_H264, true},
    {RuntimeCodec::Av1, "AV1", AV_CODEC_ID_AV1, false},
    {RuntimeCodec::Vp9, "VP9", AV_CODEC_ID_VP9, false},
    {RuntimeCodec::Vp8, "VP8", AV_CODEC_ID_VP8, false},
    {RuntimeCodec::H265, "H.265", AV_CODEC_ID_HEVC, true},
}};

const CodecFacts& facts(RuntimeCodec codec) noexcept {
  for (const CodecFacts& row : CODECS) {
    if (row.codec == codec) {
      return row;
    }
  }
  return CODECS.back();
}

}  // namespace

std::string_view name(RuntimeCodec codec) noexcept {
  return facts(codec).name;
}

AVCodecID ffmpeg_id(RuntimeCodec codec) noexcept {
  return facts(codec).ffmpeg_id;
}

bool carries_nal_units(RuntimeCodec codec) noexcept {
  return facts(codec).carries_nal_units;
}

}  // namespace vantle
