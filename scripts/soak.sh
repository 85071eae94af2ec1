#!/usr/bin/env bash
# Soak: 10,000 mixed calls through the C interface on one thread, then as many
# on eight threads that come and go, resident memory sampled throughout
# (FFmpeg 5.1, optimised build). Prints the curve; fails when memory grows
# by more than the allowed MiB after the warm-up or a call fails.
#
#   scripts/soak.sh [CALLS_PER_PHASE] [ALLOWED_GROWTH_MIB]     default 10000, 8
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$repo/build-soak
cmake -S "$repo" -B "$build_dir" -DVANTLE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "${VANTLE_JOBS:-2}" --target vantle_soak
start=$SECONDS
"$build_dir/engine/plugins/modality/vantle-video-runtime/tests/vantle_soak" "$@"
echo "soak: $((SECONDS - start)) s"
