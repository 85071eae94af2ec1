// Decode rows: vantle_video_runtime_decode to RGB (decoded size and 640x360)
// and to YUV420, and vantle_video_runtime_decode_indexed, each against the
// warm-memory ceiling (one decoder and one scaler for the row, output buffers
// recycled from group to group) and against the loop that allocates its
// output as the library does.
#include <memory>

#include "bare_calls.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "library_calls.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

enum class DecodeCall { Decode, Indexed };

struct DecodeMode {
  const char* tag;
  const char* section;
  DecodeCall call;
  RuntimePixelFormat format;
  std::uint32_t width;
  std::uint32_t height;
};

constexpr DecodeMode DECODE_MODES[] = {
    {"RGB", "Decode RGB", DecodeCall::Decode, RuntimePixelFormat::Rgb, 0, 0},
    {"RGB_640x360", "Decode RGB 640x360", DecodeCall::Decode, RuntimePixelFormat::Rgb, 640, 360},
    {"YUV420", "Decode YUV420", DecodeCall::Decode, RuntimePixelFormat::Yuv420, 0, 0},
    {"Indexed", "Indexed decode", DecodeCall::Indexed, RuntimePixelFormat::Yuv420, 0, 0},
};

// What the warm-memory loop keeps for the whole row.
struct WarmLoop {
  BareDecoder decoder;
  BareRgbScaler scaler;
  RecycledOutput output;
};

// The bare work of `mode` with `decoder` and `scaler` into `output`.
Status bare_decode(const DecodeMode& mode, const PacketRun& run, BareDecoder& decoder,
                   BareRgbScaler& scaler, PictureOutput& output) {
  if (mode.call == DecodeCall::Indexed) {
    return bare_indexed_decode(decoder, run, output);
  }
  if (mode.format == RuntimePixelFormat::Yuv420) {
    return bare_yuv420_decode(decoder, run, output);
  }
  return bare_rgb_decode(decoder, scaler, run, mode.width, mode.height, output);
}

Result<RowSides> decode_sides(Clip clip, const DecodeMode& mode) {
  const PacketRun& run = clip_group(clip);
  if (!run.error.empty()) {
    return unusable_input(run.error, run.encoder_missing);
  }
  const int threads = ffmpeg_threads();
  auto warm_decoder = BareDecoder::open(run.codec, run.extradata, threads);
  if (!warm_decoder) {
    return fail(std::move(warm_decoder.error()));
  }
  auto warm = std::make_shared<WarmLoop>(WarmLoop{std::move(*warm_decoder), {}, {}});
  auto allocating_decoder = BareDecoder::open(run.codec, run.extradata, threads);
  if (!allocating_decoder) {
    return fail(std::move(allocating_decoder.error()));
  }
  auto decoder = std::make_shared<BareDecoder>(std::move(*allocating_decoder));

  const RuntimeDecodeRequest request = run.request(mode.format, mode.width, mode.height);
  RowSides sides;
  sides.units_per_call = static_cast<double>(run.pictures);
  if (mode.call == DecodeCall::Indexed) {
    sides.library = [&run, request] { return call_decode_indexed(request, run.pictures); };
  } else {
    sides.library = [&run, request] { return call_decode(request, run.pictures); };
  }
  sides.reference = [&run, &mode, warm] {
    return bare_decode(mode, run, warm->decoder, warm->scaler, warm->output);
  };
  sides.allocating = [&run, &mode, decoder] {
    // A scaler per call and fresh buffers, freed when the group ends.
    BareRgbScaler scaler;
    FreshOutput output = fresh_output(run);
    return bare_decode(mode, run, *decoder, scaler, output);
  };
  return sides;
}

}  // namespace

void register_decode_rows(int threads) {
  for (const DecodeMode& mode : DECODE_MODES) {
    for (const Clip clip : ALL_CLIPS) {
      // The indexed decode takes H.264 and H.265 only.
      if (mode.call == DecodeCall::Indexed && clip_codec(clip) == RuntimeCodec::Av1) {
        continue;
      }
      const std::string name =
          str_cat("Decode/", mode.tag, "/", clip_tag(clip), "/threads:", threads);
      register_case(name, [clip, &mode, threads](benchmark::State& state) {
        const RowSpec spec{RowKind::Throughput, mode.section, clip_label(clip), threads,
                           DECODE_GOAL};
        run_ratio_row(state, spec, [clip, &mode] { return decode_sides(clip, mode); });
      });
    }
  }
}

}  // namespace vantle::bench
