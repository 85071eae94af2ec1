#include "common/kept_memory.h"

#include <sys/mman.h>

#include <deque>
#include <map>
#include <new>

#include "common/sanitizer.h"

namespace vantle {

// Constant-initialised and trivially destroyed: usable by threads that run
// while the process exits.
constinit Mutex KEPT_MEMORY_MUTEX;

namespace {

struct KeptBlock {
  void* base;
  std::uint64_t stamp;
};

struct KeptStore {
  std::uint64_t stamp GUARDED_BY(KEPT_MEMORY_MUTEX) = 0;
  std::uint64_t bytes GUARDED_BY(KEPT_MEMORY_MUTEX) = 0;
  std::uint64_t limit GUARDED_BY(KEPT_MEMORY_MUTEX) = DEFAULT_KEPT_MEMORY_LIMIT;
  // Released blocks by mapping length, oldest first.
  std::map<std::size_t, std::deque<KeptBlock>> blocks GUARDED_BY(KEPT_MEMORY_MUTEX);
  std::vector<KeptDecoderSet*> decoder_sets GUARDED_BY(KEPT_MEMORY_MUTEX);
};

KeptStore& store() noexcept {
  // Never destroyed, for threads that still run while the process exits;
  // in static storage, so nothing is left allocated once the library is
  // unloaded.
  alignas(KeptStore) static unsigned char storage[sizeof(KeptStore)];
  static KeptStore* kept = new (storage) KeptStore;
  return *kept;
}

// Evicts the one thing used longest ago; false when nothing is kept.
bool evict_oldest(KeptStore& kept, KeptRelease& release) REQUIRES(KEPT_MEMORY_MUTEX) {
  std::uint64_t oldest = UINT64_MAX;
  auto oldest_length = kept.blocks.end();
  KeptDecoderSet* oldest_set = nullptr;
  for (auto it = kept.blocks.begin(); it != kept.blocks.end(); ++it) {
    if (it->second.front().stamp < oldest) {
      oldest = it->second.front().stamp;
      oldest_length = it;
    }
  }
  for (KeptDecoderSet* set : kept.decoder_sets) {
    if (auto use = set->oldest_use(); use && *use < oldest) {
      oldest = *use;
      oldest_set = set;
    }
  }
  if (oldest_set != nullptr) {
    evict_idle_decoder(*oldest_set, release);
    return true;
  }
  if (oldest_length == kept.blocks.end()) {
    return false;
  }
  auto& [length, queue] = *oldest_length;
  release.add(MappedBlock{queue.front().base, length});
  kept.bytes -= length;
  queue.pop_front();
  if (queue.empty()) {
    kept.blocks.erase(oldest_length);
  }
  return true;
}

void trim_to(KeptStore& kept, std::uint64_t limit, KeptRelease& release)
    REQUIRES(KEPT_MEMORY_MUTEX) {
  while (kept.bytes > limit && evict_oldest(kept, release)) {
  }
}

// Unloading the library (or the end of the process) keeps nothing more:
// what is kept is given back, and what comes back later is freed at once.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() {
    set_kept_memory_limit(0);
    // An unload happens only once every thread with a pool has ended.
    const MutexLock lock(KEPT_MEMORY_MUTEX);
    store().decoder_sets.shrink_to_fit();
  }
} RELEASE_AT_UNLOAD;

}  // namespace

KeptRelease::~KeptRelease() {
  entries_.clear();
  for (const MappedBlock& block : blocks_) {
    unpoison_memory(block.base, block.length);
    munmap(block.base, block.length);
  }
}

void keep_mapped_blocks(std::span<const MappedBlock> blocks) {
  if (blocks.empty()) {
    return;
  }
  KeptStore& kept = store();
  KeptRelease release;
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  for (const MappedBlock& block : blocks) {
    if (block.length > kept.limit) {
      release.add(block);
      continue;
    }
    // The block's pages stay as the host left them; under AddressSanitizer a
    // read or write through a released buffer is reported until it is reused.
    poison_memory(block.base, block.length);
    kept.blocks[block.length].push_back({block.base, ++kept.stamp});
    kept.bytes += block.length;
    trim_to(kept, kept.limit, release);
  }
}

void take_mapped_blocks(std::size_t length, std::size_t count, std::vector<void*>& out) {
  KeptStore& kept = store();
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  const auto found = kept.blocks.find(length);
  if (found == kept.blocks.end()) {
    return;
  }
  std::deque<KeptBlock>& queue = found->second;
  for (; count != 0 && !queue.empty(); --count) {
    out.push_back(queue.back().base);
    queue.pop_back();
    kept.bytes -= length;
    unpoison_memory(out.back(), length);
  }
  if (queue.empty()) {
    kept.blocks.erase(found);
  }
}

void register_decoder_set(KeptDecoderSet& set) {
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  store().decoder_sets.push_back(&set);
}

void unregister_decoder_set(KeptDecoderSet& set) {
  KeptRelease release;
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  std::erase(store().decoder_sets, &set);
  while (set.oldest_use()) {
    evict_idle_decoder(set, release);
  }
}

std::optional<std::uint64_t> admit_idle_decoder(std::size_t bytes) {
  KeptStore& kept = store();
  if (bytes > kept.limit) {
    return std::nullopt;
  }
  kept.bytes += bytes;
  return ++kept.stamp;
}

void withdraw_idle_decoder(std::size_t bytes) {
  store().bytes -= bytes;
}

void evict_idle_decoder(KeptDecoderSet& set, KeptRelease& release) {
  store().bytes -= set.evict_oldest(release);
}

void trim_kept_memory(KeptRelease& release) {
  trim_to(store(), store().limit, release);
}

std::uint64_t kept_memory_bytes() noexcept {
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  return store().bytes;
}

void release_kept_memory() noexcept {
  KeptRelease release;
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  trim_to(store(), 0, release);
}

void set_kept_memory_limit(std::uint64_t bytes) noexcept {
  KeptRelease release;
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  store().limit = bytes;
  trim_to(store(), bytes, release);
}

}  // namespace vantle
