// The vantle-video tool, driven as a user runs it: container files of every
// kind it reads are made with FFmpeg's encoders and muxers, then the files the
// tool writes are checked with FFmpeg (PNG size, picture counts of the
// .h264 it re-encodes, the .y4m header and frames) and, where the ffmpeg
// command line is installed, against its own pictures.
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoding/runtime_codec.h"
#include "media/container_reader.h"
#include "support/media.h"
#include "support/reference_decode.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 160;
constexpr int kHeight = 96;
constexpr int kGroupSize = 8;
constexpr int kGroups = 3;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The path in single quotes, for the shell.
std::string quote(const fs::path& path) {
  std::string quoted(1, '\'');
  quoted.append(path.string()).push_back('\'');
  return quoted;
}

// Runs the tool with its output and error streams in files (not a terminal,
// so it must print no progress).
ToolRun run_tool(const fs::path& dir, const std::string& arguments) {
  const fs::path out = dir / "stdout.txt";
  const fs::path err = dir / "stderr.txt";
  const std::string command =
      quote(VANTLE_VIDEO_TOOL) + " " + arguments + " >" + quote(out) + " 2>" + quote(err);
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(out), read_text(err)};
}

// A fresh folder per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)))
        c = '_';
    }
    path_ =
        fs::temp_directory_path() / ("vantle-video-test-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

using DisplayMatrix = std::array<std::int32_t, 9>;

// Writes the encoded stream into a container with libavformat's muxer
// `format`, under its own codec id unless `id` names another, with the
// display matrix when one is given. Answers an empty text or what failed.
std::string mux(const EncodedStream& stream, const char* format, const fs::path& path,
                AVCodecID id = AV_CODEC_ID_NONE, const DisplayMatrix* matrix = nullptr) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, format, path.c_str()) < 0) {
    return std::string("no muxer ") + format;
  }
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> context(raw, [](AVFormatContext* c) {
    avio_closep(&c->pb);
    avformat_free_context(c);
  });
  AVStream* video = avformat_new_stream(context.get(), nullptr);
  video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  video->codecpar->codec_id = id != AV_CODEC_ID_NONE ? id : ffmpeg_id(stream.codec);
  video->codecpar->width = stream.frame_sizes.front().first;
  video->codecpar->height = stream.frame_sizes.front().second;
  // FFmpeg 9.0's MXF muxer wants it; MP4 and WebM take VP9's depth from it.
  video->codecpar->format = stream.spec.pix_fmt;
  if (matrix != nullptr) {
    // FFmpeg 6.1 moved stream side data into the codec parameters.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
    AVPacketSideData* side = av_packet_side_data_new(
        &video->codecpar->coded_side_data, &video->codecpar->nb_coded_side_data,
        AV_PKT_DATA_DISPLAYMATRIX, sizeof(DisplayMatrix), 0);
    std::uint8_t* data = side != nullptr ? side->data : nullptr;
#else
    std::uint8_t* data =
        av_stream_new_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, sizeof(DisplayMatrix));
#endif
    if (data == nullptr) {
      return "out of memory";
    }
    std::memcpy(data, matrix->data(), sizeof(DisplayMatrix));
  }
  video->time_base = AVRational{1, 25};
  video->avg_frame_rate = AVRational{25, 1};
  if (!stream.extradata.empty()) {
    video->codecpar->extradata = static_cast<std::uint8_t*>(
        av_mallocz(stream.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(video->codecpar->extradata, stream.extradata.data(), stream.extradata.size());
    video->codecpar->extradata_size = static_cast<int>(stream.extradata.size());
  }
  if (avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(context.get(), nullptr) < 0) {
    return std::string(format) + ": cannot write the header";
  }
  PacketHandle packet(av_packet_alloc());
  for (std::size_t i = 0; i < stream.packets.size(); ++i) {
    if (av_new_packet(packet.get(), static_cast<int>(stream.packets[i].size())) < 0) {
      return "out of memory";
    }
    std::memcpy(packet->data, stream.packets[i].data(), stream.packets[i].size());
    // Shifted so that dts starts at 0 whatever the encoder's delay.
    packet->pts = stream.packet_pts[i] + 2;
    packet->dts = stream.packet_dts[i] - stream.packet_dts[0];
    packet->flags = stream.key[i] ? AV_PKT_FLAG_KEY : 0;
    packet->stream_index = 0;
    av_packet_rescale_ts(packet.get(), AVRational{1, 25}, video->time_base);
    if (const int rc = av_interleaved_write_frame(context.get(), packet.get()); rc < 0) {
      return std::string(format) + ": cannot write packet " + std::to_string(i);
    }
  }
  if (av_write_trailer(context.get()) < 0) {
    return std::string(format) + ": cannot write the trailer";
  }
  return {};
}

struct Png {
  int width = 0;
  int height = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;  // rgb24, or rgb48be for 16 bits
  std::string samples;                     // rows without padding, 16-bit ones little-endian
};

// A PNG file decoded with libavcodec; format none if it is not one.
Png read_png(const fs::path& path) {
  const std::string bytes = read_text(path);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  CodecContextHandle context(avcodec_alloc_context3(codec));
  PacketHandle packet(av_packet_alloc());
  FrameHandle frame(av_frame_alloc());
  if (avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return {};
  }
  std::memcpy(packet->data, bytes.data(), bytes.size());
  if (avcodec_send_packet(context.get(), packet.get()) < 0 ||
      avcodec_receive_frame(context.get(), frame.get()) < 0) {
    return {};
  }
  Png png{frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), {}};
  const bool deep = png.format == AV_PIX_FMT_RGB48BE;
  const std::size_t row = static_cast<std::size_t>(frame->width) * (deep ? 6 : 3);
  for (int y = 0; y < frame->height; ++y) {
    png.samples.append(reinterpret_cast<const char*>(frame->data[0] + y * frame->linesize[0]), row);
  }
  for (std::size_t i = 0; deep && i + 1 < png.samples.size(); i += 2) {
    std::swap(png.samples[i], png.samples[i + 1]);
  }
  return png;
}

// Width and height of an 8-bit RGB PNG file; 0x0 if it is not one.
std::pair<int, int> png_size(const fs::path& path) {
  const Png png = read_png(path);
  return png.format == AV_PIX_FMT_RGB24 ? std::make_pair(png.width, png.height)
                                        : std::make_pair(0, 0);
}

bool have_ffmpeg_command() {
  static const bool found = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
  return found;
}

// What `ffmpeg [input_options] -i file -pix_fmt rgb48le` writes: every
// picture, packed; empty when it fails.
std::string ffmpeg_rgb48(const fs::path& dir, const fs::path& file,
                         const std::string& input_options = "") {
  const fs::path raw = dir / "ffmpeg.rgb48";
  const std::string command = "ffmpeg -nostdin -v error -y " + input_options + " -i " +
                              quote(file) + " -f rawvideo -pix_fmt rgb48le " + quote(raw);
  return std::system(command.c_str()) == 0 ? read_text(raw) : std::string();
}

// The tool's 16-bit PNGs of group 0 (every picture, written into `out`),
// packed as ffmpeg_rgb48() gives them; empty when any is not 16-bit.
std::string tool_rgb48(const fs::path& dir, const fs::path& file, const fs::path& out,
                       const std::string& options, std::size_t pictures) {
  const ToolRun run = run_tool(
      dir, "decode " + quote(file) + " --format rgb48 " + options + " --out " + quote(out));
  EXPECT_EQ(run.status, 0) << run.err;
  std::string samples;
  for (std::size_t i = 0; i < pictures; ++i) {
    const Png png = read_png(out / ("group-0000-frame-000" + std::to_string(i) + ".png"));
    if (png.format != AV_PIX_FMT_RGB48BE) {
      return {};
    }
    samples += png.samples;
  }
  return samples;
}

// The pictures libavcodec decodes from an Annex B H.264 file, split into
// access units by libavformat's raw H.264 demuxer.
Result<std::vector<ReferenceFrame>> decode_h264_file(const fs::path& path) {
  auto video = media::read_container_file(path.string(), "h264");
  if (!video) {
    return fail("cannot open " + path.string());
  }
  std::vector<std::vector<std::uint8_t>> packets;
  for (media::ContainerPacket& packet : video->packets) {
    packets.push_back(std::move(packet.bytes));
  }
  return reference_decode(RuntimeCodec::H264, {}, packets);
}

struct ContainerCase {
  const char* name;
  RuntimeCodec codec;
  const char* muxer;
  const char* extension;
  bool global_header;        // parameter sets in the container's codec record
  const char* encoder = "";  // empty: the test media's default for the codec
};

std::ostream& operator<<(std::ostream& out, const ContainerCase& c) {
  return out << c.name;
}

const ContainerCase kContainers[] = {
    {"mp4_h264", RuntimeCodec::H264, "mp4", "mp4", true},
    {"mov_h265", RuntimeCodec::H265, "mov", "mov", true},
    {"mkv_h265", RuntimeCodec::H265, "matroska", "mkv", true},
    {"webm_av1", RuntimeCodec::Av1, "webm", "webm", true},
    {"mxf_h264", RuntimeCodec::H264, "mxf", "mxf", false},
    {"raw_h264", RuntimeCodec::H264, "h264", "264", false},
    {"raw_h265", RuntimeCodec::H265, "hevc", "265", false},
    {"ivf_av1", RuntimeCodec::Av1, "ivf", "ivf", false},
    {"obu_av1", RuntimeCodec::Av1, "obu", "obu", false},
    {"webm_vp9", RuntimeCodec::Vp9, "webm", "webm", false, "libvpx-vp9"},
    {"mp4_vp9", RuntimeCodec::Vp9, "mp4", "mp4", false, "libvpx-vp9"},
    {"ivf_vp8", RuntimeCodec::Vp8, "ivf", "ivf", false, "libvpx"},
};

bool indexed_codec(RuntimeCodec codec) {
  return codec == RuntimeCodec::H264 || codec == RuntimeCodec::H265;
}

class ContainerTest : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(ContainerTest, ToolReadsTheFileAndWritesWhatItSays) {
  const ContainerCase& c = GetParam();
  StreamSpec spec;
  spec.codec = c.codec;
  spec.width = kWidth;
  spec.height = kHeight;
  spec.frame_count = kGroupSize * kGroups;
  spec.gop_size = kGroupSize;
  spec.b_frames = indexed_codec(c.codec) ? 2 : 0;
  spec.global_header = c.global_header;
  spec.encoder = c.encoder;
  spec.colour = media::BT709_LIMITED;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  TempDir dir;
  const fs::path file = dir.path() / (std::string("clip.") + c.extension);
  ASSERT_EQ(mux(stream, c.muxer, file), "");
  const std::string quoted = quote(file);

  ToolRun info = run_tool(dir.path(), "info " + quoted);
  ASSERT_EQ(info.status, 0) << info.err;
  const char* labels[] = {"H.264", "AV1", "H.265", "VP9", "VP8"};
  EXPECT_NE(info.out.find(std::string("codec: ") + labels[static_cast<int>(c.codec)]),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("\npixel format: yuv420p, 8 bits\nrotation: 0 (no display matrix)\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("groups: 3\ngroup lengths: 8 8 8\n"), std::string::npos) << info.out;

  // Two positions of the middle group as resized RGB.
  ToolRun rgb =
      run_tool(dir.path(), "decode " + quoted + " --group 1 --positions 5,0 --rgb 64x32 --out " +
                               quote(dir.path() / "rgb"));
  ASSERT_EQ(rgb.status, 0) << rgb.err;
  EXPECT_EQ(rgb.err, "");  // not a terminal: no progress
  for (const char* name : {"group-0001-frame-0000.png", "group-0001-frame-0005.png"}) {
    EXPECT_EQ(png_size(dir.path() / "rgb" / name), std::make_pair(64, 32)) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "rgb"), fs::directory_iterator()), 2);

  // Every group as YUV 4:2:0: one .y4m each, eight frames of the coded size.
  ToolRun yuv =
      run_tool(dir.path(), "decode " + quoted + " --all --yuv --out " + quote(dir.path() / "yuv"));
  ASSERT_EQ(yuv.status, 0) << yuv.err;
  for (int group = 0; group < kGroups; ++group) {
    const std::string y4m =
        read_text(dir.path() / "yuv" / ("group-000" + std::to_string(group) + ".y4m"));
    const std::string header = "YUV4MPEG2 W160 H96 F25:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n";
    ASSERT_EQ(y4m.substr(0, header.size()), header) << "group " << group;
    const std::size_t frame_bytes = 6 + kWidth * kHeight * 3 / 2;
    EXPECT_EQ(y4m.size(), header.size() + kGroupSize * frame_bytes) << "group " << group;
    for (int i = 0; i < kGroupSize; ++i) {
      EXPECT_EQ(y4m.compare(header.size() + i * frame_bytes, 6, "FRAME\n"), 0) << i;
    }
  }

  // Three pictures of the last group re-encoded: an Annex B stream that
  // libavcodec decodes to three pictures of the source size.
  const fs::path h264 = dir.path() / "out.h264";
  ToolRun transcode =
      run_tool(dir.path(), "transcode " + quoted +
                               " --group 2 --positions 1,3,4 --fps 30000/1001 -o " + quote(h264));
  ASSERT_EQ(transcode.status, 0) << transcode.err;
  auto pictures = decode_h264_file(h264);
  ASSERT_TRUE(pictures) << pictures.error();
  ASSERT_EQ(pictures->size(), 3u);
  EXPECT_EQ(pictures->front().width, kWidth);
  EXPECT_EQ(pictures->front().height, kHeight);

  // The indexed decode: H.264 and H.265 list every picture of the group;
  // other codecs are refused with the library's own message.
  ToolRun indexed = run_tool(dir.path(), "indexed " + quoted + " --group 2");
  if (!indexed_codec(c.codec)) {
    EXPECT_NE(indexed.status, 0);
    EXPECT_NE(indexed.err.find("Indexed decode requires H264 or H265 YUV420"), std::string::npos)
        << indexed.err;
  } else {
    ASSERT_EQ(indexed.status, 0) << indexed.err;
    EXPECT_EQ(std::count(indexed.out.begin(), indexed.out.end(), '\n'), 1 + kGroupSize)
        << indexed.out;
    EXPECT_NE(indexed.out.find("\n0 0 160x96 tv bt709 bt709 bt709\n"), std::string::npos)
        << indexed.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, ContainerTest, ::testing::ValuesIn(kContainers),
                         [](const auto& info) { return std::string(info.param.name); });

// What a user gets wrong, and what the tool answers: an exit status other than
// 0 and a message on standard error.
struct FailureCase {
  const char* name;
  std::string arguments;  // FILE stands for a file the test makes first
  const char* file_contents;
  const char* message;
};

TEST(VantleVideoTool, FailuresExitNonZeroWithAMessage) {
  TempDir dir;
  const FailureCase cases[] = {
      {"missing file", "info " + quote(dir.path() / "absent.mp4"), nullptr,
       "No such file or directory"},
      {"not a video file", "info FILE", "this is not video", "Invalid data found"},
      {"group out of range", "decode --group 7 --out " + quote(dir.path()), nullptr,
       "--group 7: built-in example has 3 groups (0 to 2)"},
      {"the library refuses the request", "transcode --fps 0/1 -o " + quote(dir.path() / "x.h264"),
       nullptr, "H.264 frame rate must be positive"},
      {"unknown option", "info --frobnicate", nullptr, "unknown option --frobnicate"},
      {"unknown format", "decode --format rgb24 --out " + quote(dir.path()), nullptr,
       "--format rgb24: not rgb, rgb48, yuv420 or yuv420p16"},
      {"formats that exclude each other", "decode --yuv --format rgb48 --out " + quote(dir.path()),
       nullptr, "--yuv and --format rgb48 exclude each other"},
      {"unknown command", "frobnicate", nullptr, "unknown command 'frobnicate'"},
  };
  for (const FailureCase& c : cases) {
    std::string arguments = c.arguments;
    if (c.file_contents != nullptr) {
      const fs::path file = dir.path() / "input.264";
      std::ofstream(file) << c.file_contents;
      arguments.replace(arguments.find("FILE"), 4, quote(file));
    }
    const ToolRun run = run_tool(dir.path(), arguments);
    EXPECT_NE(run.status, 0) << c.name;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << ": " << run.err;
  }
}

// A file whose video the library does not decode: the container says
// MPEG-4 Part 2 (the muxer only copies the packets).
TEST(VantleVideoTool, RefusesOtherCodecsByName) {
  StreamSpec spec;
  spec.width = kWidth;
  spec.height = kHeight;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  TempDir dir;
  const fs::path file = dir.path() / "clip.mkv";
  ASSERT_EQ(mux(stream, "matroska", file, AV_CODEC_ID_MPEG4), "");
  const ToolRun run = run_tool(dir.path(), "info " + quote(file));
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("codec mpeg4 is not H.264, H.265, AV1, VP9 or VP8"), std::string::npos)
      << run.err;
}

// A stream larger than the library's default picture area: info and decode
// exit with status 1 and the library's refusal.
TEST(VantleVideoTool, OversizedStreamsAreRefusedWithTheLibraryMessage) {
  StreamSpec spec;
  spec.width = 9000;
  spec.height = 4400;
  spec.frame_count = 2;
  spec.content = PictureContent::Flat;
  spec.options = {{"preset", "ultrafast"}};
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  TempDir dir;
  const fs::path file = dir.path() / "large.264";
  ASSERT_EQ(mux(stream, "h264", file), "");
  for (const std::string& command :
       {std::string("info "), "decode --yuv -o " + quote(dir.path()) + " "}) {
    const ToolRun run = run_tool(dir.path(), command + quote(file));
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_NE(run.err.find("H.264 stream declares a 9000x4400 picture (39600000 pixels), above "
                           "the picture area limit of 35389440 pixels"),
              std::string::npos)
        << command << run.err;
  }
}

// Without FILE every command works on the built-in example, and every
// command documents itself.
TEST(VantleVideoTool, BuiltInExampleAndHelp) {
  TempDir dir;
  const ToolRun decode = run_tool(dir.path(), "decode --rgb --out " + quote(dir.path() / "frames"));
  ASSERT_EQ(decode.status, 0) << decode.err;
  EXPECT_NE(decode.out.find("25 files in"), std::string::npos) << decode.out;
  EXPECT_EQ(png_size(dir.path() / "frames" / "group-0000-frame-0024.png"),
            std::make_pair(640, 360));
  for (const char* command : {"info", "decode", "indexed", "transcode", "bench"}) {
    const ToolRun help = run_tool(dir.path(), std::string(command) + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: vantle-video ") + command, 0), 0u) << help.out;
  }
}

// Display matrices, with the rotation ffprobe reports, the filters the ffmpeg
// command line's autorotation inserts and the options that must do the same.
struct RotationCase {
  const char* filters;
  std::int32_t a, b, c, d;  // matrix[0], [1], [3], [4] in 16.16
  const char* ffprobe;
  std::uint32_t rotation;
  std::uint32_t flip;
};

constexpr std::int32_t kOne = 1 << 16;
constexpr std::uint32_t kH = RuntimeFlip_Horizontal;
constexpr std::uint32_t kV = RuntimeFlip_Vertical;

const RotationCase kRotations[] = {
    {"transpose=cclock", 0, -kOne, kOne, 0, "90", 270, 0},  // what rotate=90 writes
    {"transpose=clock", 0, kOne, -kOne, 0, "-90", 90, 0},
    {"hflip,vflip", -kOne, 0, 0, -kOne, "-180", 0, kH | kV},
    {"transpose=cclock_flip", 0, kOne, kOne, 0, "-90", 90, kH},
    {"transpose=clock_flip", 0, -kOne, -kOne, 0, "90", 270, kH},
    {"hflip", -kOne, 0, 0, kOne, "-180", 0, kH},
    {"vflip", kOne, 0, 0, -kOne, "0", 0, kV},
    // Not a quarter turn: the command line's rotate filter, which the library lacks.
    {"rotate", 46341, 46341, -46341, 46341, "-45", 0, 0},
};

// Each matrix in an MP4 file: info reports it as ffprobe does, and decode's
// 16-bit pictures equal the command line's, turned upright and as stored.
TEST(VantleVideoTool, TurnsPicturesUprightAsTheCommandLineDoes) {
  StreamSpec spec;
  spec.width = 64;
  spec.height = 48;
  spec.frame_count = 2;
  spec.global_header = true;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  TempDir dir;
  for (const RotationCase& c : kRotations) {
    SCOPED_TRACE(c.filters);
    DisplayMatrix matrix{c.a, c.b, 0, c.c, c.d, 0, 0, 0, 1 << 30};
    const RuntimeDecodeOptions options = media::upright_options(matrix);
    EXPECT_EQ(options.size, sizeof(RuntimeDecodeOptions));
    EXPECT_EQ(options.rotation, c.rotation);
    EXPECT_EQ(options.flip, c.flip);

    const fs::path file = dir.path() / (std::string(c.filters) + ".mp4");
    ASSERT_EQ(mux(stream, "mp4", file, AV_CODEC_ID_NONE, &matrix), "");
    const ToolRun info = run_tool(dir.path(), "info " + quote(file));
    EXPECT_NE(info.out.find(std::string("\nrotation: ") + c.ffprobe + " (display matrix"),
              std::string::npos)
        << info.out;
    if (!have_ffmpeg_command() || c.rotation + c.flip == 0) {
      continue;
    }
    const std::string upright = ffmpeg_rgb48(dir.path(), file);
    ASSERT_EQ(upright.size(), 2u * 64 * 48 * 6);
    EXPECT_TRUE(tool_rgb48(dir.path(), file, dir.path() / c.filters, "", 2) == upright);
    const std::string stored = ffmpeg_rgb48(dir.path(), file, "-noautorotate");
    EXPECT_TRUE(tool_rgb48(dir.path(), file, dir.path() / c.filters, "--no-autorotate", 2) ==
                stored);
  }
  if (!have_ffmpeg_command()) {
    GTEST_SKIP() << "no ffmpeg command line to compare pictures with";
  }
}

// A 10-bit source: info names its format and depth, and each output format
// that takes it keeps what it promises (8-bit YUV refuses it).
TEST(VantleVideoTool, WritesEachFormat) {
  StreamSpec spec;
  spec.codec = RuntimeCodec::H265;
  spec.width = 64;
  spec.height = 48;
  spec.frame_count = 2;
  spec.pix_fmt = AV_PIX_FMT_YUV420P10LE;
  spec.global_header = true;
  spec.colour.range = AVCOL_RANGE_MPEG;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  TempDir dir;
  const fs::path file = dir.path() / "deep.mkv";
  ASSERT_EQ(mux(stream, "matroska", file), "");
  const ToolRun info = run_tool(dir.path(), "info " + quote(file));
  EXPECT_NE(info.out.find("\npixel format: yuv420p10le, 10 bits\n"), std::string::npos) << info.out;

  struct FormatCase {
    const char* options;
    const char* first_file;
    const char* y4m_header;  // nullptr: PNG
    AVPixelFormat png_format;
    std::size_t bytes;  // of the first file's pictures
  };
  const FormatCase cases[] = {
      {"--format rgb", "group-0000-frame-0000.png", nullptr, AV_PIX_FMT_RGB24, 64 * 48 * 3},
      {"--rgb 32x16 --format rgb48", "group-0000-frame-0000.png", nullptr, AV_PIX_FMT_RGB48BE,
       32 * 16 * 6},
      {"--format yuv420p16", "group-0000.y4m", "C420p16 XYSCSS=420P16 XCOLORRANGE=LIMITED\n",
       AV_PIX_FMT_NONE, 2 * (6 + 64 * 48 * 3)},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.options);
    const fs::path out = dir.path() / "out";
    fs::remove_all(out);
    const ToolRun run =
        run_tool(dir.path(), "decode " + quote(file) + " " + c.options + " --out " + quote(out));
    ASSERT_EQ(run.status, 0) << run.err;
    if (c.y4m_header == nullptr) {
      const Png png = read_png(out / c.first_file);
      EXPECT_EQ(png.format, c.png_format);
      EXPECT_EQ(png.samples.size(), c.bytes);
    } else {
      const std::string y4m = read_text(out / c.first_file);
      const std::string header = std::string("YUV4MPEG2 W64 H48 F25:1 Ip A1:1 ") + c.y4m_header;
      EXPECT_EQ(y4m.substr(0, header.size()), header);
      EXPECT_EQ(y4m.size() - header.size(), c.bytes);
    }
  }
  if (have_ffmpeg_command()) {
    EXPECT_TRUE(tool_rgb48(dir.path(), file, dir.path() / "rgb48", "", 2) ==
                ffmpeg_rgb48(dir.path(), file));
  }
}

}  // namespace
}  // namespace vantle::testing
