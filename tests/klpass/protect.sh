#!/usr/bin/env bash
# klpass protect and unprotect: round trips for the user and the machine, and
# files that are damaged, foreign, missing or in the way.
source "$(dirname "$0")/common.sh"

case_ "a password comes back for the user, non-ASCII and spaces included"
run 'grüße aus Köln €\n' protect user.bin
expect_success
expect_out "protected into 'user.bin' for this user"
run '' unprotect user.bin
expect_success
[ "$out" = "grüße aus Köln €" ] || fail "came back as '$out'"
! grep -q 'Köln' user.bin || fail "password in clear in the file"

case_ "the user key folder and file are private"
[ "$(stat -c %a "$KLPASSWORD_KEY_DIR")" = 700 ] || fail "key folder mode"
[ "$(stat -c %a "$KLPASSWORD_KEY_DIR/user.key")" = 600 ] || fail "key file mode"

case_ "an empty password round-trips"
run '\n' protect empty.bin
expect_success
run '' unprotect empty.bin
expect_success
[ -z "$out" ] || fail "came back as '$out'"

case_ "a machine-bound password needs no user key"
run 'machine secret\n' protect machine.bin --machine
expect_success
expect_out "for this machine"
KLPASSWORD_KEY_DIR=$work/other-keys run '' unprotect machine.bin
expect_success
[ "$out" = "machine secret" ] || fail "came back as '$out'"

case_ "another user (another key) cannot read a user-bound password"
KLPASSWORD_KEY_DIR=$work/other-keys run 'theirs\n' protect theirs.bin
expect_success
KLPASSWORD_KEY_DIR=$work/other-keys run '' unprotect user.bin
expect_failure 4 "was protected by another user or on another machine"

case_ "another machine cannot read a machine-bound password"
echo fedcba9876543210fedcba9876543210 >other-id
KLPASSWORD_MACHINE_ID_FILE=$work/other-id run '' unprotect machine.bin
expect_failure 4 "cannot unprotect 'machine.bin'"

case_ "damaged files are refused: any changed byte, or cut short"
size=$(stat -c %s user.bin)
for offset in 0 5 $((size / 2)) $((size - 1)); do
  cp user.bin flipped.bin
  flip_byte flipped.bin "$offset"
  run '' unprotect flipped.bin
  expect_failure 4 "cannot unprotect 'flipped.bin': the file is damaged"
done
head -c 20 user.bin >cut.bin
run '' unprotect cut.bin
expect_failure 4 "the file is damaged"
: >zero.bin
run '' unprotect zero.bin
expect_failure 4 "the file is damaged"

case_ "an existing file is kept unless forced"
run 'other\n' protect user.bin
expect_failure 7 "'user.bin' already exists"
run '' unprotect user.bin
[ "$out" = "grüße aus Köln €" ] || fail "the file changed"
run 'other\n' protect user.bin --force
expect_success
run '' unprotect user.bin
[ "$out" = "other" ] || fail "not replaced"

case_ "a key folder open to others is refused, saying which check failed"
chmod 755 "$KLPASSWORD_KEY_DIR"
run 'x\n' protect loose.bin
expect_failure 6 "the key store cannot be used"
expect_err "is open to other users (mode 0755; it must be 0700)"
[ ! -e loose.bin ] || fail "file written"
run '' unprotect user.bin
expect_failure 6 "the key store cannot be used"
expect_err "is open to other users (mode 0755; it must be 0700)"
chmod 700 "$KLPASSWORD_KEY_DIR"
KLPASSWORD_KEY_DIR=$work/no-keys run '' unprotect user.bin
expect_failure 6 "No key folder $work/no-keys"
! grep -q "Windows error" <<<"$err" || fail "a Windows error number on this system"

case_ "a machine key, once made, binds machine-bound passwords"
run '' machine-key
expect_success
expect_out "made the machine key"
[ "$(stat -c %a "$KLPASSWORD_MACHINE_KEY_FILE")" = 644 ] || fail "machine key mode"
run '' machine-key
expect_success
expect_out "this machine already has a key"
run 'keyed secret\n' protect keyed.bin --machine
expect_success
run '' unprotect machine.bin
[ "$out" = "machine secret" ] || fail "an older machine-bound file no longer loads"
KLPASSWORD_MACHINE_KEY_FILE=$work/elsewhere/machine.key run '' unprotect keyed.bin
expect_failure 6 "No machine key file"

case_ "missing files and usage errors"
run '' unprotect absent.bin
expect_failure 6 "Cannot open file"
run 'x\n' protect missing-folder/p.bin
expect_failure 6 "cannot protect into 'missing-folder/p.bin'"
run '' protect p.bin
expect_failure 2 'no input for "Password to protect"'
run '' unprotect
expect_failure 2 "missing file name"
run '' protect a.bin b.bin
expect_failure 2 "unexpected argument 'b.bin'"
