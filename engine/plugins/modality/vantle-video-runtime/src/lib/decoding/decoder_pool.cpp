#include "decoding/decoder_pool.h"

#include <algorithm>

#include "decoding/ffmpeg_setup.h"

namespace vantle {

namespace {
thread_local DecoderPool DECODER_POOL;
}  // namespace

DecoderPoolKey DecoderPoolKey::for_decode(RuntimeCodec codec,
                                          std::span<const std::uint8_t> extradata) {
  return DecoderPoolKey{codec, std::vector<std::uint8_t>(extradata.begin(), extradata.end()),
                        ffmpeg_thread_count_from_env()};
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
  avcodec_flush_buffers(decoder.get());
  if (entries_.size() == DECODER_POOL_CAPACITY) {
    entries_.erase(entries_.begin());
  }
  entries_.emplace_back(std::move(key), std::move(decoder));
}

DecoderPool& thread_decoder_pool() noexcept { return DECODER_POOL; }

}  // namespace vantle
