// Real hardware frames without a GPU: FFmpeg's Vulkan device on whatever
// Vulkan driver the machine has (Mesa's lavapipe on the CI machines runs on
// the CPU). Frames made here carry hw_frames_ctx exactly like a decoder's
// hardware output, so the download path can be tested end to end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle::testing {

using BufferRefHandle = FfmpegHandle<AVBufferRef, av_buffer_unref>;

// A hardware frame, or why there is none.
struct VulkanFrame {
  // An AV_PIX_FMT_VULKAN frame; null when skip_reason or error is set.
  FrameHandle frame;
  // Set when this machine has no usable Vulkan device: tests skip.
  std::string skip_reason;
  // Set when the device exists but making the frame failed: tests fail.
  std::string error;
};

// The process-wide Vulkan device (created on first use, kept until exit);
// null with `reason` filled when none can be created. Thread-safe.
AVBufferRef* vulkan_device(std::string* reason = nullptr);

// A fresh Vulkan frames context of the given software format and size on
// the shared device.
Result<BufferRefHandle> vulkan_frames_context(AVPixelFormat sw_format, int width, int height);

// Uploads a software frame into a new Vulkan frame of the frame's size whose
// frames context has `sw_format` (AV_PIX_FMT_NONE: the frame's own format;
// a different format, e.g. nv12 for a yuv420p frame, is converted first with
// libswscale, exactly for 4:2:0 repacking). The hardware frame gets the
// software frame's properties: pts, colour range, space, primaries, transfer.
// For an odd height the surface (frames context) is one row taller than the
// frame, as a decoder's aligned surfaces are (FFmpeg 9.0's Vulkan transfers
// drop the last chroma row of an odd-height surface); downloads still give
// the frame's own size.
//
// Lifetime: the surface buffer (frame->buf[0]) is returned to a pool whose
// release code reads the frames context. A test that keeps its own reference
// to buf[0] must also keep one to hw_frames_ctx, declared before it so that
// it is released after it; otherwise releasing buf[0] last reads freed
// memory (a crash in av_buffer_unref).
VulkanFrame upload_to_vulkan(const AVFrame& software, AVPixelFormat sw_format = AV_PIX_FMT_NONE);

// A Vulkan frame (uploaded like upload_to_vulkan) whose download fails: its
// frames context claims a surface too large to allocate, so
// av_hwframe_transfer_data into an empty frame returns AVERROR(EINVAL)
// before touching the surface (FFmpeg logs "Picture size ... is invalid").
VulkanFrame make_undownloadable_vulkan_frame(const AVFrame& software);

// What av_hwframe_transfer_data gives for a hardware frame into an empty
// destination: the frames context's first download format, the source's
// size, and no properties (FFmpeg copies none by itself).
Result<FrameHandle> download_hardware_frame(const AVFrame& hardware);

}  // namespace vantle::testing

// Skips the test when the machine has no Vulkan device and fails it when
// the frame could not be made. Use in a test body.
#define VANTLE_REQUIRE_VULKAN_FRAME(result)                                    \
  do {                                                                         \
    if (!(result).skip_reason.empty()) {                                       \
      GTEST_SKIP() << "no Vulkan device: " << (result).skip_reason;            \
    }                                                                          \
    ASSERT_TRUE((result).error.empty()) << "Vulkan frame: " << (result).error; \
    ASSERT_NE((result).frame, nullptr);                                        \
  } while (false)
