#!/usr/bin/env bash
# A database keepassxc-cli made, with nested groups, histories, a recycle bin
# and deleted objects, edited in place by klpass and taken through a vault of
# our own format and back: keepassxc-cli's XML export shows every group,
# version, time and deleted object as before, the edited entry changed with
# its old version in its history, a deleted entry in the file's recycle bin,
# and a delete moving to that bin and then recorded as keepassxc-cli records one.
source "$(dirname "$0")/keepassxc-peer.sh"
source "$(dirname "$0")/common.sh"
use_keepassxc "the KDBX model is not tested against KeePassXC"

case_ "keepassxc-cli builds a database of nested groups, histories, a recycle bin and deleted objects"
kpx "${kp}${kp}" db-create -p -t 100 t.kdbx
kpx "$kp" mkdir t.kdbx Work
kpx "$kp" mkdir t.kdbx Work/Dev
kpx "$kp" mkdir t.kdbx Work/Dev/Backend
kpx "${kp}pw-1\n" add -p -u alice t.kdbx Work/Dev/Backend/Mail
kpx "${kp}pw-2\n" edit -p t.kdbx Work/Dev/Backend/Mail
sleep 1
kpx "${kp}pw-3\n" edit -p -u alice2 t.kdbx Work/Dev/Backend/Mail
kpx "${kp}root-pw\n" add -p -u root t.kdbx 'At root'
kpx "$kp" edit -u root2 t.kdbx 'At root'
kpx "$kp" add t.kdbx Work/Recycled
kpx "$kp" rm t.kdbx Work/Recycled
kpx "$kp" add t.kdbx Work/Gone
kpx "$kp" rm t.kdbx Work/Gone
kpx "$kp" rm t.kdbx 'Recycle Bin/Gone'
kpx "$kp" add t.kdbx Work/Old
xml t.kdbx before.xml

# The model of an XML export: groups (name, parent), entries (group, strings,
# times, history) and deleted objects, by UUID.
cat >model.py <<'PY'
import sys, xml.etree.ElementTree as ET
def entry(e):
    strings = {s.findtext("Key"): s.findtext("Value") or "" for s in e.findall("String")}
    times = {t.tag: t.text for t in e.find("Times")}
    return {"strings": strings, "times": times}
def model(name):
    root = ET.parse(name).getroot().find("Root")
    groups, entries = {}, {}
    def walk(g, parent):
        uuid = g.findtext("UUID")
        groups[uuid] = (g.findtext("Name"), parent, {t.tag: t.text for t in g.find("Times")})
        for e in g.findall("Entry"):
            m = entry(e)
            m["group"] = uuid
            m["history"] = [entry(h) for h in e.find("History").findall("Entry")]
            entries[e.findtext("UUID")] = m
        for c in g.findall("Group"):
            walk(c, uuid)
    walk(root.find("Group"), None)
    deleted = {d.findtext("UUID"): d.findtext("DeletionTime") for d in root.find("DeletedObjects")}
    return groups, entries, deleted
PY

case_ "an edit in place changes the entry, keeps its old version in its history and nothing else"
cp t.kdbx edited.kdbx
run "${kp}pw-4\n" vault edit edited.kdbx Mail --password
expect_success
xml edited.kdbx edited.xml
python3 - before.xml edited.xml <<'PY' || fail "the edit in place changed what it should not"
import sys
sys.path.insert(0, ".")
from model import model
(bg, be, bd), (ag, ae, ad) = model(sys.argv[1]), model(sys.argv[2])
assert ag == bg, "groups differ"
assert ad == bd and len(bd) == 1, ("deleted objects", bd, ad)
mail = [u for u, e in be.items() if e["strings"]["Title"] == "Mail"][0]
assert len(be[mail]["history"]) == 2, be[mail]["history"]
for uuid, e in be.items():
    if uuid != mail:
        assert ae[uuid] == e, ("entry changed", e["strings"]["Title"], e, ae[uuid])
after = ae[mail]
assert after["strings"]["Password"] == "pw-4", after["strings"]
assert after["history"][:2] == be[mail]["history"], "the earlier versions changed"
assert len(after["history"]) == 3, len(after["history"])
old = after["history"][2]
assert old["strings"] == be[mail]["strings"], (old["strings"], be[mail]["strings"])
assert old["times"]["LastModificationTime"] == be[mail]["times"]["LastModificationTime"]
assert after["times"]["CreationTime"] == be[mail]["times"]["CreationTime"]
# The old version is the entry as it was, element for element.
import xml.etree.ElementTree as ET
def element(name, title, version=None):
    for e in ET.parse(name).getroot().iter("Entry"):
        if any(s.findtext("Key") == "Title" and s.findtext("Value") == title for s in e.findall("String")):
            if e.find("History") is None: continue
            if version is not None: e = e.find("History").findall("Entry")[version]
            # Times are compared above; a KDBX 3.1 file writes them as text, KDBX 4 in base64.
            for child in [c for c in e if c.tag in ("History", "Times")]: e.remove(child)
            for node in e.iter():
                node.tail = None
                node.text = (node.text or "").strip() or None
            return ET.tostring(e)
mine, was = element(sys.argv[2], "Mail", 2), element(sys.argv[1], "Mail")
assert mine == was, ("the old version is not the entry as it was", mine, was)

assert after["times"]["LastModificationTime"] != be[mail]["times"]["LastModificationTime"]
PY

case_ "an entry keepassxc-cli deleted is listed and shown in the file's recycle bin"
run "$kp" vault list t.kdbx
expect_success
listed=$(awk '/^[^ ]/ { g = $0 } /^ +[0-9]/ { print g ":" $2 }' <<<"$out")
grep -qx "Recycle Bin:Recycled" <<<"$listed" || fail "not listed in the bin: $listed"
run "$kp" vault show t.kdbx Recycled
expect_out "Recycle Bin / Recycled"

case_ "a delete moves the entry into the file's bin as keepassxc-cli's rm does; a second removes it and records that"
cp t.kdbx deleted.kdbx
sleep 1 # the move's time stamp then differs from the entry's creation
run "$kp" vault delete deleted.kdbx Old --yes
expect_success
expect_out "to the recycle bin 'Recycle Bin'"
printf '%b' "$kp" | keepassxc-cli ls deleted.kdbx "Recycle Bin" >bin.txt 2>/dev/null || fail "ls failed"
grep -qx "Old" bin.txt || fail "not in the bin: $(cat bin.txt)"
xml deleted.kdbx recycled.xml
run "$kp" vault delete deleted.kdbx Old --yes
expect_success
expect_out "deleted record"
xml deleted.kdbx deleted.xml
python3 - before.xml recycled.xml deleted.xml <<'PY' || fail "the move to the bin or the removal from it is not as keepassxc-cli's"
import sys, xml.etree.ElementTree as ET
sys.path.insert(0, ".")
from model import model
(bg, be, bd), (rg, re, rd), (ag, ae, ad) = (model(f) for f in sys.argv[1:4])
bins = [ET.parse(f).getroot().find("Meta").findtext("RecycleBinUUID") for f in sys.argv[1:4]]
assert bins[0] == bins[1] == bins[2] and bg[bins[0]][0] == "Recycle Bin", bins
old = [u for u, e in be.items() if e["strings"]["Title"] == "Old"][0]
assert be[old]["group"] != bins[0]
assert re[old]["group"] == bins[0], "not moved into the bin"
assert re[old]["times"]["LocationChanged"] != be[old]["times"]["LocationChanged"], "the move is not stamped"
assert re[old]["strings"] == be[old]["strings"] and re[old]["history"] == be[old]["history"]
assert all(re[u] == e for u, e in be.items() if u != old), "another entry changed"
assert rg == bg and rd == bd, "groups or deleted objects changed"
assert old not in ae and set(ae) == set(be) - {old}
assert set(ad) == set(bd) | {old}, (bd, ad)
assert ad[old] and all(ad[u] == t for u, t in bd.items())
PY

case_ "KDBX to a vault and back keeps every group, entry, history, time and deleted object"
run "$kp$kp" vault create v.klv --kdf-memory 8 --kdf-passes 1
run "$kp$kp" vault import v.klv edited.kdbx
expect_success
expect_out "deleted entries (in the recycle bin) left out: 1 (--keep-recycled imports them)"
run "$kp" vault history v.klv Mail
expect_out "record #"
expect_out "3 earlier versions"
run "$kp$kp" vault export v.klv --format kdbx --out back.kdbx --iterations 2 --memory 8
expect_success
xml back.kdbx back.xml
python3 - edited.xml back.xml <<'PY' || fail "the way through a vault lost versions or deletions"
import sys
sys.path.insert(0, ".")
from model import model
(bg, be, bd), (ag, ae, ad) = model(sys.argv[1]), model(sys.argv[2])
# The entries of the recycle bin are not taken into a vault.
bin = [u for u, g in bg.items() if g[0] == "Recycle Bin"]
be = {u: e for u, e in be.items() if e["group"] not in bin}
assert set(ae) == set(be), ("entries differ", set(ae) ^ set(be))
# Every group by UUID, with its name, parent and times; each entry in its group.
assert ag == bg, ("groups differ", {u: g for u, g in ag.items() if bg.get(u) != g},
                  {u: g for u, g in bg.items() if ag.get(u) != g})
keep = ("CreationTime", "LastModificationTime", "LastAccessTime", "LocationChanged")
for uuid, e in be.items():
    a = ae[uuid]
    assert a["strings"] == e["strings"], (a["strings"], e["strings"])
    assert [h["strings"] for h in a["history"]] == [h["strings"] for h in e["history"]], e["strings"]["Title"]
    for h, g in zip(a["history"], e["history"]):
        assert all(h["times"][k] == g["times"][k] for k in keep), (h["times"], g["times"])
    assert all(a["times"][k] == e["times"][k] for k in keep), (a["times"], e["times"])
    assert a["group"] == e["group"], e["strings"]["Title"]
assert set(ad) == set(bd), (bd, ad)
import xml.etree.ElementTree as ET
bins = [ET.parse(f).getroot().find("Meta").findtext("RecycleBinUUID") for f in sys.argv[1:3]]
assert bins[0] == bins[1], ("the bin is another group", bins)
PY

case_ "--group names nested groups of a KDBX file"
cp t.kdbx nested.kdbx
run "${kp}deep-pw\n" vault add nested.kdbx --title Deep --group Work/Dev/Backend
expect_success
run "$kp" vault edit nested.kdbx 'At root' --group Work/Dev
expect_success
run "$kp" vault add nested.kdbx --title X --group 'Work//Dev'
expect_failure 2 "has an empty group name"
printf '%b' "$kp" | keepassxc-cli ls -R -f nested.kdbx >nested.txt 2>/dev/null || fail "ls failed"
grep -qx "Work/Dev/Backend/Deep" nested.txt || fail "not in the nested group: $(cat nested.txt)"
grep -qx "Work/Dev/At root" nested.txt || fail "not moved: $(cat nested.txt)"
[ "$(grep -c '^Work/Dev/$' nested.txt)" = 1 ] || fail "a group was made twice: $(cat nested.txt)"
