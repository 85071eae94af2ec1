#include "picture_files.h"
#include "common/result.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "media/ffmpeg_handles.h"

namespace vantle::tool {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

Result<File> create(const std::string& path) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    return vantle::fail("cannot write " + path + ": " + std::strerror(errno));
  }
  return file;
}

bool put(std::FILE* file, const void* data, std::size_t len) {
  return len == 0 || std::fwrite(data, 1, len, file) == len;
}

Status close(File file, const std::string& path) {
  if (std::fclose(file.release()) != 0) {
    return vantle::fail("cannot write " + path + ": " + std::strerror(errno));
  }
  return {};
}

}  // namespace

Status write_png(const RuntimeFrame& frame, const std::string& path) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) {
    return vantle::fail("this FFmpeg has no PNG encoder");
  }
  CodecContextHandle context(avcodec_alloc_context3(codec));
  FrameHandle picture(av_frame_alloc());
  PacketHandle packet(av_packet_alloc());
  if (!context || !picture || !packet) {
    return vantle::fail("out of memory");
  }
  const bool deep = frame.format == RuntimePixelFormat::Rgb48;
  // PNG stores 16-bit samples big-endian; the library returns them
  // little-endian.
  std::vector<std::uint8_t> swapped;
  std::uint8_t* samples = frame.rgb.data;
  if (deep) {
    swapped.resize(frame.rgb.len);
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
      swapped[i] = frame.rgb.data[i + 1];
      swapped[i + 1] = frame.rgb.data[i];
    }
    samples = swapped.data();
  }
  const AVPixelFormat format = deep ? AV_PIX_FMT_RGB48BE : AV_PIX_FMT_RGB24;
  context->width = static_cast<int>(frame.width);
  context->height = static_cast<int>(frame.height);
  context->pix_fmt = format;
  context->time_base = AVRational{1, 25};
  int rc = avcodec_open2(context.get(), codec, nullptr);
  // The frame only borrows the samples: the encoder copies what it keeps.
  picture->format = format;
  picture->width = context->width;
  picture->height = context->height;
  picture->data[0] = samples;
  picture->linesize[0] = static_cast<int>(frame.width) * (deep ? 6 : 3);
  if (rc >= 0) {
    rc = avcodec_send_frame(context.get(), picture.get());
  }
  if (rc >= 0) {
    rc = avcodec_send_frame(context.get(), nullptr);
  }
  if (rc >= 0) {
    rc = avcodec_receive_packet(context.get(), packet.get());
  }
  if (rc < 0) {
    return vantle::fail("PNG encoder: " + media::ffmpeg_error_text(rc));
  }
  auto file = create(path);
  if (!file) {
    return vantle::fail(file.error());
  }
  if (!put(file->get(), packet->data, static_cast<std::size_t>(packet->size))) {
    return vantle::fail("cannot write " + path + ": " + std::strerror(errno));
  }
  return close(std::move(*file), path);
}

Status write_y4m(std::span<const RuntimeFrame> frames, int rate_num, int rate_den,
                 const std::string& path) {
  if (frames.empty()) {
    return vantle::fail("no pictures to write to " + path);
  }
  auto file = create(path);
  if (!file) {
    return vantle::fail(file.error());
  }
  const RuntimeFrame& first = frames.front();
  std::string header =
      "YUV4MPEG2 W" + std::to_string(first.width) + " H" + std::to_string(first.height) + " F" +
      std::to_string(rate_num) + ":" + std::to_string(rate_den) + " Ip A1:1 " +
      (first.format == RuntimePixelFormat::Yuv420P16 ? "C420p16 XYSCSS=420P16" : "C420jpeg");
  if (first.color_range == AVCOL_RANGE_MPEG) {
    header += " XCOLORRANGE=LIMITED";
  } else if (first.color_range == AVCOL_RANGE_JPEG) {
    header += " XCOLORRANGE=FULL";
  }
  header += "\n";
  bool ok = put(file->get(), header.data(), header.size());
  for (const RuntimeFrame& frame : frames) {
    if (frame.width != first.width || frame.height != first.height) {
      return vantle::fail(path + ": the picture size changes inside the group (" +
                          std::to_string(first.width) + "x" + std::to_string(first.height) +
                          " to " + std::to_string(frame.width) + "x" +
                          std::to_string(frame.height) + "); YUV4MPEG2 holds one size");
    }
    ok = ok && put(file->get(), "FRAME\n", 6) && put(file->get(), frame.y.data, frame.y.len) &&
         put(file->get(), frame.u.data, frame.u.len) && put(file->get(), frame.v.data, frame.v.len);
  }
  if (!ok) {
    return vantle::fail("cannot write " + path + ": " + std::strerror(errno));
  }
  return close(std::move(*file), path);
}

}  // namespace vantle::tool
