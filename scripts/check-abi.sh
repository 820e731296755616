#!/usr/bin/env bash
# Compares the C interface of a built libklpassword with the recorded baseline
# (capi/abi/klpassword.abi) and fails on any incompatible change: a function
# removed, or one whose parameters or return type changed. Additions pass.
#
#   scripts/check-abi.sh [LIBRARY]     LIBRARY: a built libklpassword.so (else
#                                       build/abi is configured and built)
#   scripts/check-abi.sh --update [LIBRARY]   rewrites the baseline
#
# An incompatible change is deliberate only with a new KLP_ABI_VERSION in
# capi/klpassword.h and the baseline rewritten in the same commit. Needs
# abidw and abidiff (Debian's abigail-tools) and a library with debug info.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh

update=0
if [ "${1:-}" = "--update" ]; then update=1; shift; fi
library="${1:-}"
if [ -z "$library" ]; then
  cmake -S . -B build/abi -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKL_BUILD_TESTS=OFF -DKL_BUILD_EXAMPLES=OFF \
        -DKL_BUILD_BENCH=OFF >/dev/null
  cmake --build build/abi --target klpassword -j "$(nproc)" >/dev/null
  library=build/abi/libklpassword.so
fi
for tool in abidw abidiff; do
  command -v "$tool" >/dev/null || { echo "check-abi: $tool is missing (apt-get install abigail-tools)" >&2; exit 2; }
done

baseline=capi/abi/klpassword.abi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The functions the header declares, and nothing else of the library.
{
  echo "[abi_whitelist]"
  grep -o 'KLP_CALL klp_[a-z0-9_]*' capi/klpassword.h | sed 's/^KLP_CALL /  /'
} >"$work/symbols"
abidw --headers-dir "$PWD/capi" --header-file "$PWD/capi/klpassword.h" --drop-private-types \
      --kmi-whitelist "$work/symbols" --suppressions capi/abi/klpassword.suppr --exported-interfaces-only \
      --drop-undefined-syms --no-corpus-path --no-comp-dir-path --no-elf-needed --no-show-locs \
      --out-file "$work/current.abi" "$library"

declared=$(grep -c '^  klp_' "$work/symbols")
recorded=$(grep -c "<function-decl name='klp_" "$work/current.abi" || true)
if [ "$declared" != "$recorded" ]; then
  echo "check-abi: the header declares $declared functions but $library exports $recorded of them" >&2
  exit 1
fi

if [ $update = 1 ]; then
  cp "$work/current.abi" "$baseline"
  echo "check-abi: baseline rewritten ($recorded functions); bump KLP_ABI_VERSION if anything was incompatible"
  exit 0
fi

# abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 a removal.
# Added functions are filtered out (status 0); any other change fails: abidiff
# counts a parameter whose type changed as a change only, but a caller built
# against the old header would break.
status=0
abidiff --no-added-syms "$baseline" "$work/current.abi" >"$work/report" || status=$?
if [ $status != 0 ]; then
  cat "$work/report" >&2
  echo "check-abi: the C interface changed incompatibly (abidiff status $status)" >&2
  exit 1
fi
echo "check-abi: the C interface matches the baseline ($recorded functions; additions allowed)"
