#include "display_matrix.h"

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>

#include "media/container_reader.h"

namespace vantle::tool {

RuntimeDecodeOptions upright_options(const Clip& clip) {
  return media::upright_options(clip.display_matrix);
}

std::string turn_text(const RuntimeDecodeOptions& options) {
  std::string text;
  if (options.rotation != 0) {
    text = "turned " + std::to_string(options.rotation) + " degrees clockwise";
  }
  const bool horizontal = (options.flip & RuntimeFlip_Horizontal) != 0;
  const bool vertical = (options.flip & RuntimeFlip_Vertical) != 0;
  if (horizontal || vertical) {
    text += text.empty() ? "flipped " : " and flipped ";
    text += horizontal && vertical ? "horizontally and vertically"
            : horizontal           ? "horizontally"
                                   : "vertically";
  }
  return text.empty() ? "kept as stored" : text;
}

std::string rotation_text(const Clip& clip) {
  if (!clip.display_matrix) {
    return "0 (no display matrix)";
  }
  const double degrees = av_display_rotation_get(clip.display_matrix->data());
  // ffprobe prints the angle cut to a whole number.
  const std::string angle =
      std::isnan(degrees) ? "unknown" : std::to_string(static_cast<long long>(degrees));
  return angle + " (display matrix; decode: " + turn_text(upright_options(clip)) + ")";
}

}  // namespace vantle::tool
