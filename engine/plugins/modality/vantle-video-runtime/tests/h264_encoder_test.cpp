// H264GopEncoder on frames built here: the opened context, the checks of
// open in their order, the YUV420P converter, the access-unit checks, and a
// group decoded back by libavcodec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "common/ffmpeg.h"
#include "common/ffmpeg_setup.h"
#include "conversion/hardware_download.h"
#include "h264_encoder/gop_transcode.h"
#include "h264_encoder/h264_gop_encoder.h"
#include "support/media.h"
#include "support/reference_decode.h"
#include "support/vulkan_frames.h"

namespace vantle {
namespace {

using testing::make_source_frame;

// Colour fields are C enums that may carry any code: written as plain ints.
template <typename Enum>
void set_code(Enum& field, int code) {
  std::memcpy(&field, &code, sizeof code);
}
template <typename Enum>
int code_of(const Enum& field) {
  int code = 0;
  std::memcpy(&code, &field, sizeof code);
  return code;
}

// NV12 with the samples of the planar picture: chroma interleaved.
FrameHandle nv12_frame(int width, int height, int index) {
  FrameHandle planar = make_source_frame(width, height, AV_PIX_FMT_YUV420P, index);
  FrameHandle frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_NV12;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  for (int r = 0; r < height; ++r) {
    std::memcpy(frame->data[0] + r * frame->linesize[0], planar->data[0] + r * planar->linesize[0],
                width);
  }
  for (int r = 0; r < (height + 1) / 2; ++r) {
    for (int c = 0; c < (width + 1) / 2; ++c) {
      frame->data[1][r * frame->linesize[1] + 2 * c] = planar->data[1][r * planar->linesize[1] + c];
      frame->data[1][r * frame->linesize[1] + 2 * c + 1] =
          planar->data[2][r * planar->linesize[2] + c];
    }
  }
  return frame;
}

FrameHandle frame_of(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P,
                     int index = 0) {
  if (format == AV_PIX_FMT_NV12) {
    return nv12_frame(width, height, index);
  }
  return make_source_frame(width, height, format, index);
}

// Opens with the given rates on a 64x48 frame.
Result<H264GopEncoder> open_with_rate(std::uint32_t num, std::uint32_t den, std::size_t group = 4) {
  FrameHandle first = frame_of(64, 48);
  return H264GopEncoder::open(*first, num, den, 0, group);
}

// Opens at 25/1 with the encoder's default rate control; a test body then
// asserts on the result.
#define OPEN_ENCODER(encoder, first, group)                                 \
  auto encoder##_opened = H264GopEncoder::open((first), 25, 1, 0, (group)); \
  ASSERT_TRUE(encoder##_opened.has_value()) << encoder##_opened.error();    \
  H264GopEncoder& encoder = *encoder##_opened

std::vector<std::uint8_t> to_vector(const ByteBuffer& buffer) {
  return {buffer.data(), buffer.data() + buffer.size()};
}

// NAL unit types of an Annex B access unit, in order.
std::vector<int> nal_types(const ByteBuffer& unit) {
  std::vector<int> types;
  const std::uint8_t* data = unit.data();
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      types.push_back(data[i + 3] & 0x1f);
      i += 2;
    }
  }
  return types;
}

class H264GopEncoderTest : public ::testing::Test {
 protected:
  // Before the quiet log level is set, so that it stays.
  static void SetUpTestSuite() { ensure_ffmpeg_initialized(); }
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }
  testing::QuietFfmpegLog quiet_;
};

TEST_F(H264GopEncoderTest, OpenSetsTheContextFields) {
  struct Case {
    std::uint32_t num, den;
    std::uint64_t bit_rate;
    std::size_t group;
  };
  for (const Case& c : {Case{30000, 1001, 0, 7}, Case{25, 1, 2'000'000, 1}, Case{50, 2, 0, 30}}) {
    SCOPED_TRACE(::testing::Message() << c.num << "/" << c.den << " group " << c.group);
    FrameHandle first = frame_of(64, 48);
    auto encoder = H264GopEncoder::open(*first, c.num, c.den, c.bit_rate, c.group);
    ASSERT_TRUE(encoder.has_value()) << encoder.error();
    const AVCodecContext& context = encoder->context();
    EXPECT_EQ(context.codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(context.codec, avcodec_find_encoder(AV_CODEC_ID_H264));
    EXPECT_EQ(context.codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(context.thread_type, FF_THREAD_FRAME);
    EXPECT_EQ(context.thread_count, 1);
    EXPECT_EQ(context.width, 64);
    EXPECT_EQ(context.height, 48);
    EXPECT_EQ(context.pix_fmt, AV_PIX_FMT_YUV420P);
    // Stored as given: neither is reduced.
    EXPECT_EQ(context.framerate.num, static_cast<int>(c.num));
    EXPECT_EQ(context.framerate.den, static_cast<int>(c.den));
    EXPECT_EQ(context.time_base.num, static_cast<int>(c.den));
    EXPECT_EQ(context.time_base.den, static_cast<int>(c.num));
    EXPECT_EQ(context.bit_rate, static_cast<std::int64_t>(c.bit_rate));
    EXPECT_EQ(context.gop_size, static_cast<int>(c.group));
    EXPECT_EQ(context.max_b_frames, 0);
    EXPECT_EQ(context.flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
    EXPECT_EQ(encoder->next_pts(), 0);
    EXPECT_FALSE(encoder->scaler().has_value());
  }
}

TEST_F(H264GopEncoderTest, ThreadCountComesFromTheEnvironmentAtEveryOpen) {
  struct Case {
    const char* value;  // nullptr: unset
    int expected;
  };
  for (const Case& c :
       {Case{nullptr, 1}, Case{"3", 3}, Case{"+2", 2}, Case{"4294967297", 1}, Case{"lots", 1}}) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
    if (c.value == nullptr) {
      unsetenv(THREAD_COUNT_VARIABLE);
    } else {
      setenv(THREAD_COUNT_VARIABLE, c.value, 1);
    }
    auto encoder = open_with_rate(25, 1);
    ASSERT_TRUE(encoder.has_value()) << encoder.error();
    EXPECT_EQ(encoder->context().thread_count, c.expected);
  }
}

TEST_F(H264GopEncoderTest, ColourPropertiesPassThroughTheRecognisedCodePoints) {
  struct Case {
    int range, space, primaries, trc;
    int expected_range, expected_space, expected_primaries, expected_trc;
  };
  const Case cases[] = {
      {1, 1, 1, 1, 1, 1, 1, 1},
      {2, 9, 9, 16, 2, 9, 9, 16},
      {1, 5, 5, 6, 1, 5, 5, 6},
      {0, 2, 2, 2, 0, 2, 2, 2},
      {2, 14, 12, 18, 2, 14, 12, 18},
      {1, 17, 22, 13, 1, 17, 22, 13},
      // Beyond the recognised code points: unspecified (0), colour space 18
      // becomes 2.
      {3, 18, 13, 19, 0, 2, 0, 0},
      {-1, 19, 21, 0, 0, 0, 0, 0},
      {1000, -1, 23, -1, 0, 0, 0, 0},
      {1, 255, 256, 256, 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.range << " " << c.space << " " << c.primaries << " " << c.trc);
    FrameHandle first = frame_of(64, 48);
    set_code(first->color_range, c.range);
    set_code(first->colorspace, c.space);
    set_code(first->color_primaries, c.primaries);
    set_code(first->color_trc, c.trc);
    auto encoder = H264GopEncoder::open(*first, 25, 1, 0, 2);
    ASSERT_TRUE(encoder.has_value()) << encoder.error();
    EXPECT_EQ(code_of(encoder->context().color_range), c.expected_range);
    EXPECT_EQ(code_of(encoder->context().colorspace), c.expected_space);
    EXPECT_EQ(code_of(encoder->context().color_primaries), c.expected_primaries);
    EXPECT_EQ(code_of(encoder->context().color_trc), c.expected_trc);
  }
}

TEST_F(H264GopEncoderTest, OpenChecksRunInTheirOrder) {
  constexpr std::uint32_t ABOVE_I32 = 2147483648u;
  struct Case {
    std::uint32_t num, den;
    std::size_t group;
    const char* message;
  };
  const Case cases[] = {
      {0, 1, 4, "H.264 frame rate must be positive"},
      {25, 0, 4, "H.264 frame rate must be positive"},
      {0, 0, 4, "H.264 frame rate must be positive"},
      // Both conversions come before the positivity test.
      {ABOVE_I32, 1, 4, "H.264 frame rate exceeds i32"},
      {0, ABOVE_I32, 4, "H.264 frame rate exceeds i32"},
      {25, UINT32_MAX, 4, "H.264 frame rate exceeds i32"},
      // The frame rate is checked before the group size.
      {0, 1, std::size_t{1} << 32, "H.264 frame rate must be positive"},
      {25, 1, std::size_t{1} << 32, "H.264 group exceeds u32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.num << "/" << c.den << " group " << c.group);
    auto encoder = open_with_rate(c.num, c.den, c.group);
    ASSERT_FALSE(encoder.has_value());
    EXPECT_EQ(encoder.error(), c.message);
  }
  auto largest = open_with_rate(2147483647, 2147483647, UINT32_MAX);
  ASSERT_TRUE(largest.has_value()) << largest.error();
  EXPECT_EQ(largest->context().gop_size, static_cast<int>(UINT32_MAX));
}

TEST_F(H264GopEncoderTest, OpenFailureNamesTheEncoder) {
  FrameHandle empty = frame_of(64, 48);
  empty->width = 0;
  empty->height = 0;
  const int level = av_log_get_level();
  av_log_set_level(AV_LOG_QUIET);  // the encoder reports why at error level
  auto encoder = H264GopEncoder::open(*empty, 25, 1, 0, 2);
  av_log_set_level(level);
  ASSERT_FALSE(encoder.has_value());
  const std::string prefix = std::string("failed to open FFmpeg ") +
                             avcodec_find_encoder(AV_CODEC_ID_H264)->name + " encoder: ";
  EXPECT_EQ(encoder.error().substr(0, prefix.size()), prefix) << encoder.error();
  EXPECT_GT(encoder.error().size(), prefix.size());
}

// libx264 reads below the picture: every frame it gets is a copy whose
// rows below repeat the last row, YUV420P or converted.
TEST_F(H264GopEncoderTest, FramesReachTheEncoderWithTheRowsBelowFilled) {
  for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12}) {
    FrameHandle source = frame_of(64, 48, format);
    OPEN_ENCODER(encoder, *source, 8);
    const AVFrame* address = source.get();
    auto copy = encoder.yuv420p(std::move(source));
    ASSERT_TRUE(copy.has_value()) << copy.error();
    EXPECT_NE(copy->get(), address);
    EXPECT_EQ(encoder.scaler().has_value(), format != AV_PIX_FMT_YUV420P);
    const AVFrame& frame = **copy;
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane == 0 ? 48 : 24;
      const int width = plane == 0 ? 64 : 32;
      const std::uint8_t* last = frame.data[plane] + (rows - 1) * frame.linesize[plane];
      for (int row = rows; row < rows + (plane == 0 ? 32 : 16); ++row) {
        EXPECT_EQ(std::memcmp(frame.data[plane] + row * frame.linesize[plane], last, width), 0)
            << "plane " << plane << " row " << row;
      }
    }
  }
}

// The converted frame's planes, against the source's.
void expect_converted(const AVFrame& source, const AVFrame& converted) {
  ASSERT_EQ(converted.format, AV_PIX_FMT_YUV420P);
  ASSERT_EQ(converted.width, source.width);
  ASSERT_EQ(converted.height, source.height);
  const auto planes = testing::packed_planes(converted);
  const auto format = static_cast<AVPixelFormat>(source.format);
  if (format == AV_PIX_FMT_YUVJ420P) {
    // Same layout: the samples keep their values, the range included.
    EXPECT_EQ(planes, testing::packed_planes(source));
    return;
  }
  if (format == AV_PIX_FMT_NV12) {
    const auto nv12 = testing::packed_planes(source);
    EXPECT_EQ(planes[0], nv12[0]);
    std::vector<std::uint8_t> u, v;
    for (std::size_t i = 0; i + 1 < nv12[1].size(); i += 2) {
      u.push_back(nv12[1][i]);
      v.push_back(nv12[1][i + 1]);
    }
    EXPECT_EQ(planes[1], u);
    EXPECT_EQ(planes[2], v);
    return;
  }
  // Other depths and subsamplings: the luma stays close.
  std::vector<std::uint8_t> luma;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const int shift = desc->comp[0].depth - 8;
  for (int r = 0; r < source.height; ++r) {
    for (int c = 0; c < source.width; ++c) {
      if (shift == 0) {
        luma.push_back(source.data[0][r * source.linesize[0] + c]);
      } else {
        std::uint16_t sample = 0;
        std::memcpy(&sample, source.data[0] + r * source.linesize[0] + 2 * c, 2);
        luma.push_back(static_cast<std::uint8_t>(sample >> shift));
      }
    }
  }
  EXPECT_GT(testing::psnr(planes[0], luma), 40.0);
}

TEST_F(H264GopEncoderTest, OtherFormatsAreConvertedWithOneBilinearScaler) {
  for (AVPixelFormat format : {AV_PIX_FMT_NV12, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV444P,
                               AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P}) {
    SCOPED_TRACE(av_get_pix_fmt_name(format));
    FrameHandle first = frame_of(64, 48, format);
    OPEN_ENCODER(encoder, *first, 8);
    for (int index = 0; index < 2; ++index) {
      FrameHandle frame = frame_of(64, 48, format, index);
      FrameHandle source(av_frame_clone(frame.get()));
      auto converted = encoder.yuv420p(std::move(frame));
      ASSERT_TRUE(converted.has_value()) << converted.error();
      expect_converted(*source, **converted);
      ASSERT_TRUE(encoder.scaler().has_value());
      const Yuv420pScaler& scaler = *encoder.scaler();
      EXPECT_EQ(scaler.source_format, format);
      EXPECT_EQ(scaler.source_width, 64u);
      EXPECT_EQ(scaler.source_height, 48u);
      EXPECT_EQ(scaler.destination_format, AV_PIX_FMT_YUV420P);
      EXPECT_EQ(scaler.destination_width, 64u);
      EXPECT_EQ(scaler.destination_height, 48u);
      std::int64_t flags = 0;
      ASSERT_GE(av_opt_get_int(scaler.context.get(), "sws_flags", 0, &flags), 0);
      EXPECT_EQ(flags, SWS_BILINEAR);
    }
  }
}

TEST_F(H264GopEncoderTest, TheConverterIsNeverRebuilt) {
  FrameHandle first = frame_of(64, 48, AV_PIX_FMT_NV12);
  OPEN_ENCODER(encoder, *first, 8);
  ASSERT_TRUE(encoder.yuv420p(frame_of(64, 48, AV_PIX_FMT_NV12)).has_value());
  const SwsContext* made = encoder.scaler()->context.get();
  std::vector<FrameHandle> others;
  others.push_back(frame_of(32, 16, AV_PIX_FMT_NV12));
  others.push_back(frame_of(64, 32, AV_PIX_FMT_NV12));
  others.push_back(frame_of(64, 48, AV_PIX_FMT_YUV444P));
  for (FrameHandle& other : others) {
    auto refused = encoder.yuv420p(std::move(other));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "failed to convert frame to YUV420: Input changed");
    EXPECT_EQ(encoder.scaler()->context.get(), made);
  }
}

TEST_F(H264GopEncoderTest, FrameWithoutFormatFailsToMakeAConverter) {
  FrameHandle first = frame_of(64, 48);
  OPEN_ENCODER(encoder, *first, 8);
  FrameHandle formatless = frame_of(64, 48);
  formatless->format = AV_PIX_FMT_NONE;
  auto refused = encoder.yuv420p(std::move(formatless));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(),
            "failed to create YUV420 converter: Invalid data found when processing input");
}

// A picture of another size than the encoder's would make the encoder read
// outside the frame's buffers: it is refused before it is sent, whether it
// needed converting or not.
TEST_F(H264GopEncoderTest, FrameOfAnotherSizeNeverReachesTheEncoder) {
  struct Case {
    int width, height;
    AVPixelFormat format;
  };
  for (const Case& c : {Case{128, 16, AV_PIX_FMT_YUV420P}, Case{32, 24, AV_PIX_FMT_YUV420P},
                        Case{64, 50, AV_PIX_FMT_YUV420P}, Case{128, 16, AV_PIX_FMT_NV12},
                        Case{66, 48, AV_PIX_FMT_YUVJ420P}}) {
    SCOPED_TRACE(::testing::Message()
                 << c.width << "x" << c.height << " " << av_get_pix_fmt_name(c.format));
    FrameHandle first = frame_of(64, 48);
    OPEN_ENCODER(encoder, *first, 8);
    std::vector<ByteBuffer> access_units;
    ASSERT_TRUE(encoder.encode(std::move(first), access_units).has_value());
    auto refused = encoder.encode(frame_of(c.width, c.height, c.format, 1), access_units);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "failed to send frame to H.264 encoder: Input changed");
  }
}

TEST_F(H264GopEncoderTest, GroupDecodesBackToItsPictures) {
  constexpr int FRAMES = 6;
  FrameHandle first = frame_of(64, 48, AV_PIX_FMT_YUV420P, 0);
  OPEN_ENCODER(encoder, *first, FRAMES);
  std::vector<ByteBuffer> access_units;
  for (int i = 0; i < FRAMES; ++i) {
    FrameHandle frame = frame_of(64, 48, AV_PIX_FMT_YUV420P, i);
    // Whatever the decoder left on a frame does not steer the encoder.
    frame->pts = 1000 - i;
    frame->pict_type = AV_PICTURE_TYPE_I;
    ASSERT_TRUE(encoder.encode(std::move(frame), access_units).has_value());
    EXPECT_EQ(encoder.next_pts(), i + 1);
  }
  ASSERT_TRUE(std::move(encoder).finish(access_units).has_value());
  ASSERT_EQ(access_units.size(), static_cast<std::size_t>(FRAMES));

  std::vector<std::vector<std::uint8_t>> packets;
  int later_idr = 0;
  for (std::size_t i = 0; i < access_units.size(); ++i) {
    const std::vector<int> types = nal_types(access_units[i]);
    ASSERT_GE(access_units[i].size(), 4u);
    const bool idr = std::find(types.begin(), types.end(), 5) != types.end();
    if (i == 0) {
      EXPECT_TRUE(idr);
      // Parameter sets travel in-band.
      EXPECT_NE(std::find(types.begin(), types.end(), 7), types.end());
      EXPECT_NE(std::find(types.begin(), types.end(), 8), types.end());
    } else {
      later_idr += idr ? 1 : 0;
    }
    packets.push_back(to_vector(access_units[i]));
  }
  // The I type the frames carried forced no key frames (the encoder's own
  // scene-cut detection may still place one).
  EXPECT_LT(later_idr, FRAMES - 1);
  auto decoded = testing::reference_decode(RuntimeCodec::H264, {}, packets);
  ASSERT_TRUE(decoded.has_value()) << decoded.error();
  ASSERT_EQ(decoded->size(), static_cast<std::size_t>(FRAMES));
  for (int i = 0; i < FRAMES; ++i) {
    const auto source = testing::packed_planes(*frame_of(64, 48, AV_PIX_FMT_YUV420P, i));
    for (int plane = 0; plane < 3; ++plane) {
      EXPECT_GT(testing::psnr((*decoded)[i].planes[plane], source[plane]), 30.0)
          << "frame " << i << " plane " << plane;
    }
  }
}

TEST_F(H264GopEncoderTest, BufferingEncoderHandsTheRestOverAtFinish) {
  setenv(THREAD_COUNT_VARIABLE, "3", 1);
  FrameHandle first = frame_of(64, 48);
  OPEN_ENCODER(encoder, *first, 5);
  std::vector<ByteBuffer> access_units;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(encoder.encode(frame_of(64, 48, AV_PIX_FMT_YUV420P, i), access_units).has_value());
  }
  // Frame threads hold frames back: encode appended what was ready only.
  EXPECT_LT(access_units.size(), 5u);
  ASSERT_TRUE(std::move(encoder).finish(access_units).has_value());
  EXPECT_EQ(access_units.size(), 5u);
}

TEST_F(H264GopEncoderTest, FinishWithoutFramesYieldsNothing) {
  FrameHandle first = frame_of(64, 48);
  OPEN_ENCODER(encoder, *first, 8);
  std::vector<ByteBuffer> access_units;
  ASSERT_TRUE(std::move(encoder).finish(access_units).has_value());
  EXPECT_TRUE(access_units.empty());
}

TEST_F(H264GopEncoderTest, AbandonedEncoderReleasesWhatItBuffered) {
  FrameHandle first = frame_of(64, 48, AV_PIX_FMT_NV12);
  OPEN_ENCODER(encoder, *first, 8);
  std::vector<ByteBuffer> access_units;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(encoder.encode(frame_of(64, 48, AV_PIX_FMT_NV12, i), access_units).has_value());
  }
  // Destroyed without finish: the leak checkers see that nothing stays.
}

TEST_F(H264GopEncoderTest, SoftwareFramesAreEncodedThemselves) {
  FrameHandle decoded = frame_of(64, 48);
  AVFrame* address = decoded.get();
  auto frame = in_system_memory(std::move(decoded));
  ASSERT_TRUE(frame.has_value()) << frame.error();
  EXPECT_EQ(frame->get(), address);
}

// A decoder's hardware output: downloaded, the hardware frame released at
// once, and the encoder takes size and colours from the copy.
TEST_F(H264GopEncoderTest, HardwareFrameIsDownloadedAndEncoded) {
  FrameHandle software = frame_of(64, 48, AV_PIX_FMT_YUV420P, 2);
  software->color_range = AVCOL_RANGE_MPEG;
  software->colorspace = AVCOL_SPC_BT709;
  software->color_primaries = AVCOL_PRI_BT709;
  software->color_trc = AVCOL_TRC_BT709;
  testing::VulkanFrame hardware = testing::upload_to_vulkan(*software, AV_PIX_FMT_NV12);
  VANTLE_REQUIRE_VULKAN_FRAME(hardware);
  // The frames context stays while a hardware frame refers to it.
  testing::BufferRefHandle frames_context(av_buffer_ref(hardware.frame->hw_frames_ctx));
  ASSERT_NE(frames_context, nullptr);
  ASSERT_EQ(av_buffer_get_ref_count(frames_context.get()), 2);

  auto frame = in_system_memory(std::move(hardware.frame));
  ASSERT_TRUE(frame.has_value()) << frame.error();
  EXPECT_EQ((*frame)->hw_frames_ctx, nullptr);
  EXPECT_EQ((*frame)->width, 64);
  EXPECT_EQ((*frame)->height, 48);
  EXPECT_EQ(av_buffer_get_ref_count(frames_context.get()), 1) << "the hardware frame is still held";

  auto encoder = H264GopEncoder::open(**frame, 25, 1, 0, 1);
  ASSERT_TRUE(encoder.has_value()) << encoder.error();
  EXPECT_EQ(encoder->context().width, 64);
  EXPECT_EQ(encoder->context().height, 48);
  EXPECT_EQ(encoder->context().color_range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(encoder->context().colorspace, AVCOL_SPC_BT709);
  EXPECT_EQ(encoder->context().color_primaries, AVCOL_PRI_BT709);
  EXPECT_EQ(encoder->context().color_trc, AVCOL_TRC_BT709);
  std::vector<ByteBuffer> access_units;
  ASSERT_TRUE(encoder->encode(std::move(*frame), access_units).has_value());
  ASSERT_TRUE(std::move(*encoder).finish(access_units).has_value());
  ASSERT_EQ(access_units.size(), 1u);

  auto decoded = testing::reference_decode(RuntimeCodec::H264, {}, {to_vector(access_units[0])});
  ASSERT_TRUE(decoded.has_value()) << decoded.error();
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_EQ(decoded->front().colour.space, AVCOL_SPC_BT709);
  const auto source = testing::packed_planes(*software);
  for (int plane = 0; plane < 3; ++plane) {
    EXPECT_GT(testing::psnr(decoded->front().planes[plane], source[plane]), 35.0)
        << "plane " << plane;
  }
}

// Packet bytes with the flags of an encoder packet.
struct CraftedPacket {
  std::vector<std::uint8_t> bytes;
  bool key = true;
  bool null_data = false;
};

TEST(AccessUnitCheck, EachPacketIsCheckedInOrder) {
  struct Case {
    CraftedPacket packet;
    bool first;
    const char* message;  // nullptr: accepted
  };
  const char* EMPTY = "H.264 encoder returned an empty access unit";
  const char* NOT_KEY = "H.264 group of pictures does not start with a keyframe";
  const char* NOT_ANNEX_B = "H.264 encoder did not emit Annex B access units";
  const Case cases[] = {
      {{{0, 0, 0, 1, 0x65}}, true, nullptr},
      {{{0, 0, 1, 0x65}}, true, nullptr},
      {{{0, 0, 1}}, true, nullptr},
      {{{0, 0, 0, 1}}, true, nullptr},
      {{{0, 0, 2, 0x65}}, true, NOT_ANNEX_B},
      {{{0, 0, 0, 2, 0x65}}, true, NOT_ANNEX_B},
      {{{0, 0, 0}}, true, NOT_ANNEX_B},
      {{{0, 0}}, true, NOT_ANNEX_B},
      {{{0x65, 0, 0, 1}}, true, NOT_ANNEX_B},
      // Size 0 with data present.
      {{{}}, true, NOT_ANNEX_B},
      {{{}, true, true}, true, EMPTY},
      {{{}, false, true}, true, EMPTY},
      // Only the group's first access unit must be a key frame.
      {{{0, 0, 0, 1, 0x41}, false}, true, NOT_KEY},
      {{{0, 0, 0, 1, 0x41}, false}, false, nullptr},
      {{{0, 0, 2}, false}, true, NOT_KEY},
      {{{0, 0, 2}, false}, false, NOT_ANNEX_B},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "size " << c.packet.bytes.size() << " key " << c.packet.key
                                      << " first " << c.first);
    PacketHandle packet(av_packet_alloc());
    ASSERT_NE(packet, nullptr);
    if (!c.packet.null_data) {
      ASSERT_EQ(av_new_packet(packet.get(), static_cast<int>(c.packet.bytes.size())), 0);
      if (!c.packet.bytes.empty()) {
        std::memcpy(packet->data, c.packet.bytes.data(), c.packet.bytes.size());
      }
      ASSERT_NE(packet->data, nullptr);
    }
    packet->flags = c.packet.key ? AV_PKT_FLAG_KEY : 0;
    const Status checked = check_access_unit(*packet, c.first);
    if (c.message == nullptr) {
      EXPECT_TRUE(checked.has_value()) << checked.error();
    } else {
      ASSERT_FALSE(checked.has_value());
      EXPECT_EQ(checked.error(), c.message);
    }
  }
}

}  // namespace
}  // namespace vantle
