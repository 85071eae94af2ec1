#include "support/rgb_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/ffmpeg.h"
#include "common/text.h"

namespace vantle::testing {

std::optional<YuvMatrix> matrix_for_color_space(int av_color_space) {
  switch (av_color_space) {
    case AVCOL_SPC_BT709:
      return BT709_MATRIX;
    case AVCOL_SPC_UNSPECIFIED:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return BT601_MATRIX;
    case AVCOL_SPC_FCC:
      return FCC_MATRIX;
    case AVCOL_SPC_SMPTE240M:
      return SMPTE240M_MATRIX;
    case AVCOL_SPC_BT2020_NCL:
      return BT2020_MATRIX;
    default:
      return std::nullopt;
  }
}

std::array<std::uint8_t, 3> reference_rgb(int y, int u, int v, const YuvMatrix& matrix,
                                          bool full_range) {
  // Normalised E'Y in [0, 1] and E'Pb, E'Pr in [-0.5, 0.5].
  const double luma = full_range ? y / 255.0 : (y - 16) / 219.0;
  const double pb = full_range ? (u - 128) / 255.0 : (u - 128) / 224.0;
  const double pr = full_range ? (v - 128) / 255.0 : (v - 128) / 224.0;
  const double kg = 1.0 - matrix.kr - matrix.kb;
  const double r = luma + 2.0 * (1.0 - matrix.kr) * pr;
  const double b = luma + 2.0 * (1.0 - matrix.kb) * pb;
  const double g = (luma - matrix.kr * r - matrix.kb * b) / kg;
  const auto to_8bit = [](double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value * 255.0), 0L, 255L));
  };
  return {to_8bit(r), to_8bit(g), to_8bit(b)};
}

int rgb_distance(const std::array<std::uint8_t, 3>& a, const std::uint8_t* b) {
  int distance = 0;
  for (int c = 0; c < 3; ++c) {
    distance = std::max(distance, std::abs(static_cast<int>(a[c]) - static_cast<int>(b[c])));
  }
  return distance;
}

std::string describe_rgb(const std::uint8_t* rgb) {
  return str_cat("(", static_cast<int>(rgb[0]), ", ", static_cast<int>(rgb[1]), ", ",
                 static_cast<int>(rgb[2]), ")");
}

}  // namespace vantle::testing
