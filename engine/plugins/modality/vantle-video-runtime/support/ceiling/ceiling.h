// The ceiling: the work of one library call done by a bare libavcodec +
// libswscale loop, written the way a host writes it for a long run. One
// decoder is kept and flushed right before each group; one scaler is kept
// while the pictures' format, size and colours stay; output buffers of the
// exact size (plus slack) are recycled from group to group, so after the
// first group nothing is faulted in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "vantle_video_runtime.h"

namespace vantle::ceiling {

enum class Work {
  // RGB24 at `width` x `height` (0: the picture's own size), packed rows.
  Rgb,
  // The Y, U and V planes of 4:2:0 pictures, one buffer each.
  Yuv420,
  // Yuv420 with every packet's index sent as its pts and read back.
  Indexed,
  // Every picture re-encoded as one H.264 group by a libx264 opened for the
  // group (25/1, the encoder's own rate control, no B-frames).
  Transcode,
};

struct Job {
  Work work = Work::Rgb;
  int width = 0;
  int height = 0;
};

// Writable bytes behind every output buffer: swscale's packed-RGB24 writers
// store whole vectors past the last pixel.
inline constexpr std::size_t OUTPUT_SLACK = 256;

class Ceiling {
 public:
  // FFmpeg's default decoder for the codec, frame threading with `threads`
  // codec threads, the extradata (if any) padded.
  static std::expected<Ceiling, std::string> open(RuntimeCodec codec,
                                                  std::span<const std::uint8_t> extradata,
                                                  int threads);
  Ceiling(Ceiling&&) noexcept;
  Ceiling& operator=(Ceiling&&) noexcept;
  ~Ceiling();

  // Decodes one group and does `job` on every picture; answers the number of
  // pictures (access units for Transcode). A packet the decoder refuses ends
  // the group with an error, as it ends a library call; errors that only
  // the receiving side reports are damage and do not.
  std::expected<std::size_t, std::string> run(std::span<const RuntimePacket> group, const Job& job);

 private:
  struct State;
  explicit Ceiling(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vantle::ceiling
