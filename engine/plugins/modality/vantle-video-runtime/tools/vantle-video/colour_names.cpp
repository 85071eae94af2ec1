#include "colour_names.h"

#include "media/ffmpeg_handles.h"

namespace vantle::tool {

namespace {

// Converts to the enumeration only inside its known range: the codes come
// from another FFmpeg build and may be newer than this one's.
template <typename Enum>
std::string name_of(std::int32_t code, int count, const char* (*name)(Enum)) {
  const char* text = code >= 0 && code < count ? name(static_cast<Enum>(code)) : nullptr;
  return text != nullptr ? text : std::to_string(code);
}

}  // namespace

std::string range_name(std::int32_t code) {
  return name_of<AVColorRange>(code, AVCOL_RANGE_NB, av_color_range_name);
}
std::string space_name(std::int32_t code) {
  return name_of<AVColorSpace>(code, AVCOL_SPC_NB, av_color_space_name);
}
std::string primaries_name(std::int32_t code) {
  return name_of<AVColorPrimaries>(code, AVCOL_PRI_NB, av_color_primaries_name);
}
std::string transfer_name(std::int32_t code) {
  return name_of<AVColorTransferCharacteristic>(code, AVCOL_TRC_NB, av_color_transfer_name);
}

}  // namespace vantle::tool
