#include <cstring>

#include "bench.h"
#include "media/synthetic_clip.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace vantle::bench {

static Failure failure(const std::string& text, int code = 0) {
  return vantle::fail("bare loop: " + text +
                      (code != 0 ? ": " + media::ffmpeg_error_text(code) : ""));
}

Result<Ceiling> Ceiling::open(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                              int threads, bool keep_buffers) {
  const AVCodec* decoder = avcodec_find_decoder(codec == RuntimeCodec::H264  ? AV_CODEC_ID_H264
                                                : codec == RuntimeCodec::Av1 ? AV_CODEC_ID_AV1
                                                : codec == RuntimeCodec::Vp9 ? AV_CODEC_ID_VP9
                                                : codec == RuntimeCodec::Vp8 ? AV_CODEC_ID_VP8
                                                                             : AV_CODEC_ID_HEVC);
  if (decoder == nullptr) {
    return failure("no FFmpeg decoder for the codec");
  }
  Ceiling ceiling;
  ceiling.threads_ = threads;
  ceiling.keep_buffers_ = keep_buffers;
  ceiling.decoder_.reset(avcodec_alloc_context3(decoder));
  if (!ceiling.decoder_ || !ceiling.packet_ || !ceiling.encoded_ || !ceiling.frame_ ||
      !media::set_extradata(*ceiling.decoder_, extradata)) {
    return failure("out of memory");
  }
  ceiling.decoder_->thread_type = FF_THREAD_FRAME;
  ceiling.decoder_->thread_count = threads;
  if (const int rc = avcodec_open2(ceiling.decoder_.get(), decoder, nullptr); rc < 0) {
    return failure("cannot open the decoder", rc);
  }
  return ceiling;
}

std::uint8_t* Ceiling::buffer(std::size_t size) {
  next_buffer_ = keep_buffers_ ? next_buffer_ : 0;
  if (next_buffer_ == buffers_.size()) {
    buffers_.emplace_back();
  }
  auto& [bytes, kept_size] = buffers_[next_buffer_++];
  if (!bytes || kept_size != size) {
    // swscale's packed-RGB24 writers store whole vectors past the last pixel.
    bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size + 256);
    kept_size = size;
  }
  return bytes.get();
}

Status Ceiling::take(AVFrame& picture, const Job& job) {
  if (job.work == Work::Rgb || job.work == Work::Rgb48) {
    const bool wide = job.work == Work::Rgb48;
    const int width = job.width != 0 ? job.width : picture.width;
    const int height = job.height != 0 ? job.height : picture.height;
    const std::vector<int> shape = {picture.format, picture.width,      picture.height,      width,
                                    height,         picture.colorspace, picture.color_range, wide};
    const auto format = static_cast<AVPixelFormat>(picture.format);
    const int* coefficients = sws_getCoefficients(picture.colorspace);
    const int full = picture.color_range == AVCOL_RANGE_JPEG;
    if (wide && (!scaler_ || shape != scaler_shape_)) {
      // As the command line's scale filter: bicubic (flags 0), default chroma
      // positions, the source's range known before the context is initialised.
      scaler_.reset(sws_alloc_context());
      const std::pair<const char*, std::int64_t> options[] = {
          {"srcw", picture.width}, {"srch", picture.height}, {"src_format", format},
          {"dstw", width},         {"dsth", height},         {"dst_format", AV_PIX_FMT_RGB48LE},
          {"sws_flags", 0},        {"src_range", full},      {"dst_range", 0}};
      bool set = scaler_ != nullptr;
      for (const auto& [name, value] : options) {
        set = set && av_opt_set_int(scaler_.get(), name, value, 0) >= 0;
      }
      if (!set || sws_init_context(scaler_.get(), nullptr, nullptr) < 0 ||
          sws_setColorspaceDetails(scaler_.get(), coefficients, full, coefficients, 0, 0, 1 << 16,
                                   1 << 16) < 0) {
        return failure("cannot set swscale up");
      }
      scaler_shape_ = shape;
    } else if (!scaler_ || shape != scaler_shape_) {
      // Fast bilinear, but plain bilinear for full-width chroma at its own
      // size, where fast bilinear shifts chroma: the library's choice.
      const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
      const bool exact = desc != nullptr && desc->log2_chroma_w == 0 && width == picture.width &&
                         height == picture.height;
      scaler_.reset(sws_getContext(picture.width, picture.height, format, width, height,
                                   AV_PIX_FMT_RGB24, exact ? SWS_BILINEAR : SWS_FAST_BILINEAR,
                                   nullptr, nullptr, nullptr));
      // swscale's coefficient sets are numbered as FFmpeg's colour spaces.
      if (!scaler_ || sws_setColorspaceDetails(scaler_.get(), coefficients, full, coefficients, 1,
                                               0, 1 << 16, 1 << 16) < 0) {
        return failure("cannot set swscale up");
      }
      scaler_shape_ = shape;
    }
    const int bytes_per_pixel = wide ? 6 : 3;
    std::uint8_t* planes[4] = {buffer(static_cast<std::size_t>(width) * bytes_per_pixel * height)};
    int strides[4] = {width * bytes_per_pixel};
    if (sws_scale(scaler_.get(), picture.data, picture.linesize, 0, picture.height, planes,
                  strides) != height) {
      return failure("sws_scale failed");
    }
    // Without recycling the picture is freed at once, as a host that hands it on.
    buffers_.resize(keep_buffers_ ? buffers_.size() : 0);
    return {};
  }
  if (picture.format != AV_PIX_FMT_YUV420P && picture.format != AV_PIX_FMT_YUVJ420P) {
    return failure("YUV420 copies of other formats are not measured");
  }
  if (job.work == Work::Indexed) {
    packet_indices_.push_back(picture.pts);
  }
  for (int plane = 0, shift = 0; plane < 3; ++plane, shift = 1) {
    const auto width = static_cast<std::size_t>((picture.width + shift) >> shift);
    const auto rows = static_cast<std::size_t>((picture.height + shift) >> shift);
    av_image_copy_plane(buffer(width * rows), static_cast<int>(width), picture.data[plane],
                        picture.linesize[plane], static_cast<int>(width), static_cast<int>(rows));
  }
  return {};
}

Status Ceiling::encode(AVFrame* picture, std::size_t group_size) {
  if (!encoder_ && picture != nullptr) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    media::EncoderSettings settings;  // 25/1, no B-frames
    settings.width = picture->width;
    settings.height = picture->height;
    settings.gop_size = static_cast<int>(group_size);
    settings.threads = threads_;
    auto opened = codec != nullptr ? media::open_encoder(*codec, settings, AV_PIX_FMT_YUV420P,
                                                         AVCOL_RANGE_UNSPECIFIED)
                                   : vantle::fail(std::string("no H.264 encoder"));
    if (!opened) {
      return failure(opened.error());
    }
    encoder_ = std::move(*opened);
    next_pts_ = 0;
  }
  if (picture != nullptr) {
    picture->pts = next_pts_++;
    picture->pict_type = AV_PICTURE_TYPE_NONE;
  }
  int rc = encoder_ ? avcodec_send_frame(encoder_.get(), picture) : AVERROR_EOF;
  while (rc >= 0 && (rc = avcodec_receive_packet(encoder_.get(), encoded_.get())) == 0) {
    std::memcpy(buffer(static_cast<std::size_t>(encoded_->size)), encoded_->data,
                static_cast<std::size_t>(encoded_->size));
    av_packet_unref(encoded_.get());
  }
  if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    return failure("encoder", rc);
  }
  if (picture == nullptr) {
    encoder_.reset();
  }
  return {};
}

Result<std::size_t> Ceiling::run(std::span<const RuntimePacket> group, const Job& job) {
  // Flushed before use, not after: what the flush frees comes back to this
  // loop's own next allocations.
  avcodec_flush_buffers(decoder_.get());
  next_buffer_ = 0;
  packet_indices_.clear();
  std::size_t pictures = 0;
  auto receive_all = [&]() -> Status {
    // EAGAIN, EOF, or damage, which only stops this receive.
    while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
      auto taken =
          job.work == Work::Transcode ? encode(frame_.get(), group.size()) : take(*frame_, job);
      av_frame_unref(frame_.get());
      if (!taken) {
        return taken;
      }
      ++pictures;
    }
    return {};
  };
  for (std::size_t index = 0; index <= group.size(); ++index) {
    if (auto received = receive_all(); !received) {
      return vantle::fail(received.error());
    }
    AVPacket* packet = nullptr;
    if (index < group.size()) {
      packet = packet_.get();
      if (const int rc = av_new_packet(packet, static_cast<int>(group[index].len)); rc < 0) {
        return failure("packet", rc);
      }
      std::memcpy(packet->data, group[index].data, group[index].len);
      packet->pts = static_cast<std::int64_t>(index);
    }
    const int rc = avcodec_send_packet(decoder_.get(), packet);
    av_packet_unref(packet_.get());
    if (rc != 0) {
      return failure("failed to decode packet " + std::to_string(index), rc);
    }
  }
  auto finished = receive_all();
  if (finished && job.work == Work::Transcode) {
    finished = encode(nullptr, group.size());
  }
  if (!finished) {
    return vantle::fail(finished.error());
  }
  return job.work == Work::Transcode && keep_buffers_ ? next_buffer_ : pictures;
}

}  // namespace vantle::bench
