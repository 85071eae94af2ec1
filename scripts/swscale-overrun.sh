#!/usr/bin/env bash
# Measures swscale's writes past tightly packed RGB24 pictures on FFmpeg 5.1
# (this machine) and FFmpeg 9.0 (the root of the ffmpeg9 test leg, made by
# scripts/ffmpeg9-root.sh), about a minute each. Needs root for chroot.
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
probe=$repo/engine/plugins/modality/vantle-video-runtime/tests/probes/swscale_overrun_probe.c
root_dir=${VANTLE_FFMPEG9_ROOT:-/var/cache/vantle-video-runtime/ffmpeg9-root}
flags='$(pkg-config --cflags --libs libswscale libavutil)'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== FFmpeg $(pkg-config --modversion libswscale) (libswscale), this machine"
bash -c "gcc -O2 -o $work/probe $probe $flags" && "$work/probe"

if [[ -d $root_dir ]]; then
  inside=/tmp/swscale-overrun-probe
  mkdir -p "$root_dir$inside"
  cp "$probe" "$root_dir$inside/probe.c"
  echo "== FFmpeg 9.0 root $root_dir"
  chroot "$root_dir" /usr/bin/env -i PATH=/usr/bin:/bin bash -c \
    "echo libswscale \$(pkg-config --modversion libswscale); gcc -O2 -o $inside/probe $inside/probe.c $flags && $inside/probe"
  rm -rf "${root_dir:?}$inside"
else
  echo "no FFmpeg 9.0 root at $root_dir (bash scripts/ffmpeg9-root.sh makes it)"
fi
