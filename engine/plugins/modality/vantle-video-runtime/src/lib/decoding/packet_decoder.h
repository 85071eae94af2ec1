// Lazy decoding of a packet run through FFmpeg's send/receive interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/ffmpeg.h"
#include "common/result.h"
#include "decoding/decoder_pool.h"
#include "decoding/opened_decoder.h"
#include "vantle_video_runtime.h"

namespace vantle {

using PacketView = std::span<const std::uint8_t>;

// One decoded frame exactly as the decoder returned it (possibly a hardware
// frame).
struct FfmpegDecodedFrame {
  FrameHandle frame;
};

// Frames in the order the decoder outputs them. Each step answers a frame, an
// error message, or the end (nullopt). Destruction gives the decoder, flushed,
// back to the calling thread's pool, whatever state decoding was in, filed
// under the parameter sets it was sent in-band. The decoder is freed instead
// when a packet could not be read for them, and when it has worker threads
// and the run may have left it other than a fresh one would be (see
// worker_threads_as_fresh).
class FfmpegDecodedFrames {
 public:
  FfmpegDecodedFrames(OpenedDecoder decoder, DecoderPoolKey key, FrameHandle frame,
                      std::vector<PacketView> packets) noexcept;
  // The moved-from iterator holds no decoder and gives nothing back.
  FfmpegDecodedFrames(FfmpegDecodedFrames&& other) noexcept;
  FfmpegDecodedFrames& operator=(FfmpegDecodedFrames&&) = delete;
  FfmpegDecodedFrames(const FfmpegDecodedFrames&) = delete;
  FfmpegDecodedFrames& operator=(const FfmpegDecodedFrames&) = delete;
  ~FfmpegDecodedFrames();

  std::optional<Result<FfmpegDecodedFrame>> next();

  // When set before the first step, packet i is sent with pts i.
  bool assign_packet_pts = false;

 private:
  std::optional<OpenedDecoder> decoder_;
  DecoderPoolKey key_;
  FrameHandle frame_;
  std::vector<PacketView> packets_;
  std::size_t cursor_ = 0;
  std::uint64_t next_packet_index_ = 0;
  bool eof_sent_ = false;
  bool finished_ = false;
  // In-band parameter sets the decoder may hold: those of the key it was
  // taken for (a subset of what it holds, or all of it) and those sent since.
  ParameterSets held_parameter_sets_;
  // A packet sent could not be read for parameter sets.
  bool parameter_sets_unknown_ = false;
  // The decoder answered end of stream after the whole run was sent.
  bool drained_ = false;
  // The decoder reported a decoding error or gave a damaged picture.
  bool saw_damage_ = false;

  bool worker_threads_as_fresh(const AVCodecContext& context) const;
};

// Sets FFmpeg up, acquires a decoder for the codec and extradata (pool
// first) and returns the iterator; nothing is sent yet. The packet views must
// outlive the iterator.
Result<FfmpegDecodedFrames> decode_packets(RuntimeCodec codec,
                                           std::span<const std::uint8_t> extradata,
                                           std::vector<PacketView> packets);

// An FFmpeg packet holding a copy of the bytes (with FFmpeg's zeroed input
// padding); an empty view gives a packet without data.
Result<PacketHandle> packet_from_bytes(PacketView bytes);

}  // namespace vantle
