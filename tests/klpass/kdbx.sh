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

case_ "a title holding U+FFFE is left out as KeePassXC does: the file opens in klpass and keepassxc-cli"
run "${k}s\n" vault add out.kdbx --title $'odd\uFFFEtitle\uFFFF' --user dave
expect_status 0
run "$k" vault list out.kdbx
expect_success
expect_out "oddtitle"
if command -v keepassxc-cli >/dev/null; then
  shown=$(printf 'kdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli show -q -a UserName out.kdbx oddtitle)
  [ "$shown" = "dave" ] || fail "keepassxc-cli shows: $shown"
fi

case_ "vault info describes a KDBX file without its password"
run "" vault info out.kdbx
expect_success
expect_out "out.kdbx: KDBX 4.0, AES-256, Argon2id 1 MiB, 2 passes, 2 lanes, gzip"
run "" vault info out.kdbx --json
expect_success
expect_out '{"file":"out.kdbx","format":"kdbx","version":"4.0","cipher":"AES-256","compressed":true,"kdf":{"algorithm":"Argon2id","memory_kib":1024,"passes":2,"lanes":2}}'
if command -v keepassxc-cli >/dev/null; then
  run "" vault info old.kdbx
  expect_success
  expect_out "old.kdbx: KDBX 4.0, AES-256, AES-KDF"
fi

case_ "vault upgrade: a KDBX file needs none, nothing is asked or written"
before=$(sha256sum out.kdbx)
run "" vault upgrade out.kdbx
expect_success
expect_out "'out.kdbx' is a KDBX file; it needs no upgrade, nothing to do"
[ "$(sha256sum out.kdbx)" = "$before" ] || fail "the file changed"

# Refused KDBX files: each names its cause, none is an internal error (8).
cp out.kdbx bad-seed.kdbx
printf '\x55' | dd of=bad-seed.kdbx bs=1 seek=50 conv=notrunc 2>/dev/null
size=$(stat -c %s out.kdbx)
head -c $((size - 40)) out.kdbx >cut.kdbx
head -c 100 out.kdbx >header-cut.kdbx
cp out.kdbx bad-version.kdbx
printf '\x09' | dd of=bad-version.kdbx bs=1 seek=10 conv=notrunc 2>/dev/null
cp out.kdbx bad-block.kdbx
printf '\x00' | dd of=bad-block.kdbx bs=1 seek=$((size - 60)) conv=notrunc 2>/dev/null
while IFS='|' read -r file input want_status want_err; do
  case_ "refused KDBX file $file"
  run "$input" vault list "$file"
  expect_failure "$want_status" "$want_err"
done <<'TABLE'
bad-seed.kdbx|kdbx-pass\n|4|The KDBX file is damaged
cut.kdbx|kdbx-pass\n|4|The KDBX file is damaged
header-cut.kdbx|kdbx-pass\n|4|The KDBX file is damaged
bad-version.kdbx|kdbx-pass\n|4|Unsupported KDBX file
bad-block.kdbx|kdbx-pass\n|4|The KDBX file is damaged
out.kdbx|wrong\n|3|wrong password or key file
TABLE
case_ "refused KDBX files in vault info"
run "" vault info bad-seed.kdbx
expect_failure 4 "The KDBX file is damaged"

case_ "an entry KeePassXC holds (1,100 fields, one of 70,000 bytes, a 17 MiB attachment) opens and imports; one beyond the bounds is refused by name"
if command -v keepassxc-cli >/dev/null; then
  entry_xml() { # TITLE FIELDS: an XML export with one entry
    printf '<?xml version="1.0" encoding="utf-8" standalone="yes"?>\n<KeePassFile><Meta><Generator>t</Generator></Meta>'
    printf '<Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Root</Name><Entry><UUID>AAAAAAAAAAAAAAAAAAAAAg==</UUID>'
    printf '<String><Key>Title</Key><Value>%s</Value></String>' "$1"
    for ((i = 0; i < $2; i++)); do printf '<String><Key>f%d</Key><Value>%d</Value></String>' "$i" "$i"; done
    printf '<String><Key>cert</Key><Value>%s</Value></String>' "$(head -c 70000 /dev/zero | tr '\0' c)"
    printf '</Entry></Group></Root></KeePassFile>\n'
  }
  entry_xml Big 1100 >big.xml
  printf 'kdbx-pass\nkdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli import -q -p -t 100 big.xml big.kdbx 2>/dev/null
  head -c $((17 << 20)) /dev/urandom >scan.bin
  printf 'kdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli attachment-import -q big.kdbx Big scan.bin scan.bin 2>/dev/null
  run "$k" vault show big.kdbx Big
  expect_success
  [ "$(grep -c '^  field f' <<<"$out")" = 1100 ] || fail "not 1,100 fields"
  [ "$(grep '^  field cert: ' <<<"$out" | sed 's/^  field cert: //' | tr -cd c | wc -c)" = 70000 ] || fail "the 70,000-byte field is not whole"
  expect_out "attached:  scan.bin (17825792 bytes)"
  run "$m" vault create big.klv --kdf-memory 8 --kdf-passes 1
  run "${m}${k}" vault import big.klv big.kdbx
  expect_success
  run "$m" vault attachment big.klv Big scan.bin --out scan.out
  expect_status 0
  cmp -s scan.bin scan.out || fail "the attachment differs after the vault's save"
  entry_xml Huge 4097 >huge.xml
  printf 'kdbx-pass\nkdbx-pass\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli import -q -p -t 100 huge.xml huge.kdbx 2>/dev/null
  run "$k" vault list huge.kdbx
  expect_failure 4 "The KDBX file holds an entry beyond the record's bounds: entry 'Huge': more than 4096 custom fields"
fi
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
