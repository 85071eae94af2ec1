#!/usr/bin/env bash
# Builds vantle-video in Release and runs `vantle-video bench ARGS` once per allocator
# (VANTLE_BENCH_ALLOCATORS picks runs); --ffmpeg9 ARGS: the same in the FFmpeg 9.0 root of the
# ffmpeg9 test leg (glibc as installed and glibc-tuned); --alternatives [OUT_DIR]: against
# ffmpeg, PyAV, OpenCV and the Python package, into doc/benchmarks/alternatives.md and .png.
# See doc/benchmarks.md.
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VANTLE_JOBS:-2}
in_root=() src=$repo build=$repo/build-bench allocators="glibc glibc-tuned jemalloc mimalloc"
source "$repo/scripts/ffmpeg9-enter.sh"

if [[ ${1:-} == --ffmpeg9 ]]; then
  shift
  enter_ffmpeg9_root build-bench
  src=$source_dir build=$build_dir allocators="glibc glibc-tuned"
elif [[ ${1:-} == --alternatives ]]; then
  bash "$repo/scripts/install-deps.sh" python3-opencv python3-matplotlib
fi

"${in_root[@]}" cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTLE_BUILD_TESTS=OFF >/dev/null
"${in_root[@]}" cmake --build "$build" -j "$jobs" --target vantle-video >/dev/null
built=$build/engine/plugins/modality/vantle-video-runtime
commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$repo" diff --quiet HEAD -- 2>/dev/null || commit+=" (with uncommitted changes)"
echo "# commit $commit; $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)${in_root:+; FFmpeg 9.0 root $root_dir}"

if [[ ${1:-} == --alternatives ]]; then
  out_dir=$(realpath -m -- "${2:-$repo/doc/benchmarks}")
  clips=$build/clips
  mkdir -p "$clips" "$out_dir"
  make_clip() {  # NAME SIZE FRAMES ENCODER-OPTIONS...: testsrc2 at 25/s, made once and kept
    [[ -s $clips/$1 ]] || SVT_LOG=1 ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$2:rate=25" \
      -frames:v "$3" -pix_fmt yuv420p "${@:4}" -y "$clips/$1"
  }
  x264=(-c:v libx264 -g 12 -keyint_min 12 -sc_threshold 0 -bf 2)
  for size in 640x360 1280x720 1920x1080; do
    make_clip "clip-h264-${size#*x}p.mp4" "$size" 24 "${x264[@]}"
    make_clip "clip-h265-${size#*x}p.mp4" "$size" 24 -c:v libx265 \
      -x265-params "keyint=12:min-keyint=12:scenecut=0:bframes=2:open-gop=0:log-level=error"
    make_clip "clip-av1-${size#*x}p.mp4" "$size" 24 -c:v libsvtav1 -g 12 -preset 10
  done
  make_clip random-access-h264-360p.mp4 640x360 240 "${x264[@]}"
  # Debian's Python (its python3-* packages) with this tree's package on the tool's library.
  VANTLE_VIDEO_RUNTIME_LIBRARY=$built/libvantle_video_runtime.so.1 \
    PYTHONPATH=$repo/python${PYTHONPATH:+:$PYTHONPATH} PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 "$repo/scripts/bench_alternatives.py" "$built/tools/vantle-video/vantle-video" \
    "$clips" "$out_dir"
  exit
fi

# The program sets the thread variable for each pass.
unset VANTLE_VIDEO_FFMPEG_THREADS LD_PRELOAD GLIBC_TUNABLES
# What each allocator run sets; jemalloc and mimalloc come from Debian's packages.
declare -A setting=([glibc]='' [jemalloc]=LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libjemalloc.so.2
  [glibc-tuned]=GLIBC_TUNABLES=glibc.malloc.mmap_threshold=1073741824:glibc.malloc.trim_threshold=4294967295
  [mimalloc]=LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libmimalloc.so.2)
declare -A package=([jemalloc]=libjemalloc2 [mimalloc]=libmimalloc2.0)
status=0
for allocator in ${VANTLE_BENCH_ALLOCATORS:-$allocators}; do
  [[ -v setting[$allocator] ]] || { echo "unknown allocator '$allocator'" >&2; exit 2; }
  library=${setting[$allocator]#LD_PRELOAD=}
  if [[ -v package[$allocator] && ! -e ${in_root:+$root_dir}$library ]]; then
    printf '\n## %s: skipped, %s is missing (apt-get install %s)\n' "$allocator" "$library" "${package[$allocator]}"
    continue
  fi
  printf '\n## %s%s\n' "$allocator" "${in_root:+ (FFmpeg 9.0)}"
  "${in_root[@]}" env VANTLE_BENCH_ALLOCATOR="$allocator" ${setting[$allocator]:+"${setting[$allocator]}"} \
    "$built/tools/vantle-video/vantle-video" bench "$@" || status=$?
done
exit "$status"
