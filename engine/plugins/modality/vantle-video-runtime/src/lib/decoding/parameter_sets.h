// The H.264 / H.265 parameter sets an access unit carries in-band.
#pragma once

#include <cstdint>
#include <vector>

#include "common/byte_view.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Parameter-set NAL units (H.264 SPS, PPS, SPS extension, subset SPS; H.265
// VPS, SPS, PPS), each one whole, sorted and without repeats: the order and
// number of repeats make no difference to a decoder.
using ParameterSets = std::vector<std::vector<std::uint8_t>>;

// Adds the parameter sets of one packet, in Annex B form or, when the
// extradata is an avcC / hvcC record, length-prefixed. Answers false when
// the packet cannot be walked (a length field runs past its end): what it
// carries is then unknown. Nothing for AV1, VP9 and VP8.
bool add_parameter_sets(RuntimeCodec codec, ByteView extradata, ByteView packet,
                        ParameterSets& sets);

// The parameter sets of the extradata: an avcC or hvcC record's arrays, or
// the NAL units of Annex B extradata. Answers false when a record runs past
// its end.
bool add_extradata_parameter_sets(RuntimeCodec codec, ByteView extradata, ParameterSets& sets);

}  // namespace vantle
