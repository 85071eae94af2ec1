// What the library keeps for reuse between calls, bounded for the whole
// process.
#pragma once

#include <cstdint>

namespace vantle {

inline constexpr std::uint64_t DEFAULT_KEPT_MEMORY_LIMIT = std::uint64_t{256} << 20;

void release_kept_memory() noexcept;
void set_kept_memory_limit(std::uint64_t bytes) noexcept;

}  // namespace vantle
