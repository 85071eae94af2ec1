// The groups every row decodes, made in memory with FFmpeg's encoders: 12
// pictures of a moving, noisy pattern as x264 veryfast would hand them to a
// host (B-frames, parameter sets in-band before the key frame, no
// extradata), the same from x265, and AV1 from libaom (SVT-AV1 when it is
// missing) without hidden pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/codec_label.h"
#include "vantle_video_runtime.h"

namespace vantle::bench {

inline constexpr int GROUP_PICTURES = 12;

struct Group {
  RuntimeCodec codec = RuntimeCodec::H264;
  // "H.264 1920x1080"
  std::string label;
  std::string encoder;
  int width = 0;
  int height = 0;
  std::vector<std::vector<std::uint8_t>> packets;
  std::vector<RuntimePacket> runtime_packets;
  std::size_t bytes = 0;
  // Empty when the group is usable; otherwise why not.
  std::string error;

  // A request over the whole group, every picture.
  RuntimeDecodeRequest request(RuntimePixelFormat format, std::uint32_t width = 0,
                               std::uint32_t height = 0) const;
};

// Made on first use, kept for the process.
const Group& bench_group(RuntimeCodec codec, int height);

using runtime::codec_label;

}  // namespace vantle::bench
