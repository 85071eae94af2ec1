// What libavcodec itself decodes from a packet run: the reference for
// bit-exact comparisons with the library's output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "media/colour.h"
#include "support/media.h"
#include "vantle_video_runtime.h"

namespace vantle::testing {

// One decoded picture with its planes tightly packed: each row of plane i
// holds exactly av_image_get_linesize(pix_fmt, width, i) bytes, no padding.
// For yuv420p / yuvj420p: Y width*height, U and V ceil(width/2)*ceil(height/2).
struct ReferenceFrame {
  int width = 0;
  int height = 0;
  AVPixelFormat pix_fmt = AV_PIX_FMT_NONE;
  // The frame's pts (the packet index when ReferenceDecodeOptions asks for
  // it), and best_effort_timestamp.
  std::int64_t pts = AV_NOPTS_VALUE;
  std::int64_t best_effort_timestamp = AV_NOPTS_VALUE;
  bool key = false;
  media::ColourDescription colour;
  std::vector<std::vector<std::uint8_t>> planes;
};

struct ReferenceDecodeOptions {
  // Sends packet i with pts i, as the library's indexed decode does.
  bool packet_index_pts = false;
  int thread_count = 1;
  // Preset reorder delay (has_b_frames), as FFmpeg's command-line tool
  // presets the depth its probing measured.
  int reorder_delay = 0;
  // Drops packets the decoder refuses (corrupted input) instead of failing;
  // their indices are appended to *refused_packets when it is set.
  bool skip_refused_packets = false;
  std::vector<std::size_t>* refused_packets = nullptr;
  // Decoder by name ("libdav1d", "libaom-av1"); empty takes FFmpeg's default
  // decoder for the codec id, as the library does.
  std::string decoder;
};

// Decodes the packets (decode order) with a bare send/receive loop and
// drains the decoder. Every FFmpeg failure is an error message. Empty
// packets are not sent (an empty packet would be FFmpeg's drain signal).
Result<std::vector<ReferenceFrame>> reference_decode(
    RuntimeCodec codec, std::span<const std::uint8_t> extradata,
    const std::vector<std::vector<std::uint8_t>>& packets,
    const ReferenceDecodeOptions& options = {});
// The whole stream, with its extradata.
Result<std::vector<ReferenceFrame>> reference_decode(const EncodedStream& stream,
                                                     const ReferenceDecodeOptions& options = {});
// Packets [first, first + count) of the stream, with its extradata.
Result<std::vector<ReferenceFrame>> reference_decode(const EncodedStream& stream, std::size_t first,
                                                     std::size_t count,
                                                     const ReferenceDecodeOptions& options = {});

// The planes of a software frame, tightly packed as in ReferenceFrame.
std::vector<std::vector<std::uint8_t>> packed_planes(const AVFrame& frame);
// A software frame as a ReferenceFrame (planes, size, format, colour, pts).
ReferenceFrame reference_frame_of(const AVFrame& frame);

// PSNR in dB of two equally long 8-bit sample arrays; infinity when equal.
double psnr(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
// A RuntimeBytes buffer as a span (empty for an absent buffer).
std::span<const std::uint8_t> bytes_of(const RuntimeBytes& bytes);

}  // namespace vantle::testing
