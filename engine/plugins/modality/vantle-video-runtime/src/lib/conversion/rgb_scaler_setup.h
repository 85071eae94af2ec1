// How the library sets swscale up for a frame's 8-bit RGB conversion: the
// colour-space table, the format swscale is given and the filter flags.
// Header-only and FFmpeg-only. (The benchmark's bare loop makes its own
// swscale choices.)
#pragma once

#include <array>
#include <cstdint>

#include "common/ffmpeg.h"

namespace vantle {

// AVColorSpace values are handled by number: the table covers the values of
// FFmpeg 9.0 (up to AVCOL_SPC_YCGCO_RO, 17), and the 5.1 headers lack the
// names of 15 to 17, so a frame's colour space is never cast into an enum
// that cannot hold it.
inline constexpr int COLOR_SPACE_IPT_C2 = 15;
inline constexpr int COLOR_SPACE_YCGCO_RE = 16;
inline constexpr int COLOR_SPACE_YCGCO_RO = 17;
// AVCOL_SPC_NB of the same generation; it describes no matrix.
inline constexpr int COLOR_SPACE_COUNT = 18;

static_assert(AVCOL_SPC_RGB == 0 && AVCOL_SPC_BT709 == 1 && AVCOL_SPC_UNSPECIFIED == 2 &&
              AVCOL_SPC_RESERVED == 3 && AVCOL_SPC_FCC == 4 && AVCOL_SPC_BT470BG == 5 &&
              AVCOL_SPC_SMPTE170M == 6 && AVCOL_SPC_SMPTE240M == 7 && AVCOL_SPC_YCGCO == 8 &&
              AVCOL_SPC_BT2020_NCL == 9 && AVCOL_SPC_BT2020_CL == 10 && AVCOL_SPC_SMPTE2085 == 11 &&
              AVCOL_SPC_CHROMA_DERIVED_NCL == 12 && AVCOL_SPC_CHROMA_DERIVED_CL == 13 &&
              AVCOL_SPC_ICTCP == 14);
#if LIBAVUTIL_VERSION_MAJOR >= 60
static_assert(AVCOL_SPC_IPT_C2 == COLOR_SPACE_IPT_C2 &&
              AVCOL_SPC_YCGCO_RE == COLOR_SPACE_YCGCO_RE &&
              AVCOL_SPC_YCGCO_RO == COLOR_SPACE_YCGCO_RO);
#endif

// Either the swscale coefficient set of a colour space or the name printed
// when it is refused.
struct ColorSpaceEntry {
  std::int32_t swscale_colorspace;  // 0 when refused
  const char* rejected_name;        // null when accepted
};

inline constexpr std::array<ColorSpaceEntry, COLOR_SPACE_COUNT + 1> COLOR_SPACES = {{
    {0, "RGB"},
    {SWS_CS_ITU709, nullptr},
    {SWS_CS_DEFAULT, nullptr},  // unspecified
    {0, "Reserved"},
    {SWS_CS_FCC, nullptr},
    {SWS_CS_ITU601, nullptr},     // BT.470BG
    {SWS_CS_SMPTE170M, nullptr},  // same matrix as BT.470BG
    {SWS_CS_SMPTE240M, nullptr},
    {0, "YCGCO"},
    {SWS_CS_BT2020, nullptr},
    {0, "BT2020CL"},
    {0, "SMPTE2085"},
    {0, "ChromaDerivedNCL"},
    {0, "ChromaDerivedCL"},
    {0, "ICTCP"},
    {0, "IPT_C2"},
    {0, "YCGCO_RE"},
    {0, "YCGCO_RO"},
    {SWS_CS_DEFAULT, nullptr},  // AVCOL_SPC_NB counts as unspecified
}};

static_assert(COLOR_SPACES[COLOR_SPACE_YCGCO_RO].rejected_name != nullptr);

// The format swscale is given for a frame of `format`: the deprecated
// full-range (yuvj) formats as the plain format they name, since the range
// is always set explicitly (configure_rgb_scaler) and swscale logs a
// warning for every context made from a yuvj format.
inline AVPixelFormat swscale_source_format(AVPixelFormat format) noexcept {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return format;
  }
}

// swscale flags for converting a `source` frame to an output size. Fast
// bilinear is swscale's quickest path, and exact for chroma subsampled
// horizontally (4:2:0, 4:2:2) at the source's own size. For full-width
// chroma (4:4:4, 4:4:0) at the source's own size it shifts chroma by one
// pixel, a wrong pixel on every colour edge, so those take plain bilinear.
// Resizing keeps fast bilinear, a deliberate speed choice.
inline int rgb_scaler_flags(AVPixelFormat source, int source_width, int source_height,
                            int output_width, int output_height) noexcept {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source);
  const bool full_width_chroma = desc != nullptr && desc->nb_components >= 3 &&
                                 (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0 &&
                                 desc->log2_chroma_w == 0;
  const bool own_size = output_width == source_width && output_height == source_height;
  return full_width_chroma && own_size ? SWS_BILINEAR : SWS_FAST_BILINEAR;
}

}  // namespace vantle
