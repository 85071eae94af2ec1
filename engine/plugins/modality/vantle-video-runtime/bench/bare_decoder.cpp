#include "bare_decoder.h"

#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

namespace vantle::bench {

AVCodecID bare_codec_id(RuntimeCodec codec) {
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

Result<BareDecoder> BareDecoder::open(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                      int threads) {
  const AVCodec* decoder = avcodec_find_decoder(bare_codec_id(codec));
  if (decoder == nullptr) {
    return fail("bare decoder: no FFmpeg decoder for the codec");
  }
  CodecContextHandle context(avcodec_alloc_context3(decoder));
  PacketHandle packet(av_packet_alloc());
  FrameHandle frame(av_frame_alloc());
  if (!context || !packet || !frame) {
    return fail("bare decoder: out of memory");
  }
  context->thread_type = FF_THREAD_FRAME;
  context->thread_count = threads;
  if (!extradata.empty()) {
    auto* copy =
        static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (copy == nullptr) {
      return fail("bare decoder: out of memory");
    }
    std::memcpy(copy, extradata.data(), extradata.size());
    context->extradata = copy;
    context->extradata_size = static_cast<int>(extradata.size());
  }
  if (avcodec_open2(context.get(), decoder, nullptr) < 0) {
    return fail("bare decoder: avcodec_open2 failed");
  }
  return BareDecoder(std::move(context), std::move(packet), std::move(frame));
}

int BareDecoder::send(const std::vector<std::uint8_t>* bytes, std::int64_t pts) {
  if (bytes == nullptr) {
    return avcodec_send_packet(context_.get(), nullptr);
  }
  // Host buffers carry no input padding: FFmpeg needs a padded copy.
  if (av_new_packet(packet_.get(), static_cast<int>(bytes->size())) < 0) {
    return AVERROR(ENOMEM);
  }
  std::memcpy(packet_->data, bytes->data(), bytes->size());
  packet_->pts = pts;
  const int sent = avcodec_send_packet(context_.get(), packet_.get());
  av_packet_unref(packet_.get());
  return sent;
}

}  // namespace vantle::bench
