// Lazy decoding of a packet run through FFmpeg's send/receive interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_view.h"
#include "common/ffmpeg.h"
#include "common/result.h"
#include "decoding/decoder_pool.h"
#include "decoding/decoder_reuse.h"
#include "decoding/opened_decoder.h"
#include "vantle_video_runtime.h"

namespace vantle {

// Frames in the order the decoder outputs them. Each step answers a frame, an
// error message, or the end (nullopt). The iterator records how its run went;
// destruction hands the decoder to the calling thread's pool, filed under the
// parameter sets it was sent in-band, or frees it, as decide_reuse says.
class FfmpegDecodedFrames {
 public:
  FfmpegDecodedFrames(OpenedDecoder decoder, DecoderPoolKey key, FrameHandle frame,
                      std::vector<ByteView> packets) noexcept;
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
  std::vector<ByteView> packets_;
  std::size_t cursor_ = 0;
  std::uint64_t next_packet_index_ = 0;
  bool eof_sent_ = false;
  bool finished_ = false;
  DecodeRunRecord run_;
};

// Sets FFmpeg up, acquires a decoder for the codec and extradata (pool
// first) and returns the iterator; nothing is sent yet. The packet views must
// outlive the iterator.
Result<FfmpegDecodedFrames> decode_packets(RuntimeCodec codec, ByteView extradata,
                                           std::vector<ByteView> packets);

// An FFmpeg packet holding a copy of the bytes (with FFmpeg's zeroed input
// padding); an empty view gives a packet without data.
Result<PacketHandle> packet_from_bytes(ByteView bytes);

}  // namespace vantle
