#include "file_clip.h"
#include "common/result.h"

#include "media/container_reader.h"

namespace vantle::tool {

Result<Clip> read_file_clip(const std::string& path) {
  auto fail = [&](const std::string& why) { return vantle::fail(path + ": " + why); };
  auto video = media::read_container_file(path);
  if (!video) {
    return fail(video.error());
  }
  const std::optional<RuntimeCodec> codec = media::runtime_codec(video->codec_id);
  if (!codec) {
    return fail(std::string("codec ") + avcodec_get_name(video->codec_id) +
                " is not H.264, H.265, AV1, VP9 or VP8");
  }
  if (video->end_status != AVERROR_EOF) {
    return fail(media::ffmpeg_error_text(video->end_status));
  }

  Clip clip;
  clip.source = path;
  clip.codec = *codec;
  clip.codec_name = avcodec_get_name(video->codec_id);
  clip.width = video->width;
  clip.height = video->height;
  clip.colour = video->colour;
  clip.pixel_format = video->pixel_format;
  clip.display_matrix = video->display_matrix;
  if (video->frame_rate.num > 0) {
    clip.frame_rate_num = video->frame_rate.num;
    clip.frame_rate_den = video->frame_rate.den;
  }
  clip.extradata = std::move(video->extradata);
  for (media::ContainerPacket& packet : video->packets) {
    if (!packet.bytes.empty()) {
      clip.access_units.push_back(AccessUnit{std::move(packet.bytes), packet.key});
    }
  }
  if (auto split = split_into_groups(clip); !split) {
    return vantle::fail(split.error());
  }
  return clip;
}

}  // namespace vantle::tool
