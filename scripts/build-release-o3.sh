#!/usr/bin/env bash
# Builds the library and klpass as a Release build (g++, -O3) with warnings as
# errors, without running anything: the optimiser's deeper inlining at -O3
# brings warnings (-Wrestrict, -Wstringop-overflow) that the -O2 build of
# scripts/test.sh never sees. The test programs are left out: at -O3, GCC 12
# reports its known false -Wrestrict and -Wstringop-overread warnings in the
# standard library's string code inlined into them. The tests themselves run
# in the RelWithDebInfo and sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh

jobs=${JOBS:-$(nproc)}
build=build/release-o3
start=$SECONDS

echo "== Release (-O3) build of the library and klpass, warnings as errors (not run)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKL_WARNINGS_AS_ERRORS=ON -DKL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target klpassword klpass
echo "-- release -O3 build: $((SECONDS - start)) s"
