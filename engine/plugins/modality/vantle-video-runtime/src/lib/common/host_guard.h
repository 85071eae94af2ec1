// Where host allocations are placed, for tests that must see writes made by
// code the sanitizers do not instrument (FFmpeg). Only the test library has
// it: it overrides the host heap's placement functions (host_memory.h).
#pragma once

#include <cstddef>

namespace vantle {

enum class HostGuard {
  // The shipped placement.
  None,
  // Each allocation in its own mapping, filled with HOST_GUARD_FILL (bytes
  // left unwritten show) and flush against a PROT_NONE page behind it (a
  // write past size + slack faults at once) or, for Before, in front of it.
  After,
  Before,
};

inline constexpr unsigned char HOST_GUARD_FILL = 0xA5;

// Process-wide, for allocations made afterwards; any mode frees any block.
void set_host_guard_for_testing(HostGuard guard) noexcept;

// From now on every fresh mapping of at least `from_length` bytes fails as
// the system fails one that does not fit (ENOMEM); 0 stops it. The
// sanitizers cannot run under an address-space limit: this stands in.
void fail_host_mappings_for_testing(std::size_t from_length) noexcept;

// Bytes of guarded allocations live now, and at most since the last reset.
struct GuardedBytes {
  std::size_t live = 0;
  std::size_t peak = 0;
};
GuardedBytes guarded_bytes_for_testing(bool reset_peak) noexcept;

}  // namespace vantle
