// Where the bare loops put their pictures: planes copied out of decoded
// frames, or RGB24 converted from them, into output buffers of exactly the
// picture's size (plus the slack the library also leaves behind each buffer
// for FFmpeg's vector stores), never zero-filled. Two kinds of output memory:
// fresh malloc'd buffers per picture, freed when the group ends (what the
// library does with the host's buffers when it keeps none), and buffers
// recycled from group to group (the warm-memory ceiling).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle::bench {

// Writable bytes behind every output buffer: swscale's packed-RGB24 loop
// stores up to 45 bytes past the last pixel.
inline constexpr std::size_t OUTPUT_SLACK = 256;

// The output buffers of one group, handed out in the order the loop asks.
class PictureOutput {
 public:
  virtual ~PictureOutput() = default;
  // A group begins: buffers are handed out from the first again.
  virtual void start_group() = 0;
  // The next buffer of the group: `size` bytes plus OUTPUT_SLACK.
  virtual std::uint8_t* next_buffer(std::size_t size) = 0;
};

struct FreeBytes {
  void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
};
using MallocBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

// A fresh malloc per buffer; all freed when the object goes, at the end of
// the group.
class FreshOutput final : public PictureOutput {
 public:
  explicit FreshOutput(std::size_t expected) { buffers_.reserve(expected); }
  void start_group() override {}
  std::uint8_t* next_buffer(std::size_t size) override;

 private:
  std::vector<MallocBytes> buffers_;
};

// Buffers allocated on first use and handed out again to every later group
// at the same place in the group; one is reallocated only when the size asked
// there changes. After the first group nothing is faulted in.
class RecycledOutput final : public PictureOutput {
 public:
  void start_group() override { next_ = 0; }
  std::uint8_t* next_buffer(std::size_t size) override;

 private:
  struct Buffer {
    MallocBytes bytes;
    std::size_t size = 0;
  };
  std::vector<Buffer> buffers_;
  std::size_t next_ = 0;
};

// The Y, U and V planes of a yuv420p / yuvj420p frame, each into the next
// buffer of `output`: one block copy per plane when it has no line padding,
// else one copy per row.
Status copy_yuv420_planes(const AVFrame& frame, PictureOutput& output);

// An RGB24 converter made on the first frame it sees with sws_getContext
// (SWS_FAST_BILINEAR) and the frame's colour matrix and range, reused for
// every later frame: the frames of one row all share size and format.
class BareRgbScaler {
 public:
  // One picture of width x height (0 keeps the frame's size) into the next
  // buffer of `output`.
  Status convert(const AVFrame& frame, std::uint32_t width, std::uint32_t height,
                 PictureOutput& output);

 private:
  SwsContextHandle context_;
};

}  // namespace vantle::bench
