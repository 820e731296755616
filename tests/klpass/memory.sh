#!/usr/bin/env bash
# klpass leaves no copy of a password it revealed, or of the master password it
# read, in its memory when it ends: each run is stopped at its last system call
# and its memory written to a core file, which must hold no secret, in UTF-8 or
# UTF-16. (Standard output's buffer of the C library would keep the revealed
# password; klpass gives it a buffer of its own, wiped.)
source "$(dirname "$0")/common.sh"
command -v gdb >/dev/null || fail "gdb is needed (scripts/setup.sh installs it)"
# The sanitizer's allocator keeps freed blocks unwiped in its quarantine, and
# its shadow memory makes a core of terabytes. (The program itself is searched:
# "ldd | grep -q" under pipefail fails whenever grep quits before ldd's last
# line, and a runtime linked statically shows in no ldd listing.)
if LC_ALL=C grep -qaF __asan_init "$KLPASS"; then
  echo "not run under the address sanitizer"
  exit 0
fi

# core_of INPUT ARG...: runs klpass ARG... on INPUT under gdb, keeps its standard
# output in $out and its memory at the end in core.
core_of() {
  printf '%b' "$1" >input.txt
  shift
  rm -f core
  printf '%s\n' 'set pagination off' 'catch syscall exit_group' "run $* <input.txt >output.txt" \
    'gcore core' 'kill' 'quit' >gdb-commands
  gdb -q -batch -x gdb-commands "$KLPASS" >gdb.log 2>&1 || true
  [ -s core ] || fail "no core file: $(tail -3 gdb.log)"
  out=$(cat output.txt)
}

# copies SECRET: how often the core holds it, as UTF-8 or as UTF-16.
copies() {
  local utf16
  utf16=$(printf '%s' "$1" | sed 's/./&\\x00/g')
  echo $(($(LC_ALL=C grep -caF -- "$1" core || true) + $(LC_ALL=C grep -caP -- "$utf16" core || true)))
}

case_ "a password revealed by unprotect"
run 'Zq7RevealedSecretXy93\n' protect p.bin
expect_success
core_of '' unprotect p.bin
[ "$out" = Zq7RevealedSecretXy93 ] || fail "came back as '$out'"
[ "$(copies Zq7RevealedSecretXy93)" = 0 ] || fail "$(copies Zq7RevealedSecretXy93) copies left"

case_ "a record password revealed by vault show, and the master password"
run 'MasterPwQx81Long\n' vault create v.klv
expect_success
run 'MasterPwQx81Long\nRecordPwZz55Secret\n' vault add v.klv --title T
expect_success
core_of 'MasterPwQx81Long\n' vault show v.klv 1 --reveal
grep -qF "password:  RecordPwZz55Secret" <<<"$out" || fail "not revealed"
for secret in RecordPwZz55Secret MasterPwQx81Long; do
  [ "$(copies $secret)" = 0 ] || fail "$(copies $secret) copies of $secret left"
done
