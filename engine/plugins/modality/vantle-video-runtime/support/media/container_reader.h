// The first video stream of a container, read with libavformat: what a host
// would hand the library (codec, extradata, access units in decode order) plus
// what the container says about the stream. The library itself never links
// libavformat; only the tool and the tests read containers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "colour.h"
#include "common/result.h"
#include "ffmpeg_handles.h"
#include "vantle_video_runtime.h"

namespace vantle::media {

struct ContainerPacket {
  std::vector<std::uint8_t> bytes;
  bool key = false;
  // The packet carried new extradata as side data, which the library's
  // packets cannot carry.
  bool new_extradata = false;
};

struct ContainerVideo {
  // The container libavformat recognised ("mov,mp4,m4a,3gp,3g2,mj2", "ivf", ...).
  std::string container;
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  ColourDescription colour;
  // The decoded pictures' format as probing found it; none when unknown.
  AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
  // The stream's display matrix (AV_PKT_DATA_DISPLAYMATRIX), when it has one.
  std::optional<std::array<std::int32_t, 9>> display_matrix;
  // The average frame rate, else the stream's base rate; {0, 1} when the
  // container gives neither.
  AVRational frame_rate{0, 1};
  std::vector<std::uint8_t> extradata;
  // The reorder delay libavformat's probing measured by decoding the start
  // of the stream (AVCodecParameters::video_delay).
  int video_delay = 0;
  // Every packet of the stream, decode order, as libavformat returned it
  // (empty ones included).
  std::vector<ContainerPacket> packets;
  // AVERROR_EOF when the whole file was read, else the error that ended the
  // packets early (a damaged file).
  int end_status = AVERROR_EOF;
};

// The file libavformat opens by its name; `format` forces a demuxer ("h264").
// On failure FFmpeg's text, or "no video stream".
Result<ContainerVideo> read_container_file(const std::string& path, const char* format = nullptr);

// The same from bytes in memory: the container is recognised by its content
// alone, so a misleading file name cannot matter.
Result<ContainerVideo> read_container_bytes(std::span<const std::uint8_t> bytes);

// The library's codec for an FFmpeg codec id; none for a codec it does not
// decode.
std::optional<RuntimeCodec> runtime_codec(AVCodecID id);

// The turn and flips that show a picture stored under `matrix` upright,
// chosen as the ffmpeg command line's autorotation chooses its transpose,
// hflip and vflip filters. No matrix, or an angle that is not a quarter
// turn, asks for nothing (the command line would use its rotate filter).
RuntimeDecodeOptions upright_options(const std::optional<std::array<std::int32_t, 9>>& matrix);

}  // namespace vantle::media
