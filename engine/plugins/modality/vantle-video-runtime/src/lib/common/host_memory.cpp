#include "common/host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/fatal.h"

namespace vantle {

namespace {

std::atomic<HostGuard> GUARD{HostGuard::None};
// Set once any guarded allocation was made: only then must frees look them up.
std::atomic<bool> GUARDED_ALLOCATIONS_MADE{false};

struct Mapping {
  void* base = nullptr;
  std::size_t length = 0;
};

// Guarded allocations by the address handed out. Tests only, so one lock is fine.
struct GuardedMappings {
  std::mutex mutex;
  std::unordered_map<void*, Mapping> by_address;
};

GuardedMappings& guarded_mappings() {
  // Never destroyed: buffers may be freed by threads still running at exit.
  static auto* mappings = new GuardedMappings;
  return *mappings;
}

std::size_t checked_total(std::size_t size) noexcept {
  std::size_t total = 0;
  if (__builtin_add_overflow(size, HOST_MEMORY_SLACK, &total)) {
    fatal("host allocation size overflow");
  }
  return total;
}

void* allocate_guarded(std::size_t total, HostGuard guard) noexcept {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::size_t pages_bytes = 0;
  std::size_t length = 0;
  if (__builtin_add_overflow(total, page - 1, &pages_bytes) ||
      __builtin_add_overflow(pages_bytes / page * page, page, &length)) {
    fatal("host allocation size overflow");
  }
  pages_bytes = length - page;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    fatal("out of memory");
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
    const std::lock_guard lock(mappings.mutex);
    mappings.by_address.emplace(data, Mapping{base, length});
  }
  GUARDED_ALLOCATIONS_MADE.store(true, std::memory_order_release);
  return data;
}

bool free_guarded(void* data) noexcept {
  Mapping mapping;
  {
    GuardedMappings& mappings = guarded_mappings();
    const std::lock_guard lock(mappings.mutex);
    auto found = mappings.by_address.find(data);
    if (found == mappings.by_address.end()) {
      return false;
    }
    mapping = found->second;
    mappings.by_address.erase(found);
  }
  munmap(mapping.base, mapping.length);
  return true;
}

}  // namespace

void* allocate_host_memory(std::size_t size) noexcept {
  const std::size_t total = checked_total(size);
  const HostGuard guard = GUARD.load(std::memory_order_relaxed);
  if (guard != HostGuard::None) {
    return allocate_guarded(total, guard);
  }
  void* data = std::malloc(total);
  if (data == nullptr) {
    fatal("out of memory");
  }
  return data;
}

void free_host_memory(void* data) noexcept {
  if (data == nullptr) {
    return;
  }
  if (GUARDED_ALLOCATIONS_MADE.load(std::memory_order_acquire) && free_guarded(data)) {
    return;
  }
  std::free(data);
}

void set_host_guard_for_testing(HostGuard guard) noexcept {
  GUARD.store(guard, std::memory_order_relaxed);
}

}  // namespace vantle
