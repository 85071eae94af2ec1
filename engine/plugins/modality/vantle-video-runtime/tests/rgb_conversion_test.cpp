// RGB conversion of frames built here: colour matrices and ranges against
// the standard formulas, output sizes, the scaler cache and the refused
// colour spaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "common/ffmpeg.h"
#include "common/host_memory.h"
#include "conversion/rgb_converter.h"
#include "support/frame_to_rgb.h"
#include "support/rgb_reference.h"
#include "support/vulkan_frames.h"

namespace vantle {
namespace {

using testing::FfmpegRgbConverter;
using testing::reference_rgb;
using testing::YuvMatrix;

constexpr int BLOCK = 8;  // luma samples per colour block side

struct Yuv {
  int y, u, v;
};

// Saturated and neutral colours across the gamut; limited-range colour bars
// first.
const std::vector<Yuv> COLOURS = {
    {16, 128, 128},  {235, 128, 128}, {81, 90, 240},   {145, 54, 34},
    {41, 240, 110},  {210, 16, 146},  {170, 166, 16},  {106, 202, 222},
    {128, 128, 128}, {60, 160, 100},  {200, 100, 150}, {100, 200, 60},
    {30, 110, 200},  {180, 150, 90},  {0, 128, 128},   {255, 128, 128},
};

// A yuv420p (or yuvj420p) frame of BLOCK x BLOCK luma squares, one colour
// each, left to right then top to bottom, cycling through `colours`.
FrameHandle block_frame(int width, int height, const std::vector<Yuv>& colours,
                        AVPixelFormat format = AV_PIX_FMT_YUV420P) {
  FrameHandle frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  const int blocks_per_row = (width + BLOCK - 1) / BLOCK;
  const auto colour_at = [&](int x, int y) -> const Yuv& {
    return colours[static_cast<std::size_t>((y / BLOCK) * blocks_per_row + x / BLOCK) %
                   colours.size()];
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>(colour_at(x, y).y);
    }
  }
  for (int y = 0; y < (height + 1) / 2; ++y) {
    for (int x = 0; x < (width + 1) / 2; ++x) {
      const Yuv& colour = colour_at(2 * x, 2 * y);
      frame->data[1][y * frame->linesize[1] + x] = static_cast<std::uint8_t>(colour.u);
      frame->data[2][y * frame->linesize[2] + x] = static_cast<std::uint8_t>(colour.v);
    }
  }
  return frame;
}

FrameHandle flat_frame(int width, int height, Yuv colour,
                       AVPixelFormat format = AV_PIX_FMT_YUV420P) {
  return block_frame(width, height, {colour}, format);
}

FfmpegDecodedFrame decoded(FrameHandle frame) {
  return FfmpegDecodedFrame{std::move(frame)};
}

FrameHandle described(FrameHandle frame, AVColorSpace space, AVColorRange range) {
  frame->colorspace = space;
  frame->color_range = range;
  return frame;
}

const std::uint8_t* pixel(const RgbFrame& rgb, std::uint32_t x, std::uint32_t y) {
  return rgb.data.data() + (static_cast<std::size_t>(y) * rgb.width + x) * 3;
}

// What sws_getColorspaceDetails reports for a cached context.
struct InstalledConversion {
  std::array<int, 4> inverse_table{};
  int source_range = -1;
  int destination_range = -1;
  int brightness = -1, contrast = -1, saturation = -1;
};

InstalledConversion installed(const ConfiguredRgbScaler& scaler) {
  InstalledConversion result;
  int* inverse = nullptr;
  int* table = nullptr;
  EXPECT_GE(sws_getColorspaceDetails(scaler.context.get(), &inverse, &result.source_range, &table,
                                     &result.destination_range, &result.brightness,
                                     &result.contrast, &result.saturation),
            0);
  std::memcpy(result.inverse_table.data(), inverse, sizeof(int) * 4);
  return result;
}

std::array<int, 4> coefficients(int swscale_colorspace) {
  std::array<int, 4> table{};
  std::memcpy(table.data(), sws_getCoefficients(swscale_colorspace), sizeof(int) * 4);
  return table;
}

// ---------------------------------------------------------------------------
// Colour correctness

struct MatrixCase {
  const char* name;
  AVColorSpace space;
  AVColorRange range;
  YuvMatrix matrix;
  bool full_range;
  AVPixelFormat format = AV_PIX_FMT_YUV420P;
};

void PrintTo(const MatrixCase& c, std::ostream* os) {
  *os << c.name;
}

class RgbColourMatrix : public ::testing::TestWithParam<MatrixCase> {};

// The largest error swscale's fixed-point tables make against the exact
// formula, in 8-bit levels.
constexpr int COLOUR_TOLERANCE = 3;

// Checks the interior of every colour block (two samples away from its
// edges, so chroma interpolation plays no part) against the reference.
void expect_blocks_match(const RgbFrame& rgb, const std::vector<Yuv>& colours,
                         const YuvMatrix& matrix, bool full_range, int scale_numerator = 1,
                         int scale_denominator = 1) {
  const int blocks_per_row =
      static_cast<int>(rgb.width) * scale_denominator / scale_numerator / BLOCK;
  int checked = 0;
  int worst = 0;
  for (std::uint32_t y = 0; y < rgb.height; ++y) {
    for (std::uint32_t x = 0; x < rgb.width; ++x) {
      const int sx = static_cast<int>(x) * scale_denominator / scale_numerator;
      const int sy = static_cast<int>(y) * scale_denominator / scale_numerator;
      if (sx % BLOCK < 2 || sx % BLOCK > BLOCK - 3 || sy % BLOCK < 2 || sy % BLOCK > BLOCK - 3) {
        continue;
      }
      const Yuv& c = colours[static_cast<std::size_t>((sy / BLOCK) * blocks_per_row + sx / BLOCK) %
                             colours.size()];
      const auto expected = reference_rgb(c.y, c.u, c.v, matrix, full_range);
      const int distance = testing::rgb_distance(expected, pixel(rgb, x, y));
      worst = std::max(worst, distance);
      ASSERT_LE(distance, COLOUR_TOLERANCE)
          << "pixel (" << x << ", " << y << ") of YUV (" << c.y << ", " << c.u << ", " << c.v
          << ") with " << matrix.name << (full_range ? " full" : " limited") << " range: got "
          << testing::describe_rgb(pixel(rgb, x, y)) << ", expected "
          << testing::describe_rgb(expected.data());
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

TEST_P(RgbColourMatrix, EveryBlockMatchesTheStandardMatrix) {
  const MatrixCase& c = GetParam();
  FrameHandle frame = described(block_frame(32, 32, COLOURS, c.format), c.space, c.range);
  FfmpegRgbConverter converter;
  auto rgb = converter.convert_to_rgb(decoded(std::move(frame)), 0, 0);
  ASSERT_TRUE(rgb.has_value()) << rgb.error();
  ASSERT_EQ(rgb->width, 32u);
  ASSERT_EQ(rgb->height, 32u);
  expect_blocks_match(*rgb, COLOURS, c.matrix, c.full_range);
}

TEST_P(RgbColourMatrix, ScaledOutputKeepsTheMatrix) {
  const MatrixCase& c = GetParam();
  FrameHandle frame = described(block_frame(32, 32, COLOURS, c.format), c.space, c.range);
  FfmpegRgbConverter converter;
  auto rgb = converter.convert_to_rgb(decoded(std::move(frame)), 64, 64);
  ASSERT_TRUE(rgb.has_value()) << rgb.error();
  expect_blocks_match(*rgb, COLOURS, c.matrix, c.full_range, 2, 1);
}

INSTANTIATE_TEST_SUITE_P(
    ColourSpaces, RgbColourMatrix,
    ::testing::Values(
        MatrixCase{"Bt709Limited", AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, testing::BT709_MATRIX, false},
        MatrixCase{"Bt709Full", AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, testing::BT709_MATRIX, true},
        MatrixCase{"UnspecifiedIsBt601", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED,
                   testing::BT601_MATRIX, false},
        MatrixCase{"Bt470bg", AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, testing::BT601_MATRIX, false},
        MatrixCase{"Smpte170m", AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, testing::BT601_MATRIX,
                   false},
        MatrixCase{"Smpte170mFull", AVCOL_SPC_SMPTE170M, AVCOL_RANGE_JPEG, testing::BT601_MATRIX,
                   true},
        MatrixCase{"Bt2020NclLimited", AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG,
                   testing::BT2020_MATRIX, false},
        MatrixCase{"Bt2020NclFull", AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_JPEG, testing::BT2020_MATRIX,
                   true},
        MatrixCase{"Fcc", AVCOL_SPC_FCC, AVCOL_RANGE_MPEG, testing::FCC_MATRIX, false},
        MatrixCase{"Smpte240m", AVCOL_SPC_SMPTE240M, AVCOL_RANGE_MPEG, testing::SMPTE240M_MATRIX,
                   false},
        // The range comes from the range field alone, not from the "J" format.
        MatrixCase{"YuvjFull", AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, testing::BT709_MATRIX, true,
                   AV_PIX_FMT_YUVJ420P},
        MatrixCase{"YuvjUnspecifiedRangeIsLimited", AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED,
                   testing::BT709_MATRIX, false, AV_PIX_FMT_YUVJ420P}),
    [](const auto& info) { return std::string(info.param.name); });

// Each source format at its own size, against swscale run directly with the
// flags that give the right picture: 4:2:0 and 4:2:2 keep fast bilinear
// (their bytes must not change, yuvj formats included), full-width chroma
// takes bilinear, which fast bilinear shifts by a pixel. No conversion may
// log (a yuvj format makes swscale warn about it for every context).
struct SourceFormatCase {
  AVPixelFormat format;
  AVColorRange range;
  AVPixelFormat reference_format;
  int reference_flags;
};

std::vector<std::uint8_t> swscale_rgb(const AVFrame& frame, AVPixelFormat format, int flags,
                                      bool full_range) {
  SwsContextHandle context(sws_getContext(frame.width, frame.height, format, frame.width,
                                          frame.height, AV_PIX_FMT_RGB24, flags, nullptr, nullptr,
                                          nullptr));
  EXPECT_TRUE(context);
  const int* table = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(context.get(), table, full_range ? 1 : 0, table, 1, 0, 1 << 16, 1 << 16);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(frame.width) * 3 * frame.height + 256);
  std::uint8_t* planes[4] = {rgb.data()};
  int linesizes[4] = {frame.width * 3};
  sws_scale(context.get(), frame.data, frame.linesize, 0, frame.height, planes, linesizes);
  rgb.resize(rgb.size() - 256);
  return rgb;
}

// Red and green vertical bars, two samples wide, in any planar 8-bit YUV
// format: every chroma column differs from its neighbour's block.
FrameHandle bar_frame(AVPixelFormat format, int width, int height) {
  FrameHandle frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const Yuv bars[2] = {{81, 90, 240}, {145, 54, 34}};
  for (int plane = 0; plane < 3; ++plane) {
    const int shift_w = plane == 0 ? 0 : desc->log2_chroma_w;
    const int shift_h = plane == 0 ? 0 : desc->log2_chroma_h;
    for (int y = 0; y < AV_CEIL_RSHIFT(height, shift_h); ++y) {
      for (int x = 0; x < AV_CEIL_RSHIFT(width, shift_w); ++x) {
        const Yuv& bar = bars[((x << shift_w) / 2) % 2];
        const int value = plane == 0 ? bar.y : plane == 1 ? bar.u : bar.v;
        frame->data[plane][y * frame->linesize[plane] + x] = static_cast<std::uint8_t>(value);
      }
    }
  }
  frame->colorspace = AVCOL_SPC_BT709;
  return frame;
}

std::vector<std::string>& captured_log() {
  static std::vector<std::string> lines;
  return lines;
}

TEST(RgbSourceFormats, OwnSizeMatchesTheRightSwscaleFilterAndLogsNothing) {
  const SourceFormatCase cases[] = {
      {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR},
      {AV_PIX_FMT_YUV422P, AVCOL_RANGE_MPEG, AV_PIX_FMT_YUV422P, SWS_FAST_BILINEAR},
      {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG, AV_PIX_FMT_YUVJ420P, SWS_FAST_BILINEAR},
      {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, AV_PIX_FMT_YUVJ420P, SWS_FAST_BILINEAR},
      {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_JPEG, AV_PIX_FMT_YUVJ422P, SWS_FAST_BILINEAR},
      {AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, AV_PIX_FMT_YUV444P, SWS_BILINEAR},
      {AV_PIX_FMT_YUVJ444P, AVCOL_RANGE_JPEG, AV_PIX_FMT_YUV444P, SWS_BILINEAR},
      {AV_PIX_FMT_YUV440P, AVCOL_RANGE_MPEG, AV_PIX_FMT_YUV440P, SWS_BILINEAR},
  };
  const int level = av_log_get_level();
  for (const SourceFormatCase& c : cases) {
    const char* name = av_get_pix_fmt_name(c.format);
    FrameHandle frame = bar_frame(c.format, 48, 16);
    frame->color_range = c.range;
    av_log_set_level(AV_LOG_QUIET);
    const auto expected =
        swscale_rgb(*frame, c.reference_format, c.reference_flags, c.range == AVCOL_RANGE_JPEG);
    captured_log().clear();
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback([](void*, int lvl, const char* format, va_list args) {
      if (lvl <= av_log_get_level()) {
        char line[256];
        std::vsnprintf(line, sizeof line, format, args);
        captured_log().emplace_back(line);
      }
    });
    FfmpegRgbConverter converter;
    auto rgb = converter.convert_to_rgb(decoded(std::move(frame)), 0, 0);
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(level);
    ASSERT_TRUE(rgb.has_value()) << name << ": " << rgb.error();
    EXPECT_TRUE(captured_log().empty()) << name << " logged: " << captured_log().front();
    ASSERT_EQ(rgb->data.size(), expected.size()) << name;
    EXPECT_EQ(std::memcmp(rgb->data.data(), expected.data(), expected.size()), 0)
        << name << " range " << c.range;
    if (c.reference_format == AV_PIX_FMT_YUV444P) {
      // The fault fast bilinear made: the first column of each bar took its
      // neighbour's chroma (a red/green edge came out dark green).
      const bool full = c.range == AVCOL_RANGE_JPEG;
      for (std::uint32_t x = 0; x < rgb->width; ++x) {
        const Yuv bar = x / 2 % 2 == 0 ? Yuv{81, 90, 240} : Yuv{145, 54, 34};
        const auto want = reference_rgb(bar.y, bar.u, bar.v, testing::BT709_MATRIX, full);
        EXPECT_LE(testing::rgb_distance(want, pixel(*rgb, x, 8)), COLOUR_TOLERANCE)
            << name << " column " << x << ": " << testing::describe_rgb(pixel(*rgb, x, 8));
      }
    }
  }
}

// The colours above tell the matrices and ranges apart by far more than the
// tolerance, so a wrong choice fails the tests above.
TEST(RgbColourMatrix, TestColoursSeparateMatricesAndRanges) {
  const YuvMatrix matrices[] = {testing::BT601_MATRIX, testing::BT709_MATRIX,
                                testing::BT2020_MATRIX};
  for (const YuvMatrix& a : matrices) {
    for (bool a_full : {false, true}) {
      for (const YuvMatrix& b : matrices) {
        for (bool b_full : {false, true}) {
          if (a.name == b.name && a_full == b_full) {
            continue;
          }
          int widest = 0;
          for (const Yuv& c : COLOURS) {
            const auto expected = reference_rgb(c.y, c.u, c.v, a, a_full);
            const auto other = reference_rgb(c.y, c.u, c.v, b, b_full);
            widest = std::max(widest, testing::rgb_distance(expected, other.data()));
          }
          EXPECT_GT(widest, 3 * COLOUR_TOLERANCE)
              << a.name << (a_full ? " full" : " limited") << " vs " << b.name
              << (b_full ? " full" : " limited");
        }
      }
    }
  }
}

TEST(RgbColourConversion, ContextIsConfiguredWithTheFramesMatrixAndRanges) {
  struct Case {
    AVColorSpace space;
    AVColorRange range;
    int swscale_colorspace;
    int source_range;
  };
  for (const Case& c : {Case{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, SWS_CS_ITU709, 0},
                        Case{AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED, SWS_CS_ITU709, 0},
                        Case{AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, SWS_CS_ITU709, 1},
                        Case{AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_MPEG, SWS_CS_DEFAULT, 0},
                        Case{AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_JPEG, SWS_CS_BT2020, 1},
                        Case{AVCOL_SPC_SMPTE240M, AVCOL_RANGE_MPEG, SWS_CS_SMPTE240M, 0},
                        Case{AVCOL_SPC_FCC, AVCOL_RANGE_MPEG, SWS_CS_FCC, 0}}) {
    FfmpegRgbConverter converter;
    auto rgb = converter.convert_to_rgb(
        decoded(described(flat_frame(16, 16, {128, 128, 128}), c.space, c.range)), 0, 0);
    ASSERT_TRUE(rgb.has_value()) << rgb.error();
    ASSERT_NE(converter.scaler(), nullptr);
    const ConfiguredRgbScaler& scaler = *converter.scaler();
    EXPECT_EQ(scaler.conversion, (YuvColorConversion{c.swscale_colorspace, c.source_range == 1}));
    const InstalledConversion details = installed(scaler);
    EXPECT_EQ(details.inverse_table, coefficients(c.swscale_colorspace)) << c.space;
    EXPECT_EQ(details.source_range, c.source_range) << c.space;
    EXPECT_EQ(details.destination_range, 1);
    EXPECT_EQ(details.brightness, 0);
    EXPECT_EQ(details.contrast, 1 << 16);
    EXPECT_EQ(details.saturation, 1 << 16);
  }
}

// Formats other than 8-bit 4:2:0 go through the same matrix.
TEST(RgbColourConversion, OtherSourceFormatsAreConverted) {
  for (AVPixelFormat format : {AV_PIX_FMT_NV12, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV420P10LE}) {
    FrameHandle frame(av_frame_alloc());
    frame->format = format;
    frame->width = 16;
    frame->height = 16;
    ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const Yuv colour{81, 90, 240};
    const int values[3] = {colour.y, colour.u, colour.v};
    for (int component = 0; component < desc->nb_components; ++component) {
      const AVComponentDescriptor& comp = desc->comp[component];
      const int plane_height = component == 0 ? 16 : AV_CEIL_RSHIFT(16, desc->log2_chroma_h);
      const int plane_width = component == 0 ? 16 : AV_CEIL_RSHIFT(16, desc->log2_chroma_w);
      for (int y = 0; y < plane_height; ++y) {
        for (int x = 0; x < plane_width; ++x) {
          std::uint8_t* sample = frame->data[comp.plane] + y * frame->linesize[comp.plane] +
                                 x * comp.step + comp.offset;
          const int value = values[component] << (comp.depth - 8);
          if (comp.depth > 8) {
            const auto wide = static_cast<std::uint16_t>(value);
            std::memcpy(sample, &wide, 2);
          } else {
            *sample = static_cast<std::uint8_t>(value);
          }
        }
      }
    }
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    FfmpegRgbConverter converter;
    auto rgb = converter.convert_to_rgb(decoded(std::move(frame)), 0, 0);
    ASSERT_TRUE(rgb.has_value()) << rgb.error();
    const auto expected = reference_rgb(colour.y, colour.u, colour.v, testing::BT709_MATRIX, false);
    for (std::uint32_t y = 0; y < rgb->height; ++y) {
      for (std::uint32_t x = 0; x < rgb->width; ++x) {
        ASSERT_LE(testing::rgb_distance(expected, pixel(*rgb, x, y)), COLOUR_TOLERANCE)
            << av_get_pix_fmt_name(format) << " at (" << x << ", " << y
            << "): " << testing::describe_rgb(pixel(*rgb, x, y));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Output sizes

struct SizeCase {
  int source_width, source_height;
  std::uint32_t requested_width, requested_height;
  std::uint32_t width, height;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.source_width << "x" << c.source_height << " -> " << c.requested_width << "x"
      << c.requested_height;
}

class RgbOutputSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RgbOutputSize, BufferHoldsExactlyTheRequestedPicture) {
  const SizeCase& c = GetParam();
  const Yuv colour{145, 54, 34};
  FfmpegRgbConverter converter;
  auto rgb = converter.convert_to_rgb(
      decoded(described(flat_frame(c.source_width, c.source_height, colour), AVCOL_SPC_BT709,
                        AVCOL_RANGE_MPEG)),
      c.requested_width, c.requested_height);
  ASSERT_TRUE(rgb.has_value()) << rgb.error();
  EXPECT_EQ(rgb->width, c.width);
  EXPECT_EQ(rgb->height, c.height);
  const std::size_t size = static_cast<std::size_t>(c.width) * 3 * c.height;
  EXPECT_EQ(rgb->data.size(), size);
  // Allocated once: the packed picture plus the row padding swscale writes
  // with (none when the width is a multiple of 8).
  EXPECT_EQ(rgb->data.capacity(), rgb_buffer_layout(c.width, c.height)->written_size);
  // The buffer is not zero-filled beforehand: every byte must have been
  // written with the flat colour.
  const auto expected = reference_rgb(colour.y, colour.u, colour.v, testing::BT709_MATRIX, false);
  for (std::uint32_t y = 0; y < rgb->height; ++y) {
    for (std::uint32_t x = 0; x < rgb->width; ++x) {
      ASSERT_LE(testing::rgb_distance(expected, pixel(*rgb, x, y)), COLOUR_TOLERANCE)
          << "(" << x << ", " << y << ")";
    }
  }

  // The same context, at the line size the converter writes with, stays
  // within the slack the host heap puts behind every buffer.
  const auto layout = rgb_buffer_layout(c.width, c.height);
  const std::size_t allowed = layout->written_size + HOST_MEMORY_SLACK;
  FrameHandle source = flat_frame(c.source_width, c.source_height, colour);
  std::vector<std::uint8_t> guarded(allowed + HOST_MEMORY_SLACK, 0xA5);
  std::array<std::uint8_t*, 8> planes{guarded.data()};
  std::array<int, 8> linesizes{static_cast<int>(layout->line_size)};
  ASSERT_EQ(sws_scale(converter.scaler()->context.get(), source->data, source->linesize, 0,
                      source->height, planes.data(), linesizes.data()),
            static_cast<int>(c.height));
  for (std::size_t i = allowed; i < guarded.size(); ++i) {
    ASSERT_EQ(guarded[i], 0xA5) << "byte " << i - allowed << " past the slack was written";
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RgbOutputSize,
                         ::testing::Values(SizeCase{64, 48, 0, 0, 64, 48},        // decoded size
                                           SizeCase{64, 48, 32, 0, 32, 48},       // width only
                                           SizeCase{64, 48, 0, 24, 64, 24},       // height only
                                           SizeCase{64, 48, 16, 12, 16, 12},      // downscale
                                           SizeCase{64, 48, 160, 120, 160, 120},  // upscale
                                           SizeCase{64, 48, 33, 17, 33, 17},      // odd output
                                           SizeCase{33, 17, 0, 0, 33, 17},        // odd source
                                           SizeCase{35, 19, 71, 39, 71, 39},      // odd both ways
                                           SizeCase{64, 48, 1, 1, 1, 1},          // single pixel
                                           SizeCase{5, 3, 0, 0, 5, 3},
                                           // Unscaled even heights take swscale's SIMD
                                           // loop, which skipped the last 2 pixels of
                                           // 18-pixel rows written tightly packed.
                                           SizeCase{18, 4, 0, 0, 18, 4},
                                           SizeCase{24, 2, 0, 0, 24, 2}));

TEST(RgbOutputSize, LayoutOverflowsAndLineSizeLimitAreRefused) {
  auto fits = rgb_buffer_layout(715827882, 2);  // row 2147483646 bytes
  ASSERT_TRUE(fits.has_value()) << fits.error();
  EXPECT_EQ(fits->row_size, 2147483646u);
  EXPECT_EQ(fits->frame_size, 4294967292u);
  EXPECT_EQ(fits->line_size, fits->row_size);  // padding would pass the int limit
  auto padded = rgb_buffer_layout(18, 4);
  ASSERT_TRUE(padded.has_value());
  EXPECT_EQ(padded->line_size, 72u);
  EXPECT_EQ(padded->written_size, 3 * 72u + 54u);
  EXPECT_EQ(padded->frame_size, 4 * 54u);
  EXPECT_EQ(rgb_buffer_layout(715827883, 1).error(),
            "RGB row size exceeds FFmpeg line size limits");
  EXPECT_EQ(rgb_buffer_layout(std::numeric_limits<std::uint32_t>::max(),
                              std::numeric_limits<std::uint32_t>::max())
                .error(),
            "RGB frame size overflow");
  auto empty = rgb_buffer_layout(0, 7);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->frame_size, 0u);
}

// Sizes swscale cannot take fail as a scaler error, never by allocating.
TEST(RgbOutputSize, SizesBeyondTheScalerFailCleanly) {
  for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{1u << 31, 16},
                      {16, 1u << 31},
                      {std::numeric_limits<std::uint32_t>::max(), 1}}) {
    FfmpegRgbConverter converter;
    auto rgb = converter.convert_to_rgb(decoded(flat_frame(16, 16, {128, 128, 128})), w, h);
    ASSERT_FALSE(rgb.has_value()) << w << "x" << h;
    EXPECT_EQ(rgb.error(),
              "failed to create video scaler: Invalid data found when processing input");
    EXPECT_EQ(converter.scaler(), nullptr);
  }
}

// ---------------------------------------------------------------------------
// Scaler cache

struct CacheStep {
  const char* what;
  int width, height;
  AVColorSpace space;
  AVColorRange range;
  std::uint32_t output_width, output_height;
  AVPixelFormat format;
  bool reused;  // the step keeps the previous step's context
};

// Each step's picture must equal what a fresh converter makes of the same
// frame: a cached context kept across a changed parameter shows as wrong
// bytes. A step that keeps its context converts with the very same one.
TEST(RgbScalerCache, ContextIsRebuiltExactlyWhenAParameterChanges) {
  const CacheStep steps[] = {
      {"first frame", 64, 48, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 0, 0, AV_PIX_FMT_YUV420P, false},
      {"same parameters", 64, 48, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 0, 0, AV_PIX_FMT_YUV420P,
       true},
      {"explicit size equal to the default", 64, 48, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 64, 48,
       AV_PIX_FMT_YUV420P, true},
      {"BT.601 after BT.709", 64, 48, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, 0, 0, AV_PIX_FMT_YUV420P,
       false},
      {"SMPTE 170M shares BT.470BG's context", 64, 48, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, 0, 0,
       AV_PIX_FMT_YUV420P, true},
      {"back to BT.470BG", 64, 48, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, 0, 0, AV_PIX_FMT_YUV420P,
       true},
      {"unspecified maps to the same set", 64, 48, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED,
       0, 0, AV_PIX_FMT_YUV420P, true},
      {"full range", 64, 48, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 0, 0, AV_PIX_FMT_YUV420P, false},
      {"source size", 32, 48, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 0, 0, AV_PIX_FMT_YUV420P, false},
      {"source height", 32, 16, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 0, 0, AV_PIX_FMT_YUV420P,
       false},
      {"output width", 32, 16, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 16, 0, AV_PIX_FMT_YUV420P,
       false},
      {"output height", 32, 16, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 16, 8, AV_PIX_FMT_YUV420P,
       false},
      {"same again", 32, 16, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 16, 8, AV_PIX_FMT_YUV420P, true},
      {"pixel format", 32, 16, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 16, 8, AV_PIX_FMT_YUVJ420P,
       false},
  };
  FfmpegRgbConverter converter;
  const SwsContext* previous = nullptr;
  for (const CacheStep& step : steps) {
    const auto frame = [&] {
      return decoded(described(flat_frame(step.width, step.height, {100, 120, 140}, step.format),
                               step.space, step.range));
    };
    auto rgb = converter.convert_to_rgb(frame(), step.output_width, step.output_height);
    ASSERT_TRUE(rgb.has_value()) << step.what << ": " << rgb.error();
    FfmpegRgbConverter fresh;
    auto expected = fresh.convert_to_rgb(frame(), step.output_width, step.output_height);
    ASSERT_TRUE(expected.has_value()) << step.what << ": " << expected.error();
    EXPECT_TRUE(std::equal(rgb->data.data(), rgb->data.data() + rgb->data.size(),
                           expected->data.data(), expected->data.data() + expected->data.size()))
        << step.what;
    ASSERT_NE(converter.scaler(), nullptr);
    if (step.reused) {
      EXPECT_EQ(converter.scaler()->context.get(), previous) << step.what;
    }
    previous = converter.scaler()->context.get();
  }
}

TEST(RgbScalerCache, FailedRebuildKeepsThePreviousScaler) {
  FfmpegRgbConverter converter;
  ASSERT_TRUE(converter
                  .convert_to_rgb(decoded(described(flat_frame(32, 32, {90, 100, 110}),
                                                    AVCOL_SPC_BT709, AVCOL_RANGE_MPEG)),
                                  0, 0)
                  .has_value());
  const SwsContext* cached = converter.scaler()->context.get();

  // A frame without a pixel format: swscale cannot take it.
  FrameHandle formatless = flat_frame(32, 32, {90, 100, 110});
  formatless->format = AV_PIX_FMT_NONE;
  auto failed = converter.convert_to_rgb(decoded(std::move(formatless)), 0, 0);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(),
            "failed to create video scaler: Invalid data found when processing input");
  ASSERT_NE(converter.scaler(), nullptr);
  EXPECT_EQ(converter.scaler()->context.get(), cached);
  EXPECT_EQ(converter.scaler()->input.format, AV_PIX_FMT_YUV420P);

  // A format swscale knows but cannot read (a hardware surface format).
  FrameHandle surface = flat_frame(32, 32, {90, 100, 110});
  surface->format = AV_PIX_FMT_VULKAN;
  auto refused = converter.convert_to_rgb(decoded(std::move(surface)), 0, 0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(),
            "failed to create video scaler: Invalid data found when processing input");
  EXPECT_EQ(converter.scaler()->context.get(), cached);

  // A refused colour space is reported before any scaler work.
  auto rejected = converter.convert_to_rgb(
      decoded(described(flat_frame(32, 32, {90, 100, 110}), AVCOL_SPC_RGB, AVCOL_RANGE_MPEG)), 0,
      0);
  ASSERT_FALSE(rejected.has_value());
  EXPECT_EQ(converter.scaler()->context.get(), cached);

  // The next matching frame is served by the surviving context.
  auto again = converter.convert_to_rgb(
      decoded(described(flat_frame(32, 32, {90, 100, 110}), AVCOL_SPC_BT709, AVCOL_RANGE_MPEG)), 0,
      0);
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ(converter.scaler()->context.get(), cached);
}

TEST(RgbScalerCache, FailureWithoutCachedScalerLeavesNone) {
  FfmpegRgbConverter converter;
  FrameHandle formatless = flat_frame(16, 16, {90, 100, 110});
  formatless->format = AV_PIX_FMT_NONE;
  auto failed = converter.convert_to_rgb(decoded(std::move(formatless)), 0, 0);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(converter.scaler(), nullptr);
  std::optional<ConfiguredRgbScaler> scaler;
  FrameHandle empty(av_frame_alloc());  // no format, no size, no buffers
  EXPECT_EQ(convert_frame_to_rgb(*empty, 16, 16, scaler).error(),
            "failed to create video scaler: Invalid data found when processing input");
  EXPECT_FALSE(scaler.has_value());
}

TEST(RgbScalerCache, ConverterMovesItsScaler) {
  FfmpegRgbConverter converter;
  ASSERT_TRUE(converter.convert_to_rgb(decoded(flat_frame(16, 16, {90, 100, 110})), 0, 0));
  const SwsContext* cached = converter.scaler()->context.get();
  FfmpegRgbConverter moved = std::move(converter);
  ASSERT_NE(moved.scaler(), nullptr);
  EXPECT_EQ(moved.scaler()->context.get(), cached);
  ASSERT_TRUE(moved.convert_to_rgb(decoded(flat_frame(16, 16, {90, 100, 110})), 0, 0));
  EXPECT_EQ(moved.scaler()->context.get(), cached);
  static_assert(!std::is_copy_constructible_v<FfmpegRgbConverter>);
  static_assert(!std::is_copy_assignable_v<FfmpegRgbConverter>);
  static_assert(std::is_nothrow_move_constructible_v<FfmpegRgbConverter>);
}

// The converter owns the decoded frame it is given and lets go of it on
// success and on failure.
TEST(RgbScalerCache, DecodedFrameIsReleasedOnEveryPath) {
  for (AVColorSpace space : {AVCOL_SPC_BT709, AVCOL_SPC_RGB}) {
    FrameHandle frame = described(flat_frame(16, 16, {90, 100, 110}), space, AVCOL_RANGE_MPEG);
    FrameHandle keeper(av_frame_alloc());
    ASSERT_EQ(av_frame_ref(keeper.get(), frame.get()), 0);
    ASSERT_EQ(av_buffer_get_ref_count(keeper->buf[0]), 2);
    FfmpegRgbConverter converter;
    auto rgb = converter.convert_to_rgb(decoded(std::move(frame)), 0, 0);
    EXPECT_EQ(rgb.has_value(), space == AVCOL_SPC_BT709);
    EXPECT_EQ(av_buffer_get_ref_count(keeper->buf[0]), 1) << space;
  }
}

// ---------------------------------------------------------------------------
// Colour-space table

struct ColourSpaceCase {
  int value;
  const char* rejected_name;  // null when accepted
  int swscale_colorspace;
};

void PrintTo(const ColourSpaceCase& c, std::ostream* os) {
  *os << "AVColorSpace " << c.value;
}

class RgbColourSpaceTable : public ::testing::TestWithParam<ColourSpaceCase> {};

TEST_P(RgbColourSpaceTable, MapsOrRejectsByValue) {
  const ColourSpaceCase& c = GetParam();
  for (int range : {0, 1, 2, 3, -1}) {
    auto conversion = yuv_color_conversion(c.value, range);
    if (c.rejected_name != nullptr) {
      ASSERT_FALSE(conversion.has_value()) << c.value;
      EXPECT_EQ(
          conversion.error(),
          std::string("FFmpeg RGB conversion does not support YUV color space ") + c.rejected_name);
    } else {
      ASSERT_TRUE(conversion.has_value()) << c.value << ": " << conversion.error();
      EXPECT_EQ(conversion->colorspace, c.swscale_colorspace) << c.value;
      EXPECT_EQ(conversion->full_range, range == AVCOL_RANGE_JPEG) << c.value << "/" << range;
    }
  }
}

// Through a frame, for every value this FFmpeg generation can store.
TEST_P(RgbColourSpaceTable, FramesWithTheColourSpaceConvertOrFail) {
  const ColourSpaceCase& c = GetParam();
  if (c.value >= AVCOL_SPC_NB) {
    GTEST_SKIP() << "AVColorSpace " << c.value << " does not exist in this FFmpeg";
  }
  FfmpegRgbConverter converter;
  auto rgb = converter.convert_to_rgb(
      decoded(described(flat_frame(16, 16, {90, 100, 110}), static_cast<AVColorSpace>(c.value),
                        AVCOL_RANGE_MPEG)),
      0, 0);
  if (c.rejected_name != nullptr) {
    ASSERT_FALSE(rgb.has_value());
    EXPECT_EQ(rgb.error(), std::string("FFmpeg RGB conversion does not support YUV color space ") +
                               c.rejected_name);
    EXPECT_EQ(converter.scaler(), nullptr);
  } else {
    ASSERT_TRUE(rgb.has_value()) << rgb.error();
    EXPECT_EQ(converter.scaler()->conversion.colorspace, c.swscale_colorspace);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, RgbColourSpaceTable,
    ::testing::Values(ColourSpaceCase{0, "RGB", 0}, ColourSpaceCase{1, nullptr, SWS_CS_ITU709},
                      ColourSpaceCase{2, nullptr, SWS_CS_DEFAULT},
                      ColourSpaceCase{3, "Reserved", 0}, ColourSpaceCase{4, nullptr, SWS_CS_FCC},
                      ColourSpaceCase{5, nullptr, SWS_CS_ITU601},
                      ColourSpaceCase{6, nullptr, SWS_CS_SMPTE170M},
                      ColourSpaceCase{7, nullptr, SWS_CS_SMPTE240M}, ColourSpaceCase{8, "YCGCO", 0},
                      ColourSpaceCase{9, nullptr, SWS_CS_BT2020},
                      ColourSpaceCase{10, "BT2020CL", 0}, ColourSpaceCase{11, "SMPTE2085", 0},
                      ColourSpaceCase{12, "ChromaDerivedNCL", 0},
                      ColourSpaceCase{13, "ChromaDerivedCL", 0}, ColourSpaceCase{14, "ICTCP", 0},
                      ColourSpaceCase{15, "IPT_C2", 0}, ColourSpaceCase{16, "YCGCO_RE", 0},
                      ColourSpaceCase{17, "YCGCO_RO", 0},
                      // AVCOL_SPC_NB of FFmpeg 9.0 counts as unspecified.
                      ColourSpaceCase{18, nullptr, SWS_CS_DEFAULT}),
    [](const auto& info) { return "Value" + std::to_string(info.param.value); });

TEST(RgbColourSpaceTable, ValuesOutsideTheTableAreRefusedByNumber) {
  EXPECT_EQ(yuv_color_conversion(19, AVCOL_RANGE_MPEG).error(),
            "FFmpeg RGB conversion does not support YUV color space 19");
  EXPECT_EQ(yuv_color_conversion(-1, AVCOL_RANGE_MPEG).error(),
            "FFmpeg RGB conversion does not support YUV color space -1");
}

TEST(RgbColourSpaceTable, ConversionEquality) {
  EXPECT_EQ((YuvColorConversion{5, false}), (YuvColorConversion{5, false}));
  EXPECT_NE((YuvColorConversion{5, false}), (YuvColorConversion{5, true}));
  EXPECT_NE((YuvColorConversion{5, false}), (YuvColorConversion{1, false}));
}

TEST(RgbColourConversion, ConfigureRejectsNothingSwscaleAccepts) {
  SwsContextHandle context(sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_RGB24,
                                          SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
  ASSERT_NE(context, nullptr);
  for (int colorspace :
       {SWS_CS_ITU709, SWS_CS_FCC, SWS_CS_ITU601, SWS_CS_SMPTE240M, SWS_CS_BT2020}) {
    for (bool full_range : {false, true}) {
      EXPECT_TRUE(configure_rgb_scaler(*context, colorspace, full_range).has_value());
      int* inverse = nullptr;
      int* table = nullptr;
      int source_range = -1, destination_range = -1, brightness, contrast, saturation;
      ASSERT_GE(sws_getColorspaceDetails(context.get(), &inverse, &source_range, &table,
                                         &destination_range, &brightness, &contrast, &saturation),
                0);
      EXPECT_EQ(source_range, full_range ? 1 : 0);
      EXPECT_EQ(destination_range, 1);
      EXPECT_EQ(std::memcmp(inverse, sws_getCoefficients(colorspace), sizeof(int) * 4), 0);
    }
  }
}

// ---------------------------------------------------------------------------
// Hardware frames

// A Vulkan frame converts through its downloaded copy, with the source's
// colour description, and gives the pixels the software frame gives.
TEST(RgbHardwareFrames, VulkanFrameConvertsThroughItsDownload) {
  for (AVPixelFormat surface : {AV_PIX_FMT_NONE, AV_PIX_FMT_NV12}) {
    FrameHandle software =
        described(block_frame(32, 24, COLOURS), AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
    testing::VulkanFrame hardware = testing::upload_to_vulkan(*software, surface);
    VANTLE_REQUIRE_VULKAN_FRAME(hardware);
    ASSERT_EQ(hardware.frame->format, AV_PIX_FMT_VULKAN);

    FfmpegRgbConverter converter;
    auto from_hardware = converter.convert_to_rgb(decoded(std::move(hardware.frame)), 0, 0);
    ASSERT_TRUE(from_hardware.has_value()) << from_hardware.error();
    ASSERT_NE(converter.scaler(), nullptr);
    // The scaler reads the download format, never the surface format.
    EXPECT_NE(converter.scaler()->input.format, AV_PIX_FMT_VULKAN);
    EXPECT_EQ(converter.scaler()->conversion, (YuvColorConversion{SWS_CS_ITU709, false}));
    EXPECT_EQ(from_hardware->width, 32u);
    EXPECT_EQ(from_hardware->height, 24u);
    expect_blocks_match(*from_hardware, COLOURS, testing::BT709_MATRIX, false);

    if (surface == AV_PIX_FMT_NONE) {
      FfmpegRgbConverter direct;
      auto from_software = direct.convert_to_rgb(decoded(std::move(software)), 0, 0);
      ASSERT_TRUE(from_software.has_value()) << from_software.error();
      ASSERT_EQ(from_software->data.size(), from_hardware->data.size());
      EXPECT_EQ(std::memcmp(from_software->data.data(), from_hardware->data.data(),
                            from_hardware->data.size()),
                0);
    }
  }
}

TEST(RgbHardwareFrames, ResizedVulkanFramesReuseOneScaler) {
  FfmpegRgbConverter converter;
  const SwsContext* first = nullptr;
  for (int i = 0; i < 3; ++i) {
    FrameHandle software =
        described(flat_frame(32, 24, {81, 90, 240}), AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
    testing::VulkanFrame hardware = testing::upload_to_vulkan(*software);
    VANTLE_REQUIRE_VULKAN_FRAME(hardware);
    auto rgb = converter.convert_to_rgb(decoded(std::move(hardware.frame)), 16, 0);
    ASSERT_TRUE(rgb.has_value()) << rgb.error();
    EXPECT_EQ(rgb->width, 16u);
    EXPECT_EQ(rgb->height, 24u);
    if (first == nullptr) {
      first = converter.scaler()->context.get();
    }
    EXPECT_EQ(converter.scaler()->context.get(), first);
  }
}

}  // namespace
}  // namespace vantle
