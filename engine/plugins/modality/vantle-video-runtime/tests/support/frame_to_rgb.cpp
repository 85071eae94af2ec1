#include "support/frame_to_rgb.h"

#include <utility>

#include "conversion/hardware_download.h"

namespace vantle::testing {

Result<RgbFrame> FfmpegRgbConverter::convert_to_rgb(FfmpegDecodedFrame frame, std::uint32_t width,
                                                    std::uint32_t height) {
  auto picture = in_system_memory(std::move(frame.frame));
  if (!picture) {
    return fail(std::move(picture.error()));
  }
  // Each dimension defaults on its own.
  const std::uint32_t output_width =
      width != 0 ? width : static_cast<std::uint32_t>((*picture)->width);
  const std::uint32_t output_height =
      height != 0 ? height : static_cast<std::uint32_t>((*picture)->height);
  return convert_frame_to_rgb(**picture, output_width, output_height, scaler_);
}

}  // namespace vantle::testing
