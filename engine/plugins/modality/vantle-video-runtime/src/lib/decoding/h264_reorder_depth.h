// What FFmpeg's H.264 decoder derives from a sequence parameter set: the
// reorder depth, used to tell whether a decoder with frame threads learned
// more from a run than its parameter sets imply, and the picture size.
#pragma once

#include <cstdint>
#include <optional>

#include "common/byte_view.h"
#include "decoding/picture_size.h"

namespace vantle {

// The depth (has_b_frames) an H.264 decoder opened with strict standard
// compliance holds after activating this SPS (a whole NAL unit, header byte
// first, emulation prevention bytes in place): max_num_reorder_frames when
// the VUI carries a bitstream restriction, else the frames the level's DPB
// holds at this picture size, at most 15. Nothing when the unit is not an SPS
// or takes any path where the decoder could settle on something else
// (damaged, truncated, out-of-range values).
std::optional<int> h264_sps_reorder_depth(ByteView nal_unit);

// The cropped picture size of an SPS (same form); nothing when the unit is
// not an SPS or FFmpeg would refuse it before reading the size.
std::optional<PictureSize> h264_sps_picture_size(ByteView nal_unit);

}  // namespace vantle
