// The video people actually have, checked through the C interface against
// the ffmpeg command line of the same FFmpeg generation, byte for byte: VP9
// and VP8 (hidden frames, odd sizes, a size change), 16-bit output from 8-,
// 10- and 12-bit sources of every chroma layout and range, and clips whose
// display matrix asks for a turn. The clips are made by the command line,
// once per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "conversion/orientation.h"
#include "media/container_reader.h"
#include "runtime/owned_response.h"
#include "support/last_error.h"
#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;
using testing::last_error;
using testing::RequestBuilder;

constexpr bool FFMPEG9 = LIBAVCODEC_VERSION_MAJOR >= 61;

std::vector<std::uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const fs::path& work_dir() {
  static const fs::path dir = [] {
    fs::path made = fs::temp_directory_path() / ("vantle-formats-" + std::to_string(getpid()));
    fs::create_directories(made);
    return made;
  }();
  return dir;
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// One clip the command line makes: `encode` follows the lavfi input; a
// `two_pass` encode runs libvpx's first pass first, for hidden frames.
struct ClipRecipe {
  const char* name;
  const char* source;  // lavfi graph
  const char* encode;
  const char* file;    // name with the container's extension
  bool two_pass = false;
};

// The clip's path, or empty when this FFmpeg cannot make it (no encoder).
fs::path make_clip(const ClipRecipe& recipe) {
  static std::mutex mutex;
  static std::map<std::string, fs::path> made;
  std::lock_guard lock(mutex);
  if (auto found = made.find(recipe.name); found != made.end()) {
    return found->second;
  }
  const fs::path out = work_dir() / recipe.file;
  const std::string base = std::string("ffmpeg -nostdin -y -v error -f lavfi -i ") +
                           recipe.source + " " + recipe.encode;
  bool ok = true;
  if (recipe.two_pass) {
    const std::string log = (work_dir() / (std::string(recipe.file) + "-pass")).string();
    ok = run(base + " -pass 1 -passlogfile " + log + " -f null -") &&
         run(base + " -pass 2 -passlogfile " + log + " " + out.string());
  } else {
    ok = run(base + " " + out.string());
  }
  return made[recipe.name] = ok ? out : fs::path();
}

// What the command line writes for `args` (before the output; `input_args`
// before the input), one thread.
std::vector<std::uint8_t> command_line_pictures(const fs::path& clip, const std::string& args,
                                                const std::string& input_args = "") {
  const fs::path out = work_dir() / "expected.raw";
  fs::remove(out);
  const bool ok = run("ffmpeg -nostdin -y -v error -threads 1 " + input_args + " -i " + clip.string() +
                      " -fps_mode passthrough " + args + " -f rawvideo " + out.string());
  EXPECT_TRUE(ok) << "ffmpeg " << args << " on " << clip;
  return file_bytes(out);
}

struct LibraryPictures {
  std::vector<std::uint8_t> bytes;  // every picture's planes, one after another
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
};

RequestBuilder builder_for(const media::ContainerVideo& video) {
  std::vector<std::vector<std::uint8_t>> packets;
  for (const auto& packet : video.packets) {
    packets.push_back(packet.bytes);
  }
  return RequestBuilder(*media::runtime_codec(video.codec_id), video.extradata, std::move(packets));
}

LibraryPictures library_pictures(const media::ContainerVideo& video, RuntimePixelFormat format,
                                 const RuntimeDecodeOptions& options, std::uint32_t width = 0,
                                 std::uint32_t height = 0) {
  RequestBuilder builder = builder_for(video);
  const RuntimeDecodeRequest request = builder.request(format, {}, width, height);
  runtime::DecodedFrames response;
  LibraryPictures pictures;
  if (vantle_video_runtime_decode_with_options(&request, &options, &response) != 0) {
    ADD_FAILURE() << last_error();
    return pictures;
  }
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& frame = response.frames[i];
    EXPECT_EQ(frame.format, format);
    pictures.sizes.emplace_back(frame.width, frame.height);
    for (const RuntimeBytes& plane : {frame.rgb, frame.y, frame.u, frame.v}) {
      pictures.bytes.insert(pictures.bytes.end(), plane.data, plane.data + plane.len);
    }
  }
  return pictures;
}

constexpr RuntimeDecodeOptions NO_TURN{sizeof(RuntimeDecodeOptions), 0, 0, 0};

media::ContainerVideo read_clip(const fs::path& clip) {
  auto video = media::read_container_file(clip.string());
  EXPECT_TRUE(video) << clip << ": " << (video ? "" : video.error());
  return video ? std::move(*video) : media::ContainerVideo{};
}

// The recipe's name as a test name, which takes letters, digits and '_'.
std::string recipe_test_name(const ::testing::TestParamInfo<ClipRecipe>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

#define VANTLE_REQUIRE_CLIP(var, recipe)                                     \
  const fs::path var = make_clip(recipe);                                    \
  if (var.empty()) {                                                         \
    GTEST_SKIP() << "this ffmpeg cannot make " << (recipe).name;             \
  }

// ---- VP9 and VP8: every picture as FFmpeg's own decoder gives it ----------

#define TESTSRC(size, frames) "testsrc2=size=" size ":rate=25 -frames:v " #frames
#define LIBVPX_ALTREF " -b:v 300k -auto-alt-ref 1 -lag-in-frames 16 -g 12"

const ClipRecipe VP_CLIPS[] = {
    {"vp9 profile 0, hidden frames", TESTSRC("64x48", 24),
     "-c:v libvpx-vp9 -pix_fmt yuv420p" LIBVPX_ALTREF, "vp9-p0.webm", true},
    {"vp9 profile 2, 10-bit", TESTSRC("64x48", 16),
     "-c:v libvpx-vp9 -pix_fmt yuv420p10le" LIBVPX_ALTREF, "vp9-p2-10.ivf", true},
    {"vp9 profile 2, 12-bit", TESTSRC("48x32", 10),
     "-c:v libvpx-vp9 -pix_fmt yuv420p12le -b:v 300k", "vp9-p2-12.mkv"},
    {"vp9 in mp4", TESTSRC("64x48", 10), "-c:v libvpx-vp9 -pix_fmt yuv420p -b:v 300k",
     "vp9.mp4"},
    {"vp9 9x7", "testsrc2=size=64x48:rate=25 -frames:v 6 -vf scale=9:7",
     "-c:v libvpx-vp9 -pix_fmt yuv420p -b:v 100k", "vp9-9x7.ivf"},
    {"vp9 35x22", "testsrc2=size=64x48:rate=25 -frames:v 4 -vf scale=35:22",
     "-c:v libvpx-vp9 -pix_fmt yuv420p -b:v 100k", "vp9-35x22.ivf"},
    {"vp9 8x8", "testsrc2=size=64x48:rate=25 -frames:v 6 -vf scale=8:8",
     "-c:v libvpx-vp9 -pix_fmt yuv420p -b:v 100k", "vp9-8x8.ivf"},
    {"vp8", TESTSRC("64x48", 12), "-c:v libvpx -b:v 300k", "vp8.ivf"},
    {"vp8 alt-ref", TESTSRC("64x48", 24), "-c:v libvpx" LIBVPX_ALTREF, "vp8-altref.webm", true},
};

bool is_8bit_420(const media::ContainerVideo& video) {
  return video.pixel_format == AV_PIX_FMT_YUV420P;
}

class VpxClips : public ::testing::TestWithParam<ClipRecipe> {};

TEST_P(VpxClips, EveryPictureEqualsFfmpegsDecoder) {
  VANTLE_REQUIRE_CLIP(clip, GetParam());
  const media::ContainerVideo video = read_clip(clip);
  ASSERT_TRUE(media::runtime_codec(video.codec_id));
  if (is_8bit_420(video)) {
    EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Yuv420, NO_TURN).bytes,
              command_line_pictures(clip, "-pix_fmt yuv420p"));
    // At widths off a multiple of 8 the command line's swscale takes a
    // different row loop than the library's padded rows.
    if (video.width % 8 == 0) {
      EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Rgb, NO_TURN).bytes,
                command_line_pictures(clip, "-pix_fmt rgb24"));
    }
  }
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Yuv420P16, NO_TURN).bytes,
            command_line_pictures(clip, "-pix_fmt yuv420p16le"));
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Rgb48, NO_TURN).bytes,
            command_line_pictures(clip, "-pix_fmt rgb48le"));
}

INSTANTIATE_TEST_SUITE_P(Clips, VpxClips, ::testing::ValuesIn(VP_CLIPS), recipe_test_name);

// libvpx cannot change size inside one encode: two encodes joined at a key
// frame, as IVF frames behind the first file's header.
TEST(VpxSizeChange, EachPictureComesAtItsOwnSize) {
  const ClipRecipe small{"vp9 a", TESTSRC("64x48", 4), "-c:v libvpx-vp9 -b:v 100k", "a.ivf"};
  const ClipRecipe large{"vp9 b", TESTSRC("96x64", 4), "-c:v libvpx-vp9 -b:v 100k", "b.ivf"};
  VANTLE_REQUIRE_CLIP(first, small);
  VANTLE_REQUIRE_CLIP(second, large);
  constexpr std::size_t IVF_HEADER = 32;
  std::vector<std::uint8_t> joined = file_bytes(first);
  const std::vector<std::uint8_t> tail = file_bytes(second);
  joined.insert(joined.end(), tail.begin() + IVF_HEADER, tail.end());
  const fs::path clip = work_dir() / "joined.ivf";
  std::ofstream(clip, std::ios::binary)
      .write(reinterpret_cast<const char*>(joined.data()), static_cast<std::streamsize>(joined.size()));
  const media::ContainerVideo video = read_clip(clip);
  const LibraryPictures pictures = library_pictures(video, RuntimePixelFormat::Yuv420, NO_TURN);
  ASSERT_EQ(pictures.sizes.size(), 8u);
  EXPECT_EQ(pictures.sizes.front(), std::make_pair(64u, 48u));
  EXPECT_EQ(pictures.sizes.back(), std::make_pair(96u, 64u));
  // The command line would scale every picture to the first size.
  const std::vector<std::uint8_t> a = command_line_pictures(first, "-pix_fmt yuv420p");
  std::vector<std::uint8_t> expected = a;
  const std::vector<std::uint8_t> b = command_line_pictures(second, "-pix_fmt yuv420p");
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(pictures.bytes, expected);
}

// A thread that decoded another codec gives the same pictures as a fresh one.
TEST(VpxAfterOtherCodecs, SameBytesAsOnAFreshThread) {
  VANTLE_REQUIRE_CLIP(clip, VP_CLIPS[0]);
  const media::ContainerVideo video = read_clip(clip);
  LibraryPictures fresh;
  std::thread([&] { fresh = library_pictures(video, RuntimePixelFormat::Rgb, NO_TURN); }).join();
  const testing::EncodedStream h264 = testing::encode_stream({});
  VANTLE_REQUIRE_STREAM(h264);
  RequestBuilder other(h264);
  RuntimeDecodeRequest request = other.request(RuntimePixelFormat::Rgb);
  runtime::DecodedFrames before;
  ASSERT_EQ(vantle_video_runtime_decode(&request, &before), 0) << last_error();
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Rgb, NO_TURN).bytes, fresh.bytes);
}

// ---- 16-bit output from every source layout --------------------------------

const ClipRecipe DEEP_CLIPS[] = {
    {"h264 8-bit 420", TESTSRC("64x48", 6), "-c:v libx264 -pix_fmt yuv420p", "h264-8.mkv"},
    {"h264 10-bit 420", TESTSRC("64x48", 6), "-c:v libx264 -pix_fmt yuv420p10le", "h264-10.mkv"},
    {"h264 8-bit 422 full bt709", TESTSRC("64x48", 6),
     "-c:v libx264 -pix_fmt yuvj422p -colorspace bt709 -color_primaries bt709 -color_trc bt709",
     "h264-422.mkv"},
    {"h265 10-bit 420 bt2020", TESTSRC("64x48", 6),
     "-c:v libx265 -pix_fmt yuv420p10le -colorspace bt2020nc -color_primaries bt2020 "
     "-color_trc smpte2084",
     "h265-10.mkv"},
    {"h265 12-bit 444 full", TESTSRC("64x48", 6),
     "-c:v libx265 -pix_fmt yuv444p12le -color_range pc", "h265-444-12.mkv"},
    {"h265 10-bit 422", TESTSRC("66x46", 6), "-c:v libx265 -pix_fmt yuv422p10le", "h265-422.mkv"},
    {"av1 10-bit 420", TESTSRC("64x48", 4),
     "-c:v libaom-av1 -cpu-used 8 -pix_fmt yuv420p10le -b:v 200k", "av1-10.mkv"},
    {"vp9 8-bit 444 full", TESTSRC("64x48", 6),
     "-c:v libvpx-vp9 -pix_fmt yuv444p -color_range pc -b:v 300k", "vp9-444.webm"},
};

class DeepOutput : public ::testing::TestWithParam<ClipRecipe> {};

TEST_P(DeepOutput, EqualsTheCommandLine) {
  VANTLE_REQUIRE_CLIP(clip, GetParam());
  const media::ContainerVideo video = read_clip(clip);
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Rgb48, NO_TURN).bytes,
            command_line_pictures(clip, "-pix_fmt rgb48le"));
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Rgb48, NO_TURN, 40, 30).bytes,
            command_line_pictures(clip, "-vf scale=40:30 -pix_fmt rgb48le"));
  // FFmpeg 5.1's command line narrows a full-range source unless told.
  const bool full =
      video.colour.range == AVCOL_RANGE_JPEG || video.pixel_format == AV_PIX_FMT_YUVJ422P;
  EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Yuv420P16, NO_TURN).bytes,
            command_line_pictures(clip, std::string(!FFMPEG9 && full ? "-vf scale=out_range=full " : "") +
                                            "-pix_fmt yuv420p16le"));
}

INSTANTIATE_TEST_SUITE_P(Sources, DeepOutput, ::testing::ValuesIn(DEEP_CLIPS), recipe_test_name);

// The indexed decode's 16-bit pictures are its decode's pictures, each
// tagged with the packet whose timestamp shows it.
TEST(DeepIndexedDecode, TagsEveryPictureByItsPacket) {
  testing::StreamSpec spec;
  spec.codec = RuntimeCodec::H265;
  spec.pix_fmt = AV_PIX_FMT_YUV420P10LE;
  spec.b_frames = 2;
  spec.frame_count = 9;
  const testing::EncodedStream stream = testing::encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420P16);
  runtime::IndexedFrames indexed;
  ASSERT_EQ(vantle_video_runtime_decode_indexed(&request, &indexed), 0) << last_error();
  runtime::DecodedFrames decoded;
  ASSERT_EQ(vantle_video_runtime_decode(&request, &decoded), 0) << last_error();
  ASSERT_EQ(indexed.frame_count, 9u);
  ASSERT_EQ(decoded.frame_count, 9u);
  for (std::size_t i = 0; i < indexed.frame_count; ++i) {
    const RuntimeIndexedFrame& picture = indexed.frames[i];
    EXPECT_EQ(stream.packet_pts[picture.packet_index], static_cast<std::int64_t>(i));
    EXPECT_EQ(picture.frame.format, RuntimePixelFormat::Yuv420P16);
    const RuntimeBytes& y = picture.frame.y;
    const RuntimeBytes& same = decoded.frames[i].y;
    ASSERT_EQ(y.len, std::size_t{64} * 48 * 2);
    EXPECT_TRUE(std::equal(y.data, y.data + y.len, same.data, same.data + same.len));
  }
}

// ---- Rotated clips ---------------------------------------------------------

fs::path rotated_clip(const ClipRecipe& plain, int degrees) {
  const fs::path source = make_clip(plain);
  if (source.empty()) {
    return {};
  }
  const fs::path out = work_dir() / (std::to_string(degrees) + "-" + plain.file);
  // 9.0 writes no matrix for the rotate tag; its input option sets one.
  const std::string command =
      FFMPEG9 ? "ffmpeg -nostdin -y -v error -display_rotation " + std::to_string(degrees) +
                    " -i " + source.string() + " -c copy " + out.string()
              : "ffmpeg -nostdin -y -v error -i " + source.string() +
                    " -c copy -metadata:s:v rotate=" + std::to_string(degrees) + " " +
                    out.string();
  return run(command) ? out : fs::path();
}

struct Turn {
  const ClipRecipe* clip;
  int degrees;
};

class RotatedClips : public ::testing::TestWithParam<Turn> {};

TEST_P(RotatedClips, UprightAsTheCommandLineAndStoredWithout) {
  const fs::path clip = rotated_clip(*GetParam().clip, GetParam().degrees);
  if (clip.empty()) {
    GTEST_SKIP() << "this ffmpeg cannot make the clip";
  }
  const media::ContainerVideo video = read_clip(clip);
  ASSERT_TRUE(video.display_matrix);
  const RuntimeDecodeOptions upright = media::upright_options(video.display_matrix);
  EXPECT_NE(upright.rotation + upright.flip, 0u);
  for (const auto& [format, name] : {std::pair{RuntimePixelFormat::Rgb, "rgb24"},
                                     std::pair{RuntimePixelFormat::Rgb48, "rgb48le"}}) {
    if (format == RuntimePixelFormat::Rgb && !is_8bit_420(video)) {
      continue;  // 8-bit RGB of deeper sources takes the fast path
    }
    const std::string pix_fmt = std::string("-pix_fmt ") + name;
    EXPECT_EQ(library_pictures(video, format, upright).bytes,
              command_line_pictures(clip, pix_fmt))
        << name;
    EXPECT_EQ(library_pictures(video, format, NO_TURN).bytes,
              command_line_pictures(clip, pix_fmt, "-noautorotate"))
        << name;
  }
  if (is_8bit_420(video)) {
    EXPECT_EQ(library_pictures(video, RuntimePixelFormat::Yuv420, upright).bytes,
              command_line_pictures(clip, "-pix_fmt yuv420p"));
  }
}

const ClipRecipe ROTATION_SOURCES[] = {
    {"rot h264", TESTSRC("64x48", 4), "-c:v libx264 -pix_fmt yuv420p", "rot-h264.mp4"},
    {"rot h265 10-bit", TESTSRC("66x46", 4), "-c:v libx265 -pix_fmt yuv420p10le",
     "rot-h265-10.mp4"},
};

INSTANTIATE_TEST_SUITE_P(
    Turns, RotatedClips,
    ::testing::Values(Turn{&ROTATION_SOURCES[0], 90}, Turn{&ROTATION_SOURCES[0], 180},
                      Turn{&ROTATION_SOURCES[0], 270}, Turn{&ROTATION_SOURCES[1], 90},
                      Turn{&ROTATION_SOURCES[1], 180}, Turn{&ROTATION_SOURCES[1], 270}));

// Where the sample that a turned picture shows at (x, y) sits in the stored
// w x h picture, written out one sample at a time: the flips undone, then the
// clockwise turn.
std::pair<std::size_t, std::size_t> stored_position(std::size_t x, std::size_t y, std::size_t w,
                                                    std::size_t h, std::uint32_t rotation,
                                                    bool flip_horizontal, bool flip_vertical) {
  const bool swap = rotation % 180 != 0;
  const std::size_t fx = flip_horizontal ? (swap ? h : w) - 1 - x : x;
  const std::size_t fy = flip_vertical ? (swap ? w : h) - 1 - y : y;
  switch (rotation) {
    case 90:
      return {fy, h - 1 - fx};
    case 180:
      return {w - 1 - fx, h - 1 - fy};
    case 270:
      return {w - 1 - fy, fx};
    default:
      return {fx, fy};
  }
}

// Every turn and flip against a plain picture turned here: 4:4:4, turned
// before conversion, and 4:2:2, whose planes cannot be turned and are
// turned after it. (Turned 4:2:0 chroma is interpolated along the other
// axis, as the command line does it: checked above.)
TEST(Turns, MovePixelsExactly) {
  const ClipRecipe sources[] = {DEEP_CLIPS[4], DEEP_CLIPS[5], DEEP_CLIPS[7]};
  for (const ClipRecipe& recipe : sources) {
    VANTLE_REQUIRE_CLIP(clip, recipe);
    const media::ContainerVideo video = read_clip(clip);
    const LibraryPictures plain = library_pictures(video, RuntimePixelFormat::Rgb48, NO_TURN);
    ASSERT_FALSE(plain.sizes.empty());
    const auto [w, h] = plain.sizes.front();
    for (std::uint32_t rotation : {0u, 90u, 180u, 270u}) {
      for (std::uint32_t flip = 0; flip < 4; ++flip) {
        const RuntimeDecodeOptions options{sizeof(RuntimeDecodeOptions), rotation, flip, 0};
        const LibraryPictures turned = library_pictures(video, RuntimePixelFormat::Rgb48, options);
        const bool swap = rotation % 180 != 0;
        const std::uint32_t tw = swap ? h : w;
        const std::uint32_t th = swap ? w : h;
        ASSERT_EQ(turned.bytes.size(), plain.bytes.size());
        ASSERT_EQ(turned.sizes.front(), std::make_pair(tw, th));
        for (std::uint32_t y = 0; y < th; y += 3) {
          for (std::uint32_t x = 0; x < tw; x += 5) {
            const auto [sx, sy] =
                stored_position(x, y, w, h, rotation, (flip & RuntimeFlip_Horizontal) != 0,
                                (flip & RuntimeFlip_Vertical) != 0);
            const std::uint8_t* got = &turned.bytes[(std::size_t{y} * tw + x) * 6];
            const std::uint8_t* want = &plain.bytes[(sy * w + sx) * 6];
            ASSERT_TRUE(std::equal(got, got + 6, want))
                << recipe.name << " rotation " << rotation << " flip " << flip << " at " << x
                << "," << y;
          }
        }
      }
    }
  }
}

// Planes of every size around the 8-sample blocks, each element size, every
// turn and flip, against the mapping written out one sample at a time.
TEST(Turns, PlanesOfEverySize) {
  for (const std::size_t element : {1u, 2u, 3u, 4u, 6u, 8u}) {
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {7, 9}, {8, 8}, {17, 3},
                               {16, 24}, {33, 15}}) {
      const std::ptrdiff_t line = static_cast<std::ptrdiff_t>(w * element + 5);
      std::vector<std::uint8_t> plane(static_cast<std::size_t>(line) * h);
      for (std::size_t i = 0; i < plane.size(); ++i) {
        plane[i] = static_cast<std::uint8_t>(i * 131 + 7);
      }
      for (std::uint32_t rotation : {0u, 90u, 180u, 270u}) {
        for (std::uint32_t flip = 0; flip < 4; ++flip) {
          const Orientation o{rotation, (flip & 1) != 0, (flip & 2) != 0};
          const std::size_t tw = o.swaps_axes() ? h : w;
          const std::size_t th = o.swaps_axes() ? w : h;
          std::vector<std::uint8_t> out(tw * th * element);
          turn_plane(plane.data(), line, w, h, element, o, out.data(),
                     static_cast<std::ptrdiff_t>(tw * element));
          for (std::size_t y = 0; y < th; ++y) {
            for (std::size_t x = 0; x < tw; ++x) {
              const auto [sx, sy] =
                  stored_position(x, y, w, h, rotation, o.flip_horizontal, o.flip_vertical);
              ASSERT_TRUE(std::equal(&out[(y * tw + x) * element], &out[(y * tw + x) * element] + element,
                                     &plane[sy * static_cast<std::size_t>(line) + sx * element]))
                  << element << " bytes, " << w << "x" << h << ", rotation " << rotation
                  << ", flip " << flip << ", at " << x << "," << y;
            }
          }
        }
      }
    }
  }
}

// ---- The options record ----------------------------------------------------

TEST(DecodeOptions, RefusedWithTheirMessage) {
  const testing::EncodedStream stream = testing::encode_stream({});
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder builder(stream);
  const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Rgb, {0});
  struct Grown {
    RuntimeDecodeOptions known;
    std::uint32_t newer[2];
  };
  const struct {
    Grown options;
    const char* message;  // empty: accepted
  } cases[] = {
      {{{16, 0, 0, 0}, {0, 0}}, ""},
      {{{24, 90, 3, 0}, {0, 0}}, ""},
      {{{12, 0, 0, 0}, {0, 0}}, "decode options size 12 is below 16"},
      {{{24, 0, 0, 0}, {0, 7}}, "decode options byte 20 is 7, but this library knows only the first 16 bytes"},
      {{{16, 45, 0, 0}, {0, 0}}, "decode options rotation 45 is not 0, 90, 180 or 270"},
      {{{16, 0, 4, 0}, {0, 0}}, "decode options flip 4 has bits other than 1 and 2"},
      {{{16, 0, 0, 1}, {0, 0}}, "decode options reserved field is 1, not 0"},
  };
  for (const auto& c : cases) {
    runtime::DecodedFrames response;
    const int rc = vantle_video_runtime_decode_with_options(&request, &c.options.known, &response);
    EXPECT_EQ(rc, *c.message == '\0' ? 0 : -1) << c.message;
    EXPECT_EQ(last_error(), c.message);
  }
  runtime::DecodedFrames response;
  EXPECT_EQ(vantle_video_runtime_decode_with_options(&request, nullptr, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
  EXPECT_EQ(vantle_video_runtime_decode_with_options(nullptr, &NO_TURN, &response), -1);
  EXPECT_EQ(last_error(), "FFmpeg runtime received null ABI pointer");
}

}  // namespace
}  // namespace vantle
