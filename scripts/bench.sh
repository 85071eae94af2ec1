#!/usr/bin/env bash
# Builds vantle-video in Release and runs `vantle-video bench ARGS` once per allocator
# (doc/benchmarks.md). VANTLE_BENCH_ALLOCATORS picks runs.
#   scripts/bench.sh --ffmpeg9 ARGS           the same inside the ffmpeg9 test leg's FFmpeg 9.0
#                                             root (root or sudo; glibc only)
#   scripts/bench.sh --alternatives [OUT_DIR] against ffmpeg, PyAV, OpenCV and the Python
#       package (installed from Debian); writes doc/benchmarks/alternatives.md and .png
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VANTLE_JOBS:-2}
as_root() { if ((EUID == 0)); then "$@"; else sudo "$@"; fi; }
in_root=() src=$repo build=$repo/build-bench root_dir='' allocators="glibc glibc-tuned jemalloc mimalloc"

if [[ ${1:-} == --ffmpeg9 ]]; then
  shift
  root_dir=$(realpath -m -- "${VANTLE_FFMPEG9_ROOT:-/var/cache/vantle-video-runtime/ffmpeg9-root}")
  as_root touch -- "$root_dir.lock"
  exec 9<"$root_dir.lock"
  flock 9
  VANTLE_FFMPEG9_ROOT_LOCK_HELD=1 bash "$repo/scripts/ffmpeg9-root.sh" "$root_dir"
  in_root=(as_root chroot "$root_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  src=/root/vantle-bench/src build=/root/vantle-bench/build allocators="glibc glibc-tuned"
  # The working tree as git sees it (tracked and untracked, not ignored).
  as_root rm -rf --one-file-system -- "$root_dir$src"
  as_root mkdir -p -- "$root_dir$src"
  git -C "$repo" ls-files -z --cached --others --exclude-standard |
    (cd "$repo" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
    as_root tar -xf - -C "$root_dir$src"
  if ! mountpoint -q -- "$root_dir/proc"; then
    as_root mount -t proc proc "$root_dir/proc"
    trap 'as_root umount "$root_dir/proc" || as_root umount -l "$root_dir/proc"' EXIT
  fi
elif [[ ${1:-} == --alternatives ]]; then
  bash "$repo/scripts/install-deps.sh"
  # (the Python package itself needs only python3-numpy and python3-av)
  mapfile -t missing < <(for package in ffmpeg python3-av python3-opencv python3-matplotlib python3-numpy; do
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]] || echo "$package"
  done)
  ((${#missing[@]} == 0)) || DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq \
    -o Dpkg::Use-Pty=0 "${missing[@]}" </dev/null >/dev/null
fi

"${in_root[@]}" cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTLE_BUILD_TESTS=OFF >/dev/null
"${in_root[@]}" cmake --build "$build" -j "$jobs" --target vantle-video >/dev/null
built=$build/engine/plugins/modality/vantle-video-runtime
commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$repo" diff --quiet HEAD -- 2>/dev/null || commit+=" (with uncommitted changes)"

if [[ ${1:-} == --alternatives ]]; then
  out_dir=$(realpath -m -- "${2:-$repo/doc/benchmarks}")
  clips=$build/clips
  mkdir -p "$clips" "$out_dir"
  # testsrc2 at 25 frames per second, key frames exactly every 12 pictures,
  # made once and reused.
  make_clip() {
    local name=$1 size=$2 frames=$3
    shift 3
    [[ -s $clips/$name ]] && return
    SVT_LOG=1 ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" \
      -pix_fmt yuv420p "$@" -y "$clips/$name"
  }
  x264=(-c:v libx264 -g 12 -keyint_min 12 -sc_threshold 0 -bf 2)
  for size in 640x360 1280x720 1920x1080; do
    make_clip "clip-h264-${size#*x}p.mp4" "$size" 24 "${x264[@]}"
    make_clip "clip-h265-${size#*x}p.mp4" "$size" 24 -c:v libx265 \
      -x265-params "keyint=12:min-keyint=12:scenecut=0:bframes=2:open-gop=0:log-level=error"
    make_clip "clip-av1-${size#*x}p.mp4" "$size" 24 -c:v libsvtav1 -g 12 -preset 10
  done
  make_clip random-access-h264-360p.mp4 640x360 240 "${x264[@]}"
  echo "# commit $commit; $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  # Debian's interpreter, where the python3-* packages live; the Python
  # package from this tree, on the library the tool was built with.
  VANTLE_VIDEO_RUNTIME_LIBRARY=$built/libvantle_video_runtime.so.1 \
    PYTHONPATH=$repo/python${PYTHONPATH:+:$PYTHONPATH} PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 "$repo/scripts/bench_alternatives.py" "$built/tools/vantle-video/vantle-video" \
    "$clips" "$out_dir"
  exit
fi

echo "# commit $commit; $(nproc) CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)${root_dir:+; FFmpeg 9.0 root $root_dir}"
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
  if [[ -v package[$allocator] && ! -e $root_dir$library ]]; then
    printf '\n## %s: skipped, %s is missing (apt-get install %s)\n' "$allocator" "$library" "${package[$allocator]}"
    continue
  fi
  printf '\n## %s%s\n' "$allocator" "${root_dir:+ (FFmpeg 9.0)}"
  "${in_root[@]}" env VANTLE_BENCH_ALLOCATOR="$allocator" ${setting[$allocator]:+"${setting[$allocator]}"} \
    "$built/tools/vantle-video/vantle-video" bench "$@" || status=$?
done
exit "$status"
