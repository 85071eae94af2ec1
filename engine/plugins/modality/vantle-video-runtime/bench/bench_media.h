// The compressed runs every row decodes: moving synthetic pictures encoded
// with libx264 / libx265 (12-frame groups with B-frames) and an AV1 encoder
// (12-frame groups, no reordering), held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vantle_video_runtime.h"

namespace vantle::bench {

enum class Clip {
  H264_360p,
  H264_720p,
  H264_1080p,
  H265_360p,
  H265_720p,
  H265_1080p,
  Av1_360p,
  Av1_720p,
  Av1_1080p,
};

inline constexpr Clip ALL_CLIPS[] = {Clip::H264_360p, Clip::H264_720p,  Clip::H264_1080p,
                                     Clip::H265_360p, Clip::H265_720p,  Clip::H265_1080p,
                                     Clip::Av1_360p,  Clip::Av1_720p,   Clip::Av1_1080p};

// Pictures in one group, and in the memory row's single call.
inline constexpr std::size_t GROUP_PICTURES = 12;
inline constexpr std::size_t MEMORY_RUN_PICTURES = 86;

// One run of access units in decode order and the request records that
// point at it. Built once per process; the records stay valid for good.
struct PacketRun {
  RuntimeCodec codec = RuntimeCodec::H264;
  // "H.264 1920x1080"
  std::string label;
  // "H264_1080p", for benchmark names
  std::string tag;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> extradata;
  std::vector<std::vector<std::uint8_t>> packets;
  std::vector<RuntimePacket> runtime_packets;
  // Pictures the run decodes to, counted with a bare decode when it was made.
  std::size_t pictures = 0;
  // The encoder that made it ("libx264"), the packets' total size, and
  // whether decode order differs from display order (B-frames present).
  std::string encoder;
  std::size_t bytes = 0;
  bool reordered = false;
  // Empty when the run is usable; otherwise why not.
  std::string error;
  // The FFmpeg build lacks the encoder that makes the run: rows skip.
  bool encoder_missing = false;

  // A request over the whole run (every picture, no selection).
  RuntimeDecodeRequest request(RuntimePixelFormat format, std::uint32_t output_width = 0,
                               std::uint32_t output_height = 0) const;
};

// The first group (12 packets, 12 pictures) of the clip.
const PacketRun& clip_group(Clip clip);
// 86 pictures of 1920x1080 H.264 for one call: exactly the pixel budget.
const PacketRun& memory_run();

// Every run made so far, in the order they were made.
std::vector<const PacketRun*> made_runs();

const char* clip_tag(Clip clip);
RuntimeCodec clip_codec(Clip clip);
// "H.264 1920x1080", known without encoding anything.
std::string clip_label(Clip clip);

}  // namespace vantle::bench
