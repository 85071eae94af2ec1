#include "decoding/decoder_pool.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "decoding/decoder_reuse.h"
#include "decoding/ffmpeg_setup.h"

namespace vantle {

namespace {
std::atomic<std::size_t> POOLED_DECODERS{0};
thread_local DecoderPool DECODER_POOL;
}  // namespace

DecoderPoolKey DecoderPoolKey::for_decode(RuntimeCodec codec,
                                          std::span<const std::uint8_t> extradata,
                                          std::span<const std::uint8_t> first_packet) {
  DecoderPoolKey key{codec,
                     std::vector<std::uint8_t>(extradata.begin(), extradata.end()),
                     ffmpeg_thread_count_from_env(),
                     {}};
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
  POOLED_DECODERS.fetch_sub(1, std::memory_order_relaxed);
  reset_to_fresh(decoder);
  return decoder;
}

void DecoderPool::put(DecoderPoolKey key, OpenedDecoder decoder) noexcept {
  if (entries_.size() == DECODER_POOL_CAPACITY) {
    entries_.erase(entries_.begin());
  } else if (POOLED_DECODERS.fetch_add(1, std::memory_order_relaxed) >=
             DECODER_POOL_PROCESS_CAPACITY) {
    POOLED_DECODERS.fetch_sub(1, std::memory_order_relaxed);
    if (entries_.empty()) {
      return;  // the decoder is freed
    }
    entries_.erase(entries_.begin());
  }
  entries_.emplace_back(std::move(key), std::move(decoder));
}

DecoderPool::~DecoderPool() {
  POOLED_DECODERS.fetch_sub(entries_.size(), std::memory_order_relaxed);
}

std::size_t pooled_decoders_in_process() noexcept {
  return POOLED_DECODERS.load(std::memory_order_relaxed);
}

DecoderPool& thread_decoder_pool() noexcept {
  return DECODER_POOL;
}

}  // namespace vantle
