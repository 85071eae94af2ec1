#include "support/vulkan_frames.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/ffmpeg_error.h"
#include "common/text.h"
#include "support/media.h"

namespace vantle::testing {

namespace {

struct SharedDevice {
  BufferRefHandle device;
  std::string reason;
};

SharedDevice create_device() {
  const QuietFfmpegLog quiet;
  SharedDevice shared;
  // FFmpeg's default pick first; failing that, Mesa's CPU driver by name
  // (the device string is matched against the Vulkan device name).
  std::string reasons;
  for (const char* name : {static_cast<const char*>(nullptr), "llvmpipe"}) {
    AVBufferRef* device = nullptr;
    const int created = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VULKAN, name, nullptr, 0);
    if (created >= 0) {
      shared.device.reset(device);
      return shared;
    }
    reasons += str_cat(reasons.empty() ? "" : "; ", "av_hwdevice_ctx_create(vulkan, ",
                       name == nullptr ? "default" : name, "): ", ffmpeg_error_text(created));
  }
  shared.reason = reasons;
  return shared;
}

// A copy of the frame in another software format, same size.
Result<FrameHandle> convert_software_frame(const AVFrame& source, AVPixelFormat format) {
  SwsContextHandle scaler(
      sws_getContext(source.width, source.height, static_cast<AVPixelFormat>(source.format),
                     source.width, source.height, format, SWS_POINT, nullptr, nullptr, nullptr));
  if (scaler == nullptr) {
    return fail(str_cat("no scaler from ",
                        av_get_pix_fmt_name(static_cast<AVPixelFormat>(source.format)), " to ",
                        av_get_pix_fmt_name(format)));
  }
  FrameHandle converted(av_frame_alloc());
  if (converted == nullptr) {
    return fail("av_frame_alloc failed");
  }
  converted->format = format;
  converted->width = source.width;
  converted->height = source.height;
  if (const int allocated = av_frame_get_buffer(converted.get(), 0); allocated < 0) {
    return fail(str_cat("av_frame_get_buffer: ", ffmpeg_error_text(allocated)));
  }
  const int rows = sws_scale(scaler.get(), source.data, source.linesize, 0, source.height,
                             converted->data, converted->linesize);
  if (rows != source.height) {
    return fail(str_cat("sws_scale wrote ", rows, " rows"));
  }
  if (const int copied = av_frame_copy_props(converted.get(), &source); copied < 0) {
    return fail(str_cat("av_frame_copy_props: ", ffmpeg_error_text(copied)));
  }
  return converted;
}

// A copy of the frame with `height` rows (at least the frame's own), the last
// row of every plane repeated below the picture.
Result<FrameHandle> pad_rows(const AVFrame& source, int height) {
  const auto format = static_cast<AVPixelFormat>(source.format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  FrameHandle padded(av_frame_alloc());
  if (desc == nullptr || padded == nullptr) {
    return fail("av_frame_alloc failed");
  }
  padded->format = format;
  padded->width = source.width;
  padded->height = height;
  if (const int allocated = av_frame_get_buffer(padded.get(), 0); allocated < 0) {
    return fail(str_cat("av_frame_get_buffer: ", ffmpeg_error_text(allocated)));
  }
  for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
    const int shift = plane == 1 || plane == 2 ? desc->log2_chroma_h : 0;
    const int source_rows = AV_CEIL_RSHIFT(source.height, shift);
    const int rows = AV_CEIL_RSHIFT(height, shift);
    const int row_bytes = av_image_get_linesize(format, source.width, plane);
    for (int row = 0; row < rows; ++row) {
      const int from = std::min(row, source_rows - 1);
      std::memcpy(padded->data[plane] + static_cast<std::ptrdiff_t>(row) * padded->linesize[plane],
                  source.data[plane] + static_cast<std::ptrdiff_t>(from) * source.linesize[plane],
                  static_cast<std::size_t>(row_bytes));
    }
  }
  return padded;
}

}  // namespace

AVBufferRef* vulkan_device(std::string* reason) {
  static std::once_flag once;
  // Created once (a driver start is slow) and never destroyed: releasing it
  // from a static destructor could run after the Vulkan driver's own exit
  // handlers. Still reachable, so leak checkers do not report it.
  static SharedDevice* shared = nullptr;
  std::call_once(once, [] { shared = new SharedDevice(create_device()); });
  if (reason != nullptr) {
    *reason = shared->reason;
  }
  return shared->device.get();
}

Result<BufferRefHandle> vulkan_frames_context(AVPixelFormat sw_format, int width, int height) {
  std::string reason;
  AVBufferRef* device = vulkan_device(&reason);
  if (device == nullptr) {
    return fail(reason);
  }
  BufferRefHandle frames(av_hwframe_ctx_alloc(device));
  if (frames == nullptr) {
    return fail("av_hwframe_ctx_alloc failed");
  }
  auto* context = reinterpret_cast<AVHWFramesContext*>(frames->data);
  context->format = AV_PIX_FMT_VULKAN;
  context->sw_format = sw_format;
  context->width = width;
  context->height = height;
  if (const int initialised = av_hwframe_ctx_init(frames.get()); initialised < 0) {
    return fail(str_cat("av_hwframe_ctx_init(", av_get_pix_fmt_name(sw_format), " ", width, "x",
                        height, "): ", ffmpeg_error_text(initialised)));
  }
  return frames;
}

VulkanFrame upload_to_vulkan(const AVFrame& software, AVPixelFormat sw_format) {
  VulkanFrame result;
  if (vulkan_device(&result.skip_reason) == nullptr) {
    return result;
  }
  const auto source_format = static_cast<AVPixelFormat>(software.format);
  if (sw_format == AV_PIX_FMT_NONE) {
    sw_format = source_format;
  }
  const AVFrame* upload = &software;
  FrameHandle converted;
  if (sw_format != source_format) {
    auto made = convert_software_frame(software, sw_format);
    if (!made) {
      result.error = made.error();
      return result;
    }
    converted = std::move(*made);
    upload = converted.get();
  }

  // The surface is one row taller than an odd picture, as a decoder's
  // aligned surfaces are: FFmpeg 9.0's Vulkan transfers round an odd chroma
  // height down and would lose the last chroma row of a surface exactly as
  // tall as the picture. The frame itself keeps the picture size.
  const int surface_height = software.height + software.height % 2;
  FrameHandle padded;
  if (surface_height != software.height) {
    auto made = pad_rows(*upload, surface_height);
    if (!made) {
      result.error = made.error();
      return result;
    }
    padded = std::move(*made);
    upload = padded.get();
  }

  const QuietFfmpegLog quiet;
  auto frames = vulkan_frames_context(sw_format, software.width, surface_height);
  if (!frames) {
    result.error = frames.error();
    return result;
  }
  FrameHandle hardware(av_frame_alloc());
  if (hardware == nullptr) {
    result.error = "av_frame_alloc failed";
    return result;
  }
  if (const int got = av_hwframe_get_buffer(frames->get(), hardware.get(), 0); got < 0) {
    result.error = str_cat("av_hwframe_get_buffer: ", ffmpeg_error_text(got));
    return result;
  }
  if (const int sent = av_hwframe_transfer_data(hardware.get(), upload, 0); sent < 0) {
    result.error = str_cat("av_hwframe_transfer_data(upload): ", ffmpeg_error_text(sent));
    return result;
  }
  // FFmpeg 5.1 uploads straight from the imported host memory of the source
  // and returns before the copy has run: freeing the source at once gives
  // garbage. A download waits for every earlier transfer of the surface, so
  // after it the source (or its padded copy) may go.
  FrameHandle settled(av_frame_alloc());
  if (settled == nullptr) {
    result.error = "av_frame_alloc failed";
    return result;
  }
  if (const int waited = av_hwframe_transfer_data(settled.get(), hardware.get(), 0); waited < 0) {
    result.error = str_cat("av_hwframe_transfer_data(settle): ", ffmpeg_error_text(waited));
    return result;
  }
  // The upload moves pixels only; a decoder's hardware frame carries its
  // timestamps and colour description, so this one does too.
  if (const int copied = av_frame_copy_props(hardware.get(), &software); copied < 0) {
    result.error = str_cat("av_frame_copy_props: ", ffmpeg_error_text(copied));
    return result;
  }
  hardware->width = software.width;
  hardware->height = software.height;
  result.frame = std::move(hardware);
  return result;
}

VulkanFrame make_undownloadable_vulkan_frame(const AVFrame& software) {
  VulkanFrame result = upload_to_vulkan(software);
  if (result.frame != nullptr) {
    // The download allocates its destination at the frames context's size;
    // 65536x65536 fails FFmpeg's picture size check. The surface itself was
    // made at the real size and is released at that size.
    auto* context = reinterpret_cast<AVHWFramesContext*>(result.frame->hw_frames_ctx->data);
    context->width = 1 << 16;
    context->height = 1 << 16;
  }
  return result;
}

Result<FrameHandle> download_hardware_frame(const AVFrame& hardware) {
  if (hardware.hw_frames_ctx == nullptr) {
    return fail("not a hardware frame");
  }
  FrameHandle software(av_frame_alloc());
  if (software == nullptr) {
    return fail("av_frame_alloc failed");
  }
  const QuietFfmpegLog quiet;
  if (const int received = av_hwframe_transfer_data(software.get(), &hardware, 0); received < 0) {
    return fail(str_cat("av_hwframe_transfer_data(download): ", ffmpeg_error_text(received)));
  }
  return software;
}

}  // namespace vantle::testing
