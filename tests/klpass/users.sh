#!/usr/bin/env bash
# klpass users: the life of a text and of an encrypted user database, and every
# way opening, changing and verifying can fail.
source "$(dirname "$0")/common.sh"

# Runs the same lifecycle on a text (no master password) and an encrypted file.
for kind in text encrypted; do
  db=users-$kind.db
  master=""
  create_flags=()
  kind_flag=()
  if [ "$kind" = encrypted ]; then
    master='Master#1\n'
    create_flags=(--encrypted --kdf-memory 8 --kdf-passes 1)
    kind_flag=(--encrypted)
  fi

  case_ "$kind: create, then refuse to create over it unless forced"
  run "$master" users create "$db" "${create_flags[@]}"
  expect_success
  expect_out "created $kind user database '$db'"
  run "$master" users create "$db" "${create_flags[@]}"
  expect_failure 7 "'$db' already exists"

  case_ "$kind: add users with UIDs in order, and list them"
  run "${master}alice pw\n" users add "$db" alice "${kind_flag[@]}"
  expect_success
  expect_out "added user 'alice' with UID 1"
  run "${master}b\n" users add "$db" bob "${kind_flag[@]}"
  expect_out "with UID 2"
  run "${master}" users list "$db" "${kind_flag[@]}"
  expect_success
  expect_out "     1  alice"
  expect_out "     2  bob"

  case_ "$kind: verify accepts the password and nothing else"
  run "${master}alice pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_success
  expect_out "password of 'alice' verified"
  run "${master}alice pw \n" users verify "$db" alice "${kind_flag[@]}"
  expect_failure 3 "wrong password for user 'alice'"
  run "${master}\n" users verify "$db" alice "${kind_flag[@]}"
  expect_failure 3 "wrong password for user 'alice'"

  case_ "$kind: adding an existing user is refused before any password is read"
  run "$master" users add "$db" alice "${kind_flag[@]}"
  expect_failure 7 "user 'alice' already exists"

  case_ "$kind: change replaces the password"
  run "${master}new pw\n" users change "$db" alice "${kind_flag[@]}"
  expect_success
  run "${master}alice pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_status 3
  run "${master}new pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_success

  case_ "$kind: delete removes the user, and UIDs are not handed out again"
  run "$master" users delete "$db" alice "${kind_flag[@]}"
  expect_success
  run "$master" users list "$db" "${kind_flag[@]}"
  expect_no_out "alice"
  run "${master}c\n" users add "$db" carol "${kind_flag[@]}"
  expect_out "with UID 3"

  case_ "$kind: unknown users"
  for action in change delete verify; do
    run "${master}x\n" users "$action" "$db" alice "${kind_flag[@]}"
    expect_failure 5 "alice"
  done

  case_ "$kind: an empty user name is refused"
  run "${master}x\n" users add "$db" '' "${kind_flag[@]}"
  expect_failure 2 "the user name must not be empty"

  case_ "$kind: a missing file"
  run "$master" users list "absent-$db" "${kind_flag[@]}"
  expect_failure 6 "Cannot open file"
done

case_ "names the text format cannot carry are refused; the encrypted one takes them"
run 'x\n' users add users-text.db 'a:b'
expect_failure 2 "a user name must not hold ':'"
run 'Master#1\nx\n' users add users-encrypted.db 'a:b' --encrypted
expect_success

case_ "the text file holds Argon2id hashes, never the password"
run 'Pa55-word!\n' users add users-text.db dave
expect_success
! grep -q 'Pa55-word!' users-text.db || fail "password in the file"
grep -qE '^[0-9]+:dave::\$argon2id\$v=19\$m=65536,t=2,p=1\$[A-Za-z0-9+/]{22}\$[A-Za-z0-9+/]{43}$' users-text.db ||
  fail "no Argon2id line for dave"

case_ "the encrypted file holds no user name in clear"
! grep -q bob users-encrypted.db || fail "user name in the encrypted file"

case_ "the encrypted database wants its master password"
run 'Master#2\n' users list users-encrypted.db --encrypted
expect_failure 3 "cannot open 'users-encrypted.db': wrong master password"
run '' users list users-encrypted.db --encrypted
expect_failure 2 'no input for "Master password"'

case_ "an encrypted database needs a master password"
run '\n' users create empty-master.db --encrypted
expect_failure 2 "New master password must not be empty"
[ ! -e empty-master.db ] || fail "file written"

case_ "a damaged text database: a hash cut short makes verify fail as damaged"
sed -i 's/^\([0-9]*:bob:[0-9A-F]*:\)\(..\).*/\1\2/' users-text.db
run 'b\n' users verify users-text.db bob
expect_failure 4 "the database is damaged"
# Fields that are not hex, and a tag libsodium cannot decode, are damage too.
printf '1\n1:zed:000102030405060708090A0B0C0D0EZZ:BE45CB2605BF36BEBDE684841A28F0FD43C69850A3DCE5FEDBA69928EE3A8991\n' >nothex.db
run 'x\n' users verify nothex.db zed
expect_failure 4 "the database is damaged"
printf '1\n1:ann::$argon2id$v=19$m=8,t=1,p=1$c3Nzc3Nzc3M$Zsab9RJsC+57fxq7h2eFwR\n' >stray-bits.db
run 'secret\n' users verify stray-bits.db ann
expect_failure 4 "the database is damaged"
printf 'not a number\n' >garbage.db
run '' users list garbage.db
expect_failure 4 "cannot open 'garbage.db': the database is damaged"
printf -- '-2\n' >negative.db
run '' users list negative.db
expect_failure 4 "the database is damaged"
printf '1\n1:caf\xe9:00:00\n' >latin1.db
run 'pw\n' users add latin1.db someone
expect_failure 4 "Not valid UTF-8 text at line 2"
[ "$(od -An -tx1 latin1.db | tr -d ' \n')" = "310a313a636166e93a30303a30300a" ] || fail "the file was rewritten"

case_ "a damaged encrypted database"
cp users-encrypted.db cut.db
truncate -s 150 cut.db
run 'Master#1\n' users list cut.db --encrypted
expect_failure 4 "cannot open 'cut.db'"
cp users-encrypted.db flipped.db
flip_byte flipped.db 140
run 'Master#1\n' users list flipped.db --encrypted
expect_failure 4 "cannot open 'flipped.db'"

case_ "the command line, not the file, says what kind of database it is"
# Whoever may replace the encrypted database puts a text one in its place,
# holding a hash of a password of their choice for alice.
run 'mine\n' users create swapped.db
run 'mine\n' users add swapped.db alice
expect_success
cp users-encrypted.db kept.db
cp swapped.db users-encrypted.db
for action in verify change delete; do
  run 'mine\nmine\n' users "$action" users-encrypted.db alice --encrypted
  expect_failure 4 "'users-encrypted.db' is not an encrypted user database, and --encrypted asks for one"
done
run 'Master#1\n' users list users-encrypted.db --encrypted
expect_failure 4 "is not an encrypted user database"
cmp -s users-encrypted.db swapped.db || fail "the text file was rewritten"
cp kept.db users-encrypted.db
# The other way round: an encrypted file where a text one is asked for.
run 'Master#1\nx\n' users verify users-encrypted.db bob
expect_failure 4 "'users-encrypted.db' is an encrypted user database: give --encrypted"
run '' users list users-encrypted.db
expect_failure 4 "give --encrypted"
cmp -s users-encrypted.db kept.db || fail "the encrypted file changed"
run '' users info users-encrypted.db
expect_out "users-encrypted.db: version 3 (authenticated)"

case_ "--force replaces an existing database"
run '' users create users-text.db --force
expect_success
run '' users list users-text.db
expect_success
[ -z "$out" ] || fail "users left after --force"

case_ "usage errors"
run '' users
expect_failure 2 "missing action and database file"
run '' users rename users-text.db
expect_failure 2 "unknown action 'rename'"
run '' users add users-text.db
expect_failure 2 "missing user name"
run '' users list users-text.db extra
expect_failure 2 "unexpected argument 'extra'"
