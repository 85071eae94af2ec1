#include "decoding/decoder_key.h"

#include <limits>

#include "common/ffmpeg_setup.h"
#include "common/request_limits.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vantle {

DecoderPoolKey DecoderPoolKey::for_decode(RuntimeCodec codec,
                                          ByteView extradata,
                                          ByteView first_packet) {
  DecoderPoolKey key{codec,
                     std::vector<std::uint8_t>(extradata.begin(), extradata.end()),
                     ffmpeg_thread_count_from_env(),
                     {},
                     picture_area_limit()};
  // An unreadable first packet matches only decoders that hold no in-band
  // sets, whatever it carries; the decode records it as unknown. One too
  // large for an FFmpeg packet is never sent, so it is not read either.
  constexpr std::size_t PACKET_LIMIT =
      static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE);
  if (first_packet.size() > PACKET_LIMIT ||
      !add_parameter_sets(codec, extradata, first_packet, key.in_band_parameter_sets)) {
    key.in_band_parameter_sets.clear();
  }
  return key;
}

}  // namespace vantle
