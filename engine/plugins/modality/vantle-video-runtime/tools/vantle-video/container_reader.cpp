#include "container_reader.h"

#include "ffmpeg_handles.h"

namespace vantle::tool {

namespace {

std::expected<RuntimeCodec, std::string> runtime_codec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264:
      return RuntimeCodec::H264;
    case AV_CODEC_ID_HEVC:
      return RuntimeCodec::H265;
    case AV_CODEC_ID_AV1:
      return RuntimeCodec::Av1;
    default:
      return std::unexpected(std::string("codec ") + avcodec_get_name(id) +
                             " is not H.264, H.265 or AV1");
  }
}

}  // namespace

std::expected<Clip, std::string> read_container(const std::string& path) {
  auto fail = [&](const std::string& why) { return std::unexpected(path + ": " + why); };
  AVFormatContext* opened = nullptr;
  int rc = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    return fail(ffmpeg_error_text(rc));
  }
  FormatContextHandle format(opened);
  rc = avformat_find_stream_info(format.get(), nullptr);
  if (rc < 0) {
    return fail(ffmpeg_error_text(rc));
  }
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    return fail("no video stream");
  }
  const AVStream& stream = *format->streams[index];
  const AVCodecParameters& parameters = *stream.codecpar;
  auto codec = runtime_codec(parameters.codec_id);
  if (!codec) {
    return fail(codec.error());
  }

  Clip clip;
  clip.source = path;
  clip.codec = *codec;
  clip.codec_name = avcodec_get_name(parameters.codec_id);
  clip.width = parameters.width;
  clip.height = parameters.height;
  clip.color_range = parameters.color_range;
  clip.color_space = parameters.color_space;
  clip.color_primaries = parameters.color_primaries;
  clip.color_trc = parameters.color_trc;
  AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    clip.frame_rate_num = rate.num;
    clip.frame_rate_den = rate.den;
  }
  if (parameters.extradata_size > 0) {
    clip.extradata.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
  }

  PacketHandle packet(av_packet_alloc());
  if (!packet) {
    return fail("out of memory");
  }
  while ((rc = av_read_frame(format.get(), packet.get())) >= 0) {
    if (packet->stream_index == index && packet->size > 0) {
      clip.access_units.push_back(
          AccessUnit{std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
                     (packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(packet.get());
  }
  if (rc != AVERROR_EOF) {
    return fail(ffmpeg_error_text(rc));
  }
  if (auto split = split_into_groups(clip); !split) {
    return std::unexpected(split.error());
  }
  return clip;
}

}  // namespace vantle::tool
