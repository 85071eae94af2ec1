#include "conversion/hardware_download.h"

#include "common/fatal.h"
#include "common/ffmpeg_error.h"
#include "common/text.h"

namespace vantle {

FfmpegRgbInputFrame FfmpegRgbInputFrame::borrowed(const AVFrame& frame) noexcept {
  return FfmpegRgbInputFrame(&frame);
}

FfmpegRgbInputFrame FfmpegRgbInputFrame::downloaded(FrameHandle copy) noexcept {
  return FfmpegRgbInputFrame(std::move(copy));
}

const AVFrame& FfmpegRgbInputFrame::as_ref() const noexcept {
  if (const auto* borrowed = std::get_if<const AVFrame*>(&frame_)) {
    return **borrowed;
  }
  const auto& owned = std::get<FrameHandle>(frame_);
  if (!owned) {
    fatal("downloaded frame read after it was taken");
  }
  return *owned;
}

bool FfmpegRgbInputFrame::is_downloaded() const noexcept {
  return std::holds_alternative<FrameHandle>(frame_);
}

FrameHandle FfmpegRgbInputFrame::take_downloaded() noexcept {
  if (auto* owned = std::get_if<FrameHandle>(&frame_)) {
    return std::move(*owned);
  }
  return nullptr;
}

Result<FfmpegRgbInputFrame> frame_for_rgb_conversion(const AVFrame& frame) {
  if (frame.hw_frames_ctx == nullptr) {
    return FfmpegRgbInputFrame::borrowed(frame);
  }
  FrameHandle copy(av_frame_alloc());
  if (!copy) {
    return fail("failed to allocate FFmpeg frame for hardware download");
  }
  // With no format and no buffers on the destination, FFmpeg allocates them
  // and picks the frames context's first download format.
  if (const int rc = av_hwframe_transfer_data(copy.get(), &frame, 0); rc < 0) {
    return fail(str_cat("failed to transfer FFmpeg hardware frame to system memory: ",
                        ffmpeg_error_text(rc)));
  }
  // The transfer copies no properties: timestamps and colour description
  // come from the source frame.
  if (const int rc = av_frame_copy_props(copy.get(), &frame); rc < 0) {
    return fail(str_cat("failed to copy FFmpeg hardware frame metadata: ", ffmpeg_error_text(rc)));
  }
  return FfmpegRgbInputFrame::downloaded(std::move(copy));
}

}  // namespace vantle
