#!/usr/bin/env bash
# Measures the library against the alternatives on this machine, in one run
# of a few minutes: the bare libavcodec loop (the ceiling), the ffmpeg
# command line, PyAV, OpenCV and the library's own Python package, on H.264
# (with B-frames), H.265 and AV1 clips
# at 360p, 720p and 1080p in 12-picture groups, with 1 and 2 codec threads,
# plus the random-access case. Writes doc/benchmarks/alternatives.md (the
# Markdown table, also printed) and doc/benchmarks/alternatives.png (the chart
# the README shows).
#
#   scripts/bench-alternatives.sh [OUT_DIR]
#
# Installs what it needs from Debian's archive itself: the build's packages
# (scripts/install-deps.sh), then ffmpeg, python3-av, python3-opencv and
# python3-matplotlib. Run it on an otherwise idle machine for figures worth
# comparing.
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
out_dir=$(realpath -m -- "${1:-$repo/doc/benchmarks}")
build_dir=$repo/build-bench-alternatives
clips=$build_dir/clips
jobs=${VANTLE_JOBS:-2}

bash "$repo/scripts/install-deps.sh"
packages=(ffmpeg python3-av python3-opencv python3-matplotlib python3-numpy)
# (the Python package itself needs only python3-numpy and python3-av)
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  as_root=()
  ((EUID == 0)) || as_root=(sudo)
  echo "bench-alternatives: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq -o Dpkg::Use-Pty=0 \
    "${missing[@]}" </dev/null >/dev/null
fi

cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVANTLE_BUILD_TESTS=OFF \
  -DVANTLE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vantle-video >/dev/null
tool=$build_dir/engine/plugins/modality/vantle-video-runtime/tools/vantle-video/vantle-video

# The clips: testsrc2 at 25 frames per second, key frames exactly every 12
# pictures, made once and reused.
mkdir -p "$clips" "$out_dir"
make_clip() {
  local name=$1 size=$2 frames=$3
  shift 3
  [[ -s $clips/$name ]] && return
  SVT_LOG=1 ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" \
    -pix_fmt yuv420p "$@" -y "$clips/$name"
}
for size in 640x360 1280x720 1920x1080; do
  height=${size#*x}
  make_clip "clip-h264-${height}p.mp4" "$size" 24 -c:v libx264 -g 12 -keyint_min 12 \
    -sc_threshold 0 -bf 2
  make_clip "clip-h265-${height}p.mp4" "$size" 24 -c:v libx265 \
    -x265-params "keyint=12:min-keyint=12:scenecut=0:bframes=2:open-gop=0:log-level=error"
  make_clip "clip-av1-${height}p.mp4" "$size" 24 -c:v libsvtav1 -g 12 -preset 10
done
make_clip random-access-h264-360p.mp4 640x360 240 -c:v libx264 -g 12 -keyint_min 12 \
  -sc_threshold 0 -bf 2
for clip in "$clips"/*.mp4; do
  groups=$("$tool" info "$clip" | sed -n 's/^group lengths: //p')
  echo "bench-alternatives: $(basename -- "$clip"): group lengths $groups"
done

start=$SECONDS
# Debian's interpreter: the python3-* packages above live there, whatever python3
# comes first on PATH.
# The Python package from this tree, on the library the tool was built with.
VANTLE_VIDEO_RUNTIME_LIBRARY=$build_dir/engine/plugins/modality/vantle-video-runtime/libvantle_video_runtime.so.1 \
  PYTHONPATH=$repo/python${PYTHONPATH:+:$PYTHONPATH} PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 "$repo/scripts/bench_alternatives.py" "$tool" "$clips" "$out_dir"
echo "bench-alternatives: measured in $((SECONDS - start)) s; wrote $out_dir/alternatives.md and $out_dir/alternatives.png"
