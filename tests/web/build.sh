#!/usr/bin/env bash
# Builds the WebAssembly edition (scripts/build-web.sh) before the tests that
# load it, as a test of its own: from a fresh clone it first builds PCRE2 and
# utf8proc from Debian's sources and the whole module, which on a busy two-core
# machine takes longer than a browser test may (the tests after it build
# incrementally, in seconds). Skipped (exit 77) where emscripten is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v emcmake >/dev/null || { echo "SKIPPED: emscripten is not installed (apt-get install emscripten)" >&2; exit 77; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! KL_WEB_JOBS=${KL_WEB_JOBS:-2} "$root/scripts/build-web.sh" >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "FAILED: the WebAssembly build (scripts/build-web.sh) failed" >&2
  exit 1
fi
grep -- '^-- ' "$log" || true
