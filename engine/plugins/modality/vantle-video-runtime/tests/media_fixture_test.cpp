// The test media fixture itself: the streams it encodes have the structure
// the other tests rely on.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/media.h"
#include "support/reference_decode.h"
#include "support/request_builder.h"
#include "support/vulkan_frames.h"

namespace vantle::testing {
namespace {

TEST(MediaFixture, BFramesGiveIPBBPacketOrder) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 7;
    spec.b_frames = 2;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    ASSERT_EQ(stream.packets.size(), 7u) << stream.encoder;
    const std::vector<std::int64_t> expected{0, 3, 1, 2, 6, 4, 5};
    EXPECT_EQ(stream.packet_pts, expected) << stream.encoder;
    EXPECT_TRUE(stream.key[0]);
    EXPECT_EQ(std::count(stream.key.begin(), stream.key.end(), true), 1);

    auto frames = reference_decode(stream);
    ASSERT_TRUE(frames.has_value()) << frames.error();
    ASSERT_EQ(frames->size(), 7u);
  }
}

TEST(MediaFixture, GlobalHeaderPutsParameterSetsInExtradata) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 2;
    spec.global_header = true;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    EXPECT_FALSE(stream.extradata.empty()) << stream.encoder;
    spec.global_header = false;
    const EncodedStream in_band = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(in_band);
    EXPECT_TRUE(in_band.extradata.empty()) << in_band.encoder;
    // x264 and x265 move the parameter sets out of the first access unit;
    // libaom keeps its sequence header in-band as well.
    if (codec != RuntimeCodec::Av1) {
      EXPECT_GT(in_band.packets[0].size(), stream.packets[0].size()) << stream.encoder;
    }
    auto frames = reference_decode(stream);
    ASSERT_TRUE(frames.has_value()) << frames.error();
    EXPECT_EQ(frames->size(), 2u);
  }
}

TEST(MediaFixture, ResolutionChangeDecodesAtTwoSizes) {
  StreamSpec spec;
  spec.frame_count = 8;
  spec.width = 64;
  spec.height = 48;
  spec.resolution_changes = {{6, 96, 64}};
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  auto frames = reference_decode(stream);
  ASSERT_TRUE(frames.has_value()) << frames.error();
  ASSERT_EQ(frames->size(), 8u);
  for (std::size_t i = 0; i < frames->size(); ++i) {
    EXPECT_EQ((*frames)[i].width, i < 6 ? 64 : 96) << i;
    EXPECT_EQ((*frames)[i].height, i < 6 ? 48 : 64) << i;
  }
}

TEST(MediaFixture, TenBitStreamDecodesAsTenBit) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 2;
    spec.pix_fmt = AV_PIX_FMT_YUV420P10LE;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    auto frames = reference_decode(stream);
    ASSERT_TRUE(frames.has_value()) << frames.error();
    ASSERT_EQ(frames->size(), 2u);
    EXPECT_EQ((*frames)[0].pix_fmt, AV_PIX_FMT_YUV420P10LE) << stream.encoder;
  }
}

TEST(MediaFixture, DecodedPicturesResembleTheSource) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 3;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    auto frames = reference_decode(stream);
    ASSERT_TRUE(frames.has_value()) << frames.error();
    ASSERT_EQ(frames->size(), 3u);
    for (int i = 0; i < 3; ++i) {
      FrameHandle source = stream.source_frame(i);
      ASSERT_NE(source, nullptr);
      const auto planes = packed_planes(*source);
      ASSERT_EQ(planes.size(), 3u);
      for (int p = 0; p < 3; ++p) {
        EXPECT_GT(psnr(planes[p], (*frames)[i].planes[p]), 30.0)
            << stream.encoder << " frame " << i << " plane " << p;
      }
    }
  }
}

// Index of the first byte where two planes differ, or -1 when equal.
std::ptrdiff_t first_difference(const std::vector<std::uint8_t>& a,
                                const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) {
    return 0;
  }
  const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin());
  return mismatch.first == a.end() ? -1 : mismatch.first - a.begin();
}

TEST(MediaFixture, VulkanRoundTripKeepsPixelsAndProperties) {
  struct Case {
    AVPixelFormat sw_format;
    int width, height;
  };
  // Odd sizes, and both layouts a decoder's surfaces come in.
  for (const Case& c : {Case{AV_PIX_FMT_YUV420P, 33, 17}, Case{AV_PIX_FMT_YUV420P, 64, 48},
                        Case{AV_PIX_FMT_NV12, 34, 18}, Case{AV_PIX_FMT_NV12, 33, 17}}) {
    SCOPED_TRACE(::testing::Message()
                 << av_get_pix_fmt_name(c.sw_format) << " " << c.width << "x" << c.height);
    FrameHandle source = make_source_frame(c.width, c.height, AV_PIX_FMT_YUV420P, 5);
    ASSERT_NE(source, nullptr);
    source->pts = 42;
    source->color_range = AVCOL_RANGE_JPEG;
    source->colorspace = AVCOL_SPC_BT709;
    source->color_primaries = AVCOL_PRI_BT709;
    source->color_trc = AVCOL_TRC_IEC61966_2_1;
    VulkanFrame hardware = upload_to_vulkan(*source, c.sw_format);
    VANTLE_REQUIRE_VULKAN_FRAME(hardware);
    // The hardware frame must not depend on the source staying alive.
    const auto want = packed_planes(*source);
    source.reset();

    const AVFrame& frame = *hardware.frame;
    EXPECT_EQ(frame.format, AV_PIX_FMT_VULKAN);
    ASSERT_NE(frame.hw_frames_ctx, nullptr);
    const auto& surface = *reinterpret_cast<const AVHWFramesContext*>(frame.hw_frames_ctx->data);
    EXPECT_EQ(surface.sw_format, c.sw_format);
    EXPECT_GE(surface.height, c.height);
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.height, c.height);
    EXPECT_EQ(frame.pts, 42);
    EXPECT_EQ(frame.color_range, AVCOL_RANGE_JPEG);
    EXPECT_EQ(frame.colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(frame.color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(frame.color_trc, AVCOL_TRC_IEC61966_2_1);

    auto downloaded = download_hardware_frame(frame);
    ASSERT_TRUE(downloaded.has_value()) << downloaded.error();
    const AVFrame& back = **downloaded;
    EXPECT_EQ(back.format, c.sw_format);
    EXPECT_EQ(back.width, c.width);
    EXPECT_EQ(back.height, c.height);
    // FFmpeg's download moves pixels only.
    EXPECT_EQ(back.color_range, AVCOL_RANGE_UNSPECIFIED);
    const auto got = packed_planes(back);
    if (c.sw_format == AV_PIX_FMT_YUV420P) {
      ASSERT_EQ(got.size(), 3u);
      for (std::size_t plane = 0; plane < 3; ++plane) {
        EXPECT_EQ(first_difference(got[plane], want[plane]), -1) << "plane " << plane;
      }
    } else {
      // nv12: the same luma, chroma interleaved U V.
      ASSERT_EQ(got.size(), 2u);
      EXPECT_EQ(first_difference(got[0], want[0]), -1) << "luma";
      std::vector<std::uint8_t> interleaved;
      for (std::size_t i = 0; i < want[1].size(); ++i) {
        interleaved.push_back(want[1][i]);
        interleaved.push_back(want[2][i]);
      }
      EXPECT_EQ(first_difference(got[1], interleaved), -1) << "chroma";
    }
  }
}

}  // namespace
}  // namespace vantle::testing
