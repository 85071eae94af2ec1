// vantle_video_runtime_transcode_h264 through the C interface, on streams
// made by FFmpeg's encoders: what comes out is decoded again with the
// library's own decode and compared with the source pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/ffmpeg.h"
#include "common/ffmpeg_setup.h"
#include "support/export_test.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using namespace testing;

struct TranscodeResult : ExportCall<runtime::AccessUnits> {
  // A copy of every access unit.
  std::vector<std::vector<std::uint8_t>> packets() const {
    std::vector<std::vector<std::uint8_t>> packets;
    for (const RuntimeBytes& unit : items()) {
      const auto bytes = bytes_of(unit);
      packets.emplace_back(bytes.begin(), bytes.end());
    }
    return packets;
  }
};

void transcode(const RuntimeTranscodeRequest& request, TranscodeResult& result) {
  result.status = vantle_video_runtime_transcode_h264(&request, &result.response);
}

using DecodeResult = ExportCall<runtime::DecodedFrames>;

// Every picture of the access units, as YUV420, by the library's own decode.
void decode_access_units(const TranscodeResult& transcoded, DecodeResult& decoded) {
  RequestBuilder builder(RuntimeCodec::H264, {}, transcoded.packets());
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
  decoded.status = vantle_video_runtime_decode(&request, &decoded.response);
}

// NAL unit types of an Annex B access unit, in order.
std::vector<int> nal_types(std::span<const std::uint8_t> unit) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
      types.push_back(unit[i + 3] & 0x1f);
      i += 2;
    }
  }
  return types;
}

bool has_annex_b_start(std::span<const std::uint8_t> unit) {
  static constexpr std::uint8_t SHORT_CODE[] = {0, 0, 1};
  static constexpr std::uint8_t LONG_CODE[] = {0, 0, 0, 1};
  return (unit.size() >= 3 && std::memcmp(unit.data(), SHORT_CODE, 3) == 0) ||
         (unit.size() >= 4 && std::memcmp(unit.data(), LONG_CODE, 4) == 0);
}

// Count, buffers, start codes and a leading IDR picture.
void expect_group_shape(const TranscodeResult& result, std::size_t count) {
  ASSERT_EQ(result.status, 0) << last_error();
  EXPECT_EQ(last_error(), "");
  ASSERT_NE(result.response.access_units, nullptr);
  ASSERT_EQ(result.response.access_unit_count, count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto unit = bytes_of(result.items()[i]);
    ASSERT_NE(unit.data(), nullptr) << "access unit " << i;
    ASSERT_GE(unit.size(), 3u) << "access unit " << i;
    EXPECT_TRUE(has_annex_b_start(unit)) << "access unit " << i;
  }
  const std::vector<int> first = nal_types(bytes_of(result.items()[0]));
  EXPECT_NE(std::find(first.begin(), first.end(), 5), first.end()) << "first is no IDR picture";
  auto reference = testing::reference_decode(RuntimeCodec::H264, {}, result.packets());
  ASSERT_TRUE(reference.has_value()) << reference.error();
  ASSERT_EQ(reference->size(), count);
  EXPECT_TRUE(reference->front().key);
}

// The source picture's luma at 8 bits: higher depths are scaled down.
std::vector<std::uint8_t> luma8(const AVFrame& frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int shift = desc->comp[0].depth - 8;
  std::vector<std::uint8_t> luma;
  luma.reserve(static_cast<std::size_t>(frame.width) * frame.height);
  for (int r = 0; r < frame.height; ++r) {
    const std::uint8_t* row = frame.data[0] + r * frame.linesize[0];
    for (int c = 0; c < frame.width; ++c) {
      if (shift == 0) {
        luma.push_back(row[c]);
      } else {
        std::uint16_t sample = 0;
        std::memcpy(&sample, row + 2 * c, 2);
        luma.push_back(
            static_cast<std::uint8_t>(std::min(255, (sample + (1 << (shift - 1))) >> shift)));
      }
    }
  }
  return luma;
}

bool is_8bit_420(AVPixelFormat format) {
  return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
}

// Decodes the group with the library and checks each picture against the
// source picture at its selected position, in display order.
void expect_pictures(const EncodedStream& stream, const TranscodeResult& result,
                     const std::vector<std::size_t>& positions) {
  DecodeResult decoded;
  decode_access_units(result, decoded);
  ASSERT_EQ(decoded.status, 0) << last_error();
  ASSERT_EQ(decoded.items().size(), positions.size());
  const auto [width, height] = stream.frame_sizes.at(positions.front());
  std::vector<std::vector<std::uint8_t>> source_luma;
  for (std::size_t position : positions) {
    source_luma.push_back(luma8(*stream.source_frame(static_cast<int>(position))));
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "picture " << i << " (position " << positions[i] << ")");
    const RuntimeFrame& frame = decoded.items()[i];
    ASSERT_EQ(frame.width, static_cast<std::uint32_t>(width));
    ASSERT_EQ(frame.height, static_cast<std::uint32_t>(height));
    const double own = testing::psnr(bytes_of(frame.y), source_luma[i]);
    EXPECT_GT(own, 35.0);
    // In display order: each picture is closer to its own source than to
    // any other selected one.
    for (std::size_t j = 0; j < positions.size(); ++j) {
      if (j != i) {
        EXPECT_GT(own, testing::psnr(bytes_of(frame.y), source_luma[j])) << "vs picture " << j;
      }
    }
    FrameHandle source = stream.source_frame(static_cast<int>(positions[i]));
    if (is_8bit_420(static_cast<AVPixelFormat>(source->format))) {
      const auto planes = testing::packed_planes(*source);
      EXPECT_GT(testing::psnr(bytes_of(frame.u), planes[1]), 35.0);
      EXPECT_GT(testing::psnr(bytes_of(frame.v), planes[2]), 35.0);
    }
  }
}

class TranscodeTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }

  static StreamSpec small(RuntimeCodec codec = RuntimeCodec::H264, int frames = 8) {
    StreamSpec spec;
    spec.codec = codec;
    spec.width = 64;
    spec.height = 48;
    spec.frame_count = frames;
    return spec;
  }
};

struct SourceCase {
  const char* name;
  StreamSpec spec;
  std::vector<std::size_t> positions;  // as the request gives them
};

// Shown by name in test output, not as raw bytes.
void PrintTo(const SourceCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<SourceCase> source_cases() {
  auto spec = [](RuntimeCodec codec, AVPixelFormat format) {
    StreamSpec s;
    s.codec = codec;
    s.width = 64;
    s.height = 48;
    s.frame_count = 8;
    s.pix_fmt = format;
    return s;
  };
  std::vector<SourceCase> cases;
  cases.push_back({"H264", spec(RuntimeCodec::H264, AV_PIX_FMT_YUV420P), {1, 3, 4, 7}});
  cases.push_back({"H265", spec(RuntimeCodec::H265, AV_PIX_FMT_YUV420P), {0, 2, 5}});
  cases.push_back({"AV1", spec(RuntimeCodec::Av1, AV_PIX_FMT_YUV420P), {6, 1, 3}});
  StreamSpec full = spec(RuntimeCodec::H264, AV_PIX_FMT_YUVJ420P);
  full.colour.range = AVCOL_RANGE_JPEG;
  cases.push_back({"H264FullRange", full, {0, 1, 2}});
  cases.push_back({"H265TenBit", spec(RuntimeCodec::H265, AV_PIX_FMT_YUV420P10LE), {2, 3, 6}});
  cases.push_back({"H264Yuv444", spec(RuntimeCodec::H264, AV_PIX_FMT_YUV444P), {0, 4, 5}});
  StreamSpec bt709 = spec(RuntimeCodec::H264, AV_PIX_FMT_YUV420P);
  bt709.colour = media::BT709_LIMITED;
  cases.push_back({"H264Bt709", bt709, {3, 2}});
  // Decode order differs from display order: positions count in display
  // order.
  StreamSpec reordered = spec(RuntimeCodec::H264, AV_PIX_FMT_YUV420P);
  reordered.frame_count = 12;
  reordered.b_frames = 2;
  cases.push_back({"H264BFrames", reordered, {1, 2, 3, 8, 10}});
  StreamSpec global = spec(RuntimeCodec::H264, AV_PIX_FMT_YUV420P);
  global.global_header = true;
  cases.push_back({"H264Extradata", global, {0, 7}});
  return cases;
}

class TranscodeSourceTest : public ::testing::TestWithParam<SourceCase> {};

void expect_round_trip(const SourceCase& c, const EncodedStream& stream) {
  RequestBuilder builder(stream);
  TranscodeResult result;
  transcode(builder.transcode_request(c.positions), result);
  const std::set<std::size_t> selected(c.positions.begin(), c.positions.end());
  const std::vector<std::size_t> ordered(selected.begin(), selected.end());
  expect_group_shape(result, ordered.size());
  expect_pictures(stream, result, ordered);

  // The group carries the colour description the source decodes with. A
  // fresh decoder reads it: a pooled one may still hold an earlier stream's
  // description where the parameter sets carry none.
  auto source = testing::reference_decode(stream);
  ASSERT_TRUE(source.has_value()) << source.error();
  auto group = testing::reference_decode(RuntimeCodec::H264, {}, result.packets());
  ASSERT_TRUE(group.has_value()) << group.error();
  const testing::ReferenceFrame& expected = source->at(ordered.front());
  const testing::ReferenceFrame& first = group->front();
  const auto is_full = [](const testing::ReferenceFrame& frame) {
    return frame.pix_fmt == AV_PIX_FMT_YUVJ420P || frame.pix_fmt == AV_PIX_FMT_YUVJ444P ||
           frame.colour.range == AVCOL_RANGE_JPEG;
  };
  // Limited and unspecified range read the same; an encoder need not tag
  // limited range explicitly.
  EXPECT_EQ(is_full(first), is_full(expected));
  EXPECT_EQ(first.colour.space, expected.colour.space);
  EXPECT_EQ(first.colour.primaries, expected.colour.primaries);
  EXPECT_EQ(first.colour.transfer, expected.colour.transfer);
}

TEST_P(TranscodeSourceTest, SelectedPicturesComeBackAsOneH264Group) {
  const SourceCase& c = GetParam();
  const EncodedStream stream = encode_stream(c.spec);
  VANTLE_REQUIRE_STREAM(stream);
  // On a thread of its own, so with decoders of its own: a pooled H.264
  // decoder keeps the colour description of the stream it decoded before
  // when the next stream's parameter sets carry none.
  std::thread([&] { expect_round_trip(c, stream); }).join();
}

INSTANTIATE_TEST_SUITE_P(Sources, TranscodeSourceTest, ::testing::ValuesIn(source_cases()),
                         [](const ::testing::TestParamInfo<SourceCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(TranscodeTest, DuplicatePositionsCollapse) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  TranscodeResult result;
  transcode(builder.transcode_request({5, 2, 2}), result);
  expect_group_shape(result, 2);
  expect_pictures(stream, result, {2, 5});
}

// Selected positions with no picture behind them are counted in the message.
TEST_F(TranscodeTest, MissingPositionsAreCounted) {
  struct Case {
    const char* name;
    int frames;
    std::vector<std::size_t> positions;
    std::uint32_t frame_rate_num;
    const char* message;
  };
  const Case cases[] = {
      // The frame rate is invalid, but no selected frame ever arrives to open
      // an encoder with it.
      {"all beyond the end: no encoder",
       8,
       {100, 8, 9},
       0,
       "H.264 encoder produced 0 access units for 3 selected frames"},
      {"one beyond the end",
       50,
       {0, 100},
       25,
       "H.264 encoder produced 1 access units for 2 selected frames"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodedStream stream = encode_stream(small(RuntimeCodec::H264, c.frames));
    VANTLE_REQUIRE_STREAM(stream);
    RequestBuilder builder(stream);
    TranscodeResult result;
    transcode(builder.transcode_request(c.positions, c.frame_rate_num, 1), result);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(result.response.access_units, nullptr);
  }
}

TEST_F(TranscodeTest, FrameRateIsCheckedOnTheFirstSelectedFrame) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  struct Case {
    std::uint32_t num, den;
    const char* message;
  };
  for (const Case& c : {Case{0, 1, "H.264 frame rate must be positive"},
                        Case{25, 0, "H.264 frame rate must be positive"},
                        Case{2147483648u, 1, "H.264 frame rate exceeds i32"},
                        Case{0, 2147483648u, "H.264 frame rate exceeds i32"}}) {
    SCOPED_TRACE(::testing::Message() << c.num << "/" << c.den);
    TranscodeResult result;
    result.response.access_units = reinterpret_cast<RuntimeBytes*>(0x10);
    result.response.access_unit_count = 77;
    transcode(builder.transcode_request({1, 2}, c.num, c.den), result);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(), c.message);
    // Untouched on failure.
    EXPECT_EQ(result.response.access_units, reinterpret_cast<RuntimeBytes*>(0x10));
    EXPECT_EQ(result.response.access_unit_count, 77u);
    *result.response.out() = {};
  }
}

TEST_F(TranscodeTest, FrameAndBitRatesReachTheGroup) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  struct Case {
    std::uint32_t num, den;
    std::uint64_t bit_rate;
  };
  for (const Case& c : {Case{30000, 1001, 0}, Case{2147483647, 2147483647, 0}, Case{25, 1, 100'000},
                        Case{1, 1, 5'000'000}}) {
    SCOPED_TRACE(::testing::Message() << c.num << "/" << c.den << " " << c.bit_rate);
    TranscodeResult result;
    transcode(builder.transcode_request({0, 1, 2}, c.num, c.den, c.bit_rate), result);
    expect_group_shape(result, 3);
  }
}

TEST_F(TranscodeTest, OutputLayoutFieldsHaveNoEffect) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  RuntimeTranscodeRequest yuv = builder.transcode_request({0, 3, 6});
  RuntimeTranscodeRequest rgb = builder.transcode_request({0, 3, 6});
  rgb.decode.pixel_format = RuntimePixelFormat::Rgb;
  rgb.decode.output_width = 640;
  rgb.decode.output_height = 360;
  std::memset(&rgb.decode.reserved, 0xab, sizeof rgb.decode.reserved);
  TranscodeResult first, second;
  transcode(yuv, first);
  transcode(rgb, second);
  expect_group_shape(first, 3);
  expect_group_shape(second, 3);
  EXPECT_EQ(first.packets(), second.packets());
}

TEST_F(TranscodeTest, RequestChecksComeInTheirOrder) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  // The pointers first: a null request or response, even with a valid
  // request beside it.
  {
    const RuntimeTranscodeRequest request = builder.transcode_request({0});
    RuntimeTranscodeResponse response{reinterpret_cast<RuntimeBytes*>(0x10), 3};
    EXPECT_EQ(vantle_video_runtime_transcode_h264(nullptr, &response), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
    EXPECT_EQ(response.access_units, reinterpret_cast<RuntimeBytes*>(0x10));
    EXPECT_EQ(response.access_unit_count, 3u);
    EXPECT_EQ(vantle_video_runtime_transcode_h264(&request, nullptr), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
    EXPECT_EQ(vantle_video_runtime_transcode_h264(nullptr, nullptr), -1);
    EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
  }
  const std::size_t positions[] = {0, 1};
  const std::uint8_t byte = 0;
  struct Case {
    const char* name;
    void (*edit)(RuntimeTranscodeRequest&, const std::size_t*, const std::uint8_t*);
    const char* message;
  };
  const Case cases[] = {
      {"null positions with a count",
       [](RuntimeTranscodeRequest& r, const std::size_t*, const std::uint8_t*) {
         r.decode.selected_positions = nullptr;
         r.decode.selected_position_count = 2;
         r.decode.packets = nullptr;
       },
       "FFmpeg runtime request has null selected positions with non-zero length"},
      {"no positions, invalid packets",
       [](RuntimeTranscodeRequest& r, const std::size_t*, const std::uint8_t*) {
         r.decode.selected_positions = nullptr;
         r.decode.selected_position_count = 0;
         r.decode.packets = nullptr;
       },
       "H.264 transcode requires selected display positions"},
      {"empty position array, invalid extradata",
       [](RuntimeTranscodeRequest& r, const std::size_t* p, const std::uint8_t*) {
         r.decode.selected_positions = p;
         r.decode.selected_position_count = 0;
         r.decode.extradata = nullptr;
         r.decode.extradata_len = 4;
       },
       "H.264 transcode requires selected display positions"},
      {"null packets with a count",
       [](RuntimeTranscodeRequest& r, const std::size_t*, const std::uint8_t*) {
         r.decode.packets = nullptr;
         r.decode.extradata = nullptr;
         r.decode.extradata_len = 4;
       },
       "FFmpeg runtime request has null packets with non-zero length"},
      {"null extradata with a length",
       [](RuntimeTranscodeRequest& r, const std::size_t*, const std::uint8_t*) {
         r.decode.extradata = nullptr;
         r.decode.extradata_len = 4;
       },
       "FFmpeg runtime request has null bytes with non-zero length"},
      {"frame rate after the views",
       [](RuntimeTranscodeRequest& r, const std::size_t*, const std::uint8_t* b) {
         r.decode.extradata = b;
         r.decode.extradata_len = 0;
         r.frame_rate_num = 0;
       },
       "H.264 frame rate must be positive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuntimeTranscodeRequest request = builder.transcode_request({0, 1});
    c.edit(request, positions, &byte);
    TranscodeResult result;
    transcode(request, result);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(), c.message);
  }
  // A packet with null data and a length.
  RuntimeTranscodeRequest request = builder.transcode_request({0, 1});
  std::vector<RuntimePacket> packets(request.decode.packets,
                                     request.decode.packets + request.decode.packet_count);
  packets[2] = RuntimePacket{nullptr, 10};
  request.decode.packets = packets.data();
  TranscodeResult result;
  transcode(request, result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "FFmpeg runtime request has null bytes with non-zero length");
}

// In a fresh process: the pointer check comes before FFmpeg is set up, and
// a call that passes it sets FFmpeg's log level.
TEST_F(TranscodeTest, NullPointersLeaveFfmpegUntouched) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        av_log_set_level(AV_LOG_DEBUG);
        RuntimeTranscodeResponse response{};
        const bool refused = vantle_video_runtime_transcode_h264(nullptr, &response) == -1;
        const bool untouched = av_log_get_level() == AV_LOG_DEBUG;
        RuntimeTranscodeRequest empty{};
        const bool failed = vantle_video_runtime_transcode_h264(&empty, &response) == -1;
        const bool set_up = av_log_get_level() == AV_LOG_WARNING;
        std::exit(refused && untouched && failed && set_up ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(TranscodeTest, SuccessClearsTheLastErrorAndReleaseResets) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  TranscodeResult failed;
  transcode(builder.transcode_request({}), failed);
  ASSERT_EQ(failed.status, -1);
  ASSERT_NE(last_error(), "");
  TranscodeResult result;
  transcode(builder.transcode_request({4}), result);
  expect_group_shape(result, 1);
  EXPECT_EQ(last_error(), "");
  vantle_video_runtime_free_transcode_response(&result.response);
  EXPECT_EQ(result.response.access_units, nullptr);
  EXPECT_EQ(result.response.access_unit_count, 0u);
  vantle_video_runtime_free_transcode_response(&result.response);
}

// The run is decoded to its end after the last selected frame: a packet the
// decoder refuses after it still fails the call.
TEST_F(TranscodeTest, DecodingDoesNotStopEarly) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  // An empty packet drains the decoder; the packet sent after it is refused.
  builder.packets().push_back({});
  builder.packets().push_back(stream.packets.front());
  TranscodeResult result;
  transcode(builder.transcode_request({0}), result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "failed to decode H.264 packet 9: End of file");
}

// Regression: a picture of another size than the first selected one reached
// the encoder, which then read outside the frame's buffers.
TEST_F(TranscodeTest, ResolutionChangeBetweenSelectedFramesIsRefused) {
  StreamSpec spec = small();
  spec.resolution_changes = {{4, 128, 16}};
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  {
    TranscodeResult result;
    transcode(builder.transcode_request({1, 5}), result);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error(), "failed to send frame to H.264 encoder: Input changed");
    EXPECT_EQ(result.response.access_units, nullptr);
  }
  // Selections inside one size transcode, at that size.
  for (const std::vector<std::size_t>& positions :
       {std::vector<std::size_t>{0, 3}, std::vector<std::size_t>{4, 6, 7}}) {
    TranscodeResult result;
    transcode(builder.transcode_request(positions), result);
    expect_group_shape(result, positions.size());
    expect_pictures(stream, result, positions);
  }
}

// Frames that need converting meet the converter first, made for the first
// selected frame's size.
TEST_F(TranscodeTest, ResolutionChangeInAConvertedStreamIsRefused) {
  StreamSpec spec = small(RuntimeCodec::H265);
  spec.pix_fmt = AV_PIX_FMT_YUV420P10LE;
  spec.resolution_changes = {{4, 128, 16}};
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  TranscodeResult result;
  transcode(builder.transcode_request({2, 4}), result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(last_error(), "failed to convert frame to YUV420: Input changed");
}

TEST_F(TranscodeTest, CodecThreadsFromTheEnvironment) {
  StreamSpec spec = small(RuntimeCodec::H264, 12);
  spec.b_frames = 2;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  for (const char* threads : {"2", "0"}) {
    SCOPED_TRACE(threads);
    setenv(THREAD_COUNT_VARIABLE, threads, 1);
    const std::vector<std::size_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    TranscodeResult result;
    transcode(builder.transcode_request(all), result);
    expect_group_shape(result, all.size());
    expect_pictures(stream, result, all);
  }
}

TEST_F(TranscodeTest, ThreadsTranscodeIndependently) {
  const EncodedStream stream = encode_stream(small());
  VANTLE_REQUIRE_STREAM(stream);
  std::vector<std::thread> threads;
  std::vector<int> outcome(4, -2);
  std::vector<std::size_t> counts(4, 0);
  for (std::size_t t = 0; t < outcome.size(); ++t) {
    threads.emplace_back([&, t] {
      RequestBuilder builder(stream);
      for (int round = 0; round < 3; ++round) {
        TranscodeResult result;
        transcode(builder.transcode_request({t, t + 1, t + 3}), result);
        outcome[t] = result.status;
        counts[t] = result.response.access_unit_count;
        if (result.status != 0) {
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (std::size_t t = 0; t < outcome.size(); ++t) {
    EXPECT_EQ(outcome[t], 0) << "thread " << t;
    EXPECT_EQ(counts[t], 3u) << "thread " << t;
  }
}

}  // namespace
}  // namespace vantle
