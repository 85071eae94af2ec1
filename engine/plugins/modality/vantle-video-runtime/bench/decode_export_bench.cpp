// Decode export: vantle_video_runtime_decode to RGB (decoded size and
// 640x360) and to YUV420, each against a bare loop doing the same work on
// one opened decoder.
#include <memory>

#include "bare_calls.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "library_calls.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

struct ExportMode {
  const char* tag;
  const char* section;
  RuntimePixelFormat format;
  std::uint32_t width;
  std::uint32_t height;
};

constexpr ExportMode EXPORT_MODES[] = {
    {"RGB", "Decode RGB", RuntimePixelFormat::Rgb, 0, 0},
    {"RGB_640x360", "Decode RGB 640x360", RuntimePixelFormat::Rgb, 640, 360},
    {"YUV420", "Decode YUV420", RuntimePixelFormat::Yuv420, 0, 0},
};

Result<RowSides> decode_export_sides(Clip clip, const ExportMode& mode) {
  const PacketRun& run = clip_group(clip);
  if (!run.error.empty()) {
    return unusable_input(run.error, run.encoder_missing);
  }
  auto opened = BareDecoder::open(run.codec, run.extradata, ffmpeg_threads());
  if (!opened) {
    return fail(std::move(opened.error()));
  }
  auto decoder = std::make_shared<BareDecoder>(std::move(*opened));
  const RuntimeDecodeRequest request = run.request(mode.format, mode.width, mode.height);
  RowSides sides;
  sides.units_per_call = static_cast<double>(run.pictures);
  sides.library = [&run, request] { return call_decode(request, run.pictures); };
  if (mode.format == RuntimePixelFormat::Yuv420) {
    sides.bare = [&run, decoder] { return bare_yuv420_decode(*decoder, run); };
  } else {
    sides.bare = [&run, decoder, mode] {
      return bare_rgb_decode(*decoder, run, mode.width, mode.height);
    };
  }
  return sides;
}

}  // namespace

void register_decode_export_rows(int threads) {
  for (const ExportMode& mode : EXPORT_MODES) {
    for (const Clip clip : ALL_CLIPS) {
      const std::string name =
          str_cat("DecodeExport/", mode.tag, "/", clip_tag(clip), "/threads:", threads);
      register_case(name, [clip, &mode, threads](benchmark::State& state) {
        const RowSpec spec{RowKind::Throughput, mode.section, clip_label(clip), threads};
        run_ratio_row(state, spec, [clip, &mode] { return decode_export_sides(clip, mode); });
      });
    }
  }
}

}  // namespace vantle::bench
