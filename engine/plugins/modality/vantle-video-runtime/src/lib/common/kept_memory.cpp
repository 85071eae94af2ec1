#include "common/kept_memory.h"

namespace vantle {

void release_kept_memory() noexcept {}
void set_kept_memory_limit(std::uint64_t) noexcept {}

}  // namespace vantle
