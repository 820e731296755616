#!/usr/bin/env bash
# klpass hash, and the password hash forms of klpass users: Argon2id for new
# passwords, the upgrade of old salted SHA-256 records, and the scheme listing.
source "$(dirname "$0")/common.sh"

cheap=(--hash-memory 1 --hash-passes 1)

case_ "hash prints an Argon2id string that verifies its password only"
run 'pw\n' hash "${cheap[@]}"
expect_success
expect_out '$argon2id$v=19$m=1024,t=1,p=1$'
hash=$out
run 'pw\n' hash --verify "$hash"
expect_success
expect_out "the password matches the hash"
run 'pw \n' hash --verify "$hash"
expect_failure 3 "the password does not match the hash"

case_ "hash --verify refuses malformed and over-costly strings"
run 'pw\n' hash --verify '$argon2id$v=19$m=1024,t=1,p=1$bad'
expect_failure 4 "not a valid Argon2id password hash"
run 'pw\n' hash --verify '$argon2id$v=19$m=4294967295,t=1,p=1$c2FsdHNhbHRzYWx0c2FsdA$azfZBd5qxhOl2u4YH28/7xKwTHeWsd0r8eHso4Brzb4'
expect_failure 4 "asks for more memory or passes than allowed"

# A text database as files made before Argon2id hold it: salt and SHA-256
# (of the salt and "secret") in hex.
old_salt=000102030405060708090A0B0C0D0E0F
old_hash=67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C
printf '2\n1:alice:%s:%s\n2:bob:%s:%s\n' $old_salt $old_hash $old_salt $old_hash >old.db

case_ "users add writes an Argon2id string"
run 'carol pw\n' users add old.db carol "${cheap[@]}"
expect_success
grep -q '^3:carol::\$argon2id\$v=19\$m=1024,t=1,p=1\$' old.db || fail "carol's line: $(cat old.db)"

case_ "users list --schemes shows each user's hash form"
run '' users list old.db --schemes
expect_success
expect_out "sha256 (old form, weak)"
expect_out "argon2id, 1024 KiB, 1 pass, 1 lane"

case_ "users verify replaces an old hash on success only, and saves it"
run 'wrong\n' users verify old.db alice "${cheap[@]}"
expect_failure 3 "wrong password for user 'alice'"
# The hash stays; the failed attempt is counted after it.
grep -q "^1:alice:$old_salt:$old_hash:failures=1\$" old.db || fail "alice's line changed: $(cat old.db)"
run 'secret\n' users verify old.db alice "${cheap[@]}"
expect_success
expect_out "its hash was upgraded"
grep -q '^1:alice::\$argon2id\$' old.db || fail "alice's line: $(cat old.db)"

case_ "users upgrade leaves no old hash in the file, and the wrapped one verifies"
run '' users upgrade old.db "${cheap[@]}"
expect_success
expect_out "wrapped 1 old password hash in Argon2id"
! grep -q "$old_hash" old.db || fail "an old hash is left: $(cat old.db)"
run '' users list old.db --schemes
expect_out "sha256 wrapped in kl-sha256-argon2id, 1024 KiB, 1 pass, 1 lane"
run 'secret\n' users verify old.db bob "${cheap[@]}"
expect_success
grep -q '^2:bob::\$argon2id\$' old.db || fail "bob's line: $(cat old.db)"
run '' users upgrade old.db
expect_out "wrapped 0 old password hashes"

case_ "an encrypted database is upgraded the same way"
run 'M\n' users create enc.db --encrypted
run 'M\nsecret\n' users add enc.db dave --encrypted "${cheap[@]}"
expect_success
run 'M\n' users list enc.db --schemes --encrypted
expect_out "argon2id, 1024 KiB"
