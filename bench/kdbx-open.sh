#!/usr/bin/env bash
# Opens KDBX 4 files of several sizes with `klpass vault list` and with
# `keepassxc-cli ls -R -f` (the reference), in turn, ROUNDS times a size, as
# whole processes, and prints for each size the median user+sys seconds and
# peak memory (maximum resident set, /usr/bin/time -v) of each and the median
# of the per-round ratios. The files are written by `klpass vault export` with
# the cheapest key derivation (Argon2id, 1 MiB, 1 pass, 2 lanes), the same for
# both, so that the figures show reading, decrypting, parsing and listing the
# entries rather than the key derivation.
# Usage: bench/kdbx-open.sh BUILD_DIR [ROUNDS] [SIZES]   (SIZES: "100 1000 10000 50000")
set -euo pipefail
build=$(cd "${1:?usage: bench/kdbx-open.sh BUILD_DIR [ROUNDS] [SIZES]}" && pwd)
rounds=${2:-5}
sizes=${3:-100 1000 10000 50000}
klpass=$build/examples/klpass
command -v keepassxc-cli >/dev/null || { echo "keepassxc-cli is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is not installed (Debian package time)" >&2; exit 1; }
# shellcheck source=bench/measure.sh
. "$(dirname "$0")/measure.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

printf '%8s  %13s  %13s  %9s  %14s  %14s  %9s\n' entries "klpass CPU s" "kpxc-cli CPU s" "CPU ratio" \
  "klpass peak MiB" "kpxc peak MiB" "peak ratio"
for n in $sizes; do
  {
    echo "Group,Title,Username,Password,URL,Notes"
    for ((i = 0; i < n; i++)); do
      echo "Group$((i % 20)),Site $i,user$i@example.com,P@ss-$((i * 7919 % 100003))-word,https://site$i.example.com/login,note $i"
    done
  } >records.csv
  rm -f v.klv big.kdbx
  printf 'm\n' | "$klpass" vault create v.klv --kdf-memory 8 --kdf-passes 1 >/dev/null
  printf 'm\n' | "$klpass" vault import v.klv records.csv >/dev/null
  printf 'm\nkp\n' | "$klpass" vault export v.klv --format kdbx --out big.kdbx --iterations 1 --memory 1 >/dev/null
  # Both must list every entry, or the figures compare different work.
  listed=$(printf 'kp\n' | "$klpass" vault list big.kdbx | grep -c 'Site ' || true)
  theirs=$(printf 'kp\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli ls -R -f big.kdbx 2>/dev/null | grep -c 'Site ' || true)
  if [ "$listed" -ne "$n" ] || [ "$theirs" -ne "$n" ]; then
    echo "$n entries: klpass listed $listed, keepassxc-cli $theirs" >&2
    exit 1
  fi
  : >a.txt
  : >b.txt
  : >r.txt
  : >m.txt
  for ((r = 0; r < rounds; r++)); do
    a=$(measure "printf 'kp\n' | '$klpass' vault list big.kdbx")
    b=$(measure "printf 'kp\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli ls -R -f big.kdbx")
    echo "$a" >>a.txt
    echo "$b" >>b.txt
    ratio "${a%% *}" "${b%% *}" >>r.txt
    ratio "${a##* }" "${b##* }" >>m.txt
  done
  printf '%8d  %13s  %13s  %9s  %14.1f  %14.1f  %9s\n' "$n" "$(cut -d' ' -f1 a.txt | median)" \
    "$(cut -d' ' -f1 b.txt | median)" "$(median <r.txt)" "$(cut -d' ' -f2 a.txt | median | awk '{ print $1 / 1024 }')" \
    "$(cut -d' ' -f2 b.txt | median | awk '{ print $1 / 1024 }')" "$(median <m.txt)"
done
echo "medians of $rounds rounds; ratios klpass / keepassxc-cli, taken round by round"
