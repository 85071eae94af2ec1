// Brings a decoded frame into system memory: software frames are borrowed,
// hardware frames downloaded into a copy that carries the source's metadata.
#pragma once

#include <variant>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

class FfmpegRgbInputFrame {
 public:
  // Refers to the caller's frame, which must outlive this value.
  static FfmpegRgbInputFrame borrowed(const AVFrame& frame) noexcept;
  // Owns a system-memory copy.
  static FfmpegRgbInputFrame downloaded(FrameHandle copy) noexcept;

  // The frame to read pixels and metadata from.
  const AVFrame& as_ref() const noexcept;
  bool is_downloaded() const noexcept;
  // The owned copy, leaving this value empty; null for a borrowed frame.
  FrameHandle take_downloaded() noexcept;

 private:
  explicit FfmpegRgbInputFrame(std::variant<const AVFrame*, FrameHandle> frame) noexcept
      : frame_(std::move(frame)) {}
  std::variant<const AVFrame*, FrameHandle> frame_;
};

Result<FfmpegRgbInputFrame> frame_for_rgb_conversion(const AVFrame& frame);

}  // namespace vantle
