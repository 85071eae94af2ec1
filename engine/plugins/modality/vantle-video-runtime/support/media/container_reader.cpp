#include "container_reader.h"
#include "common/result.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vantle::media {

namespace {

using Failure = Failure;
using FormatContextHandle = FfmpegHandle<AVFormatContext, avformat_close_input>;

// Reads from a byte buffer, so libavformat sees content and never a name.
struct MemoryInput {
  std::span<const std::uint8_t> bytes;
  std::size_t position = 0;
};

int read_memory(void* opaque, std::uint8_t* buffer, int size) {
  auto& input = *static_cast<MemoryInput*>(opaque);
  const std::size_t left = input.bytes.size() - input.position;
  if (left == 0) {
    return AVERROR_EOF;
  }
  const std::size_t n = std::min(left, static_cast<std::size_t>(size));
  std::memcpy(buffer, input.bytes.data() + input.position, n);
  input.position += n;
  return static_cast<int>(n);
}

std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) {
  auto& input = *static_cast<MemoryInput*>(opaque);
  const auto size = static_cast<std::int64_t>(input.bytes.size());
  std::int64_t target = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      target = static_cast<std::int64_t>(input.position) + offset;
      break;
    case SEEK_END:
      target = size + offset;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (target < 0 || target > size) {
    return AVERROR(EINVAL);
  }
  input.position = static_cast<std::size_t>(target);
  return target;
}

void free_io_context(AVIOContext** io) noexcept {
  if (*io != nullptr) {
    av_freep(&(*io)->buffer);
  }
  avio_context_free(io);
}

using IoContextHandle = FfmpegHandle<AVIOContext, free_io_context>;

// FFmpeg 6.1 moved the stream's side data into its codec parameters, and
// later releases removed the stream's own accessor.
std::optional<std::array<std::int32_t, 9>> display_matrix(const AVStream& stream) {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
  const AVPacketSideData* side =
      av_packet_side_data_get(stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data,
                              AV_PKT_DATA_DISPLAYMATRIX);
  if (side != nullptr) {
    data = side->data;
    size = side->size;
  }
#else
  data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
  std::array<std::int32_t, 9> matrix{};
  if (data == nullptr || size < sizeof matrix) {
    return std::nullopt;
  }
  std::memcpy(matrix.data(), data, sizeof matrix);
  return matrix;
}

// The opened container's first video stream, read to its end.
Result<ContainerVideo> read_video(AVFormatContext& format) {
  // Probing decodes pictures before the library sees the stream: the same
  // area bound as the library's default keeps a hostile size from costing
  // the probe what the library would refuse.
  std::vector<AVDictionary*> probe_options(format.nb_streams, nullptr);
  for (AVDictionary*& stream_options : probe_options) {
    av_dict_set_int(&stream_options, "max_pixels", std::int64_t{8192} * 4320, 0);
  }
  const int found = avformat_find_stream_info(&format, probe_options.data());
  for (AVDictionary*& stream_options : probe_options) {
    av_dict_free(&stream_options);
  }
  if (found < 0) {
    return Failure(ffmpeg_error_text(found));
  }
  const int index = av_find_best_stream(&format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    return Failure("no video stream");
  }
  const AVStream& stream = *format.streams[index];
  const AVCodecParameters& parameters = *stream.codecpar;
  ContainerVideo video;
  video.container = format.iformat->name;
  video.codec_id = parameters.codec_id;
  video.width = parameters.width;
  video.height = parameters.height;
  video.colour = colour_of(parameters);
  video.pixel_format = static_cast<AVPixelFormat>(parameters.format);
  video.display_matrix = display_matrix(stream);
  const AVRational rate =
      stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    video.frame_rate = rate;
  }
  if (parameters.extradata_size > 0) {
    video.extradata.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
  }
  video.video_delay = parameters.video_delay;
  PacketHandle packet(av_packet_alloc());
  if (packet == nullptr) {
    return Failure("out of memory");
  }
  while ((video.end_status = av_read_frame(&format, packet.get())) >= 0) {
    if (packet->stream_index == index) {
      video.packets.push_back(ContainerPacket{
          std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
          (packet->flags & AV_PKT_FLAG_KEY) != 0,
          av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, nullptr) != nullptr});
    }
    av_packet_unref(packet.get());
  }
  return video;
}

}  // namespace

Result<ContainerVideo> read_container_file(const std::string& path, const char* format) {
  AVFormatContext* opened = nullptr;
  const AVInputFormat* input = format != nullptr ? av_find_input_format(format) : nullptr;
  if (const int rc = avformat_open_input(&opened, path.c_str(), input, nullptr); rc < 0) {
    return Failure(ffmpeg_error_text(rc));
  }
  FormatContextHandle context(opened);
  return read_video(*context);
}

Result<ContainerVideo> read_container_bytes(std::span<const std::uint8_t> bytes) {
  MemoryInput input{bytes};
  constexpr int IO_BUFFER_SIZE = 4096;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(IO_BUFFER_SIZE));
  if (buffer == nullptr) {
    return Failure("out of memory");
  }
  IoContextHandle io(
      avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, &input, read_memory, nullptr, seek_memory));
  if (io == nullptr) {
    av_free(buffer);
    return Failure("out of memory");
  }
  AVFormatContext* opened = avformat_alloc_context();
  if (opened == nullptr) {
    return Failure("out of memory");
  }
  opened->pb = io.get();
  // On failure avformat_open_input frees the context (not our I/O context).
  if (const int rc = avformat_open_input(&opened, "", nullptr, nullptr); rc < 0) {
    return Failure(ffmpeg_error_text(rc));
  }
  FormatContextHandle context(opened);
  return read_video(*context);
}

std::optional<RuntimeCodec> runtime_codec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264:
      return RuntimeCodec::H264;
    case AV_CODEC_ID_HEVC:
      return RuntimeCodec::H265;
    case AV_CODEC_ID_AV1:
      return RuntimeCodec::Av1;
    case AV_CODEC_ID_VP9:
      return RuntimeCodec::Vp9;
    case AV_CODEC_ID_VP8:
      return RuntimeCodec::Vp8;
    default:
      return std::nullopt;
  }
}

RuntimeDecodeOptions upright_options(const std::optional<std::array<std::int32_t, 9>>& matrix) {
  RuntimeDecodeOptions options{sizeof(RuntimeDecodeOptions), 0, 0, 0};
  if (!matrix) {
    return options;
  }
  const std::array<std::int32_t, 9>& m = *matrix;
  constexpr std::uint32_t horizontal = RuntimeFlip_Horizontal;
  constexpr std::uint32_t vertical = RuntimeFlip_Vertical;
  // The command line's angle: the clockwise turn that shows the picture
  // upright, in [0, 360). A degenerate matrix gives NaN, which the command
  // line treats as no turn.
  double theta = -std::round(av_display_rotation_get(m.data()));
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  if (std::fabs(theta - 90) < 1.0) {
    // transpose=cclock_flip, else transpose=clock
    options.rotation = 90;
    options.flip = m[3] > 0 ? horizontal : 0;
  } else if (std::fabs(theta - 180) < 1.0) {
    options.flip = (m[0] < 0 ? horizontal : 0) | (m[4] < 0 ? vertical : 0);
  } else if (std::fabs(theta - 270) < 1.0) {
    // transpose=clock_flip, else transpose=cclock
    options.rotation = 270;
    options.flip = m[3] < 0 ? horizontal : 0;
  } else if (!(std::fabs(theta) > 1.0)) {
    options.flip = m[4] < 0 ? vertical : 0;
  }
  return options;
}

}  // namespace vantle::media
