#!/usr/bin/env bash
# The shared library binds every symbol when it loads (no lazy binding, whose
# resolver saves all vector registers, secrets among them, to the stack), makes
# its relocated data read-only afterwards, and calls its own functions directly
# rather than through its procedure linkage table.
set -euo pipefail
lib=$1
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
readelf -dW "$lib" | grep -qE '\(BIND_NOW\)|Flags:.* NOW' || fail "symbols are bound lazily (no -z now)"
readelf -lW "$lib" | grep -q GNU_RELRO || fail "no read-only relocation segment (no -z relro)"
defined=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | sed 's/@.*//' | sort -u)
slots=$(readelf -rW "$lib" | awk '/JUMP_SLO/ { print $5 }' | sed 's/@.*//' | sort -u)
own=$(comm -12 <(printf '%s\n' "$defined") <(printf '%s\n' "$slots"))
[ -z "$own" ] || fail "$(wc -l <<<"$own") of its own functions are called through the PLT, e.g. $(head -3 <<<"$own" | tr '\n' ' ')"
echo "bound at load, RELRO, $(wc -l <<<"$slots") PLT slots, none for its own functions"
