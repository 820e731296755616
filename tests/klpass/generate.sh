#!/usr/bin/env bash
# klpass generate and derive: lengths, counts, alphabets, and reproducible
# derived passwords.
source "$(dirname "$0")/common.sh"

# Prints the distinct lengths of the lines of $out, ascending.
lengths() { awk '{ print length($0) }' <<<"$out" | sort -n | uniq | tr '\n' ' '; }

case_ "count and length are honoured, and the passwords differ"
run "" generate --count 50 --length 12
expect_success
[ "$(wc -l <<<"$out")" -eq 50 ] || fail "not 50 lines"
[ "$(lengths)" = "12 " ] || fail "lengths $(lengths)"
[ "$(sort -u <<<"$out" | wc -l)" -eq 50 ] || fail "repeated passwords"

case_ "a length range includes both ends and nothing outside"
run "" generate --count 400 --length 3-5 --no-symbols
expect_success
[ "$(lengths)" = "3 4 5 " ] || fail "lengths $(lengths)"

case_ "the default is one password of 16 characters"
run "" generate
expect_success
[ "$(lengths)" = "16 " ] || fail "lengths $(lengths)"

case_ "switches narrow the alphabet"
run "" generate --count 20 --length 30 --no-upper --no-lower --no-symbols
expect_success
! grep -q '[^0-9]' <<<"$out" || fail "a character outside the digits"
run "" generate --count 20 --length 30 --no-upper --no-lower --no-digits --no-symbols --custom 'xy'
expect_success
! grep -q '[^xy]' <<<"$out" || fail "a character outside the custom set"
grep -q x <<<"$out" && grep -q y <<<"$out" || fail "a custom character never drawn"

case_ "an empty alphabet is refused"
run "" generate --no-upper --no-lower --no-digits --no-symbols
expect_failure 2 "Empty alphabet"

case_ "bad lengths and counts are usage errors"
for args in "--length 0" "--length abc" "--length 9-3" "--length 5-" "--count 0" "--count 99999999999" "--length 4097"; do
  # shellcheck disable=SC2086
  run "" generate $args
  expect_failure 2 "must be a number"
done
run "" generate surplus
expect_failure 2 "unexpected argument 'surplus'"

case_ "a derived password is the same for the same master key and site"
run 'master key\n' derive example.com
expect_success
first=$out
[ "${#first}" -eq 16 ] || fail "length ${#first}"
run 'master key\n' derive example.com
[ "$out" = "$first" ] || fail "derived twice differently"

case_ "another site or another master key gives another password"
run 'master key\n' derive example.org
[ "$out" != "$first" ] || fail "same password for another site"
run 'master keY\n' derive example.com
[ "$out" != "$first" ] || fail "same password for another master key"

case_ "a shorter derived password is a prefix of a longer one"
run 'master key\n' derive example.com --length 40
expect_success
[ "${out:0:16}" = "$first" ] || fail "not a prefix"

case_ "the iteration count changes the derived password"
run 'master key\n' derive example.com --iterations 501
[ "$out" != "$first" ] || fail "iterations ignored"

case_ "derive needs a site, a master key on stdin and sound numbers"
run 'k\n' derive
expect_failure 2 "missing site address"
run "" derive example.com
expect_failure 2 'no input for "Master key"'
run 'k\n' derive example.com --iterations 0
expect_failure 2 "the iteration count must be a number"
