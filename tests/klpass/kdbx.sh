#!/usr/bin/env bash
# klpass and KDBX files: import, export, and vault commands on a .kdbx itself,
# each checked against keepassxc-cli where it is installed.
source "$(dirname "$0")/common.sh"

m='master-pass\n'
k='kdbx-pass\n'
run "$m" vault create v.klv --kdf-memory 8 --kdf-passes 1
expect_success
run "${m}gh-secret\n" vault add v.klv --title GitHub --user alice --url https://github.com --group Work
expect_success

case_ "export as KDBX 4, read by keepassxc-cli"
run "${m}${k}" vault export v.klv --format kdbx --out out.kdbx --iterations 2 --memory 1
expect_success
expect_out "exported 1 records to 'out.kdbx' (KDBX 4, Argon2id, 2 iterations, 1 MiB)"
if command -v keepassxc-cli >/dev/null; then
  shown=$(printf 'kdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli show -q -s -a UserName -a Password out.kdbx Work/GitHub)
  [ "$shown" = $'alice\ngh-secret' ] || fail "keepassxc-cli shows: $shown"
else
  echo "keepassxc-cli is not installed: the KDBX file is not checked by KeePassXC" >&2
fi

case_ "a vault command on the .kdbx itself saves it as KDBX"
run "${k}new-secret\n" vault add out.kdbx --title Mail --user bob --group Internet
expect_success
run "$k" vault list out.kdbx
expect_success
expect_out "Mail"
expect_out "GitHub"
if command -v keepassxc-cli >/dev/null; then
  shown=$(printf 'kdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli show -q -s -a Password out.kdbx Internet/Mail)
  [ "$shown" = "new-secret" ] || fail "keepassxc-cli shows: $shown"
fi

case_ "import a KDBX file into a vault"
run "$m" vault create w.klv --kdf-memory 8 --kdf-passes 1
run "${m}${k}" vault import w.klv out.kdbx
expect_success
expect_out "imported 2 records from 'out.kdbx' (KDBX 4.0)"
run "$m" vault list w.klv
expect_out "Mail"

case_ "a KDBX 3.1 file made by keepassxc-cli is saved as KDBX 4.0, and klpass says so"
if command -v keepassxc-cli >/dev/null; then
  printf 'kdbx-pass\nkdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli db-create -q -p -t 100 old.kdbx 2>/dev/null
  [ "$(head -c 12 old.kdbx | od -An -tx1 | tr -d ' \n')" = "03d9a29a67fb4bb501000300" ] || fail "not a KDBX 3.1 file"
  run "${k}old-secret\n" vault add old.kdbx --title Old --user carol
  expect_status 0
  expect_err "'old.kdbx' was a KDBX 3.1 file; it is now saved as KDBX 4.0"
  [ "$(head -c 12 old.kdbx | od -An -tx1 | tr -d ' \n')" = "03d9a29a67fb4bb500000400" ] || fail "not saved as KDBX 4.0"
  shown=$(printf 'kdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli show -q -s -a Password old.kdbx Old)
  [ "$shown" = "old-secret" ] || fail "keepassxc-cli shows: $shown"
fi

case_ "wrong KDBX password"
run "${m}wrong\n" vault import w.klv out.kdbx
expect_status 3

case_ "a KDBX file whose key derivation costs more than the limit is refused unread, and opened knowingly"
# out.kdbx costs 2 mebibyte-passes (Argon2id, 1 MiB, 2 iterations); the limit of 1 refuses it.
KLPASS_KDF_COST_LIMIT=1 run "wrong\n" vault list out.kdbx
expect_failure 4 "Argon2id with 1 MiB and 2 passes costs 2 mebibyte-passes, the limit is 1"
expect_err "--accept-kdf-cost"
KLPASS_KDF_COST_LIMIT=1 run "$k" vault list out.kdbx --accept-kdf-cost
expect_success
expect_out "GitHub"
KLPASS_KDF_COST_LIMIT=2 run "$k" vault list out.kdbx
expect_success
KLPASS_KDF_COST_LIMIT=1 run "${m}${k}" vault import w.klv out.kdbx
expect_failure 4 "costs 2 mebibyte-passes, the limit is 1"
KLPASS_KDF_COST_LIMIT=0 run "$k" vault list out.kdbx
expect_failure 2 "KLPASS_KDF_COST_LIMIT must be a positive number"
