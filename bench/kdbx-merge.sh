#!/usr/bin/env bash
# Merges two copies of one KDBX 4 file with `klpass vault merge` and with
# `keepassxc-cli merge -s` (the reference), in turn, ROUNDS times, as whole
# processes, and prints the median user+sys seconds and peak memory (maximum
# resident set) of each and the median of the per-round ratios.
# The copies: ENTRIES entries in 20 groups, written by `klpass vault export`
# with the cheapest key derivation (Argon2id, 1 MiB, 1 pass) so that the
# figures show reading, merging and writing rather than the key derivation;
# then each copy changes CHANGES entries of its own through the Python package
# (a new password, so a history item, and every tenth of them moved to another
# group) and deletes a tenth as many to its recycle bin. Both tools must end
# with the same entries and passwords, or the figures compare different work.
# Usage: bench/kdbx-merge.sh BUILD_DIR [ROUNDS] [ENTRIES] [CHANGES]
set -euo pipefail
build=$(cd "${1:?usage: bench/kdbx-merge.sh BUILD_DIR [ROUNDS] [ENTRIES] [CHANGES]}" && pwd)
rounds=${2:-5}
entries=${3:-10000}
changes=${4:-1000}
repo=$(cd "$(dirname "$0")/.." && pwd)
klpass=$build/examples/klpass
command -v keepassxc-cli >/dev/null || { echo "keepassxc-cli is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is not installed (Debian package time)" >&2; exit 1; }
# shellcheck source=bench/measure.sh
. "$repo/bench/measure.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export QT_QPA_PLATFORM=offscreen

{
  echo "Group,Title,Username,Password,URL,Notes"
  for ((i = 0; i < entries; i++)); do
    echo "Group$((i % 20)),Site $i,user$i@example.com,P@ss-$((i * 7919 % 100003))-word,https://site$i.example.com/login,note $i"
  done
} >records.csv
printf 'm\n' | "$klpass" vault create v.klv --kdf-memory 8 --kdf-passes 1 >/dev/null
printf 'm\n' | "$klpass" vault import v.klv records.csv >/dev/null
printf 'm\nkp\n' | "$klpass" vault export v.klv --format kdbx --out base.kdbx --iterations 1 --memory 1 >/dev/null
sleep 1 # the copies' changes are newer than the base, to the second KDBX keeps
cp base.kdbx a.kdbx
cp base.kdbx b.kdbx
PYTHONPATH=$repo/python KLPASSWORD_LIBRARY=$build/libklpassword.so /usr/bin/python3 - "$changes" <<'PY'
import sys
from klpassword import Vault, Field
changes = int(sys.argv[1])
for name, first in (("a.kdbx", 0), ("b.kdbx", changes)):
    v = Vault.open(name, "kp")
    for i in range(first, first + changes):
        v.set_field(i, Field.PASSWORD, f"{name}-{i}")
        if i % 10 == 0:
            v.set_field(i, Field.GROUP, "Moved")
    # each copy sends its own tenth as many entries to the bin, from the end
    gone = 2 * changes + (first // 10)
    for i in reversed(range(gone, gone + changes // 10)):
        v.delete(i)
    v.save()
PY

: >a.txt
: >b.txt
: >r.txt
: >m.txt
for ((r = 0; r < rounds; r++)); do
  cp a.kdbx ours.kdbx
  cp a.kdbx theirs.kdbx
  a=$(measure "printf 'kp\nkp\n' | '$klpass' vault merge ours.kdbx b.kdbx")
  b=$(measure "printf 'kp\n' | keepassxc-cli merge -s -q theirs.kdbx b.kdbx")
  echo "$a" >>a.txt
  echo "$b" >>b.txt
  ratio "${a%% *}" "${b%% *}" >>r.txt
  ratio "${a##* }" "${b##* }" >>m.txt
done
# The same entries and passwords in both results.
list() { printf 'kp\n' | keepassxc-cli export -q -f csv "$1" | sort; }
if ! cmp -s <(list ours.kdbx) <(list theirs.kdbx); then
  echo "the two merges differ:" >&2
  diff <(list ours.kdbx) <(list theirs.kdbx) | head -20 >&2
  exit 1
fi
printf '%8s  %8s  %13s  %13s  %9s  %14s  %14s  %9s\n' entries changes "klpass CPU s" "kpxc-cli CPU s" \
  "CPU ratio" "klpass peak MiB" "kpxc peak MiB" "peak ratio"
printf '%8d  %8d  %13s  %13s  %9s  %14.1f  %14.1f  %9s\n' "$entries" "$changes" "$(cut -d' ' -f1 a.txt | median)" \
  "$(cut -d' ' -f1 b.txt | median)" "$(median <r.txt)" "$(cut -d' ' -f2 a.txt | median | awk '{ print $1 / 1024 }')" \
  "$(cut -d' ' -f2 b.txt | median | awk '{ print $1 / 1024 }')" "$(median <m.txt)"
echo "medians of $rounds rounds; ratios klpass / keepassxc-cli, taken round by round"
