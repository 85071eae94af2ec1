// The ceiling the bench subcommand measures the library against: the same
// work done by a bare libavcodec loop as a host would write it by hand for a
// long run, with warm memory. One decoder and one scaler serve the whole run
// (the decoder is flushed between groups), and output buffers are recycled
// from group to group.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "clip.h"
#include "ffmpeg_handles.h"

namespace vantle::tool {

enum class BenchWork { Yuv420, Rgb, RgbResized, Indexed, Transcode };

class BareCeiling {
 public:
  static std::expected<BareCeiling, std::string> open(const Clip& clip, int threads);

  // Does `work` on one group; answers the number of pictures it produced.
  // Resized RGB goes to width x height.
  std::expected<std::size_t, std::string> run(const Clip& clip, const Group& group, BenchWork work,
                                              int width, int height);

 private:
  BareCeiling(CodecContextHandle decoder, int threads);

  std::expected<void, std::string> take_picture(const AVFrame& frame, BenchWork work, int width,
                                                int height, std::size_t slot);
  // Sends one decoded picture to the group's encoder (opened on the first),
  // or with null finishes the group and closes the encoder.
  std::expected<void, std::string> encode(AVFrame* frame, std::size_t group_size);

  CodecContextHandle decoder_;
  CodecContextHandle encoder_;
  int threads_;
  PacketHandle packet_;
  PacketHandle encoded_;
  FrameHandle frame_;
  SwsHandle scaler_;
  int scaler_colours_ = -1;
  std::int64_t next_encoder_pts_ = 0;
  // Recycled outputs: one buffer per picture slot, kept across groups.
  std::vector<std::vector<std::uint8_t>> pictures_;
  std::vector<std::vector<std::uint8_t>> access_units_;
  std::size_t access_unit_count_ = 0;
  std::vector<std::size_t> packet_indices_;
};

}  // namespace vantle::tool
