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

case_ "--each and minimums hold in every password; excluded characters never appear"
run "" generate --count 300 --length 6 --each --min-digits 2 --no-lookalike --exclude 'XYZ'
expect_success
while IFS= read -r line; do
  grep -q '[A-Z]' <<<"$line" && grep -q '[a-z]' <<<"$line" && grep -q '[0-9].*[0-9]' <<<"$line" &&
    grep -q '[^A-Za-z0-9]' <<<"$line" || fail "'$line' misses a set"
done <<<"$out"
! grep -q '[0Oo1Il|`'"'"'"XYZ]' <<<"$out" || fail "an excluded character"

case_ "--entropy prints the bits on standard error only"
run "" generate --length 10 --entropy
expect_status 0
[ "${#out}" -eq 10 ] || fail "password '$out'"
[ "$err" = "entropy: 65.5 bits" ] || fail "entropy line '$err'"

case_ "passphrases: words from the list, separator, capitals, an inserted digit"
run "" generate --passphrase
expect_success
[ "$(tr -cd - <<<"$out" | wc -c)" -eq 5 ] || fail "not six words"
printf 'alpha\nbeta\nbeta\n' >words.txt
run "" generate --passphrase --wordlist words.txt --words 4 --separator . --capitalize --insert digit --count 50 --entropy
expect_status 0
! grep -qvE '^([0-9]?(Alpha|Beta)[0-9]?\.){3}[0-9]?(Alpha|Beta)[0-9]?$' <<<"$out" || fail "malformed passphrase"
[ "$(tr -cd 0-9 <<<"$out" | wc -c)" -eq 50 ] || fail "not one digit each"
[ "$err" = "entropy: 9.6 bits" ] || fail "entropy line '$err'"

case_ "settings no password can meet, and mixed options, are refused"
run "" generate --length 4 --min-upper 3 --min-digits 2
expect_failure 2 "more than the password length"
run "" generate --no-digits --min-digits 1
expect_failure 2 "set that is off"
run "" generate --passphrase --each
expect_failure 2 "--each does not apply to passphrases"
run "" generate --capitalize
expect_failure 2 "add --passphrase"
printf 'only\n' >one.txt
run "" generate --passphrase --wordlist one.txt
expect_failure 2 "at least two distinct words"
run "" generate --passphrase --wordlist missing.txt
expect_failure 6 "cannot read the word list"

case_ "characters outside the Basic Multilingual Plane stay whole"
run "" generate --no-upper --no-lower --no-digits --no-symbols --custom '😀🔑' --length 8 --count 20
expect_success
[ -z "$(sed 's/😀//g; s/🔑//g' <<<"$out" | tr -d '\n')" ] || fail "split characters: $out"
[ "$(LC_ALL=C awk '{ print length($0) }' <<<"$out" | sort -u)" = 32 ] || fail "not 8 characters of 4 bytes each"

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
