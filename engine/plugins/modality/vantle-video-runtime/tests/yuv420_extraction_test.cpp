// YUV 4:2:0 plane extraction from frames built here, and the names that the
// rejection message prints.
#include <gtest/gtest.h>

#include <cstring>

#include "common/ffmpeg.h"
#include "conversion/pixel_format_name.h"
#include "conversion/yuv420.h"

namespace vantle {
namespace {

// A frame whose every byte encodes its plane, row and column.
FrameHandle patterned_frame(AVPixelFormat format, int width, int height, int align = 0) {
  FrameHandle frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), align), 0);
  for (int plane = 0; plane < 3 && frame->data[plane] != nullptr; ++plane) {
    const int rows = plane == 0 ? height : (height + 1) / 2;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < frame->linesize[plane]; ++c) {
        frame->data[plane][r * frame->linesize[plane] + c] =
            static_cast<std::uint8_t>(plane * 80 + r * 7 + c * 3);
      }
    }
  }
  return frame;
}

void expect_plane(const ByteBuffer& plane, const AVFrame& frame, int index, int width, int rows) {
  ASSERT_EQ(plane.size(), static_cast<std::size_t>(width) * rows);
  for (int r = 0; r < rows; ++r) {
    ASSERT_EQ(
        std::memcmp(plane.data() + r * width, frame.data[index] + r * frame.linesize[index], width),
        0)
        << "plane " << index << " row " << r;
  }
}

TEST(Yuv420Extraction, PlanesAreCopiedWithoutPadding) {
  struct Case {
    int width, height, align;
  };
  // Tight line sizes (one block copy) and padded ones (row by row), odd sizes.
  for (const Case& c : {Case{1920, 1080, 1}, Case{1920, 1080, 64}, Case{5, 3, 1}, Case{5, 3, 32},
                        Case{1, 1, 1}, Case{33, 17, 0}}) {
    FrameHandle frame = patterned_frame(AV_PIX_FMT_YUV420P, c.width, c.height, c.align);
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    auto yuv = convert_frame_to_yuv420(*frame);
    ASSERT_TRUE(yuv.has_value()) << yuv.error();
    const int cw = (c.width + 1) / 2, ch = (c.height + 1) / 2;
    EXPECT_EQ(yuv->width, static_cast<std::uint32_t>(c.width));
    EXPECT_EQ(yuv->height, static_cast<std::uint32_t>(c.height));
    expect_plane(yuv->y, *frame, 0, c.width, c.height);
    expect_plane(yuv->u, *frame, 1, cw, ch);
    expect_plane(yuv->v, *frame, 2, cw, ch);
    EXPECT_EQ(yuv->color_range, AVCOL_RANGE_MPEG);
    EXPECT_EQ(yuv->color_space, AVCOL_SPC_BT709);
    EXPECT_EQ(yuv->color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(yuv->color_trc, AVCOL_TRC_BT709);
  }
}

TEST(Yuv420Extraction, RangeByFormat) {
  struct Case {
    AVPixelFormat format;
    int stored;
    std::int32_t expected;
  };
  for (const Case& c :
       {Case{AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, 2},
        Case{AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_MPEG, 2},
        Case{AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, 1},
        Case{AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, 2},
        Case{AV_PIX_FMT_YUV420P, AVCOL_RANGE_UNSPECIFIED, 0}, Case{AV_PIX_FMT_YUV420P, 9, 0}}) {
    FrameHandle frame = patterned_frame(c.format, 4, 4);
    set_enum_code(frame->color_range, c.stored);
    auto yuv = convert_frame_to_yuv420(*frame);
    ASSERT_TRUE(yuv.has_value());
    EXPECT_EQ(yuv->color_range, c.expected);
  }
}

TEST(Yuv420Extraction, RejectsOtherFormatsByName) {
  struct Case {
    AVPixelFormat format;
    const char* name;
  };
  for (const Case& c : {Case{AV_PIX_FMT_NV12, "NV12"}, Case{AV_PIX_FMT_YUV420P10LE, "YUV420P10LE"},
                        Case{AV_PIX_FMT_YUV422P, "YUV422P"}, Case{AV_PIX_FMT_YUV444P, "YUV444P"},
                        Case{AV_PIX_FMT_P010LE, "P010LE"}, Case{AV_PIX_FMT_GRAY8, "GRAY8"},
                        Case{AV_PIX_FMT_RGB24, "RGB24"}}) {
    FrameHandle frame = patterned_frame(c.format, 4, 4);
    auto yuv = convert_frame_to_yuv420(*frame);
    ASSERT_FALSE(yuv.has_value());
    EXPECT_EQ(yuv.error(),
              std::string(
                  "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got ") +
                  c.name);
  }
  FrameHandle no_format(av_frame_alloc());
  EXPECT_EQ(convert_frame_to_yuv420(*no_format).error(),
            "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got None");
}

TEST(PixelFormatName, ConstantNamesWithTheirExceptions) {
  struct Case {
    AVPixelFormat format;
    const char* name;
  };
  for (const Case& c : {Case{AV_PIX_FMT_NONE, "None"}, Case{AV_PIX_FMT_MONOWHITE, "MonoWhite"},
                        Case{AV_PIX_FMT_MONOBLACK, "MonoBlack"}, Case{AV_PIX_FMT_0RGB, "ZRGB"},
                        Case{AV_PIX_FMT_RGB0, "RGBZ"}, Case{AV_PIX_FMT_0BGR, "ZBGR"},
                        Case{AV_PIX_FMT_BGR0, "BGRZ"}, Case{AV_PIX_FMT_YUVJ422P, "YUVJ422P"},
                        Case{AV_PIX_FMT_YA8, "YA8"}, Case{AV_PIX_FMT_VULKAN, "VULKAN"},
                        Case{AV_PIX_FMT_GBRP, "GBRP"}, Case{AV_PIX_FMT_RGB4_BYTE, "RGB4_BYTE"}}) {
    EXPECT_EQ(pixel_format_name(c.format), c.name);
  }
}

TEST(FramePlanePtr, ChecksInOrder) {
  FrameHandle frame = patterned_frame(AV_PIX_FMT_YUV420P, 8, 4, 1);
  EXPECT_EQ(frame_plane_ptr(*frame, 3, 1).error(), "decoded frame plane 3 is null");
  auto exact = frame_plane_ptr(*frame, 1, 4);
  ASSERT_TRUE(exact.has_value());
  EXPECT_EQ(exact->linesize, 4u);
  EXPECT_EQ(frame_plane_ptr(*frame, 1, 5).error(),
            "decoded frame plane 1 linesize 4 is smaller than row width 5");
}

TEST(Yuv420Extraction, BrokenPlanesFailWithTheirIndex) {
  FrameHandle negative = patterned_frame(AV_PIX_FMT_YUV420P, 8, 4);
  negative->linesize[0] = -negative->linesize[0];
  EXPECT_EQ(convert_frame_to_yuv420(*negative).error(),
            "decoded frame plane 0 has negative linesize");

  // The chroma line size is too short for the chroma width; the luma copy
  // already made is released (checked by the leak checker).
  FrameHandle short_chroma = patterned_frame(AV_PIX_FMT_YUV420P, 8, 4, 1);
  short_chroma->linesize[1] = 3;
  EXPECT_EQ(convert_frame_to_yuv420(*short_chroma).error(),
            "decoded frame plane 1 linesize 3 is smaller than row width 4");

  FrameHandle missing_v = patterned_frame(AV_PIX_FMT_YUV420P, 8, 4);
  missing_v->data[2] = nullptr;
  EXPECT_EQ(convert_frame_to_yuv420(*missing_v).error(), "decoded frame plane 2 is null");
}

}  // namespace
}  // namespace vantle
