#include "support/stream_file.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "common/ffmpeg.h"
#include "common/ffmpeg_error.h"
#include "common/text.h"

namespace vantle::testing {

namespace {

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
using FormatContextHandle = FfmpegHandle<AVFormatContext, avformat_close_input>;

Result<RuntimeCodec> runtime_codec_of(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264:
      return RuntimeCodec::H264;
    case AV_CODEC_ID_HEVC:
      return RuntimeCodec::H265;
    case AV_CODEC_ID_AV1:
      return RuntimeCodec::Av1;
    default:
      return fail(str_cat("no H.264, H.265 or AV1 video stream (", avcodec_get_name(id), ")"));
  }
}

}  // namespace

std::vector<std::uint8_t> read_file_bytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

Result<StreamFile> read_stream_file(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> bytes = read_file_bytes(path);
  if (bytes.empty()) {
    return fail(str_cat("cannot read ", path.string()));
  }
  MemoryInput input{bytes};
  constexpr int IO_BUFFER_SIZE = 4096;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(IO_BUFFER_SIZE));
  if (buffer == nullptr) {
    return fail("av_malloc failed");
  }
  IoContextHandle io(
      avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, &input, read_memory, nullptr, seek_memory));
  if (io == nullptr) {
    av_free(buffer);
    return fail("avio_alloc_context failed");
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    return fail("avformat_alloc_context failed");
  }
  raw->pb = io.get();
  // On failure avformat_open_input frees the context (not our I/O context).
  if (const int opened = avformat_open_input(&raw, "", nullptr, nullptr); opened < 0) {
    return fail(str_cat("libavformat cannot open ", path.filename().string(), ": ",
                        ffmpeg_error_text(opened)));
  }
  FormatContextHandle format(raw);
  if (const int found = avformat_find_stream_info(format.get(), nullptr); found < 0) {
    return fail(str_cat("avformat_find_stream_info: ", ffmpeg_error_text(found)));
  }
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    return fail(str_cat("no video stream in ", path.filename().string()));
  }
  const AVCodecParameters& parameters = *format->streams[index]->codecpar;
  auto codec = runtime_codec_of(parameters.codec_id);
  if (!codec) {
    return fail(codec.error());
  }
  StreamFile stream;
  stream.codec = *codec;
  stream.container = format->iformat->name;
  for (const char* in_band : {"h264", "hevc", "mpegts", "ivf"}) {
    stream.parameter_sets_in_band |= stream.container == in_band;
  }
  stream.extradata.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
  stream.probed_reorder_delay = parameters.video_delay;
  PacketHandle packet(av_packet_alloc());
  if (packet == nullptr) {
    return fail("av_packet_alloc failed");
  }
  // A damaged file ends the packets early, as it ends FFmpeg's own tools.
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      stream.packets.emplace_back(packet->data, packet->data + packet->size);
      if (av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, nullptr) != nullptr) {
        ++stream.packets_with_new_extradata;
      }
    }
    av_packet_unref(packet.get());
  }
  return stream;
}

}  // namespace vantle::testing
