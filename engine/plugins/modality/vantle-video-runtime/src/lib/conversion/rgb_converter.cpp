#include "conversion/rgb_converter.h"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "common/ffmpeg_error.h"
#include "common/text.h"

namespace vantle {

namespace {

bool same_scaler_parameters(const ConfiguredRgbScaler& scaler, const AVFrame& frame,
                            const ScalerPictureDefinition& output,
                            const YuvColorConversion& conversion) {
  // Cheapest and most telling comparisons first.
  return scaler.input.format == static_cast<AVPixelFormat>(frame.format) &&
         scaler.input.width == frame.width && scaler.input.height == frame.height &&
         scaler.output.format == output.format && scaler.output.width == output.width &&
         scaler.output.height == output.height && scaler.conversion == conversion;
}

Result<ConfiguredRgbScaler> build_rgb_scaler(const AVFrame& frame,
                                             const ScalerPictureDefinition& output,
                                             const YuvColorConversion& conversion) {
  const ScalerPictureDefinition input{static_cast<AVPixelFormat>(frame.format), frame.width,
                                      frame.height};
  // swscale asserts (aborting the process) on a format it has no descriptor
  // for, AV_PIX_FMT_NONE included, instead of returning null: such formats
  // are refused here with the message a null context gives.
  SwsContextHandle context;
  if (sws_isSupportedInput(input.format) > 0) {
    context.reset(sws_getContext(
        input.width, input.height, swscale_source_format(input.format), output.width, output.height,
        output.format,
        rgb_scaler_flags(input.format, input.width, input.height, output.width, output.height),
        nullptr, nullptr, nullptr));
  }
  if (!context) {
    return fail(str_cat("failed to create video scaler: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }
  if (auto configured =
          configure_rgb_scaler(*context, conversion.colorspace, conversion.full_range);
      !configured) {
    return fail(std::move(configured.error()));
  }
  return ConfiguredRgbScaler{
      .context = std::move(context),
      .input = input,
      .output = output,
      .conversion = conversion,
  };
}

}  // namespace

Result<YuvColorConversion> yuv_color_conversion(int color_space, int color_range) {
  if (color_space < 0 || color_space > COLOR_SPACE_COUNT) {
    // Only a newer FFmpeg generation can produce these; their matrix is
    // unknown here, so converting with a guessed one would give wrong colours.
    return fail(str_cat("FFmpeg RGB conversion does not support YUV color space ", color_space));
  }
  const ColorSpaceEntry& entry = COLOR_SPACES[static_cast<std::size_t>(color_space)];
  if (entry.rejected_name != nullptr) {
    return fail(
        str_cat("FFmpeg RGB conversion does not support YUV color space ", entry.rejected_name));
  }
  return YuvColorConversion{
      .colorspace = entry.swscale_colorspace,
      .full_range = color_range == AVCOL_RANGE_JPEG,
  };
}

Status configure_rgb_scaler(SwsContext& context, std::int32_t colorspace, bool full_range) {
  const int* coefficients = sws_getCoefficients(colorspace);
  if (coefficients == nullptr) {
    return fail("FFmpeg returned no YUV-to-RGB coefficient table");
  }
  constexpr int UNIT = 1 << 16;  // contrast and saturation of 1.0
  const int rc = sws_setColorspaceDetails(&context, coefficients, full_range ? 1 : 0, coefficients,
                                          1, 0, UNIT, UNIT);
  if (rc < 0) {
    return fail(
        str_cat("failed to configure FFmpeg YUV-to-RGB color conversion: ", ffmpeg_error_text(rc)));
  }
  return {};
}

Result<RgbBufferLayout> rgb_buffer_layout(std::uint32_t width, std::uint32_t height,
                                          std::size_t pixel_size) {
  RgbBufferLayout layout;
  if (__builtin_mul_overflow(static_cast<std::size_t>(width), pixel_size, &layout.row_size)) {
    return fail("RGB row size overflow");
  }
  if (__builtin_mul_overflow(layout.row_size, static_cast<std::size_t>(height),
                             &layout.frame_size)) {
    return fail("RGB frame size overflow");
  }
  constexpr std::size_t INT_LIMIT = std::numeric_limits<int>::max();
  if (layout.row_size > INT_LIMIT) {
    return fail("RGB row size exceeds FFmpeg line size limits");
  }
  constexpr std::size_t ROW_PIXEL_MULTIPLE = 8;
  const std::size_t padded_width = (static_cast<std::size_t>(width) + ROW_PIXEL_MULTIPLE - 1) /
                                   ROW_PIXEL_MULTIPLE * ROW_PIXEL_MULTIPLE;
  // Within 21 bytes of the int limit the padding cannot be given to swscale;
  // such a row is larger than any picture FFmpeg decodes.
  layout.line_size =
      padded_width * pixel_size <= INT_LIMIT ? padded_width * pixel_size : layout.row_size;
  layout.written_size = layout.frame_size;
  if (height != 0 &&
      (__builtin_mul_overflow(layout.line_size, static_cast<std::size_t>(height - 1),
                              &layout.written_size) ||
       __builtin_add_overflow(layout.written_size, layout.row_size, &layout.written_size))) {
    return fail("RGB frame size overflow");
  }
  return layout;
}

// Row 0 is already in place; every later row moves towards the start, so
// rows are never overwritten before they are moved.
void pack_rows(std::uint8_t* pixels, std::size_t line_size, std::size_t row_size,
               std::size_t rows) noexcept {
  if (line_size == row_size) {
    return;
  }
  for (std::size_t row = 1; row < rows; ++row) {
    std::memmove(pixels + row * row_size, pixels + row * line_size, row_size);
  }
}

Result<RgbFrame> convert_frame_to_rgb(const AVFrame& frame, std::uint32_t width,
                                      std::uint32_t height,
                                      std::optional<ConfiguredRgbScaler>& scaler) {
  auto conversion = yuv_color_conversion(enum_code(frame.colorspace), enum_code(frame.color_range));
  if (!conversion) {
    return fail(std::move(conversion.error()));
  }
  // Sizes beyond int cannot be given to swscale; they become negative here
  // and sws_getContext refuses them.
  const ScalerPictureDefinition output{AV_PIX_FMT_RGB24, static_cast<int>(width),
                                       static_cast<int>(height)};
  if (!scaler || !same_scaler_parameters(*scaler, frame, output, *conversion)) {
    auto rebuilt = build_rgb_scaler(frame, output, *conversion);
    if (!rebuilt) {
      return fail(std::move(rebuilt.error()));
    }
    // The old context goes only once its replacement is complete.
    scaler = std::move(*rebuilt);
  }
  if (!scaler || !scaler->context) {
    return fail("video scaler not initialized");
  }
  auto pixels = scale_to_packed_rgb(*scaler->context, frame, width, height, 3);
  if (!pixels) {
    return fail(std::move(pixels.error()));
  }
  return RgbFrame{.data = std::move(*pixels), .width = width, .height = height};
}

Result<ByteBuffer> scale_to_packed_rgb(SwsContext& context, const AVFrame& frame,
                                       std::uint32_t width, std::uint32_t height,
                                       std::size_t pixel_size) {
  auto layout = rgb_buffer_layout(width, height, pixel_size);
  if (!layout) {
    return fail(std::move(layout.error()));
  }
  // The host heap adds the slack that swscale's vector stores need behind
  // the last row (host_memory.h).
  auto allocated = ByteBuffer::with_capacity(layout->written_size);
  if (!allocated) {
    return fail(std::move(allocated.error()));
  }
  ByteBuffer pixels = std::move(*allocated);
  std::array<std::uint8_t*, 8> planes{};
  std::array<int, 8> linesizes{};
  planes[0] = pixels.data();
  linesizes[0] = static_cast<int>(layout->line_size);
  const int rows = sws_scale(&context, frame.data, frame.linesize, 0, frame.height, planes.data(),
                             linesizes.data());
  if (rows < 0) {
    return fail(str_cat("failed to convert decoded frame to RGB: sws_scale returned ", rows));
  }
  if (static_cast<std::uint32_t>(rows) != height) {
    return fail(str_cat("failed to convert decoded frame to RGB: sws_scale wrote ", rows,
                        " rows, expected ", height));
  }
  pack_rows(pixels.data(), layout->line_size, layout->row_size, height);
  pixels.set_size(layout->frame_size);
  return pixels;
}

}  // namespace vantle
