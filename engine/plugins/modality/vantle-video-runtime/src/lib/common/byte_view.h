// Read-only bytes owned elsewhere: the host's request memory, a packet, a
// parameter set, a buffer's contents.
#pragma once

#include <cstdint>
#include <span>

namespace vantle {

using ByteView = std::span<const std::uint8_t>;

}  // namespace vantle
