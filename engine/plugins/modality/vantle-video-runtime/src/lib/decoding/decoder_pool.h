// Per-thread pool of idle decoders keyed by their configuration, bounded per
// thread and by the process-wide bound on kept memory (common/kept_memory.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/kept_memory.h"
#include "decoding/decoder_key.h"
#include "decoding/opened_decoder.h"

namespace vantle {

// Idle decoders one thread keeps.
inline constexpr std::size_t DECODER_POOL_CAPACITY = 4;

// What an idle decoder counts against that bound, where FFmpeg allocates
// its pictures (libdav1d, hardware frames): the pictures a decoder of its
// codec, size and reorder depth keeps, plus 1 MiB for its tables.
std::size_t estimated_idle_decoder_bytes(const AVCodecContext& context) noexcept;

class DecoderPool final : public KeptDecoderSet {
 public:
  DecoderPool();
  DecoderPool(const DecoderPool&) = delete;
  DecoderPool& operator=(const DecoderPool&) = delete;
  ~DecoderPool();

  // The most recently stored decoder under an equal key, removed as its
  // last run left it (take_or_create_decoder makes it fresh again).
  std::optional<OpenedDecoder> take(const DecoderPoolKey& key) EXCLUDES(KEPT_MEMORY_MUTEX);
  // Stores the decoder at the back, evicting this thread's oldest entry when
  // the pool is full and what the process used longest ago while kept memory
  // is over its bound; one larger than the bound is freed instead.
  // decide_reuse says which decoders come here.
  void put(DecoderPoolKey key, OpenedDecoder decoder) noexcept EXCLUDES(KEPT_MEMORY_MUTEX);
  std::size_t size() const noexcept EXCLUDES(KEPT_MEMORY_MUTEX);

  std::optional<std::uint64_t> oldest_use() const noexcept override REQUIRES(KEPT_MEMORY_MUTEX);
  std::size_t evict_oldest(KeptRelease& release) override REQUIRES(KEPT_MEMORY_MUTEX);

 private:
  struct Entry {
    DecoderPoolKey key;
    OpenedDecoder decoder;
    std::uint64_t last_use = 0;
    std::size_t bytes = 0;
  };
  // Oldest first. Another thread may evict from it.
  std::vector<Entry> entries_ GUARDED_BY(KEPT_MEMORY_MUTEX);
};

// The calling thread's pool, created empty on first use and destroyed (with
// every decoder in it) when the thread exits.
DecoderPool& thread_decoder_pool() noexcept;

}  // namespace vantle
