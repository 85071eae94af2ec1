#include "support/request_builder.h"

#include <algorithm>
#include <utility>

namespace vantle::testing {

RequestBuilder::RequestBuilder(const EncodedStream& stream)
    : codec_(stream.codec), extradata_(stream.extradata), packets_(stream.packets) {}

RequestBuilder::RequestBuilder(const EncodedStream& stream, std::size_t first, std::size_t count)
    : codec_(stream.codec), extradata_(stream.extradata) {
  const std::size_t begin = std::min(first, stream.packets.size());
  const std::size_t end = begin + std::min(count, stream.packets.size() - begin);
  packets_.assign(stream.packets.begin() + static_cast<std::ptrdiff_t>(begin),
                  stream.packets.begin() + static_cast<std::ptrdiff_t>(end));
}

RequestBuilder::RequestBuilder(RuntimeCodec codec, std::vector<std::uint8_t> extradata,
                               std::vector<std::vector<std::uint8_t>> packets)
    : codec_(codec), extradata_(std::move(extradata)), packets_(std::move(packets)) {}

RuntimeDecodeRequest RequestBuilder::request(RuntimePixelFormat format,
                                             std::vector<std::size_t> positions,
                                             std::uint32_t output_width,
                                             std::uint32_t output_height) {
  // Each request reads its own snapshot, so editing packets() later cannot
  // leave an earlier record pointing at freed bytes.
  const std::vector<std::uint8_t>& extradata = extradata_copies_.emplace_back(extradata_);
  const std::vector<std::vector<std::uint8_t>>& packets = packet_copies_.emplace_back(packets_);
  std::vector<RuntimePacket>& array = packet_arrays_.emplace_back();
  array.reserve(packets.size());
  for (const std::vector<std::uint8_t>& packet : packets) {
    array.push_back(RuntimePacket{packet.empty() ? nullptr : packet.data(), packet.size()});
  }
  const std::vector<std::size_t>& selected = position_arrays_.emplace_back(std::move(positions));

  RuntimeDecodeRequest request{};
  request.codec = codec_;
  request.extradata = extradata.empty() ? nullptr : extradata.data();
  request.extradata_len = extradata.size();
  request.reserved = 0;
  request.output_width = output_width;
  request.output_height = output_height;
  request.pixel_format = format;
  request.packets = array.empty() ? nullptr : array.data();
  request.packet_count = array.size();
  request.selected_positions = selected.empty() ? nullptr : selected.data();
  request.selected_position_count = selected.size();
  return request;
}

RuntimeTranscodeRequest RequestBuilder::transcode_request(std::vector<std::size_t> positions,
                                                          std::uint32_t frame_rate_num,
                                                          std::uint32_t frame_rate_den,
                                                          std::uint64_t bit_rate) {
  RuntimeTranscodeRequest request{};
  request.decode = this->request(RuntimePixelFormat::Yuv420, std::move(positions));
  request.frame_rate_num = frame_rate_num;
  request.frame_rate_den = frame_rate_den;
  request.bit_rate = bit_rate;
  return request;
}

}  // namespace vantle::testing
