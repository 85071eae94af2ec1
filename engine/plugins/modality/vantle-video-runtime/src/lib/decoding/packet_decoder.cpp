#include "decoding/packet_decoder.h"

#include <cstring>
#include <limits>
#include <utility>

#include "common/fatal.h"
#include "common/ffmpeg_error.h"
#include "common/text.h"
#include "decoding/decoder_creation.h"
#include "decoding/ffmpeg_setup.h"
#include "decoding/h264_reorder_depth.h"
#include "decoding/libdav1d_reuse.h"
#include "decoding/parameter_sets.h"
#include "decoding/runtime_codec.h"

namespace vantle {

Result<PacketHandle> packet_from_bytes(PacketView bytes) {
  PacketHandle packet(av_packet_alloc());
  if (!packet) {
    return fail("failed to allocate FFmpeg packet");
  }
  if (bytes.empty()) {
    return packet;
  }
  // FFmpeg packet sizes are C ints; a longer access unit is refused rather
  // than truncated.
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() -
                                              AV_INPUT_BUFFER_PADDING_SIZE)) {
    return fail(str_cat("access unit of ", bytes.size(),
                        " bytes exceeds the FFmpeg packet size limit"));
  }
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return fail(str_cat("failed to allocate FFmpeg packet of ", bytes.size(), " bytes"));
  }
  std::memcpy(packet->data, bytes.data(), bytes.size());
  return packet;
}

FfmpegDecodedFrames::FfmpegDecodedFrames(OpenedDecoder decoder, DecoderPoolKey key,
                                         FrameHandle frame,
                                         std::vector<PacketView> packets) noexcept
    : decoder_(std::move(decoder)),
      key_(std::move(key)),
      frame_(std::move(frame)),
      packets_(std::move(packets)),
      held_parameter_sets_(key_.in_band_parameter_sets) {}

FfmpegDecodedFrames::FfmpegDecodedFrames(FfmpegDecodedFrames&& other) noexcept
    : assign_packet_pts(other.assign_packet_pts),
      decoder_(std::exchange(other.decoder_, std::nullopt)),
      key_(std::move(other.key_)),
      frame_(std::move(other.frame_)),
      packets_(std::move(other.packets_)),
      cursor_(other.cursor_),
      next_packet_index_(other.next_packet_index_),
      eof_sent_(other.eof_sent_),
      finished_(other.finished_),
      held_parameter_sets_(std::move(other.held_parameter_sets_)),
      parameter_sets_unknown_(other.parameter_sets_unknown_),
      drained_(other.drained_),
      saw_damage_(other.saw_damage_) {}

FfmpegDecodedFrames::~FfmpegDecodedFrames() {
  if (decoder_) {
    OpenedDecoder decoder = std::move(*decoder_);
    decoder_.reset();
    // A decoder keeps every parameter set it has seen, and no flush forgets
    // them: handed to a later run that lacks them, it would decode what a
    // fresh decoder refuses. So it is filed under those sets and serves only
    // runs that start by sending all of them again; when they are not known
    // it goes with the iterator.
    if (!parameter_sets_unknown_ && worker_threads_as_fresh(*decoder.get())) {
      DecoderPoolKey key = key_;
      key.in_band_parameter_sets = std::move(held_parameter_sets_);
      thread_decoder_pool().put(std::move(key), std::move(decoder));
    }
  }
}

// A decoder with worker threads cannot be put back as a fresh one by the
// pool: each FFmpeg frame thread keeps its own copy of what the decoder
// learned and hands it on, and no public call resets those copies. Such a
// decoder is reused only after runs that taught it nothing beyond its
// parameter sets:
// - the run was sent whole and drained, with no decoding error and no
//   damaged picture;
// - H.264: one SPS, and a reorder depth no deeper than that SPS gives. The
//   decoder deepens it for streams that reorder more than their level
//   allows, and the pool's reset of the depth cannot reach the threads; the
//   colour description likewise stays what the one SPS signals.
// - H.265 takes its depth and colours from the active SPS alone.
// - AV1: libdav1d runs its threads inside one context, which the pool
//   resets, but only recent versions survive reuse after a damaged stream
//   they do not report as damaged.
bool FfmpegDecodedFrames::worker_threads_as_fresh(const AVCodecContext& context) const {
  // thread_count holds what opening settled on: 0 (libdav1d's automatic
  // choice) and above 1 both mean worker threads.
  if (context.thread_count == 1) {
    return true;
  }
  if (!drained_ || saw_damage_) {
    return false;
  }
  if (key_.codec == RuntimeCodec::Av1) {
    return libdav1d_survives_threaded_reuse();
  }
  if (key_.codec != RuntimeCodec::H264) {
    return true;
  }
  ParameterSets sets = held_parameter_sets_;
  if (!add_extradata_parameter_sets(key_.codec, key_.extradata, sets)) {
    return false;
  }
  std::optional<int> depth;
  int sps_count = 0;
  for (const auto& unit : sets) {
    if ((unit.front() & 0x1f) == 7) {
      ++sps_count;
      depth = h264_sps_reorder_depth(unit);
    }
  }
  return sps_count == 1 && depth && context.has_b_frames <= *depth;
}

std::optional<Result<FfmpegDecodedFrame>> FfmpegDecodedFrames::next() {
  if (!decoder_) {
    fatal("decoder taken before iterator drop");
  }
  AVCodecContext* context = decoder_->get();
  while (true) {
    // Always take a ready frame out before sending more input.
    const int received = avcodec_receive_frame(context, frame_.get());
    if (received == 0) {
      if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
        saw_damage_ = true;
      }
      FrameHandle fresh(av_frame_alloc());
      if (!fresh) {
        finished_ = true;
        return fail("failed to allocate FFmpeg frame");
      }
      FfmpegDecodedFrame decoded{std::move(frame_)};
      frame_ = std::move(fresh);
      return decoded;
    }
    // Whatever the receive reported (EAGAIN, EOF, a decoding error), there
    // is no frame now; it is never reported, only remembered.
    if (received == AVERROR_EOF) {
      drained_ = eof_sent_;
    } else if (received != AVERROR(EAGAIN)) {
      saw_damage_ = true;
    }
    if (finished_) {
      return std::nullopt;
    }
    if (eof_sent_) {
      finished_ = true;
      return std::nullopt;
    }
    if (cursor_ < packets_.size()) {
      const std::uint64_t index = next_packet_index_++;
      auto packet = packet_from_bytes(packets_[cursor_++]);
      if (!packet) {
        finished_ = true;
        return fail(std::move(packet.error()));
      }
      if (assign_packet_pts) {
        (*packet)->pts = static_cast<std::int64_t>(index);
      }
      if (!parameter_sets_unknown_ &&
          !add_parameter_sets(key_.codec, key_.extradata, packets_[cursor_ - 1],
                              held_parameter_sets_)) {
        parameter_sets_unknown_ = true;
      }
      if (const int rc = avcodec_send_packet(context, packet->get()); rc != 0) {
        finished_ = true;
        return fail(str_cat("failed to decode ", name(key_.codec), " packet ", index, ": ",
                            ffmpeg_error_text(rc)));
      }
      continue;
    }
    if (const int rc = avcodec_send_packet(context, nullptr); rc != 0) {
      finished_ = true;
      return fail(str_cat("failed to flush ", name(key_.codec), " decoder: ",
                          ffmpeg_error_text(rc)));
    }
    eof_sent_ = true;
  }
}

Result<FfmpegDecodedFrames> decode_packets(RuntimeCodec codec,
                                           std::span<const std::uint8_t> extradata,
                                           std::vector<PacketView> packets) {
  ensure_ffmpeg_initialized();
  DecoderPoolKey key = DecoderPoolKey::for_decode(
      codec, extradata, packets.empty() ? PacketView{} : packets.front());
  auto decoder = take_or_create_decoder(key);
  if (!decoder) {
    return fail(std::move(decoder.error()));
  }
  FrameHandle frame(av_frame_alloc());
  if (!frame) {
    // The decoder is healthy: keep it for the next decode.
    thread_decoder_pool().put(std::move(key), std::move(*decoder));
    return fail("failed to allocate FFmpeg frame");
  }
  return FfmpegDecodedFrames(std::move(*decoder), std::move(key), std::move(frame),
                             std::move(packets));
}

}  // namespace vantle
