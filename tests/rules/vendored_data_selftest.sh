#!/usr/bin/env bash
# The comparison of the vendored data with the packages (vendored_data.js) on a
# copy of third_party/ with one difference planted at a time: each must fail
# the comparison and be named by file; the untouched copy must pass. Exits 77
# when the packages are not installed (the test then reports itself skipped).
#   vendored_data_selftest.sh NODE SOURCE_DIR ZXCVBN_MODULE_DIR ZXCVBN_TS_NODE_MODULES
set -euo pipefail
node=$1 source=$2 zxcvbn=$3 ts=$4
script=$source/tests/rules/vendored_data.js
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/third_party"
cp -r "$source/third_party/zxcvbn" "$source/third_party/zxcvbn-ts" "$copy/third_party/"
rc=0
"$node" "$script" "$copy" "$zxcvbn" "$ts" >"$copy/out.txt" || rc=$?
if [ "$rc" -eq 77 ]; then cat "$copy/out.txt"; exit 77; fi
[ "$rc" -eq 0 ] || { echo "the untouched copy differs:"; cat "$copy/out.txt"; exit 1; }

failures=0
# plant NAME FILE COMMAND...: runs COMMAND on the copy's FILE, expects the
# comparison to fail naming FILE, then puts FILE back.
plant() {
  local name=$1 file=$2
  shift 2
  local target=$copy/third_party/$file
  cp "$target" "$copy/saved" 2>/dev/null || : >"$copy/saved"
  "$@" "$target"
  rc=0
  "$node" "$script" "$copy" "$zxcvbn" "$ts" >"$copy/out.txt" || rc=$?
  if [ "$rc" -ne 1 ] || ! grep -qF "$file" "$copy/out.txt"; then
    echo "not noticed ($name): exit $rc"
    sed -n 1,5p "$copy/out.txt"
    failures=$((failures + 1))
  fi
  if [ -s "$copy/saved" ]; then cp "$copy/saved" "$target"; else rm -f "$target"; fi
}
drop_line() { sed -i '20001d' "$1"; }
swap_lines() { sed -i '50000{h;d};50001{G}' "$1"; }
change_neighbour() { sed -i '10s/\t[^\t]*$/\tZ/' "$1"; }
stray_file() { printf 'word\n' >"$1"; }
change_text() { sed -i '0,/"straightRow": "/s//"straightRow": "x/' "$1"; }
change_graph() { sed -i '0,/"7"/s//"9"/' "$1"; }
change_licence() { printf '\n' >>"$1"; }
plant "a word dropped" zxcvbn/frequency_lists/english_wikipedia.txt drop_line
plant "two words swapped" zxcvbn-ts/de/wikipedia-de.txt swap_lines
plant "a keyboard neighbour changed" zxcvbn-ts/common/graphs/qwerty.txt change_neighbour
plant "a list the pack does not have" zxcvbn-ts/en/extra.txt stray_file
plant "a translated text changed" zxcvbn-ts/fr/translations.json change_text
plant "a key of zxcvbn's graphs changed" zxcvbn/adjacency_graphs.json change_graph
plant "a licence changed" zxcvbn-ts/pl/LICENSE.txt change_licence
[ "$failures" -eq 0 ] || exit 1
echo "every planted difference was noticed"
