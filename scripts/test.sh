#!/usr/bin/env bash
# Builds the library with its tests and runs them in six legs, every one with
# warnings as errors (VANTLE_WERROR=ON):
#
#   system    FFmpeg 5.1 from Debian 12 (libavcodec 59); first checks that the
#             includes under src/ run one way (scripts/check_includes.py) and
#             that the guides agree with the tree (scripts/check_docs.py),
#             also checks that the benchmark (`vantle-video bench`) answers,
#             and runs the Python package's tests (pytest) against the
#             library it built
#   release   FFmpeg 5.1, a plain Release build of everything (library, tests,
#             tool with its benchmark), as a user or packager builds it, with
#             clang 14 where the other legs use g++ (lock annotations
#             checked); then checks that no test-only symbol ships (nm)
#   ffmpeg9   FFmpeg 9.0 (libavcodec 63) inside a Debian unstable chroot made
#             by scripts/ffmpeg9-root.sh, with the Python package's tests
#             against its PyAV and command line
#   sanitize  FFmpeg 5.1 with AddressSanitizer and UndefinedBehaviorSanitizer,
#             built at -O1
#   tsan      FFmpeg 5.1, ThreadSanitizer: only the library, the
#             concurrency test program and the kept-memory fuzz target's
#             committed corpus (kept_memory_replay)
#   fuzz      the four libFuzzer targets against the guard-page host heap:
#             each runs every committed input once, then fuzzes from a
#             copy of them, 45 s in all per target (scripts/fuzz.sh runs
#             them longer)
#
# and, only when named, a seventh:
#
#   valgrind  FFmpeg 9.0 in the chroot, the C-interface test programs under
#             valgrind memcheck (about 20 minutes)
#
#   scripts/test.sh                    all legs
#   scripts/test.sh system sanitize    only the legs named
#
# Every leg must pass; the exit status is non-zero if any failed. Each leg has
# its own build folder (build-ci-<leg>; for ffmpeg9 inside the root), reused by
# later runs on a developer's machine and made afresh when CI=true or
# VANTLE_CLEAN_BUILD=1.
#
# Environment: VANTLE_JOBS (default 2) build and ctest parallelism;
# VANTLE_FFMPEG9_ROOT the chroot (default /var/cache/vantle-video-runtime/ffmpeg9-root).
# The leg functions are called as "leg_$leg".
# shellcheck disable=SC2317
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VANTLE_JOBS:-2}
clean_build=${VANTLE_CLEAN_BUILD:-0}
if [[ ${CI:-} == true ]]; then
  clean_build=1
fi
# as_root, root_dir, enter_ffmpeg9_root: shared with the benchmark script.
source "$repo/scripts/ffmpeg9-enter.sh"
all_legs=(system release ffmpeg9 sanitize tsan fuzz)
# Legs run only when named.
extra_legs=(valgrind)

# Counts of one leg's tests, written by run_ctest for the summary.
results_dir=$(mktemp -d)
trap 'rm -rf "$results_dir"' EXIT

usage() {
  local IFS='|'
  echo "usage: scripts/test.sh [${all_legs[*]}|${extra_legs[*]}]..." >&2
  exit 2
}

legs=("$@")
if ((${#legs[@]} == 0)); then
  legs=("${all_legs[@]}")
fi
for leg in "${legs[@]}"; do
  [[ " ${all_legs[*]} ${extra_legs[*]} " == *" $leg "* ]] || usage
done

# A small C program run before the tests of each leg: it reports the FFmpeg
# the leg really loads and fails when the encoders the tests make their media
# with, or the Vulkan device (lavapipe) behind the hardware-frame tests, are
# missing, so such a gap fails loudly instead of turning into skipped tests.
write_ffmpeg_probe() {
  cat >"$1" <<'EOF'
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>

static char vulkan_device[256] = "(name not reported)";

/* FFmpeg names the Vulkan device it picked only in its verbose log. */
static void capture_vulkan_device(void *context, int level, const char *format, va_list args) {
  static const char tag[] = "Using device: ";
  char line[512];
  (void)context;
  (void)level;
  vsnprintf(line, sizeof line, format, args);
  if (strncmp(line, tag, sizeof tag - 1) == 0) {
    snprintf(vulkan_device, sizeof vulkan_device, "%s", line + sizeof tag - 1);
    vulkan_device[strcspn(vulkan_device, "\n")] = '\0';
  }
}

static void print_version(const char *name, unsigned version) {
  printf(" %s %u.%u.%u", name, AV_VERSION_MAJOR(version), AV_VERSION_MINOR(version),
         AV_VERSION_MICRO(version));
}

int main(void) {
  int failed = 0;
  printf("loaded:");
  print_version("libavcodec", avcodec_version());
  print_version("libavutil", avutil_version());
  print_version("libswscale", swscale_version());
  printf("\n");

  const char *required[] = {"libx264", "libx265"};
  const char *av1[] = {"libsvtav1", "libaom-av1"};
  int have_av1 = 0;
  printf("encoders:");
  for (size_t i = 0; i < sizeof required / sizeof required[0]; ++i) {
    int found = avcodec_find_encoder_by_name(required[i]) != NULL;
    printf(" %s%s", required[i], found ? "" : " (MISSING)");
    failed |= !found;
  }
  for (size_t i = 0; i < sizeof av1 / sizeof av1[0]; ++i) {
    int found = avcodec_find_encoder_by_name(av1[i]) != NULL;
    printf(" %s%s", av1[i], found ? "" : " (missing)");
    have_av1 |= found;
  }
  printf("\n");
  if (!have_av1) {
    printf("no AV1 encoder (libsvtav1 or libaom-av1)\n");
    failed = 1;
  }

  AVBufferRef *device = NULL;
  av_log_set_level(AV_LOG_VERBOSE);
  av_log_set_callback(capture_vulkan_device);
  int rc = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VULKAN, NULL, NULL, 0);
  av_log_set_callback(av_log_default_callback);
  av_log_set_level(AV_LOG_INFO);
  if (rc < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(rc, text, sizeof text);
    printf("Vulkan: no device: %s (is mesa-vulkan-drivers installed?)\n", text);
    failed = 1;
  } else {
    printf("Vulkan: %s\n", vulkan_device);
    av_buffer_unref(&device);
  }
  return failed;
}
EOF
}

probe_command() {
  local dir
  dir=$(printf '%q' "$1")
  echo "gcc -O1 -o $dir/ffmpeg_probe $dir/ffmpeg_probe.c \$(pkg-config --cflags --libs libavcodec libavutil libswscale) && $dir/ffmpeg_probe"
}

# Runs ctest in $1 (a shell command prefix may come in $2, for the chroot),
# keeps its output and records how many tests passed, failed and were skipped.
run_ctest() {
  local leg=$1 build_dir=$2 log=$3
  shift 3
  local rc=0
  "$@" ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j "$jobs" 2>&1 |
    tee "$log" || rc=$?
  local total failed skipped
  total=$(sed -nE 's/.*tests passed, [0-9]+ tests? failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
  failed=$(sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of [0-9]+.*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -cE '\((Skipped|Disabled)\)$' "$log" || true)
  if [[ -n $total ]]; then
    echo "$((total - failed - skipped)) $failed $skipped" >"$results_dir/$leg"
  fi
  return "$rc"
}

print_pkg_config_versions() {
  local versions avcodec avutil swscale
  versions=$("$@" pkg-config --modversion libavcodec libavutil libswscale)
  { read -r avcodec; read -r avutil; read -r swscale; } <<<"$versions"
  echo "FFmpeg (pkg-config): libavcodec $avcodec, libavutil $avutil, libswscale $swscale"
}

prepare_build_dir() {
  if [[ $clean_build == 1 ]]; then
    rm -rf -- "$1"
  fi
  mkdir -p -- "$1"
}

# The Python package's tests as a user runs them: the one install command
# (which builds the library with CMake and puts it inside the package) into a
# fresh venv that sees Debian's packages, no variable set, then pytest on
# python/tests against the installed package, from outside the source tree.
# pytest's own lines are prefixed, so that its summary is not read as the
# leg's; its counts are added to the leg's.
run_python_tests() {
  local leg=$1 build_dir=$2
  local venv=$build_dir/python-venv report=$build_dir/pytest.xml rc=0
  rm -rf -- "$venv" "$report"
  echo "python tests: pip install ./python into $venv, pytest on python/tests"
  /usr/bin/python3 -m venv --system-site-packages "$venv"
  (cd "$build_dir" && env -u VANTLE_VIDEO_RUNTIME_LIBRARY CMAKE_BUILD_PARALLEL_LEVEL="$jobs" \
    "$venv/bin/pip" install -q --no-index --no-build-isolation "$repo/python") 2>&1 |
    sed -u 's/^/pip| /' || rc=$?
  if ((rc == 0)); then
    (cd "$build_dir" && env -u VANTLE_VIDEO_RUNTIME_LIBRARY PYTHONDONTWRITEBYTECODE=1 \
      "$venv/bin/python" -P -m pytest -p no:cacheprovider -q -rfE --junitxml="$report" \
      -c "$repo/python/pytest.ini" --rootdir "$repo/python" "$repo/python/tests") 2>&1 |
      sed -u 's/^/pytest| /' || rc=$?
  fi
  add_python_counts "$leg" "$report" "$rc"
}

# The package's tests in the FFmpeg 9.0 root (its PyAV and command line),
# against the library the leg built there, from the source tree's package.
run_python_tests_in_root() {
  local leg=$1 report=$build_dir/pytest.xml rc=0
  local library=$build_dir/engine/plugins/modality/vantle-video-runtime/libvantle_video_runtime.so.1
  as_root rm -f -- "$root_dir$report"
  echo "python tests: pytest on python/tests inside the root, against $library"
  "${in_root[@]}" env VANTLE_VIDEO_RUNTIME_LIBRARY="$library" PYTHONPATH="$source_dir/python" \
    PYTHONDONTWRITEBYTECODE=1 bash -c "cd '$build_dir' && python3 -m pytest -p no:cacheprovider \
      -q -rfE --junitxml='$report' -c '$source_dir/python/pytest.ini' \
      --rootdir '$source_dir/python' '$source_dir/python/tests'" 2>&1 |
    sed -u 's/^/pytest| /' || rc=$?
  add_python_counts "$leg" "$root_dir$report" "$rc"
}

# Adds a pytest junit report's counts to the leg's and returns the run's
# status.
add_python_counts() {
  local leg=$1 report=$2 rc=$3
  local counts
  # The junit report's totals: tests, failures + errors, skipped.
  counts=$(/usr/bin/python3 -c '
import sys, xml.etree.ElementTree as tree
suite = tree.parse(sys.argv[1]).getroot()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
total, bad, skipped = (int(suite.get(k, 0)) for k in ("tests", "failures", "skipped"))
bad += int(suite.get("errors", 0))
print(total - bad - skipped, bad, skipped)' "$report" 2>/dev/null) || counts="0 1 0"
  local passed failed skipped p f s
  read -r passed failed skipped <<<"$counts"
  if [[ -f $results_dir/$leg ]]; then
    read -r p f s <"$results_dir/$leg"
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  fi
  if ((rc != 0 && failed == 0)); then failed=1; fi
  echo "$passed $failed $skipped" >"$results_dir/$leg"
  echo "python tests: $counts (passed failed skipped)"
  return "$rc"
}

# Configures and builds everything in $2 with the CMake arguments after it and
# runs ctest; then checks that the tool's benchmark command was built.
build_everything_and_test() {
  local leg=$1 build_dir=$2
  shift 2
  print_pkg_config_versions
  prepare_build_dir "$build_dir"
  write_ffmpeg_probe "$build_dir/ffmpeg_probe.c"
  bash -c "$(probe_command "$build_dir")"
  cmake -S "$repo" -B "$build_dir" -DVANTLE_WERROR=ON -DVANTLE_BUILD_TESTS=ON "$@"
  cmake --build "$build_dir" -j "$jobs"
  local ctest_rc=0 python_rc=0
  run_ctest "$leg" "$build_dir" "$build_dir/ctest.log" || ctest_rc=$?
  # The Python package needs only one build of the library to run against.
  if [[ $leg == system ]]; then
    run_python_tests "$leg" "$build_dir" || python_rc=$?
  fi
  if ((ctest_rc != 0 || python_rc != 0)); then
    return 1
  fi
  # The benchmark is the tool's bench command: compiled here, never run.
  local tool
  tool=$(find "$build_dir" -type f -name vantle-video -perm -u+x -print -quit)
  if [[ -z $tool ]] || ! "$tool" bench --help >/dev/null; then
    echo "benchmark program (vantle-video bench): not built"
    return 1
  fi
  echo "benchmark program (vantle-video bench): compiled"
}

leg_system() {
  # Cheap, so first: an include that runs against the subsystem order, or a
  # guide that names what is gone, fails the leg before anything is built.
  python3 "$repo/scripts/check_includes.py"
  python3 "$repo/scripts/check_docs.py"
  build_everything_and_test system "$repo/build-ci-system"
}

# The build a user makes: CMake's Release flags (-O3), where g++ warns about
# things -O2 does not show. Every test runs, the slow ones included. clang
# also checks the lock annotations (-Wthread-safety). Then the shipped
# library must hold nothing that only tests read: those hooks and counters
# live in the test library.
leg_release() {
  local build_dir=$repo/build-ci-release
  CC=clang CXX=clang++ build_everything_and_test release "$build_dir" -DCMAKE_BUILD_TYPE=Release
  local library found
  library=$(find "$build_dir" -type f -name 'libvantle_video_runtime.so.*' -print -quit)
  [[ -n $library ]] || { echo "shipped library: not found in $build_dir"; return 1; }
  found=$(nm -C --defined-only "$library" | grep -E \
    'live_count|live_decoders|decoders_opened_on_thread|kept_buffer_bytes|LIVE_DECODERS|DECODERS_OPENED|FfmpegRgbConverter|_for_testing' ||
    true)
  if [[ -n $found ]]; then
    echo "shipped library: test-only symbols in $library:"
    echo "$found"
    return 1
  fi
  echo "shipped library: no test-only symbol in $library"
}

leg_sanitize() {
  local build_dir=$repo/build-ci-sanitize
  print_pkg_config_versions
  prepare_build_dir "$build_dir"
  write_ffmpeg_probe "$build_dir/ffmpeg_probe.c"
  bash -c "$(probe_command "$build_dir")"
  # Set for the build too: test discovery runs the instrumented programs.
  export ASAN_OPTIONS=detect_leaks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # -O1, the level the sanitizers are meant for, compiles the tests in about
  # half the time -O2 takes; the other legs build at the default -O2.
  cmake -S "$repo" -B "$build_dir" -DVANTLE_WERROR=ON -DVANTLE_BUILD_TESTS=ON \
    -DVANTLE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG"
  cmake --build "$build_dir" -j "$jobs"
  run_ctest sanitize "$build_dir" "$build_dir/ctest.log"
}

# ThreadSanitizer over the concurrency test and the kept-memory fuzz corpus
# only, to keep the leg short. FFmpeg is not instrumented: reports whose racing
# accesses lie only in uninstrumented libraries are dropped
# (ignore_noninstrumented_modules); our code is never suppressed.
leg_tsan() {
  local build_dir=$repo/build-ci-tsan
  local test_dir=$build_dir/engine/plugins/modality/vantle-video-runtime/tests
  print_pkg_config_versions
  prepare_build_dir "$build_dir"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1"
  cmake -S "$repo" -B "$build_dir" -DVANTLE_WERROR=ON -DVANTLE_BUILD_TESTS=ON \
    -DVANTLE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG"
  cmake --build "$build_dir" -j "$jobs" --target concurrency_test kept_memory_replay
  local log=$build_dir/concurrency.log rc=0
  "$test_dir/concurrency_test" 2>&1 | tee "$log" || rc=$?
  local passed failed
  passed=$(grep -c '^\[       OK \]' "$log" || true)
  failed=$(grep -c '^\[  FAILED  \].*\.' "$log" || true)
  if ((rc != 0 && failed == 0)); then failed=1; fi
  # The kept-memory fuzz target's corpus: its second thread releases kept
  # memory and moves the bound while requests run. Counted as one test.
  local corpus=$repo/engine/plugins/modality/vantle-video-runtime/tests/fuzz/corpus/kept_memory_fuzzer
  local replay_rc=0
  echo "kept_memory_replay over $corpus"
  "$test_dir/fuzz/kept_memory_replay" "$corpus" 2>&1 | tail -n 40 || replay_rc=$?
  if ((replay_rc == 0)); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) rc=$replay_rc
  fi
  echo "$passed $failed 0" >"$results_dir/tsan"
  return "$rc"
}

leg_fuzz() {
  local build_dir=$repo/build-ci-fuzz
  prepare_build_dir "$build_dir"
  local rc=0
  VANTLE_FUZZ_BUILD=$build_dir VANTLE_FUZZ_HOST_GUARD=after VANTLE_JOBS=$jobs VANTLE_WERROR=ON \
    bash "$repo/scripts/fuzz.sh" 45 2>&1 | tee "$build_dir/fuzz-summary.log" || rc=$?
  local passed failed
  passed=$(grep -cE 'executions .* crashes 0 \(' "$build_dir/fuzz-summary.log" || true)
  failed=$(grep -cE 'executions .* crashes [1-9][0-9]* \(' "$build_dir/fuzz-summary.log" || true)
  echo "$passed $failed 0" >"$results_dir/fuzz"
  return "$rc"
}

leg_ffmpeg9() {
  enter_ffmpeg9_root build-ci-ffmpeg9
  print_pkg_config_versions "${in_root[@]}"
  write_ffmpeg_probe /dev/stdout | as_root tee "$root_dir$build_dir/ffmpeg_probe.c" >/dev/null
  "${in_root[@]}" bash -c "$(probe_command "$build_dir")"
  "${in_root[@]}" cmake -S "$source_dir" -B "$build_dir" -DVANTLE_WERROR=ON -DVANTLE_BUILD_TESTS=ON
  "${in_root[@]}" cmake --build "$build_dir" -j "$jobs"
  local ctest_rc=0 python_rc=0
  run_ctest ffmpeg9 "$build_dir" "$results_dir/ffmpeg9.log" "${in_root[@]}" || ctest_rc=$?
  run_python_tests_in_root ffmpeg9 || python_rc=$?
  ((ctest_rc == 0 && python_rc == 0))
}

# Memcheck (valgrind 3.27 in an FFmpeg 9.0 root with valgrind; Debian 12's
# 3.19 cannot run libavcodec 59) over the test programs that drive the C interface. A program
# fails on any memcheck error or on bytes definitely or indirectly lost;
# leaks inside the encoders that make test media are suppressed
# (tests/sanitizer/valgrind.supp). Run only when named (it takes minutes).
valgrind_programs=(bad_input_matrix_test library_unload_test concurrency_test error_channel_test
  abi_release_test decoder_pool_test packet_decoder_test decode_export_test indexed_decode_test
  transcode_export_test)
leg_valgrind() {
  # A root of its own, the FFmpeg 9.0 one plus valgrind, beside the shared
  # one, so that neither is rebuilt for the other.
  root_dir=$root_dir-valgrind
  export VANTLE_FFMPEG9_EXTRA_PACKAGES=valgrind
  enter_ffmpeg9_root build-valgrind
  print_pkg_config_versions "${in_root[@]}"
  "${in_root[@]}" valgrind --version
  "${in_root[@]}" cmake -S "$source_dir" -B "$build_dir" -DVANTLE_WERROR=ON -DVANTLE_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  "${in_root[@]}" cmake --build "$build_dir" -j "$jobs" --target "${valgrind_programs[@]}"
  local tests=$build_dir/engine/plugins/modality/vantle-video-runtime/tests
  local passed=0 failed=0 program log
  for program in "${valgrind_programs[@]}"; do
    log=$results_dir/valgrind-$program.log
    # Vulkan (lavapipe) under memcheck is slow and reports inside mesa: the
    # hardware-frame tests are left out.
    if "${in_root[@]}" valgrind --tool=memcheck --leak-check=full \
      --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --error-exitcode=99 --num-callers=40 --fair-sched=yes \
      --suppressions="$source_dir/engine/plugins/modality/vantle-video-runtime/tests/sanitizer/valgrind.supp" \
      "$tests/$program" '--gtest_filter=-*Hardware*:*Vulkan*' >"$log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      grep -A 30 -E '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|Mismatched|[0-9,]+ bytes in)' "$log" |
        head -n 80 || true
    fi
    printf '%-26s %s | %s | %s\n' "$program" \
      "$(grep -oE 'definitely lost: [0-9,]+ bytes' "$log" | tail -n 1 || echo 'definitely lost: 0 bytes')" \
      "$(grep -oE 'indirectly lost: [0-9,]+ bytes' "$log" | tail -n 1 || echo 'indirectly lost: 0 bytes')" \
      "$(grep -oE 'ERROR SUMMARY: [0-9]+ errors' "$log" | tail -n 1)"
  done
  echo "$passed $failed 0" >"$results_dir/valgrind"
  ((failed == 0))
}

describe_leg() {
  case $1 in
    system) echo "FFmpeg 5.1 (Debian 12), build-ci-system" ;;
    release) echo "FFmpeg 5.1 (Debian 12), clang 14, CMAKE_BUILD_TYPE=Release, build-ci-release" ;;
    ffmpeg9) echo "FFmpeg 9.0 (Debian unstable chroot $root_dir)" ;;
    sanitize) echo "FFmpeg 5.1 with AddressSanitizer + UndefinedBehaviorSanitizer, build-ci-sanitize" ;;
    tsan) echo "FFmpeg 5.1 with ThreadSanitizer, concurrency test and the kept-memory fuzz corpus, build-ci-tsan" ;;
    valgrind) echo "FFmpeg 9.0 in the chroot, test programs under valgrind memcheck" ;;
    fuzz) echo "libFuzzer targets (ASan + UBSan, guard pages after host buffers), build-ci-fuzz" ;;
  esac
}

counts_text() {
  if [[ -f $results_dir/$1 ]]; then
    local passed failed skipped
    read -r passed failed skipped <"$results_dir/$1"
    echo "$passed passed, $failed failed, $skipped skipped"
  else
    echo "no test ran"
  fi
}

# CPU seconds used so far by finished child processes, into children_cpu:
# with the wall time, tells a slow leg from a busy machine. `times` runs in
# this shell itself, since a subshell starts with no child times.
children_cpu_seconds() {
  times >"$results_dir/times"
  children_cpu=$(awk 'END {
    total = 0
    for (i = 1; i <= NF; i++) { split($i, part, /[ms]/); total += part[1] * 60 + part[2] }
    printf "%d", total
  }' "$results_dir/times")
}

declare -A leg_status leg_seconds leg_cpu
for leg in "${legs[@]}"; do
  echo
  echo "==== $leg: $(describe_leg "$leg")"
  start=$SECONDS
  children_cpu_seconds
  cpu_start=$children_cpu
  set +e
  (
    set -euo pipefail
    "leg_$leg"
  )
  rc=$?
  set -e
  leg_seconds[$leg]=$((SECONDS - start))
  children_cpu_seconds
  leg_cpu[$leg]=$((children_cpu - cpu_start))
  if ((rc == 0)); then leg_status[$leg]=PASS; else leg_status[$leg]=FAIL; fi
  echo "==== $leg: ${leg_status[$leg]} in ${leg_seconds[$leg]} s, CPU ${leg_cpu[$leg]} s ($(counts_text "$leg"))"
done

echo
echo "==== summary"
total_passed=0 total_failed=0 total_skipped=0 any_failed=0
for leg in "${legs[@]}"; do
  printf '%-9s %s %5d s  CPU %5d s  %s\n' "$leg" "${leg_status[$leg]}" "${leg_seconds[$leg]}" \
    "${leg_cpu[$leg]}" "$(counts_text "$leg")"
  [[ ${leg_status[$leg]} == PASS ]] || any_failed=1
  if [[ -f $results_dir/$leg ]]; then
    read -r passed failed skipped <"$results_dir/$leg"
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
  fi
done
echo "total     $SECONDS s"
if ((any_failed)); then
  echo "RESULT: FAIL"
else
  echo "RESULT: PASS"
fi
echo "tests: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit "$any_failed"
