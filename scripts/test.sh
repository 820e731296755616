#!/usr/bin/env bash
# Sets up, builds (warnings as errors) and runs every test: first a normal
# build, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Each step says how long it took; on an idle two-core machine the whole takes
# about 12 minutes, the tests of both builds under 4 (docs/contributing.md).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh

jobs=$(nproc)

# timed LABEL CMD...: runs CMD and says how long it took.
timed() {
  local label=$1 start=$SECONDS
  shift
  "$@"
  echo "-- $label: $((SECONDS - start)) s"
}

echo "== Release build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKL_WARNINGS_AS_ERRORS=ON -DKL_BUILD_BENCH=ON >/dev/null
timed "release build" cmake --build build/release -j "$jobs"
timed "release tests" ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== Sanitizer build (ASan + UBSan) and tests"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKL_WARNINGS_AS_ERRORS=ON -DKL_SANITIZE=ON >/dev/null
timed "sanitizer build" cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  timed "sanitizer tests" ctest --test-dir build/sanitize -j "$jobs" --output-on-failure
