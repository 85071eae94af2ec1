// Turning and flipping pictures, as the ffmpeg command line's autorotation
// does: samples are moved, never filtered, so a turned picture converts to
// exactly what the command line gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

// A clockwise quarter turn, then flips of the turned picture.
struct Orientation {
  std::uint32_t rotation = 0;  // 0, 90, 180 or 270
  bool flip_horizontal = false;
  bool flip_vertical = false;

  bool is_identity() const noexcept {
    return rotation == 0 && !flip_horizontal && !flip_vertical;
  }
  bool swaps_axes() const noexcept { return rotation == 90 || rotation == 270; }
};

// Whether the planes of `format` can be turned as they are: planar or
// semi-planar, whole bytes per sample, chroma subsampled alike in both
// directions (a turned 4:2:2 picture would be 4:2:2 on its side).
bool can_turn_planes(AVPixelFormat format) noexcept;

// One plane, `width` x `height` elements of `element_size` bytes (1, 2, 3,
// 4, 6 or 8), copied turned into `destination` (of the turned size, rows
// `destination_line` bytes apart).
void turn_plane(const std::uint8_t* source, std::ptrdiff_t source_line, std::size_t width,
                std::size_t height, std::size_t element_size, Orientation orientation,
                std::uint8_t* destination, std::ptrdiff_t destination_line) noexcept;

// Turns system-memory pictures of one request into a frame it keeps, so that
// picture after picture of the same size reuses one buffer.
class FfmpegPictureTurner {
 public:
  // The turned copy of `frame` (whose format can_turn_planes accepts), with
  // its properties; valid until the next call.
  Result<const AVFrame*> turn(const AVFrame& frame, Orientation orientation);

 private:
  FrameHandle turned_;
};

}  // namespace vantle
