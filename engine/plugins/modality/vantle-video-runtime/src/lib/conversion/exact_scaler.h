// swscale set up as the ffmpeg command line sets up its scale filter, for the
// 16-bit outputs: bicubic, default chroma positions, the frame's matrix and
// its range given before the context is initialised. What it returns equals
// "-pix_fmt rgb48le" and "-pix_fmt yuv420p16le" byte for byte.
#pragma once

#include <cstdint>
#include <optional>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

// Everything an exact scaler was made for.
struct ExactScalerKey {
  AVPixelFormat source = AV_PIX_FMT_NONE;
  int source_width = 0;
  int source_height = 0;
  AVPixelFormat output = AV_PIX_FMT_NONE;
  int output_width = 0;
  int output_height = 0;
  std::int32_t colorspace = 0;  // SWS_CS_*
  bool source_full_range = false;
  bool output_full_range = false;

  friend bool operator==(const ExactScalerKey&, const ExactScalerKey&) = default;
};

struct ExactScaler {
  SwsContextHandle context;
  ExactScalerKey key;
};

// The scaler that converts `frame` (system memory) to `output` at `width` x
// `height`: `cached` when it was made for the same, otherwise a new one
// that replaces it. A YUV output keeps the source's range.
Result<SwsContext*> exact_scaler_for(const AVFrame& frame, AVPixelFormat output, int width,
                                     int height, std::optional<ExactScaler>& cached);

}  // namespace vantle
