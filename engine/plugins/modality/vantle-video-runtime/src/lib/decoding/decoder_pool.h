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
#include "decoding/parameter_sets.h"
#include "vantle_video_runtime.h"

namespace vantle {

// The configuration a decoder was opened with. Compared field by field in
// declaration order; copying copies the extradata bytes.
struct DecoderPoolKey {
  RuntimeCodec codec = RuntimeCodec::H264;
  std::vector<std::uint8_t> extradata;
  std::uint64_t thread_count = 1;
  // Parameter sets a decoder was sent inside packets and still holds (a
  // flush does not forget them). A decode takes a pooled decoder only when
  // its first packet carries exactly these sets: they are parsed again, in
  // the same state, before any picture can use them, so the decoder
  // behaves as a fresh one would.
  ParameterSets in_band_parameter_sets;

  // The key of a decode starting now: the thread count is read from the
  // environment at this moment, the in-band sets from the first packet.
  static DecoderPoolKey for_decode(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                   std::span<const std::uint8_t> first_packet = {});

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
  // The reset reaches the context only, not the copies FFmpeg's frame
  // threads keep: the iterator decides whether such a decoder may come here.
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
