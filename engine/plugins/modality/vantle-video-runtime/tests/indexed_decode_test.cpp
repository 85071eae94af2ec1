// vantle_video_runtime_decode_indexed through the C interface, on streams
// made by FFmpeg's encoders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <span>

#include "abi/indexed_decode_request.h"
#include "common/ffmpeg_setup.h"
#include "decoding/decoder_counts.h"
#include "decoding/decoder_pool.h"
#include "decoding/packet_decoder.h"
#include "support/export_test.h"

namespace vantle {
namespace {

using namespace testing;

using IndexedResult = ExportCall<runtime::IndexedFrames>;

void decode_indexed(const RuntimeDecodeRequest& request, IndexedResult& result) {
  result.status = vantle_video_runtime_decode_indexed(&request, &result.response);
}

// The whole stream through the indexed decode, as YUV 4:2:0.
IndexedResult decode_indexed(const EncodedStream& stream) {
  RequestBuilder builder(stream);
  IndexedResult result;
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
  return result;
}

StreamSpec ipbb(RuntimeCodec codec) {
  StreamSpec spec;
  spec.codec = codec;
  spec.width = 64;
  spec.height = 48;
  spec.frame_count = 12;
  spec.gop_size = 12;
  spec.b_frames = 2;
  return spec;
}

testing::ReferenceDecodeOptions index_pts() {
  testing::ReferenceDecodeOptions options;
  options.packet_index_pts = true;
  return options;
}

// The planes of every returned picture equal what libavcodec decodes, and
// the packet index of each is the packet the encoder reported for it.
void expect_matches_reference(const EncodedStream& stream, const IndexedResult& result) {
  auto reference = testing::reference_decode(stream, index_pts());
  ASSERT_TRUE(reference.has_value()) << reference.error();
  ASSERT_EQ(result.items().size(), reference->size());
  for (std::size_t i = 0; i < reference->size(); ++i) {
    const RuntimeIndexedFrame& got = result.items()[i];
    const testing::ReferenceFrame& want = (*reference)[i];
    EXPECT_EQ(got.packet_index, static_cast<std::size_t>(want.pts)) << i;
    EXPECT_EQ(got.frame.format, RuntimePixelFormat::Yuv420);
    EXPECT_EQ(got.frame.width, static_cast<std::uint32_t>(want.width));
    EXPECT_EQ(got.frame.height, static_cast<std::uint32_t>(want.height));
    EXPECT_EQ(got.frame.rgb.data, nullptr);
    EXPECT_EQ(got.frame.rgb.len, 0u);
    ASSERT_EQ(want.planes.size(), 3u);
    EXPECT_TRUE(std::ranges::equal(bytes_of(got.frame.y), want.planes[0])) << "Y of " << i;
    EXPECT_TRUE(std::ranges::equal(bytes_of(got.frame.u), want.planes[1])) << "U of " << i;
    EXPECT_TRUE(std::ranges::equal(bytes_of(got.frame.v), want.planes[2])) << "V of " << i;
    EXPECT_EQ(got.frame.color_space, want.colour.space);
    EXPECT_EQ(got.frame.color_primaries, want.colour.primaries);
    EXPECT_EQ(got.frame.color_trc, want.colour.transfer);
  }
}

class IndexedDecodeByCodec : public ::testing::TestWithParam<RuntimeCodec> {};

TEST_P(IndexedDecodeByCodec, PacketIndexFollowsPresentationOrder) {
  const EncodedStream stream = encode_stream(ipbb(GetParam()));
  VANTLE_REQUIRE_STREAM(stream);
  const IndexedResult result = decode_indexed(stream);
  ASSERT_EQ(result.status, 0) << last_error();
  EXPECT_EQ(vantle_video_runtime_last_error().len, 0u);
  ASSERT_EQ(result.items().size(), 12u);

  // Display order from the encoder's own timestamps: the packet showing
  // picture k is the one whose pts is k.
  std::vector<std::size_t> expected(12);
  for (std::size_t packet = 0; packet < stream.packet_pts.size(); ++packet) {
    expected[static_cast<std::size_t>(stream.packet_pts[packet])] = packet;
  }
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(result.items()[i].packet_index, expected[i]) << "picture " << i;
  }
  // I P B B: the first four pictures come from packets 0, 2, 3, 1.
  EXPECT_EQ(result.items()[0].packet_index, 0u);
  EXPECT_EQ(result.items()[1].packet_index, 2u);
  EXPECT_EQ(result.items()[2].packet_index, 3u);
  EXPECT_EQ(result.items()[3].packet_index, 1u);
  expect_matches_reference(stream, result);
}

TEST_P(IndexedDecodeByCodec, ParameterSetsInExtradata) {
  StreamSpec spec = ipbb(GetParam());
  spec.global_header = true;
  // 4:2:0 H.264 and H.265 sizes are even; these are no multiple of 16, so
  // the decoder crops its coded pictures.
  spec.width = 72;
  spec.height = 42;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  ASSERT_FALSE(stream.extradata.empty());
  const IndexedResult result = decode_indexed(stream);
  ASSERT_EQ(result.status, 0) << last_error();
  ASSERT_FALSE(result.items().empty());
  EXPECT_EQ(result.items()[0].frame.y.len,
            static_cast<std::size_t>(stream.frame_sizes[0].first) * stream.frame_sizes[0].second);
  expect_matches_reference(stream, result);
}

INSTANTIATE_TEST_SUITE_P(Codecs, IndexedDecodeByCodec,
                         ::testing::Values(RuntimeCodec::H264, RuntimeCodec::H265),
                         [](const auto& info) {
                           return info.param == RuntimeCodec::H264 ? "H264" : "H265";
                         });

TEST(IndexedDecode, RejectsAv1AndRgbBeforeLookingAtViews) {
  RuntimeDecodeRequest request{};
  request.packet_count = 3;  // null packets with a count: would fail a view
  request.extradata_len = 9;
  request.codec = RuntimeCodec::Av1;
  request.pixel_format = RuntimePixelFormat::Yuv420;
  RuntimeIndexedResponse response{reinterpret_cast<RuntimeIndexedFrame*>(0x8), 1};
  EXPECT_EQ(vantle_video_runtime_decode_indexed(&request, &response), -1);
  EXPECT_EQ(last_error(), "Indexed decode requires H264 or H265 YUV420");
  request.codec = RuntimeCodec::H264;
  request.pixel_format = RuntimePixelFormat::Rgb;
  EXPECT_EQ(vantle_video_runtime_decode_indexed(&request, &response), -1);
  EXPECT_EQ(last_error(), "Indexed decode requires H264 or H265 YUV420");
  EXPECT_EQ(response.frame_count, 1u);  // untouched

  // Then the views, packets before extradata; the selection is ignored.
  request.pixel_format = RuntimePixelFormat::Yuv420;
  request.selected_position_count = 4;
  EXPECT_EQ(vantle_video_runtime_decode_indexed(&request, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg runtime request has null packets with non-zero length");
  request.packet_count = 0;
  EXPECT_EQ(vantle_video_runtime_decode_indexed(&request, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg runtime request has null bytes with non-zero length");
}

TEST(IndexedDecode, NoPacketsGiveANonNullEmptyArray) {
  RuntimeDecodeRequest request{};
  request.codec = RuntimeCodec::H265;
  request.pixel_format = RuntimePixelFormat::Yuv420;
  IndexedResult result;
  decode_indexed(request, result);
  ASSERT_EQ(result.status, 0) << last_error();
  EXPECT_NE(result.response.frames, nullptr);
  EXPECT_EQ(result.response.frame_count, 0u);
}

TEST(IndexedDecode, EmptyPacketMidRunEndsTheStream) {
  const EncodedStream stream = encode_stream(ipbb(RuntimeCodec::H264));
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  // An empty packet drains the decoder; the next send meets end of file.
  builder.packets()[4].clear();
  IndexedResult result;
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "failed to decode H.264 packet 5: End of file");
  EXPECT_EQ(result.response.frames, nullptr);

  // As the last packet, it is the final drain signal that fails.
  builder.packets().resize(5);
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "failed to flush H.264 decoder: End of file");
}

TEST(IndexedDecode, TruncatedAndCorruptRunsFailOrDecodeSafely) {
  const EncodedStream stream = encode_stream(ipbb(RuntimeCodec::H264));
  VANTLE_REQUIRE_STREAM(stream);
  {
    RequestBuilder truncated(stream, 0, 6);
    IndexedResult result;
    decode_indexed(truncated.request(RuntimePixelFormat::Yuv420), result);
    ASSERT_EQ(result.status, 0) << last_error();
    EXPECT_LE(result.items().size(), 6u);
    for (const auto& frame : result.items()) {
      EXPECT_LT(frame.packet_index, 6u);
    }
  }
  {
    // Half of every packet after the first zeroed, and one packet cut short.
    RequestBuilder corrupt(stream);
    for (std::size_t p = 1; p < corrupt.packets().size(); ++p) {
      auto& bytes = corrupt.packets()[p];
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), bytes.end(), 0);
    }
    corrupt.packets()[2].resize(3);
    IndexedResult result;
    decode_indexed(corrupt.request(RuntimePixelFormat::Yuv420), result);
    if (result.status == 0) {
      EXPECT_LE(result.items().size(), 12u);
      for (const auto& frame : result.items()) {
        EXPECT_LT(frame.packet_index, 12u);
        EXPECT_EQ(frame.frame.y.len, 64u * 48u);
      }
    } else {
      EXPECT_FALSE(last_error().empty());
    }
  }
  {
    // Not an H.264 stream at all: the decoder refuses the first packet.
    RequestBuilder garbage(RuntimeCodec::H264, {}, {{1, 2, 3, 4, 5, 6, 7, 8}, {0, 0, 1}});
    IndexedResult result;
    decode_indexed(garbage.request(RuntimePixelFormat::Yuv420), result);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(),
              "failed to decode H.264 packet 0: Invalid data found when processing input");
    EXPECT_EQ(result.response.frames, nullptr);
  }
}

TEST(IndexedDecode, RejectsTenBitAndFourTwoTwoByName) {
  struct Case {
    AVPixelFormat format;
    const char* name;
  };
  for (const Case& c :
       {Case{AV_PIX_FMT_YUV420P10LE, "YUV420P10LE"}, Case{AV_PIX_FMT_YUV422P, "YUV422P"}}) {
    StreamSpec spec = ipbb(RuntimeCodec::H265);
    spec.b_frames = 0;
    spec.frame_count = 2;
    spec.pix_fmt = c.format;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    const IndexedResult result = decode_indexed(stream);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(),
              std::string(
                  "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got ") +
                  c.name);
  }
}

TEST(IndexedDecode, FullRangeStreamsReportFullRange) {
  StreamSpec spec = ipbb(RuntimeCodec::H264);
  spec.pix_fmt = AV_PIX_FMT_YUVJ420P;
  spec.colour = media::BT709_LIMITED;
  spec.colour.range = AVCOL_RANGE_JPEG;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  const IndexedResult result = decode_indexed(stream);
  ASSERT_EQ(result.status, 0) << last_error();
  ASSERT_FALSE(result.items().empty());
  for (const auto& frame : result.items()) {
    EXPECT_EQ(frame.frame.color_range, AVCOL_RANGE_JPEG);
    EXPECT_EQ(frame.frame.color_space, AVCOL_SPC_BT709);
    EXPECT_EQ(frame.frame.color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(frame.frame.color_trc, AVCOL_TRC_BT709);
  }
}

TEST(IndexedDecode, ResolutionChangeMidRun) {
  StreamSpec spec = ipbb(RuntimeCodec::H264);
  spec.b_frames = 0;
  spec.resolution_changes = {{6, 96, 64}};
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  const IndexedResult result = decode_indexed(stream);
  ASSERT_EQ(result.status, 0) << last_error();
  ASSERT_EQ(result.items().size(), 12u);
  EXPECT_EQ(result.items()[5].frame.width, 64u);
  EXPECT_EQ(result.items()[6].frame.width, 96u);
  EXPECT_EQ(result.items()[6].frame.u.len, 48u * 32u);
  expect_matches_reference(stream, result);
}

class FrameThreads : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }
};

TEST_F(FrameThreads, TwoThreadsDecodeWhatOneDoes) {
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265}) {
    StreamSpec spec = ipbb(codec);
    spec.frame_count = 24;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    RequestBuilder builder(stream);
    IndexedResult single, threaded;
    decode_indexed(builder.request(RuntimePixelFormat::Yuv420), single);
    setenv(THREAD_COUNT_VARIABLE, "2", 1);
    decode_indexed(builder.request(RuntimePixelFormat::Yuv420), threaded);
    unsetenv(THREAD_COUNT_VARIABLE);
    ASSERT_EQ(single.status, 0);
    ASSERT_EQ(threaded.status, 0) << last_error();
    ASSERT_EQ(threaded.items().size(), single.items().size());
    for (std::size_t i = 0; i < single.items().size(); ++i) {
      EXPECT_EQ(threaded.items()[i].packet_index, single.items()[i].packet_index);
      EXPECT_TRUE(std::ranges::equal(bytes_of(threaded.items()[i].frame.y),
                                     bytes_of(single.items()[i].frame.y)));
      EXPECT_TRUE(std::ranges::equal(bytes_of(threaded.items()[i].frame.v),
                                     bytes_of(single.items()[i].frame.v)));
    }
  }
}

TEST(IndexedDecodePool, EqualDecodesOpenOneDecoderAndFailuresLeaveItUsable) {
  // Parameter sets in the extradata: a decoder that was sent in-band ones
  // is freed, not pooled.
  StreamSpec spec = ipbb(RuntimeCodec::H264);
  spec.global_header = true;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  vantle_video_runtime_release_kept_memory();  // no pooled decoder to start from
  const std::size_t opened = decoders_opened_on_thread();

  IndexedResult first;
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), first);
  ASSERT_EQ(first.status, 0) << last_error();
  EXPECT_EQ(decoders_opened_on_thread(), opened + 1);
  EXPECT_EQ(thread_decoder_pool().size(), 1u);

  // A run that fails part-way gives its decoder back too.
  RequestBuilder broken(stream);
  broken.packets()[3].clear();
  IndexedResult failed;
  decode_indexed(broken.request(RuntimePixelFormat::Yuv420), failed);
  ASSERT_EQ(failed.status, -1);
  EXPECT_EQ(thread_decoder_pool().size(), 1u);

  // Stopping after three pictures leaves the decoder mid-stream; the pool
  // flushes it and the next decode starts clean.
  {
    std::vector<ByteView> views;
    for (const auto& packet : stream.packets) {
      views.emplace_back(packet);
    }
    auto frames = decode_packets(RuntimeCodec::H264, stream.extradata, std::move(views));
    ASSERT_TRUE(frames.has_value());
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(frames->next().value().has_value());
    }
  }

  IndexedResult again;
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), again);
  ASSERT_EQ(again.status, 0) << last_error();
  EXPECT_EQ(decoders_opened_on_thread(), opened + 1);
  expect_matches_reference(stream, again);
}

// Pictures charged at their YUV 4:2:0 size, 1920x1080 counting 3110400 bytes.
class PixelBudget : public ::testing::Test {
 protected:
  static EncodedStream hd_stream(int frames, std::vector<testing::ResolutionChange> changes = {}) {
    StreamSpec spec;
    spec.width = 1920;
    spec.height = 1080;
    spec.frame_count = frames;
    spec.content = testing::PictureContent::Flat;
    spec.resolution_changes = std::move(changes);
    spec.options = {{"preset", "ultrafast"}};
    return encode_stream(spec);
  }
};

TEST_F(PixelBudget, EightySixHdPicturesFitTheEightySeventhFails) {
  const EncodedStream fits = hd_stream(86);
  VANTLE_REQUIRE_STREAM(fits);
  {
    RequestBuilder builder(fits);
    IndexedResult result;
    decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
    ASSERT_EQ(result.status, 0) << last_error();
    EXPECT_EQ(result.items().size(), 86u);
  }
  const EncodedStream over = hd_stream(87);
  VANTLE_REQUIRE_STREAM(over);
  RequestBuilder builder(over);
  IndexedResult result;
  decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "Decoded GOP exceeds 256 MiB pixel budget (270604800 YUV420 bytes)");
}

// H.264 and H.265 pictures have even sizes, so no real run sums to exactly
// 2^28 bytes (every even-sized picture counts a multiple of 6): the tally is
// checked on its own.
TEST(Yuv420PixelBudget, ExactLimitPassesOneByteMoreFails) {
  Yuv420PixelBudget budget;
  for (int i = 0; i < 86; ++i) {
    ASSERT_TRUE(budget.charge(1920, 1080).has_value());
  }
  EXPECT_EQ(budget.total(), 267494400u);
  // 512x1225 counts 627200 + 2 x 256 x 613 = 941056: exactly the limit.
  ASSERT_TRUE(budget.charge(512, 1225).has_value());
  EXPECT_EQ(budget.total(), 268435456u);
  ASSERT_TRUE(budget.charge(0, 0).has_value());
  EXPECT_EQ(budget.charge(1, 1).error(),
            "Decoded GOP exceeds 256 MiB pixel budget (268435459 YUV420 bytes)");
}

TEST(Yuv420PixelBudget, OddSizesRoundChromaUpAndTotalsSaturate) {
  Yuv420PixelBudget odd;
  ASSERT_TRUE(odd.charge(1921, 1081).has_value());
  EXPECT_EQ(odd.total(), 1921u * 1081u + 2u * 961u * 541u);

  Yuv420PixelBudget huge;
  EXPECT_FALSE(huge.charge(UINT32_MAX, UINT32_MAX).has_value());
  EXPECT_EQ(huge.charge(UINT32_MAX, UINT32_MAX).error(),
            "Decoded GOP exceeds 256 MiB pixel budget (18446744073709551615 YUV420 bytes)");
  EXPECT_EQ(huge.total(), UINT64_MAX);
}

class PooledColour : public ::testing::TestWithParam<RuntimeCodec> {};

// A pooled decoder keeps what it derived from the parameter sets: the same
// stream decoded again reports the same colour description.
TEST_P(PooledColour, RepeatedDecodesKeepTheColourDescription) {
  StreamSpec spec = ipbb(GetParam());
  spec.colour = media::BT709_LIMITED;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  for (int round = 0; round < 3; ++round) {
    IndexedResult result;
    decode_indexed(builder.request(RuntimePixelFormat::Yuv420), result);
    ASSERT_EQ(result.status, 0) << last_error();
    ASSERT_EQ(result.items().size(), 12u);
    for (const auto& frame : result.items()) {
      EXPECT_EQ(frame.frame.color_range, AVCOL_RANGE_MPEG) << "round " << round;
      EXPECT_EQ(frame.frame.color_space, AVCOL_SPC_BT709) << "round " << round;
      EXPECT_EQ(frame.frame.color_trc, AVCOL_TRC_BT709) << "round " << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, PooledColour,
                         ::testing::Values(RuntimeCodec::H264, RuntimeCodec::H265),
                         [](const auto& info) {
                           return info.param == RuntimeCodec::H264 ? "H264" : "H265";
                         });

}  // namespace
}  // namespace vantle
