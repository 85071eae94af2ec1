#!/usr/bin/env bash
# The long fuzzing campaign that grows the committed corpus
# (engine/.../tests/fuzz/corpus/<target>), in chunks that add up. Build the
# targets first (scripts/fuzz.sh 0 builds them into build-fuzz).
#
#   scripts/fuzz-campaign.sh run TARGET SECONDS   one chunk, one process, nice 19
#   scripts/fuzz-campaign.sh minimize TARGET      merge the work corpus into the
#                                                 committed one, minimized
#   scripts/fuzz-campaign.sh totals               executions per target so far
#   scripts/fuzz-campaign.sh baseline TARGET SECONDS
#                                                 a run from the seeds alone, as
#                                                 CI ran before the corpus, into
#                                                 a scratch folder (logged apart)
#   scripts/fuzz-campaign.sh coverage TARGET      coverage of the committed
#                                                 corpus, every input once
#
# A chunk starts from the work corpus $VANTLE_FUZZ_CAMPAIGN/work/<target>
# (default build-fuzz/campaign), which is filled from the committed corpus
# and the seeds the first time, and writes only there. Every chunk appends
# one line to $VANTLE_FUZZ_CAMPAIGN/campaign.log: date, target, seconds,
# executions, cov, ft, work corpus files and bytes, exit status. Crashing
# inputs land in $VANTLE_FUZZ_CAMPAIGN/crashes. The host-buffer guard is
# VANTLE_FUZZ_HOST_GUARD (default after, as in CI).
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTLE_FUZZ_BUILD:-$repo/build-fuzz}
campaign=${VANTLE_FUZZ_CAMPAIGN:-$build_dir/campaign}
fuzz_src=$repo/engine/plugins/modality/vantle-video-runtime/tests/fuzz
fuzz_bin=$build_dir/engine/plugins/modality/vantle-video-runtime/tests/fuzz
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$fuzz_src/../sanitizer/lsan.supp
export VANTLE_FUZZ_HOST_GUARD=${VANTLE_FUZZ_HOST_GUARD:-after}
# The options scripts/fuzz.sh runs with, so that what the campaign finds is
# what CI would find. Inputs whose parameter sets declare huge pictures cost
# seconds each; scaling an input's energy by its run time keeps the fuzzer
# from spending most of its time mutating those.
fuzz_options=(-max_len=65536 -timeout=30 -rss_limit_mb=4096 -use_value_profile=1 -entropic_scale_per_exec_time=1)

usage() {
  sed -n '2,24p' "${BASH_SOURCE[0]}" >&2
  exit 2
}

corpus_stats() {
  local files bytes
  files=$(find "$1" -type f | wc -l)
  bytes=$(du -sb "$1" | cut -f1)
  echo "$files $bytes"
}

run_chunk() {
  local target=$1 seconds=$2
  local work=$campaign/work/$target
  mkdir -p -- "$campaign/crashes" "$campaign/logs"
  if [[ ! -d $work ]]; then
    mkdir -p -- "$work"
    if [[ -d $fuzz_src/corpus/$target ]]; then
      cp -- "$fuzz_src/corpus/$target"/* "$work"/ 2>/dev/null || true
    fi
    if [[ ! -d $campaign/seeds ]]; then
      "$fuzz_bin/make_fuzz_seeds" "$campaign/seeds" "$repo/engine/plugins/modality/vantle-video-runtime/tests/data/streams" >/dev/null
    fi
    cp -- "$campaign/seeds"/* "$work"/
  fi
  local log
  log=$campaign/logs/$target-$(date -u +%Y%m%dT%H%M%S).log
  local rc=0
  nice -n 19 "$fuzz_bin/$target" "${fuzz_options[@]}" -dict="$(dictionary "$target")" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$campaign/crashes/$target-" \
    "$work" >"$log" 2>&1 || rc=$?
  local executions coverage
  executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  # A chunk that crashed prints no final stats; its last status line counts.
  if [[ -z $executions ]]; then
    executions=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')
  fi
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | awk '{print $2, $4}')
  printf '%s %s %s %s %s %s %s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "${executions:-0}" \
    "${coverage:-? ?}" "$(corpus_stats "$work")" "$rc" >>"$campaign/campaign.log"
  tail -n 1 "$campaign/campaign.log"
}

# The target's dictionary: the syntax every target reads, then its own entries.
dictionary() {
  local out=$campaign/$1.dict
  mkdir -p -- "$campaign"
  cat "$fuzz_src/dict/common.dict" "$fuzz_src/dict/$1.dict" >"$out"
  echo "$out"
}

minimize() {
  local target=$1
  local committed=$fuzz_src/corpus/$target work=$campaign/work/$target
  local merged=$campaign/merged/$target
  rm -rf -- "$merged"
  mkdir -p -- "$merged"
  echo "before: $(corpus_stats "$work") (files bytes, work corpus)"
  local dirs=("$work")
  [[ -d $committed ]] && dirs+=("$committed")
  nice -n 19 "$fuzz_bin/$target" "${fuzz_options[@]}" -merge=1 "$merged" "${dirs[@]}" \
    >"$campaign/logs/$target-merge.log" 2>&1
  echo "after:  $(corpus_stats "$merged") (files bytes, minimized)"
  rm -rf -- "$committed"
  mkdir -p -- "$committed"
  cp -- "$merged"/* "$committed"/
  # The committed corpus stays within 10 MiB in all.
  local total
  total=$(find "$fuzz_src/corpus" -mindepth 2 -type f -printf '%s\n' | awk '{n += $1} END {print n + 0}')
  echo "all committed corpora: $total bytes"
  if ((total > 10 * 1024 * 1024)); then
    echo "over 10 MiB: minimize with a smaller -max_len, or drop the largest inputs" >&2
  fi
}

# Both print libFuzzer's cov and ft (features, value profile included) and
# append them to $VANTLE_FUZZ_CAMPAIGN/coverage.log.
baseline() {
  local target=$1 seconds=$2 scratch=$campaign/baseline/$1
  rm -rf -- "$scratch"
  mkdir -p -- "$scratch" "$campaign/logs"
  [[ -d $campaign/seeds ]] ||
    "$fuzz_bin/make_fuzz_seeds" "$campaign/seeds" "$repo/engine/plugins/modality/vantle-video-runtime/tests/data/streams" >/dev/null
  local log=$campaign/logs/$target-baseline.log
  nice -n 19 "$fuzz_bin/$target" "${fuzz_options[@]}" -dict="$(dictionary "$target")" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$campaign/crashes/$target-" \
    "$scratch" "$campaign/seeds" >"$log" 2>&1 || true
  coverage_line "$target" "baseline ${seconds}s from seeds" "$log"
}

coverage() {
  local target=$1 empty=$campaign/replay-output/$1
  rm -rf -- "$empty"
  mkdir -p -- "$empty" "$campaign/logs"
  local log=$campaign/logs/$target-coverage.log
  nice -n 19 "$fuzz_bin/$target" "${fuzz_options[@]}" -runs=0 -print_final_stats=1 \
    "$empty" "$fuzz_src/corpus/$target" >"$log" 2>&1 || true
  coverage_line "$target" "committed corpus $(corpus_stats "$fuzz_src/corpus/$target")" "$log"
}

coverage_line() {
  local executions
  executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$3" | tail -n 1)
  printf '%s %s %s: %s after %s executions\n' "$(date -u +%FT%TZ)" "$1" "$2" \
    "$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$3" | tail -n 1)" "${executions:-?}" |
    tee -a "$campaign/coverage.log"
}

case ${1:-} in
  run) (($# == 3)) || usage; run_chunk "$2" "$3" ;;
  minimize) (($# == 2)) || usage; minimize "$2" ;;
  baseline) (($# == 3)) || usage; baseline "$2" "$3" ;;
  coverage) (($# == 2)) || usage; coverage "$2" ;;
  totals)
    awk '{n[$2] += $4; c[$2]++} END {for (t in n) printf "%-24s %10d executions in %d chunks\n", t, n[t], c[t]}' \
      "$campaign/campaign.log" ;;
  *) usage ;;
esac
