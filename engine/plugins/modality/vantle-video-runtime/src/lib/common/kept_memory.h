// What the library keeps for reuse between calls: released host buffers and
// idle decoders, under one process-wide bound.
//
// A host calls from many more worker threads than run calls at once, so
// what is kept is sized by the next calls, not by the threads that ever
// called: buffers are shared by all threads, every thread's idle decoders
// count against the same bound, and what was used longest ago goes first.
//
// The store owns its lock and all of its accounting. The buffer functions
// take the lock; a decoder set holds it over its own entries (which another
// thread may evict) and calls the REQUIRES functions as they come and go.
// Nothing is freed under the lock: what leaves is collected in a
// KeptRelease and freed when that goes out of scope, after the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/thread_annotations.h"

namespace vantle {

inline constexpr std::uint64_t DEFAULT_KEPT_MEMORY_LIMIT = std::uint64_t{256} << 20;

// The lock over everything kept, decoder sets' entries included.
extern Mutex KEPT_MEMORY_MUTEX;

struct MappedBlock {
  void* base;
  std::size_t length;
};

// What leaves the store (idle decoders, blocks), freed when this is
// destroyed: declare it before the lock, so that happens after the lock.
class KeptRelease {
 public:
  void add(std::shared_ptr<void> entry) { entries_.push_back(std::move(entry)); }
  void add(MappedBlock block) { blocks_.push_back(block); }
  ~KeptRelease();

 private:
  std::vector<std::shared_ptr<void>> entries_;
  std::vector<MappedBlock> blocks_;
};

// One thread's idle decoders as the store sees them.
class KeptDecoderSet {
 public:
  // The use stamp of the entry used longest ago; nothing when empty.
  virtual std::optional<std::uint64_t> oldest_use() const noexcept REQUIRES(KEPT_MEMORY_MUTEX) = 0;
  // Moves the entry used longest ago into `release`; returns the bytes it
  // was counted with. Only the store calls it, and uncounts them.
  virtual std::size_t evict_oldest(KeptRelease& release) REQUIRES(KEPT_MEMORY_MUTEX) = 0;

 protected:
  ~KeptDecoderSet() = default;
};

// Released blocks filed by length (unmapped if longer than the bound), then
// the store trimmed to its bound.
void keep_mapped_blocks(std::span<const MappedBlock> blocks) EXCLUDES(KEPT_MEMORY_MUTEX);
// Up to `count` kept blocks of exactly `length` bytes, the most recently
// kept first, appended to `out`.
void take_mapped_blocks(std::size_t length, std::size_t count, std::vector<void*>& out)
    EXCLUDES(KEPT_MEMORY_MUTEX);

// A decoder set joins the store when made, and leaves it, giving up what it
// holds, when destroyed.
void register_decoder_set(KeptDecoderSet& set) EXCLUDES(KEPT_MEMORY_MUTEX);
void unregister_decoder_set(KeptDecoderSet& set) EXCLUDES(KEPT_MEMORY_MUTEX);
// Counts an idle decoder of `bytes` entering a set and returns its use
// stamp; nothing, counting nothing, when it is larger than the bound.
std::optional<std::uint64_t> admit_idle_decoder(std::size_t bytes) REQUIRES(KEPT_MEMORY_MUTEX);
// Uncounts one taken back out of its set for a run.
void withdraw_idle_decoder(std::size_t bytes) REQUIRES(KEPT_MEMORY_MUTEX);
// Evicts the set's oldest entry.
void evict_idle_decoder(KeptDecoderSet& set, KeptRelease& release) REQUIRES(KEPT_MEMORY_MUTEX);
// Evicts what was used longest ago until the store is within its bound.
void trim_kept_memory(KeptRelease& release) REQUIRES(KEPT_MEMORY_MUTEX);

// What the store counts now: buffers and idle decoders together.
std::uint64_t kept_memory_bytes() noexcept EXCLUDES(KEPT_MEMORY_MUTEX);

// The exports: release everything kept; set the bound and trim to it.
void release_kept_memory() noexcept EXCLUDES(KEPT_MEMORY_MUTEX);
void set_kept_memory_limit(std::uint64_t bytes) noexcept EXCLUDES(KEPT_MEMORY_MUTEX);

}  // namespace vantle
