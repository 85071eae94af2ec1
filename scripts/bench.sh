#!/usr/bin/env bash
# Builds the benchmark program in Release and runs it once per allocator:
# glibc as installed, glibc told to keep its memory, jemalloc and mimalloc
# (Debian's libjemalloc2 and libmimalloc2.0, preloaded; skipped with a
# message when missing). Each run prints its own tables. Arguments go to the
# program (`--help` lists them), e.g.
#
#   scripts/bench.sh                          every row, 1 and 2 codec threads
#   scripts/bench.sh --quick                  a check that every row runs
#   scripts/bench.sh --threads 1 --only 'H.264 1920x1080'
#
# VANTLE_BENCH_ALLOCATORS picks and orders the runs (default
# "glibc glibc-tuned jemalloc mimalloc"); VANTLE_BENCH_BUILD_DIR (default
# build-bench) and VANTLE_JOBS (default 2) the build.
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTLE_BENCH_BUILD_DIR:-$repo/build-bench}
jobs=${VANTLE_JOBS:-2}

launchers=()
if command -v ccache >/dev/null; then
  launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVANTLE_BUILD_TESTS=OFF \
  -DVANTLE_BUILD_BENCHMARKS=ON "${launchers[@]}" >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vantle_video_runtime_bench >/dev/null
program=$build_dir/engine/plugins/modality/vantle-video-runtime/bench/vantle_video_runtime_bench

commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
if ! git -C "$repo" diff --quiet HEAD -- 2>/dev/null; then
  commit+=" (with uncommitted changes)"
fi
echo "# commit $commit; $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
# The program sets the thread variable for each pass.
unset VANTLE_VIDEO_FFMPEG_THREADS LD_PRELOAD GLIBC_TUNABLES

libraries=/usr/lib/x86_64-linux-gnu
status=0
for allocator in ${VANTLE_BENCH_ALLOCATORS:-glibc glibc-tuned jemalloc mimalloc}; do
  environment=(VANTLE_BENCH_ALLOCATOR="$allocator")
  case $allocator in
    glibc) ;;
    glibc-tuned)
      environment+=(GLIBC_TUNABLES=glibc.malloc.mmap_threshold=1073741824:glibc.malloc.trim_threshold=4294967295)
      ;;
    jemalloc | mimalloc)
      library=$libraries/libjemalloc.so.2 package=libjemalloc2
      if [[ $allocator == mimalloc ]]; then
        library=$libraries/libmimalloc.so.2 package=libmimalloc2.0
      fi
      if [[ ! -e $library ]]; then
        echo
        echo "## $allocator: skipped, $library is missing (apt-get install $package)"
        continue
      fi
      environment+=(LD_PRELOAD="$library")
      ;;
    *)
      echo "unknown allocator '$allocator'" >&2
      exit 2
      ;;
  esac
  echo
  echo "## $allocator"
  env "${environment[@]}" "$program" "$@" || status=$?
done
exit "$status"
