#!/usr/bin/env bash
# The WebAssembly edition in a real browser: builds it (scripts/build-web.sh,
# incremental) and runs browser_test.mjs in headless Chromium against the
# klpass given as $1, then packs_test.mjs on the built package under Node. Skipped (exit 77) with the reason when emscripten,
# Chromium or the node packages (scripts/setup.sh installs them) are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
klpass=$(realpath "$1")
modules=${KL_WEB_NODE_DIR:-$root/build/web-node}/node_modules
chromium=${KL_CHROMIUM:-/usr/bin/chromium}

skip() { echo "SKIPPED: $*" >&2; exit 77; }
command -v emcmake >/dev/null || skip "emscripten is not installed (apt-get install emscripten)"
[ -x "$chromium" ] || skip "Chromium is not installed (apt-get install chromium)"
command -v node >/dev/null || skip "node is not installed"
[ -f "$modules/playwright-core/package.json" ] || skip "playwright-core is not in $modules (scripts/setup.sh)"

# Incremental after web.build: seconds.
bash "$root/tests/web/build.sh" >/dev/null
node "$root/tests/web/browser_test.mjs" --site "$root/build/web/site" --klpass "$klpass" \
  --modules "$modules" --chromium "$chromium" --shots "$root/build/web/screenshots"
node "$root/tests/web/packs_test.mjs" --package "$root/build/web/package"
