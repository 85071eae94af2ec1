// Per-thread recycling of host buffers. A host that decodes group after
// group releases each response before or soon after asking for the next; the
// released buffers come back at the sizes the next response needs, so they
// are kept and handed out again instead of being returned to the kernel and
// faulted in and zeroed anew (about a quarter of a 1080p RGB decode's time).
//
// Retention: a thread keeps at most the largest response (bytes handed out
// and not released within the call) of its last HOST_CACHE_CALLS request
// calls, and never more than HOST_CACHE_CAP; the rest goes back to the C
// heap at once. A thread that makes no request calls keeps nothing, so
// releasing responses on another thread never grows that thread's cache.
// Everything kept is freed when the thread exits. All threads together keep
// at most HOST_CACHE_PROCESS_CAP: a host that calls from many worker threads,
// which then sit idle, must not find a multiple of that in its process.
#pragma once

#include <cstddef>

namespace vantle {

inline constexpr std::size_t HOST_CACHE_CALLS = 4;
// The indexed decode's pixel budget (256 MiB) plus room for its planes'
// padding and records.
inline constexpr std::size_t HOST_CACHE_CAP = std::size_t{288} << 20;
// What all threads keep together: enough for a few threads decoding 1080p
// groups, or one indexed call's budget.
inline constexpr std::size_t HOST_CACHE_PROCESS_CAP = std::size_t{512} << 20;

// A kept block of exactly `size` bytes (as asked of allocate_host_memory) or
// null. `block` is the start of the C-heap allocation.
void* take_cached_block(std::size_t size) noexcept;
// Keeps the block for the calling thread, or answers false when it must go
// back to the C heap.
bool keep_cached_block(void* block, std::size_t size) noexcept;

// Bytes the calling thread keeps now, and all threads together (for tests
// and the benchmark).
std::size_t cached_host_bytes() noexcept;
std::size_t cached_host_bytes_in_process() noexcept;

// Marks one request call on the calling thread: what it hands out sets the
// retention limit.
class HostMemoryCallScope {
 public:
  HostMemoryCallScope() noexcept;
  ~HostMemoryCallScope();
  HostMemoryCallScope(const HostMemoryCallScope&) = delete;
  HostMemoryCallScope& operator=(const HostMemoryCallScope&) = delete;
};

// Counts a block handed out (+) or given back (-) on the calling thread.
void count_host_bytes(std::ptrdiff_t delta) noexcept;

}  // namespace vantle
