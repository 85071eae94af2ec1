// Per-thread pool of idle, flushed decoders keyed by their configuration.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "decoding/opened_decoder.h"
#include "vantle_video_runtime.h"

namespace vantle {

// The configuration a decoder was opened with. Compared field by field in
// declaration order; copying copies the extradata bytes.
struct DecoderPoolKey {
  RuntimeCodec codec = RuntimeCodec::H264;
  std::vector<std::uint8_t> extradata;
  std::uint64_t thread_count = 1;

  // The key of a decode starting now: the thread count is read from the
  // environment at this moment.
  static DecoderPoolKey for_decode(RuntimeCodec codec, std::span<const std::uint8_t> extradata);

  friend auto operator<=>(const DecoderPoolKey&, const DecoderPoolKey&) = default;
  friend bool operator==(const DecoderPoolKey&, const DecoderPoolKey&) = default;
};

inline constexpr std::size_t DECODER_POOL_CAPACITY = 4;

class DecoderPool {
 public:
  // The most recently stored decoder under an equal key, removed from the
  // pool; nothing when none matches.
  std::optional<OpenedDecoder> take(const DecoderPoolKey& key);
  // Flushes the decoder, resets what it learned from its last stream and
  // stores it at the back, evicting the oldest entry when the pool is full.
  // A decoder with worker threads (thread_count other than 1) is freed
  // instead: its workers' state cannot be reset.
  void put(DecoderPoolKey key, OpenedDecoder decoder) noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  const std::vector<std::pair<DecoderPoolKey, OpenedDecoder>>& entries() const noexcept {
    return entries_;
  }

 private:
  // Oldest first.
  std::vector<std::pair<DecoderPoolKey, OpenedDecoder>> entries_;
};

// The calling thread's pool, created empty on first use and destroyed (with
// every decoder in it) when the thread exits.
DecoderPool& thread_decoder_pool() noexcept;

}  // namespace vantle
