#!/usr/bin/env bash
# klpass vault: records added, listed by group, searched, shown, edited and
# deleted in an encrypted file, and every failure of opening and naming.
source "$(dirname "$0")/common.sh"

m='Vault master\n'

# The listing in $out in short: "Group:number title,number title,Group:...".
listing() { awk '/^[^ ]/ { printf "%s:", $0 } /^ +[0-9]/ { printf "%s %s,", $1, $2 }' <<<"$out"; }

case_ "create asks for a non-empty master password and refuses an existing file"
run '\n' vault create v.klv
expect_failure 2 "must not be empty"
run "$m" vault create v.klv --kdf-memory 8 --kdf-passes 1
expect_success
run "$m" vault create v.klv
expect_failure 7 "'v.klv' already exists"

case_ "add reads the record's password, or generates one"
run "${m}gh-secret\n" vault add v.klv --title GitHub --user alice --url https://github.com
expect_success
expect_out "added record #1 'GitHub'"
run "$m" vault add v.klv --title VPN --user bob --group Work --generate --length 24 --no-symbols
expect_out "added record #2 'VPN' with a generated password"
run "${m}mail-secret\n" vault add v.klv --title Mail --user alice@example.com --note "personal mail"
# A new General record is numbered before the Work group, as a reload orders it.
expect_out "added record #2 'Mail'"

case_ "the file holds nothing in clear"
for text in GitHub alice gh-secret mail-secret General; do
  ! grep -q "$text" v.klv || fail "'$text' in the file"
done

case_ "list shows the records under their groups, numbered, without passwords"
run "$m" vault list v.klv
expect_success
[ "$(listing)" = "General:1 GitHub,2 Mail,Work:3 VPN," ] || fail "listed as $(listing)"
expect_no_out "secret"
run "$m" vault list v.klv --group Work
expect_out "    3  VPN"
expect_no_out "GitHub"
run "$m" vault list v.klv --group Nothing
expect_success
expect_out "(no records)"

case_ "show hides the password unless asked, and numbers match the list"
run "$m" vault show v.klv 2
expect_success
expect_out "#2 General / Mail"
expect_out "  note:      personal mail"
expect_no_out "mail-secret"
run "$m" vault show v.klv 2 --reveal
expect_out "  password:  mail-secret"
run "$m" vault show v.klv 3 --reveal
grep -qE '^  password:  [A-Za-z0-9]{24}$' <<<"$out" || fail "no generated 24-character password"

case_ "search looks in every field but the password, or in the one named"
run "$m" vault search v.klv alice
expect_success
expect_out "GitHub"
expect_out "Mail"
expect_no_out "VPN"
run "$m" vault search v.klv gh-secret
expect_failure 5 "no record matches 'gh-secret'"
run "${m}gh-secret\n" vault search v.klv --field password
expect_out "GitHub"
expect_no_out "gh-secret"
run "${m}no-such-secret\n" vault search v.klv --field password
expect_failure 5 "no record has that password"
! grep -q "no-such-secret" <<<"$err" || fail "the password looked for was printed"
run "$m" vault search v.klv gh-secret --field password
expect_failure 2 "unexpected argument 'gh-secret'"
run "$m" vault search v.klv alice --exact
expect_out "GitHub"
expect_no_out "Mail"
run "$m" vault search v.klv Alice
expect_out "GitHub"
run "$m" vault search v.klv Alice --case-sensitive
expect_status 5
run "$m" vault search v.klv x --field colour
expect_failure 2 "unknown field 'colour'"

case_ "edit changes the given fields only"
run "$m" vault edit v.klv 1 --group Work --note "work account"
expect_success
expect_out "changed record #1, now #1"
run "$m" vault show v.klv 1 --reveal
expect_out "#1 Work / GitHub"
expect_out "  user:      alice"
expect_out "  password:  gh-secret"
expect_out "  note:      work account"
grep -qE '^  modified:  [0-9]{4}-' <<<"$out" || fail "modification time not set"

case_ "numbers follow the order a reload gives: groups by first record"
run "$m" vault list v.klv
[ "$(listing)" = "Work:1 GitHub,2 VPN,General:3 Mail," ] || fail "listed as $(listing)"

case_ "edit reads a new password"
run "${m}new-secret\n" vault edit v.klv 3 --password
expect_success
run "$m" vault show v.klv 3 --reveal
expect_out "#3 General / Mail"
expect_out "  password:  new-secret"

case_ "delete moves a record to the recycle bin; deleting it there removes it and renumbers the rest"
run "$m" vault delete v.klv 1
expect_success
expect_out "moved record #1 'GitHub' to the recycle bin 'Recycle Bin' (now #1)"
run "$m" vault list v.klv
[ "$(listing)" = "Recycle Bin:1 GitHub,Work:2 VPN,General:3 Mail," ] || fail "listed as $(listing)"
run "$m" vault delete v.klv 1
expect_success
expect_out "deleted record #1 'GitHub'"
run "$m" vault list v.klv
[ "$(listing)" = "Work:1 VPN,General:2 Mail," ] || fail "listed as $(listing)"
cp v.klv kept.klv
run "$m" vault delete kept.klv VPN --permanently
expect_out "deleted record #1 'VPN'"
run "$m" vault list kept.klv
[ "$(listing)" = "General:1 Mail," ] || fail "listed as $(listing)"

case_ "every edit keeps the version before it; restore brings one back and keeps the present one"
run "${m}second\n" vault edit v.klv Mail --password
run "$m" vault edit v.klv Mail --user carol
run "$m" vault history v.klv Mail
expect_success
# One from the edit of the password before, two from these.
expect_out "record #2 'Mail': 3 earlier versions"
[ "$(grep -c '^ *[123]  ' <<<"$out")" = 3 ] || fail "not three numbered versions: $out"
! grep -q "second\|new-secret" <<<"$out" || fail "history shows a password"
run "$m" vault restore v.klv Mail 2
expect_success
expect_out "restored version 2 of record #2 'Mail'"
run "$m" vault show v.klv Mail --field password
expect_out "new-secret"
run "$m" vault history v.klv Mail --json
expect_out '"version":4,"modified":'
expect_out '"user":"carol"}]}'
run "$m" vault restore v.klv Mail 9
expect_failure 5 "has 4 earlier versions, no version 9"

case_ "unknown records"
for action in show edit delete; do
  run "$m" vault "$action" v.klv 9
  expect_failure 5 "no record #9"
done
run "$m" vault show v.klv two
expect_failure 5 "no record titled 'two'"
# A bad number is refused before the master password is asked (none is given).
run "" vault show v.klv 0
expect_failure 2 "the record number must be a number"

case_ "names the file cannot hold are refused before anything is read or written"
cp v.klv before.klv
run "$m" vault add v.klv --title X --group 'a//b'
expect_failure 2 "the group path 'a//b' has an empty group name"
run "$m" vault add v.klv --title X --group ''
expect_failure 2 "the group must not be empty"
run "$m" vault edit v.klv 1 --group 'x/'
expect_failure 2 "has an empty group name"
run "$m" vault add v.klv --user nobody
expect_failure 2 "a record needs a --title"
run "$m" vault edit v.klv 1 --password --generate
expect_failure 2 "exclude each other"
cmp -s v.klv before.klv || fail "the file changed"

case_ "groups nest: 'Work/Dev' is a group within Work, '\\/' a '/' within a name"
cp before.klv nest.klv
run "$m" vault add nest.klv --title Deep --group 'Work/Dev' --generate
expect_success
run "$m" vault add nest.klv --title Slash --group 'a\/b' --generate
expect_success
run "$m" vault list nest.klv --group 'Work/Dev'
expect_out "Deep"
run "$m" vault show nest.klv Slash
expect_out 'a\/b'
run "$m" vault export nest.klv --format json
expect_out '"Work/Dev"'

case_ "a wrong master password opens nothing and changes nothing"
run 'wrong\nx\n' vault add v.klv --title X
expect_failure 3 "cannot open 'v.klv': wrong master password"
cmp -s v.klv before.klv || fail "the file changed"

case_ "damaged files"
cp v.klv cut.klv
truncate -s 100 cut.klv
run "$m" vault list cut.klv
expect_failure 4 "cannot open 'cut.klv': the file is damaged"
size=$(stat -c %s v.klv)
cp v.klv flipped.klv
flip_byte flipped.klv $((size - 20))
run "$m" vault list flipped.klv
expect_failure 4 "cannot open 'flipped.klv'"
cp v.klv tag.klv
flip_byte tag.klv 0
run "$m" vault list tag.klv
expect_failure 4 "Wrong storage tag"
run "$m" vault list absent.klv
expect_failure 6 "Cannot open file"

case_ "usage errors"
run "" vault
expect_failure 2 "missing action"
run "" vault open v.klv
expect_failure 2 "unknown action 'open'"
run "" vault shwo v.klv
expect_failure 2 "did you mean 'show'?"
run "$m" vault list
expect_failure 2 "missing vault file"
run "$m" vault list v.klv --reveal
expect_failure 2 "unknown option '--reveal'"

case_ "text that is not UTF-8 is refused before anything is opened"
# caf\xe9 and caf\xe8 would both become "caf\uFFFD": one would open the other's vault.
run 'caf\xe9\n' vault create latin1.klv
expect_failure 2 "the secret is not valid UTF-8 text"
[ ! -e latin1.klv ] || fail "vault written"
run 'caf\xc3\xa9\n' vault create utf8.klv
expect_success
run 'caf\xe8\n' vault list utf8.klv
expect_failure 2 "the secret is not valid UTF-8 text"
run "$m" vault add v.klv --title $'caf\xe9'
expect_failure 2 "argument 5 is not valid UTF-8 text"

case_ "move-group takes a group, its subgroups and records to a new path, in a vault and a KDBX file"
for file in moves.klv moves.kdbx; do
  run "$m" vault create "$file" --kdf-memory 8 --kdf-passes 1
  expect_success
  run "${m}pw\n" vault add "$file" --title Deep --group Work/Dev
  run "${m}pw\n" vault add "$file" --title Top --group Work
  run "${m}pw\n" vault add "$file" --title Home --group Home
  run "$m" vault move-group "$file" Work Old/Job
  expect_success
  expect_out "moved group 'Work' to 'Old/Job'"
  run "$m" vault list "$file"
  expect_out "Old/Job/Dev"
  expect_no_out "Work"
  run "$m" vault move-group "$file" Nowhere X
  expect_failure 5 "no group 'Nowhere'"
  run "$m" vault move-group "$file" Old/Job Home
  expect_failure 7 "a group 'Home' exists already"
  run "$m" vault move-group "$file" Old Old/Job/Dev/X
  expect_failure 2 "cannot move group 'Old' to 'Old/Job/Dev/X'"
done

case_ "a vault shared with chmod after create: another user of its group edits it first"
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "klpass vault: skipping the shared-vault case (needs root and setpriv to run as a second user)"
else
  # A second user and a group of their own, by number only: nothing is added to
  # the system's user list. The owner's umask would keep a new file private.
  second=64601 team=64602
  chmod 755 "$work"
  mkdir team
  chgrp "$team" team
  chmod 2770 team
  (umask 077 && run "$m" vault create team/v.klv --kdf-memory 8 --kdf-passes 1 && expect_success)
  chmod g+rw team/v.klv
  printf '#!/bin/sh\nexec setpriv --reuid=%d --regid=%d --groups=%d %q "$@"\n' "$second" "$second" "$team" \
    "$KLPASS" >as-second
  chmod 755 as-second
  KLPASS=$work/as-second run "${m}pw\n" vault add team/v.klv --title by-second
  expect_success
  run "${m}pw\n" vault add team/v.klv --title by-owner
  expect_success
  run "$m" vault list team/v.klv
  expect_out "by-second"
  expect_out "by-owner"
  [ "$(stat -c '%a' team/v.klv.lock)" = 644 ] || fail "lock file mode $(stat -c '%a' team/v.klv.lock)"
fi
