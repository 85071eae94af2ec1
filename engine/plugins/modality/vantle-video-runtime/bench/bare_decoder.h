// The baseline decoder: a plain libavcodec send/receive loop, written the way
// a host would write it by hand, with nothing of the library in between.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/ffmpeg.h"
#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle::bench {

class BareDecoder {
 public:
  // FFmpeg's default decoder for the codec, thread_type FF_THREAD_FRAME and
  // `threads` codec threads, extradata (if any) with its zeroed padding.
  static Result<BareDecoder> open(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                  int threads);

  // Sends every packet (copied into a padded AVPacket, pts = its index when
  // `stamp_pts`), drains the decoder, hands each picture to on_frame(AVFrame&)
  // and unreferences it afterwards. Flushes the decoder at the end, so the
  // next run starts clean on the same opened decoder.
  template <typename OnFrame>
  Status decode(const std::vector<std::vector<std::uint8_t>>& packets, bool stamp_pts,
                OnFrame&& on_frame);

  AVCodecContext& context() { return *context_; }

 private:
  BareDecoder(CodecContextHandle context, PacketHandle packet, FrameHandle frame)
      : context_(std::move(context)), packet_(std::move(packet)), frame_(std::move(frame)) {}

  // avcodec_send_packet of one access unit, or of the drain signal when
  // `bytes` is null. Answers the send's code.
  int send(const std::vector<std::uint8_t>* bytes, std::int64_t pts);

  CodecContextHandle context_;
  PacketHandle packet_;
  FrameHandle frame_;
};

// FFmpeg codec id of the ABI codec.
AVCodecID bare_codec_id(RuntimeCodec codec);

template <typename OnFrame>
Status BareDecoder::decode(const std::vector<std::vector<std::uint8_t>>& packets, bool stamp_pts,
                           OnFrame&& on_frame) {
  // Takes out every ready picture; EAGAIN and EOF end it.
  auto receive_all = [&]() -> Status {
    for (;;) {
      const int received = avcodec_receive_frame(context_.get(), frame_.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
        return {};
      }
      if (received < 0) {
        return fail("bare decoder: avcodec_receive_frame failed");
      }
      on_frame(*frame_);
      av_frame_unref(frame_.get());
    }
  };
  Status outcome;
  for (std::size_t index = 0; index < packets.size() && outcome; ++index) {
    const std::int64_t pts = stamp_pts ? static_cast<std::int64_t>(index) : AV_NOPTS_VALUE;
    int sent = send(&packets[index], pts);
    while (sent == AVERROR(EAGAIN) && outcome) {
      outcome = receive_all();
      sent = send(&packets[index], pts);
    }
    if (outcome && sent < 0) {
      outcome = fail("bare decoder: avcodec_send_packet failed");
    }
    if (outcome) {
      outcome = receive_all();
    }
  }
  if (outcome) {
    outcome = send(nullptr, AV_NOPTS_VALUE) < 0 ? fail("bare decoder: drain failed") : Status{};
  }
  if (outcome) {
    outcome = receive_all();
  }
  avcodec_flush_buffers(context_.get());
  return outcome;
}

}  // namespace vantle::bench
