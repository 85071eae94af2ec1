// Request records of the C interface built over test media. The builder owns
// the packet bytes, the RuntimePacket array and every position array it hands
// out, so the records stay valid as long as the builder does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "support/media.h"
#include "vantle_video_runtime.h"

namespace vantle::testing {

class RequestBuilder {
 public:
  // A copy of the stream's codec, extradata and packets.
  explicit RequestBuilder(const EncodedStream& stream);
  // Packets [first, first + count) of the stream (clamped to the stream).
  RequestBuilder(const EncodedStream& stream, std::size_t first, std::size_t count);
  RequestBuilder(RuntimeCodec codec, std::vector<std::uint8_t> extradata,
                 std::vector<std::vector<std::uint8_t>> packets);

  // Records handed out point into the builder: no copies or moves.
  RequestBuilder(const RequestBuilder&) = delete;
  RequestBuilder& operator=(const RequestBuilder&) = delete;

  // A decode request over the current packets. An empty position list gives
  // a null array with count 0 (every picture). Each call's arrays stay valid
  // until the builder is destroyed, whatever is changed afterwards.
  RuntimeDecodeRequest request(RuntimePixelFormat format, std::vector<std::size_t> positions = {},
                               std::uint32_t output_width = 0, std::uint32_t output_height = 0);
  RuntimeTranscodeRequest transcode_request(std::vector<std::size_t> positions,
                                            std::uint32_t frame_rate_num = 25,
                                            std::uint32_t frame_rate_den = 1,
                                            std::uint64_t bit_rate = 0);

  // Changes affect the requests made afterwards.
  RuntimeCodec& codec() { return codec_; }
  std::vector<std::uint8_t>& extradata() { return extradata_; }
  std::vector<std::vector<std::uint8_t>>& packets() { return packets_; }

 private:
  RuntimeCodec codec_;
  std::vector<std::uint8_t> extradata_;
  std::vector<std::vector<std::uint8_t>> packets_;
  // Snapshots of the byte storage and arrays behind every record handed out.
  std::deque<std::vector<std::uint8_t>> extradata_copies_;
  std::deque<std::vector<std::vector<std::uint8_t>>> packet_copies_;
  std::deque<std::vector<RuntimePacket>> packet_arrays_;
  std::deque<std::vector<std::size_t>> position_arrays_;
};

}  // namespace vantle::testing
