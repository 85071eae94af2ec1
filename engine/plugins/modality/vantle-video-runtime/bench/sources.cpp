#include <numeric>
#include <utility>

#include "bench.h"
#include "media/synthetic_clip.h"
#include "runtime/codec_label.h"
#include "runtime/owned_response.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vantle::bench {

namespace {

// The encoders to try, in order, with their options. x265 makes open groups
// by default, and a group decoded alone would lose its leading pictures; AV1
// without lag has one shown picture per access unit.
struct Encoder {
  RuntimeCodec codec;
  const char* name;
  std::vector<std::pair<std::string, std::string>> options;
};
const Encoder ENCODERS[] = {
    {RuntimeCodec::H264, "libx264", {{"preset", "veryfast"}, {"x264-params", "scenecut=0"}}},
    {RuntimeCodec::H265,
     "libx265",
     {{"preset", "veryfast"}, {"x265-params", "scenecut=0:open-gop=0:log-level=error:info=0"}}},
    {RuntimeCodec::Av1,
     "libaom-av1",
     {{"usage", "realtime"}, {"cpu-used", "8"}, {"lag-in-frames", "0"}}},
    {RuntimeCodec::Av1, "libsvtav1", {{"preset", "12"}}},
    // Realtime without lag: fast to make, and no hidden pictures.
    {RuntimeCodec::Vp9,
     "libvpx-vp9",
     {{"deadline", "realtime"}, {"cpu-used", "8"}, {"lag-in-frames", "0"}}}};

// A moving pattern with noise, so that the stream has a host's bit rate.
void paint(AVFrame& frame, int index) {
  std::uint32_t noise = 2463534242u + static_cast<std::uint32_t>(index) * 7919u;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int shift = desc->comp[0].depth - 8;
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane == 0 ? frame.width : frame.width / 2;
    const int height = plane == 0 ? frame.height : frame.height / 2;
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row =
          frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane];
      for (int x = 0; x < width; ++x) {
        noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
        const int moving = ((x + 3 * index) ^ (y + 2 * index)) + plane * 64;
        const auto value = (((moving & 0xff) / 2 + 64) << shift) + (noise & ((8u << shift) - 1));
        if (shift > 0) {
          reinterpret_cast<std::uint16_t*>(row)[x] = static_cast<std::uint16_t>(value);
        } else {
          row[x] = static_cast<std::uint8_t>(value);
        }
      }
    }
  }
}

}  // namespace

Source make_source(RuntimeCodec codec, int height, int groups, bool b_frames, int bits) {
  Source source;
  source.codec = codec;
  source.bits = bits;
  std::fprintf(stderr, "encoding %s %dx%d %d-bit ...\n", runtime::codec_label(codec),
               height * 16 / 9, height, bits);
  for (const auto& [for_codec, name, options] : ENCODERS) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(name);
    if (for_codec != codec || encoder == nullptr) {
      continue;
    }
    media::EncoderSettings settings;
    settings.options = options;
    settings.width = height * 16 / 9;
    settings.height = height;
    settings.pix_fmt = bits == 10   ? AV_PIX_FMT_YUV420P10LE
                       : bits == 12 ? AV_PIX_FMT_YUV420P12LE
                                    : AV_PIX_FMT_YUV420P;
    settings.gop_size = GROUP_PICTURES;
    settings.b_frames = b_frames ? -1 : 0;  // -1: the preset's
    settings.colour.space = AVCOL_SPC_BT709;
    settings.colour.range = AVCOL_RANGE_MPEG;
    media::EncodedPictures encoded;
    for (int group = 0; group < groups; ++group) {
      const int first = group * GROUP_PICTURES;
      if (auto done = media::encode_pictures(*encoder, settings, first, first + GROUP_PICTURES,
                                             paint, encoded);
          !done) {
        source.error = std::string(name) + ": " + done.error();
        return source;
      }
    }
    if (encoded.packets.size() != static_cast<std::size_t>(groups * GROUP_PICTURES)) {
      source.error = std::string(name) + " made " + std::to_string(encoded.packets.size()) +
                     " access units for " + std::to_string(groups * GROUP_PICTURES) + " pictures";
      return source;
    }
    source.groups.resize(static_cast<std::size_t>(groups));
    for (std::size_t i = 0; i < encoded.packets.size(); ++i) {
      source.bytes.push_back(std::move(encoded.packets[i].bytes));
      source.groups[i / GROUP_PICTURES].push_back(
          {source.bytes.back().data(), source.bytes.back().size()});
    }
    return source;
  }
  source.error = std::string("this FFmpeg has no ") + runtime::codec_label(codec) + " encoder";
  return source;
}

Result<std::size_t> library_call(const Source& source, std::size_t group, const Job& job) {
  const std::vector<RuntimePacket>& packets = source.groups[group];
  std::vector<std::size_t> positions(job.work == Work::Transcode ? packets.size() : 0);
  std::iota(positions.begin(), positions.end(), 0);
  const RuntimeTranscodeRequest transcode{
      {source.codec, source.extradata.data(), source.extradata.size(), 0,
       static_cast<std::uint32_t>(job.width), static_cast<std::uint32_t>(job.height),
       job.work == Work::Rgb     ? RuntimePixelFormat::Rgb
       : job.work == Work::Rgb48 ? RuntimePixelFormat::Rgb48
                                 : RuntimePixelFormat::Yuv420,
       packets.data(), packets.size(), positions.empty() ? nullptr : positions.data(),
       positions.size()},
      25,
      1,
      0};
  // The count is read and the response released before the next call.
  auto call = [](auto export_call, const auto& request, auto response) -> Result<std::size_t> {
    if (export_call(&request, response.out()) != 0) {
      const RuntimeBytes text = vantle_video_runtime_last_error();
      return vantle::fail(std::string(reinterpret_cast<const char*>(text.data), text.len));
    }
    return response.items().size();
  };
  const RuntimeDecodeOptions turn{sizeof(RuntimeDecodeOptions), job.rotation, 0, 0};
  auto turned = [&turn](const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) {
    return vantle_video_runtime_decode_with_options(request, &turn, response);
  };
  switch (job.work) {
    case Work::Rgb:
    case Work::Rgb48:
    case Work::Yuv420:
      if (job.rotation != 0) {
        return call(turned, transcode.decode, runtime::DecodedFrames{});
      }
      return call(vantle_video_runtime_decode, transcode.decode, runtime::DecodedFrames{});
    case Work::Indexed:
      return call(vantle_video_runtime_decode_indexed, transcode.decode, runtime::IndexedFrames{});
    case Work::Transcode:
      break;
  }
  return call(vantle_video_runtime_transcode_h264, transcode, runtime::AccessUnits{});
}

}  // namespace vantle::bench
