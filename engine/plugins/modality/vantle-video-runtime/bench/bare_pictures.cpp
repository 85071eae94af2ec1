#include "bare_pictures.h"

#include <cstdlib>
#include <cstring>

namespace vantle::bench {

namespace {

std::uint8_t* allocate(std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (bytes == nullptr) {
    std::abort();
  }
  return bytes;
}

std::uint8_t* copy_plane(const AVFrame& frame, int plane, std::size_t width, std::size_t rows) {
  std::uint8_t* out = allocate(width * rows);
  const auto line = static_cast<std::size_t>(frame.linesize[plane]);
  const std::uint8_t* source = frame.data[plane];
  if (line == width) {
    std::memcpy(out, source, width * rows);
  } else {
    for (std::size_t row = 0; row < rows; ++row) {
      std::memcpy(out + row * width, source + row * line, width);
    }
  }
  return out;
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

BarePictureList::~BarePictureList() {
  for (const BarePicture& picture : pictures_) {
    std::free(picture.y);
    std::free(picture.u);
    std::free(picture.v);
    std::free(picture.rgb);
  }
}

Result<BarePicture> copy_yuv420_planes(const AVFrame& frame) {
  if (frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P) {
    return fail("bare loop: the decoder made a frame that is not yuv420p");
  }
  BarePicture picture;
  picture.width = static_cast<std::uint32_t>(frame.width);
  picture.height = static_cast<std::uint32_t>(frame.height);
  const std::size_t width = picture.width;
  const std::size_t height = picture.height;
  const std::size_t chroma_width = (width + 1) / 2;
  const std::size_t chroma_height = (height + 1) / 2;
  picture.y = copy_plane(frame, 0, width, height);
  picture.u = copy_plane(frame, 1, chroma_width, chroma_height);
  picture.v = copy_plane(frame, 2, chroma_width, chroma_height);
  return picture;
}

Result<BarePicture> BareRgbScaler::convert(const AVFrame& frame, std::uint32_t width,
                                           std::uint32_t height) {
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
  BarePicture picture;
  picture.width = static_cast<std::uint32_t>(out_width);
  picture.height = static_cast<std::uint32_t>(out_height);
  const std::size_t row = static_cast<std::size_t>(out_width) * 3;
  picture.rgb = allocate(row * static_cast<std::size_t>(out_height));
  std::uint8_t* planes[4] = {picture.rgb, nullptr, nullptr, nullptr};
  int linesizes[4] = {static_cast<int>(row), 0, 0, 0};
  const int rows =
      sws_scale(context_.get(), frame.data, frame.linesize, 0, frame.height, planes, linesizes);
  if (rows != out_height) {
    std::free(picture.rgb);
    return fail("bare loop: sws_scale failed");
  }
  return picture;
}

}  // namespace vantle::bench
