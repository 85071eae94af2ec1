// Settings of the benchmark program that Google Benchmark does not know: how
// long each row measures and which FFmpeg thread counts get a pass.
#pragma once

#include <vector>

namespace vantle::bench {

struct BenchOptions {
  // A row keeps measuring rounds (one call per side) until it has spent this
  // long and has at least min_rounds, or until it has max_rounds.
  double seconds_per_row = 2.0;
  int min_rounds = 5;
  int max_rounds = 400;
  // Calls per side in the pool rows.
  int pool_calls = 200;
  // One pass over every row per value of VANTLE_VIDEO_FFMPEG_THREADS.
  std::vector<int> thread_passes = {1, 2};
  bool quick = false;
};

// Takes the program's own flags out of argv, so that Google Benchmark sees
// only its own, and keeps them for bench_options(). Prints the usage and
// exits on --help or a bad value.
void parse_bench_options(int& argc, char** argv);
const BenchOptions& bench_options();

}  // namespace vantle::bench
