#include "bare_calls.h"

#include <optional>

#include "bare_h264_encoder.h"
#include "bare_pictures.h"
#include "common/text.h"

namespace vantle::bench {

namespace {

Status check_pictures(std::size_t got, const PacketRun& run) {
  if (got != run.pictures) {
    return fail(str_cat("bare loop made ", got, " pictures, ", run.pictures, " were expected"));
  }
  return {};
}

// Decodes the run and keeps `convert(frame)` of every picture.
template <typename Convert>
Status decode_and_keep(BareDecoder& decoder, const PacketRun& run, bool stamp_pts,
                       Convert&& convert) {
  BarePictureList pictures(run.packets.size());
  Status converted;
  Status decoded = decoder.decode(run.packets, stamp_pts, [&](AVFrame& frame) {
    if (!converted) {
      return;
    }
    Result<BarePicture> picture = convert(frame);
    if (!picture) {
      converted = fail(std::move(picture.error()));
      return;
    }
    pictures.add(*picture);
  });
  if (!decoded) {
    return decoded;
  }
  if (!converted) {
    return converted;
  }
  return check_pictures(pictures.size(), run);
}

Result<BarePicture> indexed_picture(const AVFrame& frame) {
  Result<BarePicture> picture = copy_yuv420_planes(frame);
  if (picture) {
    picture->packet_index = static_cast<std::size_t>(frame.pts);
  }
  return picture;
}

}  // namespace

Status bare_indexed_decode(BareDecoder& decoder, const PacketRun& run) {
  return decode_and_keep(decoder, run, true, indexed_picture);
}

Status bare_indexed_decode_fresh_decoder(const PacketRun& run, int threads) {
  auto decoder = BareDecoder::open(run.codec, run.extradata, threads);
  if (!decoder) {
    return fail(std::move(decoder.error()));
  }
  return decode_and_keep(*decoder, run, true, indexed_picture);
}

Status bare_yuv420_decode(BareDecoder& decoder, const PacketRun& run) {
  return decode_and_keep(decoder, run, false,
                         [](const AVFrame& frame) { return copy_yuv420_planes(frame); });
}

Status bare_rgb_decode(BareDecoder& decoder, const PacketRun& run, std::uint32_t width,
                       std::uint32_t height) {
  BareRgbScaler scaler;
  return decode_and_keep(decoder, run, false, [&](const AVFrame& frame) {
    return scaler.convert(frame, width, height);
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
