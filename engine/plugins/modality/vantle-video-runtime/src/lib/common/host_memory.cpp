#include "common/host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/fatal.h"
#include "common/kept_memory.h"
#include "common/request_limits.h"
#include "common/text.h"

namespace vantle {

namespace {

// In front of every block of the shipped placement; 32 bytes keep the data
// as aligned as malloc's result, and a mapped block's on 32 bytes.
struct alignas(32) BlockHeader {
  std::uint32_t state;
  // The mapping's length; 0 for a C-heap block.
  std::size_t length;
};
constexpr std::size_t HEADER_SIZE = sizeof(BlockHeader);
static_assert(HEADER_SIZE == 32);
constexpr std::uint32_t BLOCK_LIVE = 0x76766c69;  // handed out
constexpr std::uint32_t BLOCK_FREE = 0x7676667e;  // released

// Null with errno set when the system has no room for the mapping.
void* map_block(std::size_t length, void* (*map)(std::size_t) noexcept = map_host_pages) noexcept {
  if (length < HOST_HUGE_PAGE) {
    return map(length);
  }
  // Over-map by a huge page and cut the mapping down to an aligned start.
  const std::size_t padded = checked_host_size(length, HOST_HUGE_PAGE);
  void* raw = map(padded);
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

// Thread-exit code may release blocks after the thread's stash is gone;
// they then go to the process directly.
thread_local bool THREAD_BLOCKS_GONE = false;

// One thread's stash of mapped blocks for the running call (host_memory.h).
class ThreadBlocks {
 public:
  ThreadBlocks() noexcept = default;
  ThreadBlocks(const ThreadBlocks&) = delete;
  ThreadBlocks& operator=(const ThreadBlocks&) = delete;
  ~ThreadBlocks() {
    THREAD_BLOCKS_GONE = true;
    return_stash();
  }

  void* take(std::size_t length) {
    Length& known = entry(length);
    ++known.this_call;
    if (known.stash.empty() && !known.none_kept) {
      // As many as the last call used beyond what this one has had so far:
      // a group decoded like the last one takes the lock once per length.
      const std::size_t wanted = calls_ != 0 && known.last_call > known.this_call
                                     ? known.last_call - known.this_call + 1
                                     : 1;
      take_mapped_blocks(length, wanted, known.stash);
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

  void give_back(MappedBlock block) {
    if (calls_ != 0) {
      entry(block.length).stash.push_back(block.base);
    } else {
      give_back_library_block(block.base, block.length);
    }
  }

  void begin_call() noexcept { ++calls_; }

  void end_call() {
    if (--calls_ != 0) {
      return;
    }
    // First, so that no stashed block goes with a length forgotten below.
    return_stash();
    // A call that took no block (a release call) leaves the batch sizes of
    // the thread's last request call as they were.
    if (std::any_of(lengths_.begin(), lengths_.end(),
                    [](const Length& known) { return known.this_call != 0; })) {
      for (Length& known : lengths_) {
        known.last_call = std::exchange(known.this_call, 0);
        known.none_kept = false;
      }
      // Lengths the thread no longer uses are forgotten.
      std::erase_if(lengths_, [](const Length& known) { return known.last_call == 0; });
    }
  }

 private:
  struct Length {
    std::size_t length;
    std::vector<void*> stash;
    // Blocks of this length handed out by the last call and this one so far.
    std::size_t last_call = 0;
    std::size_t this_call = 0;
    // The process kept no more of them when the running call asked.
    bool none_kept = false;
  };

  Length& entry(std::size_t length) {
    for (Length& known : lengths_) {
      if (known.length == length) {
        return known;
      }
    }
    return lengths_.emplace_back(Length{length, {}});
  }

  // Every stashed block back to the process, under one lock.
  void return_stash() {
    std::vector<MappedBlock> left;
    for (Length& known : lengths_) {
      for (void* base : known.stash) {
        left.push_back({base, known.length});
      }
      known.stash.clear();
    }
    keep_mapped_blocks(left);
  }

  std::vector<Length> lengths_;
  int calls_ = 0;
};

thread_local ThreadBlocks THREAD_BLOCKS;

// The calling thread's blocks; null once they are gone.
ThreadBlocks* thread_blocks() noexcept {
  return THREAD_BLOCKS_GONE ? nullptr : &THREAD_BLOCKS;
}

}  // namespace

void* map_system_pages(std::size_t length) noexcept {
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

std::size_t checked_host_size(std::size_t a, std::size_t b) noexcept {
  std::size_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    fatal("host allocation size overflow");
  }
  return sum;
}

std::size_t host_page_size() noexcept {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t host_mapping_length(std::size_t bytes) noexcept {
  const std::size_t page = host_page_size();
  return checked_host_size(bytes, page - 1) / page * page;
}

void* allocate_host_block(std::size_t size) noexcept {
  const std::size_t total = checked_host_size(size, HEADER_SIZE + HOST_MEMORY_SLACK);
  std::size_t length = 0;
  void* block = nullptr;
  if (total < HOST_MAPPED_MIN) {
    block = std::malloc(total);
  } else {
    length = host_mapping_length(total);
    // Thread-exit code that allocates after the stash is gone maps afresh.
    ThreadBlocks* blocks = thread_blocks();
    block = blocks != nullptr ? blocks->take(length) : nullptr;
    if (block == nullptr) {
      block = map_block(length);
    }
  }
  if (block == nullptr) {
    return nullptr;
  }
  *static_cast<BlockHeader*>(block) = {BLOCK_LIVE, length};
  return static_cast<unsigned char*>(block) + HEADER_SIZE;
}

void free_host_block(void* data) noexcept {
  auto* header = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(data) - HEADER_SIZE);
  if (header->state != BLOCK_LIVE) {
    fatal("host buffer released twice, or not made by this library");
  }
  header->state = BLOCK_FREE;
  if (header->length == 0) {
    std::free(header);
  } else if (ThreadBlocks* blocks = thread_blocks()) {
    blocks->give_back({header, header->length});
  } else {
    give_back_library_block(header, header->length);
  }
}

// Weak only here, where they are defined: were the declarations weak, the
// guard heap's definitions would be too, and would not take precedence.
[[gnu::weak]] void* place_host_allocation(std::size_t size) noexcept {
  return allocate_host_block(size);
}

[[gnu::weak]] void release_host_allocation(void* data) noexcept {
  free_host_block(data);
}

[[gnu::weak]] void* map_host_pages(std::size_t length) noexcept {
  return map_system_pages(length);
}

// Past the thread's stash: a decoder takes blocks only as its pool of
// pictures grows, often on frame threads that make no request calls.
void* take_library_block(std::size_t length, bool& fresh) noexcept {
  std::vector<void*> taken;
  take_mapped_blocks(length, 1, taken);
  fresh = taken.empty();
  return fresh ? map_block(length, map_system_pages) : taken.front();
}

void give_back_library_block(void* base, std::size_t length, bool keep) noexcept {
  const MappedBlock block{base, length};
  if (keep) {
    keep_mapped_blocks({&block, 1});
  } else {
    munmap(base, length);
  }
}

void* allocate_host_memory(std::size_t size) noexcept {
  void* data = place_host_allocation(size);
  if (data == nullptr) {
    fatal("out of memory");
  }
  return data;
}

Result<void*> allocate_response_memory(std::size_t size) {
  if (auto counted = count_response_bytes(size); !counted) {
    return fail(std::move(counted.error()));
  }
  void* data = place_host_allocation(size);
  if (data == nullptr) {
    return fail(str_cat("failed to allocate a response buffer of ", size,
                        " bytes: ", std::strerror(errno)));
  }
  return data;
}

void free_host_memory(void* data) noexcept {
  if (data != nullptr) {
    release_host_allocation(data);
  }
}

HostMemoryCallScope::HostMemoryCallScope() noexcept {
  if (ThreadBlocks* blocks = thread_blocks()) {
    blocks->begin_call();
  }
}

HostMemoryCallScope::~HostMemoryCallScope() {
  if (ThreadBlocks* blocks = thread_blocks()) {
    blocks->end_call();
  }
}

}  // namespace vantle
