#!/usr/bin/env bash
# The main job on the built-in example: installs what the build needs, builds
# the example program in build-ci-example and runs it. Arguments are passed on
# to the program.
set -euo pipefail

# What this job runs: a CMake target of the project and its arguments.
example=(vantle_video_runtime_example)

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$repo/build-ci-example
jobs=${VANTLE_JOBS:-2}

bash "$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$build_dir" -DVANTLE_BUILD_TESTS=OFF -DVANTLE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target "${example[0]}"

program=$(find "$build_dir" -path "$build_dir/CMakeFiles" -prune -o -type f -name "${example[0]}" -perm -u+x -print -quit)
if [[ -z $program ]]; then
  echo "example: built ${example[0]} but cannot find it under $build_dir" >&2
  exit 1
fi
echo "example: running ${example[*]}${*:+ $*}"
exec "$program" "${example[@]:1}" "$@"
