#!/usr/bin/env bash
# Regenerates the data files of this folder from the zxcvbn npm package.
# Usage: extract.sh [PACKAGE_DIR]  (default: fetches zxcvbn@4.4.2 with npm pack)
# Only the package's two data modules are loaded; each list is written one word
# a line in the package's rank order, the keyboard graphs as JSON.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pkg=${1:-}
if [ -z "$pkg" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent zxcvbn@4.4.2 >/dev/null && tar xzf zxcvbn-4.4.2.tgz)
  pkg=$tmp/package
fi
mkdir -p "$here/frequency_lists"
node - "$pkg" "$here" <<'JS'
const [pkg, out] = process.argv.slice(2);
const fs = require('fs');
const lists = require(pkg + '/lib/frequency_lists.js');
for (const name of Object.keys(lists).sort()) {
  fs.writeFileSync(`${out}/frequency_lists/${name}.txt`, lists[name].join('\n') + '\n');
}
const graphs = require(pkg + '/lib/adjacency_graphs.js');
fs.writeFileSync(`${out}/adjacency_graphs.json`, JSON.stringify(graphs, null, 1) + '\n');
JS
