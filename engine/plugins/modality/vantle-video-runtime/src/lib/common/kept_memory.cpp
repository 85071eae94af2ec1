#include "common/kept_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <limits>
#include <map>
#include <new>

#include "common/sanitizer.h"

namespace vantle {

namespace {

struct KeptBlock {
  void* base;
  std::uint64_t stamp;
};

struct KeptStore {
  std::mutex mutex;
  std::uint64_t stamp = 0;
  // Released blocks by mapping length, oldest first.
  std::map<std::size_t, std::deque<KeptBlock>> blocks;
  std::vector<KeptDecoderSet*> decoder_sets;
  // Written under the lock, read without it by the accessors.
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> buffer_bytes{0};
  std::atomic<std::uint64_t> limit{DEFAULT_KEPT_MEMORY_LIMIT};
};

KeptStore& store() noexcept {
  // Never destroyed: buffers may be released and decoders given back by
  // threads that still run while the process exits. Static storage rather
  // than the heap, so that nothing is left allocated once the library is
  // unloaded.
  alignas(KeptStore) static unsigned char storage[sizeof(KeptStore)];
  static KeptStore* kept = new (storage) KeptStore;
  return *kept;
}

void evict_oldest_block(KeptStore& kept,
                        std::map<std::size_t, std::deque<KeptBlock>>::iterator found,
                        KeptRelease& release) {
  auto& queue = found->second;
  const KeptBlock block = queue.front();
  queue.pop_front();
  release.add_mapping(block.base, found->first);
  kept.bytes -= found->first;
  kept.buffer_bytes -= found->first;
  if (queue.empty()) {
    kept.blocks.erase(found);
  }
}

// Evicts the one thing used longest ago; false when nothing is kept.
bool evict_oldest(KeptStore& kept, KeptRelease& release) {
  constexpr std::uint64_t NONE = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t oldest = NONE;
  auto oldest_class = kept.blocks.end();
  KeptDecoderSet* oldest_set = nullptr;
  for (auto it = kept.blocks.begin(); it != kept.blocks.end(); ++it) {
    if (it->second.front().stamp < oldest) {
      oldest = it->second.front().stamp;
      oldest_class = it;
    }
  }
  for (KeptDecoderSet* set : kept.decoder_sets) {
    if (auto use = set->oldest_use(); use && *use < oldest) {
      oldest = *use;
      oldest_set = set;
    }
  }
  if (oldest_set != nullptr) {
    const std::size_t bytes = oldest_set->evict_oldest(release);
    kept.bytes -= bytes;
    return true;
  }
  if (oldest_class != kept.blocks.end()) {
    evict_oldest_block(kept, oldest_class, release);
    return true;
  }
  return false;
}

void trim_to(KeptStore& kept, std::uint64_t limit, KeptRelease& release) {
  while (kept.bytes.load(std::memory_order_relaxed) > limit && evict_oldest(kept, release)) {
  }
}

// Unloading the library (or the end of the process) keeps nothing more:
// what is kept is given back, and what comes back later is freed at once.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() {
    set_kept_memory_limit(0);
    // An unload happens only once every thread with a pool has ended.
    const KeptLock lock = lock_kept_memory();
    if (store().decoder_sets.empty()) {
      std::vector<KeptDecoderSet*>().swap(store().decoder_sets);
    }
  }
} RELEASE_AT_UNLOAD;

}  // namespace

KeptRelease::~KeptRelease() {
  entries_.clear();
  for (const Mapping& mapping : mappings_) {
    unpoison_memory(mapping.base, mapping.length);
    munmap(mapping.base, mapping.length);
  }
}

KeptLock lock_kept_memory() noexcept { return KeptLock(store().mutex); }

std::uint64_t kept_memory_limit() noexcept {
  return store().limit.load(std::memory_order_relaxed);
}

std::uint64_t next_use_stamp(KeptLock&) noexcept { return ++store().stamp; }

void count_kept_bytes(KeptLock&, std::ptrdiff_t delta) noexcept {
  store().bytes += static_cast<std::uint64_t>(delta);
}

void trim_kept_memory(KeptLock&, KeptRelease& release) {
  KeptStore& kept = store();
  trim_to(kept, kept.limit.load(std::memory_order_relaxed), release);
}

void register_decoder_set(KeptLock&, KeptDecoderSet* set) { store().decoder_sets.push_back(set); }

void unregister_decoder_set(KeptLock&, KeptDecoderSet* set) {
  auto& sets = store().decoder_sets;
  sets.erase(std::remove(sets.begin(), sets.end(), set), sets.end());
}

void keep_mapped_block(KeptLock& lock, void* base, std::size_t length, KeptRelease& release) {
  KeptStore& kept = store();
  if (length > kept.limit.load(std::memory_order_relaxed)) {
    release.add_mapping(base, length);
    return;
  }
  // The block's pages stay as the host left them; under AddressSanitizer a
  // read or write through a released buffer is reported until it is reused.
  poison_memory(base, length);
  kept.blocks[length].push_back({base, next_use_stamp(lock)});
  kept.bytes += length;
  kept.buffer_bytes += length;
  trim_kept_memory(lock, release);
}

void take_mapped_blocks(KeptLock&, std::size_t length, std::size_t count,
                        std::vector<void*>& out) {
  KeptStore& kept = store();
  auto found = kept.blocks.find(length);
  while (count-- > 0 && found != kept.blocks.end()) {
    void* base = found->second.back().base;
    found->second.pop_back();
    kept.bytes -= length;
    kept.buffer_bytes -= length;
    unpoison_memory(base, length);
    out.push_back(base);
    if (found->second.empty()) {
      kept.blocks.erase(found);
      found = kept.blocks.end();
    }
  }
}

std::uint64_t kept_memory_bytes() noexcept { return store().bytes.load(std::memory_order_relaxed); }

std::uint64_t kept_buffer_bytes() noexcept {
  return store().buffer_bytes.load(std::memory_order_relaxed);
}

void release_kept_memory() noexcept {
  KeptRelease release;
  const KeptLock lock = lock_kept_memory();
  trim_to(store(), 0, release);
}

void set_kept_memory_limit(std::uint64_t bytes) noexcept {
  KeptRelease release;
  const KeptLock lock = lock_kept_memory();
  store().limit.store(bytes, std::memory_order_relaxed);
  trim_to(store(), bytes, release);
}

}  // namespace vantle
