#include "common/host_guard.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "common/fatal.h"
#include "common/host_memory.h"
#include "common/thread_annotations.h"

namespace vantle {

namespace {

std::atomic<HostGuard> GUARD{HostGuard::None};
std::atomic<std::size_t> FAIL_MAPPINGS_FROM{0};

struct Mapping {
  void* base = nullptr;
  std::size_t length = 0;
  std::size_t total = 0;
};

// Guarded allocations by the address handed out. Tests only, so one lock is fine.
struct GuardedMappings {
  Mutex mutex;
  std::unordered_map<void*, Mapping> by_address GUARDED_BY(mutex);
  GuardedBytes bytes GUARDED_BY(mutex);
};

GuardedMappings& guarded_mappings() {
  // Never destroyed: buffers may be freed by threads still running at exit.
  static auto* mappings = new GuardedMappings;
  return *mappings;
}

void* allocate_guarded(std::size_t size, HostGuard guard) noexcept {
  const std::size_t total = checked_host_size(size, HOST_MEMORY_SLACK);
  const std::size_t page = host_page_size();
  const std::size_t pages_bytes = host_mapping_length(total);
  const std::size_t length = checked_host_size(pages_bytes, page);
  void* base = map_host_pages(length);
  if (base == nullptr) {
    return nullptr;
  }
  auto* bytes = static_cast<unsigned char*>(base);
  unsigned char* guard_page = guard == HostGuard::After ? bytes + pages_bytes : bytes;
  if (mprotect(guard_page, page, PROT_NONE) != 0) {
    fatal("cannot protect a guard page");
  }
  unsigned char* data = guard == HostGuard::After ? guard_page - total : bytes + page;
  std::memset(data, HOST_GUARD_FILL, total);
  {
    GuardedMappings& mappings = guarded_mappings();
    const MutexLock lock(mappings.mutex);
    mappings.by_address.emplace(data, Mapping{base, length, total});
    mappings.bytes.live += total;
    mappings.bytes.peak = std::max(mappings.bytes.peak, mappings.bytes.live);
  }
  return data;
}

bool free_guarded(void* data) noexcept {
  Mapping mapping;
  {
    GuardedMappings& mappings = guarded_mappings();
    const MutexLock lock(mappings.mutex);
    auto found = mappings.by_address.find(data);
    if (found == mappings.by_address.end()) {
      return false;
    }
    mapping = found->second;
    mappings.bytes.live -= mapping.total;
    mappings.by_address.erase(found);
  }
  munmap(mapping.base, mapping.length);
  return true;
}

}  // namespace

void* place_host_allocation(std::size_t size) noexcept {
  const HostGuard guard = GUARD.load(std::memory_order_relaxed);
  return guard == HostGuard::None ? allocate_host_block(size) : allocate_guarded(size, guard);
}

void release_host_allocation(void* data) noexcept {
  if (!free_guarded(data)) {
    free_host_block(data);
  }
}

void* map_host_pages(std::size_t length) noexcept {
  if (const std::size_t from = FAIL_MAPPINGS_FROM.load(std::memory_order_relaxed);
      from != 0 && length >= from) {
    errno = ENOMEM;
    return nullptr;
  }
  return map_system_pages(length);
}

void set_host_guard_for_testing(HostGuard guard) noexcept {
  GUARD.store(guard, std::memory_order_relaxed);
}

void fail_host_mappings_for_testing(std::size_t from_length) noexcept {
  FAIL_MAPPINGS_FROM.store(from_length, std::memory_order_relaxed);
}

GuardedBytes guarded_bytes_for_testing(bool reset_peak) noexcept {
  GuardedMappings& mappings = guarded_mappings();
  const MutexLock lock(mappings.mutex);
  const GuardedBytes bytes = mappings.bytes;
  if (reset_peak) {
    mappings.bytes.peak = mappings.bytes.live;
  }
  return bytes;
}

}  // namespace vantle
