#!/usr/bin/env bash
# vault merge beside keepassxc-cli merge: two copies of one KDBX file with
# edits, a conflict, a move and additions on both sides, merged by both tools,
# give the same entries, groups and histories; merging again changes nothing;
# two vaults of our own format merge either way into the same records.
source "$(dirname "$0")/keepassxc-peer.sh"
source "$(dirname "$0")/common.sh"
use_keepassxc "merge is not compared with KeePassXC"

case_ "two copies drift apart"
kpx "${kp}${kp}" db-create -p -t 100 base.kdbx
kpx "$kp" mkdir base.kdbx Work
kpx "$kp" mkdir base.kdbx Home
for n in 1 2 3 4; do kpx "${kp}pw-$n\n" add -p -u "user$n" base.kdbx "Work/E$n"; done
cp base.kdbx a.kdbx
cp base.kdbx b.kdbx
sleep 1
kpx "${kp}a-1\n" edit -p a.kdbx Work/E1
kpx "$kp" mv a.kdbx Work/E2 Home
kpx "${kp}a-7\n" add -p a.kdbx Work/E7
sleep 1
kpx "${kp}b-1\n" edit -p b.kdbx Work/E1
kpx "${kp}b-3\n" edit -p b.kdbx Work/E3
kpx "${kp}b-6\n" add -p b.kdbx Home/E6

cat >model.py <<'PY'
import sys, xml.etree.ElementTree as ET
def model(name):
    root = ET.parse(name).getroot().find("Root")
    entries = {}
    def walk(g, path):
        for e in g.findall("Entry"):
            strings = lambda x: {s.findtext("Key"): s.findtext("Value") or "" for s in x.findall("String")}
            history = sorted((h.find("Times").findtext("LastModificationTime"), strings(h).get("Password"))
                             for h in e.find("History").findall("Entry"))
            entries[e.findtext("UUID")] = (path, strings(e), e.find("Times").findtext("LastModificationTime"), history)
        for c in g.findall("Group"):
            walk(c, path + "/" + c.findtext("Name"))
    walk(root.find("Group"), "")
    return entries
def assert_same(theirs, ours):
    """The same entries, each in the same group with the same texts, time and history."""
    assert set(theirs) == set(ours), ("entries", set(theirs) ^ set(ours))
    for uuid, t in theirs.items():
        o = ours[uuid]
        assert (t[0], t[1]["Title"], t[1]["Password"], t[1]["UserName"], t[2]) == \
               (o[0], o[1]["Title"], o[1]["Password"], o[1]["UserName"], o[2]), (t, o)
        assert [p for _, p in t[3]] == [p for _, p in o[3]], ("history", t[1]["Title"], t[3], o[3])
PY

case_ "klpass and keepassxc-cli merge the copies alike"
cp a.kdbx kx.kdbx
kpx "${kp}${kp}" merge -s kx.kdbx b.kdbx
cp a.kdbx ours.kdbx
run "$kp$kp" vault merge ours.kdbx b.kdbx --dry-run
expect_success
expect_out "merging would take 'b.kdbx' into 'ours.kdbx': 1 added, 2 updated, 0 moved, 0 deleted, 2 kept (dry run: nothing was saved)"
cmp -s a.kdbx ours.kdbx || fail "a dry run changed the file"
run "$kp$kp" vault merge ours.kdbx b.kdbx
expect_success
expect_out "merged 'b.kdbx' into 'ours.kdbx': 1 added, 2 updated, 0 moved, 0 deleted, 2 kept"
xml kx.kdbx kx.xml
xml ours.kdbx ours.xml
python3 - kx.xml ours.xml <<'PY' || fail "the merges differ"
import sys
sys.path.insert(0, ".")
from model import model, assert_same
theirs, ours = model(sys.argv[1]), model(sys.argv[2])
assert_same(theirs, ours)
by_title = {o[1]["Title"]: o for o in ours.values()}
assert by_title["E1"][1]["Password"] == "b-1" and "a-1" in [p for _, p in by_title["E1"][3]]
assert by_title["E2"][0] == "/Home"
PY
run "$kp$kp" vault merge ours.kdbx b.kdbx
expect_out "0 added, 0 updated, 0 moved, 0 deleted, 5 kept"

case_ "a group moved in one copy, its records edited and added to in the other"
# keepassxc-cli moves no groups: klpass moves one in its copy of the file.
kpx "${kp}${kp}" db-create -p -t 100 gbase.kdbx
for g in Work Work/Dev Home; do kpx "$kp" mkdir gbase.kdbx "$g"; done
for n in 1 2; do kpx "${kp}pw-$n\n" add -p gbase.kdbx "Work/Dev/G$n"; done
kpx "${kp}pw-3\n" add -p gbase.kdbx Home/G3
cp gbase.kdbx ga.kdbx
cp gbase.kdbx gb.kdbx
sleep 1
run "$kp" vault move-group ga.kdbx Work/Dev Home/Dev
expect_status 0
expect_out "moved group 'Work/Dev' to 'Home/Dev'"
kpx "${kp}b-1\n" edit -p gb.kdbx Work/Dev/G1
kpx "${kp}b-4\n" add -p gb.kdbx Work/Dev/G4
for way in "ga gb" "gb ga"; do
  set -- $way
  cp $1.kdbx kx-$1.kdbx
  kpx "${kp}${kp}" merge -s kx-$1.kdbx $2.kdbx
  cp $1.kdbx ours-$1.kdbx
  run "$kp$kp" vault merge ours-$1.kdbx $2.kdbx
  expect_status 0 # (a KDBX 3.1 file merged into is saved as 4.0, which it says)
  xml kx-$1.kdbx kx-$1.xml
  xml ours-$1.kdbx ours-$1.xml
done
xml gbase.kdbx gbase.xml
python3 - gbase.xml kx-ga.xml ours-ga.xml kx-gb.xml ours-gb.xml <<'PY' || fail "the merges differ"
import sys, xml.etree.ElementTree as ET
sys.path.insert(0, ".")
from model import model, assert_same
def groups(name):
    out = {}
    def walk(g, path):
        for c in g.findall("Group"):
            out[path + "/" + c.findtext("Name")] = c.findtext("UUID")
            walk(c, path + "/" + c.findtext("Name"))
    walk(ET.parse(name).getroot().find("Root").find("Group"), "")
    return out
base = groups(sys.argv[1])
for theirs, ours in ((sys.argv[2], sys.argv[3]), (sys.argv[4], sys.argv[5])):
    assert_same(model(theirs), model(ours))
    g = groups(ours)
    assert g == groups(theirs), (g, groups(theirs))
    assert g["/Home/Dev"] == base["/Work/Dev"] and "/Work/Dev" not in g, g
    places = sorted((e[1]["Title"], e[0], e[1]["Password"]) for e in model(ours).values())
    assert places == [("G1", "/Home/Dev", "b-1"), ("G2", "/Home/Dev", "pw-2"), ("G3", "/Home", "pw-3"),
                      ("G4", "/Home/Dev", "b-4")], places
PY

case_ "two vaults merge either way into the same records"
run "$kp$kp" vault create a.klv --kdf-memory 8 --kdf-passes 1
run "$kp$kp" vault import a.klv a.kdbx
run "$kp$kp" vault create b.klv --kdf-memory 8 --kdf-passes 1
run "$kp$kp" vault import b.klv b.kdbx
cp a.klv ab.klv
cp b.klv ba.klv
run "$kp$kp" vault merge ab.klv b.klv
expect_success
run "$kp$kp" vault merge ba.klv a.klv
expect_success
for v in ab ba; do
  run "$kp" vault export $v.klv --format json --out $v.json
  expect_status 0
done
python3 - ab.json ba.json <<'PY' || fail "the two merges differ"
import json, sys
def records(name):
    data = json.load(open(name, encoding="utf-8"))
    items = data["records"] if isinstance(data, dict) else data
    return sorted(json.dumps(r, sort_keys=True) for r in items)
a, b = records(sys.argv[1]), records(sys.argv[2])
assert len(a) == 6 and a == b, (a, b)
PY
for v in ab ba; do
  run "$kp" vault history $v.klv E1
  expect_out "2 earlier versions"
done

case_ "deletions into the bin and for good"
# keepassxc-cli 2.7.4 merges moves into the bin but not the deleted objects of
# the other copy (the entry deleted for good comes back); the rest must agree.
kpx "${kp}${kp}" db-create -p -t 100 dbase.kdbx
kpx "$kp" mkdir dbase.kdbx Work
for n in 1 2 3 4; do kpx "${kp}pw-$n\n" add -p dbase.kdbx "Work/D$n"; done
cp dbase.kdbx da.kdbx
cp dbase.kdbx db.kdbx
sleep 1
kpx "$kp" rm da.kdbx Work/D1
kpx "$kp" rm db.kdbx Work/D2
kpx "$kp" rm db.kdbx "Recycle Bin/D2"
kpx "$kp" rm db.kdbx Work/D3
sleep 1
kpx "${kp}a-3\n" edit -p da.kdbx Work/D3
cp da.kdbx dkx.kdbx
kpx "${kp}${kp}" merge -s dkx.kdbx db.kdbx
cp da.kdbx dours.kdbx
run "$kp$kp" vault merge dours.kdbx db.kdbx
expect_success
expect_out "merged 'db.kdbx' into 'dours.kdbx': 0 added, 0 updated, 1 moved, 1 deleted, 2 kept"
xml dbase.kdbx dbase.xml
xml dkx.kdbx dkx.xml
xml dours.kdbx dours.xml
python3 - dbase.xml dkx.xml dours.xml <<'PY' || fail "the merges differ"
import sys, xml.etree.ElementTree as ET
sys.path.insert(0, ".")
from model import model, assert_same
base, theirs, ours = (model(n) for n in sys.argv[1:])
uuid = {e[1]["Title"]: u for u, e in base.items()}
d2 = uuid["D2"]
assert d2 in theirs and d2 not in ours, "D2 deleted for good"
gone = [d.findtext("UUID") for d in ET.parse(sys.argv[3]).getroot().iter("DeletedObject")]
assert d2 in gone, ("D2 among the deleted objects", gone)
del theirs[d2]
assert_same(theirs, ours)
assert ours[uuid["D1"]][0] == ours[uuid["D3"]][0] == "/Recycle Bin", ours
assert ours[uuid["D3"]][1]["Password"] == "a-3" and ours[uuid["D4"]][0] == "/Work"
PY
