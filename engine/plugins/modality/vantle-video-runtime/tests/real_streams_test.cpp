// Public streams nobody on the team made (tests/data/streams, see its
// MANIFEST.md): JVT conformance, FFmpeg FATE samples, x265 fixtures and
// libaom vectors with published checksums, fuzzer-made AV1 files. Every
// stream goes through the C interface: all pictures as YUV420 against the
// published (else FFmpeg's) MD5, the indexed decode against libavcodec's own
// timestamps, RGB, transcode, the expected refusals, and damaged files that
// must fail cleanly. A second table run checks that a result depends only on
// the request and the thread count, never on what the thread decoded before.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/sha.h>
}

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "common/ffmpeg_setup.h"
#include "common/host_guard.h"
#include "decoding/decoder_counts.h"
#include "decoding/decoder_creation.h"
#include "decoding/decoder_reuse.h"
#include "decoding/h264_reorder_depth.h"
#include "decoding/packet_decoder.h"
#include "decoding/parameter_sets.h"
#include "support/last_error.h"
#include "support/media.h"
#include "support/reference_decode.h"
#include "support/request_builder.h"
#include "support/stream_file.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using testing::bytes_of;
using testing::last_error;
using testing::read_file_bytes;
using testing::read_stream_file;
using testing::RequestBuilder;
using testing::StreamFile;

enum class Kind {
  // Every picture decodes; YUV420 is checked against the MD5.
  Valid,
  // 10-bit: YUV420 output and the indexed decode refuse it by name, RGB and
  // transcode convert it.
  TenBit,
  // Corrupt (fuzzer-made): -1 with a message, or 0 with well-formed pictures.
  Damaged,
};

constexpr const char* TEN_BIT_REFUSAL =
    "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got YUV420P10LE";
// x264 encodes one size per group; a stream whose last picture has another
// size than its first cannot become one group.
constexpr const char* SIZE_CHANGE_REFUSAL = "failed to send frame to H.264 encoder: Input changed";

struct CorpusStream {
  const char* file;
  Kind kind;
  // Pictures out of the whole stream (the manifest's frame count).
  std::size_t pictures;
  // MD5 of all pictures' Y, U, V planes, output order (Valid only): the
  // published checksum where the source has one, else FFmpeg's.
  const char* md5;
  // Transcoding the first and the last picture: null for success, else the
  // exact message.
  const char* transcode_refusal = nullptr;
};

// What each file exercises is in the manifest; rows with a comment show a
// behaviour it calls out.
const CorpusStream CORPUS[] = {
    // Two IDRs, both POC 0, then B-frames: the second IDR comes out last, as
    // FFmpeg orders it. No VUI bitstream_restriction: with the reorder depth
    // guessed from 0 a fresh decoder gave 2 of the 9 pictures.
    {"h264/Cisco_Men_whisper_640x320_CAVLC_Bframe_9.264", Kind::Valid, 9,
     "dbd87880bdd470abf00953b5e9955b6c"},
    // B-pyramid without bitstream_restriction: 23 of 25 before the depth
    // came from the level.
    {"h264/h264_4bf_pyramid_nobsrestriction.mp4", Kind::Valid, 25,
     "af0e209cbfb67fe33fb3a167e78c1a80"},
    {"h264/h264_3bf_nopyramid_nobsrestriction.mp4", Kind::Valid, 25,
     "c35791d4d2e789cd2550f2d7c73de534"},
    {"h264/interlaced_crop.mp4", Kind::Valid, 126, "ced9be70238eb73d0464dc21a5d65456"},
    // MPEG-TS named .mp4; 82 pixels wide.
    {"h264/h264small.mp4", Kind::Valid, 74, "64da85938171dc8a15f469654f93ea8a"},
    // Cut off at 102400 bytes: the demuxer ends with the last whole packet,
    // and the library decodes every picture it was given.
    {"h264/1242-small.mkv", Kind::Valid, 12, "2dc2cbf883b7cb3975ccbe4ff85c5796"},
    // FLV named .mp4 with damaged headers; 192x144, then 320x240 from an
    // IDR on. Each picture comes out at its own size (the MD5 covers them),
    // and a group of pictures cannot hold both sizes.
    {"h264/brokensps.mp4", Kind::Valid, 79, "d5d2e1f7176e82385ee8e0f3e1f7f33a",
     SIZE_CHANGE_REFUSAL},
    // The first IDR is missing: the 27 P-frames before the first intra
    // picture reference pictures that do not exist. They are not output,
    // as FFmpeg does, rather than output as concealment guesses; the 70
    // decodable pictures all come out, the first from packet 27.
    {"h264/BA_MW_D_IDR_LOST.264", Kind::Valid, 70, "80199fcf45f6d7f833efa0a6100d74b8"},
    // Also openh264's published SHA1, checked below.
    {"h264/MPS_MW_A.264", Kind::Valid, 150, "88bb5a513bd7f3cc8190c7c03688ab22"},
    {"h264/FRExt2_Panasonic.avc", Kind::Valid, 15, "f4f02595e54be89fd9d33cb7907f5cb1"},
    {"hevc/p_qcif_10f.265", Kind::Valid, 10, "921650ab84b8e366a1aa4e16f2527e46"},
    {"hevc/i_64x64_qp22.265", Kind::Valid, 1, "48c64cd2de381113913149e92065d66c"},
    {"hevc/i_64x64_deblock.265", Kind::Valid, 1, "576ef497ceedffa01709ddfaa13c76c3"},
    {"hevc/i_64x64_sao.265", Kind::Valid, 1, "eacb4952591daa891e8dc5344c6c34ee"},
    {"hevc/i_64x64_full.265", Kind::Valid, 1, "dcb7ae02b4514b6e7fd801ae691d901a"},
    {"hevc/i_64x64_10bit.265", Kind::TenBit, 1, nullptr},
    // The manifest's MD5 is of 10-bit pictures that FFmpeg's tool rotated
    // by the container's display matrix; the library has neither.
    {"hevc/hdr10tags-both.mkv", Kind::TenBit, 10, nullptr},
    {"av1/av1-1-b8-01-size-16x18.ivf", Kind::Valid, 2, "28bbb9b7cde14301a99c5c40c2512df2"},
    {"av1/av1-1-b8-01-size-66x66.ivf", Kind::Valid, 2, "616dd3789d5a82a822ceba96ec972143"},
    {"av1/av1-1-b8-01-size-196x196.ivf", Kind::Valid, 2, "e88e97f333e4c9fa38e18c0b9a63a90d"},
    {"av1/av1-1-b8-01-size-226x226.ivf", Kind::Valid, 2, "8717076838a34fced3d230c0827e1319"},
    // 1280x720, then 352x288 from a new key frame: each picture at its own
    // size, as in dav1d's published MD5.
    {"av1/av1-1-b8-03-sizedown.ivf", Kind::Valid, 20, "075252f55c207f437c412e0f45eb7b84",
     SIZE_CHANGE_REFUSAL},
    // IVF named .mp4; a switch frame makes the last two pictures 426x240
    // (426 = 26 * 16 + 10: swscale's RGB24 loop stores past a packed row, and
    // used to corrupt the heap here).
    {"av1/switch_frame.mp4", Kind::Valid, 32, "2caef06aa243e1dbaf4bddd15e01480f",
     SIZE_CHANGE_REFUSAL},
    {"av1/clusterfuzz-testcase-minimized-dav1d_fuzzer_mt-5743306491822080.ivf", Kind::Damaged, 0,
     nullptr},
    {"av1/clusterfuzz-testcase-minimized-dav1d_fuzzer-5765823210192896.ivf", Kind::Damaged, 0,
     nullptr},
    // No container FFmpeg recognises: the whole file goes in as one packet.
    {"av1/clusterfuzz-testcase-minimized-dav1d_fuzzer-5642709818146816.obu", Kind::Damaged, 0,
     nullptr},
};

std::filesystem::path corpus_path(const char* file) {
  return std::filesystem::path(VANTLE_TEST_STREAMS_DIR) / file;
}

// The stream as a host holding raw access units would pass it: extradata
// only where the packets do not carry their parameter sets, so streams of
// one codec share a pooled decoder.
StreamFile load(const CorpusStream& stream) {
  auto demuxed = read_stream_file(corpus_path(stream.file));
  if (!demuxed) {
    StreamFile raw;
    raw.codec =
        std::string(stream.file).starts_with("av1/") ? RuntimeCodec::Av1 : RuntimeCodec::H264;
    raw.packets.push_back(read_file_bytes(corpus_path(stream.file)));
    return raw;
  }
  if (demuxed->parameter_sets_in_band) {
    demuxed->extradata.clear();
  }
  return std::move(*demuxed);
}

class Digest {
 public:
  Digest() : md5_(av_md5_alloc()) { av_md5_init(md5_); }
  ~Digest() { av_free(md5_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void add(std::span<const std::uint8_t> bytes) { av_md5_update(md5_, bytes.data(), bytes.size()); }
  std::string hex() {
    std::uint8_t sum[16];
    av_md5_final(md5_, sum);
    char text[33];
    for (int i = 0; i < 16; ++i) {
      std::snprintf(text + 2 * i, 3, "%02x", sum[i]);
    }
    return text;
  }

 private:
  AVMD5* md5_;
};

// Everything a decode call gave, in comparable form.
struct Outcome {
  int status = 0;
  std::string message;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
  // Of the planes (or RGB) of every picture, then their colour fields.
  std::string md5;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
  *out << "status " << o.status << " \"" << o.message << "\", " << o.sizes.size()
       << " pictures, md5 " << o.md5;
}

Outcome decode_all(RequestBuilder& builder, RuntimePixelFormat format, std::uint32_t width = 0,
                   std::uint32_t height = 0) {
  const RuntimeDecodeRequest request = builder.request(format, {}, width, height);
  RuntimeDecodeResponse response{};
  Outcome outcome;
  outcome.status = vantle_video_runtime_decode(&request, &response);
  outcome.message = last_error();
  Digest digest;
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& frame = response.frames[i];
    outcome.sizes.emplace_back(frame.width, frame.height);
    for (const RuntimeBytes* plane : {&frame.rgb, &frame.y, &frame.u, &frame.v}) {
      digest.add(bytes_of(*plane));
    }
  }
  outcome.md5 = digest.hex();
  if (format == RuntimePixelFormat::Yuv420) {
    // Colours apart from the pixels, so the MD5 stays the published one.
    Digest colours;
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      const RuntimeFrame& frame = response.frames[i];
      const std::int32_t fields[] = {frame.color_range, frame.color_space, frame.color_primaries,
                                     frame.color_trc};
      colours.add({reinterpret_cast<const std::uint8_t*>(fields), sizeof fields});
    }
    outcome.md5.append(1, '/').append(colours.hex());
  }
  vantle_video_runtime_free_response(&response);
  return outcome;
}

// Pictures of a successful call are whole: each plane as long as its size
// says.
void expect_well_formed(const RuntimeDecodeRequest& request, const char* file) {
  RuntimeDecodeResponse response{};
  if (vantle_video_runtime_decode(&request, &response) != 0) {
    EXPECT_FALSE(last_error().empty()) << file;
    return;
  }
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& f = response.frames[i];
    const std::size_t w = f.width, h = f.height;
    if (request.pixel_format == RuntimePixelFormat::Rgb) {
      EXPECT_EQ(f.rgb.len, w * h * 3) << file;
    } else {
      EXPECT_EQ(f.y.len, w * h) << file;
      EXPECT_EQ(f.u.len, ((w + 1) / 2) * ((h + 1) / 2)) << file;
    }
  }
  vantle_video_runtime_free_response(&response);
}

class RealStreams : public ::testing::TestWithParam<CorpusStream> {};

TEST_P(RealStreams, DecodeIndexRgbTranscodeAndRefusals) {
  const CorpusStream& row = GetParam();
  const StreamFile stream = load(row);
  RequestBuilder builder(stream.codec, stream.extradata, stream.packets);
  constexpr std::uint32_t SMALL_W = 48, SMALL_H = 32;

  if (row.kind == Kind::Damaged) {
    for (auto [format, w, h] : {std::tuple{RuntimePixelFormat::Yuv420, 0u, 0u},
                                {RuntimePixelFormat::Rgb, 0u, 0u},
                                {RuntimePixelFormat::Rgb, SMALL_W, SMALL_H}}) {
      expect_well_formed(builder.request(format, {}, w, h), row.file);
    }
    const RuntimeTranscodeRequest transcode = builder.transcode_request({0, 1});
    RuntimeTranscodeResponse encoded{};
    if (vantle_video_runtime_transcode_h264(&transcode, &encoded) != 0) {
      EXPECT_FALSE(last_error().empty());
    }
    vantle_video_runtime_free_transcode_response(&encoded);
    return;
  }

  // All pictures as YUV420.
  const Outcome yuv = decode_all(builder, RuntimePixelFormat::Yuv420);
  if (row.kind == Kind::TenBit) {
    EXPECT_EQ(yuv.status, -1);
    EXPECT_EQ(yuv.message, TEN_BIT_REFUSAL);
    const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
    RuntimeIndexedResponse indexed{};
    EXPECT_EQ(vantle_video_runtime_decode_indexed(&request, &indexed), -1);
    EXPECT_EQ(last_error(), TEN_BIT_REFUSAL);
  } else {
    ASSERT_EQ(yuv.status, 0) << yuv.message;
    EXPECT_EQ(yuv.sizes.size(), row.pictures);
    EXPECT_EQ(yuv.md5.substr(0, 32), row.md5);
  }

  // RGB at the decoded size, and small.
  {
    // Every RGB buffer flush against a guard page: real streams' sizes
    // must not make FFmpeg write past a buffer's slack.
    set_host_guard_for_testing(HostGuard::After);
    const Outcome rgb = decode_all(builder, RuntimePixelFormat::Rgb);
    set_host_guard_for_testing(HostGuard::None);
    ASSERT_EQ(rgb.status, 0) << rgb.message;
    EXPECT_EQ(rgb.sizes.size(), row.pictures);
    if (row.kind == Kind::Valid) {
      EXPECT_EQ(rgb.sizes, yuv.sizes);
    }
  }

  const Outcome small = decode_all(builder, RuntimePixelFormat::Rgb, SMALL_W, SMALL_H);
  ASSERT_EQ(small.status, 0) << small.message;
  EXPECT_EQ(small.sizes, decltype(small.sizes)(row.pictures, {SMALL_W, SMALL_H}));
  expect_well_formed(builder.request(RuntimePixelFormat::Rgb, {}, SMALL_W, SMALL_H), row.file);

  // The first and the last picture as one fresh H.264 group.
  const RuntimeTranscodeRequest transcode = builder.transcode_request({0, row.pictures - 1});
  RuntimeTranscodeResponse encoded{};
  const int transcoded = vantle_video_runtime_transcode_h264(&transcode, &encoded);
  if (row.transcode_refusal == nullptr) {
    EXPECT_EQ(transcoded, 0) << last_error();
    EXPECT_GE(encoded.access_unit_count, row.pictures > 1 ? 2u : 1u);
  } else {
    EXPECT_EQ(transcoded, -1);
    EXPECT_EQ(last_error(), row.transcode_refusal);
  }
  vantle_video_runtime_free_transcode_response(&encoded);

  // Indexed decode: the packet of every picture, as libavcodec itself
  // carries packet timestamps through, preset with the reorder depth
  // FFmpeg's probing measured, as its command-line tool does.
  if (row.kind != Kind::Valid || stream.codec == RuntimeCodec::Av1) {
    return;
  }
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
  RuntimeIndexedResponse indexed{};
  ASSERT_EQ(vantle_video_runtime_decode_indexed(&request, &indexed), 0) << last_error();
  std::vector<std::int64_t> packet_indices;
  for (std::size_t i = 0; i < indexed.frame_count; ++i) {
    packet_indices.push_back(static_cast<std::int64_t>(indexed.frames[i].packet_index));
  }
  vantle_video_runtime_free_indexed_response(&indexed);
  testing::ReferenceDecodeOptions options;
  options.packet_index_pts = true;
  options.reorder_delay = stream.probed_reorder_delay;
  auto reference =
      testing::reference_decode(stream.codec, stream.extradata, stream.packets, options);
  ASSERT_TRUE(reference.has_value()) << reference.error();
  std::vector<std::int64_t> reference_pts;
  for (const auto& frame : *reference) {
    reference_pts.push_back(frame.pts);
  }
  EXPECT_EQ(packet_indices, reference_pts);
  EXPECT_EQ(packet_indices.size(), row.pictures);
}

INSTANTIATE_TEST_SUITE_P(Corpus, RealStreams, ::testing::ValuesIn(CORPUS), [](const auto& info) {
  std::string name = std::filesystem::path(info.param.file).stem();
  std::ranges::replace_if(
      name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return name.substr(0, 40) + "_" + std::to_string(info.index);
});

// openh264's published SHA1 covers the same bytes as the MD5: a check by a
// decoder other than FFmpeg.
TEST(RealStreamsPublished, MultiplePpsStreamMatchesOpenh264Sha1) {
  const StreamFile stream = load(CORPUS[8]);
  RequestBuilder builder(stream.codec, stream.extradata, stream.packets);
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
  RuntimeDecodeResponse response{};
  ASSERT_EQ(vantle_video_runtime_decode(&request, &response), 0) << last_error();
  AVSHA* sha = av_sha_alloc();
  av_sha_init(sha, 160);
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    for (const RuntimeBytes* plane :
         {&response.frames[i].y, &response.frames[i].u, &response.frames[i].v}) {
      av_sha_update(sha, plane->data, plane->len);
    }
  }
  vantle_video_runtime_free_response(&response);
  std::uint8_t sum[20];
  av_sha_final(sha, sum);
  av_free(sha);
  char text[41];
  for (int i = 0; i < 20; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", sum[i]);
  }
  EXPECT_STREQ(text, "67f1cfbef0e8025ed60dedccf8d9558d0636be5f");
}

// MPS_MW_A sends its SPS and PPS before the first IDR only; the group of
// pictures from the IDR at packet 30 has none. A decoder that saw them keeps
// them through any flush, so it is pooled under them and serves only runs
// whose first packet sends them again: the group fails the same on a fresh
// thread and after the whole stream.
TEST(RealStreamsPool, RunWithoutItsParameterSetsFailsWhateverCameBefore) {
  const StreamFile stream = load(CORPUS[8]);
  const std::vector<std::vector<std::uint8_t>> group(stream.packets.begin() + 30,
                                                     stream.packets.begin() + 60);
  RequestBuilder whole(stream.codec, {}, stream.packets);
  RequestBuilder without_sets(stream.codec, {}, group);
  Outcome fresh, later;
  std::thread([&] { fresh = decode_all(without_sets, RuntimePixelFormat::Yuv420); }).join();
  std::thread([&] {
    ASSERT_EQ(decode_all(whole, RuntimePixelFormat::Yuv420).status, 0);
    later = decode_all(without_sets, RuntimePixelFormat::Yuv420);
  }).join();
  EXPECT_EQ(fresh.status, -1);
  EXPECT_EQ(later, fresh);
}

// The first group resends its parameter sets: the second decode takes the
// pooled decoder instead of opening one, with the same result.
TEST(RealStreamsPool, RunResendingTheSameParameterSetsReusesTheDecoder) {
  const StreamFile stream = load(CORPUS[8]);
  const std::vector<std::vector<std::uint8_t>> group(stream.packets.begin(),
                                                     stream.packets.begin() + 30);
  RequestBuilder builder(stream.codec, {}, group);
  std::thread([&] {
    const Outcome first = decode_all(builder, RuntimePixelFormat::Yuv420);
    const std::size_t opened = decoders_opened_on_thread();
    const Outcome second = decode_all(builder, RuntimePixelFormat::Yuv420);
    EXPECT_EQ(decoders_opened_on_thread(), opened);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second, first);
  }).join();
}

// With codec threads a decoder is reused only after a clean run that left
// it as its parameter sets make it: H.264 with one SPS, H.265, and AV1 where
// libdav1d survives it. Never after a run that stopped early, never with
// several SPS.
// (Damaged streams are left out: FFmpeg's frame threads conceal errors
// differently from one decode to the next, fresh decoder or not.)
TEST(RealStreamsPool, ThreadedDecodersAreReusedOnlyAfterCleanRuns) {
  struct Row {
    std::size_t corpus;
    std::size_t packets;  // the first ones; 0: all
    bool level_1;         // SPS level_idc set to 10: its DPB holds no 640x320 picture
    bool reused;
  };
  const Row rows[] = {
      {8, 30, false, true},   // MPS_MW_A
      {0, 0, false, true},    // Cisco, no bitstream restriction
      {0, 0, true, false},    // the same: B-frames deepen the decoder's reorder depth
      {10, 0, false, true},   // p_qcif_10f, H.265
      {15, 0, false, false},  // 10-bit: YUV420 is refused at the first picture
      {9, 0, false, false},   // FRExt2_Panasonic: several SPS
      {18, 0, false, libdav1d_survives_threaded_reuse()},  // AV1
  };
  setenv(THREAD_COUNT_VARIABLE, "2", 1);
  for (const Row& row : rows) {
    const StreamFile stream = load(CORPUS[row.corpus]);
    std::vector<std::vector<std::uint8_t>> packets(
        stream.packets.begin(),
        row.packets == 0 ? stream.packets.end() : stream.packets.begin() + row.packets);
    if (row.level_1) {
      constexpr std::uint8_t SPS_START[] = {0, 0, 1, 0x67};
      std::vector<std::uint8_t>& first = packets.front();
      const auto sps =
          std::search(first.begin(), first.end(), std::begin(SPS_START), std::end(SPS_START));
      ASSERT_NE(sps, first.end());
      sps[6] = 10;  // level_idc, behind profile_idc and the constraint flags
    }
    RequestBuilder builder(stream.codec, stream.extradata, packets);
    std::thread([&] {
      SCOPED_TRACE(CORPUS[row.corpus].file);
      const Outcome first = decode_all(builder, RuntimePixelFormat::Yuv420);
      const std::size_t opened = decoders_opened_on_thread();
      const Outcome second = decode_all(builder, RuntimePixelFormat::Yuv420);
      EXPECT_EQ(decoders_opened_on_thread(), row.reused ? opened : opened + 1);
      EXPECT_EQ(second, first);
    }).join();
  }
  unsetenv(THREAD_COUNT_VARIABLE);
}

// What one decode of a stream gives, YUV420 (with colours) and small RGB.
std::pair<Outcome, Outcome> decode_outcomes(const StreamFile& stream) {
  RequestBuilder builder(stream.codec, stream.extradata, stream.packets);
  return {decode_all(builder, RuntimePixelFormat::Yuv420),
          decode_all(builder, RuntimePixelFormat::Rgb, 48, 32)};
}

class RealStreamsDeterminism : public ::testing::TestWithParam<const char*> {
 protected:
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }
};

// Every stream decoded on a fresh thread (empty decoder pool) equals the same
// stream decoded on one thread after all the others, in shuffled order: what
// a pooled decoder learned from earlier streams must not show.
TEST_P(RealStreamsDeterminism, ResultDependsOnlyOnRequestAndThreadCount) {
  setenv(THREAD_COUNT_VARIABLE, GetParam(), 1);
  std::vector<StreamFile> streams;
  for (const CorpusStream& row : CORPUS) {
    streams.push_back(load(row));
  }
  std::vector<std::pair<Outcome, Outcome>> fresh(streams.size());
  for (std::size_t i = 0; i < streams.size(); ++i) {
    std::thread([&, i] { fresh[i] = decode_outcomes(streams[i]); }).join();
  }
  const unsigned seed = std::random_device{}();
  std::vector<std::size_t> order(streams.size());
  std::vector<std::pair<Outcome, Outcome>> later(streams.size());
  std::thread([&] {
    std::mt19937 random(seed);
    for (int pass = 0; pass < 2; ++pass) {
      std::iota(order.begin(), order.end(), 0);
      std::ranges::shuffle(order, random);
      for (const std::size_t i : order) {
        later[i] = decode_outcomes(streams[i]);
      }
    }
  }).join();
  for (std::size_t i = 0; i < streams.size(); ++i) {
    EXPECT_EQ(later[i].first, fresh[i].first) << CORPUS[i].file << " (seed " << seed << ")";
    EXPECT_EQ(later[i].second, fresh[i].second) << CORPUS[i].file << " (seed " << seed << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(ThreadCounts, RealStreamsDeterminism, ::testing::Values("1", "2", "0"),
                         [](const auto& info) { return std::string("threads_") + info.param; });

}  // namespace
}  // namespace vantle

namespace vantle {
namespace {

// The reorder depth read from the SPS equals what FFmpeg's H.264 decoder
// (one thread, as the library opens it) ends a whole stream with: with frame
// threads the library reuses a decoder only while its depth is no deeper, so
// this pins the reader to the FFmpeg generation the test runs against.
// Streams with several SPS or unreadable packets are never reused that way.
// Answers whether the stream was compared.
bool expect_sps_depth_is_decoder_depth(RuntimeCodec codec,
                                       const std::vector<std::uint8_t>& extradata,
                                       const std::vector<std::vector<std::uint8_t>>& packets) {
  ParameterSets sets;
  EXPECT_TRUE(add_extradata_parameter_sets(codec, extradata, sets));
  // Packets whose sets cannot be known keep the decoder out of the pool.
  if (!std::ranges::all_of(packets, [&](const auto& packet) {
        return add_parameter_sets(codec, extradata, packet, sets);
      })) {
    return false;
  }
  std::vector<std::optional<int>> depths;
  for (const auto& unit : sets) {
    if ((unit.front() & 0x1f) == 7) {
      depths.push_back(h264_sps_reorder_depth(unit));
      // Cut or damaged, an SPS is read within its bytes (the sanitizer
      // legs watch) and answers something or nothing.
      for (std::size_t size = 0; size < unit.size(); ++size) {
        std::vector<std::uint8_t> damaged(unit.begin(), unit.begin() + size);
        static_cast<void>(h264_sps_reorder_depth(damaged));
        damaged.assign(unit.begin(), unit.end());
        damaged[size] ^= size == 0 ? 0x80 : 0xff;
        static_cast<void>(h264_sps_reorder_depth(damaged));
      }
    }
  }
  // Several SPS also keep a threaded decoder out of the pool.
  if (depths.size() != 1) {
    return false;
  }
  const std::optional<int> depth = depths.front();
  EXPECT_TRUE(depth.has_value());

  ensure_ffmpeg_initialized();
  DecoderPoolKey key{codec, extradata, 1, {}};
  auto decoder = take_or_create_decoder(key);
  EXPECT_TRUE(decoder.has_value()) << decoder.error();
  if (!decoder || !depth) {
    return false;
  }
  AVFrame* frame = av_frame_alloc();
  for (const auto& bytes : packets) {
    auto packet = packet_from_bytes(bytes);
    EXPECT_TRUE(packet.has_value());
    avcodec_send_packet(decoder->get(), packet->get());
    while (avcodec_receive_frame(decoder->get(), frame) == 0) {
    }
  }
  avcodec_send_packet(decoder->get(), nullptr);
  while (avcodec_receive_frame(decoder->get(), frame) == 0) {
  }
  av_frame_free(&frame);
  EXPECT_EQ(decoder->get()->has_b_frames, *depth);
  return true;
}

TEST(RealStreamsReorderDepth, SpsDepthIsTheDepthTheDecoderSettlesOn) {
  std::size_t compared = 0;
  for (const CorpusStream& row : CORPUS) {
    if (!std::string_view(row.file).starts_with("h264/")) {
      continue;
    }
    SCOPED_TRACE(row.file);
    const StreamFile stream = load(row);
    compared += expect_sps_depth_is_decoder_depth(stream.codec, stream.extradata, stream.packets);
  }
  // Both streams without a bitstream restriction are among them.
  EXPECT_GE(compared, 7u);
}

// The same for the streams the test fixture makes: x264's reordering
// structures, sizes, formats and parameter sets in-band or in the extradata.
TEST(RealStreamsReorderDepth, GeneratedStreamsToo) {
  using testing::StreamSpec;
  struct Row {
    const char* name;
    int width, height, b_frames;
    bool global_header;
    AVPixelFormat format;
    const char* x264_params;
  };
  const Row rows[] = {
      {"no B-frames", 64, 48, 0, false, AV_PIX_FMT_YUV420P, ""},
      {"one B-frame", 64, 48, 1, true, AV_PIX_FMT_YUV420P, ""},
      {"two B-frames", 96, 64, 2, false, AV_PIX_FMT_YUV420P, ""},
      {"B-pyramid", 96, 64, 3, true, AV_PIX_FMT_YUV420P, "b-pyramid=normal"},
      {"strict B-pyramid, 5 refs", 64, 48, 3, false, AV_PIX_FMT_YUV420P, "b-pyramid=strict:ref=5"},
      {"odd size", 70, 38, 2, false, AV_PIX_FMT_YUV420P, ""},
      {"1080p level", 1920, 1080, 2, true, AV_PIX_FMT_YUV420P, ""},
      {"4:4:4", 64, 48, 2, false, AV_PIX_FMT_YUV444P, ""},
      {"10-bit", 64, 48, 2, true, AV_PIX_FMT_YUV420P10LE, ""},
      {"open GOP", 64, 48, 2, false, AV_PIX_FMT_YUV420P, "open-gop=1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StreamSpec spec;
    spec.width = row.width;
    spec.height = row.height;
    spec.frame_count = row.width >= 1920 ? 6 : 16;
    spec.gop_size = 8;
    spec.b_frames = row.b_frames;
    spec.global_header = row.global_header;
    spec.pix_fmt = row.format;
    if (*row.x264_params != '\0') {
      spec.options = {{"x264-params", row.x264_params}};
    }
    const testing::EncodedStream stream = testing::encode_stream(spec);
    ASSERT_TRUE(stream.ok()) << stream.error;
    EXPECT_TRUE(expect_sps_depth_is_decoder_depth(stream.codec, stream.extradata, stream.packets));
  }
}

}  // namespace
}  // namespace vantle
