#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) on its seed corpus in fuzz/corpus/<target>. A crash, leak or
# sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh
seconds=${FUZZ_SECONDS:-60}

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKL_BUILD_FUZZ=ON -DKL_BUILD_TESTS=OFF -DKL_BUILD_EXAMPLES=OFF -DKL_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)"

shopt -s nullglob
for bin in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$bin")
  name=${name#fuzz_}
  seeds=fuzz/corpus/$name
  work=build/fuzz/corpus-$name
  mkdir -p "$work"
  echo "== fuzz $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds" 2>&1 | tail -n 12
done
