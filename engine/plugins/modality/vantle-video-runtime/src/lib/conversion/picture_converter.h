// One request's conversion of decoded pictures: into system memory, turned
// upright when asked, then to the requested output format.
#pragma once

#include <cstdint>
#include <optional>

#include "common/ffmpeg.h"
#include "common/result.h"
#include "conversion/exact_scaler.h"
#include "conversion/orientation.h"
#include "conversion/rgb_converter.h"
#include "conversion/yuv420.h"

namespace vantle {

enum class OutputLayout { Rgb24, Rgb48, Yuv420, Yuv420P16 };

struct OutputRequest {
  OutputLayout layout = OutputLayout::Rgb24;
  // RGB only, of the turned picture; 0 keeps the decoded dimension.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Orientation orientation;
};

constexpr bool is_rgb(OutputLayout layout) noexcept {
  return layout == OutputLayout::Rgb24 || layout == OutputLayout::Rgb48;
}

class FfmpegPictureConverter {
 public:
  explicit FfmpegPictureConverter(OutputRequest request) noexcept : request_(request) {}

  // Each takes the frame over and releases it before returning, on every
  // path. to_rgb serves the RGB layouts, to_yuv420 the YUV ones.
  Result<RgbFrame> to_rgb(FfmpegDecodedFrame frame);
  Result<Yuv420Frame> to_yuv420(FfmpegDecodedFrame frame);

 private:
  // The system-memory picture to convert, turned when its planes can be.
  Result<const AVFrame*> prepared(const AVFrame& system_frame);
  bool turns_after_conversion(const AVFrame& frame) const noexcept;

  OutputRequest request_;
  std::optional<ConfiguredRgbScaler> rgb_scaler_;
  std::optional<ExactScaler> exact_scaler_;
  FfmpegPictureTurner turner_;
};

// `width` x `height` RGB48 (little-endian), through the exact scaler.
Result<RgbFrame> convert_frame_to_rgb48(const AVFrame& frame, std::uint32_t width,
                                        std::uint32_t height, std::optional<ExactScaler>& scaler);

// 16-bit little-endian YUV 4:2:0 planes at the frame's size and range.
Result<Yuv420Frame> convert_frame_to_yuv420p16(const AVFrame& frame,
                                               std::optional<ExactScaler>& scaler);

}  // namespace vantle
