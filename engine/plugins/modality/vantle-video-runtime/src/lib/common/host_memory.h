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

namespace vantle {

inline constexpr std::size_t HOST_MEMORY_SLACK = 256;

// `size` + HOST_MEMORY_SLACK bytes, uninitialised, aligned for any scalar
// type (except under HostGuard::After). Never null: aborts when the heap is
// exhausted or the size overflows.
void* allocate_host_memory(std::size_t size) noexcept;

// Frees what allocate_host_memory returned; null is ignored. Any thread.
void free_host_memory(void* data) noexcept;

// Where host allocations are placed; for tests that must see writes made by
// code the sanitizers do not instrument (FFmpeg).
enum class HostGuard {
  // The C heap.
  None,
  // Each allocation in its own mapping, ending flush against a PROT_NONE
  // page: a write past size + slack faults at once. Contents are filled with
  // HOST_GUARD_FILL, so bytes left unwritten show.
  After,
  // The same with the inaccessible page right in front of the first byte.
  Before,
};

inline constexpr unsigned char HOST_GUARD_FILL = 0xA5;

// Process-wide; affects allocations made afterwards. Memory allocated under
// one mode may be freed under any other.
void set_host_guard_for_testing(HostGuard guard) noexcept;

}  // namespace vantle
