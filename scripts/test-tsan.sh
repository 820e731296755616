#!/usr/bin/env bash
# Builds the test programs whose tests use threads with clang and
# ThreadSanitizer, and runs those tests (only those: the stage stays short). A
# data race fails the run. klpass is built too (not run), so that the library
# and the host compile with clang, warnings as errors, as well as with g++.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh

jobs=${JOBS:-$(nproc)}
build=build/tsan

echo "== ThreadSanitizer build (clang) and the tests that use threads"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKL_WARNINGS_AS_ERRORS=ON -DKL_BUILD_EXAMPLES=ON -DKL_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j "$jobs" --target klpassword_random_tests klpassword_passwords_tests klpass

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
"$build"/tests/klpassword_random_tests \
  --gtest_filter='RandomBasedComponent.*:FastRandomGenerator.Concurrent*:FastRandomGenerator.ParentAndForked*'
"$build"/tests/klpassword_passwords_tests --gtest_filter='DataProtectionTest.Concurrent*'
