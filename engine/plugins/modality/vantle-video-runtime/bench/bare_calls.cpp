#include "bare_calls.h"

#include <optional>
#include <vector>

#include "bare_h264_encoder.h"
#include "common/text.h"

namespace vantle::bench {

namespace {

Status check_pictures(std::size_t got, const PacketRun& run) {
  if (got != run.pictures) {
    return fail(str_cat("bare loop made ", got, " pictures, ", run.pictures, " were expected"));
  }
  return {};
}

// Decodes the run and hands every picture to `convert(frame)`, which writes
// it into the group's output buffers.
template <typename Convert>
Status decode_into(BareDecoder& decoder, const PacketRun& run, bool stamp_pts,
                   PictureOutput& output, Convert&& convert) {
  output.start_group();
  std::size_t pictures = 0;
  Status converted;
  Status decoded = decoder.decode(run.packets, stamp_pts, [&](AVFrame& frame) {
    if (converted) {
      converted = convert(frame);
      ++pictures;
    }
  });
  if (!decoded) {
    return decoded;
  }
  if (!converted) {
    return converted;
  }
  return check_pictures(pictures, run);
}

}  // namespace

Status bare_indexed_decode(BareDecoder& decoder, const PacketRun& run, PictureOutput& output) {
  // The packet index of every picture, as the indexed response records it.
  std::vector<std::size_t> indices;
  indices.reserve(run.pictures);
  return decode_into(decoder, run, true, output, [&](const AVFrame& frame) {
    indices.push_back(static_cast<std::size_t>(frame.pts));
    return copy_yuv420_planes(frame, output);
  });
}

Status bare_indexed_decode_fresh_decoder(const PacketRun& run, int threads) {
  auto decoder = BareDecoder::open(run.codec, run.extradata, threads);
  if (!decoder) {
    return fail(std::move(decoder.error()));
  }
  FreshOutput output = fresh_output(run);
  return bare_indexed_decode(*decoder, run, output);
}

Status bare_yuv420_decode(BareDecoder& decoder, const PacketRun& run, PictureOutput& output) {
  return decode_into(decoder, run, false, output,
                     [&](const AVFrame& frame) { return copy_yuv420_planes(frame, output); });
}

Status bare_rgb_decode(BareDecoder& decoder, BareRgbScaler& scaler, const PacketRun& run,
                       std::uint32_t width, std::uint32_t height, PictureOutput& output) {
  return decode_into(decoder, run, false, output, [&](const AVFrame& frame) {
    return scaler.convert(frame, width, height, output);
  });
}

Status bare_transcode(BareDecoder& decoder, const PacketRun& run, int threads) {
  BareAccessUnits units(run.pictures);
  std::optional<BareH264Encoder> encoder;
  Status encoded;
  Status decoded = decoder.decode(run.packets, false, [&](AVFrame& frame) {
    if (!encoded) {
      return;
    }
    if (!encoder) {
      auto opened =
          BareH264Encoder::open(frame, TRANSCODE_RATE_NUM, TRANSCODE_RATE_DEN, TRANSCODE_BIT_RATE,
                                static_cast<int>(run.pictures), threads);
      if (!opened) {
        encoded = fail(std::move(opened.error()));
        return;
      }
      encoder.emplace(std::move(*opened));
    }
    encoded = encoder->encode(frame, units);
  });
  if (!decoded) {
    return decoded;
  }
  if (!encoded) {
    return encoded;
  }
  if (!encoder) {
    return fail("bare transcode: no picture decoded");
  }
  if (Status finished = encoder->finish(units); !finished) {
    return finished;
  }
  if (units.size() != run.pictures) {
    return fail(str_cat("bare transcode made ", units.size(), " access units, ", run.pictures,
                        " were expected"));
  }
  return {};
}

}  // namespace vantle::bench
