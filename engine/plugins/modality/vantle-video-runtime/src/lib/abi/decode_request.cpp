#include "abi/decode_request.h"

#include <utility>

#include "abi/export_frame.h"
#include "abi/views.h"
#include "decoding/selected_decoding.h"

namespace vantle {

namespace {

// RGB output carries no colour description of its own.
constexpr std::int32_t RGB_COLOR_RANGE = AVCOL_RANGE_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_SPACE = AVCOL_SPC_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_PRIMARIES = AVCOL_PRI_UNSPECIFIED;
constexpr std::int32_t RGB_COLOR_TRC = AVCOL_TRC_UNSPECIFIED;
static_assert(RGB_COLOR_RANGE == 0 && RGB_COLOR_SPACE == 2 && RGB_COLOR_PRIMARIES == 2 &&
              RGB_COLOR_TRC == 2);

// The buffers are handed over, not copied.
RuntimeFrame to_runtime_frame(Yuv420Frame&& picture) {
  RuntimeFrame frame{};
  frame.format = RuntimePixelFormat::Yuv420;
  frame.width = picture.width;
  frame.height = picture.height;
  frame.rgb = RuntimeBytes::empty();
  frame.y = RuntimeBytes::from_vec(std::move(picture.y));
  frame.u = RuntimeBytes::from_vec(std::move(picture.u));
  frame.v = RuntimeBytes::from_vec(std::move(picture.v));
  frame.color_range = picture.color_range;
  frame.color_space = picture.color_space;
  frame.color_primaries = picture.color_primaries;
  frame.color_trc = picture.color_trc;
  return frame;
}

RuntimeFrame to_runtime_frame(RgbFrame&& picture) {
  RuntimeFrame frame{};
  frame.format = RuntimePixelFormat::Rgb;
  frame.width = picture.width;
  frame.height = picture.height;
  frame.rgb = RuntimeBytes::from_vec(std::move(picture.data));
  frame.y = RuntimeBytes::empty();
  frame.u = RuntimeBytes::empty();
  frame.v = RuntimeBytes::empty();
  frame.color_range = RGB_COLOR_RANGE;
  frame.color_space = RGB_COLOR_SPACE;
  frame.color_primaries = RGB_COLOR_PRIMARIES;
  frame.color_trc = RGB_COLOR_TRC;
  return frame;
}

// Nothing after this point can fail, so no record is ever left owning
// buffers that nobody frees.
template <typename Picture>
std::vector<RuntimeFrame> to_runtime_frames(std::vector<Picture>&& pictures) {
  std::vector<RuntimeFrame> frames;
  frames.reserve(pictures.size());
  for (Picture& picture : pictures) {
    frames.push_back(to_runtime_frame(std::move(picture)));
  }
  return frames;
}

}  // namespace

Status decode_runtime_request(const RuntimeDecodeRequest* request,
                              RuntimeDecodeResponse* response) {
  return fill_response(request, response, handle_runtime_request);
}

Result<std::vector<RuntimeFrame>> handle_runtime_request(const RuntimeDecodeRequest& request) {
  // The views are taken in this order so that the first invalid one is the
  // one reported.
  auto positions = copy_selected_positions(request);
  if (!positions) {
    return fail(std::move(positions.error()));
  }
  const PositionSet selection(positions->begin(), positions->end());
  auto packets = packet_slices(request);
  if (!packets) {
    return fail(std::move(packets.error()));
  }
  auto extradata = bytes_slice(request.extradata, request.extradata_len);
  if (!extradata) {
    return fail(std::move(extradata.error()));
  }

  if (request.pixel_format == RuntimePixelFormat::Yuv420) {
    auto pictures = decode_selected_packets_to_yuv420(request.codec, *extradata,
                                                      std::move(*packets), selection);
    if (!pictures) {
      return fail(std::move(pictures.error()));
    }
    return to_runtime_frames(std::move(*pictures));
  }
  auto pictures =
      decode_selected_packets_to_rgb(request.output_width, request.output_height, request.codec,
                                     *extradata, std::move(*packets), selection);
  if (!pictures) {
    return fail(std::move(pictures.error()));
  }
  return to_runtime_frames(std::move(*pictures));
}

}  // namespace vantle
