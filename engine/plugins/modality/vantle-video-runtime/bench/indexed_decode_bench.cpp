// Indexed decode: vantle_video_runtime_decode_indexed against a bare loop on
// one opened decoder that stamps packet indices and copies the planes out.
#include <memory>

#include "bare_calls.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "library_calls.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

Result<RowSides> indexed_decode_sides(Clip clip) {
  const PacketRun& run = clip_group(clip);
  if (!run.error.empty()) {
    return unusable_input(run.error, run.encoder_missing);
  }
  auto opened = BareDecoder::open(run.codec, run.extradata, ffmpeg_threads());
  if (!opened) {
    return fail(std::move(opened.error()));
  }
  auto decoder = std::make_shared<BareDecoder>(std::move(*opened));
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Yuv420);
  RowSides sides;
  sides.units_per_call = static_cast<double>(run.pictures);
  sides.library = [&run, request] { return call_decode_indexed(request, run.pictures); };
  sides.bare = [&run, decoder] { return bare_indexed_decode(*decoder, run); };
  return sides;
}

}  // namespace

void register_indexed_decode_rows(int threads) {
  for (const Clip clip : ALL_CLIPS) {
    const std::string name = str_cat("IndexedDecode/", clip_tag(clip), "/threads:", threads);
    register_case(name, [clip, threads](benchmark::State& state) {
      const RowSpec spec{RowKind::Throughput, "Indexed decode", clip_label(clip), threads};
      run_ratio_row(state, spec, [clip] { return indexed_decode_sides(clip); });
    });
  }
}

}  // namespace vantle::bench
