#!/usr/bin/env bash
# klpass vault export and import: a vault moved out and back in through each
# of its formats, foreign files read, and every refusal leaving the vault as it was.
data=$(realpath "$(dirname "$0")/../data/exchange")
source "$(dirname "$0")/common.sh"

m='Vault master\n'

run "$m" vault create v.klv
run "${m}p\"w,1\n" vault add v.klv --title 'Git, Hub' --user alice --url https://github.com --note $'two\nlines'
run "${m}=SUM(1)\n" vault add v.klv --title Sheet --group Work

case_ "export warns that the output is not encrypted and writes an owner-only file"
run "$m" vault export v.klv --format csv --out out.csv
expect_status 0
expect_err "not encrypted"
expect_out "exported 2 records to 'out.csv' (csv)"
[ "$(stat -c %a out.csv)" = 600 ] || fail "mode $(stat -c %a out.csv)"
grep -q '^General,"Git, Hub",alice,"p""w,1",' out.csv || fail "unexpected CSV: $(cat out.csv)"
run "$m" vault export v.klv --out out.csv
expect_failure 7 "'out.csv' already exists"
chmod 644 out.csv
run "$m" vault export v.klv --out out.csv --force
[ "$(stat -c %a out.csv)" = 600 ] || fail "a replaced export keeps mode $(stat -c %a out.csv)"
run "$m" vault export v.klv --format csv --spreadsheet-safe
grep -qF "\"'=SUM(1)\"" <<<"$out" || fail "formula not neutralised"

case_ "root's export into a shared sticky folder is root's alone, whatever another user planted there"
if [ "$(id -u)" -ne 0 ]; then
  echo "klpass exchange: skipping the planted-file case (needs root to make another user's files)"
else
  mkdir pub
  chmod 1777 pub
  touch pub/planted.csv
  chown 65534:65534 pub/planted.csv
  chmod 666 pub/planted.csv
  run "$m" vault export v.klv --out pub/planted.csv --force
  expect_status 0
  [ "$(stat -c '%u %a' pub/planted.csv)" = "0 600" ] || fail "the export is $(stat -c '%U %a' pub/planted.csv)"
  # A dangling link of another user: following it would create its target.
  ln -s "$work/made-by-link.csv" pub/link.csv
  chown -h 65534:65534 pub/link.csv
  run "$m" vault export v.klv --out pub/link.csv --force
  expect_failure 6 "is not followed"
  [ ! -e made-by-link.csv ] || fail "the link's target was created"
  # The same link to a vault: no edit, and no lock made beside its target.
  mkdir elsewhere
  cp v.klv elsewhere/v.klv
  ln -s "$work/elsewhere/v.klv" pub/v.klv
  chown -h 65534:65534 pub/v.klv
  run "${m}pw\n" vault add pub/v.klv --title planted
  expect_failure 6 "is not followed"
  [ ! -e elsewhere/v.klv.lock ] || fail "a lock was made beside the link's target"
  cmp -s v.klv elsewhere/v.klv || fail "the link's target changed"
fi

case_ "a vault moved out and back in through each format keeps every record"
for format in csv json bitwarden-json; do
  run "$m" vault export v.klv --format "$format" --out "out.$format" --force
  run "$m" vault create "in-$format.klv"
  run "$m" vault import "in-$format.klv" "out.$format"
  expect_success
  expect_out "imported 2 records from 'out.$format' ($format)"
  expect_out "  Work: 1"
  run "$m" vault show "in-$format.klv" 1 --reveal
  expect_out '  password:  p"w,1'
  expect_out "  note:      two"
done

case_ "foreign files: group paths kept as nested groups, --group honoured"
run "$m" vault import v.klv "$data/bitwarden.csv"
expect_success
expect_out "imported 3 records from"
expect_out "(bitwarden-csv)"
expect_out "  Work/Servers: 1"
expect_out "kept in their note: 2"
run "$m" vault list v.klv --group Work/Servers
expect_success
expect_out "Router"
run "$m" vault import v.klv "$data/browser.csv" --group Browser
expect_out "  Browser: 2"
run "$m" vault list v.klv --group Browser
expect_out "example.com"

case_ "a faulty file is refused with its place, and the vault is unchanged"
cp v.klv before.klv
printf 'name,url,username,password,note\na,b,c,d,e\n"open,b,c,d,e\n' >bad.csv
run "$m" vault import v.klv bad.csv
expect_failure 4 "cannot import 'bad.csv': line 3: a quoted field is not closed; nothing was imported"
printf '{"items": [{"login": {"password": 5}}]}' >bad.json
run "$m" vault import v.klv bad.json
expect_failure 4 "$.items[0].login.password: a string was expected"
group() { head -c "$1" /dev/zero | tr '\0' g; }
printf 'Group,Title,Username,Password,URL,Notes\n%s,t,,,,\n' "$(group 65528)" >long-group.csv
run "$m" vault import v.klv long-group.csv
expect_failure 4 "line 2: a group is too long for the keys a vault saves its records under"
cmp -s v.klv before.klv || fail "the vault changed"

case_ "the longest group an import takes saves and loads again"
run "$m" vault create fit.klv
printf 'Group,Title,Username,Password,URL,Notes\n%s,t,,,,\n' "$(group 65527)" >long-group.csv
run "$m" vault import fit.klv long-group.csv
expect_success
run "$m" vault list fit.klv
expect_success

case_ "usage errors"
run "$m" vault export v.klv --format xml
expect_failure 2 "unknown format 'xml'"
run "$m" vault import v.klv bad.csv --group 'a//b'
expect_failure 2 "must not be empty or hold an empty name"
run "$m" vault import v.klv absent.csv
expect_failure 6 "cannot import 'absent.csv'"
run 'wrong\n' vault export v.klv
expect_failure 3 "wrong master password"
