#include "synthetic_clip.h"
#include "common/result.h"

namespace vantle::media {

using Failure = Failure;

Result<CodecContextHandle> open_encoder(const AVCodec& encoder, const EncoderSettings& settings,
                                        AVPixelFormat pix_fmt, AVColorRange range) {
  CodecContextHandle context(avcodec_alloc_context3(&encoder));
  if (context == nullptr) {
    return Failure("avcodec_alloc_context3 failed");
  }
  context->width = settings.width;
  context->height = settings.height;
  context->pix_fmt = pix_fmt;
  context->time_base = AVRational{settings.frame_rate_den, settings.frame_rate_num};
  context->framerate = AVRational{settings.frame_rate_num, settings.frame_rate_den};
  context->gop_size = settings.gop_size;
  context->max_b_frames = settings.b_frames;
  context->thread_count = settings.threads;
  set_colour(*context, settings.colour);
  context->color_range = range;
  if (settings.global_header) {
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  // avcodec_open2 takes the dictionary and hands back what it did not use.
  AVDictionary* raw_options = nullptr;
  DictionaryHandle options;
  for (const auto& [key, value] : settings.options) {
    raw_options = options.release();
    av_dict_set(&raw_options, key.c_str(), value.c_str(), 0);
    options.reset(raw_options);
  }
  raw_options = options.release();
  const int opened = avcodec_open2(context.get(), &encoder, &raw_options);
  options.reset(raw_options);
  const std::string name = encoder.name;
  if (opened < 0) {
    return Failure(name + " could not be opened for " + std::to_string(settings.width) + "x" +
                   std::to_string(settings.height) + " " + av_get_pix_fmt_name(pix_fmt) + ": " +
                   ffmpeg_error_text(opened));
  }
  if (options != nullptr) {
    const AVDictionaryEntry* unused =
        av_dict_get(options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX);
    return Failure(name + " did not take option " + unused->key);
  }
  return context;
}

namespace {

Status drain_packets(AVCodecContext& context, bool global_header, EncodedPictures& out) {
  PacketHandle packet(av_packet_alloc());
  if (packet == nullptr) {
    return Failure("av_packet_alloc failed");
  }
  for (;;) {
    const int received = avcodec_receive_packet(&context, packet.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return {};
    }
    if (received < 0) {
      return Failure("avcodec_receive_packet: " + ffmpeg_error_text(received));
    }
    out.packets.push_back(
        EncodedPacket{std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
                      packet->pts, packet->dts, (packet->flags & AV_PKT_FLAG_KEY) != 0});
    if (global_header && out.extradata.empty()) {
      // libaom hands its sequence header over as packet side data (and keeps
      // it in-band as well) rather than in the context's extradata.
      std::size_t size = 0;
      const std::uint8_t* side =
          av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &size);
      if (side != nullptr && size > 0) {
        out.extradata.assign(side, side + size);
      }
    }
    av_packet_unref(packet.get());
  }
}

}  // namespace

FrameHandle allocate_picture(int width, int height, AVPixelFormat pix_fmt) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
  if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 ||
      (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0 || desc->nb_components < 3 || width <= 0 ||
      height <= 0) {
    return nullptr;
  }
  FrameHandle frame(av_frame_alloc());
  if (frame == nullptr) {
    return nullptr;
  }
  frame->format = pix_fmt;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    return nullptr;
  }
  return frame;
}

const AVCodec* find_h264_encoder() {
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  return encoder != nullptr ? encoder : avcodec_find_encoder(AV_CODEC_ID_H264);
}

Status encode_pictures(const AVCodec& encoder, const EncoderSettings& settings, int first_frame,
                       int end_frame, const Painter& paint, EncodedPictures& out) {
  AVPixelFormat pix_fmt = settings.pix_fmt;
  AVColorRange range = settings.colour.range;
  auto context = open_encoder(encoder, settings, pix_fmt, range);
  if (!context && pix_fmt == AV_PIX_FMT_YUVJ420P) {
    // Newer encoders refuse the deprecated full-range formats; the same
    // samples go in as yuv420p marked full range.
    pix_fmt = AV_PIX_FMT_YUV420P;
    range = AVCOL_RANGE_JPEG;
    context = open_encoder(encoder, settings, pix_fmt, range);
  }
  if (!context) {
    return Failure(context.error());
  }
  AVCodecContext& opened = **context;
  for (int index = first_frame; index < end_frame; ++index) {
    FrameHandle frame = allocate_picture(settings.width, settings.height, pix_fmt);
    if (frame == nullptr) {
      return Failure(std::string("cannot make a ") + av_get_pix_fmt_name(settings.pix_fmt) +
                     " picture");
    }
    paint(*frame, index);
    if (range != settings.colour.range) {
      frame->color_range = range;
    }
    frame->pts = index;
    const int sent = avcodec_send_frame(&opened, frame.get());
    if (sent < 0) {
      return Failure("avcodec_send_frame: " + ffmpeg_error_text(sent));
    }
    if (auto drained = drain_packets(opened, settings.global_header, out); !drained) {
      return drained;
    }
  }
  const int flushed = avcodec_send_frame(&opened, nullptr);
  if (flushed < 0) {
    return Failure("avcodec_send_frame(flush): " + ffmpeg_error_text(flushed));
  }
  if (auto drained = drain_packets(opened, settings.global_header, out); !drained) {
    return drained;
  }
  if (settings.global_header) {
    if (opened.extradata != nullptr && opened.extradata_size > 0) {
      out.extradata.assign(opened.extradata, opened.extradata + opened.extradata_size);
    }
    if (out.extradata.empty()) {
      return Failure(std::string(encoder.name) + " wrote no extradata for a global header");
    }
  }
  return {};
}

}  // namespace vantle::media
