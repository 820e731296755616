#!/usr/bin/env bash
# klpass users: the limit of consecutive failed verifications (exit status 10
# once reached, until 'unlock'), and server keys from a pepper file.
source "$(dirname "$0")/common.sh"

hashes=(--hash-memory 1 --hash-passes 1)
for kind in text encrypted; do
  db=lock-$kind.db
  master=""
  kind_flag=()
  create_flags=()
  if [ "$kind" = encrypted ]; then
    master='Master#1\n'
    kind_flag=(--encrypted)
    create_flags=(--encrypted --kdf-memory 8 --kdf-passes 1)
  fi

  case_ "$kind: create with a limit; the failure count survives each run"
  run "$master" users create "$db" "${create_flags[@]}" --max-failures 2
  expect_success
  run "${master}pw\n" users add "$db" alice "${kind_flag[@]}" "${hashes[@]}"
  expect_success
  run "${master}bad\n" users verify "$db" alice "${kind_flag[@]}"
  expect_failure 3 "wrong password for user 'alice'"
  run "${master}bad\n" users verify "$db" alice "${kind_flag[@]}"
  expect_failure 3 "wrong password"

  case_ "$kind: at the limit even the right password is refused until unlock"
  run "${master}pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_failure 10 "locked after too many failed attempts"
  run "$master" users unlock "$db" alice "${kind_flag[@]}"
  expect_success
  expect_out "unlocked user 'alice'"
  run "${master}pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_success
  run "$master" users unlock "$db" nobody "${kind_flag[@]}"
  expect_failure 5 "no such user"

  case_ "$kind: set changes the limit; a success resets the count"
  run "$master" users set "$db" --max-failures 1 "${kind_flag[@]}"
  expect_success
  expect_out "lock after 1 consecutive failed attempts"
  run "${master}bad\n" users verify "$db" alice "${kind_flag[@]}"
  expect_status 3
  run "${master}pw\n" users verify "$db" alice "${kind_flag[@]}"
  expect_status 10
done

case_ "text: guesses run at once are checked at most the limit's worth, the others refused as locked"
run "" users create par.db --max-failures 3
run "pw\n" users add par.db victim "${hashes[@]}"
for i in $(seq 1 8); do
  (set +e; printf 'bad\n' | KLPASS_LOCK_TIMEOUT=600 "$KLPASS" users verify par.db victim >/dev/null 2>&1; echo $? >"rc.$i") &
done
wait
[ "$(cat rc.* | grep -cx 3)" -eq 3 ] && [ "$(cat rc.* | grep -cx 10)" -eq 5 ] ||
  fail "exit statuses of 8 guesses at a limit of 3: $(cat rc.* | tr '\n' ' ')"
grep -q '^1:victim::.*:failures=3$' par.db || fail "stored count: $(cat par.db)"

case_ "the limit goes with create and set only, and set needs it"
run "" users add lock-text.db bob --max-failures 3
expect_failure 2 "--max-failures goes with 'create' and 'set' only"
run "" users set lock-text.db
expect_failure 2 "'set' needs --max-failures N"
run "" users set lock-text.db --max-failures -1
expect_status 2

case_ "a pepper file keys new hashes; rotation keys old records again on verify"
printf 'old 000102030405060708090a0b0c0d0e0f\n' >keys-old
printf 'new 101112131415161718191a1b1c1d1e1f\nold 000102030405060708090a0b0c0d0e0f\n' >keys-both
printf 'new 101112131415161718191a1b1c1d1e1f\n' >keys-new
run "" users create pep.db
run "pw\n" users add pep.db carol --pepper-file keys-old "${hashes[@]}"
expect_success
run "" users list pep.db --schemes
expect_out "keyed with a server key (\$kl-argon2id-hmac\$k=old)"
run "pw\n" users verify pep.db carol
expect_failure 6 "pepper key a record names is not loaded: old"
KLPASS_PEPPER_FILE=keys-both run "pw\n" users verify pep.db carol "${hashes[@]}"
expect_success
expect_out "its hash was upgraded"
run "" users list pep.db --schemes
expect_out "k=new"
KLPASS_PEPPER_FILE=keys-new run "pw\n" users verify pep.db carol "${hashes[@]}"
expect_success
case_ "other bytes under a key's identifier are a configuration error that counts nothing"
printf 'new 2122232425262728292a2b2c2d2e2f20\n' >keys-new-wrong
run "" users set pep.db --max-failures 1
for _ in 1 2; do
  run "pw\n" users verify pep.db carol --pepper-file keys-new-wrong "${hashes[@]}"
  expect_failure 6 "not the one the user database was made with: new"
done
cp pep.db pep.before
run "pw\n" users add pep.db dave --pepper-file keys-new-wrong "${hashes[@]}"
expect_failure 6 "not the one the user database was made with: new"
cmp -s pep.db pep.before || fail "a refused key changed the file"
KLPASS_PEPPER_FILE=keys-new run "pw\n" users verify pep.db carol "${hashes[@]}"
expect_success
printf 'new 00\n' >keys-bad
run "pw\n" users verify pep.db carol --pepper-file keys-bad
expect_failure 6 "Invalid pepper key file: line 1"
