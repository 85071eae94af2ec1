// Body of vantle_video_runtime_decode_indexed.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Most YUV420 bytes one indexed decode may accumulate (256 MiB).
inline constexpr std::uint64_t INDEXED_DECODE_PIXEL_BUDGET = 268435456;

// The running total of YUV420 bytes one indexed decode has produced: only
// grows, saturates instead of wrapping.
class Yuv420PixelBudget {
 public:
  // Adds a w x h picture (luma plus two chroma planes of half the size,
  // rounded up) of `sample_bytes` bytes a sample; fails once the total
  // exceeds the budget.
  Status charge(std::uint32_t width, std::uint32_t height, std::uint32_t sample_bytes = 1);
  std::uint64_t total() const noexcept { return total_; }

 private:
  std::uint64_t total_ = 0;
};

// Checks both pointers, decodes, and writes the response only on success.
Status run_indexed_decode_request(const RuntimeDecodeRequest* request,
                                  RuntimeIndexedResponse* response);
// Every decoded picture with the index of the packet that produced it.
Result<std::vector<RuntimeIndexedFrame>> indexed_decode_request_records(
    const RuntimeDecodeRequest& request);

}  // namespace vantle
