#!/usr/bin/env bash
# Builds the benchmark program in Release and runs it. Arguments go to the
# program:
#
#   scripts/bench.sh                       every row, both thread passes (about
#                                          5 minutes on 2 cores)
#   scripts/bench.sh --quick               a smoke run of every row, few rounds
#                                          each (1-2 minutes)
#   scripts/bench.sh --help                the program's own flags
#
# Rows and their names (CLIP = {H264,H265,AV1}_{360p,720p,1080p}, N = the
# VANTLE_VIDEO_FFMPEG_THREADS of the pass):
#   Decode/{RGB,RGB_640x360,YUV420,Indexed}/CLIP/threads:N   (no AV1 Indexed)
#   Transcode/H264_{360p,1080p}/threads:N
#   PoolBenefit/{first,after_other_rows}/H264_360p/threads:N
#   PeakMemory/H264_1080p_86/threads:N
#   Resident/{Burst,Indexed256MiB,OtherThread}/threads:N
# Select with Google Benchmark's regular expression and the program's flags:
#   scripts/bench.sh --benchmark_filter='Decode/(RGB|YUV420)/H26[45]_1080p'
#   scripts/bench.sh --benchmark_filter=Decode/ --vantle_threads=1 --vantle_seconds=10
#   scripts/bench.sh --benchmark_filter=Resident/
#   --vantle_seconds=S, --vantle_min_rounds=N, --vantle_max_rounds=N  measuring
#       time per row and its bounds in rounds (one call per side a round)
#   --vantle_threads=1,2   the passes;  --vantle_pool_calls=N  calls per pool row
#
# It prints Google Benchmark's table, then the summary: per decode row the
# library's rate, the warm-memory ceiling's rate (one decoder and scaler for
# the row, output buffers recycled from group to group) and their ratio
# against the goal (0.95; transcode 0.97 against its bare decode + encode
# loop); then the ratio to the loop that allocates like the library (fresh
# malloc per buffer) and the minor page faults per picture of all three; the
# decoder pool's speed-up, the indexed decode's peak memory, and the resident
# memory and heap the library keeps after releases.
#
# On a busy machine the wall-clock ratios are noisy (the summary flags such
# rows). Instruction counts are not: under callgrind, collect only the timed
# calls and compare the inclusive cost of vantle::bench::call_* (library)
# with vantle::bench::bare_* (the bare loops):
#
#   valgrind --tool=callgrind --collect-atstart=no \
#     --toggle-collect='vantle::bench::time_call(*' PROGRAM --vantle_threads=1 \
#     --vantle_min_rounds=3 --vantle_max_rounds=3 --benchmark_filter=Decode/Indexed/H264_360p
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
