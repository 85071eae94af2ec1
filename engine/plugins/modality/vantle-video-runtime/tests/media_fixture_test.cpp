// The test media fixture itself: the streams it encodes have the structure
// the other tests rely on.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/media.h"
#include "support/reference_decode.h"
#include "support/request_builder.h"

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

}  // namespace
}  // namespace vantle::testing
