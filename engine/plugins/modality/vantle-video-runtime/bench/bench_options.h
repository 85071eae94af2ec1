// Settings of the benchmark program that Google Benchmark does not know: how
// long each row measures and which FFmpeg thread counts get a pass.
#pragma once

#include <vector>

namespace vantle::bench {

struct BenchOptions {
  // A row keeps measuring library/bare pairs until it has spent this long and
  // has at least min_pairs, or until it has max_pairs.
  double seconds_per_row = 2.5;
  int min_pairs = 7;
  int max_pairs = 400;
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
