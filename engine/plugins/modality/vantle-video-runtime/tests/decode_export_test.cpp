// vantle_video_runtime_decode end to end: selection, both output layouts,
// colour correctness of RGB against the YUV planes of the same stream,
// bit-exactness with libavcodec, failures and the order of view messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "conversion/rgb_converter.h"
#include "decoding/selected_decoding.h"
#include "support/export_test.h"
#include "support/rgb_reference.h"
#include "support/vulkan_frames.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using namespace testing;

// A response that owns what the library put into it.
using Response = runtime::DecodedFrames;

// A response the library must not write: any change shows.
RuntimeDecodeResponse sentinel_response() {
  RuntimeDecodeResponse record;
  record.frames = reinterpret_cast<RuntimeFrame*>(static_cast<std::uintptr_t>(0xDEADBEEF));
  record.frame_count = 12345;
  return record;
}

void expect_untouched(const RuntimeDecodeResponse& record) {
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(record.frames), 0xDEADBEEFu);
  EXPECT_EQ(record.frame_count, 12345u);
}

int decode(const RuntimeDecodeRequest& request, Response& response) {
  return vantle_video_runtime_decode(&request, response.out());
}

StreamSpec moving(RuntimeCodec codec, int frames = 8, int b_frames = 0) {
  StreamSpec spec;
  spec.codec = codec;
  spec.width = 64;
  spec.height = 48;
  spec.frame_count = frames;
  spec.b_frames = b_frames;
  return spec;
}

// The YUV420 record holds exactly the reference picture's planes.
void expect_same_picture(const RuntimeFrame& frame, const ReferenceFrame& reference,
                         const std::string& where) {
  ASSERT_EQ(frame.format, RuntimePixelFormat::Yuv420) << where;
  EXPECT_EQ(frame.width, static_cast<std::uint32_t>(reference.width)) << where;
  EXPECT_EQ(frame.height, static_cast<std::uint32_t>(reference.height)) << where;
  EXPECT_EQ(frame.rgb.data, nullptr) << where;
  EXPECT_EQ(frame.rgb.len, 0u) << where;
  ASSERT_EQ(reference.planes.size(), 3u) << where;
  const RuntimeBytes* planes[] = {&frame.y, &frame.u, &frame.v};
  for (int p = 0; p < 3; ++p) {
    const auto bytes = bytes_of(*planes[p]);
    ASSERT_EQ(bytes.size(), reference.planes[p].size()) << where << " plane " << p;
    EXPECT_EQ(std::memcmp(bytes.data(), reference.planes[p].data(), bytes.size()), 0)
        << where << " plane " << p << " differs from libavcodec's decode";
  }
  const int range =
      reference.pix_fmt == AV_PIX_FMT_YUVJ420P ? AVCOL_RANGE_JPEG : reference.colour.range;
  EXPECT_EQ(frame.color_range, range) << where;
  EXPECT_EQ(frame.color_space, reference.colour.space) << where;
  EXPECT_EQ(frame.color_primaries, reference.colour.primaries) << where;
  EXPECT_EQ(frame.color_trc, reference.colour.transfer) << where;
}

void expect_rgb_record(const RuntimeFrame& frame, std::uint32_t width, std::uint32_t height) {
  ASSERT_EQ(frame.format, RuntimePixelFormat::Rgb);
  EXPECT_EQ(frame.width, width);
  EXPECT_EQ(frame.height, height);
  ASSERT_NE(frame.rgb.data, nullptr);
  EXPECT_EQ(frame.rgb.len, static_cast<std::size_t>(width) * height * 3);
  for (const RuntimeBytes* plane : {&frame.y, &frame.u, &frame.v}) {
    EXPECT_EQ(plane->data, nullptr);
    EXPECT_EQ(plane->len, 0u);
  }
  EXPECT_EQ(frame.color_range, 0);
  EXPECT_EQ(frame.color_space, 2);
  EXPECT_EQ(frame.color_primaries, 2);
  EXPECT_EQ(frame.color_trc, 2);
}

std::string codec_test_name(const ::testing::TestParamInfo<RuntimeCodec>& info) {
  switch (info.param) {
    case RuntimeCodec::H264:
      return "H264";
    case RuntimeCodec::H265:
      return "H265";
    default:
      return "Av1";
  }
}

// ---------------------------------------------------------------------------
// Bit-exact YUV420 and selection, per codec

class DecodeExport : public ::testing::TestWithParam<RuntimeCodec> {
 protected:
  // Reordered H.264/H.265 (packets I P B B ...), plain AV1.
  EncodedStream stream() const {
    const RuntimeCodec codec = GetParam();
    return encode_stream(moving(codec, 8, codec == RuntimeCodec::Av1 ? 0 : 2));
  }
};

TEST_P(DecodeExport, Yuv420PlanesAreBitExactWithLibavcodec) {
  const EncodedStream media = stream();
  VANTLE_REQUIRE_STREAM(media);
  auto reference = reference_decode(media);
  ASSERT_TRUE(reference.has_value()) << reference.error();
  ASSERT_EQ(reference->size(), 8u);

  RequestBuilder builder(media);
  Response all;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Yuv420), all), 0) << last_error();
  EXPECT_EQ(last_error(), "");
  ASSERT_EQ(all.frame_count, reference->size());
  for (std::size_t i = 0; i < all.frame_count; ++i) {
    expect_same_picture(all.frames[i], (*reference)[i], "frame " + std::to_string(i));
  }

  // Output sizes are ignored for YUV420.
  Response selected;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Yuv420, {7, 1, 4}, 17, 9), selected), 0)
      << last_error();
  ASSERT_EQ(selected.frame_count, 3u);
  expect_same_picture(selected.frames[0], (*reference)[1], "position 1");
  expect_same_picture(selected.frames[1], (*reference)[4], "position 4");
  expect_same_picture(selected.frames[2], (*reference)[7], "position 7");
}

TEST_P(DecodeExport, DuplicatePositionsCollapseAndOrderIsAscending) {
  const EncodedStream media = stream();
  VANTLE_REQUIRE_STREAM(media);
  auto reference = reference_decode(media);
  ASSERT_TRUE(reference.has_value()) << reference.error();

  RequestBuilder builder(media);
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    Response messy;
    Response tidy;
    ASSERT_EQ(decode(builder.request(format, {2, 0, 2}), messy), 0) << last_error();
    ASSERT_EQ(decode(builder.request(format, {0, 2}), tidy), 0) << last_error();
    ASSERT_EQ(messy.frame_count, 2u);
    ASSERT_EQ(tidy.frame_count, 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      for (auto member :
           {&RuntimeFrame::rgb, &RuntimeFrame::y, &RuntimeFrame::u, &RuntimeFrame::v}) {
        const auto a = bytes_of(messy.frames[i].*member);
        const auto b = bytes_of(tidy.frames[i].*member);
        EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << "frame " << i;
      }
    }
    if (format == RuntimePixelFormat::Yuv420) {
      expect_same_picture(messy.frames[0], (*reference)[0], "position 0");
      expect_same_picture(messy.frames[1], (*reference)[2], "position 2");
    } else {
      expect_rgb_record(messy.frames[0], 64, 48);
    }
  }
}

TEST_P(DecodeExport, RgbFramesHaveTheRequestedSize) {
  const EncodedStream media = stream();
  VANTLE_REQUIRE_STREAM(media);
  RequestBuilder builder(media);
  struct Case {
    std::uint32_t requested_width, requested_height, width, height;
  };
  for (const Case& c : {Case{0, 0, 64, 48}, Case{32, 0, 32, 48}, Case{0, 20, 64, 20},
                        Case{33, 17, 33, 17}, Case{128, 96, 128, 96}}) {
    Response response;
    ASSERT_EQ(
        decode(builder.request(RuntimePixelFormat::Rgb, {}, c.requested_width, c.requested_height),
               response),
        0)
        << last_error();
    ASSERT_EQ(response.frame_count, 8u);
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      expect_rgb_record(response.frames[i], c.width, c.height);
    }
  }
}

TEST_P(DecodeExport, PositionsBeyondTheEndSelectNothing) {
  const EncodedStream media = stream();
  VANTLE_REQUIRE_STREAM(media);
  RequestBuilder builder(media);
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    Response response;
    ASSERT_EQ(decode(builder.request(format, {8, 100, 18446744073709551615u}), response), 0)
        << last_error();
    EXPECT_NE(response.frames, nullptr);
    EXPECT_EQ(response.frame_count, 0u);
    vantle_video_runtime_free_response(response.out());
    EXPECT_EQ(response.frames, nullptr);
    EXPECT_EQ(response.frame_count, 0u);

    // Positions past the end next to one that exists.
    Response mixed;
    ASSERT_EQ(decode(builder.request(format, {50, 7}), mixed), 0) << last_error();
    EXPECT_EQ(mixed.frame_count, 1u);
  }
}

// A bad packet after the last selected position still fails the call: the
// whole run is decoded.
TEST_P(DecodeExport, FailureAfterTheLastSelectedPositionFailsTheCall) {
  const EncodedStream media = stream();
  VANTLE_REQUIRE_STREAM(media);
  RequestBuilder builder(media);
  // An empty packet drains the decoder; the packet after it is refused.
  const std::size_t count = builder.packets().size();
  builder.packets().push_back({});
  builder.packets().push_back(media.packets.back());
  const std::string codec_name = GetParam() == RuntimeCodec::H264   ? "H.264"
                                 : GetParam() == RuntimeCodec::H265 ? "H.265"
                                                                    : "AV1";
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    RuntimeDecodeResponse response = sentinel_response();
    const RuntimeDecodeRequest request = builder.request(format, {0});
    EXPECT_EQ(vantle_video_runtime_decode(&request, &response), -1);
    EXPECT_EQ(last_error(), "failed to decode " + codec_name + " packet " +
                                std::to_string(count + 1) + ": End of file");
    expect_untouched(response);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecodeExport,
                         ::testing::Values(RuntimeCodec::H264, RuntimeCodec::H265,
                                           RuntimeCodec::Av1),
                         codec_test_name);

// ---------------------------------------------------------------------------
// Colour: RGB output against the standard matrix applied to the YUV420
// output of the same request.

struct ColourStream {
  const char* name;
  RuntimeCodec codec;
  AVColorSpace space;
  AVColorRange range;
  AVColorPrimaries primaries;
  AVColorTransferCharacteristic trc;
  testing::YuvMatrix matrix;
  bool full_range;
};

void PrintTo(const ColourStream& c, std::ostream* os) {
  *os << c.name;
}

class DecodeExportColour : public ::testing::TestWithParam<ColourStream> {};

constexpr int COLOUR_TOLERANCE = 3;  // 8-bit levels, swscale's fixed point

TEST_P(DecodeExportColour, RgbMatchesTheMatrixAppliedToTheYuvPlanes) {
  const ColourStream& c = GetParam();
  StreamSpec spec;
  spec.codec = c.codec;
  spec.width = 32;
  spec.height = 32;
  spec.frame_count = 2;
  spec.content = testing::PictureContent::Flat;
  // Strongly coloured, so that the matrices and ranges are far apart.
  spec.flat_y = 81;
  spec.flat_u = 90;
  spec.flat_v = 240;
  spec.colour = {c.range, c.space, c.primaries, c.trc};
  const EncodedStream media = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(media);

  RequestBuilder builder(media);
  Response yuv;
  Response rgb;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Yuv420), yuv), 0) << last_error();
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Rgb), rgb), 0) << last_error();
  ASSERT_EQ(yuv.frame_count, 2u);
  ASSERT_EQ(rgb.frame_count, 2u);

  for (std::size_t f = 0; f < 2; ++f) {
    const RuntimeFrame& planes = yuv.frames[f];
    // The stream's own description reaches the YUV420 record.
    EXPECT_EQ(planes.color_space, c.space);
    EXPECT_EQ(planes.color_range, c.range == AVCOL_RANGE_JPEG ? AVCOL_RANGE_JPEG : c.range);
    EXPECT_EQ(planes.color_primaries, c.primaries);
    EXPECT_EQ(planes.color_trc, c.trc);
    expect_rgb_record(rgb.frames[f], planes.width, planes.height);

    const std::uint32_t w = planes.width, h = planes.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    const auto y = bytes_of(planes.y);
    const auto u = bytes_of(planes.u);
    const auto v = bytes_of(planes.v);
    const auto pixels = bytes_of(rgb.frames[f].rgb);
    std::size_t checked = 0;
    for (std::uint32_t row = 0; row < h; ++row) {
      for (std::uint32_t col = 0; col < w; ++col) {
        // Only where the chroma around the sample is flat, so that chroma
        // siting and interpolation cannot matter.
        const std::uint32_t cx = col / 2, cy = row / 2;
        bool flat = true;
        for (std::uint32_t ny = cy > 0 ? cy - 1 : 0; ny <= std::min(cy + 1, ch - 1); ++ny) {
          for (std::uint32_t nx = cx > 0 ? cx - 1 : 0; nx <= std::min(cx + 1, cw - 1); ++nx) {
            flat = flat && u[ny * cw + nx] == u[cy * cw + cx] && v[ny * cw + nx] == v[cy * cw + cx];
          }
        }
        if (!flat) {
          continue;
        }
        const auto expected = testing::reference_rgb(y[row * w + col], u[cy * cw + cx],
                                                     v[cy * cw + cx], c.matrix, c.full_range);
        const std::uint8_t* got = pixels.data() + (static_cast<std::size_t>(row) * w + col) * 3;
        ASSERT_LE(testing::rgb_distance(expected, got), COLOUR_TOLERANCE)
            << "frame " << f << " pixel (" << col << ", " << row << ") YUV ("
            << int{y[row * w + col]} << ", " << int{u[cy * cw + cx]} << ", " << int{v[cy * cw + cx]}
            << "): got " << testing::describe_rgb(got) << ", expected "
            << testing::describe_rgb(expected.data());
        ++checked;
      }
    }
    // Flat content: nearly every pixel is checked.
    EXPECT_GT(checked, static_cast<std::size_t>(w) * h / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DecodeExportColour,
    ::testing::Values(
        ColourStream{"H264Bt709Limited", RuntimeCodec::H264, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG,
                     AVCOL_PRI_BT709, AVCOL_TRC_BT709, testing::BT709_MATRIX, false},
        ColourStream{"H264Bt601Unspecified", RuntimeCodec::H264, AVCOL_SPC_UNSPECIFIED,
                     AVCOL_RANGE_UNSPECIFIED, AVCOL_PRI_UNSPECIFIED, AVCOL_TRC_UNSPECIFIED,
                     testing::BT601_MATRIX, false},
        ColourStream{"H264Smpte170m", RuntimeCodec::H264, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG,
                     AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M, testing::BT601_MATRIX, false},
        ColourStream{"H264Bt2020Ncl", RuntimeCodec::H264, AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG,
                     AVCOL_PRI_BT2020, AVCOL_TRC_BT2020_10, testing::BT2020_MATRIX, false},
        ColourStream{"H264Bt709Full", RuntimeCodec::H264, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG,
                     AVCOL_PRI_BT709, AVCOL_TRC_BT709, testing::BT709_MATRIX, true},
        ColourStream{"H265Bt709Limited", RuntimeCodec::H265, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG,
                     AVCOL_PRI_BT709, AVCOL_TRC_BT709, testing::BT709_MATRIX, false},
        ColourStream{"H265Bt2020NclFull", RuntimeCodec::H265, AVCOL_SPC_BT2020_NCL,
                     AVCOL_RANGE_JPEG, AVCOL_PRI_BT2020, AVCOL_TRC_BT2020_10,
                     testing::BT2020_MATRIX, true},
        ColourStream{"Av1Bt709Limited", RuntimeCodec::Av1, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG,
                     AVCOL_PRI_BT709, AVCOL_TRC_BT709, testing::BT709_MATRIX, false}),
    [](const auto& info) { return std::string(info.param.name); });

// One thread decodes a described stream, an undescribed one and the first
// again: each comes out with its own colour description, as a fresh decoder
// gives it, although the pooled decoder serves all three. RGB follows it.
class DecodeExportPooledColour : public ::testing::TestWithParam<RuntimeCodec> {};

TEST_P(DecodeExportPooledColour, EachStreamKeepsItsOwnColourDescription) {
  StreamSpec described = moving(GetParam(), 2);
  described.colour = media::BT709_LIMITED;
  const StreamSpec plain = moving(GetParam(), 2);
  const EncodedStream a = encode_stream(described);
  const EncodedStream b = encode_stream(plain);
  VANTLE_REQUIRE_STREAM(a);
  VANTLE_REQUIRE_STREAM(b);
  ASSERT_EQ(a.extradata, b.extradata);  // one pool key for both
  for (const EncodedStream* media : {&a, &b, &a, &a, &b}) {
    auto reference = reference_decode(*media);
    ASSERT_TRUE(reference.has_value()) << reference.error();
    RequestBuilder builder(*media);
    Response yuv;
    ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Yuv420), yuv), 0) << last_error();
    ASSERT_EQ(yuv.frame_count, reference->size());
    for (std::size_t i = 0; i < yuv.frame_count; ++i) {
      expect_same_picture(
          yuv.frames[i], (*reference)[i],
          (media == &a ? "described, frame " : "plain, frame ") + std::to_string(i));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecodeExportPooledColour,
                         ::testing::Values(RuntimeCodec::H264, RuntimeCodec::H265,
                                           RuntimeCodec::Av1),
                         codec_test_name);

// A stream that declares the RGB matrix decodes to YUV420 but is refused
// for RGB output, with nothing handed out.
TEST(DecodeExportColour, RgbMatrixStreamIsRefusedForRgbOutput) {
  StreamSpec spec = moving(RuntimeCodec::H264, 3);
  spec.colour.space = AVCOL_SPC_RGB;
  spec.colour.range = AVCOL_RANGE_JPEG;
  const EncodedStream media = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(media);
  RequestBuilder builder(media);
  Response yuv;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Yuv420), yuv), 0) << last_error();
  ASSERT_EQ(yuv.frame_count, 3u);
  ASSERT_EQ(yuv.frames[0].color_space, AVCOL_SPC_RGB);

  RuntimeDecodeResponse response = sentinel_response();
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Rgb, {2});
  EXPECT_EQ(vantle_video_runtime_decode(&request, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg RGB conversion does not support YUV color space RGB");
  expect_untouched(response);
  // Unselected frames are never converted, so never refused.
  Response nothing;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Rgb, {10}), nothing), 0) << last_error();
  EXPECT_EQ(nothing.frame_count, 0u);
}

// Two H.264 groups back to back, the second declaring the RGB matrix: the
// second selected frame fails the call after the first was converted, and
// nothing is handed out.
TEST(DecodeExportColour, ConversionErrorAtALaterSelectedFrameFailsTheCall) {
  StreamSpec good = moving(RuntimeCodec::H264, 2);
  good.colour.space = AVCOL_SPC_BT709;
  StreamSpec bad = moving(RuntimeCodec::H264, 2);
  bad.colour.space = AVCOL_SPC_RGB;
  const EncodedStream first = encode_stream(good);
  const EncodedStream second = encode_stream(bad);
  VANTLE_REQUIRE_STREAM(first);
  VANTLE_REQUIRE_STREAM(second);
  std::vector<std::vector<std::uint8_t>> packets = first.packets;
  packets.insert(packets.end(), second.packets.begin(), second.packets.end());
  RequestBuilder builder(RuntimeCodec::H264, {}, packets);

  Response first_only;
  ASSERT_EQ(decode(builder.request(RuntimePixelFormat::Rgb, {0, 1}), first_only), 0)
      << last_error();
  EXPECT_EQ(first_only.frame_count, 2u);

  RuntimeDecodeResponse response = sentinel_response();
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Rgb, {0, 3});
  EXPECT_EQ(vantle_video_runtime_decode(&request, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg RGB conversion does not support YUV color space RGB");
  expect_untouched(response);
}

// ---------------------------------------------------------------------------
// Requests without pictures and invalid requests

// Packets the decoder accepts but that hold no picture give no frame.
TEST(DecodeExportRequest, PacketsWithoutPicturesGiveNoFrames) {
  // An AV1 temporal delimiter on its own.
  const std::vector<std::uint8_t> delimiter = {0x12, 0x00};
  RequestBuilder builder(RuntimeCodec::Av1, {}, {delimiter, delimiter});
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    Response response;
    ASSERT_EQ(decode(builder.request(format), response), 0) << last_error();
    EXPECT_NE(response.frames, nullptr);
    EXPECT_EQ(response.frame_count, 0u);
  }
}

TEST(DecodeExportRequest, NoPacketsSucceedsWithNoFrames) {
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265}) {
      RuntimeDecodeRequest request{};
      request.codec = codec;
      request.pixel_format = format;
      Response response;
      ASSERT_EQ(decode(request, response), 0) << last_error();
      EXPECT_NE(response.frames, nullptr);
      EXPECT_EQ(response.frame_count, 0u);
      EXPECT_EQ(last_error(), "");
    }
  }
}

TEST(DecodeExportRequest, EmptySelectionReturnsEveryPicture) {
  const EncodedStream media = encode_stream(moving(RuntimeCodec::H264, 5));
  VANTLE_REQUIRE_STREAM(media);
  RequestBuilder builder(media);
  // A null array with count 0, and a non-null one with count 0.
  RuntimeDecodeRequest null_array = builder.request(RuntimePixelFormat::Yuv420);
  ASSERT_EQ(null_array.selected_positions, nullptr);
  const std::size_t unused = 3;
  RuntimeDecodeRequest empty_array = null_array;
  empty_array.selected_positions = &unused;
  empty_array.selected_position_count = 0;
  for (const RuntimeDecodeRequest& request : {null_array, empty_array}) {
    Response response;
    ASSERT_EQ(decode(request, response), 0) << last_error();
    EXPECT_EQ(response.frame_count, 5u);
  }
}

// The request and response pointers are checked first; then the views, in
// order (positions, packets, extradata), and the first invalid one is
// reported, whatever the later ones hold.
TEST(DecodeExportRequest, ViewMessagesComeInRequestOrder) {
  {
    RuntimeDecodeRequest request{};
    RuntimeDecodeResponse response = sentinel_response();
    EXPECT_EQ(vantle_video_runtime_decode(nullptr, &response), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
    expect_untouched(response);
    EXPECT_EQ(vantle_video_runtime_decode(&request, nullptr), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
    EXPECT_EQ(vantle_video_runtime_decode(nullptr, nullptr), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
  }
  const std::uint8_t byte = 0;
  const RuntimePacket valid_packets[] = {{&byte, 1}, {&byte, 1}, {nullptr, 10}};
  struct Case {
    const char* what;
    const std::size_t* positions;
    std::size_t position_count;
    const RuntimePacket* packets;
    std::size_t packet_count;
    const std::uint8_t* extradata;
    std::size_t extradata_len;
    const char* message;
  };
  const Case cases[] = {
      {"positions first", nullptr, 3, nullptr, 2, nullptr, 1,
       "FFmpeg runtime request has null selected positions with non-zero length"},
      {"then the packet array", nullptr, 0, nullptr, 2, nullptr, 1,
       "FFmpeg runtime request has null packets with non-zero length"},
      {"then a packet", nullptr, 0, valid_packets, 3, nullptr, 0,
       "FFmpeg runtime request has null bytes with non-zero length"},
      {"a packet before the extradata", nullptr, 0, valid_packets, 3, &byte, 0,
       "FFmpeg runtime request has null bytes with non-zero length"},
      {"then the extradata", nullptr, 0, valid_packets, 2, nullptr, 1,
       "FFmpeg runtime request has null bytes with non-zero length"},
  };
  for (RuntimePixelFormat format : {RuntimePixelFormat::Yuv420, RuntimePixelFormat::Rgb}) {
    for (const Case& c : cases) {
      RuntimeDecodeRequest request{};
      request.codec = RuntimeCodec::H264;
      request.pixel_format = format;
      request.selected_positions = c.positions;
      request.selected_position_count = c.position_count;
      request.packets = c.packets;
      request.packet_count = c.packet_count;
      request.extradata = c.extradata;
      request.extradata_len = c.extradata_len;
      RuntimeDecodeResponse response = sentinel_response();
      EXPECT_EQ(vantle_video_runtime_decode(&request, &response), -1) << c.what;
      EXPECT_EQ(last_error(), c.message) << c.what;
      expect_untouched(response);
    }
  }
}

// A failure after the error slot held a message clears it on success.
TEST(DecodeExportRequest, SuccessClearsThePreviousMessage) {
  RuntimeDecodeRequest request{};
  request.packet_count = 1;
  RuntimeDecodeResponse untouched = sentinel_response();
  ASSERT_EQ(vantle_video_runtime_decode(&request, &untouched), -1);
  ASSERT_FALSE(last_error().empty());
  request.packet_count = 0;
  Response response;
  ASSERT_EQ(decode(request, response), 0);
  EXPECT_EQ(last_error(), "");
}

// ---------------------------------------------------------------------------
// The routines under the export

TEST(SelectedDecoding, WholeRunIsDecodedAndOnlySelectedFramesConverted) {
  const EncodedStream media = encode_stream(moving(RuntimeCodec::H264, 6, 2));
  VANTLE_REQUIRE_STREAM(media);
  auto reference = reference_decode(media);
  ASSERT_TRUE(reference.has_value()) << reference.error();
  std::vector<ByteView> views;
  for (const auto& packet : media.packets) {
    views.emplace_back(packet.data(), packet.size());
  }
  const OutputRequest yuv420{
      .layout = OutputLayout::Yuv420, .width = 0, .height = 0, .orientation = {}};
  const OutputRequest rgb24{
      .layout = OutputLayout::Rgb24, .width = 8, .height = 8, .orientation = {}};
  auto yuv = decode_selected_packets_to_yuv420(yuv420, media.codec, media.extradata, views,
                                               {5, 0, 3});
  ASSERT_TRUE(yuv.has_value()) << yuv.error();
  ASSERT_EQ(yuv->size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t position = std::array<std::size_t, 3>{0, 3, 5}[i];
    EXPECT_EQ(std::memcmp((*yuv)[i].y.data(), (*reference)[position].planes[0].data(),
                          (*yuv)[i].y.size()),
              0)
        << "position " << position;
  }
  auto rgb = decode_selected_packets_to_rgb({}, media.codec, media.extradata, views, {});
  ASSERT_TRUE(rgb.has_value()) << rgb.error();
  EXPECT_EQ(rgb->size(), 6u);
  auto none = decode_selected_packets_to_rgb(rgb24, media.codec, media.extradata, {}, {1});
  ASSERT_TRUE(none.has_value()) << none.error();
  EXPECT_TRUE(none->empty());
}

// A hardware frame selected for YUV420 gives the planes of its download.
TEST(SelectedDecoding, HardwareFrameConvertsToYuv420ThroughItsCopy) {
  FrameHandle software = testing::make_source_frame(33, 17, AV_PIX_FMT_YUV420P, 3);
  software->color_range = AVCOL_RANGE_MPEG;
  software->colorspace = AVCOL_SPC_BT709;
  software->color_primaries = AVCOL_PRI_BT709;
  software->color_trc = AVCOL_TRC_BT709;
  const auto expected = testing::packed_planes(*software);

  testing::VulkanFrame hardware = testing::upload_to_vulkan(*software);
  VANTLE_REQUIRE_VULKAN_FRAME(hardware);
  FfmpegPictureConverter converter(
      OutputRequest{.layout = OutputLayout::Yuv420, .width = 0, .height = 0, .orientation = {}});
  auto yuv = converter.to_yuv420(FfmpegDecodedFrame{std::move(hardware.frame)});
  ASSERT_TRUE(yuv.has_value()) << yuv.error();
  EXPECT_EQ(yuv->width, 33u);
  EXPECT_EQ(yuv->height, 17u);
  const ByteBuffer* planes[] = {&yuv->y, &yuv->u, &yuv->v};
  for (int p = 0; p < 3; ++p) {
    ASSERT_EQ(planes[p]->size(), expected[p].size()) << "plane " << p;
    EXPECT_EQ(std::memcmp(planes[p]->data(), expected[p].data(), expected[p].size()), 0)
        << "plane " << p;
  }
  EXPECT_EQ(yuv->color_range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(yuv->color_space, AVCOL_SPC_BT709);
  EXPECT_EQ(yuv->color_primaries, AVCOL_PRI_BT709);
  EXPECT_EQ(yuv->color_trc, AVCOL_TRC_BT709);

  // A surface that downloads as NV12 is refused by the plane extraction.
  testing::VulkanFrame semi_planar = testing::upload_to_vulkan(*software, AV_PIX_FMT_NV12);
  VANTLE_REQUIRE_VULKAN_FRAME(semi_planar);
  auto refused = converter.to_yuv420(FfmpegDecodedFrame{std::move(semi_planar.frame)});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(),
            "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got NV12");
}

}  // namespace
}  // namespace vantle
