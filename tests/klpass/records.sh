#!/usr/bin/env bash
# klpass and what a record carries beside its texts: custom fields, tags,
# expiry, attachments and one-time passwords.
source "$(dirname "$0")/common.sh"

m='Records master\n'
run "$m" vault create r.klv --kdf-memory 8 --kdf-passes 1
head -c 70000 /dev/urandom >blob.bin
run "${m}pw\n" vault add r.klv --title Site --user ann --tag work --tag "two words" \
  --field "otp=otpauth://totp/Site:ann?secret=JBSWY3DPEHPK3PXP&issuer=Site" --field "Recovery=code 1" \
  --attach blob.bin --expires 2030-01-02
expect_success

case_ "show lists fields (protected ones masked), tags, expiry and attachments"
run "$m" vault show r.klv Site
expect_out "field otp: ******** (--reveal shows it)"
expect_out "field Recovery: code 1"
expect_out "tags:      work, two words"
expect_out "expires:   2030-01-02 00:00:00"
expect_out "attached:  blob.bin (70000 bytes)"
expect_no_out "JBSWY3DP"
run "$m" vault show r.klv Site --reveal --json
expect_out '"tags":["work","two words"]'
expect_out '{"name":"otp","protected":true,"value":"otpauth://totp/Site:ann?secret=JBSWY3DPEHPK3PXP&issuer=Site"}'
expect_out '"attachments":[{"name":"blob.bin","size":70000}]'

case_ "totp prints the code of the otp field for a given time"
run "$m" vault totp r.klv Site --time 1234567890
expect_out "742275 (valid 30 more seconds)"
[ "$status" -eq 0 ] || fail "totp failed"

case_ "the attachment comes back byte for byte"
run "$m" vault attachment r.klv Site blob.bin --out back.bin
expect_success
cmp -s blob.bin back.bin || fail "the attachment changed"
[ "$(stat -c %a back.bin)" = 600 ] || fail "the written attachment is readable by others"

case_ "edit adds, replaces and removes; a field read as a secret is protected"
run "${m}s3cret-value\n" vault edit r.klv Site --field PIN --remove-field Recovery --untag work --detach blob.bin \
  --expires never
expect_success
run "$m" vault show r.klv Site
expect_out "field PIN: ********"
expect_no_out "Recovery"
expect_no_out "attached:"
expect_no_out "expires:"
expect_out "tags:      two words"

case_ "search finds custom field values"
run "$m" vault search r.klv s3cret --field fields
expect_out "Site"

case_ "bad field names, tags and dates are refused before the master password is asked"
while IFS='|' read -r bad message; do
  run "" vault edit r.klv Site $bad
  expect_err "$message"
  [ "$status" -ne 0 ] || fail "accepted $bad"
done <<'CASES'
--field Password=x|cannot use the field 'Password'
--field =x|cannot use the field ''
--tag a;b|cannot use the tags
--expires 2030-13-01|'2030-13-01' is not a date
--attach missing.bin|cannot read the attachment 'missing.bin'
CASES
run "$m" vault totp r.klv 1 --time 0
expect_success
run "${m}pw\n" vault add r.klv --title Plain
run "$m" vault totp r.klv Plain
expect_err "The record has no one-time password"
[ "$status" -ne 0 ] || fail "a record without otp gave a code"


case_ "an export says what its layout leaves out"
run "$m" vault export r.klv --format csv --out r.csv
expect_status 0
expect_err "cannot carry 2 custom fields, 1 tags, 0 expiry dates and 0 attachments"
run "${m}pw\n" vault edit r.klv Site --field "note2=x" --tag t
run "$m" vault export r.klv --format json --out r.json
expect_err "cannot carry 3 custom fields, 2 tags, 0 expiry dates and 0 attachments; they were left out"
