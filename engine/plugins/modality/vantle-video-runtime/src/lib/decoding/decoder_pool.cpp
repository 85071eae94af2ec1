#include "decoding/decoder_pool.h"

#include <algorithm>
#include <limits>

#include "decoding/ffmpeg_setup.h"

namespace vantle {

namespace {
thread_local DecoderPool DECODER_POOL;
}  // namespace

DecoderPoolKey DecoderPoolKey::for_decode(RuntimeCodec codec,
                                          std::span<const std::uint8_t> extradata,
                                          std::span<const std::uint8_t> first_packet) {
  DecoderPoolKey key{codec, std::vector<std::uint8_t>(extradata.begin(), extradata.end()),
                     ffmpeg_thread_count_from_env(), {}};
  // An unreadable first packet matches only decoders that hold no in-band
  // sets, whatever it carries; the decode records it as unknown. One too
  // large for an FFmpeg packet is never sent, so it is not read either.
  constexpr std::size_t PACKET_LIMIT =
      static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE);
  if (first_packet.size() > PACKET_LIMIT ||
      !add_parameter_sets(codec, extradata, first_packet, key.in_band_parameter_sets)) {
    key.in_band_parameter_sets.clear();
  }
  return key;
}

std::optional<OpenedDecoder> DecoderPool::take(const DecoderPoolKey& key) {
  const auto match = std::find_if(entries_.rbegin(), entries_.rend(),
                                  [&](const auto& entry) { return entry.first == key; });
  if (match == entries_.rend()) {
    return std::nullopt;
  }
  OpenedDecoder decoder = std::move(match->second);
  entries_.erase(std::next(match).base());
  return decoder;
}

void DecoderPool::put(DecoderPoolKey key, OpenedDecoder decoder) noexcept {
  AVCodecContext* context = decoder.get();
  avcodec_flush_buffers(context);
  // The H.264 decoder only ever raises its reorder depth as it meets
  // pictures and a flush keeps it: a later stream would come out with the
  // depth of an earlier one (other pictures held back, other pictures
  // recovered after a missing IDR). Back to what opening gave.
  if (context->codec_id == AV_CODEC_ID_H264) {
    context->has_b_frames = decoder.opened_reorder_delay();
  }
  // The H.264 decoder (and libdav1d in FFmpeg 9.0) copies a stream's colour
  // description into the context only when the stream signals one, and
  // frames inherit the context's values: without this reset a later stream
  // that signals none would be reported with the previous stream's colours.
  // A fresh decoder has them unspecified; both set them again from the
  // parameter sets of the next stream. The HEVC decoder must keep them: it
  // writes all of them (signalled or not) only when a different SPS becomes
  // active, so after a reset a stream with the same SPS would come out with
  // no colour description.
  if (context->codec_id != AV_CODEC_ID_HEVC) {
    context->color_range = AVCOL_RANGE_UNSPECIFIED;
    context->colorspace = AVCOL_SPC_UNSPECIFIED;
    context->color_primaries = AVCOL_PRI_UNSPECIFIED;
    context->color_trc = AVCOL_TRC_UNSPECIFIED;
    context->chroma_sample_location = AVCHROMA_LOC_UNSPECIFIED;
  }
  if (entries_.size() == DECODER_POOL_CAPACITY) {
    entries_.erase(entries_.begin());
  }
  entries_.emplace_back(std::move(key), std::move(decoder));
}

DecoderPool& thread_decoder_pool() noexcept { return DECODER_POOL; }

}  // namespace vantle
