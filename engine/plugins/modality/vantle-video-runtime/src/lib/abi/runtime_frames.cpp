#include "abi/runtime_frames.h"

#include <utility>

namespace vantle {

namespace {

// RGB output carries no colour description of its own.
constexpr std::int32_t RGB_COLOR_RANGE = AVCOL_RANGE_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_SPACE = AVCOL_SPC_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_PRIMARIES = AVCOL_PRI_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_TRC = AVCOL_TRC_UNSPECIFIED;
static_assert(RGB_COLOR_RANGE == 0 && RGB_COLOR_SPACE == 2 && RGB_COLOR_PRIMARIES == 2 &&
              RGB_COLOR_TRC == 2);

}  // namespace

RuntimeFrame to_runtime_frame(Yuv420Frame&& picture) {
  RuntimeFrame frame{};
  frame.format = picture.sixteen_bit ? RuntimePixelFormat::Yuv420P16 : RuntimePixelFormat::Yuv420;
  frame.width = picture.width;
  frame.height = picture.height;
  frame.rgb = RuntimeBytes::empty();
  frame.y = RuntimeBytes::from_vec(std::move(picture.y));
  frame.u = RuntimeBytes::from_vec(std::move(picture.u));
  frame.v = RuntimeBytes::from_vec(std::move(picture.v));
  frame.color_range = picture.color_range;
  frame.color_space = picture.color_space;
  frame.color_primaries = picture.color_primaries;
  frame.color_trc = picture.color_trc;
  return frame;
}

RuntimeFrame to_runtime_frame(RgbFrame&& picture) {
  RuntimeFrame frame{};
  frame.format = picture.sixteen_bit ? RuntimePixelFormat::Rgb48 : RuntimePixelFormat::Rgb;
  frame.width = picture.width;
  frame.height = picture.height;
  frame.rgb = RuntimeBytes::from_vec(std::move(picture.data));
  frame.y = RuntimeBytes::empty();
  frame.u = RuntimeBytes::empty();
  frame.v = RuntimeBytes::empty();
  frame.color_range = RGB_COLOR_RANGE;
  frame.color_space = RGB_COLOR_SPACE;
  frame.color_primaries = RGB_COLOR_PRIMARIES;
  frame.color_trc = RGB_COLOR_TRC;
  return frame;
}

}  // namespace vantle
