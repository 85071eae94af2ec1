#include "bench_media.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "media/synthetic_clip.h"

namespace vantle::bench {

namespace {

// The encoders to try for a codec, in order, with their options.
std::vector<std::pair<const char*, std::vector<std::pair<const char*, const char*>>>> encoders_for(
    RuntimeCodec codec) {
  switch (codec) {
    case RuntimeCodec::H264:
      return {{"libx264", {{"preset", "veryfast"}, {"x264-params", "scenecut=0"}}}};
    case RuntimeCodec::H265:
      // x265 makes open groups by default; a group decoded alone would then
      // lose its leading pictures.
      return {{"libx265",
               {{"preset", "veryfast"},
                {"x265-params", "scenecut=0:open-gop=0:log-level=error:info=0"}}}};
    case RuntimeCodec::Av1:
      break;
  }
  // No lag: one shown picture per access unit.
  return {{"libaom-av1", {{"usage", "realtime"}, {"cpu-used", "8"}, {"lag-in-frames", "0"}}},
          {"libsvtav1", {{"preset", "12"}}}};
}

// A moving pattern with noise, so that the stream has a host's bit rate.
void paint(AVFrame& frame, int index) {
  std::uint32_t noise = 2463534242u + static_cast<std::uint32_t>(index) * 7919u;
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane == 0 ? frame.width : frame.width / 2;
    const int height = plane == 0 ? frame.height : frame.height / 2;
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row =
          frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane];
      for (int x = 0; x < width; ++x) {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        const int moving = ((x + 3 * index) ^ (y + 2 * index)) + plane * 64;
        row[x] = static_cast<std::uint8_t>((moving & 0xff) / 2 + 64 + (noise & 7));
      }
    }
  }
}

// Encodes GROUP_PICTURES pictures with the first encoder that opens.
void encode(Group& group) {
  for (const auto& [name, options] : encoders_for(group.codec)) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
      continue;
    }
    media::EncoderSettings settings;
    settings.width = group.width;
    settings.height = group.height;
    settings.gop_size = GROUP_PICTURES;
    settings.max_b_frames = -1;  // the preset's
    settings.color_space = AVCOL_SPC_BT709;
    settings.color_range = AVCOL_RANGE_MPEG;
    for (const auto& [key, value] : options) {
      settings.options.emplace_back(key, value);
    }
    media::EncodedPictures encoded;
    if (auto done = media::encode_pictures(*codec, settings, 0, GROUP_PICTURES, paint, encoded);
        !done) {
      group.error = std::string(name) + ": " + done.error();
      return;
    }
    group.encoder = name;
    for (media::EncodedPacket& packet : encoded.packets) {
      group.packets.push_back(std::move(packet.bytes));
    }
    for (const auto& bytes : group.packets) {
      group.runtime_packets.push_back(RuntimePacket{bytes.data(), bytes.size()});
      group.bytes += bytes.size();
    }
    if (group.packets.size() != GROUP_PICTURES) {
      group.error = std::string(name) + " made " + std::to_string(group.packets.size()) +
                    " access units for " + std::to_string(GROUP_PICTURES) + " pictures";
    }
    return;
  }
  group.error = std::string("this FFmpeg has no ") + codec_label(group.codec) + " encoder";
}

}  // namespace

RuntimeDecodeRequest Group::request(RuntimePixelFormat format, std::uint32_t out_width,
                                    std::uint32_t out_height) const {
  RuntimeDecodeRequest request{};
  request.codec = codec;
  request.output_width = out_width;
  request.output_height = out_height;
  request.pixel_format = format;
  request.packets = runtime_packets.data();
  request.packet_count = runtime_packets.size();
  return request;
}

const Group& bench_group(RuntimeCodec codec, int height) {
  static std::mutex mutex;
  static std::map<std::pair<RuntimeCodec, int>, std::unique_ptr<Group>> made;
  const std::lock_guard lock(mutex);
  std::unique_ptr<Group>& group = made[{codec, height}];
  if (!group) {
    group = std::make_unique<Group>();
    group->codec = codec;
    group->height = height;
    group->width = height * 16 / 9;
    group->label = std::string(codec_label(codec)) + " " + std::to_string(group->width) + "x" +
                   std::to_string(height);
    std::fprintf(stderr, "encoding %s ...\n", group->label.c_str());
    encode(*group);
  }
  return *group;
}

}  // namespace vantle::bench
