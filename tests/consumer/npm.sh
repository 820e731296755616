#!/usr/bin/env bash
# The npm package as a user gets it: 'npm pack' of the WebAssembly build's
# package folder, the tarball installed into a fresh project (no registry),
# then used from Node and from a page in headless Chromium (npm/consumer.mjs
# compares their verdicts with klpass's). Skipped (exit 77) with the reason
# when the build or its tools are missing.
# Usage: npm.sh PACKAGE_DIR KLPASS [MODULES_DIR CHROMIUM]
set -euo pipefail
package=$(realpath "$1")
klpass=$(realpath "$2")
modules=${3:+$(realpath "$3")}
chromium=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*" >&2; exit 77; }
command -v npm >/dev/null || skip "npm is not installed"
[ -f "$package/klpassword-core.wasm" ] || skip "no WebAssembly build in $package (scripts/build-web.sh)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tarball=$(cd "$package" && npm pack --silent --pack-destination "$work" | tail -n 1)
# The tarball holds what package.json lists, and nothing else.
listed=$(tar -tzf "$work/$tarball" | LC_ALL=C sort | tr '\n' ' ')
# A folder listed ("packs/") stands for every file in it.
wanted=$(node -e 'const p = require(process.argv[1]); const fs = require("fs"); const path = require("path");
  const files = p.files.flatMap((f) => f.endsWith("/") ?
    fs.readdirSync(path.join(path.dirname(process.argv[1]), f)).map((n) => f + n) : [f]);
  console.log([...files, "package.json"].map((f) => "package/" + f).sort().join(" ") + " ")' "$package/package.json")
[ "$listed" = "$wanted" ] || { echo "the tarball holds: $listed; package.json lists: $wanted" >&2; exit 1; }
mkdir "$work/app"
cp "$here/npm/index.html" "$work/app/"
printf '{ "name": "consumer", "version": "0.0.0", "private": true, "type": "module" }\n' >"$work/app/package.json"
(cd "$work/app" && npm install --offline --no-audit --no-fund --silent "$work/$tarball")
node "$here/npm/consumer.mjs" --app "$work/app" --klpass "$klpass"
if [ -n "$modules" ] && [ -f "$modules/playwright-core/package.json" ] && [ -x "$chromium" ]; then
  node "$here/npm/consumer.mjs" --app "$work/app" --klpass "$klpass" --page --modules "$modules" --chromium "$chromium"
else
  skip "no Chromium or playwright-core for the page (scripts/setup.sh)"
fi
