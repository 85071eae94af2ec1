// Writes the fuzz targets' seed corpus: streams made by the test fixture's
// encoders, and the access units of public bitstreams given on the command
// line (Annex B H.264/H.265, IVF and raw OBU AV1; other containers are
// skipped, the library's inputs carry no container).
//
//   make_fuzz_seeds OUTPUT_DIR [STREAM_FILE_OR_DIR...]
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "support/media.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using vantle::testing::StreamSpec;

// A seed stays small so that mutating it stays fast.
constexpr std::size_t kMaxSeedBytes = 48 * 1024;
constexpr std::size_t kMaxSeedPackets = 24;

struct Variant {
  const char* suffix;
  std::uint8_t flags;
  std::uint16_t width, height, mask;
};
// YUV420 at a few positions, RGB scaled, RGB at the picture's own size with
// every picture selected (mask 0: the transcode refuses it at once).
// The same at 16 bits, the native one turned through the options export.
constexpr Variant kVariants[] = {
    {"yuv", 0, 0, 0, 0x000b},          {"rgb_small", 1, 32, 24, 0x0005},
    {"rgb_native", 3, 0, 0, 0x0000},   {"yuv16", 64, 0, 0, 0x0003},
    {"rgb48_small", 65, 24, 32, 0x0005}, {"rgb48_turned", 64 | 128 | 3, 0, 0, 0x0000}};

void put_le(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

int write_seeds(const fs::path& dir, const std::string& name, RuntimeCodec codec,
                const Bytes& extradata, const std::vector<Bytes>& packets) {
  int written = 0;
  for (const Variant& variant : kVariants) {
    // VP9 and VP8 are picked by flag bits (fuzz_input.h).
    const std::uint8_t codec_flags =
        codec == RuntimeCodec::Vp9 ? 16 : codec == RuntimeCodec::Vp8 ? 32 : 0;
    Bytes seed;
    seed.push_back(codec_flags != 0 ? 0 : static_cast<std::uint8_t>(codec));
    seed.push_back(static_cast<std::uint8_t>(variant.flags | codec_flags));
    put_le(seed, variant.width, 2);
    put_le(seed, variant.height, 2);
    put_le(seed, variant.mask, 2);
    put_le(seed, 25, 4);
    put_le(seed, 1, 4);
    seed.insert(seed.end(), extradata.begin(), extradata.end());
    for (std::size_t i = 0; i < packets.size() && i < kMaxSeedPackets; ++i) {
      if (seed.size() + FUZZ_TAG_LEN + packets[i].size() > kMaxSeedBytes && i > 0)
        break;
      seed.insert(seed.end(), FUZZ_TAG, FUZZ_TAG + FUZZ_TAG_LEN);
      seed.insert(seed.end(), packets[i].begin(), packets[i].end());
    }
    std::ofstream(dir / (name + "_" + variant.suffix), std::ios::binary)
        .write(reinterpret_cast<const char*>(seed.data()),
               static_cast<std::streamsize>(seed.size()));
    ++written;
  }
  return written;
}

// Access units of an elementary stream, split by FFmpeg's own parser.
std::vector<Bytes> parse_units(AVCodecID id, const Bytes& data) {
  std::vector<Bytes> units;
  AVCodecParserContext* parser = av_parser_init(id);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  if (parser == nullptr || context == nullptr)
    return units;
  std::size_t offset = 0;
  while (units.size() < kMaxSeedPackets) {
    std::uint8_t* out = nullptr;
    int out_size = 0;
    const int left = static_cast<int>(data.size() - offset);
    const int used =
        av_parser_parse2(parser, context, &out, &out_size, left ? data.data() + offset : nullptr,
                         left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0)
      break;
    offset += static_cast<std::size_t>(used);
    if (out_size > 0)
      units.emplace_back(out, out + out_size);
    if (left == 0 && out_size == 0)
      break;
  }
  avcodec_free_context(&context);
  av_parser_close(parser);
  return units;
}

// Frames of an IVF file (32-byte file header, 12-byte frame headers).
std::vector<Bytes> ivf_frames(const Bytes& data) {
  std::vector<Bytes> frames;
  if (data.size() < 32)
    return frames;
  std::size_t offset = data[6] | data[7] << 8;
  while (offset + 12 <= data.size() && frames.size() < kMaxSeedPackets) {
    const std::size_t size = data[offset] | data[offset + 1] << 8 | data[offset + 2] << 16 |
                             static_cast<std::size_t>(data[offset + 3]) << 24;
    offset += 12;
    if (size > data.size() - offset)
      break;
    frames.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(offset),
                        data.begin() + static_cast<std::ptrdiff_t>(offset + size));
    offset += size;
  }
  return frames;
}

int seeds_from_file(const fs::path& dir, const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string name = "file_" + file.filename().string();
  const std::string path = file.string();
  if (data.size() >= 4 && std::memcmp(data.data(), "DKIF", 4) == 0) {
    return write_seeds(dir, name, RuntimeCodec::Av1, {}, ivf_frames(data));
  }
  if (file.extension() == ".obu") {
    return write_seeds(dir, name, RuntimeCodec::Av1, {}, parse_units(AV_CODEC_ID_AV1, data));
  }
  const bool annex_b = data.size() >= 4 && data[0] == 0 && data[1] == 0 &&
                       (data[2] == 1 || (data[2] == 0 && data[3] == 1));
  if (!annex_b) {
    std::printf("skipped (no Annex B, IVF or OBU): %s\n", path.c_str());
    return 0;
  }
  const bool hevc = path.find("hevc") != std::string::npos || file.extension() == ".265";
  return write_seeds(dir, name, hevc ? RuntimeCodec::H265 : RuntimeCodec::H264, {},
                     parse_units(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264, data));
}

StreamSpec spec(RuntimeCodec codec, int width, int height, int frames, int b_frames,
                bool global_header) {
  StreamSpec s;
  s.codec = codec;
  s.width = width;
  s.height = height;
  s.frame_count = frames;
  s.b_frames = b_frames;
  s.global_header = global_header;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR [STREAM_FILE_OR_DIR...]\n", argv[0]);
    return 2;
  }
  const fs::path dir = argv[1];
  fs::create_directories(dir);
  vantle::testing::QuietFfmpegLog quiet;
  int written = 0;

  std::vector<std::pair<std::string, StreamSpec>> specs = {
      {"h264_bframes", spec(RuntimeCodec::H264, 64, 48, 8, 2, true)},
      {"h264_inband_gop4", spec(RuntimeCodec::H264, 48, 32, 8, 0, false)},
      {"h265_bframes", spec(RuntimeCodec::H265, 64, 48, 8, 2, true)},
      {"h265_inband", spec(RuntimeCodec::H265, 32, 32, 4, 0, false)},
      {"av1_small", spec(RuntimeCodec::Av1, 64, 48, 6, 0, false)},
      {"av1_odd", spec(RuntimeCodec::Av1, 33, 17, 3, 0, true)},
  };
  specs[1].second.gop_size = 4;
  StreamSpec size_change = spec(RuntimeCodec::H264, 32, 32, 6, 0, false);
  size_change.resolution_changes = {{3, 48, 16}};
  specs.emplace_back("h264_size_change", size_change);
  StreamSpec ten_bit = spec(RuntimeCodec::H265, 32, 32, 2, 0, false);
  ten_bit.pix_fmt = AV_PIX_FMT_YUV420P10LE;
  specs.emplace_back("h265_10bit", ten_bit);
  specs.emplace_back("vp9_small", spec(RuntimeCodec::Vp9, 64, 48, 6, 0, false));
  specs.emplace_back("vp9_odd", spec(RuntimeCodec::Vp9, 33, 17, 3, 0, false));
  StreamSpec vp9_deep = spec(RuntimeCodec::Vp9, 32, 32, 3, 0, false);
  vp9_deep.pix_fmt = AV_PIX_FMT_YUV420P10LE;
  specs.emplace_back("vp9_10bit", vp9_deep);
  specs.emplace_back("vp8_small", spec(RuntimeCodec::Vp8, 64, 48, 6, 0, false));

  for (const auto& [name, s] : specs) {
    const vantle::testing::EncodedStream stream = vantle::testing::encode_stream(s);
    if (!stream.ok()) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), stream.error.c_str());
      if (stream.encoder_missing)
        continue;
      return 1;
    }
    written += write_seeds(dir, name, stream.codec, stream.extradata, stream.packets);
  }
  for (int i = 2; i < argc; ++i) {
    const fs::path source = argv[i];
    if (fs::is_directory(source)) {
      for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_regular_file())
          written += seeds_from_file(dir, entry.path());
      }
    } else {
      written += seeds_from_file(dir, source);
    }
  }
  std::printf("%d seeds in %s\n", written, dir.c_str());
  return 0;
}
