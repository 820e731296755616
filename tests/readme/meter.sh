#!/usr/bin/env bash
# Runs the guide's web page sample in headless Chromium (meter_test.mjs) over the
# WebAssembly build (scripts/build-web.sh, incremental). Skipped (exit 77) with
# the reason where emscripten, Chromium or the node packages of scripts/setup.sh
# are missing, as the browser test is.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
modules=${KL_WEB_NODE_DIR:-$root/build/web-node}/node_modules
chromium=${KL_CHROMIUM:-/usr/bin/chromium}
skip() { echo "SKIPPED: $*" >&2; exit 77; }
command -v emcmake >/dev/null || skip "emscripten is not installed (apt-get install emscripten)"
[ -x "$chromium" ] || skip "Chromium is not installed (apt-get install chromium)"
command -v node >/dev/null || skip "node is not installed"
[ -f "$modules/playwright-core/package.json" ] || skip "playwright-core is not in $modules (scripts/setup.sh)"
# Incremental after web.build: seconds.
bash "$root/tests/web/build.sh" >/dev/null
node "$root/tests/readme/meter_test.mjs" "$root/examples/tour/meter.html" "$root/build/web/package" "$modules" "$chromium"
