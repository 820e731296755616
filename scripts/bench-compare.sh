#!/usr/bin/env bash
# Times the storage, the vault and the user databases of this tree against the
# previous release, side by side in one process (bench/compare/).
#
# The previous release is built from git (commit KL_BASELINE_COMMIT, 007fdad
# by default) as a static library whose symbols all live in namespace klbase
# (-Dkl=klbase), so that both libraries link into one benchmark binary. The
# arguments go to the benchmark binary, e.g. --benchmark_filter=Vault or
# --benchmark_repetitions=1 for a quick look.
#
#   scripts/bench-compare.sh                      # build both, run every case
#   KL_COMPARE_BUILD_ONLY=1 scripts/bench-compare.sh
#
# Needs git history (a clean clone with full history will do), CMake, Ninja,
# Google Benchmark and the library's own dependencies (scripts/setup.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
commit=${KL_BASELINE_COMMIT:-007fdad}
build=${KL_COMPARE_BUILD:-$root/build/compare}
jobs=${KL_COMPARE_JOBS:-2}
build_type=RelWithDebInfo

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# 1. The baseline's sources, extracted once per commit.
src=$build/baseline-src
full=$(git -C "$root" rev-parse --verify "$commit^{commit}")
if [[ ! -f $src/.kl-commit || $(cat "$src/.kl-commit") != "$full" ]]; then
  rm -rf "$src"
  mkdir -p "$src"
  git -C "$root" archive "$full" | tar -x -C "$src"
  echo "$full" >"$src/.kl-commit"
fi

# 2. The baseline library, every symbol of namespace kl renamed to klbase.
cmake -S "$src" -B "$build/baseline" -G Ninja -DCMAKE_BUILD_TYPE=$build_type "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="-Dkl=klbase" -DKL_BUILD_TESTS=OFF -DKL_BUILD_BENCH=OFF -DKL_BUILD_EXAMPLES=OFF \
  -DKL_BUILD_FUZZ=OFF -DKL_SANITIZE=OFF >/dev/null
cmake --build "$build/baseline" -j "$jobs" --target klpassword_internal
archive=$build/baseline/libklpassword_internal.a

# What the rename cannot reach: strong definitions outside the namespace (the
# package entry points are extern "C"). They get a klbase_ prefix in every
# member of the archive, definitions and references alike, so that they
# cannot clash with the current library's.
renamed=$build/libklbase.a
cp "$archive" "$renamed.tmp"
nm -g --defined-only "$archive" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDBR]$/ {print $3}' | sort -u |
  while read -r symbol; do
    case $(c++filt "$symbol") in klbase::* | "typeinfo for klbase::"* | "vtable for klbase::"* | \
      "typeinfo name for klbase::"* | "VTT for klbase::"* | "guard variable for klbase::"*) ;;
    *) echo "$symbol klbase_$symbol" ;;
    esac
  done >"$build/baseline-renames.txt"
if [[ -s $build/baseline-renames.txt ]]; then
  objcopy --redefine-syms="$build/baseline-renames.txt" "$renamed.tmp"
fi
mv "$renamed.tmp" "$renamed"

# 3. The comparison benchmark, with the current library built from this tree.
cmake -S "$root/bench/compare" -B "$build/bench" -G Ninja -DCMAKE_BUILD_TYPE=$build_type "${launcher[@]}" \
  -DKL_CURRENT_SOURCE="$root" -DKL_BASELINE_SOURCE="$src" -DKL_BASELINE_LIBRARY="$renamed" >/dev/null
cmake --build "$build/bench" -j "$jobs" --target bench_compare

if [[ -n ${KL_COMPARE_BUILD_ONLY:-} ]]; then exit 0; fi
echo "baseline: $full; current: $(git -C "$root" rev-parse HEAD)$(git -C "$root" diff --quiet HEAD || echo ' (modified)')"
# Medians of five repetitions by default; later arguments override these.
exec "$build/bench/bench_compare" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
