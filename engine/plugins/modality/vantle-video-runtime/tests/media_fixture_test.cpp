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

TEST(MediaFixture, KeyFramesFollowTheGroupSize) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 9;
    spec.gop_size = 4;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    ASSERT_EQ(stream.packets.size(), 9u) << stream.encoder;
    for (std::size_t i = 0; i < 9; ++i) {
      EXPECT_EQ(stream.key[i], stream.packet_pts[i] % 4 == 0) << stream.encoder << " packet " << i;
    }
  }
}

TEST(MediaFixture, ColourDescriptionReachesTheDecoder) {
  struct Case {
    RuntimeCodec codec;
    AVPixelFormat pix_fmt;
    AVColorRange range;
    AVColorSpace space;
    AVColorPrimaries primaries;
    AVColorTransferCharacteristic trc;
  };
  for (const Case& c : {
           Case{RuntimeCodec::H264, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709,
                AVCOL_PRI_BT709, AVCOL_TRC_BT709},
           Case{RuntimeCodec::H264, AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT470BG,
                AVCOL_PRI_BT470BG, AVCOL_TRC_GAMMA28},
           Case{RuntimeCodec::H265, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT2020_NCL,
                AVCOL_PRI_BT2020, AVCOL_TRC_SMPTE2084},
           Case{RuntimeCodec::Av1, AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, AVCOL_SPC_SMPTE170M,
                AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M},
       }) {
    StreamSpec spec;
    spec.codec = c.codec;
    spec.frame_count = 1;
    spec.pix_fmt = c.pix_fmt;
    spec.colour = {c.range, c.space, c.primaries, c.trc};
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    auto frames = reference_decode(stream);
    ASSERT_TRUE(frames.has_value()) << frames.error();
    ASSERT_EQ(frames->size(), 1u);
    const ReferenceFrame& frame = frames->front();
    EXPECT_EQ(frame.colour.range, c.range) << stream.encoder;
    EXPECT_EQ(frame.colour.space, c.space) << stream.encoder;
    EXPECT_EQ(frame.colour.primaries, c.primaries) << stream.encoder;
    EXPECT_EQ(frame.colour.transfer, c.trc) << stream.encoder;
    // Full-range H.264 comes out of libavcodec as yuvj420p, AV1 as yuv420p.
    EXPECT_TRUE(frame.pix_fmt == AV_PIX_FMT_YUV420P || frame.pix_fmt == AV_PIX_FMT_YUVJ420P)
        << av_get_pix_fmt_name(frame.pix_fmt);
  }
}

TEST(MediaFixture, FlatPicturesDecodeFlat) {
  StreamSpec spec;
  spec.frame_count = 2;
  spec.content = PictureContent::Flat;
  spec.flat_y = 100;
  spec.flat_u = 90;
  spec.flat_v = 170;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  auto frames = reference_decode(stream);
  ASSERT_TRUE(frames.has_value()) << frames.error();
  ASSERT_EQ(frames->size(), 2u);
  const int values[] = {100, 90, 170};
  for (const ReferenceFrame& frame : *frames) {
    for (int plane = 0; plane < 3; ++plane) {
      for (std::uint8_t sample : frame.planes[static_cast<std::size_t>(plane)]) {
        ASSERT_NEAR(sample, values[plane], 1) << "plane " << plane;
      }
    }
  }
}

TEST(MediaFixture, OddSizedAv1KeepsItsSize) {
  StreamSpec spec;
  spec.codec = RuntimeCodec::Av1;
  spec.width = 33;
  spec.height = 17;
  spec.frame_count = 2;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  auto frames = reference_decode(stream);
  ASSERT_TRUE(frames.has_value()) << frames.error();
  ASSERT_EQ(frames->size(), 2u);
  const ReferenceFrame& frame = frames->front();
  EXPECT_EQ(frame.width, 33);
  EXPECT_EQ(frame.height, 17);
  ASSERT_EQ(frame.planes.size(), 3u);
  EXPECT_EQ(frame.planes[0].size(), 33u * 17u);
  EXPECT_EQ(frame.planes[1].size(), 17u * 9u);
  EXPECT_EQ(frame.planes[2].size(), 17u * 9u);
}

TEST(MediaFixture, PacketIndexPtsNameTheProducingPacket) {
  StreamSpec spec;
  spec.frame_count = 7;
  spec.b_frames = 2;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  ReferenceDecodeOptions options;
  options.packet_index_pts = true;
  auto frames = reference_decode(stream, options);
  ASSERT_TRUE(frames.has_value()) << frames.error();
  // Packets hold display pictures 0 3 1 2 6 4 5.
  std::vector<std::int64_t> pts;
  for (const ReferenceFrame& frame : *frames) {
    pts.push_back(frame.pts);
  }
  EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 2, 3, 1, 5, 6, 4}));
  // A group decoded alone keeps all of its pictures.
  auto group = reference_decode(stream, 0, 4);
  ASSERT_TRUE(group.has_value()) << group.error();
  EXPECT_EQ(group->size(), 4u);
}

TEST(MediaFixture, CachedStreamAndRegeneratedSourcesMatch) {
  StreamSpec spec;
  spec.frame_count = 3;
  const EncodedStream first = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(first);
  const EncodedStream second = encode_stream(spec);
  EXPECT_EQ(first.packets, second.packets);
  StreamSpec other = spec;
  other.flat_v = 1;
  EXPECT_NE(other.key(), spec.key());
  other = spec;
  other.options = {{"crf", "40"}};
  EXPECT_NE(other.key(), spec.key());
  // Regenerated source pictures are the encoded ones.
  FrameHandle source = first.source_frame(2);
  FrameHandle again = make_source_frame(spec.width, spec.height, spec.pix_fmt, 2);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(packed_planes(*source), packed_planes(*again));
  EXPECT_EQ(first.source_frame(3), nullptr);
}

TEST(MediaFixture, MissingEncoderIsReportedNotThrown) {
  StreamSpec spec;
  spec.encoder = "no-such-encoder";
  const EncodedStream stream = encode_stream(spec);
  EXPECT_TRUE(stream.encoder_missing);
  EXPECT_FALSE(stream.ok());
  EXPECT_TRUE(stream.packets.empty());
  // x264 cannot take an odd 4:2:0 width: a failure, not a missing encoder.
  spec.encoder.clear();
  spec.width = 33;
  const EncodedStream odd = encode_stream(spec);
  EXPECT_FALSE(odd.ok());
  EXPECT_FALSE(odd.encoder_missing);
}

TEST(MediaFixture, RequestBuilderRecordsOutliveLaterEdits) {
  StreamSpec spec;
  spec.frame_count = 3;
  spec.global_header = true;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  const RuntimeDecodeRequest all = builder.request(RuntimePixelFormat::Rgb, {}, 32, 24);
  EXPECT_EQ(all.codec, RuntimeCodec::H264);
  EXPECT_EQ(all.pixel_format, RuntimePixelFormat::Rgb);
  EXPECT_EQ(all.output_width, 32u);
  EXPECT_EQ(all.output_height, 24u);
  EXPECT_EQ(all.selected_positions, nullptr);
  EXPECT_EQ(all.selected_position_count, 0u);
  ASSERT_EQ(all.packet_count, 3u);
  ASSERT_EQ(all.extradata_len, stream.extradata.size());
  EXPECT_TRUE(std::equal(stream.extradata.begin(), stream.extradata.end(), all.extradata));

  builder.packets().pop_back();
  builder.extradata().clear();
  const RuntimeTranscodeRequest transcode = builder.transcode_request({2, 0}, 30000, 1001, 5000);
  EXPECT_EQ(transcode.decode.packet_count, 2u);
  EXPECT_EQ(transcode.decode.extradata, nullptr);
  ASSERT_EQ(transcode.decode.selected_position_count, 2u);
  EXPECT_EQ(transcode.decode.selected_positions[0], 2u);
  EXPECT_EQ(transcode.frame_rate_num, 30000u);
  EXPECT_EQ(transcode.frame_rate_den, 1001u);
  EXPECT_EQ(transcode.bit_rate, 5000u);
  // The first record still points at its own, unchanged bytes.
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(all.packets[i].len, stream.packets[i].size());
    EXPECT_TRUE(
        std::equal(stream.packets[i].begin(), stream.packets[i].end(), all.packets[i].data));
  }
  RequestBuilder group(stream, 1, 10);
  EXPECT_EQ(group.request(RuntimePixelFormat::Yuv420).packet_count, 2u);
}

TEST(MediaFixture, QuietLogPutsTheLevelBack) {
  const int before = av_log_get_level();
  av_log_set_level(AV_LOG_INFO);
  {
    const QuietFfmpegLog outer;
    EXPECT_EQ(av_log_get_level(), AV_LOG_ERROR);
    { const QuietFfmpegLog inner; }
    EXPECT_EQ(av_log_get_level(), AV_LOG_ERROR);
  }
  EXPECT_EQ(av_log_get_level(), AV_LOG_INFO);
  {
    // A level set meanwhile (the library's set-up) is kept.
    const QuietFfmpegLog quiet;
    av_log_set_level(AV_LOG_WARNING);
  }
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
  av_log_set_level(before);
}

TEST(MediaFixture, UndownloadableVulkanFrameFailsItsDownload) {
  FrameHandle source = make_source_frame(16, 16, AV_PIX_FMT_YUV420P, 0);
  VulkanFrame hardware = make_undownloadable_vulkan_frame(*source);
  VANTLE_REQUIRE_VULKAN_FRAME(hardware);
  auto downloaded = download_hardware_frame(*hardware.frame);
  ASSERT_FALSE(downloaded.has_value());
  EXPECT_EQ(downloaded.error(), "av_hwframe_transfer_data(download): Invalid argument");
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
