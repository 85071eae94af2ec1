// Test media made at run time: synthetic pictures encoded with FFmpeg's own
// encoders (libx264, libx265, an AV1 encoder), access units in decode order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "media/synthetic_clip.h"
#include "vantle_video_runtime.h"

namespace vantle::testing {

// What the source pictures show.
enum class PictureContent {
  // A gradient with a bright square that moves with the frame index: every
  // frame differs, so PSNR checks mean something.
  Moving,
  // Every sample of a plane holds one value (StreamSpec::flat_*): colour
  // tests get flat chroma.
  Flat,
};

// From frame `first_frame` (display index) on, pictures have this size. Each
// size runs through a fresh encoder with in-band parameter sets.
struct ResolutionChange {
  int first_frame = 0;
  int width = 0;
  int height = 0;
};

// A test stream: the encoder settings of its pictures, as the programs
// around the library encode theirs, and what the tests add to them. Of the
// settings, gop_size 0 gives a single group; b_frames 2 gives packets
// I P B B (display I B B P), and AV1 streams never reorder whatever it says;
// pix_fmt is the source's too (yuv420p, yuvj420p, yuv420p10le, yuv422p,
// yuv444p); options come after the ones encode_stream() picks for the encoder.
struct StreamSpec : media::EncoderSettings {
  StreamSpec() {
    width = 64;
    height = 48;
  }

  RuntimeCodec codec = RuntimeCodec::H264;
  int frame_count = 8;
  // Ascending by first_frame; the first change must be after frame 0.
  std::vector<ResolutionChange> resolution_changes;
  PictureContent content = PictureContent::Moving;
  // Sample values of PictureContent::Flat, at the format's bit depth.
  int flat_y = 128;
  int flat_u = 128;
  int flat_v = 128;
  // Encoder to use by name; empty picks libx264, libx265, libsvtav1 (or
  // libaom-av1 when the build lacks it).
  std::string encoder;

  // Every field in one text: the cache key.
  std::string key() const;
};

struct EncodedStream {
  RuntimeCodec codec = RuntimeCodec::H264;
  // Name of the encoder that made the stream ("libx264", ...).
  std::string encoder;
  // Parameter sets when StreamSpec::global_header was set, else empty.
  std::vector<std::uint8_t> extradata;
  // Access units in decode order.
  std::vector<std::vector<std::uint8_t>> packets;
  // Per packet, decode order: the pts and dts the encoder reported (display
  // index of the picture) and whether it is a key frame.
  std::vector<std::int64_t> packet_pts;
  std::vector<std::int64_t> packet_dts;
  std::vector<bool> key;
  // Source pictures, display order, and their sizes.
  int frame_count = 0;
  std::vector<std::pair<int, int>> frame_sizes;
  // The StreamSpec that made the stream: source_frame() regenerates its pictures.
  StreamSpec spec;
  // Empty on success. encoder_missing: the build has no such encoder (tests
  // skip), otherwise the encoding failed (tests fail).
  std::string error;
  bool encoder_missing = false;

  bool ok() const { return error.empty(); }
  // The source picture at display index `index`, exactly as it was encoded.
  FrameHandle source_frame(int index) const;
};

// A deterministic synthetic picture: PictureContent::Moving, frame `index`.
// Planar YUV formats of any bit depth; colour fields unspecified.
FrameHandle make_source_frame(int width, int height, AVPixelFormat pix_fmt, int index);
// A picture whose planes hold one value each (at the format's bit depth).
FrameHandle make_flat_frame(int width, int height, AVPixelFormat pix_fmt, int y, int u, int v);

// Encodes the StreamSpec's pictures. Never throws and never fails the test itself:
// on failure the stream is empty and `error` says why. Results are cached per
// process by StreamSpec::key(), so a second call for the same spec is free.
// Thread-safe.
EncodedStream encode_stream(const StreamSpec& spec);

// Lowers FFmpeg's process-wide log level to AV_LOG_ERROR while at least one
// instance lives on any thread (encoders and decoders announce themselves at
// AV_LOG_INFO). The last one to go puts the earlier level back, unless
// someone else changed the level meanwhile (the library's one-time set-up
// running on another thread): that level stays.
class QuietFfmpegLog {
 public:
  QuietFfmpegLog() noexcept;
  ~QuietFfmpegLog();
  QuietFfmpegLog(const QuietFfmpegLog&) = delete;
  QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;
};

// Name of the AV1 encoder encode_stream() uses by default, or empty when the
// build has none.
std::string default_av1_encoder();

}  // namespace vantle::testing

// Skips the test when the stream's encoder is missing from this FFmpeg build,
// and fails it when encoding went wrong. Use in a test body.
#define VANTLE_REQUIRE_STREAM(stream)                               \
  do {                                                              \
    if ((stream).encoder_missing) {                                 \
      GTEST_SKIP() << (stream).error;                               \
    }                                                               \
    ASSERT_TRUE((stream).ok()) << "test media: " << (stream).error; \
  } while (false)
