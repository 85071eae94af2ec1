// Decoding of a packet run with conversion of only the frames at selected
// output positions.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "common/byte_view.h"
#include "common/result.h"
#include "conversion/picture_converter.h"
#include "conversion/rgb_converter.h"
#include "conversion/yuv420.h"
#include "decoding/packet_decoder.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Output positions: zero-based ordinals in the order the decoder outputs
// frames. An empty selection selects every frame.
using PositionSet = std::set<std::uint64_t>;

// The selected frames in position order, in the layout, size and
// orientation of `output`: RGB layouts by the first, YUV layouts by the
// second. The whole run is decoded even once every selected frame is
// converted; positions never reached are ignored.
Result<std::vector<RgbFrame>> decode_selected_packets_to_rgb(const OutputRequest& output,
                                                             RuntimeCodec codec, ByteView extradata,
                                                             std::vector<ByteView> packets,
                                                             const PositionSet& selection);
Result<std::vector<Yuv420Frame>> decode_selected_packets_to_yuv420(const OutputRequest& output,
                                                                   RuntimeCodec codec,
                                                                   ByteView extradata,
                                                                   std::vector<ByteView> packets,
                                                                   const PositionSet& selection);

}  // namespace vantle
