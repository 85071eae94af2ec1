#include "bare_h264_encoder.h"

#include <cstdlib>
#include <cstring>

namespace vantle::bench {

BareAccessUnits::~BareAccessUnits() {
  for (std::uint8_t* unit : units_) {
    std::free(unit);
  }
}

void BareAccessUnits::add(const std::uint8_t* data, std::size_t size) {
  auto* copy = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (copy == nullptr) {
    std::abort();
  }
  std::memcpy(copy, data, size);
  units_.push_back(copy);
}

Result<BareH264Encoder> BareH264Encoder::open(const AVFrame& first_frame, int frame_rate_num,
                                              int frame_rate_den, std::int64_t bit_rate,
                                              int group_size, int threads) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (codec == nullptr) {
    return fail("bare encoder: no H.264 encoder");
  }
  CodecContextHandle context(avcodec_alloc_context3(codec));
  PacketHandle packet(av_packet_alloc());
  if (!context || !packet) {
    return fail("bare encoder: out of memory");
  }
  context->thread_type = FF_THREAD_FRAME;
  context->thread_count = threads;
  context->width = first_frame.width;
  context->height = first_frame.height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->framerate = AVRational{frame_rate_num, frame_rate_den};
  context->time_base = AVRational{frame_rate_den, frame_rate_num};
  context->bit_rate = bit_rate;
  context->gop_size = group_size;
  context->max_b_frames = 0;
  context->color_range = first_frame.color_range;
  context->colorspace = first_frame.colorspace;
  context->color_primaries = first_frame.color_primaries;
  context->color_trc = first_frame.color_trc;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    return fail("bare encoder: avcodec_open2 failed");
  }
  return BareH264Encoder(std::move(context), std::move(packet));
}

Status BareH264Encoder::encode(AVFrame& frame, BareAccessUnits& units) {
  frame.pts = next_pts_++;
  frame.pict_type = AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(context_.get(), &frame) < 0) {
    return fail("bare encoder: avcodec_send_frame failed");
  }
  return receive_all(units);
}

Status BareH264Encoder::finish(BareAccessUnits& units) {
  if (avcodec_send_frame(context_.get(), nullptr) < 0) {
    return fail("bare encoder: flush failed");
  }
  return receive_all(units);
}

Status BareH264Encoder::receive_all(BareAccessUnits& units) {
  for (;;) {
    const int received = avcodec_receive_packet(context_.get(), packet_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return {};
    }
    if (received < 0) {
      return fail("bare encoder: avcodec_receive_packet failed");
    }
    units.add(packet_->data, static_cast<std::size_t>(packet_->size));
    av_packet_unref(packet_.get());
  }
}

}  // namespace vantle::bench
