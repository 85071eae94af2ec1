#include "abi/decode_request.h"

#include <utility>

#include "abi/export_frame.h"
#include "abi/runtime_frames.h"
#include "common/request_views.h"
#include "common/text.h"
#include "decoding/selected_decoding.h"

namespace vantle {

namespace {

// Values the header does not list are RGB.
OutputLayout output_layout(RuntimePixelFormat format) noexcept {
  switch (format) {
    case RuntimePixelFormat::Yuv420:
      return OutputLayout::Yuv420;
    case RuntimePixelFormat::Rgb48:
      return OutputLayout::Rgb48;
    case RuntimePixelFormat::Yuv420P16:
      return OutputLayout::Yuv420P16;
    default:
      return OutputLayout::Rgb24;
  }
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

Status run_decode_request(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) {
  return fill_response(request, response, [](const RuntimeDecodeRequest& checked) {
    return decode_request_records(checked);
  });
}

Status run_decode_request_with_options(const RuntimeDecodeRequest* request,
                                       const RuntimeDecodeOptions* options,
                                       RuntimeDecodeResponse* response) {
  return fill_response(request, response, [options](const RuntimeDecodeRequest& checked)
                                              -> Result<std::vector<RuntimeFrame>> {
    if (options == nullptr) {
      return fail(NULL_ABI_POINTER_MESSAGE);
    }
    auto orientation = read_decode_options(*options);
    if (!orientation) {
      return fail(std::move(orientation.error()));
    }
    return decode_request_records(checked, *orientation);
  });
}

Result<Orientation> read_decode_options(const RuntimeDecodeOptions& options) {
  constexpr std::uint32_t KNOWN_SIZE = sizeof(RuntimeDecodeOptions);
  static_assert(KNOWN_SIZE == 16);
  if (options.size < KNOWN_SIZE) {
    return fail(str_cat("decode options size ", options.size, " is below ", KNOWN_SIZE));
  }
  // A newer host's record: what this library does not know must be unset.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&options);
  for (std::uint32_t at = KNOWN_SIZE; at < options.size; ++at) {
    if (bytes[at] != 0) {
      return fail(str_cat("decode options byte ", at, " is ", static_cast<unsigned>(bytes[at]),
                          ", but this library knows only the first ", KNOWN_SIZE, " bytes"));
    }
  }
  if (options.rotation != 0 && options.rotation != 90 && options.rotation != 180 &&
      options.rotation != 270) {
    return fail(
        str_cat("decode options rotation ", options.rotation, " is not 0, 90, 180 or 270"));
  }
  constexpr std::uint32_t KNOWN_FLIPS = RuntimeFlip_Horizontal | RuntimeFlip_Vertical;
  if ((options.flip & ~KNOWN_FLIPS) != 0) {
    return fail(str_cat("decode options flip ", options.flip, " has bits other than ",
                        static_cast<unsigned>(RuntimeFlip_Horizontal), " and ",
                        static_cast<unsigned>(RuntimeFlip_Vertical)));
  }
  if (options.reserved != 0) {
    return fail(str_cat("decode options reserved field is ", options.reserved, ", not 0"));
  }
  return Orientation{.rotation = options.rotation,
                     .flip_horizontal = (options.flip & RuntimeFlip_Horizontal) != 0,
                     .flip_vertical = (options.flip & RuntimeFlip_Vertical) != 0};
}

Result<std::vector<RuntimeFrame>> decode_request_records(const RuntimeDecodeRequest& request,
                                                         Orientation orientation) {
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

  const OutputRequest output{.layout = output_layout(request.pixel_format),
                             .width = request.output_width,
                             .height = request.output_height,
                             .orientation = orientation};
  if (!is_rgb(output.layout)) {
    auto pictures = decode_selected_packets_to_yuv420(output, request.codec, *extradata,
                                                      std::move(*packets), selection);
    if (!pictures) {
      return fail(std::move(pictures.error()));
    }
    return to_runtime_frames(std::move(*pictures));
  }
  auto pictures = decode_selected_packets_to_rgb(output, request.codec, *extradata,
                                                 std::move(*packets), selection);
  if (!pictures) {
    return fail(std::move(pictures.error()));
  }
  return to_runtime_frames(std::move(*pictures));
}

}  // namespace vantle
