#include "support/stream_file.h"

#include <fstream>
#include <iterator>

#include "common/text.h"
#include "media/container_reader.h"

namespace vantle::testing {

std::vector<std::uint8_t> read_file_bytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

Result<StreamFile> read_stream_file(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> bytes = read_file_bytes(path);
  if (bytes.empty()) {
    return fail(str_cat("cannot read ", path.string()));
  }
  auto video = media::read_container_bytes(bytes);
  if (!video) {
    return fail(str_cat(path.filename().string(), ": ", video.error()));
  }
  const std::optional<RuntimeCodec> codec = media::runtime_codec(video->codec_id);
  if (!codec) {
    return fail(
        str_cat("no H.264, H.265 or AV1 video stream (", avcodec_get_name(video->codec_id), ")"));
  }
  StreamFile stream;
  stream.codec = *codec;
  stream.container = video->container;
  for (const char* in_band : {"h264", "hevc", "mpegts", "ivf"}) {
    stream.parameter_sets_in_band |= stream.container == in_band;
  }
  stream.extradata = std::move(video->extradata);
  stream.probed_reorder_delay = video->video_delay;
  // A damaged file ends the packets early, as it ends FFmpeg's own tools.
  for (media::ContainerPacket& packet : video->packets) {
    stream.packets.push_back(std::move(packet.bytes));
    stream.packets_with_new_extradata += packet.new_extradata ? 1 : 0;
  }
  return stream;
}

}  // namespace vantle::testing
