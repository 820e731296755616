#!/usr/bin/env bash
# The documentation's build and checks: the C interface's reference made by
# Doxygen from capi/klpassword.h (docs/Doxyfile) with warnings as errors, so an
# exported name without its comment, or a comment Doxygen cannot read, fails;
# then every relative link and anchor between the Markdown pages
# (scripts/check-links.py). The reference goes to build/docs/c-api/html
# (open index.html); DOCS_OUT names another folder.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${DOCS_OUT:-build/docs/c-api}
command -v doxygen >/dev/null || { echo "docs: doxygen is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
# Doxygen reads the configuration from standard input with the output folder
# added; WARN_AS_ERROR=YES in docs/Doxyfile stops it at the first warning.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cat docs/Doxyfile; echo "OUTPUT_DIRECTORY = $out"; } | doxygen - >"$log" 2>&1; then
  cat "$log" >&2
  echo "docs: Doxygen failed on capi/klpassword.h (every exported name needs its comment)" >&2
  exit 1
fi
if [ -s "$log" ]; then
  cat "$log" >&2
  echo "docs: Doxygen warned" >&2
  exit 1
fi
echo "docs: the C interface's reference is in $out/html/index.html"
/usr/bin/python3 scripts/check-links.py .
