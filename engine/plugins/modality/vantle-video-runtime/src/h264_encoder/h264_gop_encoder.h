// One H.264 group of pictures from a short run of decoded frames: frames go
// in as YUV420P with pts 0, 1, 2, ...; access units come out checked (first a
// key frame, Annex B) and copied into caller-owned buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_buffer.h"
#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

// The YUV420P converter of one encoder: made for the first frame that needs
// converting and kept, unchanged, for the encoder's life.
struct Yuv420pScaler {
  SwsContextHandle context;
  AVPixelFormat source_format = AV_PIX_FMT_NONE;
  std::uint32_t source_width = 0;
  std::uint32_t source_height = 0;
  AVPixelFormat destination_format = AV_PIX_FMT_YUV420P;
  std::uint32_t destination_width = 0;
  std::uint32_t destination_height = 0;
};

class H264GopEncoder {
 public:
  // Opens FFmpeg's preferred H.264 encoder for `group_size` frames of
  // `first_frame`'s size and colour description, with no B-frames. Only
  // reads `first_frame`; the caller encodes it afterwards like any other.
  static Result<H264GopEncoder> open(const AVFrame& first_frame, std::uint32_t frame_rate_num,
                                     std::uint32_t frame_rate_den, std::uint64_t bit_rate,
                                     std::size_t group_size);

  H264GopEncoder(H264GopEncoder&&) noexcept = default;
  H264GopEncoder& operator=(H264GopEncoder&&) noexcept = default;
  H264GopEncoder(const H264GopEncoder&) = delete;
  H264GopEncoder& operator=(const H264GopEncoder&) = delete;
  ~H264GopEncoder() = default;

  // Takes the frame (released before returning, on every path), encodes it
  // and appends the access units the encoder has ready. A frame whose size
  // differs from the encoder's is refused before it reaches the encoder.
  Status encode(FrameHandle frame, std::vector<ByteBuffer>& access_units);

  // Signals end of stream, appends the remaining access units and destroys
  // the encoder, whether or not that succeeded.
  Status finish(std::vector<ByteBuffer>& access_units) &&;

  // A YUV420P copy of the frame (converted unless it is YUV420P already)
  // whose buffers reach 32 rows below the picture, where the last row of
  // each plane is repeated: the encoder reads there. The input is released.
  Result<FrameHandle> yuv420p(FrameHandle frame);

  // Appends every access unit the encoder has ready, checking each.
  Status drain(std::vector<ByteBuffer>& access_units);

  // The opened encoder context, for inspection.
  const AVCodecContext& context() const noexcept { return *encoder_; }
  // The pts the next encoded frame gets.
  std::int64_t next_pts() const noexcept { return next_pts_; }
  // The converter, once a frame needed one.
  const std::optional<Yuv420pScaler>& scaler() const noexcept { return scaler_; }

 private:
  explicit H264GopEncoder(CodecContextHandle encoder) noexcept : encoder_(std::move(encoder)) {}

  CodecContextHandle encoder_;
  std::int64_t next_pts_ = 0;
  std::optional<Yuv420pScaler> scaler_;
};

// The checks every encoder packet passes before it becomes an access unit:
// data present, the group's first one a key frame, an Annex B start code.
Status check_access_unit(const AVPacket& packet, bool first_of_group);

}  // namespace vantle
