#include "bare_ceiling.h"

#include <cstring>

namespace vantle::tool {

namespace {

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

// Copies a plane row by row into a packed buffer position.
std::uint8_t* copy_plane(std::uint8_t* out, const std::uint8_t* plane, int linesize, int width,
                         int height) {
  for (int y = 0; y < height; ++y) {
    std::memcpy(out, plane + static_cast<std::ptrdiff_t>(y) * linesize,
                static_cast<std::size_t>(width));
    out += width;
  }
  return out;
}

}  // namespace

BareCeiling::BareCeiling(CodecContextHandle decoder, int threads)
    : decoder_(std::move(decoder)),
      threads_(threads),
      packet_(av_packet_alloc()),
      encoded_(av_packet_alloc()),
      frame_(av_frame_alloc()) {}

std::expected<BareCeiling, std::string> BareCeiling::open(const Clip& clip, int threads) {
  const AVCodec* codec = avcodec_find_decoder(codec_id(clip.codec));
  if (codec == nullptr) {
    return std::unexpected("bare loop: no decoder for " + clip.codec_name);
  }
  CodecContextHandle context(avcodec_alloc_context3(codec));
  if (!context) {
    return std::unexpected("bare loop: out of memory");
  }
  context->thread_type = FF_THREAD_FRAME;
  context->thread_count = threads;
  if (!clip.extradata.empty()) {
    context->extradata = static_cast<std::uint8_t*>(
        av_mallocz(clip.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) {
      return std::unexpected("bare loop: out of memory");
    }
    std::memcpy(context->extradata, clip.extradata.data(), clip.extradata.size());
    context->extradata_size = static_cast<int>(clip.extradata.size());
  }
  if (const int rc = avcodec_open2(context.get(), codec, nullptr); rc < 0) {
    return std::unexpected("bare loop: cannot open the decoder: " + ffmpeg_error_text(rc));
  }
  BareCeiling ceiling(std::move(context), threads);
  if (!ceiling.packet_ || !ceiling.encoded_ || !ceiling.frame_) {
    return std::unexpected("bare loop: out of memory");
  }
  return ceiling;
}

std::expected<void, std::string> BareCeiling::take_picture(const AVFrame& frame, BenchWork work,
                                                           int width, int height,
                                                           std::size_t slot) {
  if (pictures_.size() <= slot) {
    pictures_.resize(slot + 1);
  }
  std::vector<std::uint8_t>& out = pictures_[slot];
  if (work == BenchWork::Rgb || work == BenchWork::RgbResized) {
    const int out_width = work == BenchWork::Rgb ? frame.width : width;
    const int out_height = work == BenchWork::Rgb ? frame.height : height;
    SwsContext* previous = scaler_.get();
    scaler_.reset(sws_getCachedContext(
        scaler_.release(), frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
        out_width, out_height, AV_PIX_FMT_RGB24, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) {
      return std::unexpected("bare loop: no scaler");
    }
    // The frame's own matrix and range, as the library converts; set again
    // only when the scaler or the colours change.
    const int colours = frame.colorspace * 2 + (frame.color_range == AVCOL_RANGE_JPEG);
    if (scaler_.get() != previous || colours != scaler_colours_) {
      sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(frame.colorspace),
                               frame.color_range == AVCOL_RANGE_JPEG,
                               sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
      scaler_colours_ = colours;
    }
    // Slack behind the end: swscale's vector stores may pass the last pixel.
    out.resize(static_cast<std::size_t>(out_width) * 3 * out_height + 64);
    std::uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
    int strides[4] = {out_width * 3, 0, 0, 0};
    if (sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) <=
        0) {
      return std::unexpected("bare loop: sws_scale failed");
    }
    return {};
  }
  const int chroma_width = (frame.width + 1) / 2;
  const int chroma_height = (frame.height + 1) / 2;
  out.resize(static_cast<std::size_t>(frame.width) * frame.height +
             2 * static_cast<std::size_t>(chroma_width) * chroma_height);
  std::uint8_t* next =
      copy_plane(out.data(), frame.data[0], frame.linesize[0], frame.width, frame.height);
  next = copy_plane(next, frame.data[1], frame.linesize[1], chroma_width, chroma_height);
  copy_plane(next, frame.data[2], frame.linesize[2], chroma_width, chroma_height);
  if (work == BenchWork::Indexed) {
    packet_indices_.resize(slot + 1);
    packet_indices_[slot] = static_cast<std::size_t>(frame.pts);
  }
  return {};
}

std::expected<void, std::string> BareCeiling::encode(AVFrame* frame, std::size_t group_size) {
  if (!encoder_ && frame == nullptr) {
    return {};  // a group without pictures
  }
  if (!encoder_) {
    // A fresh encoder per group: each output starts with its own key frame,
    // with the settings the library's transcode uses.
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
      return std::unexpected("bare loop: no H.264 encoder");
    }
    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) {
      return std::unexpected("bare loop: out of memory");
    }
    encoder_->thread_type = FF_THREAD_FRAME;
    encoder_->thread_count = threads_;
    encoder_->width = frame->width;
    encoder_->height = frame->height;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->framerate = AVRational{25, 1};
    encoder_->time_base = AVRational{1, 25};
    encoder_->gop_size = static_cast<int>(group_size);
    encoder_->max_b_frames = 0;
    if (const int rc = avcodec_open2(encoder_.get(), codec, nullptr); rc < 0) {
      return std::unexpected("bare loop: cannot open the H.264 encoder: " + ffmpeg_error_text(rc));
    }
    next_encoder_pts_ = 0;
    access_unit_count_ = 0;
  }
  if (frame != nullptr) {
    frame->pts = next_encoder_pts_++;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
  }
  if (const int rc = avcodec_send_frame(encoder_.get(), frame); rc < 0) {
    return std::unexpected("bare loop: encoder: " + ffmpeg_error_text(rc));
  }
  int rc = 0;
  while ((rc = avcodec_receive_packet(encoder_.get(), encoded_.get())) == 0) {
    if (access_units_.size() <= access_unit_count_) {
      access_units_.resize(access_unit_count_ + 1);
    }
    access_units_[access_unit_count_++].assign(encoded_->data, encoded_->data + encoded_->size);
    av_packet_unref(encoded_.get());
  }
  if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    return std::unexpected("bare loop: encoder: " + ffmpeg_error_text(rc));
  }
  if (frame == nullptr) {
    encoder_.reset();
  }
  return {};
}

std::expected<std::size_t, std::string> BareCeiling::run(const Clip& clip, const Group& group,
                                                         BenchWork work, int width, int height) {
  std::size_t pictures = 0;
  auto receive_all = [&]() -> std::expected<void, std::string> {
    int rc = 0;
    while ((rc = avcodec_receive_frame(decoder_.get(), frame_.get())) == 0) {
      std::expected<void, std::string> taken;
      if (work == BenchWork::Transcode) {
        taken = encode(frame_.get(), group.count);
      } else {
        taken = take_picture(*frame_, work, width, height, pictures);
      }
      av_frame_unref(frame_.get());
      if (!taken) {
        return taken;
      }
      ++pictures;
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
      return std::unexpected("bare loop: decoder: " + ffmpeg_error_text(rc));
    }
    return {};
  };
  for (std::size_t i = group.first; i <= group.first + group.count; ++i) {
    const bool drain = i == group.first + group.count;
    if (!drain) {
      const auto& bytes = clip.access_units[i].bytes;
      if (const int rc = av_new_packet(packet_.get(), static_cast<int>(bytes.size())); rc < 0) {
        return std::unexpected("bare loop: " + ffmpeg_error_text(rc));
      }
      std::memcpy(packet_->data, bytes.data(), bytes.size());
      packet_->pts = static_cast<std::int64_t>(i - group.first);
    }
    int rc = avcodec_send_packet(decoder_.get(), drain ? nullptr : packet_.get());
    av_packet_unref(packet_.get());
    if (rc < 0 && rc != AVERROR_INVALIDDATA) {
      return std::unexpected("bare loop: decoder: " + ffmpeg_error_text(rc));
    }
    if (auto received = receive_all(); !received) {
      return std::unexpected(received.error());
    }
  }
  avcodec_flush_buffers(decoder_.get());
  if (work == BenchWork::Transcode) {
    if (auto finished = encode(nullptr, group.count); !finished) {
      return std::unexpected(finished.error());
    }
  }
  return pictures;
}

}  // namespace vantle::tool
