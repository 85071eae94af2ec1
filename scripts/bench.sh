#!/usr/bin/env bash
# Builds the benchmark program in Release and runs it. Arguments go to the
# program:
#
#   scripts/bench.sh                                 every row, a few minutes
#   scripts/bench.sh --quick                         a short smoke run
#   scripts/bench.sh --benchmark_filter=IndexedDecode --vantle_seconds=10
#   scripts/bench.sh --help                          the program's own flags
#
# It prints Google Benchmark's table, then the summary: per row the library's
# rate, the bare libavcodec loop's rate and their ratio against the goal,
# the decoder pool's speed-up and the indexed decode's peak memory.
#
# On a busy machine the wall-clock ratios are noisy (the summary flags such
# rows). Instruction counts are not: under callgrind, collect only the timed
# calls and compare the inclusive cost of vantle::bench::call_* (library)
# with vantle::bench::bare_* (baseline):
#
#   valgrind --tool=callgrind --collect-atstart=no \
#     --toggle-collect='vantle::bench::time_call(*' PROGRAM --vantle_threads=1 \
#     --vantle_min_pairs=3 --vantle_max_pairs=3 --benchmark_filter=IndexedDecode/H264_360p
#   callgrind_annotate --inclusive=yes callgrind.out.* | grep -E 'bench::(call|bare)_'
#
# (Debian 12's valgrind 3.19 stops at an rdtscp in libhwy, which libavcodec
# loads; the valgrind of the FFmpeg 9.0 root runs it.)
#
# Environment: VANTLE_BENCH_BUILD_DIR (default build-bench), VANTLE_JOBS
# (default 2) build parallelism.
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTLE_BENCH_BUILD_DIR:-$repo/build-bench}
jobs=${VANTLE_JOBS:-2}

# The program links the test media fixture, so the tests' CMake folder is
# configured too; only the benchmark target is built.
cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVANTLE_BUILD_TESTS=ON \
  -DVANTLE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vantle_video_runtime_bench

program=$build_dir/engine/plugins/modality/vantle-video-runtime/bench/vantle_video_runtime_bench
if [[ ! -x $program ]]; then
  echo "no benchmark program was built: is Google Benchmark (libbenchmark-dev) installed?" >&2
  exit 1
fi

commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
if ! git -C "$repo" diff --quiet HEAD -- 2>/dev/null; then
  commit+=" (with uncommitted changes)"
fi
echo "commit $commit; $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
# Every pass sets the thread variable itself; an outer value would only
# confuse the first row.
unset VANTLE_VIDEO_FFMPEG_THREADS
exec "$program" "$@"
