// The picture size a stream declares before any picture is decoded: in its
// H.264 / H.265 sequence parameter sets, AV1 sequence headers, and VP9 / VP8
// key-frame headers. Read so that a picture over the host's area limit is
// refused before the decoder allocates anything for it.
#pragma once

#include <cstdint>
#include <optional>

#include "common/byte_view.h"
#include "common/result.h"
#include "decoding/picture_size.h"
#include "vantle_video_runtime.h"

namespace vantle {

// The largest picture the extradata declares; nothing when it declares none
// or cannot be read (the decoder's own max_pixels check then applies).
std::optional<PictureSize> extradata_picture_size(RuntimeCodec codec, ByteView extradata);
// The same for one packet (the extradata tells how NAL units are framed).
std::optional<PictureSize> packet_picture_size(RuntimeCodec codec, ByteView extradata,
                                               ByteView packet);

// Fails with the area refusal when `size` is over `limit` (0: no limit).
Status check_picture_area(RuntimeCodec codec, const std::optional<PictureSize>& size,
                          std::uint64_t limit);

// The H.265 SPS (a whole NAL unit, two header bytes first) picture size,
// cropped by its conformance window.
std::optional<PictureSize> h265_sps_picture_size(ByteView nal_unit);
// The largest frame of an AV1 sequence header among the OBUs.
std::optional<PictureSize> av1_sequence_picture_size(ByteView obus);
// The size of a VP9 key or intra-only frame, or of a VP8 key frame.
std::optional<PictureSize> vp9_frame_picture_size(ByteView frame);
std::optional<PictureSize> vp8_frame_picture_size(ByteView frame);

}  // namespace vantle
