// The heap behind every buffer and array handed to the host.
//
// Each allocation carries HOST_MEMORY_SLACK writable bytes behind the size
// asked for: FFmpeg's SIMD writers store whole vectors, and swscale's
// unscaled YUV-to-RGB24 loop (SSSE3, 16 pixels = 48 bytes a step, on both
// FFmpeg generations we build for) runs past the last pixel of a packed row
// by up to 15 pixels, 45 bytes. 256 bytes hold a whole 64-pixel RGB24 step
// (192 bytes), the widest an AVX-512 variant of that loop could write, with
// room to spare; it costs nothing next to a picture. The host sees only the
// size asked for.
#pragma once

#include <cstddef>

#include "common/result.h"

namespace vantle {

inline constexpr std::size_t HOST_MEMORY_SLACK = 256;

// Blocks of at least this many bytes (with their header and slack) are
// mapped from the system and kept for reuse when released (kept_memory.h);
// unmapped, they leave nothing behind in the C heap's arenas, where a whole
// response of multi-megabyte blocks, interleaved with the decoder's own
// allocations, would strand the memory after it is freed. One page: the
// chroma planes of small pictures (57,600 bytes at 640x360) are kept too,
// since the C heap would trim them between calls and fault them in again.
// Only what holds less than a page (record arrays, small access units)
// comes from the C heap and goes back to it at once.
inline constexpr std::size_t HOST_MAPPED_MIN = std::size_t{4} << 10;
// Mappings of at least this length start on a huge-page boundary and ask
// for transparent huge pages: a fresh block is faulted in a fifth of the
// time.
inline constexpr std::size_t HOST_HUGE_PAGE = std::size_t{2} << 20;

// `size` + HOST_MEMORY_SLACK bytes, uninitialised, aligned for any scalar
// type (except under the test library's HostGuard::After). A mapped block
// comes from the released blocks of its length when the process keeps one.
// For the response's record arrays, a few dozen bytes per picture: never
// null, aborts when memory is exhausted or the size overflows.
void* allocate_host_memory(std::size_t size) noexcept;

// The same for a buffer of pixels or access units that a request call
// returns. Inside the call (HostMemoryCallScope) its size is first counted
// against the response limit (request_limits.h): the buffer that would take
// the call over it is refused before any memory is taken for it. Fails with
// a message, and never aborts, when refused or when the system has no
// memory for it.
Result<void*> allocate_response_memory(std::size_t size);
// The count alone, for a picture counted whole before its buffers are
// allocated; those buffers, allocated inside_response_picture()
// (request_limits.h), are not counted again. Fails with the same message,
// counting nothing.
Result<void> count_response_bytes(std::size_t size);

// Releases what allocate_host_memory returned, on any thread: a mapped block
// is kept for reuse within the process-wide bound or unmapped; a C-heap
// block is freed. Null is ignored. Releasing a block twice aborts.
void free_host_memory(void* data) noexcept;

// Whole mapped blocks for memory the library holds itself (a decoder's
// pictures), on any thread: `length` bytes, a multiple of the page size and
// page-aligned, taken from the process's kept blocks of that length, else
// mapped afresh (`fresh`: all zeros). Null when the system has no room.
// Fresh ones come from the system, never through map_host_pages: what the
// test library makes that refuse stands for a host's responses.
void* take_library_block(std::size_t length, bool& fresh) noexcept;
// Gives such a block back: kept within the process-wide bound, or unmapped;
// or unmaps it straight away. Never under the store's lock.
void give_back_library_block(void* base, std::size_t length) noexcept;
void unmap_library_block(void* base, std::size_t length) noexcept;

// One request call on the calling thread. Inside it, blocks come from and go
// to a stash of the thread's own, refilled from the process's kept blocks in
// batches sized by what the thread's previous call used, so that the lock
// over kept memory is taken per call and per block length, not per picture.
// What the stash holds at the end goes back to the process.
class HostMemoryCallScope {
 public:
  HostMemoryCallScope() noexcept;
  ~HostMemoryCallScope();
  HostMemoryCallScope(const HostMemoryCallScope&) = delete;
  HostMemoryCallScope& operator=(const HostMemoryCallScope&) = delete;
};

// One release call: the blocks it frees are kept (or unmapped) together at
// its end, under one lock.
class HostMemoryReleaseScope {
 public:
  HostMemoryReleaseScope() noexcept;
  ~HostMemoryReleaseScope();
  HostMemoryReleaseScope(const HostMemoryReleaseScope&) = delete;
  HostMemoryReleaseScope& operator=(const HostMemoryReleaseScope&) = delete;
};

// Beneath the functions above: where an allocation is placed, how it is
// released, and the system's mappings (null with errno set when the system
// has no room). host_memory.cpp defines the three weak; the test library's
// guard heap (host_guard.h) defines them again, and its definitions take
// precedence there, so that the shipped library has no test mode to check.
void* place_host_allocation(std::size_t size) noexcept;
void release_host_allocation(void* data) noexcept;
void* map_host_pages(std::size_t length) noexcept;
// The shipped placement: a header, then `size` + HOST_MEMORY_SLACK bytes,
// in the C heap or a mapped block.
void* allocate_host_block(std::size_t size) noexcept;
void free_host_block(void* data) noexcept;
// `a` + `b`, aborting when that overflows; `bytes` rounded up to pages.
std::size_t checked_host_size(std::size_t a, std::size_t b) noexcept;
std::size_t host_mapping_length(std::size_t bytes) noexcept;
std::size_t host_page_size() noexcept;

}  // namespace vantle
