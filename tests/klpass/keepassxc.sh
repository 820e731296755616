#!/usr/bin/env bash
# The round trip with KeePassXC itself: a database made by keepassxc-cli
# (groups, a group beginning with '#', notes over several lines, non-ASCII
# text, an entry in the recycle bin), its CSV export imported by klpass and
# exported again as keepassxc-csv, compared record by record, in a zone that
# is not UTC.
source "$(dirname "$0")/keepassxc-peer.sh"
source "$(dirname "$0")/common.sh"
use_keepassxc "the round trip with KeePassXC is not tested"

case_ "keepassxc-cli builds the database and exports it"
kpx "${kp}${kp}" db-create -p -t 100 t.kdbx
kpx "$kp" mkdir t.kdbx Work
kpx "$kp" mkdir t.kdbx '#Hash'
kpx "$kp" mkdir t.kdbx 'Work/Ünïcödé'
kpx "${kp}gh,\"secret\"\n" add -p -u alice --url https://github.com --notes $'two\nlines, "quoted"' t.kdbx Work/GitHub
kpx "${kp}pw-tag\n" add -p -u bob t.kdbx '#Hash/Tag'
kpx "${kp}pw-deep\n" add -p -u 'Zoë' --notes 'ß € 中文' t.kdbx 'Work/Ünïcödé/Deep'
kpx "${kp}pw-root\n" add -p t.kdbx 'At root'
# A note longer than one vault value holds (65,535 bytes).
kpx "${kp}pw-long\n" add -p --notes "$(printf 'ü%.0s' $(seq 50000))" t.kdbx 'Work/Long note'
kpx "$kp" add t.kdbx Gone
kpx "$kp" rm t.kdbx Gone
printf '%b' "$kp" | keepassxc-cli export -f csv t.kdbx >theirs.csv 2>/dev/null || fail "export failed"
grep -q '/Recycle Bin"' theirs.csv || fail "no recycled entry in: $(cat theirs.csv)"

case_ "klpass imports every live record, leaves out the recycled one, and exports it back as it came"
run "$kp" vault create v.klv --kdf-memory 8 --kdf-passes 1
run "$kp" vault import v.klv theirs.csv
expect_success
expect_out "imported 5 records"
expect_out "left out: 1"
run "$kp" vault export v.klv --format keepassxc-csv --out ours.csv
expect_status 0
python3 - theirs.csv ours.csv <<'PY' || fail "the round trip changed records"
import csv, sys
def rows(name):
    with open(name, newline="", encoding="utf-8") as f:
        return [r for r in csv.reader(f) if "/Recycle Bin" not in r[0]]
theirs, ours = rows(sys.argv[1]), rows(sys.argv[2])
if theirs != ours:
    for a, b in zip(theirs, ours):
        if a != b: print("theirs:", a, "\nours:  ", b, file=sys.stderr)
    print(len(theirs), "records against", len(ours), file=sys.stderr)
    sys.exit(1)
PY
! grep -q $'\r' ours.csv || fail "a CR in the export"
grep -q '^"Passwords/#Hash","Tag"' ours.csv || fail "the '#' group is not quoted: $(cat ours.csv)"
