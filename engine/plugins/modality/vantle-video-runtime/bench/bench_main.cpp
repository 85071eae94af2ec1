// The benchmark program: Google Benchmark's table of every row, then the
// summary of library against bare rates, the pool's benefit, the indexed
// decode's peak memory and the resident memory left after releases.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_options.h"
#include "bench_rows.h"
#include "ratio_summary.h"
#include "support/media.h"

int main(int argc, char** argv) {
  using namespace vantle::bench;
  parse_bench_options(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 2;
  }
  // The pool rows once before everything else, then one pass over the rows
  // per thread count, in table order.
  for (const int threads : bench_options().thread_passes) {
    register_pool_rows(threads, PoolPlacement::First);
  }
  for (const int threads : bench_options().thread_passes) {
    register_decode_rows(threads);
    register_transcode_rows(threads);
    register_pool_rows(threads, PoolPlacement::AfterOtherRows);
    register_peak_memory_rows(threads);
    register_resident_memory_rows(threads);
  }
  std::fprintf(stderr,
               "Time = median library time per call; the rows' figures are in the summary below "
               "the table.\n");
  benchmark::RunSpecifiedBenchmarks();
  summary().print();
  benchmark::Shutdown();
  return summary().any_failed() ? 1 : 0;
}
