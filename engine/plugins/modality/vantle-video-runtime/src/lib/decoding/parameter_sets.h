// Whether an access unit carries H.264 / H.265 parameter sets.
#pragma once

#include <cstdint>
#include <span>

#include "vantle_video_runtime.h"

namespace vantle {

// True when the packet may hold a parameter set NAL unit (H.264 SPS, PPS,
// SPS extension, subset SPS; H.265 VPS, SPS, PPS), in Annex B form or, when
// the extradata is an avcC / hvcC record, length-prefixed. A decoder keeps
// the parameter sets it has seen until it is freed, so one that has seen
// in-band sets is not pooled. Errs towards true: a packet that cannot be
// walked counts as carrying them. Always false for AV1.
bool packet_carries_parameter_sets(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                   std::span<const std::uint8_t> packet);

}  // namespace vantle
