// The heap behind every buffer and array handed to the host.
//
// Each allocation carries HOST_MEMORY_SLACK writable bytes the host never
// sees: FFmpeg's SIMD writers store whole vectors, and swscale's unscaled
// YUV-to-RGB24 loop runs up to 45 bytes past a packed row (SSSE3, 48 bytes
// a step, on both FFmpeg generations). 256 bytes hold a whole 64-pixel
// AVX-512 step (192 bytes) with room to spare.
#pragma once

#include <cstddef>

#include "common/result.h"

namespace vantle {

inline constexpr std::size_t HOST_MEMORY_SLACK = 256;

// Blocks of at least a page (with header and slack) are mapped and kept for
// reuse when released (kept_memory.h): in the C heap's arenas, a response's
// blocks interleaved with the decoder's allocations would strand memory once
// freed, and small chroma planes would be trimmed and faulted in again each
// call. Smaller ones (record arrays, small access units) use the C heap.
inline constexpr std::size_t HOST_MAPPED_MIN = std::size_t{4} << 10;
// Mappings this long or longer start on a huge-page boundary and ask for
// transparent huge pages: a fresh block is faulted in five times as fast.
inline constexpr std::size_t HOST_HUGE_PAGE = std::size_t{2} << 20;

// `size` + HOST_MEMORY_SLACK bytes, uninitialised, aligned for any scalar
// type (except under the test library's HostGuard::After), for the
// response's record arrays: never null, aborts when memory is exhausted or
// the size overflows.
void* allocate_host_memory(std::size_t size) noexcept;

// The same for a buffer of pixels or access units that a request call
// returns, first counted against the response limit (request_limits.h).
// Fails with a message, and never aborts, when that refuses it or the system
// has no memory for it.
Result<void*> allocate_response_memory(std::size_t size);

// Releases what allocate_host_memory returned, on any thread: a mapped block
// is kept for reuse within the process-wide bound or unmapped; a C-heap
// block is freed. Null is ignored. Releasing a block twice aborts.
void free_host_memory(void* data) noexcept;

// Whole page-aligned blocks of `length` bytes (a multiple of the page) for
// memory the library holds itself (a decoder's pictures), on any thread:
// a kept block of that length, else a fresh mapping (`fresh`: all zeros),
// never through map_host_pages, whose refusals in the test library stand
// for a host's responses. Null when the system has no room.
void* take_library_block(std::size_t length, bool& fresh) noexcept;
// Gives such a block back, to be kept within the process-wide bound, or
// else unmaps it. Never under the store's lock.
void give_back_library_block(void* base, std::size_t length, bool keep = true) noexcept;

// One request or release call on the calling thread. Inside it, blocks come
// from and go to a stash of the thread's own, refilled from the process's
// kept blocks in batches sized by what the thread's last request call used,
// so that the lock over kept memory is taken per call and per block length,
// not per picture. What the stash holds at the end goes back to the process.
class HostMemoryCallScope {
 public:
  HostMemoryCallScope() noexcept;
  ~HostMemoryCallScope();
  HostMemoryCallScope(const HostMemoryCallScope&) = delete;
  HostMemoryCallScope& operator=(const HostMemoryCallScope&) = delete;
};

// Beneath the functions above: placing and releasing an allocation, and
// mapping pages (null with errno set when the system has no room).
// host_memory.cpp defines the first three weak; the test library's guard
// heap (host_guard.h) overrides them, so what ships has no test mode to
// check. map_system_pages is the system's own.
void* place_host_allocation(std::size_t size) noexcept;
void release_host_allocation(void* data) noexcept;
void* map_host_pages(std::size_t length) noexcept;
void* map_system_pages(std::size_t length) noexcept;
// The shipped placement: a header, then `size` + HOST_MEMORY_SLACK bytes,
// in the C heap or a mapped block.
void* allocate_host_block(std::size_t size) noexcept;
void free_host_block(void* data) noexcept;
// `a` + `b`, aborting when that overflows; `bytes` rounded up to pages.
std::size_t checked_host_size(std::size_t a, std::size_t b) noexcept;
std::size_t host_mapping_length(std::size_t bytes) noexcept;
std::size_t host_page_size() noexcept;

}  // namespace vantle
