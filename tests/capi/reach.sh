#!/usr/bin/env bash
# Runs capi_reach_test (the C interface from C99: German estimates, user
# stores by URI, KDBX files) on what it compares with: klpass's own verdicts
# on the same passwords, KDBX files made by keepassxc-cli, and a fresh
# database of the PostgreSQL test cluster (KL_TEST_POSTGRES_FILE, made by the
# CTest fixture; those cases skip, saying so, without it).
#   reach.sh CAPI_REACH_TEST KLPASS WORK
set -euo pipefail
program=$1 klpass=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
cp "$here/de-passwords.txt" "$work/passwords.txt"
"$klpass" check --lang de --json --stdin <"$work/passwords.txt" >"$work/klpass-de.jsonl" || true
"$klpass" check --policy nist --lang de --min-score 3 --json --stdin <"$work/passwords.txt" \
  >"$work/klpass-nist-de.jsonl" || true
[ "$(wc -l <"$work/klpass-de.jsonl")" -eq "$(wc -l <"$work/passwords.txt")" ] || { echo "klpass check failed" >&2; exit 1; }

if ! command -v keepassxc-cli >/dev/null; then
  echo "keepassxc-cli (Debian package keepassxc) is not installed: the KDBX cases cannot run" >&2
  exit 1
fi
export QT_QPA_PLATFORM=offscreen
kpx() { printf '%b' "$1" | keepassxc-cli "${@:2}" >/dev/null 2>&1 || { echo "keepassxc-cli ${*:2} failed" >&2; exit 1; }; }
kpx 'kp-pass\nkp-pass\n' db-create -p -t 100 "$work/pw.kdbx"
kpx 'kp-pass\nsecret-mail\n' add -p -u bob "$work/pw.kdbx" Mail
kpx '' db-create -t 100 --set-key-file "$work/key.keyx" "$work/key.kdbx"
kpx 'pw-key\n' add --no-password -k "$work/key.keyx" -p -u carol "$work/key.kdbx" Bank

state=${KL_TEST_POSTGRES_FILE:-}
if [ -n "$state" ] && grep -q '^postgresql://' "$state"; then
  server=$(cat "$state")
  db=capi_reach_$$
  psql -q "$server" -c "CREATE DATABASE $db" >/dev/null
  trap 'psql -q "$server" -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1 || true' EXIT
  echo "${server/\/\/\/postgres?//\/\/$db?}" >"$work/pg.uri"
else
  echo "PostgreSQL cases skipped: ${state:+$(cat "$state")}${state:-no test cluster (run through ctest)}" >&2
fi

"$program" "$work"
# The file this library saved opens in KeePassXC with the key file, the added entry in it.
keepassxc-cli ls -R -f --no-password -k "$work/key.keyx" "$work/key.kdbx" </dev/null 2>/dev/null | grep -qx "General/Added" ||
  { echo "keepassxc-cli cannot read the KDBX file the library saved" >&2; exit 1; }
echo "keepassxc-cli reads the saved file"
