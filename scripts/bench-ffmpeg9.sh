#!/usr/bin/env bash
# The benchmark program on FFmpeg 9.0: builds it in Release inside the Debian
# unstable root of the ffmpeg9 test leg (scripts/ffmpeg9-root.sh) and runs it
# there with glibc as installed and tuned (the root has no jemalloc or
# mimalloc). Arguments go to the program, as with scripts/bench.sh:
#
#   scripts/bench-ffmpeg9.sh --threads 1 --mode host --no-extras
#
# Needs root (it uses sudo otherwise) for chroot and the root's /proc mount.
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
root_dir=$(realpath -m -- "${VANTLE_FFMPEG9_ROOT:-/var/cache/vantle-video-runtime/ffmpeg9-root}")
jobs=${VANTLE_JOBS:-2}
work=/root/vantle-bench

as_root() {
  if ((EUID == 0)); then "$@"; else sudo "$@"; fi
}

as_root touch -- "$root_dir.lock"
exec 9<"$root_dir.lock"
flock 9
VANTLE_FFMPEG9_ROOT_LOCK_HELD=1 bash "$repo/scripts/ffmpeg9-root.sh" "$root_dir"

in_root=(as_root chroot "$root_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

# The working tree as git sees it (tracked and untracked, not ignored).
as_root rm -rf --one-file-system -- "$root_dir$work/src"
as_root mkdir -p -- "$root_dir$work/src"
git -C "$repo" ls-files -z --cached --others --exclude-standard |
  (cd "$repo" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
  as_root tar -xf - -C "$root_dir$work/src"

proc=$root_dir/proc
if ! mountpoint -q -- "$proc"; then
  as_root mount -t proc proc "$proc"
  trap 'as_root umount "$proc" || as_root umount -l "$proc"' EXIT
fi

"${in_root[@]}" cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DVANTLE_BUILD_TESTS=OFF -DVANTLE_BUILD_BENCHMARKS=ON >/dev/null
"${in_root[@]}" cmake --build "$work/build" -j "$jobs" --target vantle_video_runtime_bench >/dev/null
program=$work/build/engine/plugins/modality/vantle-video-runtime/bench/vantle_video_runtime_bench

echo "# commit $(git -C "$repo" rev-parse --short HEAD); FFmpeg 9.0 root $root_dir"
status=0
for allocator in ${VANTLE_BENCH_ALLOCATORS:-glibc glibc-tuned}; do
  environment=(VANTLE_BENCH_ALLOCATOR="$allocator")
  case $allocator in
    glibc) ;;
    glibc-tuned)
      environment+=(GLIBC_TUNABLES=glibc.malloc.mmap_threshold=1073741824:glibc.malloc.trim_threshold=4294967295)
      ;;
    *)
      echo "allocator '$allocator' is not in the FFmpeg 9.0 root" >&2
      exit 2
      ;;
  esac
  echo
  echo "## $allocator (FFmpeg 9.0)"
  "${in_root[@]}" "${environment[@]}" "$program" "$@" || status=$?
done
exit "$status"
