#include <numeric>
#include <utility>

#include "bench.h"
#include "media/synthetic_clip.h"
#include "runtime/codec_label.h"

namespace vantle::bench {

namespace {

using EncoderOptions = std::vector<std::pair<std::string, std::string>>;

// The encoders to try for a codec, in order, with their options.
std::vector<std::pair<const char*, EncoderOptions>> encoders_for(RuntimeCodec codec) {
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

}  // namespace

Source make_source(RuntimeCodec codec, int height, int groups, bool b_frames) {
  Source source;
  source.codec = codec;
  std::fprintf(stderr, "encoding %s %dx%d ...\n", runtime::codec_label(codec), height * 16 / 9,
               height);
  for (const auto& [name, options] : encoders_for(codec)) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(name);
    if (encoder == nullptr) {
      continue;
    }
    media::EncoderSettings settings;
    settings.width = height * 16 / 9;
    settings.height = height;
    settings.gop_size = GROUP_PICTURES;
    settings.max_b_frames = b_frames ? -1 : 0;  // -1: the preset's
    settings.color_space = AVCOL_SPC_BT709;
    settings.color_range = AVCOL_RANGE_MPEG;
    settings.options = options;
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

std::expected<std::size_t, std::string> library_call(const Source& source, std::size_t group,
                                                     const Job& job) {
  const std::vector<RuntimePacket>& packets = source.groups[group];
  std::vector<std::size_t> positions(job.work == Work::Transcode ? packets.size() : 0);
  std::iota(positions.begin(), positions.end(), 0);
  const RuntimeTranscodeRequest transcode{
      {source.codec, source.extradata.data(), source.extradata.size(), 0,
       static_cast<std::uint32_t>(job.width), static_cast<std::uint32_t>(job.height),
       job.work == Work::Rgb ? RuntimePixelFormat::Rgb : RuntimePixelFormat::Yuv420, packets.data(),
       packets.size(), positions.empty() ? nullptr : positions.data(), positions.size()},
      25,
      1,
      0};
  // The count is read and the response released before the next call.
  auto call = [](auto export_call, auto release, const auto& request, auto response,
                 auto count) -> std::expected<std::size_t, std::string> {
    const int status = export_call(&request, &response);
    const RuntimeBytes text = vantle_video_runtime_last_error();
    std::expected<std::size_t, std::string> made = response.*count;
    if (status != 0) {
      made = std::unexpected(std::string(reinterpret_cast<const char*>(text.data), text.len));
    }
    release(&response);
    return made;
  };
  switch (job.work) {
    case Work::Rgb:
    case Work::Yuv420:
      return call(vantle_video_runtime_decode, vantle_video_runtime_free_response, transcode.decode,
                  RuntimeDecodeResponse{}, &RuntimeDecodeResponse::frame_count);
    case Work::Indexed:
      return call(vantle_video_runtime_decode_indexed, vantle_video_runtime_free_indexed_response,
                  transcode.decode, RuntimeIndexedResponse{}, &RuntimeIndexedResponse::frame_count);
    case Work::Transcode:
      break;
  }
  return call(vantle_video_runtime_transcode_h264, vantle_video_runtime_free_transcode_response,
              transcode, RuntimeTranscodeResponse{}, &RuntimeTranscodeResponse::access_unit_count);
}

}  // namespace vantle::bench
