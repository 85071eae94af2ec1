#!/usr/bin/env bash
# The main job: installs what the build needs, builds the vantle-video tool in
# build-ci-example and decodes the built-in example clip (made in memory, no
# media needed) to PNG pictures, printing each file it wrote.
#
#   scripts/example.sh                 vantle-video decode --rgb --out build-ci-example/frames
#   scripts/example.sh ARGS...         vantle-video ARGS... (e.g. info, indexed, --help)
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$repo/build-ci-example
jobs=${VANTLE_JOBS:-2}

bash "$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$build_dir" -DVANTLE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vantle-video

program=$(find "$build_dir" -path "$build_dir/CMakeFiles" -prune -o -type f -name vantle-video -perm -u+x -print -quit)
if [[ -z $program ]]; then
  echo "example: built vantle-video but cannot find it under $build_dir" >&2
  exit 1
fi
arguments=("$@")
if ((${#arguments[@]} == 0)); then
  arguments=(decode --rgb --out "$build_dir/frames")
fi
echo "example: running vantle-video ${arguments[*]}"
exec "$program" "${arguments[@]}"
