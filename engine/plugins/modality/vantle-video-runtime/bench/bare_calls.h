// The bare side of every row: the same work as the library call, written
// directly against libavcodec and libswscale.
#pragma once

#include <cstdint>

#include "bare_decoder.h"
#include "bare_pictures.h"
#include "bench_media.h"

namespace vantle::bench {

// Frame rate and bit rate of the transcode rows, on both sides: 25/1 and the
// encoder's own rate control (0).
inline constexpr int TRANSCODE_RATE_NUM = 25;
inline constexpr int TRANSCODE_RATE_DEN = 1;
inline constexpr std::int64_t TRANSCODE_BIT_RATE = 0;

// Packet indices stamped as pts, every picture's planes copied into `output`.
Status bare_indexed_decode(BareDecoder& decoder, const PacketRun& run, PictureOutput& output);
// The same on a decoder opened for this call alone and freed after it, into
// fresh buffers.
Status bare_indexed_decode_fresh_decoder(const PacketRun& run, int threads);
// Every picture's planes copied into `output`.
Status bare_yuv420_decode(BareDecoder& decoder, const PacketRun& run, PictureOutput& output);
// Every picture converted to RGB24 of width x height (0: decoded size) into
// `output`.
Status bare_rgb_decode(BareDecoder& decoder, BareRgbScaler& scaler, const PacketRun& run,
                       std::uint32_t width, std::uint32_t height, PictureOutput& output);
// Every picture re-encoded as one H.264 group.
Status bare_transcode(BareDecoder& decoder, const PacketRun& run, int threads);

// Fresh buffers for one call's pictures: three planes a picture at most.
inline FreshOutput fresh_output(const PacketRun& run) {
  return FreshOutput(3 * run.pictures);
}

}  // namespace vantle::bench
