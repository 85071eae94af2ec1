// A colour description in FFmpeg's codes: what an encoder writes to the
// bitstream, what a container reports for its stream and what a picture
// carries.
#pragma once

#include "ffmpeg_handles.h"

namespace vantle::media {

struct ColourDescription {
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  AVColorSpace space = AVCOL_SPC_UNSPECIFIED;  // the YUV matrix
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;

  bool operator==(const ColourDescription&) const = default;
};

// BT.709 in limited range, as HD video is described.
inline constexpr ColourDescription BT709_LIMITED{AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, AVCOL_PRI_BT709,
                                                 AVCOL_TRC_BT709};

// Writes the description to a picture (AVFrame) or an encoder
// (AVCodecContext), whose fields share their names.
template <typename Described>
void set_colour(Described& target, const ColourDescription& colour) {
  target.color_range = colour.range;
  target.colorspace = colour.space;
  target.color_primaries = colour.primaries;
  target.color_trc = colour.transfer;
}

inline ColourDescription colour_of(const AVFrame& picture) {
  return {picture.color_range, picture.colorspace, picture.color_primaries, picture.color_trc};
}

inline ColourDescription colour_of(const AVCodecParameters& stream) {
  return {stream.color_range, stream.color_space, stream.color_primaries, stream.color_trc};
}

}  // namespace vantle::media
