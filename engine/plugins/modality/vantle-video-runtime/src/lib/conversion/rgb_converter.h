// Conversion of decoded frames to tightly packed RGB24 through a cached
// swscale context that honours the frame's YUV matrix and range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/byte_buffer.h"
#include "common/ffmpeg.h"
#include "common/result.h"
#include "conversion/rgb_scaler_setup.h"

namespace vantle {

// `height` rows of `width * 3` samples (R, G, B), top row first, no padding;
// samples are bytes, or 16-bit little-endian values when `sixteen_bit`.
struct RgbFrame {
  ByteBuffer data;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool sixteen_bit = false;
};

// The swscale coefficient set (SWS_CS_*) and the source range a context is
// configured with. The output is always full-range RGB.
struct YuvColorConversion {
  std::int32_t colorspace = SWS_CS_DEFAULT;
  bool full_range = false;

  friend bool operator==(const YuvColorConversion&, const YuvColorConversion&) = default;
};

// One side of a swscale context: what it reads or what it writes.
struct ScalerPictureDefinition {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  int width = 0;
  int height = 0;

  friend bool operator==(const ScalerPictureDefinition&, const ScalerPictureDefinition&) = default;
};

// A swscale context with everything it was created and configured for.
struct ConfiguredRgbScaler {
  SwsContextHandle context;
  ScalerPictureDefinition input;
  ScalerPictureDefinition output;
  YuvColorConversion conversion;
};

// Converts a system-memory frame to `width` x `height` RGB24, reusing
// `scaler` when it matches and replacing it only by a fully configured new
// one.
Result<RgbFrame> convert_frame_to_rgb(const AVFrame& frame, std::uint32_t width,
                                      std::uint32_t height,
                                      std::optional<ConfiguredRgbScaler>& scaler);

// `height` rows of `width` packed pixels of `pixel_size` bytes (3 for RGB24,
// 6 for RGB48) from `frame` through `context`, written at padded line
// sizes (rgb_buffer_layout) and packed in place.
Result<ByteBuffer> scale_to_packed_rgb(SwsContext& context, const AVFrame& frame,
                                       std::uint32_t width, std::uint32_t height,
                                       std::size_t pixel_size);

// Installs the YUV-to-RGB matrix `colorspace` (SWS_CS_*) with the given
// source range and a full-range destination.
Status configure_rgb_scaler(SwsContext& context, std::int32_t colorspace, bool full_range);

// Maps an AVColorSpace and AVColorRange value to the swscale conversion, or
// rejects colour spaces that are not a YUV matrix swscale implements. Plain
// integers: values of newer FFmpeg generations must be representable.
Result<YuvColorConversion> yuv_color_conversion(int color_space, int color_range);

// Row and total byte counts of a packed RGB24 picture.
struct RgbBufferLayout {
  // Bytes of one packed row and of the whole packed picture the host gets.
  std::size_t row_size = 0;
  std::size_t frame_size = 0;
  // The line size swscale writes with: rows padded to a multiple of 8
  // pixels. swscale's x86 unscaled YUV-to-RGB loop rounds a row down to 8
  // pixels when the line size cannot hold the rounded-up row, and then never
  // writes the last pixels of a row whose width is 1 to 7 past a multiple
  // of 16. Equal to row_size when the width is a multiple of 8.
  std::size_t line_size = 0;
  // Bytes from the first row's start to the last row's end at line_size:
  // what the buffer holds before the rows are packed.
  std::size_t written_size = 0;
};

// Fails when a count overflows or a row exceeds FFmpeg's int line size.
// `pixel_size` is 3 for RGB24 and 6 for RGB48.
Result<RgbBufferLayout> rgb_buffer_layout(std::uint32_t width, std::uint32_t height,
                                          std::size_t pixel_size = 3);

// Moves rows written `line_size` apart together into rows of `row_size`, in
// place.
void pack_rows(std::uint8_t* pixels, std::size_t line_size, std::size_t row_size,
               std::size_t rows) noexcept;

}  // namespace vantle
