#!/usr/bin/env bash
# klpass users on SQL databases: sqlite:PATH and postgresql://... wherever a
# file is taken, copies between every kind and back, and the exit status of an
# unreachable server or a newer schema. The PostgreSQL cases need the test
# cluster (KL_TEST_POSTGRES_FILE, made by the CTest fixture) and are skipped,
# saying so, without it.
source "$(dirname "$0")/common.sh"

fast=(--hash-memory 8 --hash-passes 1)
places=("sqlite:$work/users.db")
pg_state=${KL_TEST_POSTGRES_FILE:-}
if [ -n "$pg_state" ] && grep -q '^postgresql://' "$pg_state"; then
  server=$(cat "$pg_state")
  db=klpass_$$
  psql -q "$server" -c "CREATE DATABASE $db" >/dev/null
  places+=("${server/\/\/\/postgres?//\/\/$db?}")
else
  echo "PostgreSQL cases skipped: ${pg_state:+$(cat "$pg_state")}${pg_state:-no test cluster (run through ctest)}" >&2
fi

for place in "${places[@]}"; do
  kind=${place%%:*}
  case_ "$kind: create, add, verify, list; a second create is refused"
  run "" users create "$place" --max-failures 2
  expect_success
  run "" users create "$place"
  expect_failure 7 "exists there already"
  run "pw-a\n" users add "$place" "o'brien; DROP TABLE klp_users; --" "${fast[@]}"
  expect_out "with UID 1"
  run "pw-b\n" users add "$place" bob "${fast[@]}"
  expect_out "with UID 2"
  run "pw-a\n" users verify "$place" "o'brien; DROP TABLE klp_users; --" "${fast[@]}"
  expect_success
  run "" users list "$place"
  expect_out "o'brien; DROP TABLE klp_users; --"
  expect_out "bob"

  case_ "$kind: the failure limit is kept in the database"
  run "wrong\n" users verify "$place" bob "${fast[@]}"
  expect_status 3
  run "wrong\n" users verify "$place" bob "${fast[@]}"
  expect_status 3
  run "pw-b\n" users verify "$place" bob "${fast[@]}"
  expect_status 10
  run "" users unlock "$place" bob
  expect_success
  run "pw-b\n" users verify "$place" bob "${fast[@]}"
  expect_success

  case_ "$kind: copy to a text file and an encrypted one and back, UIDs and hashes unchanged"
  run "" users delete "$place" bob
  expect_success
  run "pw-c\n" users add "$place" carol "${fast[@]}"
  expect_out "with UID 3"
  run "" users copy "$place" "$work/copy-$kind.txt"
  expect_success
  expect_out "copied 2 users"
  grep -q "^3:carol::\$argon2id" "$work/copy-$kind.txt" || fail "the copy lacks carol with UID 3"
  run "Master#1\n" users copy "$work/copy-$kind.txt" "$work/copy-$kind.klu" --to-encrypted
  expect_success
  run "Master#1\n" users copy "$work/copy-$kind.klu" "sqlite:$work/back-$kind.db" --encrypted
  expect_success
  run "pw-c\n" users verify "sqlite:$work/back-$kind.db" carol "${fast[@]}"
  expect_success
  run "pw-d\n" users add "sqlite:$work/back-$kind.db" dave "${fast[@]}"
  expect_out "with UID 4"
  run "" users list "sqlite:$work/back-$kind.db"
  [ "$(cut -c1-6 <<<"$out" | tr -d ' ' | tr '\n' ,)" = "1,3,4," ] || fail "UIDs after the round trip: $out"
  printf '9\n5:fresh::$argon2id$x\n1:zed::$argon2id$x\n' >"$work/clash-$kind.txt" # zed's UID is taken
  run "" users copy "$work/clash-$kind.txt" "sqlite:$work/back-$kind.db"
  expect_failure 7 "nothing was copied"
  run "" users list "sqlite:$work/back-$kind.db"
  [ "$(wc -l <<<"$out")" -eq 3 ] || fail "a refused copy changed the target"

  case_ "$kind: guesses run at once are checked at most the limit's worth, the others refused as locked"
  run "pw\n" users add "$place" victim "${fast[@]}"
  rm -f rc.*
  for i in $(seq 1 10); do
    (set +e; printf 'bad\n' | "$KLPASS" users verify "$place" victim "${fast[@]}" >/dev/null 2>&1; echo $? >"rc.$i") &
  done
  wait
  [ "$(cat rc.* | grep -cx 3)" -eq 2 ] && [ "$(cat rc.* | grep -cx 10)" -eq 8 ] ||
    fail "exit statuses of 10 guesses at a limit of 2: $(cat rc.* | tr '\n' ' ')"
  run "" users delete "$place" victim
  expect_success
done

for place in "${places[@]}"; do
  kind=${place%%:*}
  case_ "$kind: a copy keeps failure counts, so a locked account stays locked"
  run "" users create "$work/locked-$kind.txt" --max-failures 2
  run "pw\n" users add "$work/locked-$kind.txt" mallory "${fast[@]}"
  run "pw\n" users add "$work/locked-$kind.txt" trent "${fast[@]}"
  for _ in 1 2; do run "bad\n" users verify "$work/locked-$kind.txt" mallory; done
  run "bad\n" users verify "$work/locked-$kind.txt" trent
  expect_status 3
  target="sqlite:$work/locked-copy.db"
  if [ "$kind" != sqlite ]; then
    psql -q "$server" -c "CREATE DATABASE ${db}_locked" >/dev/null
    target="${server/\/\/\/postgres?//\/\/${db}_locked?}"
  fi
  run "" users copy "$work/locked-$kind.txt" "$target"
  expect_success
  run "pw\n" users verify "$target" mallory "${fast[@]}"
  expect_failure 10 "locked after too many failed attempts"
  run "bad\n" users verify "$target" trent "${fast[@]}"
  expect_status 3
  run "pw\n" users verify "$target" trent "${fast[@]}"
  expect_status 10 # one failure came with the copy, one more reached the limit
  run "" users copy "$target" "$work/locked-back-$kind.txt"
  expect_success
  grep -q "^1:mallory::.*:failures=2\$" "$work/locked-back-$kind.txt" || fail "the count did not come back: $(cat "$work/locked-back-$kind.txt")"
done

if [ -n "${server:-}" ]; then
  case_ "a password in a postgresql:// URI is never shown, in output or in errors"
  psql -q "$server" -c "CREATE DATABASE ${db}_secret" >/dev/null
  secret_place="${server/postgresql:\/\/\/postgres?/postgresql:\/\/klp:Hunter2-user@/${db}_secret?}&password=Hunter2-param"
  no_secret() {
    ! grep -q Hunter2 <<<"$out$err" || fail "the password is shown"
  }
  run "" users create "$secret_place" --max-failures 1
  expect_success
  expect_out "klp:****@"
  expect_out "password=****"
  no_secret
  run "" users create "$secret_place"
  expect_status 7
  no_secret
  for action in add change verify delete add; do
    run "pw\n" users "$action" "$secret_place" eve "${fast[@]}"
    expect_success
    no_secret
  done
  run "pw\n" users add "$secret_place" eve "${fast[@]}"
  expect_status 7
  no_secret
  run "bad\n" users verify "$secret_place" eve "${fast[@]}"
  expect_status 3
  no_secret
  run "pw\n" users verify "$secret_place" eve "${fast[@]}"
  expect_status 10
  no_secret
  run "pw\n" users verify "$secret_place" nobody "${fast[@]}"
  expect_status 5
  no_secret
  for words in "unlock $secret_place eve" "set $secret_place --max-failures 4" "list $secret_place --schemes" \
    "info $secret_place" "upgrade $secret_place" "copy $secret_place $work/secret.txt" \
    "copy $work/secret.txt $secret_place"; do
    # shellcheck disable=SC2086
    run "" users $words
    no_secret
  done
  run "" users info "$secret_place"
  expect_success
  expect_out "postgresql://klp:****@/${db}_secret?"
  run "" users list "postgresql://klp:Hunter2-user@/x?host=$work/no-server&password=Hunter2-param"
  expect_status 6
  no_secret
fi

case_ "a password libpq quotes in its own error is not shown either"
for uri in "postgresql://klp:Hunter2%zz@/x?host=$work/no-server" "postgresql:///x?host=$work/no-server&password=Hunter2%zz"; do
  run "" users list "$uri"
  expect_failure 6 'invalid percent-encoded token: "****"'
  ! grep -q Hunter2 <<<"$out$err" || fail "the password is shown"
done

case_ "an unreachable server and a newer schema are exit status 6"
run "" users list "postgresql:///x?host=$work/no-server"
expect_failure 6 "Cannot connect to the user database"
run "" users list "sqlite:$work/missing.db"
expect_failure 6 "Cannot connect to the user database"
python3 -c "import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute('PRAGMA user_version=99'); c.commit()" \
  "$work/users.db"
run "" users list "sqlite:$work/users.db"
expect_failure 6 "newer version"
run "" users create "sqlite:$work/new.db" --encrypted
expect_failure 2 "--encrypted is for user database files"

echo "klpass users on SQL databases: all cases passed"
