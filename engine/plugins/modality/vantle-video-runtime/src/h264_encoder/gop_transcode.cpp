#include "h264_encoder/gop_transcode.h"

#include <cstdint>
#include <optional>
#include <set>
#include <utility>

#include "common/request_views.h"
#include "common/text.h"
#include "conversion/hardware_download.h"
#include "decoding/packet_decoder.h"
#include "h264_encoder/h264_gop_encoder.h"

namespace vantle {

namespace {

// Runs the iterator to its end, encoding the frames at selected positions;
// the encoder is opened on the first of them. There is no early stop: the
// whole run is decoded and the decoder drained.
Status encode_selected_frames(FfmpegDecodedFrames& frames, const std::set<std::uint64_t>& selected,
                              const RuntimeTranscodeRequest& request,
                              std::optional<H264GopEncoder>& encoder,
                              std::vector<ByteBuffer>& access_units) {
  std::uint64_t position = 0;
  while (auto item = frames.next()) {
    if (!*item) {
      return fail(std::move(item->error()));
    }
    FrameHandle decoded = std::move((*item)->frame);
    if (!selected.contains(position++)) {
      continue;
    }
    auto frame = in_system_memory(std::move(decoded));
    if (!frame) {
      return fail(std::move(frame.error()));
    }
    if (!encoder) {
      // The frame and bit rates are looked at only once a selected frame
      // exists; the encoder takes size and colours from this frame.
      auto opened = H264GopEncoder::open(**frame, request.frame_rate_num, request.frame_rate_den,
                                         request.bit_rate, selected.size());
      if (!opened) {
        return fail(std::move(opened.error()));
      }
      encoder.emplace(std::move(*opened));
    }
    if (auto encoded = encoder->encode(std::move(*frame), access_units); !encoded) {
      return encoded;
    }
  }
  return {};
}

}  // namespace

Result<std::vector<ByteBuffer>> transcode_to_h264(const RuntimeTranscodeRequest& request) {
  const RuntimeDecodeRequest& source = request.decode;
  auto positions = copy_selected_positions(source);
  if (!positions) {
    return fail(std::move(positions.error()));
  }
  const std::set<std::uint64_t> selected(positions->begin(), positions->end());
  const std::size_t wanted = selected.size();
  if (wanted == 0) {
    return fail("H.264 transcode requires selected display positions");
  }
  auto packets = packet_slices(source);
  if (!packets) {
    return fail(std::move(packets.error()));
  }
  std::vector<ByteBuffer> access_units;
  access_units.reserve(wanted);
  auto extradata = bytes_slice(source.extradata, source.extradata_len);
  if (!extradata) {
    return fail(std::move(extradata.error()));
  }

  std::optional<H264GopEncoder> encoder;
  {
    auto frames = decode_packets(source.codec, *extradata, std::move(*packets));
    if (!frames) {
      return fail(std::move(frames.error()));
    }
    if (auto decoded = encode_selected_frames(*frames, selected, request, encoder, access_units);
        !decoded) {
      return fail(std::move(decoded.error()));
    }
    // The iterator ends here: its decoder goes back to the thread's pool
    // before the encoder is flushed.
  }
  if (encoder) {
    auto finished = std::move(*encoder).finish(access_units);
    encoder.reset();
    if (!finished) {
      return fail(std::move(finished.error()));
    }
  }
  if (access_units.size() != wanted) {
    return fail(str_cat("H.264 encoder produced ", access_units.size(), " access units for ",
                        wanted, " selected frames"));
  }
  return access_units;
}

}  // namespace vantle
