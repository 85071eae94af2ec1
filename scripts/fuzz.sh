#!/usr/bin/env bash
# Builds the libFuzzer targets (one per request export, one for the kept-memory
# exports; ASan + UBSan), runs each target's committed corpus (every input
# once), then fuzzes each for the rest of its time from a copy of it, and prints
# executions, coverage and crashes per target. Fails when any replay or run
# found a crash.
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
#   VANTLE_WERROR           ON: warnings are errors (the CI leg sets it)
#
# The committed corpus (tests/fuzz/corpus/<target>, grown and minimized by
# scripts/fuzz-campaign.sh) is only read. Runs write into
# $VANTLE_FUZZ_BUILD/corpus/<target>, which starts as a copy of it and grows
# from run to run; crashing inputs land in $VANTLE_FUZZ_BUILD/crashes. Each
# target uses tests/fuzz/dict/common.dict followed by its own <target>.dict.
# Replay one input with
#   $VANTLE_FUZZ_BUILD/engine/plugins/modality/vantle-video-runtime/tests/fuzz/<target> FILE
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(decode_fuzzer decode_indexed_fuzzer transcode_fuzzer kept_memory_fuzzer)
fi
build_dir=${VANTLE_FUZZ_BUILD:-$repo/build-fuzz}
jobs=${VANTLE_JOBS:-2}
guard=${VANTLE_FUZZ_HOST_GUARD:-none}
fuzz_bin=$build_dir/engine/plugins/modality/vantle-video-runtime/tests/fuzz
fuzz_src=$repo/engine/plugins/modality/vantle-video-runtime/tests/fuzz

CC=clang CXX=g++ cmake -S "$repo" -B "$build_dir" -DVANTLE_BUILD_TESTS=ON -DVANTLE_BUILD_FUZZERS=ON \
  -DVANTLE_WERROR="${VANTLE_WERROR:-OFF}" \
  -DVANTLE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" >/dev/null
cmake --build "$build_dir" -j "$jobs" --target make_fuzz_seeds "${targets[@]}"
((seconds > 0)) || exit 0

# Leaks are checked after every input; see tests/sanitizer/lsan.supp for the two
# encoders' own.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$fuzz_src/../sanitizer/lsan.supp

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
# A crash inside Debian 12's libdav1d 1.0.0 (FFmpeg 5.1's AV1 decoder) that a
# bare libavcodec send/receive loop reproduces is not ours: it is counted
# apart, its input kept, and the target restarted for the time left. Newer
# dav1d (the FFmpeg 9.0 root) refuses those inputs. Every other crash fails.
external_crash='SUMMARY: AddressSanitizer: [A-Za-z-]+ \(/(usr/)?lib/x86_64-linux-gnu/libdav1d\.so\.6\+'

for target in "${targets[@]}"; do
  committed=$fuzz_src/corpus/$target
  corpus=$build_dir/corpus/$target
  dict=$build_dir/$target.dict
  cat "$fuzz_src/dict/common.dict" "$fuzz_src/dict/$target.dict" >"$dict"
  mkdir -p -- "$corpus"
  log=$build_dir/$target.log
  : >"$log"
  executions=0 ours=0 external=0 rc=0 replayed=0 inputs=0
  # The committed inputs join a copy that the run writes into, so the
  # committed folder stays as it is. libFuzzer runs every input of its corpus
  # once before it mutates any (up to its INITED line): that pass is the
  # replay, under the same sanitizers and host guard, and the time left of
  # the target's share fuzzes from it. A separate replay would run each input
  # twice.
  if [[ -d $committed ]]; then
    inputs=$(find "$committed" -type f | wc -l)
    cp -- "$committed"/* "$corpus"/
  fi
  echo "== $target: $inputs committed inputs once, then fuzzing; $seconds s, host guard $guard"
  deadline=$((SECONDS + seconds))
  while ((ours == 0 && SECONDS < deadline)); do
    run_log=$build_dir/$target.run.log
    rc=0
    VANTLE_FUZZ_HOST_GUARD=$guard "$fuzz_bin/$target" -max_total_time=$((deadline - SECONDS)) \
      -max_len=65536 -timeout=30 -rss_limit_mb=4096 -use_value_profile=1 -entropic_scale_per_exec_time=1 \
      -print_final_stats=1 -dict="$dict" -artifact_prefix="$build_dir/crashes/$target-" "$corpus" "$seeds" >"$run_log" 2>&1 || rc=$?
    cat "$run_log" >>"$log"
    grep -E '^#[0-9]+.*(INITED|DONE)' "$run_log" || true
    # The files libFuzzer read (the committed inputs, earlier finds and the
    # seeds), all run once by the time it says INITED.
    if grep -q 'INITED' "$run_log"; then
      replayed=$(sed -nE 's/^INFO: seed corpus: files: ([0-9]+).*/\1/p' "$run_log" | tail -n 1)
    fi
    run_executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$run_log" | tail -n 1)
    executions=$((executions + ${run_executions:-0}))
    ((rc != 0)) || break
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written|ALARM' "$run_log" | head -n 20
    if grep -qE "$external_crash" "$run_log" && ((external < 20)); then
      external=$((external + 1))
      echo "(inside libdav1d 1.0.0: counted apart, restarting)"
      continue
    fi
    ours=$((ours + 1))
    failed=1
    break
  done
  if ((ours == 0 && ${replayed:-0} < inputs)); then
    echo "replay of $committed incomplete: $replayed files read for $inputs committed inputs"
    failed=1 ours=1
  fi
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  summary+=("$(printf '%-22s %5s files run once for %5s committed, %8s executions  %-20s crashes %s (inside libdav1d 1.0.0: %s)  (exit %d)' \
    "$target" "$replayed" "$inputs" "$executions" "${coverage:-cov: ?}" "$ours" "$external" "$rc")")
done
echo
echo "==== fuzz summary ($seconds s per target, host guard $guard)"
printf '%s\n' "${summary[@]}"
exit "$failed"
