#include "bare_pictures.h"

#include <cstring>

namespace vantle::bench {

namespace {

MallocBytes allocate(std::size_t size) {
  MallocBytes bytes(static_cast<std::uint8_t*>(std::malloc(size + OUTPUT_SLACK)));
  if (!bytes) {
    std::abort();
  }
  return bytes;
}

void copy_plane(const AVFrame& frame, int plane, std::size_t width, std::size_t rows,
                PictureOutput& output) {
  std::uint8_t* out = output.next_buffer(width * rows);
  const auto line = static_cast<std::size_t>(frame.linesize[plane]);
  const std::uint8_t* source = frame.data[plane];
  if (line == width) {
    std::memcpy(out, source, width * rows);
  } else {
    for (std::size_t row = 0; row < rows; ++row) {
      std::memcpy(out + row * width, source + row * line, width);
    }
  }
}

// The swscale matrix of a frame's colour space, as a host would pick it.
int swscale_colorspace(AVColorSpace space) {
  switch (space) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
      return SWS_CS_BT2020;
    default:
      return SWS_CS_DEFAULT;
  }
}

}  // namespace

std::uint8_t* FreshOutput::next_buffer(std::size_t size) {
  buffers_.push_back(allocate(size));
  return buffers_.back().get();
}

std::uint8_t* RecycledOutput::next_buffer(std::size_t size) {
  if (next_ == buffers_.size()) {
    buffers_.emplace_back();
  }
  Buffer& buffer = buffers_[next_++];
  if (!buffer.bytes || buffer.size != size) {
    buffer.bytes = allocate(size);
    buffer.size = size;
  }
  return buffer.bytes.get();
}

Status copy_yuv420_planes(const AVFrame& frame, PictureOutput& output) {
  if (frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P) {
    return fail("bare loop: the decoder made a frame that is not yuv420p");
  }
  const auto width = static_cast<std::size_t>(frame.width);
  const auto height = static_cast<std::size_t>(frame.height);
  const std::size_t chroma_width = (width + 1) / 2;
  const std::size_t chroma_height = (height + 1) / 2;
  copy_plane(frame, 0, width, height, output);
  copy_plane(frame, 1, chroma_width, chroma_height, output);
  copy_plane(frame, 2, chroma_width, chroma_height, output);
  return {};
}

Status BareRgbScaler::convert(const AVFrame& frame, std::uint32_t width, std::uint32_t height,
                              PictureOutput& output) {
  const int out_width = width != 0 ? static_cast<int>(width) : frame.width;
  const int out_height = height != 0 ? static_cast<int>(height) : frame.height;
  if (!context_) {
    context_.reset(sws_getContext(frame.width, frame.height,
                                  static_cast<AVPixelFormat>(frame.format), out_width, out_height,
                                  AV_PIX_FMT_RGB24, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!context_) {
      return fail("bare loop: sws_getContext failed");
    }
    const int* coefficients = sws_getCoefficients(swscale_colorspace(frame.colorspace));
    const int full_range = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    if (sws_setColorspaceDetails(context_.get(), coefficients, full_range, coefficients, 1, 0,
                                 1 << 16, 1 << 16) < 0) {
      return fail("bare loop: sws_setColorspaceDetails failed");
    }
  }
  const std::size_t row = static_cast<std::size_t>(out_width) * 3;
  std::uint8_t* planes[4] = {output.next_buffer(row * static_cast<std::size_t>(out_height)),
                             nullptr, nullptr, nullptr};
  int linesizes[4] = {static_cast<int>(row), 0, 0, 0};
  const int rows =
      sws_scale(context_.get(), frame.data, frame.linesize, 0, frame.height, planes, linesizes);
  if (rows != out_height) {
    return fail("bare loop: sws_scale failed");
  }
  return {};
}

}  // namespace vantle::bench
