#include "bench_media.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "bare_decoder.h"
#include "common/text.h"
#include "support/media.h"

namespace vantle::bench {

namespace {

struct ClipShape {
  RuntimeCodec codec;
  const char* codec_label;
  const char* tag;
  int width;
  int height;
};

ClipShape shape_of(Clip clip) {
  switch (clip) {
    case Clip::H264_360p:
      return {RuntimeCodec::H264, "H.264", "H264_360p", 640, 360};
    case Clip::H264_720p:
      return {RuntimeCodec::H264, "H.264", "H264_720p", 1280, 720};
    case Clip::H264_1080p:
      return {RuntimeCodec::H264, "H.264", "H264_1080p", 1920, 1080};
    case Clip::H265_360p:
      return {RuntimeCodec::H265, "H.265", "H265_360p", 640, 360};
    case Clip::H265_720p:
      return {RuntimeCodec::H265, "H.265", "H265_720p", 1280, 720};
    case Clip::H265_1080p:
      return {RuntimeCodec::H265, "H.265", "H265_1080p", 1920, 1080};
    case Clip::Av1_360p:
      return {RuntimeCodec::Av1, "AV1", "AV1_360p", 640, 360};
    case Clip::Av1_720p:
      return {RuntimeCodec::Av1, "AV1", "AV1_720p", 1280, 720};
    case Clip::Av1_1080p:
      break;
  }
  return {RuntimeCodec::Av1, "AV1", "AV1_1080p", 1920, 1080};
}

testing::StreamSpec spec_of(const ClipShape& shape, int frame_count) {
  testing::StreamSpec spec;
  spec.codec = shape.codec;
  spec.width = shape.width;
  spec.height = shape.height;
  spec.frame_count = frame_count;
  spec.gop_size = static_cast<int>(GROUP_PICTURES);
  // x264 and x265 both take two B-frames with the fixture's fixed pattern
  // and closed groups: the first 12 packets decode to 12 pictures alone.
  // AV1 streams never reorder, whatever this says.
  spec.b_frames = 2;
  spec.content = testing::PictureContent::Moving;
  return spec;
}

// Copies `count` packets of the stream and checks with a bare decode that
// they give `count` pictures on their own.
std::unique_ptr<PacketRun> make_run(const ClipShape& shape, int frame_count, std::size_t count) {
  auto run = std::make_unique<PacketRun>();
  run->codec = shape.codec;
  run->width = shape.width;
  run->height = shape.height;
  run->label = str_cat(shape.codec_label, " ", shape.width, "x", shape.height);
  run->tag = shape.tag;

  const auto started = std::chrono::steady_clock::now();
  std::fprintf(stderr, "encoding %d frames of %s ...\n", frame_count, run->label.c_str());
  const testing::EncodedStream stream = testing::encode_stream(spec_of(shape, frame_count));
  if (!stream.ok()) {
    run->error = str_cat("test media: ", stream.error);
    run->encoder_missing = stream.encoder_missing;
    return run;
  }
  std::fprintf(stderr, "  done in %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if (stream.packets.size() < count) {
    run->error =
        str_cat("the encoder made ", stream.packets.size(), " packets, ", count, " were wanted");
    return run;
  }
  run->encoder = stream.encoder;
  for (std::size_t i = 0; i < count; ++i) {
    run->bytes += stream.packets[i].size();
    run->reordered = run->reordered || (i > 0 && stream.packet_pts[i] < stream.packet_pts[i - 1]);
  }
  run->extradata = stream.extradata;
  run->packets.assign(stream.packets.begin(),
                      stream.packets.begin() + static_cast<std::ptrdiff_t>(count));
  for (const std::vector<std::uint8_t>& packet : run->packets) {
    run->runtime_packets.push_back(RuntimePacket{packet.data(), packet.size()});
  }

  auto decoder = BareDecoder::open(run->codec, run->extradata, 1);
  if (!decoder) {
    run->error = decoder.error();
    return run;
  }
  std::size_t pictures = 0;
  if (auto decoded = decoder->decode(run->packets, false, [&](AVFrame&) { ++pictures; });
      !decoded) {
    run->error = decoded.error();
    return run;
  }
  run->pictures = pictures;
  if (pictures != count) {
    run->error = str_cat(count, " packets decoded to ", pictures, " pictures");
  }
  return run;
}

std::mutex RUNS_MUTEX;
// Guarded by RUNS_MUTEX.
std::vector<const PacketRun*> MADE_RUNS;

}  // namespace

RuntimeDecodeRequest PacketRun::request(RuntimePixelFormat format, std::uint32_t output_width,
                                        std::uint32_t output_height) const {
  RuntimeDecodeRequest request{};
  request.codec = codec;
  request.extradata = extradata.empty() ? nullptr : extradata.data();
  request.extradata_len = extradata.size();
  request.output_width = output_width;
  request.output_height = output_height;
  request.pixel_format = format;
  request.packets = runtime_packets.data();
  request.packet_count = runtime_packets.size();
  return request;
}

const PacketRun& clip_group(Clip clip) {
  static std::map<Clip, std::unique_ptr<PacketRun>> runs;
  const std::lock_guard lock(RUNS_MUTEX);
  std::unique_ptr<PacketRun>& run = runs[clip];
  if (!run) {
    run = make_run(shape_of(clip), static_cast<int>(GROUP_PICTURES), GROUP_PICTURES);
    MADE_RUNS.push_back(run.get());
  }
  return *run;
}

const PacketRun& memory_run() {
  static std::unique_ptr<PacketRun> run;
  const std::lock_guard lock(RUNS_MUTEX);
  if (!run) {
    run = make_run(shape_of(Clip::H264_1080p), static_cast<int>(MEMORY_RUN_PICTURES),
                   MEMORY_RUN_PICTURES);
    run->label = str_cat(run->label, " (", MEMORY_RUN_PICTURES, " pictures)");
    MADE_RUNS.push_back(run.get());
  }
  return *run;
}

std::vector<const PacketRun*> made_runs() {
  const std::lock_guard lock(RUNS_MUTEX);
  return MADE_RUNS;
}

const char* clip_tag(Clip clip) {
  return shape_of(clip).tag;
}

RuntimeCodec clip_codec(Clip clip) {
  return shape_of(clip).codec;
}

std::string clip_label(Clip clip) {
  const ClipShape shape = shape_of(clip);
  return str_cat(shape.codec_label, " ", shape.width, "x", shape.height);
}

}  // namespace vantle::bench
