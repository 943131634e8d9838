#!/usr/bin/env bash
# Builds the libFuzzer targets of Tests/Fuzz (Clang, AddressSanitizer and UndefinedBehaviorSanitizer, the
# library instrumented as well) into build-fuzz/ and runs them.
#   scripts/fuzz.sh [SECONDS]   runs each target for SECONDS (default 60), one after another, and prints a
#                               table: target, executions, coverage, findings
#   scripts/fuzz.sh --replay    runs each target once over its seed corpus (the regression run of the tests)
# FUZZ_TARGETS chooses a subset, e.g. FUZZ_TARGETS="fuzz_zip fuzz_pack". Inputs found while fuzzing go to
# build-fuzz/corpus/<target>/, crash, leak and timeout files to build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=run
seconds=60
case ${1:-} in
  --replay) mode=replay ;;
  '') ;;
  *[!0-9]*|0) echo "usage: scripts/fuzz.sh [SECONDS] | --replay" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac

build=build-fuzz
mkdir -p "$build"
BUILD_DIR=$build BUILD_TARGET=kz_fuzz scripts/setup.sh -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKZ_FUZZ=ON >"$build/setup.log" 2>&1 || { cat "$build/setup.log" >&2; exit 1; }

targets=${FUZZ_TARGETS:-$(cd Tests/Fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')}
# The targets write their inputs to files, as the library reads them; a memory file system keeps that fast.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "$mode" = replay ]; then
  passed=0 failed=0
  for target in $targets; do
    log=$build/replay-$target.log
    mkdir -p "$build/findings/$target"
    if "$build/$target" -runs=0 -timeout=20 -artifact_prefix="$build/findings/$target/" "Tests/Fuzz/corpus/$target" >"$log" 2>&1; then
      passed=$((passed + 1))
      echo "fuzz replay: $target ok ($(ls "Tests/Fuzz/corpus/$target" | wc -l) inputs)"
    else
      failed=$((failed + 1))
      echo "fuzz replay: $target FAILED"
      tail -40 "$log"
    fi
  done
  echo "replay: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

rows=()
for target in $targets; do
  corpus=$build/corpus/$target findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$build/fuzz-$target.log
  echo "fuzzing $target for $seconds s" >&2
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "Tests/Fuzz/corpus/$target" >"$log" 2>&1 || true
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | sed 's/cov: //')
  found=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  rows+=("$target	${executions:-?}	${coverage:-?}	$found")
done
printf 'target\texecutions\tcoverage\tfindings\n'
printf '%s\n' "${rows[@]}"
