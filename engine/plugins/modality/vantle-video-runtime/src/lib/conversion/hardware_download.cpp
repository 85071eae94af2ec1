#include "conversion/hardware_download.h"

#include "common/fatal.h"
#include "common/ffmpeg_error.h"
#include "common/text.h"

namespace vantle {

Result<FrameHandle> in_system_memory(FrameHandle frame) {
  if (!frame) {
    fatal("decoded frame item without a frame");
  }
  if (frame->hw_frames_ctx == nullptr) {
    return frame;
  }
  FrameHandle copy(av_frame_alloc());
  if (!copy) {
    return fail("failed to allocate FFmpeg frame for hardware download");
  }
  // With no format and no buffers on the destination, FFmpeg allocates them
  // and picks the frames context's first download format.
  if (const int rc = av_hwframe_transfer_data(copy.get(), frame.get(), 0); rc < 0) {
    return fail(str_cat("failed to transfer FFmpeg hardware frame to system memory: ",
                        ffmpeg_error_text(rc)));
  }
  // The transfer copies no properties: timestamps and colour description
  // come from the source frame.
  if (const int rc = av_frame_copy_props(copy.get(), frame.get()); rc < 0) {
    return fail(str_cat("failed to copy FFmpeg hardware frame metadata: ", ffmpeg_error_text(rc)));
  }
  return copy;
}

}  // namespace vantle
