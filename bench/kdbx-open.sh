#!/usr/bin/env bash
# Opens one 10,000-entry KDBX 4 file (Argon2id, 64 MiB, 10 passes, 2 lanes: the
# same key derivation for both) with `klpass vault list` and with
# `keepassxc-cli ls -R -f`, in turn, ROUNDS times, and prints the median user+sys
# seconds and peak memory of each and the median of the per-round ratios.
# Usage: bench/kdbx-open.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=$(cd "${1:?usage: bench/kdbx-open.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-7}
klpass=$build/examples/klpass
command -v keepassxc-cli >/dev/null || { echo "keepassxc-cli is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
{
  echo "Group,Title,Username,Password,URL,Notes"
  for ((i = 0; i < 10000; i++)); do
    echo "Group$((i % 20)),Site $i,user$i@example.com,P@ss-$((i * 7919 % 100003))-word,https://site$i.example.com/login,note $i"
  done
} >records.csv
printf 'm\n' | "$klpass" vault create v.klv --kdf-memory 8 --kdf-passes 1 >/dev/null
printf 'm\n' | "$klpass" vault import v.klv records.csv >/dev/null
printf 'm\nkp\n' | "$klpass" vault export v.klv --format kdbx --out big.kdbx --iterations 10 --memory 64 >/dev/null

# One run: "cpu-seconds peak-KiB".
measure() {
  /usr/bin/time -f '%U %S %M' -o t.txt sh -c "$1" >/dev/null 2>&1
  awk '{ printf "%.3f %d\n", $1 + $2, $3 }' t.txt
}
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
: >a.txt
: >b.txt
: >r.txt
for ((r = 0; r < rounds; r++)); do
  a=$(measure "printf 'kp\n' | '$klpass' vault list big.kdbx")
  b=$(measure "printf 'kp\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli ls -R -f big.kdbx")
  echo "$a" >>a.txt
  echo "$b" >>b.txt
  awk -v a="${a%% *}" -v b="${b%% *}" 'BEGIN { printf "%.3f\n", a / b }' >>r.txt
done
echo "klpass vault list:        $(cut -d' ' -f1 a.txt | median) s CPU, $(cut -d' ' -f2 a.txt | median) KiB peak"
echo "keepassxc-cli ls -R -f:   $(cut -d' ' -f1 b.txt | median) s CPU, $(cut -d' ' -f2 b.txt | median) KiB peak"
echo "ratio klpass / keepassxc-cli (median of $rounds rounds): $(median <r.txt)"
