#include "ceiling.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "conversion/rgb_scaler_setup.h"
#include "media/ffmpeg_handles.h"

namespace vantle::ceiling {

namespace {

using ContextHandle = media::CodecContextHandle;
using media::FrameHandle;
using media::PacketHandle;
using ScalerHandle = media::SwsHandle;
struct BytesFree {
  void operator()(std::uint8_t* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<std::uint8_t, BytesFree>;

using media::ffmpeg_error_text;

std::unexpected<std::string> failure(std::string text) {
  return std::unexpected("bare loop: " + std::move(text));
}

AVCodecID codec_id(RuntimeCodec codec) {
  switch (codec) {
    case RuntimeCodec::H264:
      return AV_CODEC_ID_H264;
    case RuntimeCodec::Av1:
      return AV_CODEC_ID_AV1;
    case RuntimeCodec::H265:
      break;
  }
  return AV_CODEC_ID_HEVC;
}

// The swscale matrix of a frame's colour space, from the library's own
// table; 0 for the spaces it refuses.
int swscale_colorspace(int space) {
  return space >= 0 && space <= COLOR_SPACE_COUNT
             ? COLOR_SPACES[static_cast<std::size_t>(space)].swscale_colorspace
             : 0;
}

// What the kept scaler was made for.
struct ScalerShape {
  int format = AV_PIX_FMT_NONE;
  int width = 0;
  int height = 0;
  int out_width = 0;
  int out_height = 0;
  int colorspace = 0;
  int full_range = 0;
  bool operator==(const ScalerShape&) const = default;
};

}  // namespace

struct Ceiling::State {
  ContextHandle decoder;
  int threads = 1;
  PacketHandle packet{av_packet_alloc()};
  PacketHandle encoded{av_packet_alloc()};
  FrameHandle frame{av_frame_alloc()};
  ScalerHandle scaler;
  ScalerShape shape;
  ContextHandle encoder;
  std::int64_t next_encoder_pts = 0;
  // Recycled outputs, one per place in the group.
  struct Buffer {
    Bytes bytes;
    std::size_t size = 0;
  };
  std::vector<Buffer> buffers;
  std::size_t next_buffer = 0;
  std::vector<std::int64_t> packet_indices;

  std::uint8_t* buffer(std::size_t size) {
    if (next_buffer == buffers.size()) {
      buffers.emplace_back();
    }
    Buffer& out = buffers[next_buffer++];
    if (!out.bytes || out.size != size) {
      out.bytes.reset(static_cast<std::uint8_t*>(std::malloc(size + OUTPUT_SLACK)));
      if (!out.bytes) {
        std::abort();
      }
      out.size = size;
    }
    return out.bytes.get();
  }

  std::expected<void, std::string> take(AVFrame& picture, const Job& job);
  std::expected<void, std::string> to_rgb(const AVFrame& picture, const Job& job);
  std::expected<void, std::string> copy_planes(const AVFrame& picture);
  // One picture to the group's encoder (opened on the first), or with null
  // the end of the group.
  std::expected<void, std::string> encode(AVFrame* picture, std::size_t group_size);
};

std::expected<void, std::string> Ceiling::State::to_rgb(const AVFrame& picture, const Job& job) {
  const int out_width = job.width != 0 ? job.width : picture.width;
  const int out_height = job.height != 0 ? job.height : picture.height;
  const int colorspace = swscale_colorspace(picture.colorspace);
  if (colorspace == 0) {
    return failure(std::string("RGB from colour space ") + av_color_space_name(picture.colorspace));
  }
  const ScalerShape wanted{picture.format,
                           picture.width,
                           picture.height,
                           out_width,
                           out_height,
                           colorspace,
                           picture.color_range == AVCOL_RANGE_JPEG};
  if (!scaler || !(shape == wanted)) {
    const AVPixelFormat format = swscale_source_format(static_cast<AVPixelFormat>(picture.format));
    scaler.reset(sws_getContext(
        picture.width, picture.height, format, out_width, out_height, AV_PIX_FMT_RGB24,
        rgb_scaler_flags(format, picture.width, picture.height, out_width, out_height), nullptr,
        nullptr, nullptr));
    if (!scaler) {
      return failure("sws_getContext failed");
    }
    const int* coefficients = sws_getCoefficients(colorspace);
    if (sws_setColorspaceDetails(scaler.get(), coefficients, wanted.full_range, coefficients, 1, 0,
                                 1 << 16, 1 << 16) < 0) {
      return failure("sws_setColorspaceDetails failed");
    }
    shape = wanted;
  }
  const int row = out_width * 3;
  std::uint8_t* planes[4] = {buffer(static_cast<std::size_t>(row) * out_height), nullptr, nullptr,
                             nullptr};
  int strides[4] = {row, 0, 0, 0};
  if (sws_scale(scaler.get(), picture.data, picture.linesize, 0, picture.height, planes, strides) !=
      out_height) {
    return failure("sws_scale failed");
  }
  return {};
}

std::expected<void, std::string> Ceiling::State::copy_planes(const AVFrame& picture) {
  if (picture.format != AV_PIX_FMT_YUV420P && picture.format != AV_PIX_FMT_YUVJ420P) {
    return failure(std::string("YUV420 copies of ") +
                   av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture.format)) +
                   " pictures are not measured");
  }
  for (int plane = 0; plane < 3; ++plane) {
    const auto width =
        static_cast<std::size_t>(plane == 0 ? picture.width : (picture.width + 1) / 2);
    const auto rows =
        static_cast<std::size_t>(plane == 0 ? picture.height : (picture.height + 1) / 2);
    const auto line = static_cast<std::size_t>(picture.linesize[plane]);
    std::uint8_t* out = buffer(width * rows);
    if (line == width) {
      std::memcpy(out, picture.data[plane], width * rows);
      continue;
    }
    for (std::size_t y = 0; y < rows; ++y) {
      std::memcpy(out + y * width, picture.data[plane] + y * line, width);
    }
  }
  return {};
}

std::expected<void, std::string> Ceiling::State::encode(AVFrame* picture, std::size_t group_size) {
  if (!encoder && picture == nullptr) {
    return {};
  }
  if (!encoder) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
      return failure("no H.264 encoder");
    }
    encoder.reset(avcodec_alloc_context3(codec));
    if (!encoder) {
      return failure("out of memory");
    }
    encoder->thread_type = FF_THREAD_FRAME;
    encoder->thread_count = threads;
    encoder->width = picture->width;
    encoder->height = picture->height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->framerate = AVRational{25, 1};
    encoder->time_base = AVRational{1, 25};
    encoder->gop_size = static_cast<int>(group_size);
    encoder->max_b_frames = 0;
    encoder->color_range = picture->color_range;
    encoder->colorspace = picture->colorspace;
    encoder->color_primaries = picture->color_primaries;
    encoder->color_trc = picture->color_trc;
    if (const int rc = avcodec_open2(encoder.get(), codec, nullptr); rc < 0) {
      return failure("cannot open the H.264 encoder: " + ffmpeg_error_text(rc));
    }
    next_encoder_pts = 0;
  }
  if (picture != nullptr) {
    picture->pts = next_encoder_pts++;
    picture->pict_type = AV_PICTURE_TYPE_NONE;
  }
  if (const int rc = avcodec_send_frame(encoder.get(), picture); rc < 0) {
    return failure("encoder: " + ffmpeg_error_text(rc));
  }
  int rc = 0;
  while ((rc = avcodec_receive_packet(encoder.get(), encoded.get())) == 0) {
    std::memcpy(buffer(static_cast<std::size_t>(encoded->size)), encoded->data,
                static_cast<std::size_t>(encoded->size));
    av_packet_unref(encoded.get());
  }
  if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    return failure("encoder: " + ffmpeg_error_text(rc));
  }
  if (picture == nullptr) {
    encoder.reset();
  }
  return {};
}

std::expected<void, std::string> Ceiling::State::take(AVFrame& picture, const Job& job) {
  switch (job.work) {
    case Work::Rgb:
      return to_rgb(picture, job);
    case Work::Indexed:
      packet_indices.push_back(picture.pts);
      return copy_planes(picture);
    case Work::Yuv420:
      return copy_planes(picture);
    case Work::Transcode:
      break;
  }
  return {};
}

Ceiling::Ceiling(std::unique_ptr<State> state) : state_(std::move(state)) {}
Ceiling::Ceiling(Ceiling&&) noexcept = default;
Ceiling& Ceiling::operator=(Ceiling&&) noexcept = default;
Ceiling::~Ceiling() = default;

std::expected<Ceiling, std::string> Ceiling::open(RuntimeCodec codec,
                                                  std::span<const std::uint8_t> extradata,
                                                  int threads) {
  const AVCodec* decoder = avcodec_find_decoder(codec_id(codec));
  if (decoder == nullptr) {
    return failure("no FFmpeg decoder for the codec");
  }
  auto state = std::make_unique<State>();
  state->threads = threads;
  state->decoder.reset(avcodec_alloc_context3(decoder));
  if (!state->decoder || !state->packet || !state->encoded || !state->frame) {
    return failure("out of memory");
  }
  state->decoder->thread_type = FF_THREAD_FRAME;
  state->decoder->thread_count = threads;
  if (!extradata.empty()) {
    auto* copy =
        static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (copy == nullptr) {
      return failure("out of memory");
    }
    std::memcpy(copy, extradata.data(), extradata.size());
    state->decoder->extradata = copy;
    state->decoder->extradata_size = static_cast<int>(extradata.size());
  }
  if (const int rc = avcodec_open2(state->decoder.get(), decoder, nullptr); rc < 0) {
    return failure("cannot open the decoder: " + ffmpeg_error_text(rc));
  }
  return Ceiling(std::move(state));
}

std::expected<std::size_t, std::string> Ceiling::run(std::span<const RuntimePacket> group,
                                                     const Job& job) {
  State& s = *state_;
  AVCodecContext* decoder = s.decoder.get();
  // Before use, not after: the memory the flush frees comes back to this
  // loop's own next allocations.
  avcodec_flush_buffers(decoder);
  s.next_buffer = 0;
  s.packet_indices.clear();
  std::size_t pictures = 0;
  auto receive_all = [&]() -> std::expected<void, std::string> {
    for (;;) {
      const int rc = avcodec_receive_frame(decoder, s.frame.get());
      if (rc != 0) {
        return {};  // EAGAIN, EOF, or damage, which only stops this receive
      }
      auto taken = job.work == Work::Transcode ? s.encode(s.frame.get(), group.size())
                                               : s.take(*s.frame, job);
      av_frame_unref(s.frame.get());
      if (!taken) {
        return taken;
      }
      ++pictures;
    }
  };
  for (std::size_t index = 0; index <= group.size(); ++index) {
    if (auto received = receive_all(); !received) {
      return std::unexpected(received.error());
    }
    AVPacket* packet = nullptr;
    if (index < group.size()) {
      packet = s.packet.get();
      if (const int rc = av_new_packet(packet, static_cast<int>(group[index].len)); rc < 0) {
        return failure(ffmpeg_error_text(rc));
      }
      std::memcpy(packet->data, group[index].data, group[index].len);
      packet->pts = static_cast<std::int64_t>(index);
    }
    const int rc = avcodec_send_packet(decoder, packet);
    av_packet_unref(s.packet.get());
    if (rc != 0) {
      return failure("failed to decode packet " + std::to_string(index) + ": " +
                     ffmpeg_error_text(rc));
    }
  }
  if (auto received = receive_all(); !received) {
    return std::unexpected(received.error());
  }
  if (job.work == Work::Transcode) {
    if (auto finished = s.encode(nullptr, group.size()); !finished) {
      return std::unexpected(finished.error());
    }
    return s.next_buffer;
  }
  return pictures;
}

}  // namespace vantle::ceiling
