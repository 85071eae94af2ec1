#include "conversion/picture_converter.h"

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "common/text.h"
#include "conversion/hardware_download.h"

namespace vantle {

namespace {

constexpr std::size_t SAMPLE_BYTES_16 = 2;

// Lines swscale writes a plane with: rows padded to 32 bytes, which its
// vector loops write whole.
std::size_t padded_line(std::size_t row) noexcept {
  constexpr std::size_t ALIGN = 32;
  return (row + ALIGN - 1) / ALIGN * ALIGN;
}

Result<void> check_rows(int rows, std::uint32_t height, const char* target) {
  if (rows < 0) {
    return fail(str_cat("failed to convert decoded frame to ", target, ": sws_scale returned ",
                        rows));
  }
  if (static_cast<std::uint32_t>(rows) != height) {
    return fail(str_cat("failed to convert decoded frame to ", target, ": sws_scale wrote ", rows,
                        " rows, expected ", height));
  }
  return {};
}

// A plane of `width` x `height` elements turned into a new buffer.
Result<ByteBuffer> turned_copy(const ByteBuffer& plane, std::size_t width, std::size_t height,
                               std::size_t element, Orientation orientation) {
  auto allocated = ByteBuffer::with_capacity(plane.size());
  if (!allocated) {
    return fail(std::move(allocated.error()));
  }
  ByteBuffer turned = std::move(*allocated);
  const std::size_t out_width = orientation.swaps_axes() ? height : width;
  turn_plane(plane.data(), static_cast<std::ptrdiff_t>(width * element), width, height, element,
             orientation, turned.data(), static_cast<std::ptrdiff_t>(out_width * element));
  turned.set_size(plane.size());
  return turned;
}

}  // namespace

namespace {

// swscale's unscaled 4:2:0-to-RGB48 loop (plain C: it has no vector one)
// converts pixel pairs and never writes the last column of an odd width, so
// that column would show whatever the buffer held before. It is set to 0,
// which is what the command line's fresh buffers show there.
bool leaves_last_column(const AVFrame& frame, std::uint32_t width, std::uint32_t height) {
  const AVPixelFormat source = swscale_source_format(static_cast<AVPixelFormat>(frame.format));
  return (source == AV_PIX_FMT_YUV420P || source == AV_PIX_FMT_YUV422P ||
          source == AV_PIX_FMT_YUVA420P) &&
         width % 2 == 1 && height % 2 == 0 && width == static_cast<std::uint32_t>(frame.width) &&
         height == static_cast<std::uint32_t>(frame.height);
}

}  // namespace

Result<RgbFrame> convert_frame_to_rgb48(const AVFrame& frame, std::uint32_t width,
                                        std::uint32_t height, std::optional<ExactScaler>& scaler) {
  // Sizes beyond int become negative here and swscale refuses them.
  auto context = exact_scaler_for(frame, AV_PIX_FMT_RGB48LE, static_cast<int>(width),
                                  static_cast<int>(height), scaler);
  if (!context) {
    return fail(std::move(context.error()));
  }
  auto pixels = scale_to_packed_rgb(**context, frame, width, height, 6);
  if (!pixels) {
    return fail(std::move(pixels.error()));
  }
  if (leaves_last_column(frame, width, height)) {
    const std::size_t row = std::size_t{width} * 6;
    for (std::size_t y = 0; y < height; ++y) {
      std::memset(pixels->data() + y * row + row - 6, 0, 6);
    }
  }
  return RgbFrame{
      .data = std::move(*pixels), .width = width, .height = height, .sixteen_bit = true};
}

Result<Yuv420Frame> convert_frame_to_yuv420p16(const AVFrame& frame,
                                               std::optional<ExactScaler>& scaler) {
  const auto width = static_cast<std::uint32_t>(frame.width);
  const auto height = static_cast<std::uint32_t>(frame.height);
  auto context = exact_scaler_for(frame, AV_PIX_FMT_YUV420P16LE, frame.width, frame.height, scaler);
  if (!context) {
    return fail(std::move(context.error()));
  }
  const std::array<std::size_t, 3> plane_width{width, width / 2 + width % 2, width / 2 + width % 2};
  const std::array<std::size_t, 3> plane_height{height, height / 2 + height % 2,
                                                height / 2 + height % 2};
  std::array<ByteBuffer, 3> buffers;
  std::array<std::uint8_t*, 4> planes{};
  std::array<int, 4> lines{};
  for (std::size_t p = 0; p < 3; ++p) {
    // Two 32-bit sizes and a factor of 2 fit a 64-bit size; a line beyond
    // int is refused by swscale below.
    const std::size_t row = plane_width[p] * SAMPLE_BYTES_16;
    const std::size_t line = padded_line(row);
    auto allocated = ByteBuffer::with_capacity(line * (plane_height[p] - 1) + row);
    if (!allocated) {
      return fail(std::move(allocated.error()));
    }
    buffers[p] = std::move(*allocated);
    planes[p] = buffers[p].data();
    lines[p] = line <= static_cast<std::size_t>(INT32_MAX) ? static_cast<int>(line) : -1;
  }
  const int rows =
      sws_scale(*context, frame.data, frame.linesize, 0, frame.height, planes.data(), lines.data());
  if (auto checked = check_rows(rows, height, "YUV420P16"); !checked) {
    return fail(std::move(checked.error()));
  }
  for (std::size_t p = 0; p < 3; ++p) {
    const std::size_t row = plane_width[p] * SAMPLE_BYTES_16;
    pack_rows(buffers[p].data(), static_cast<std::size_t>(lines[p]), row, plane_height[p]);
    buffers[p].set_size(row * plane_height[p]);
  }
  return yuv420_picture(frame, std::move(buffers), true);
}

bool FfmpegPictureConverter::turns_after_conversion(const AVFrame& frame) const noexcept {
  return !request_.orientation.is_identity() &&
         !can_turn_planes(static_cast<AVPixelFormat>(frame.format));
}

Result<const AVFrame*> FfmpegPictureConverter::prepared(const AVFrame& system_frame) {
  if (request_.orientation.is_identity() || turns_after_conversion(system_frame)) {
    return &system_frame;
  }
  return turner_.turn(system_frame, request_.orientation);
}

Result<RgbFrame> FfmpegPictureConverter::to_rgb(FfmpegDecodedFrame frame) {
  auto picture = in_system_memory(std::move(frame.frame));
  if (!picture) {
    return fail(std::move(picture.error()));
  }
  const AVFrame& system_frame = **picture;
  const Orientation orientation = request_.orientation;
  const bool swap = orientation.swaps_axes();
  // Each dimension of the turned picture defaults on its own.
  const auto upright_width =
      static_cast<std::uint32_t>(swap ? system_frame.height : system_frame.width);
  const auto upright_height =
      static_cast<std::uint32_t>(swap ? system_frame.width : system_frame.height);
  const std::uint32_t width = request_.width != 0 ? request_.width : upright_width;
  const std::uint32_t height = request_.height != 0 ? request_.height : upright_height;
  const bool after = turns_after_conversion(system_frame);
  auto source = prepared(system_frame);
  if (!source) {
    return fail(std::move(source.error()));
  }
  // Turned afterwards, the picture is converted at its stored orientation.
  const std::uint32_t convert_width = after && swap ? height : width;
  const std::uint32_t convert_height = after && swap ? width : height;
  auto converted =
      request_.layout == OutputLayout::Rgb48
          ? convert_frame_to_rgb48(**source, convert_width, convert_height, exact_scaler_)
          : convert_frame_to_rgb(**source, convert_width, convert_height, rgb_scaler_);
  if (!converted || !after) {
    return converted;
  }
  const std::size_t pixel = converted->sixteen_bit ? 6 : 3;
  auto turned = turned_copy(converted->data, convert_width, convert_height, pixel, orientation);
  if (!turned) {
    return fail(std::move(turned.error()));
  }
  converted->data = std::move(*turned);
  converted->width = width;
  converted->height = height;
  return converted;
}

Result<Yuv420Frame> FfmpegPictureConverter::to_yuv420(FfmpegDecodedFrame frame) {
  auto picture = in_system_memory(std::move(frame.frame));
  if (!picture) {
    return fail(std::move(picture.error()));
  }
  const AVFrame& system_frame = **picture;
  // The 8-bit output takes 4:2:0 sources only, whose planes always turn.
  const bool after = request_.layout == OutputLayout::Yuv420P16 &&
                     turns_after_conversion(system_frame);
  auto source = prepared(system_frame);
  if (!source) {
    return fail(std::move(source.error()));
  }
  auto converted = request_.layout == OutputLayout::Yuv420P16
                       ? convert_frame_to_yuv420p16(**source, exact_scaler_)
                       : convert_frame_to_yuv420(**source);
  if (!converted || !after) {
    return converted;
  }
  const Orientation orientation = request_.orientation;
  const std::size_t w = converted->width;
  const std::size_t h = converted->height;
  const std::size_t cw = w / 2 + w % 2;
  const std::size_t ch = h / 2 + h % 2;
  for (auto [plane, pw, ph] : {std::tuple{&converted->y, w, h}, std::tuple{&converted->u, cw, ch},
                                std::tuple{&converted->v, cw, ch}}) {
    auto turned = turned_copy(*plane, pw, ph, SAMPLE_BYTES_16, orientation);
    if (!turned) {
      return fail(std::move(turned.error()));
    }
    *plane = std::move(*turned);
  }
  if (orientation.swaps_axes()) {
    std::swap(converted->width, converted->height);
  }
  return converted;
}

}  // namespace vantle
