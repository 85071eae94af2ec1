// What the library keeps for reuse between calls: released host buffers and
// idle decoders, under one process-wide bound.
//
// A host calls from a pool of worker threads, many more than the calls that
// run at once. Kept memory is therefore sized by what the next calls will
// use, not by the threads that ever called: released buffers are shared by
// all threads, and every thread's idle decoders count against the same
// bound. When the bound is reached, what was used longest ago goes first,
// buffer or decoder. The store's lock is taken a few times per request or
// release call, never per picture (host_memory.cpp batches).
//
// Freeing (unmapping a buffer, closing a decoder) never happens under the
// lock: what leaves the store is collected in a KeptRelease and freed when
// that goes out of scope, after the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vantle {

inline constexpr std::uint64_t DEFAULT_KEPT_MEMORY_LIMIT = std::uint64_t{256} << 20;

// Something taken out of the store, freed when destroyed.
class KeptEntry {
 public:
  virtual ~KeptEntry() = default;
};

// Entries to free once the lock is released. Declare it before the lock so
// that it is destroyed after the lock.
class KeptRelease {
 public:
  void add(std::unique_ptr<KeptEntry> entry) { entries_.push_back(std::move(entry)); }
  void add_mapping(void* base, std::size_t length) { mappings_.push_back({base, length}); }
  ~KeptRelease();

 private:
  struct Mapping {
    void* base;
    std::size_t length;
  };
  std::vector<std::unique_ptr<KeptEntry>> entries_;
  std::vector<Mapping> mappings_;
};

// One thread's idle decoders as the store sees them. Called only with the
// store's lock held.
class KeptDecoderSet {
 public:
  // The use stamp of the entry used longest ago; nothing when empty.
  virtual std::optional<std::uint64_t> oldest_use() const noexcept = 0;
  // Moves the entry used longest ago into `release`; returns the bytes it
  // was counted with.
  virtual std::size_t evict_oldest(KeptRelease& release) = 0;

 protected:
  ~KeptDecoderSet() = default;
};

// The lock over everything kept. Everything below that takes a KeptLock&
// must be called with it held.
using KeptLock = std::unique_lock<std::mutex>;
KeptLock lock_kept_memory() noexcept;

// Bound and accounting.
std::uint64_t kept_memory_limit() noexcept;
std::uint64_t next_use_stamp(KeptLock&) noexcept;
// Counts bytes entering (+) or leaving (-) the store without a buffer
// (idle decoders).
void count_kept_bytes(KeptLock&, std::ptrdiff_t delta) noexcept;
// Evicts what was used longest ago until the store is within its bound.
void trim_kept_memory(KeptLock&, KeptRelease& release);

void register_decoder_set(KeptLock&, KeptDecoderSet* set);
void unregister_decoder_set(KeptLock&, KeptDecoderSet* set);

// Released mapped blocks, filed by mapping length. A kept block is the
// mapping's base; its length is `length`.
void keep_mapped_block(KeptLock&, void* base, std::size_t length, KeptRelease& release);
// Up to `count` kept blocks of exactly `length` bytes, the most recently
// kept first, appended to `out`.
void take_mapped_blocks(KeptLock&, std::size_t length, std::size_t count, std::vector<void*>& out);

// What the store counts now: buffers and idle decoders together, and the
// buffers alone (for tests and the benchmark).
std::uint64_t kept_memory_bytes() noexcept;
std::uint64_t kept_buffer_bytes() noexcept;

// The exports: release everything kept; set the bound and trim to it.
void release_kept_memory() noexcept;
void set_kept_memory_limit(std::uint64_t bytes) noexcept;

}  // namespace vantle
