// Pool benefit: repeated indexed decodes of one 360p group on one thread,
// the library's pooled decoder against a bare loop that opens and frees a
// decoder for every call.
#include "bare_calls.h"
#include "bench_options.h"
#include "bench_rows.h"
#include "common/text.h"
#include "library_calls.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

constexpr Clip POOL_CLIP = Clip::H264_360p;

Result<RowSides> pool_sides(int threads) {
  const PacketRun& run = clip_group(POOL_CLIP);
  if (!run.error.empty()) {
    return unusable_input(run.error, run.encoder_missing);
  }
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Yuv420);
  RowSides sides;
  sides.units_per_call = 1;
  sides.library = [&run, request] { return call_decode_indexed(request, run.pictures); };
  sides.reference = [&run, threads] { return bare_indexed_decode_fresh_decoder(run, threads); };
  return sides;
}

}  // namespace

void register_pool_rows(int threads, PoolPlacement placement) {
  const bool first = placement == PoolPlacement::First;
  const std::string name = str_cat("PoolBenefit/", first ? "first" : "after_other_rows", "/",
                                   clip_tag(POOL_CLIP), "/threads:", threads);
  register_case(name, [threads, first](benchmark::State& state) {
    const RowSpec spec{RowKind::PoolCalls, first ? "Pool, run first" : "Pool, after others",
                       clip_label(POOL_CLIP), threads};
    const int calls = bench_options().pool_calls;
    // Exactly `calls` calls per side, whatever they take.
    run_ratio_row(
        state, spec, [threads] { return pool_sides(threads); }, RoundLimits{0, calls, calls});
  });
}

}  // namespace vantle::bench
