#include "decoding/selected_decoding.h"

#include <utility>

namespace vantle {

namespace {

// Runs the iterator to its end, converting each selected frame with the
// `convert` member of one converter for the request, so that its scaler
// serves frame after frame, and releasing the others unconverted.
template <typename Frame>
Result<std::vector<Frame>> decode_selected(
    const OutputRequest& output,
    Result<Frame> (FfmpegPictureConverter::*convert)(FfmpegDecodedFrame), RuntimeCodec codec,
    ByteView extradata, std::vector<ByteView> packets, const PositionSet& selection) {
  FfmpegPictureConverter converter(output);
  std::vector<Frame> converted;
  converted.reserve(selection.size());
  auto frames = decode_packets(codec, extradata, std::move(packets));
  if (!frames) {
    return fail(std::move(frames.error()));
  }
  // Not stopping after the last selected position: the run is sent whole and
  // the decoder drained, so a bad packet anywhere fails the request.
  std::uint64_t position = 0;
  while (auto item = frames->next()) {
    if (!*item) {
      return fail(std::move(item->error()));
    }
    FfmpegDecodedFrame decoded = std::move(**item);
    const bool selected = selection.empty() || selection.contains(position);
    ++position;
    if (!selected) {
      continue;
    }
    auto frame = (converter.*convert)(std::move(decoded));
    if (!frame) {
      return fail(std::move(frame.error()));
    }
    converted.push_back(std::move(*frame));
  }
  return converted;
}

}  // namespace

Result<std::vector<RgbFrame>> decode_selected_packets_to_rgb(const OutputRequest& output,
                                                             RuntimeCodec codec, ByteView extradata,
                                                             std::vector<ByteView> packets,
                                                             const PositionSet& selection) {
  return decode_selected(output, &FfmpegPictureConverter::to_rgb, codec, extradata,
                         std::move(packets), selection);
}

Result<std::vector<Yuv420Frame>> decode_selected_packets_to_yuv420(const OutputRequest& output,
                                                                   RuntimeCodec codec,
                                                                   ByteView extradata,
                                                                   std::vector<ByteView> packets,
                                                                   const PositionSet& selection) {
  return decode_selected(output, &FfmpegPictureConverter::to_yuv420, codec, extradata,
                         std::move(packets), selection);
}

}  // namespace vantle
