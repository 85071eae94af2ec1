#include "conversion/yuv420.h"

#include <cstring>

#include "common/text.h"
#include "conversion/pixel_format_name.h"

namespace vantle {

Result<PlanePointer> frame_plane_ptr(const AVFrame& frame, int plane, std::size_t row_width) {
  const std::uint8_t* data = frame.data[plane];
  if (data == nullptr) {
    return fail(str_cat("decoded frame plane ", plane, " is null"));
  }
  const int linesize = frame.linesize[plane];
  if (linesize < 0) {
    return fail(str_cat("decoded frame plane ", plane, " has negative linesize"));
  }
  const auto line = static_cast<std::size_t>(linesize);
  if (line < row_width) {
    return fail(str_cat("decoded frame plane ", plane, " linesize ", line,
                        " is smaller than row width ", row_width));
  }
  return PlanePointer{data, line};
}

Result<ByteBuffer> copy_frame_plane(const AVFrame& frame, int plane, std::uint32_t width,
                                    std::uint32_t height) {
  // Two 32-bit values always fit a 64-bit size and so does their product.
  static_assert(sizeof(std::size_t) >= 8);
  const std::size_t row = width;
  const std::size_t rows = height;
  const std::size_t size = row * rows;
  auto source = frame_plane_ptr(frame, plane, row);
  if (!source) {
    return fail(std::move(source.error()));
  }
  auto allocated = ByteBuffer::with_capacity(size);
  if (!allocated) {
    return allocated;
  }
  ByteBuffer buffer = std::move(*allocated);
  if (size != 0) {
    if (source->linesize == row) {
      std::memcpy(buffer.data(), source->data, size);
    } else {
      for (std::size_t r = 0; r < rows; ++r) {
        std::memcpy(buffer.data() + r * row, source->data + r * source->linesize, row);
      }
    }
  }
  buffer.set_size(size);
  return buffer;
}

namespace {

std::int32_t known_range_or_unspecified(int range) {
  return range == AVCOL_RANGE_MPEG || range == AVCOL_RANGE_JPEG ? range : AVCOL_RANGE_UNSPECIFIED;
}

// Full for the yuvj formats, otherwise the frame's own range when it is
// limited or full.
std::int32_t yuv420_output_range(const AVFrame& frame) noexcept {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  if (format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
      format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
      format == AV_PIX_FMT_YUVJ411P) {
    return AVCOL_RANGE_JPEG;
  }
  return known_range_or_unspecified(enum_code(frame.color_range));
}

}  // namespace

Yuv420Frame yuv420_picture(const AVFrame& frame, std::array<ByteBuffer, 3> planes,
                           bool sixteen_bit) {
  return Yuv420Frame{
      .y = std::move(planes[0]),
      .u = std::move(planes[1]),
      .v = std::move(planes[2]),
      .width = static_cast<std::uint32_t>(frame.width),
      .height = static_cast<std::uint32_t>(frame.height),
      .color_range = yuv420_output_range(frame),
      .color_space = enum_code(frame.colorspace),
      .color_primaries = enum_code(frame.color_primaries),
      .color_trc = enum_code(frame.color_trc),
      .sixteen_bit = sixteen_bit,
  };
}

Result<Yuv420Frame> convert_frame_to_yuv420(const AVFrame& frame) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) {
    return fail(
        str_cat("yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got ",
                pixel_format_name(format)));
  }
  const auto width = static_cast<std::uint32_t>(frame.width);
  const auto height = static_cast<std::uint32_t>(frame.height);
  const std::uint32_t chroma_width = width / 2 + width % 2;
  const std::uint32_t chroma_height = height / 2 + height % 2;

  auto y = copy_frame_plane(frame, 0, width, height);
  if (!y) {
    return fail(std::move(y.error()));
  }
  auto u = copy_frame_plane(frame, 1, chroma_width, chroma_height);
  if (!u) {
    return fail(std::move(u.error()));
  }
  auto v = copy_frame_plane(frame, 2, chroma_width, chroma_height);
  if (!v) {
    return fail(std::move(v.error()));
  }
  return yuv420_picture(frame, {std::move(*y), std::move(*u), std::move(*v)}, false);
}

}  // namespace vantle
