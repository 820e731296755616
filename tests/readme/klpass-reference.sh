#!/usr/bin/env bash
# docs/reference/klpass.md has a usage line for every command klpass knows and
# every action of its vault and users commands, as klpass's own help lists
# them ("klpass vault show FILE RECORD ...", "klpass users add|change|... ").
# Usage: klpass-reference.sh KLPASS ROOT
set -euo pipefail
klpass=$1
page=$2/docs/reference/klpass.md
# "command action" pairs of usage lines: from the help, each line of a
# command's usage ("  vault show FILE ..."); from the page, "klpass vault show ...".
pairs() { awk '{ n = split($2, a, "|"); for (i = 1; i <= n; ++i) print $1, (a[i] ~ /^[a-z][a-z-]*$/ ? a[i] : "") }' | sort -u; }
commands=$("$klpass" help | awk '/^  [a-z]/ { print $1 }' | sort -u)
[ -n "$commands" ] || { echo "klpass help lists no command"; exit 1; }
known=$(for c in $commands; do "$klpass" help "$c" | awk '/^  [a-z]/ { sub(/^  /, ""); print }'; done | pairs)
shown=$(sed -n 's/^klpass \([a-z].*\)/\1/p' "$page" | pairs)
missing=$(comm -23 <(echo "$known") <(echo "$shown"))
if [ -n "$missing" ]; then
  echo "docs/reference/klpass.md has no usage line for:"
  sed 's/^/  klpass /' <<<"$missing"
  exit 1
fi
echo "$(wc -l <<<"$known") commands and actions, each with its usage line"
