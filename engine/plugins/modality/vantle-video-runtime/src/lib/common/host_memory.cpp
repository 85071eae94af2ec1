#include "common/host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/fatal.h"
#include "common/kept_memory.h"
#include "common/request_limits.h"
#include "common/text.h"

namespace vantle {

namespace {

// In front of every block that is not guarded. 32 bytes keep the data as
// aligned as malloc's own result, and a mapped block's data on a 32-byte
// boundary.
struct alignas(32) BlockHeader {
  std::uint32_t state;
  std::size_t size;
  // The mapping's length; 0 for a C-heap block.
  std::size_t length;
};
constexpr std::size_t HEADER_SIZE = sizeof(BlockHeader);
static_assert(HEADER_SIZE == 32);
constexpr std::uint32_t BLOCK_LIVE = 0x76766c69;  // handed out
constexpr std::uint32_t BLOCK_FREE = 0x7676667e;  // released

std::size_t checked_total(std::size_t size, std::size_t extra) noexcept {
  std::size_t total = 0;
  if (__builtin_add_overflow(size, HOST_MEMORY_SLACK + extra, &total)) {
    fatal("host allocation size overflow");
  }
  return total;
}

std::size_t page_size() noexcept {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t mapping_length(std::size_t total) noexcept {
  const std::size_t page = page_size();
  std::size_t rounded = 0;
  if (__builtin_add_overflow(total, page - 1, &rounded)) {
    fatal("host allocation size overflow");
  }
  return rounded / page * page;
}

#ifdef VANTLE_HOST_GUARD
std::atomic<std::size_t> FAIL_MAPPINGS_FROM{0};
#endif

// A fresh anonymous mapping; null with errno set when the system refuses it.
void* map_anonymous(std::size_t length) noexcept {
#ifdef VANTLE_HOST_GUARD
  if (const std::size_t from = FAIL_MAPPINGS_FROM.load(std::memory_order_relaxed);
      from != 0 && length >= from) {
    errno = ENOMEM;
    return nullptr;
  }
#endif
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

// Null with errno set when the system has no room for the mapping.
void* map_block(std::size_t length) noexcept {
  if (length < HOST_HUGE_PAGE) {
    return map_anonymous(length);
  }
  // Over-map by a huge page and cut the mapping down to an aligned start.
  std::size_t padded = 0;
  if (__builtin_add_overflow(length, HOST_HUGE_PAGE, &padded)) {
    fatal("host allocation size overflow");
  }
  void* raw = map_anonymous(padded);
  if (raw == nullptr) {
    return nullptr;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + HOST_HUGE_PAGE - 1) & ~(HOST_HUGE_PAGE - 1);
  if (aligned != start) {
    munmap(raw, aligned - start);
  }
  if (const std::size_t tail = padded - (aligned - start) - length; tail != 0) {
    munmap(reinterpret_cast<void*>(aligned + length), tail);
  }
  void* base = reinterpret_cast<void*>(aligned);
  madvise(base, length, MADV_HUGEPAGE);  // advice only: fine where unsupported
  return base;
}

// One thread's side of the mapped blocks: a stash for the running request
// call, and the blocks freed by the running release call.
class ThreadBlocks {
 public:
  ThreadBlocks() noexcept = default;
  ThreadBlocks(const ThreadBlocks&) = delete;
  ThreadBlocks& operator=(const ThreadBlocks&) = delete;
  ~ThreadBlocks();

  void* take(std::size_t length);
  void give_back(void* base, std::size_t length);

  void begin_call() noexcept {
    if (calls_++ == 0) {
      response_bytes_ = 0;
    }
  }
  // Adds `size` to what the running call returns; false, leaving the count
  // as it was, when that would take it over `limit`. `total` is the count
  // with `size`. Outside a call nothing is counted.
  bool count_response_bytes(std::size_t size, std::uint64_t limit, std::uint64_t& total) noexcept;
  void end_call();
  void begin_release() noexcept { ++releases_; }
  void end_release();

 private:
  struct Length {
    std::size_t length;
    std::vector<void*> stash;
    // Blocks of this length the thread's last call handed out, and the
    // running call so far.
    std::size_t last_call = 0;
    std::size_t this_call = 0;
    // The process kept no more of them when the running call asked.
    bool none_kept = false;
  };
  Length& entry(std::size_t length);
  void keep_all(std::vector<std::pair<void*, std::size_t>>& blocks);

  std::vector<Length> lengths_;
  std::vector<std::pair<void*, std::size_t>> released_;
  int calls_ = 0;
  int releases_ = 0;
  std::uint64_t response_bytes_ = 0;
};

// Blocks may still be released by thread-exit code that runs after the
// thread's own state is gone; from then on they go to the process directly.
thread_local bool THREAD_BLOCKS_GONE = false;
thread_local ThreadBlocks THREAD_BLOCKS;

void keep_block(void* base, std::size_t length) {
  KeptRelease release;
  KeptLock lock = lock_kept_memory();
  keep_mapped_block(lock, base, length, release);
}

ThreadBlocks::Length& ThreadBlocks::entry(std::size_t length) {
  for (Length& known : lengths_) {
    if (known.length == length) {
      return known;
    }
  }
  Length added;
  added.length = length;
  return lengths_.emplace_back(std::move(added));
}

void* ThreadBlocks::take(std::size_t length) {
  Length& known = entry(length);
  ++known.this_call;
  if (known.stash.empty() && !known.none_kept) {
    // As many as the last call used beyond what this one has had so far:
    // a group decoded like the last one takes the lock once per length.
    const std::size_t wanted = calls_ != 0 && known.last_call > known.this_call
                                   ? known.last_call - known.this_call + 1
                                   : 1;
    KeptLock lock = lock_kept_memory();
    take_mapped_blocks(lock, length, wanted, known.stash);
    // The process had fewer than asked for: the rest of the call maps its
    // blocks without asking again.
    known.none_kept = calls_ != 0 && known.stash.size() < wanted;
  }
  if (known.stash.empty()) {
    return nullptr;
  }
  void* base = known.stash.back();
  known.stash.pop_back();
  return base;
}

bool ThreadBlocks::count_response_bytes(std::size_t size, std::uint64_t limit,
                                        std::uint64_t& total) noexcept {
  if (__builtin_add_overflow(response_bytes_, std::uint64_t{size}, &total)) {
    total = UINT64_MAX;
  }
  if (calls_ == 0) {
    return true;
  }
  if (limit != 0 && total > limit) {
    return false;
  }
  response_bytes_ = total;
  return true;
}

void ThreadBlocks::give_back(void* base, std::size_t length) {
  if (releases_ != 0) {
    released_.emplace_back(base, length);
  } else if (calls_ != 0) {
    entry(length).stash.push_back(base);
  } else {
    keep_block(base, length);
  }
}

void ThreadBlocks::keep_all(std::vector<std::pair<void*, std::size_t>>& blocks) {
  if (blocks.empty()) {
    return;
  }
  KeptRelease release;
  KeptLock lock = lock_kept_memory();
  for (const auto& [base, length] : blocks) {
    keep_mapped_block(lock, base, length, release);
  }
  blocks.clear();
}

void ThreadBlocks::end_call() {
  if (--calls_ != 0) {
    return;
  }
  std::vector<std::pair<void*, std::size_t>> left;
  for (Length& known : lengths_) {
    for (void* base : known.stash) {
      left.emplace_back(base, known.length);
    }
    known.stash.clear();
    known.last_call = std::exchange(known.this_call, 0);
    known.none_kept = false;
  }
  // Lengths the thread no longer uses are forgotten.
  std::erase_if(lengths_, [](const Length& known) { return known.last_call == 0; });
  keep_all(left);
}

void ThreadBlocks::end_release() {
  if (--releases_ == 0) {
    keep_all(released_);
  }
}

ThreadBlocks::~ThreadBlocks() {
  THREAD_BLOCKS_GONE = true;
  std::vector<std::pair<void*, std::size_t>> left = std::move(released_);
  for (Length& known : lengths_) {
    for (void* base : known.stash) {
      left.emplace_back(base, known.length);
    }
  }
  keep_all(left);
}

void* take_block(std::size_t length) {
  if (THREAD_BLOCKS_GONE) {
    std::vector<void*> taken;
    KeptLock lock = lock_kept_memory();
    take_mapped_blocks(lock, length, 1, taken);
    return taken.empty() ? nullptr : taken.front();
  }
  return THREAD_BLOCKS.take(length);
}

void give_back_block(void* base, std::size_t length) {
  if (THREAD_BLOCKS_GONE) {
    keep_block(base, length);
  } else {
    THREAD_BLOCKS.give_back(base, length);
  }
}

#ifdef VANTLE_HOST_GUARD
// The guard-page placement exists only in the build the test programs link
// (see host_memory.h); the shipped library neither has it nor checks for it.

std::atomic<HostGuard> GUARD{HostGuard::None};
// Set once any guarded allocation was made: only then must frees look them up.
std::atomic<bool> GUARDED_ALLOCATIONS_MADE{false};

struct Mapping {
  void* base = nullptr;
  std::size_t length = 0;
  std::size_t total = 0;
};

// Guarded allocations by the address handed out. Tests only, so one lock is fine.
struct GuardedMappings {
  std::mutex mutex;
  std::unordered_map<void*, Mapping> by_address;
  std::size_t live_bytes = 0;
  std::size_t peak_bytes = 0;
};

GuardedMappings& guarded_mappings() {
  // Never destroyed: buffers may be freed by threads still running at exit.
  static auto* mappings = new GuardedMappings;
  return *mappings;
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
  void* base = map_anonymous(length);
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
    const std::lock_guard lock(mappings.mutex);
    mappings.by_address.emplace(data, Mapping{base, length, total});
    mappings.live_bytes += total;
    mappings.peak_bytes = std::max(mappings.peak_bytes, mappings.live_bytes);
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
    mappings.live_bytes -= mapping.total;
    mappings.by_address.erase(found);
  }
  munmap(mapping.base, mapping.length);
  return true;
}

#endif  // VANTLE_HOST_GUARD

}  // namespace

namespace {

// The block for `size` bytes, from the thread's stash, the process's kept
// blocks or the system; null with errno set when the system has no room.
void* try_allocate(std::size_t size) noexcept {
#ifdef VANTLE_HOST_GUARD
  if (const HostGuard guard = GUARD.load(std::memory_order_relaxed); guard != HostGuard::None) {
    return allocate_guarded(checked_total(size, 0), guard);
  }
#endif
  const std::size_t total = checked_total(size, HEADER_SIZE);
  std::size_t length = 0;
  void* block = nullptr;
  if (total < HOST_MAPPED_MIN) {
    block = std::malloc(total);
  } else {
    length = mapping_length(total);
    block = take_block(length);
    if (block == nullptr) {
      block = map_block(length);
    }
  }
  if (block == nullptr) {
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(block);
  header->state = BLOCK_LIVE;
  header->size = size;
  header->length = length;
  return static_cast<unsigned char*>(block) + HEADER_SIZE;
}

}  // namespace

void* allocate_host_memory(std::size_t size) noexcept {
  void* data = try_allocate(size);
  if (data == nullptr) {
    fatal("out of memory");
  }
  return data;
}

Result<void*> allocate_response_memory(std::size_t size) {
  const std::uint64_t limit = response_limit();
  std::uint64_t total = 0;
  const bool counted = THREAD_BLOCKS_GONE || THREAD_BLOCKS.count_response_bytes(size, limit, total);
  if (!counted) {
    return fail(
        str_cat("response exceeds the response limit of ", limit, " bytes (", total, " bytes)"));
  }
  void* data = try_allocate(size);
  if (data == nullptr) {
    const int error = errno;
    return fail(str_cat("failed to allocate a response buffer of ", size,
                        " bytes: ", std::strerror(error)));
  }
  return data;
}

void free_host_memory(void* data) noexcept {
  if (data == nullptr) {
    return;
  }
#ifdef VANTLE_HOST_GUARD
  if (GUARDED_ALLOCATIONS_MADE.load(std::memory_order_acquire) && free_guarded(data)) {
    return;
  }
#endif
  auto* header = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(data) - HEADER_SIZE);
  if (header->state != BLOCK_LIVE) {
    fatal("host buffer released twice, or not made by this library");
  }
  header->state = BLOCK_FREE;
  if (header->length == 0) {
    std::free(header);
  } else {
    give_back_block(header, header->length);
  }
}

HostMemoryCallScope::HostMemoryCallScope() noexcept {
  if (!THREAD_BLOCKS_GONE) {
    THREAD_BLOCKS.begin_call();
  }
}

HostMemoryCallScope::~HostMemoryCallScope() {
  if (!THREAD_BLOCKS_GONE) {
    THREAD_BLOCKS.end_call();
  }
}

HostMemoryReleaseScope::HostMemoryReleaseScope() noexcept {
  if (!THREAD_BLOCKS_GONE) {
    THREAD_BLOCKS.begin_release();
  }
}

HostMemoryReleaseScope::~HostMemoryReleaseScope() {
  if (!THREAD_BLOCKS_GONE) {
    THREAD_BLOCKS.end_release();
  }
}

#ifdef VANTLE_HOST_GUARD
void set_host_guard_for_testing(HostGuard guard) noexcept {
  GUARD.store(guard, std::memory_order_relaxed);
}

void fail_host_mappings_for_testing(std::size_t from_length) noexcept {
  FAIL_MAPPINGS_FROM.store(from_length, std::memory_order_relaxed);
}

GuardedBytes guarded_bytes_for_testing(bool reset_peak) noexcept {
  GuardedMappings& mappings = guarded_mappings();
  const std::lock_guard lock(mappings.mutex);
  const GuardedBytes bytes{mappings.live_bytes, mappings.peak_bytes};
  if (reset_peak) {
    mappings.peak_bytes = mappings.live_bytes;
  }
  return bytes;
}
#endif

}  // namespace vantle
