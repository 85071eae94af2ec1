#include "common/host_memory_cache.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace vantle {

namespace {

class HostMemoryCache {
 public:
  HostMemoryCache() noexcept = default;
  HostMemoryCache(const HostMemoryCache&) = delete;
  HostMemoryCache& operator=(const HostMemoryCache&) = delete;
  ~HostMemoryCache();

  void* take(std::size_t size) noexcept;
  bool keep(void* block, std::size_t size) noexcept;
  std::size_t held() const noexcept { return held_; }

  void begin_call() noexcept;
  void end_call() noexcept;
  void count(std::ptrdiff_t delta) noexcept { call_net_bytes_ += delta; }

 private:
  void evict_one_other_than(std::size_t size) noexcept;
  void trim() noexcept;
  void forget(std::size_t size) noexcept;

  // Released blocks of one exact size, the most recently released last, and
  // the request call that last took or kept one: eviction frees the sizes
  // longest unused first, so a thread that moves on to other sizes (another
  // resolution, RGB after YUV) does not keep stale blocks while the sizes it
  // now uses go back to the C heap and are faulted in again at every call.
  struct SizeClass {
    std::vector<void*> blocks;
    std::uint64_t last_used = 0;
  };
  // The size class to evict from: the one used longest ago, other than
  // `except` (SIZE_MAX: none excepted); end() when none holds a block.
  std::unordered_map<std::size_t, SizeClass>::iterator stalest(std::size_t except) noexcept;
  void free_one(std::unordered_map<std::size_t, SizeClass>::iterator entry) noexcept;

  std::unordered_map<std::size_t, SizeClass> blocks_;
  std::uint64_t call_number_ = 0;
  std::size_t held_ = 0;
  std::size_t limit_ = 0;
  std::array<std::size_t, HOST_CACHE_CALLS> recent_responses_{};
  std::size_t next_recent_ = 0;
  // Nesting depth of request calls, and their bytes handed out net of
  // those given back meanwhile.
  int calls_in_progress_ = 0;
  std::ptrdiff_t call_net_bytes_ = 0;
};

// Bytes kept by all threads' caches together.
std::atomic<std::size_t> PROCESS_CACHED_BYTES{0};

// Counts `size` more bytes kept in the process when that stays within
// HOST_CACHE_PROCESS_CAP.
bool reserve_process_bytes(std::size_t size) noexcept {
  std::size_t held = PROCESS_CACHED_BYTES.load(std::memory_order_relaxed);
  do {
    if (held + size > HOST_CACHE_PROCESS_CAP) {
      return false;
    }
  } while (
      !PROCESS_CACHED_BYTES.compare_exchange_weak(held, held + size, std::memory_order_relaxed));
  return true;
}

// Buffers may still be released by thread-exit code that runs after the
// cache is gone; from then on they go straight back to the C heap.
thread_local bool CACHE_GONE = false;
thread_local HostMemoryCache HOST_MEMORY_CACHE;

void HostMemoryCache::forget(std::size_t size) noexcept {
  held_ -= size;
  PROCESS_CACHED_BYTES.fetch_sub(size, std::memory_order_relaxed);
}

HostMemoryCache::~HostMemoryCache() {
  CACHE_GONE = true;
  PROCESS_CACHED_BYTES.fetch_sub(held_, std::memory_order_relaxed);
  for (auto& [size, entry] : blocks_) {
    for (void* block : entry.blocks) {
      std::free(block);
    }
  }
}

void* HostMemoryCache::take(std::size_t size) noexcept {
  auto found = blocks_.find(size);
  if (found == blocks_.end() || found->second.blocks.empty()) {
    return nullptr;
  }
  found->second.last_used = call_number_;
  void* block = found->second.blocks.back();
  found->second.blocks.pop_back();
  forget(size);
  return block;
}

bool HostMemoryCache::keep(void* block, std::size_t size) noexcept {
  if (size > limit_) {
    return false;
  }
  while (held_ + size > limit_) {
    const std::size_t before = held_;
    evict_one_other_than(size);
    if (held_ == before) {
      return false;  // only blocks of this size are kept: enough of them
    }
  }
  // Other threads keep the rest of the process's share: make room from this
  // thread's own blocks of other sizes, or give the block back.
  while (!reserve_process_bytes(size)) {
    const std::size_t before = held_;
    evict_one_other_than(size);
    if (held_ == before) {
      return false;
    }
  }
  SizeClass& entry = blocks_[size];
  entry.blocks.push_back(block);
  entry.last_used = call_number_;
  held_ += size;
  return true;
}

std::unordered_map<std::size_t, HostMemoryCache::SizeClass>::iterator HostMemoryCache::stalest(
    std::size_t except) noexcept {
  auto oldest = blocks_.end();
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->first != except && !it->second.blocks.empty() &&
        (oldest == blocks_.end() || it->second.last_used < oldest->second.last_used)) {
      oldest = it;
    }
  }
  return oldest;
}

void HostMemoryCache::free_one(
    std::unordered_map<std::size_t, SizeClass>::iterator entry) noexcept {
  std::free(entry->second.blocks.back());
  entry->second.blocks.pop_back();
  forget(entry->first);
  if (entry->second.blocks.empty()) {
    blocks_.erase(entry);
  }
}

void HostMemoryCache::evict_one_other_than(std::size_t size) noexcept {
  if (auto entry = stalest(size); entry != blocks_.end()) {
    free_one(entry);
  }
}

void HostMemoryCache::trim() noexcept {
  while (held_ > limit_) {
    auto entry = stalest(SIZE_MAX);
    if (entry == blocks_.end()) {
      return;
    }
    free_one(entry);
  }
}

void HostMemoryCache::begin_call() noexcept {
  if (calls_in_progress_++ == 0) {
    call_net_bytes_ = 0;
    ++call_number_;
  }
}

void HostMemoryCache::end_call() noexcept {
  if (--calls_in_progress_ != 0) {
    return;
  }
  recent_responses_[next_recent_] =
      static_cast<std::size_t>(std::max<std::ptrdiff_t>(call_net_bytes_, 0));
  next_recent_ = (next_recent_ + 1) % HOST_CACHE_CALLS;
  limit_ = std::min(*std::max_element(recent_responses_.begin(), recent_responses_.end()),
                    HOST_CACHE_CAP);
  trim();
}

}  // namespace

void* take_cached_block(std::size_t size) noexcept {
  return CACHE_GONE ? nullptr : HOST_MEMORY_CACHE.take(size);
}

bool keep_cached_block(void* block, std::size_t size) noexcept {
  return !CACHE_GONE && HOST_MEMORY_CACHE.keep(block, size);
}

std::size_t cached_host_bytes() noexcept {
  return CACHE_GONE ? 0 : HOST_MEMORY_CACHE.held();
}

std::size_t cached_host_bytes_in_process() noexcept {
  return PROCESS_CACHED_BYTES.load(std::memory_order_relaxed);
}

void count_host_bytes(std::ptrdiff_t delta) noexcept {
  if (!CACHE_GONE) {
    HOST_MEMORY_CACHE.count(delta);
  }
}

HostMemoryCallScope::HostMemoryCallScope() noexcept {
  if (!CACHE_GONE) {
    HOST_MEMORY_CACHE.begin_call();
  }
}

HostMemoryCallScope::~HostMemoryCallScope() {
  if (!CACHE_GONE) {
    HOST_MEMORY_CACHE.end_call();
  }
}

}  // namespace vantle
