#include "common/host_memory_cache.h"

#include <algorithm>
#include <array>
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

  // Released blocks by exact size, the most recently released last.
  std::unordered_map<std::size_t, std::vector<void*>> blocks_;
  std::size_t held_ = 0;
  std::size_t limit_ = 0;
  std::array<std::size_t, HOST_CACHE_CALLS> recent_responses_{};
  std::size_t next_recent_ = 0;
  // Nesting depth of request calls, and their bytes handed out net of
  // those given back meanwhile.
  int calls_in_progress_ = 0;
  std::ptrdiff_t call_net_bytes_ = 0;
};

// Buffers may still be released by thread-exit code that runs after the
// cache is gone; from then on they go straight back to the C heap.
thread_local bool CACHE_GONE = false;
thread_local HostMemoryCache HOST_MEMORY_CACHE;

HostMemoryCache::~HostMemoryCache() {
  CACHE_GONE = true;
  for (auto& [size, list] : blocks_) {
    for (void* block : list) {
      std::free(block);
    }
  }
}

void* HostMemoryCache::take(std::size_t size) noexcept {
  auto found = blocks_.find(size);
  if (found == blocks_.end() || found->second.empty()) {
    return nullptr;
  }
  void* block = found->second.back();
  found->second.pop_back();
  held_ -= size;
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
  blocks_[size].push_back(block);
  held_ += size;
  return true;
}

void HostMemoryCache::evict_one_other_than(std::size_t size) noexcept {
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->first == size || it->second.empty()) {
      continue;
    }
    std::free(it->second.back());
    it->second.pop_back();
    held_ -= it->first;
    if (it->second.empty()) {
      blocks_.erase(it);
    }
    return;
  }
}

void HostMemoryCache::trim() noexcept {
  while (held_ > limit_) {
    auto it = blocks_.begin();
    while (it != blocks_.end() && it->second.empty()) {
      it = blocks_.erase(it);
    }
    if (it == blocks_.end()) {
      return;
    }
    std::free(it->second.back());
    it->second.pop_back();
    held_ -= it->first;
  }
}

void HostMemoryCache::begin_call() noexcept {
  if (calls_in_progress_++ == 0) {
    call_net_bytes_ = 0;
  }
}

void HostMemoryCache::end_call() noexcept {
  if (--calls_in_progress_ != 0) {
    return;
  }
  recent_responses_[next_recent_] = static_cast<std::size_t>(std::max<std::ptrdiff_t>(call_net_bytes_, 0));
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

std::size_t cached_host_bytes() noexcept { return CACHE_GONE ? 0 : HOST_MEMORY_CACHE.held(); }

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
