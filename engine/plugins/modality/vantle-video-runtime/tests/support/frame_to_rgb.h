// The library's RGB path for one frame at a time, as the tests drive it: a
// hardware frame downloaded first, then converted through a scaler kept
// between frames.
#pragma once

#include <cstdint>
#include <optional>

#include "common/ffmpeg.h"
#include "common/result.h"
#include "conversion/rgb_converter.h"

namespace vantle::testing {

// Keeps the last scaler it built for as long as consecutive frames need
// the same one.
class FfmpegRgbConverter {
 public:
  FfmpegRgbConverter() noexcept = default;
  FfmpegRgbConverter(FfmpegRgbConverter&&) noexcept = default;
  FfmpegRgbConverter& operator=(FfmpegRgbConverter&&) noexcept = default;
  FfmpegRgbConverter(const FfmpegRgbConverter&) = delete;
  FfmpegRgbConverter& operator=(const FfmpegRgbConverter&) = delete;
  ~FfmpegRgbConverter() = default;

  // Takes the frame over and releases it before returning, on every path.
  // A requested dimension of 0 keeps the decoded frame's own. Hardware frames
  // are downloaded first.
  Result<RgbFrame> convert_to_rgb(FfmpegDecodedFrame frame, std::uint32_t width,
                                  std::uint32_t height);

  // The cached scaler, or null before the first successful build.
  const ConfiguredRgbScaler* scaler() const noexcept { return scaler_ ? &*scaler_ : nullptr; }

 private:
  std::optional<ConfiguredRgbScaler> scaler_;
};

}  // namespace vantle::testing
