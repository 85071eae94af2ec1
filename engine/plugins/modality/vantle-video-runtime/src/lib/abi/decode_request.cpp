#include "abi/decode_request.h"

#include <utility>

#include "abi/export_frame.h"
#include "abi/runtime_frames.h"
#include "common/request_views.h"
#include "decoding/selected_decoding.h"

namespace vantle {

namespace {

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
