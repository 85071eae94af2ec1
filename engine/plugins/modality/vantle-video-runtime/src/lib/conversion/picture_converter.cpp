#include "conversion/picture_converter.h"

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "common/host_memory.h"
#include "common/request_limits.h"
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

// One picture of the running call's response, counted whole against the
// response limit before any of its buffers is allocated: the picture that
// would take the call over the limit is refused with nothing of it mapped,
// rather than after some of its planes. The response buffers the thread
// allocates while it is counted are its own and do not count again.
class ResponsePicture {
 public:
  ResponsePicture() noexcept = default;
  ResponsePicture(const ResponsePicture&) = delete;
  ResponsePicture& operator=(const ResponsePicture&) = delete;
  ~ResponsePicture() {
    if (counted_) {
      set_inside_response_picture(false);
    }
  }

  // Fails with the response limit's message, counting nothing.
  Result<void> count(std::size_t bytes) {
    if (auto counted = count_response_bytes(bytes); !counted) {
      return counted;
    }
    set_inside_response_picture(true);
    counted_ = true;
    return {};
  }

 private:
  bool counted_ = false;
};

// Plane p's width or height (`size`) in a YUV 4:2:0 picture.
std::size_t yuv420_plane_size(std::uint32_t size, std::size_t p) noexcept {
  return p == 0 ? size : std::size_t{size} / 2 + size % 2;
}

// The buffer a 16-bit plane is written in: swscale's padded lines, the last
// one unpadded. Two 32-bit sizes and a factor of 2 fit a 64-bit size.
std::size_t yuv420p16_plane_capacity(std::size_t width, std::size_t height) noexcept {
  const std::size_t row = width * SAMPLE_BYTES_16;
  return padded_line(row) * (height - 1) + row;
}

// The bytes of the buffers convert_frame_to_yuv420 or
// convert_frame_to_yuv420p16 allocates for `frame`.
std::size_t yuv420_buffer_bytes(const AVFrame& frame, bool sixteen_bit) noexcept {
  const auto width = static_cast<std::uint32_t>(frame.width);
  const auto height = static_cast<std::uint32_t>(frame.height);
  std::size_t total = 0;
  for (std::size_t p = 0; p < 3; ++p) {
    const std::size_t w = yuv420_plane_size(width, p);
    const std::size_t h = yuv420_plane_size(height, p);
    total += sixteen_bit ? yuv420p16_plane_capacity(w, h) : w * h;
  }
  return total;
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
  const std::array<std::size_t, 3> plane_width{width, yuv420_plane_size(width, 1),
                                               yuv420_plane_size(width, 2)};
  const std::array<std::size_t, 3> plane_height{height, yuv420_plane_size(height, 1),
                                                yuv420_plane_size(height, 2)};
  std::array<ByteBuffer, 3> buffers;
  std::array<std::uint8_t*, 4> planes{};
  std::array<int, 4> lines{};
  for (std::size_t p = 0; p < 3; ++p) {
    // A line beyond int is refused by swscale below.
    const std::size_t line = padded_line(plane_width[p] * SAMPLE_BYTES_16);
    auto allocated =
        ByteBuffer::with_capacity(yuv420p16_plane_capacity(plane_width[p], plane_height[p]));
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
  const std::size_t pixel = request_.layout == OutputLayout::Rgb48 ? 6 : 3;
  // Turned afterwards, the picture takes a second buffer, which replaces the
  // first: the picture counts once, whole, before either is allocated. (A
  // layout that overflows fails the conversion itself.)
  ResponsePicture counted;
  if (after) {
    if (auto layout = rgb_buffer_layout(convert_width, convert_height, pixel); layout) {
      if (auto fits = counted.count(layout->written_size); !fits) {
        return fail(std::move(fits.error()));
      }
    }
  }
  auto converted =
      request_.layout == OutputLayout::Rgb48
          ? convert_frame_to_rgb48(**source, convert_width, convert_height, exact_scaler_)
          : convert_frame_to_rgb(**source, convert_width, convert_height, rgb_scaler_);
  if (!converted || !after) {
    return converted;
  }
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
  // Counted whole before any plane is allocated, so that the picture that
  // would take the call over the response limit maps none of its planes;
  // planes turned afterwards replace counted ones.
  ResponsePicture counted;
  if (auto fits =
          counted.count(yuv420_buffer_bytes(**source, request_.layout == OutputLayout::Yuv420P16));
      !fits) {
    return fail(std::move(fits.error()));
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
