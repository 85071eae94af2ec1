#include "decoding/packet_decoder.h"

#include <cstring>
#include <limits>
#include <utility>

#include "common/fatal.h"
#include "common/ffmpeg_error.h"
#include "common/ffmpeg_setup.h"
#include "common/text.h"
#include "decoding/declared_picture_size.h"
#include "decoding/decoder_creation.h"
#include "decoding/parameter_sets.h"
#include "decoding/runtime_codec.h"

namespace vantle {

namespace {

// A decoder fails a picture over its max_pixels with whatever code its
// check gives (EINVAL, INVALIDDATA, ENOMEM): when the size it was given is
// over the limit, the failure is the refusal, not what the code says.
Status area_refusal(const AVCodecContext& context, const DecoderPoolKey& key) {
  const int width = context.width > 0 ? context.width : context.coded_width;
  const int height = context.height > 0 ? context.height : context.coded_height;
  if (width <= 0 || height <= 0) {
    return {};
  }
  return check_picture_area(
      key.codec, PictureSize{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)},
      key.max_pixels);
}

}  // namespace

Result<PacketHandle> packet_from_bytes(ByteView bytes) {
  PacketHandle packet(av_packet_alloc());
  if (!packet) {
    return fail("failed to allocate FFmpeg packet");
  }
  if (bytes.empty()) {
    return packet;
  }
  // FFmpeg packet sizes are C ints; a longer access unit is refused rather
  // than truncated.
  if (bytes.size() >
      static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) {
    return fail(
        str_cat("access unit of ", bytes.size(), " bytes exceeds the FFmpeg packet size limit"));
  }
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return fail(str_cat("failed to allocate FFmpeg packet of ", bytes.size(), " bytes"));
  }
  std::memcpy(packet->data, bytes.data(), bytes.size());
  return packet;
}

FfmpegDecodedFrames::FfmpegDecodedFrames(OpenedDecoder decoder, DecoderPoolKey key,
                                         FrameHandle frame, std::vector<ByteView> packets) noexcept
    : decoder_(std::move(decoder)),
      key_(std::move(key)),
      frame_(std::move(frame)),
      packets_(std::move(packets)),
      run_{.held_parameter_sets = key_.in_band_parameter_sets} {}

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
      run_(std::move(other.run_)) {}

FfmpegDecodedFrames::~FfmpegDecodedFrames() {
  if (decoder_) {
    OpenedDecoder decoder = std::move(*decoder_);
    decoder_.reset();
    if (reused(decide_reuse(key_, run_, *decoder.get()))) {
      DecoderPoolKey key = key_;
      key.in_band_parameter_sets = std::move(run_.held_parameter_sets);
      thread_decoder_pool().put(std::move(key), std::move(decoder));
    }
  }
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
        run_.damage_seen = true;
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
      run_.drained = eof_sent_;
    } else if (received != AVERROR(EAGAIN)) {
      run_.damage_seen = true;
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
      // A picture over the area limit is refused before its packet reaches
      // the decoder, which would allocate its tables first.
      if (auto admitted = check_picture_area(
              key_.codec, packet_picture_size(key_.codec, key_.extradata, packets_[cursor_ - 1]),
              key_.max_pixels);
          !admitted) {
        finished_ = true;
        return fail(std::move(admitted.error()));
      }
      if (assign_packet_pts) {
        (*packet)->pts = static_cast<std::int64_t>(index);
      }
      if (!run_.parameter_sets_unknown &&
          !add_parameter_sets(key_.codec, key_.extradata, packets_[cursor_ - 1],
                              run_.held_parameter_sets)) {
        run_.parameter_sets_unknown = true;
      }
      if (const int rc = avcodec_send_packet(context, packet->get()); rc != 0) {
        finished_ = true;
        if (auto refused = area_refusal(*context, key_); !refused) {
          return fail(std::move(refused.error()));
        }
        return fail(str_cat("failed to decode ", name(key_.codec), " packet ", index, ": ",
                            ffmpeg_error_text(rc)));
      }
      continue;
    }
    if (const int rc = avcodec_send_packet(context, nullptr); rc != 0) {
      finished_ = true;
      if (auto refused = area_refusal(*context, key_); !refused) {
        return fail(std::move(refused.error()));
      }
      return fail(
          str_cat("failed to flush ", name(key_.codec), " decoder: ", ffmpeg_error_text(rc)));
    }
    eof_sent_ = true;
  }
}

Result<FfmpegDecodedFrames> decode_packets(RuntimeCodec codec, ByteView extradata,
                                           std::vector<ByteView> packets) {
  ensure_ffmpeg_initialized();
  DecoderPoolKey key =
      DecoderPoolKey::for_decode(codec, extradata, packets.empty() ? ByteView{} : packets.front());
  // Before a decoder opens with extradata it would size itself by.
  if (auto admitted =
          check_picture_area(codec, extradata_picture_size(codec, extradata), key.max_pixels);
      !admitted) {
    return fail(std::move(admitted.error()));
  }
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
