// The baseline encoder of the transcode rows: FFmpeg's preferred H.264
// encoder opened for one group, fed the decoder's YUV420P frames directly,
// every access unit copied out once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle::bench {

// Owns the copied access units of one group and frees them.
class BareAccessUnits {
 public:
  explicit BareAccessUnits(std::size_t expected) { units_.reserve(expected); }
  ~BareAccessUnits();
  BareAccessUnits(const BareAccessUnits&) = delete;
  BareAccessUnits& operator=(const BareAccessUnits&) = delete;

  void add(const std::uint8_t* data, std::size_t size);
  std::size_t size() const { return units_.size(); }

 private:
  std::vector<std::uint8_t*> units_;
};

class BareH264Encoder {
 public:
  // avcodec_find_encoder(AV_CODEC_ID_H264); thread_type FF_THREAD_FRAME,
  // `threads` codec threads; the first frame's size and colour description;
  // time base = den/num; gop_size `group_size`, no B-frames; no options.
  static Result<BareH264Encoder> open(const AVFrame& first_frame, int frame_rate_num,
                                      int frame_rate_den, std::int64_t bit_rate, int group_size,
                                      int threads);

  // Sends the frame (YUV420P, as decoded) with the next pts and takes out
  // what the encoder has ready.
  Status encode(AVFrame& frame, BareAccessUnits& units);
  // Drains the encoder.
  Status finish(BareAccessUnits& units);

 private:
  BareH264Encoder(CodecContextHandle context, PacketHandle packet)
      : context_(std::move(context)), packet_(std::move(packet)) {}
  Status receive_all(BareAccessUnits& units);

  CodecContextHandle context_;
  PacketHandle packet_;
  std::int64_t next_pts_ = 0;
};

}  // namespace vantle::bench
