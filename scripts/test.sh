#!/usr/bin/env bash
# Sets up and builds, then runs the test suite in three builds and the fuzz replay in a fourth, each in its
# own folder so that a second run only rebuilds what changed:
#   build/       plain GCC build, the whole suite
#   build-asan/  Clang with AddressSanitizer (leak checking on) and UndefinedBehaviorSanitizer, the whole suite
#                but the kill harness (label "kill": launcher processes killed and rerun, two minutes; the
#                repair it needs is unit-tested in every build)
#   build-tsan/  Clang with ThreadSanitizer, the multi-threaded tests (KZ_THREADED_TESTS below)
#   build-fuzz/  Clang with libFuzzer, ASan and UBSan: every fuzz target once over its seed corpus
# KZ_TEST_CONFIGS chooses a subset, e.g. KZ_TEST_CONFIGS="plain asan".
set -euo pipefail
cd "$(dirname "$0")/.."

# Suites that run worker threads: the patch interface and installer, kzlaunch (a process over the
# library), kzpublish's trees installed through the interface, threads, the event log, HTTP, and
# the tests that load catalogues and serializer images on several threads at once.
KZ_THREADED_TESTS='^(KZPatch|KZLaunch|KZPublish|KZWebInstaller|KZLockedQueue|KZThread|KZLog|KZInternet|KZHttpRequest|KZKey|KZConcurrent)'
configs=${KZ_TEST_CONFIGS:-plain asan tsan fuzz}
jobs=$(nproc)
clang=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

for config in $configs; do
  echo "=== test configuration: $config"
  case $config in
    plain)
      scripts/setup.sh "$@"
      ctest --test-dir build --output-on-failure -j "$jobs" ;;
    asan)
      BUILD_DIR=build-asan BUILD_TARGET=kzpatch_tests scripts/setup.sh "${clang[@]}" -DKZ_SANITIZE=address,undefined "$@"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE kill ;;
    tsan)
      BUILD_DIR=build-tsan BUILD_TARGET=kzpatch_tests scripts/setup.sh "${clang[@]}" -DKZ_SANITIZE=thread "$@"
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R "$KZ_THREADED_TESTS" ;;
    fuzz)
      scripts/fuzz.sh --replay ;;
    *) echo "unknown test configuration: $config" >&2; exit 2 ;;
  esac
done
