#!/usr/bin/env bash
# Builds the libFuzzer targets (one per request export; ASan + UBSan) and runs
# each for a while on a seed corpus, then prints executions, coverage and
# crashes per target. Fails when any target found a crash.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     default 300 s, all targets
#
# Environment:
#   VANTLE_FUZZ_HOST_GUARD  none (default), after or before: every buffer the
#                           library hands out sits against a guard page, so
#                           writes by FFmpeg's uninstrumented code past its
#                           end (or before its start) fault as well
#   VANTLE_FUZZ_STREAMS     files or folders of public bitstreams for the seeds
#                           (default: the project's stream corpus when present)
#   VANTLE_FUZZ_BUILD       build folder (default build-fuzz)
#   VANTLE_JOBS             build parallelism (default 2)
#
# The corpus grows in $VANTLE_FUZZ_BUILD/corpus/<target> from run to run;
# crashing inputs land in $VANTLE_FUZZ_BUILD/crashes. Replay one with
#   $VANTLE_FUZZ_BUILD/engine/plugins/modality/vantle-video-runtime/tests/fuzz/<target> FILE
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(decode_fuzzer decode_indexed_fuzzer transcode_fuzzer)
fi
build_dir=${VANTLE_FUZZ_BUILD:-$repo/build-fuzz}
jobs=${VANTLE_JOBS:-2}
guard=${VANTLE_FUZZ_HOST_GUARD:-none}
fuzz_bin=$build_dir/engine/plugins/modality/vantle-video-runtime/tests/fuzz

CC=clang CXX=g++ cmake -S "$repo" -B "$build_dir" -DVANTLE_BUILD_TESTS=ON -DVANTLE_BUILD_FUZZERS=ON \
  -DVANTLE_BUILD_BENCHMARKS=OFF -DVANTLE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" >/dev/null
cmake --build "$build_dir" -j "$jobs" --target make_fuzz_seeds "${targets[@]}"

# Leaks are checked after every input; see lsan.supp for the two encoders' own.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$repo/engine/plugins/modality/vantle-video-runtime/tests/fuzz/lsan.supp

streams=()
if [[ -n ${VANTLE_FUZZ_STREAMS:-} ]]; then
  read -r -a streams <<<"$VANTLE_FUZZ_STREAMS"
else
  while IFS= read -r -d '' sums; do
    streams+=("$(dirname -- "$sums")")
  done < <(find "$repo/engine" -name SHA256SUMS -print0)
fi
seeds=$build_dir/seeds
rm -rf -- "$seeds"
"$fuzz_bin/make_fuzz_seeds" "$seeds" "${streams[@]}"

mkdir -p -- "$build_dir/crashes"
summary=()
failed=0
for target in "${targets[@]}"; do
  corpus=$build_dir/corpus/$target
  mkdir -p -- "$corpus"
  log=$build_dir/$target.log
  echo "== $target: $seconds s, host guard $guard"
  rc=0
  VANTLE_FUZZ_HOST_GUARD=$guard "$fuzz_bin/$target" -max_total_time="$seconds" -max_len=65536 \
    -timeout=30 -rss_limit_mb=4096 -use_value_profile=1 -print_final_stats=1 \
    -artifact_prefix="$build_dir/crashes/$target-" "$corpus" "$seeds" >"$log" 2>&1 || rc=$?
  grep -E '^#[0-9]+.*(INITED|DONE)' "$log" || true
  executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  # libFuzzer writes one input per crash, leak, timeout or memory excess.
  crashes=$(grep -c 'Test unit written to' "$log" || true)
  if ((rc != 0)); then
    failed=1
    ((crashes > 0)) || crashes=1
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written|ALARM' "$log" | head -n 20
  fi
  summary+=("$(printf '%-22s %8s executions  %-20s crashes %s  (exit %d)' "$target" \
    "${executions:-?}" "${coverage:-cov: ?}" "$crashes" "$rc")")
done
echo
echo "==== fuzz summary ($seconds s per target, host guard $guard)"
printf '%s\n' "${summary[@]}"
exit "$failed"
