// Extraction of tightly packed 8-bit YUV 4:2:0 planes from a decoded frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/byte_buffer.h"
#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

// Samples are bytes, or 16-bit little-endian values when `sixteen_bit`.
struct Yuv420Frame {
  ByteBuffer y;  // height rows of width samples
  ByteBuffer u;  // ceil(height / 2) rows of ceil(width / 2) samples
  ByteBuffer v;  // as u
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t color_range = 0;  // 0 unspecified, 1 limited, 2 full
  std::int32_t color_space = 0;
  std::int32_t color_primaries = 0;
  std::int32_t color_trc = 0;
  bool sixteen_bit = false;
};

// The planes (Y, U, V) of `frame` as a YUV 4:2:0 picture of its size, with
// the range and colour description the output reports for it.
Yuv420Frame yuv420_picture(const AVFrame& frame, std::array<ByteBuffer, 3> planes,
                           bool sixteen_bit);

// Accepts only yuv420p and yuvj420p frames in system memory; the frame is
// not modified.
Result<Yuv420Frame> convert_frame_to_yuv420(const AVFrame& frame);

// `height` rows of `width` bytes of one plane, without line padding.
Result<ByteBuffer> copy_frame_plane(const AVFrame& frame, int plane, std::uint32_t width,
                                    std::uint32_t height);

struct PlanePointer {
  const std::uint8_t* data;
  std::size_t linesize;
};

// Start and line size of a plane whose rows must hold `row_width` bytes.
Result<PlanePointer> frame_plane_ptr(const AVFrame& frame, int plane, std::size_t row_width);

}  // namespace vantle
