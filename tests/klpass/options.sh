#!/usr/bin/env bash
# Every cost and shaping option of klpass changes what comes out, by a table
# each: a cost given alone keeps the other at its default, an upgrade or a
# passwd with a cost saves at that cost, a search for what no record holds
# answers none, and the crack times are the guesses at their attack's rate.
source "$(dirname "$0")/common.sh"

m='Options master\n'

case_ "hash: each cost option sets its own part of the hash, the other keeps its default"
while read -r options cost; do
  # shellcheck disable=SC2086
  run 'pw\n' hash ${options//,/ }
  expect_success
  expect_out "\$argon2id\$v=19\$$cost,p=1\$"
done <<'EOF'
--hash-memory,2 m=2048,t=2
--hash-passes,1 m=65536,t=1
--hash-memory,1,--hash-passes,3 m=1024,t=3
EOF

# info_cost FILE: "MIB passes" from the file's header.
info_cost() {
  run '' vault info "$1" --json
  sed -E 's/.*"memory_kib":([0-9]+),"passes":([0-9]+).*/\1 \2/' <<<"$out"
}

case_ "vault create, upgrade and passwd save at the cost they are given"
while read -r verb options expected; do
  [ "$verb" = create ] && rm -f v.klv
  # shellcheck disable=SC2086
  run "$m$m" vault "$verb" v.klv ${options//,/ }
  [ "$status" -eq 0 ] || fail "vault $verb $options: exit status $status"
  [ "$(info_cost v.klv)" = "$expected" ] || fail "vault $verb $options: cost $(info_cost v.klv), expected $expected"
done <<'EOF'
create --kdf-memory,8,--kdf-passes,1 8192 1
create --kdf-memory,16 16384 3
create --kdf-passes,1 65536 1
upgrade --kdf-memory,8,--kdf-passes,2 8192 2
passwd --kdf-memory,16,--kdf-passes,1 16384 1
EOF
run "$m" vault list v.klv
expect_success

case_ "users create --encrypted saves at its cost and with its limit of failures"
run "$m" users create u.db --encrypted --kdf-memory 8 --kdf-passes 2 --max-failures 7
expect_success
run '' users info u.db
expect_out "Argon2id 8 MiB, 2 passes"
run '' users create t.db --max-failures 2
run 'alice pw\n' users add t.db alice
for _ in 1 2; do run 'wrong\n' users verify t.db alice; done
run 'alice pw\n' users verify t.db alice
[ "$status" -ne 0 ] || fail "the limit of 2 failures was ignored"

case_ "vault search: only what matches, never a record for a text no record holds"
run "$m" vault create s.klv --kdf-memory 8 --kdf-passes 1
run "${m}pw1\n" vault add s.klv --title Mail --user alice --url https://mail.example
run "${m}pw2\n" vault add s.klv --title Mailbox --user bob --note "PIN here"
while read -r options found; do
  # shellcheck disable=SC2086
  run "$m" vault search s.klv ${options//,/ }
  titles=$( (grep -oE 'Mail(box)?' <<<"$out" || true) | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$titles" = "$found" ] || fail "search $options: found '$titles', expected '$found'"
done <<'EOF'
Mail Mail Mailbox 
Mail,--exact Mail 
bob,--field,user Mailbox 
PIN,--field,note Mailbox 
alice,--field,note 
nothing 
EOF

case_ "derive: the iterations, the length and the alphabet each change the password"
while read -r options; do
  # shellcheck disable=SC2086
  run "${m}" derive example.com ${options//,/ }
  expect_success
  printf '%s %s\n' "$options" "$out" >>derived
done <<'EOF'
--iterations,10
--iterations,11
--iterations,10,--length,24
--iterations,10,--no-symbols
EOF
[ "$(awk '{ print $2 }' derived | sort -u | wc -l)" -eq 4 ] || fail "two options gave one password: $(cat derived)"
[ "$(awk '$1 == "--iterations,10,--length,24" { print length($2) }' derived)" -eq 24 ] || fail "length ignored"
grep -E '^--iterations,10,--no-symbols [A-Za-z0-9]+$' derived >/dev/null || fail "symbols kept: $(cat derived)"

case_ "generate: each alphabet and minimum option shapes every password"
while read -r options pattern; do
  # shellcheck disable=SC2086
  run '' generate --count 5 --length 40 ${options//,/ }
  expect_success
  bad=$(grep -cvE "$pattern" <<<"$out" || true)
  [ "$bad" -eq 0 ] || fail "generate $options: $bad of 5 do not match $pattern"
done <<'EOF'
--no-upper ^[^A-Z]{40}$
--no-lower ^[^a-z]{40}$
--no-digits ^[^0-9]{40}$
--no-symbols ^[A-Za-z0-9]{40}$
--min-upper,16 ^([^A-Z]*[A-Z]){16}
--min-digits,8 ^([^0-9]*[0-9]){8}
--no-lookalike ^[^0OoIl1|`'"]{40}$
--exclude,abcdefghijklmnopqrstuvwxyz ^[^a-z]{40}$
EOF
run '' generate --passphrase --words 3 --separator + --capitalize --insert digit
expect_success
grep -qE '^[A-Z][^+]*\+[A-Z][^+]*\+[A-Z][^+]*$' <<<"${out//[0-9]/}" || fail "passphrase shape: $out"
grep -q '[0-9]' <<<"$out" || fail "no digit inserted: $out"

case_ "check --json: each crack time is the guesses at its attack's rate; --user and --min-score apply"
run 'correct horse battery\n' check --json --stdin
python3 - "$out" <<'EOF' || fail "crack times: $out"
import json, sys
line = json.loads(sys.argv[1])
rates = {"online_throttling_100_per_hour": 100 / 3600, "online_no_throttling_10_per_second": 10,
         "offline_slow_hashing_1e4_per_second": 1e4, "offline_fast_hashing_1e10_per_second": 1e10}
seconds = line["crack_times_seconds"]
assert list(seconds) == list(rates), seconds
for name, rate in rates.items():
    assert abs(seconds[name] * rate / line["guesses"] - 1) < 1e-2, (name, seconds[name], line["guesses"])
EOF
run 'Mzorbacorp-Portal-77\n' check --stdin --user zorbacorp
expect_out "ILLEGAL_USERNAME"
run 'Mzorbacorp-Portal-77\n' check --stdin
expect_no_out "ILLEGAL_USERNAME"
run 'summer-summer-2024\n' check --policy nist --stdin --min-score 4
expect_out "TOO_WEAK"
run 'summer-summer-2024\n' check --policy nist --stdin
expect_no_out "TOO_WEAK"
run 'kettle-42\n' check --policy nist --stdin --multi-factor
expect_no_out "TOO_SHORT"
run 'kettle-42\n' check --policy nist --stdin
expect_out "TOO_SHORT"
