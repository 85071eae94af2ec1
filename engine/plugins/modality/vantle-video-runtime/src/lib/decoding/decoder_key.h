// What a decoder was opened with: the pool hands a decoder back only under an
// equal key.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

#include "common/byte_view.h"
#include "decoding/parameter_sets.h"
#include "vantle_video_runtime.h"

namespace vantle {

// The configuration a decoder was opened with. Compared field by field in
// declaration order; copying copies the extradata bytes.
struct DecoderPoolKey {
  RuntimeCodec codec = RuntimeCodec::H264;
  std::vector<std::uint8_t> extradata;
  std::uint64_t thread_count = 1;
  // In-band parameter sets (sent inside packets; a flush does not forget
  // them). A stored entry's key lists the sets its decoder holds; a
  // lookup's key lists the sets the run's first packet sends. They match
  // when the run starts by sending again everything the decoder holds, so
  // those sets are parsed anew, in the same state, before any picture can
  // use them, and the decoder behaves as a fresh one would.
  ParameterSets in_band_parameter_sets;
  // FFmpeg's max_pixels, 0 for its own default. Part of the key because
  // frame threads and libdav1d read it only when the decoder opens.
  std::uint64_t max_pixels = 0;

  // The key of a decode starting now: the thread count is read from the
  // environment and the picture area limit from the process at this moment,
  // the in-band sets from the first packet.
  static DecoderPoolKey for_decode(RuntimeCodec codec, ByteView extradata,
                                   ByteView first_packet = {});

  friend auto operator<=>(const DecoderPoolKey&, const DecoderPoolKey&) = default;
  friend bool operator==(const DecoderPoolKey&, const DecoderPoolKey&) = default;
};

}  // namespace vantle
