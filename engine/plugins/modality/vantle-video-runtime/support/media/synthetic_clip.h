// Synthetic clips encoded in memory with FFmpeg's encoders: the tests' media,
// the tool's built-in example and the example host's clip. The caller paints
// the pictures; this drives the encoder and collects its access units.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "colour.h"
#include "common/result.h"
#include "ffmpeg_handles.h"

namespace vantle::media {

struct EncoderSettings {
  int width = 0;
  int height = 0;
  // A deprecated full-range format (yuvj420p) that the encoder refuses goes
  // in as yuv420p marked full range instead.
  AVPixelFormat pix_fmt = AV_PIX_FMT_YUV420P;
  int frame_rate_num = 25;
  int frame_rate_den = 1;
  // Pictures from one key frame to the next.
  int gop_size = 0;
  // Consecutive B-frames at most (the encoder's max_b_frames); -1 leaves the
  // encoder's preset to choose.
  int b_frames = 0;
  // 1 keeps the output deterministic.
  int threads = 1;
  // Written to the bitstream's colour description.
  ColourDescription colour;
  // Parameter sets in the extradata rather than in the first access unit.
  bool global_header = false;
  // Encoder options (name, value), set in order; one the encoder does not
  // take is an error.
  std::vector<std::pair<std::string, std::string>> options;
};

struct EncodedPacket {
  std::vector<std::uint8_t> bytes;
  // What the encoder reported: pts is the picture's display index.
  std::int64_t pts = 0;
  std::int64_t dts = 0;
  bool key = false;
};

struct EncodedPictures {
  // Decode order, appended to by every encode_pictures() call.
  std::vector<EncodedPacket> packets;
  // Parameter sets, with EncoderSettings::global_header.
  std::vector<std::uint8_t> extradata;
};

// Paints picture `index` (display order) into a writable frame of the
// settings' size and format; may set the frame's colour fields.
using Painter = std::function<void(AVFrame& picture, int index)>;

// A frame of the format and size with its planes allocated, not yet written;
// null when the format is not planar YUV or allocation fails.
FrameHandle allocate_picture(int width, int height, AVPixelFormat pix_fmt);

// A fresh encoder opened with the settings, but in `pix_fmt` and `range`.
Result<CodecContextHandle> open_encoder(const AVCodec& encoder, const EncoderSettings& settings,
                                        AVPixelFormat pix_fmt, AVColorRange range);

// libx264 where the build has it, else FFmpeg's default H.264 encoder; null
// when there is none.
const AVCodec* find_h264_encoder();

// Encodes pictures [first_frame, end_frame) with a fresh encoder, flushes it
// and appends its access units to `out`. On failure, what went wrong.
Status encode_pictures(const AVCodec& encoder, const EncoderSettings& settings, int first_frame,
                       int end_frame, const Painter& paint, EncodedPictures& out);

}  // namespace vantle::media
