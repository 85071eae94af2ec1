// The YUV-to-RGB matrices of the ITU/SMPTE standards, applied in floating
// point: the reference that RGB output is checked against.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vantle::testing {

// Luma weights of red and blue; green's is 1 - kr - kb.
struct YuvMatrix {
  double kr = 0;
  double kb = 0;
  const char* name = "";
};

inline constexpr YuvMatrix BT601_MATRIX{0.299, 0.114, "BT.601"};
inline constexpr YuvMatrix BT709_MATRIX{0.2126, 0.0722, "BT.709"};
inline constexpr YuvMatrix BT2020_MATRIX{0.2627, 0.0593, "BT.2020"};
inline constexpr YuvMatrix FCC_MATRIX{0.30, 0.11, "FCC"};
inline constexpr YuvMatrix SMPTE240M_MATRIX{0.212, 0.087, "SMPTE 240M"};

// The matrix an AVColorSpace value stands for (unspecified is BT.601);
// nullopt for colour spaces that are no such matrix.
std::optional<YuvMatrix> matrix_for_color_space(int av_color_space);

// Full-range 8-bit RGB of one 8-bit YUV sample, rounded and clamped.
// Limited range: Y 16..235, Cb/Cr 16..240; full range: all 0..255.
std::array<std::uint8_t, 3> reference_rgb(int y, int u, int v, const YuvMatrix& matrix,
                                          bool full_range);

// Largest per-channel difference between two RGB triples.
int rgb_distance(const std::array<std::uint8_t, 3>& a, const std::uint8_t* b);

std::string describe_rgb(const std::uint8_t* rgb);

}  // namespace vantle::testing
