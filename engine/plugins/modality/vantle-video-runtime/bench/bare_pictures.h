// What the bare loops hand back: pictures copied out of decoded frames into
// malloc'd buffers of exactly their size, never zero-filled, as a host's own
// loop would make them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle::bench {

// One output picture: YUV 4:2:0 planes (y, u, v) or packed RGB24 (rgb).
struct BarePicture {
  std::uint8_t* y = nullptr;
  std::uint8_t* u = nullptr;
  std::uint8_t* v = nullptr;
  std::uint8_t* rgb = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t packet_index = 0;
};

// Owns the pictures of one run and frees them all.
class BarePictureList {
 public:
  explicit BarePictureList(std::size_t expected) { pictures_.reserve(expected); }
  ~BarePictureList();
  BarePictureList(const BarePictureList&) = delete;
  BarePictureList& operator=(const BarePictureList&) = delete;

  void add(const BarePicture& picture) { pictures_.push_back(picture); }
  std::size_t size() const { return pictures_.size(); }

 private:
  std::vector<BarePicture> pictures_;
};

// The Y, U and V planes of a yuv420p / yuvj420p frame: one block copy per
// plane when it has no line padding, else one copy per row.
Result<BarePicture> copy_yuv420_planes(const AVFrame& frame);

// An RGB24 converter made on a run's first frame with sws_getContext
// (SWS_FAST_BILINEAR) and the frame's colour matrix and range, reused for
// the run's other frames.
class BareRgbScaler {
 public:
  // One picture of width x height (0 keeps the frame's size).
  Result<BarePicture> convert(const AVFrame& frame, std::uint32_t width, std::uint32_t height);

 private:
  SwsContextHandle context_;
};

}  // namespace vantle::bench
