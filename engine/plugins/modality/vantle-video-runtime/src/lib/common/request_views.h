// Validated read-only views of the host's request memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/byte_view.h"
#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

Result<ByteView> bytes_slice(const std::uint8_t* data, std::size_t len);
Result<ByteView> packet_slice(const RuntimePacket& packet);
// One view per packet, in array order.
Result<std::vector<ByteView>> packet_slices(const RuntimeDecodeRequest& request);
// The positions as given: order and duplicates kept, values not validated.
Result<std::vector<std::uint64_t>> copy_selected_positions(const RuntimeDecodeRequest& request);

}  // namespace vantle
