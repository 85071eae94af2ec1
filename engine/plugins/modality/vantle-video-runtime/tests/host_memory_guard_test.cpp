// Every buffer FFmpeg writes into, checked where the sanitizers cannot look:
// FFmpeg itself is not instrumented, so its SIMD stores past the end of a
// host buffer went unseen. Here every host allocation sits flush against a
// PROT_NONE page (behind it, then in front of it), so a write outside the
// buffer and its slack faults at once; allocations are filled with a pattern,
// and every output is compared with a reference conversion into roomy
// buffers, so bytes FFmpeg left unwritten show too. The sweep runs through
// the C interface over every even width class modulo 64, odd sizes through
// AV1, every source format the decoders hand over, and the RGB, YUV420 and
// transcode paths.
#include <execinfo.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "common/ffmpeg.h"
#include "common/host_guard.h"
#include "conversion/rgb_converter.h"
#include "conversion/yuv420.h"
#include "support/export_test.h"
#include "support/frame_to_rgb.h"
#include "support/vulkan_frames.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using namespace testing;

#if !defined(__SANITIZE_ADDRESS__)
// A write into a guard page ends the program; name the cause and the stack.
// (AddressSanitizer reports such faults itself.)
void report_guard_fault(int signal_number) {
  static const char message[] =
      "\nfault: a write or read outside a host buffer (guard page); stack:\n";
  [[maybe_unused]] const auto written = write(STDERR_FILENO, message, sizeof message - 1);
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

const bool FAULT_REPORTER_INSTALLED = [] {
  signal(SIGSEGV, report_guard_fault);
  signal(SIGBUS, report_guard_fault);
  return true;
}();
#endif

struct OutputSize {
  std::uint32_t width;
  std::uint32_t height;
};

// Native size, tiny and odd sizes, one dimension defaulted, a width beyond
// every source (upscaled) and sizes below (downscaled).
constexpr OutputSize RGB_SIZES[] = {{0, 0}, {1, 1}, {3, 3}, {17, 9}, {100, 0}, {0, 50}, {520, 31}};

// Picture sizes of a sweep: even widths from `first` to `last`, heights
// cycling through `heights`.
std::vector<std::pair<int, int>> sweep_sizes(int first, int last, std::vector<int> heights) {
  std::vector<std::pair<int, int>> sizes;
  for (int width = first; width <= last; width += 2) {
    sizes.emplace_back(width, heights[sizes.size() % heights.size()]);
  }
  return sizes;
}

// One stream, one picture at each size, each size a fresh encoder.
StreamSpec sweep_spec(RuntimeCodec codec, AVPixelFormat pix_fmt,
                      const std::vector<std::pair<int, int>>& sizes) {
  StreamSpec spec;
  spec.codec = codec;
  spec.pix_fmt = pix_fmt;
  spec.width = sizes.front().first;
  spec.height = sizes.front().second;
  spec.frame_count = static_cast<int>(sizes.size());
  for (std::size_t i = 1; i < sizes.size(); ++i) {
    spec.resolution_changes.push_back({static_cast<int>(i), sizes[i].first, sizes[i].second});
  }
  return spec;
}

// A reference picture back in a frame of FFmpeg's own (padded) buffers.
FrameHandle frame_of(const ReferenceFrame& reference) {
  FrameHandle frame(av_frame_alloc());
  frame->format = reference.pix_fmt;
  frame->width = reference.width;
  frame->height = reference.height;
  frame->color_range = reference.colour.range;
  frame->colorspace = reference.colour.space;
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    return nullptr;
  }
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(reference.pix_fmt);
  for (std::size_t plane = 0; plane < reference.planes.size(); ++plane) {
    const int rows =
        plane == 0 ? reference.height : AV_CEIL_RSHIFT(reference.height, descriptor->log2_chroma_h);
    const std::size_t row_bytes = reference.planes[plane].size() / static_cast<std::size_t>(rows);
    for (int row = 0; row < rows; ++row) {
      std::memcpy(frame->data[plane] + static_cast<std::ptrdiff_t>(row) * frame->linesize[plane],
                  reference.planes[plane].data() + static_cast<std::size_t>(row) * row_bytes,
                  row_bytes);
    }
  }
  return frame;
}

// The RGB picture swscale writes, with the library's settings, into a buffer
// whose rows have 64 bytes of room (more than a 16-pixel step can overrun)
// and with plenty of room behind it.
std::vector<std::uint8_t> reference_rgb(const AVFrame& frame, std::uint32_t width,
                                        std::uint32_t height) {
  const auto conversion = yuv_color_conversion(frame.colorspace, frame.color_range);
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const ScalerPictureDefinition output{AV_PIX_FMT_RGB24, static_cast<int>(width),
                                       static_cast<int>(height)};
  SwsContextHandle context(sws_getContext(
      frame.width, frame.height, swscale_source_format(format), output.width, output.height,
      output.format,
      rgb_scaler_flags(format, frame.width, frame.height, output.width, output.height), nullptr,
      nullptr, nullptr));
  if (!conversion || !context ||
      !configure_rgb_scaler(*context, conversion->colorspace, conversion->full_range)) {
    return {};
  }
  const std::size_t row = std::size_t{width} * 3;
  const std::size_t line = (row + 64 + 63) / 64 * 64;
  std::vector<std::uint8_t> roomy(line * height + 1024);
  std::uint8_t* planes[4] = {roomy.data()};
  int linesizes[4] = {static_cast<int>(line)};
  if (sws_scale(context.get(), frame.data, frame.linesize, 0, frame.height, planes, linesizes) !=
      static_cast<int>(height)) {
    return {};
  }
  std::vector<std::uint8_t> packed(row * height);
  for (std::size_t y = 0; y < height; ++y) {
    std::memcpy(packed.data() + y * row, roomy.data() + y * line, row);
  }
  return packed;
}

bool same_bytes(const RuntimeBytes& actual, const std::vector<std::uint8_t>& expected) {
  const auto bytes = bytes_of(actual);
  return bytes.size() == expected.size() &&
         std::equal(bytes.begin(), bytes.end(), expected.begin());
}

struct SweepSource {
  const char* name;
  RuntimeCodec codec;
  AVPixelFormat pix_fmt;
  std::vector<std::pair<int, int>> sizes;
  // The message a YUV420 request gets; empty when the planes come out.
  const char* yuv420_refusal;
};

std::vector<SweepSource> sweep_sources() {
  const std::vector<int> even_heights = {2, 6, 18, 8};
  return {
      {"H.264 yuv420p", RuntimeCodec::H264, AV_PIX_FMT_YUV420P, sweep_sizes(2, 512, even_heights),
       ""},
      {"H.264 yuvj420p", RuntimeCodec::H264, AV_PIX_FMT_YUVJ420P, sweep_sizes(2, 130, {4, 2, 10}),
       ""},
      {"H.264 yuv420p10le", RuntimeCodec::H264, AV_PIX_FMT_YUV420P10LE, sweep_sizes(2, 130, {2, 4}),
       "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got YUV420P10LE"},
      {"H.264 yuv422p", RuntimeCodec::H264, AV_PIX_FMT_YUV422P, sweep_sizes(2, 130, {2, 3, 6}),
       "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got YUV422P"},
      {"H.264 yuv444p", RuntimeCodec::H264, AV_PIX_FMT_YUV444P, sweep_sizes(2, 130, {1, 2, 5}),
       "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got YUV444P"},
      {"VP9 yuv420p, odd sizes",
       RuntimeCodec::Vp9,
       AV_PIX_FMT_YUV420P,
       {{33, 17}, {17, 9}, {65, 3}, {2, 2}, {129, 5}, {63, 64}, {97, 1}},
       ""},
      {"VP9 yuv420p10le", RuntimeCodec::Vp9, AV_PIX_FMT_YUV420P10LE, sweep_sizes(2, 70, {2, 5}),
       "yuv420 video output expects FFmpeg to decode yuv420p or yuvj420p frames, got YUV420P10LE"},
      {"AV1 yuv420p, odd sizes",
       RuntimeCodec::Av1,
       AV_PIX_FMT_YUV420P,
       {{33, 17}, {17, 9}, {65, 3}, {127, 31}, {129, 5}, {255, 7}, {63, 64}, {97, 1}, {1, 33}},
       ""},
  };
}

class HostMemoryGuard : public ::testing::TestWithParam<HostGuard> {
 protected:
  void SetUp() override { set_host_guard_for_testing(GetParam()); }
  void TearDown() override { set_host_guard_for_testing(HostGuard::None); }
};

using Decoded = ExportCall<runtime::DecodedFrames>;

TEST_P(HostMemoryGuard, SweepThroughTheCInterface) {
  const testing::QuietFfmpegLog quiet;
  const auto started = std::chrono::steady_clock::now();
  std::size_t calls = 0;
  std::size_t pictures = 0;
  for (const SweepSource& source : sweep_sources()) {
    SCOPED_TRACE(source.name);
    const EncodedStream stream =
        encode_stream(sweep_spec(source.codec, source.pix_fmt, source.sizes));
    VANTLE_REQUIRE_STREAM(stream);
    const auto references = testing::reference_decode(stream);
    ASSERT_TRUE(references.has_value()) << references.error();
    ASSERT_EQ(references->size(), source.sizes.size());
    std::vector<FrameHandle> frames;
    for (const ReferenceFrame& reference : *references) {
      frames.push_back(frame_of(reference));
      ASSERT_NE(frames.back(), nullptr);
    }
    RequestBuilder builder(stream);

    for (const OutputSize& size : RGB_SIZES) {
      SCOPED_TRACE(::testing::Message() << "RGB " << size.width << "x" << size.height);
      RuntimeDecodeRequest request =
          builder.request(RuntimePixelFormat::Rgb, {}, size.width, size.height);
      Decoded rgb;
      rgb.status = vantle_video_runtime_decode(&request, &rgb.response);
      ++calls;
      ASSERT_EQ(rgb.status, 0) << last_error();
      ASSERT_EQ(rgb.response.frame_count, frames.size());
      for (std::size_t i = 0; i < frames.size(); ++i) {
        const AVFrame& frame = *frames[i];
        const auto width = size.width != 0 ? size.width : static_cast<std::uint32_t>(frame.width);
        const auto height =
            size.height != 0 ? size.height : static_cast<std::uint32_t>(frame.height);
        ASSERT_TRUE(same_bytes(rgb.response.frames[i].rgb, reference_rgb(frame, width, height)))
            << "picture " << i << ", " << frame.width << "x" << frame.height;
      }
      pictures += frames.size();
    }

    RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
    Decoded yuv;
    yuv.status = vantle_video_runtime_decode(&request, &yuv.response);
    ++calls;
    if (*source.yuv420_refusal != '\0') {
      EXPECT_EQ(yuv.status, -1);
      EXPECT_EQ(last_error(), source.yuv420_refusal);
    } else {
      ASSERT_EQ(yuv.status, 0) << last_error();
      ASSERT_EQ(yuv.response.frame_count, references->size());
      for (std::size_t i = 0; i < references->size(); ++i) {
        const RuntimeFrame& frame = yuv.response.frames[i];
        const ReferenceFrame& reference = (*references)[i];
        ASSERT_TRUE(same_bytes(frame.y, reference.planes[0]) &&
                    same_bytes(frame.u, reference.planes[1]) &&
                    same_bytes(frame.v, reference.planes[2]))
            << "picture " << i << ", " << reference.width << "x" << reference.height;
      }
      pictures += references->size();
    }

    // The 16-bit outputs, stored and turned: only the sizes are checked here
    // (real_world_formats_test checks the bytes), every byte written lands in
    // a guarded buffer.
    for (const RuntimePixelFormat deep : {RuntimePixelFormat::Rgb48, RuntimePixelFormat::Yuv420P16}) {
      for (const std::uint32_t rotation : {0u, 90u, 180u}) {
        SCOPED_TRACE(::testing::Message() << "16-bit, turned " << rotation);
        const RuntimeDecodeRequest deep_request = builder.request(deep);
        const RuntimeDecodeOptions options{sizeof(RuntimeDecodeOptions), rotation, 0, 0};
        Decoded out;
        out.status =
            vantle_video_runtime_decode_with_options(&deep_request, &options, &out.response);
        ++calls;
        ASSERT_EQ(out.status, 0) << last_error();
        ASSERT_EQ(out.response.frame_count, frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
          const RuntimeFrame& frame = out.response.frames[i];
          const bool swap = rotation == 90;
          EXPECT_EQ(frame.width, static_cast<std::uint32_t>(swap ? frames[i]->height : frames[i]->width));
          EXPECT_EQ(frame.height, static_cast<std::uint32_t>(swap ? frames[i]->width : frames[i]->height));
        }
        pictures += frames.size();
      }
    }

    // Each size alone: a group is re-encoded at one size. x264 takes no odd
    // 4:2:0 size; that is a refusal, not a fault.
    for (std::size_t i = 0; i < stream.packets.size(); ++i) {
      RequestBuilder one(stream, i, 1);
      RuntimeTranscodeRequest transcode = one.transcode_request({0});
      RuntimeTranscodeResponse units{};
      const int32_t status = vantle_video_runtime_transcode_h264(&transcode, &units);
      ++calls;
      const auto [width, height] = source.sizes[i];
      if (width % 2 != 0 || height % 2 != 0) {
        EXPECT_EQ(status, -1);
        EXPECT_EQ(last_error(),
                  "failed to open FFmpeg libx264 encoder: Generic error in an external library");
        continue;
      }
      ASSERT_EQ(status, 0) << "picture " << i << ": " << last_error();
      ASSERT_EQ(units.access_unit_count, 1u);
      // Access units come with FFmpeg's zeroed input padding behind them.
      const RuntimeBytes& unit = units.access_units[0];
      EXPECT_EQ(
          std::count(unit.data + unit.len, unit.data + unit.len + AV_INPUT_BUFFER_PADDING_SIZE, 0),
          AV_INPUT_BUFFER_PADDING_SIZE);
      vantle_video_runtime_free_transcode_response(&units);
    }
    pictures += stream.packets.size();
  }
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "guarded sweep: " << calls << " library calls, " << pictures
            << " pictures written into guarded buffers, " << seconds << " s\n";
}

// Hardware frames reach the converter as NV12 after their download; the
// download itself is FFmpeg's allocation, the RGB buffer is ours.
TEST_P(HostMemoryGuard, DownloadedNv12Frames) {
  const testing::QuietFfmpegLog quiet;
  for (const auto& [width, height] : sweep_sizes(2, 66, {2, 4, 3})) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height);
    FrameHandle source = testing::make_source_frame(width, height, AV_PIX_FMT_YUV420P, 3);
    ASSERT_NE(source, nullptr);
    testing::VulkanFrame hardware = testing::upload_to_vulkan(*source, AV_PIX_FMT_NV12);
    VANTLE_REQUIRE_VULKAN_FRAME(hardware);
    FrameHandle downloaded(av_frame_alloc());
    ASSERT_EQ(av_hwframe_transfer_data(downloaded.get(), hardware.frame.get(), 0), 0);
    for (const OutputSize& size : RGB_SIZES) {
      FrameHandle copy(av_frame_clone(hardware.frame.get()));
      FfmpegRgbConverter converter;
      auto rgb =
          converter.convert_to_rgb(FfmpegDecodedFrame{std::move(copy)}, size.width, size.height);
      ASSERT_TRUE(rgb.has_value()) << rgb.error();
      const std::vector<std::uint8_t> expected =
          reference_rgb(*downloaded, rgb->width, rgb->height);
      ASSERT_EQ(rgb->data.size(), expected.size());
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), rgb->data.data()))
          << "RGB " << size.width << "x" << size.height;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Guards, HostMemoryGuard,
                         ::testing::Values(HostGuard::After, HostGuard::Before),
                         [](const ::testing::TestParamInfo<HostGuard>& info) {
                           return info.param == HostGuard::After ? "PageBehind" : "PageInFront";
                         });

// The 1080x1920 portrait picture (1080 = 67 * 16 + 8: swscale's last 16-pixel
// step runs 24 bytes past a packed row) and the 152x100 conformance size,
// both at their own size and 1080x1920 also as an explicit output size.
TEST(HostMemoryGuardRegression, PortraitAndConformanceSizes) {
  set_host_guard_for_testing(HostGuard::After);
  const testing::QuietFfmpegLog quiet;
  struct Case {
    int width, height;
    std::uint32_t output_width, output_height;
  };
  for (const Case& c : {Case{1080, 1920, 0, 0}, Case{1080, 1920, 1080, 1920}, Case{152, 100, 0, 0},
                        Case{540, 960, 0, 0}}) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
    StreamSpec spec;
    spec.width = c.width;
    spec.height = c.height;
    spec.frame_count = 2;
    const EncodedStream stream = encode_stream(spec);
    VANTLE_REQUIRE_STREAM(stream);
    const auto references = testing::reference_decode(stream);
    ASSERT_TRUE(references.has_value()) << references.error();
    RequestBuilder builder(stream);
    RuntimeDecodeRequest request =
        builder.request(RuntimePixelFormat::Rgb, {}, c.output_width, c.output_height);
    Decoded rgb;
    rgb.status = vantle_video_runtime_decode(&request, &rgb.response);
    ASSERT_EQ(rgb.status, 0) << last_error();
    ASSERT_EQ(rgb.response.frame_count, references->size());
    for (std::size_t i = 0; i < references->size(); ++i) {
      FrameHandle frame = frame_of((*references)[i]);
      EXPECT_TRUE(same_bytes(rgb.response.frames[i].rgb,
                             reference_rgb(*frame, static_cast<std::uint32_t>(c.width),
                                           static_cast<std::uint32_t>(c.height))));
    }
  }
  set_host_guard_for_testing(HostGuard::None);
}

}  // namespace
}  // namespace vantle
