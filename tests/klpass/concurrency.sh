#!/usr/bin/env bash
# klpass under concurrent edits and odd files: parallel adds to one vault or
# user database each take the file's lock in turn (no update lost, or a clear
# failure), a held lock makes a command fail after its wait, and what is not a
# regular file is refused at once.
source "$(dirname "$0")/common.sh"
m='master\n'
runs=50

# adds_in_parallel CMD...: runs $runs copies of "klpass CMD... <i>" at once,
# each fed the master password and a record password; leaves in
# $work/par/<i>.status their exit statuses and in <i>.out / <i>.err their output.
# The lock wait is long enough for any machine: the runs take turns, and on a
# busy one a turn may come late.
adds_in_parallel() {
  rm -rf "$work/par"
  mkdir "$work/par"
  local pids=() i
  for ((i = 1; i <= runs; i++)); do
    (
      set +e
      printf '%b' "${m}pw$i\n" | KLPASS_LOCK_TIMEOUT=3600 "$KLPASS" "$@" "$i" >"$work/par/$i.out" 2>"$work/par/$i.err"
      echo $? >"$work/par/$i.status"
    ) &
    pids+=($!)
  done
  wait "${pids[@]}"
}

# nothing_lost NAMES: NAMES (one a line) is what the file holds after the
# parallel adds. Every run that said it added is there, every run that failed
# said why with the status of a busy file, and the file holds the successes
# and nothing else.
nothing_lost() {
  local names=$1 ok=0 i
  for ((i = 1; i <= runs; i++)); do
    if [ "$(cat "$work/par/$i.status")" -eq 0 ]; then
      grep -q added "$work/par/$i.out" || fail "run $i succeeded without saying so"
      grep -qx -- "$i" <<<"$names" || fail "run $i said it added, but its entry is not in the file"
      ok=$((ok + 1))
    else
      [ "$(cat "$work/par/$i.status")" -eq 6 ] || fail "run $i failed with status $(cat "$work/par/$i.status")"
      grep -q busy "$work/par/$i.err" || fail "run $i failed without saying why: $(cat "$work/par/$i.err")"
      ! grep -qx -- "$i" <<<"$names" || fail "run $i failed, but its entry is in the file"
    fi
  done
  [ "$(grep -c . <<<"$names")" -eq "$ok" ] || fail "the file holds $(grep -c . <<<"$names") entries for $ok successes"
}

case_ "parallel vault adds: every success kept, every failure explained"
# The cheapest derivation the files allow: the runs take turns, so each one's
# derivation adds to the whole test's time.
run "$m" vault create v.klv --kdf-memory 8 --kdf-passes 1
expect_success
adds_in_parallel vault add v.klv --title
run "$m" vault list v.klv
expect_success
nothing_lost "$(awk '/^ +[0-9]/ { print $2 }' <<<"$out")"

for kind in text encrypted; do
  case_ "parallel user adds: every success kept, every failure explained ($kind)"
  flags=()
  [ "$kind" = encrypted ] && flags=(--encrypted)
  create_flags=("${flags[@]}")
  [ "$kind" = encrypted ] && create_flags+=(--kdf-memory 8 --kdf-passes 1)
  run "$m" users create "u-$kind.db" "${create_flags[@]}"
  expect_success
  if [ "$kind" = encrypted ]; then
    adds_in_parallel users add "u-$kind.db" --encrypted
  else
    # A text database reads no master password: the first line is the user's.
    m='' adds_in_parallel users add "u-$kind.db"
  fi
  run "$( [ "$kind" = encrypted ] && echo "$m")" users list "u-$kind.db" "${flags[@]}"
  expect_success
  nothing_lost "$(awk '/^ +[0-9]/ { print $2 }' <<<"$out")"
done

case_ "a lock held too long makes an edit fail, changing nothing"
flock v.klv.lock sleep 30 &
holder=$!
sleep 0.3
before=$(sha256sum v.klv)
KLPASS_LOCK_TIMEOUT=0.5 run "${m}pw\n" vault add v.klv --title late
kill "$holder"
wait "$holder" 2>/dev/null || true
expect_failure 6 "busy"
[ "$before" = "$(sha256sum v.klv)" ] || fail "the vault changed"
KLPASS_LOCK_TIMEOUT=never run "${m}pw\n" vault add v.klv --title late
expect_failure 2 "KLPASS_LOCK_TIMEOUT"

case_ "a lock file is named '<target>.lock' up to the longest name, '.klpass-<hash>.lock' beyond"
for length in 250 251; do
  mkdir "long-$length"
  name=long-$length/$(printf 'n%.0s' $(seq "$length"))
  run "$m" vault create "$name" --kdf-memory 8 --kdf-passes 1
  expect_success
  run "${m}pw\n" vault add "$name" --title t
  expect_success
  locks=$(ls -A "long-$length" | grep -c 'lock$' || true)
  [ "$locks" -eq 1 ] || fail "$locks lock files for a name of $length bytes"
  if [ "$length" -eq 250 ]; then
    [ -e "$name.lock" ] || fail "no $length-byte-name.lock"
  else
    grep -qE <<<"$(ls -A "long-$length")" '^\.klpass-[0-9a-f]{8}\.lock$' || fail "no .klpass-<hash>.lock for $length bytes"
  fi
done

case_ "a vault shared by two users: each one's edits take the same lock"
if [ "$(id -u)" -ne 0 ]; then
  echo "klpass concurrency: skipping the two-user case (needs root to run as nobody)"
else
  chmod 755 "$work"
  mkdir shared
  chmod 777 shared
  printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups %q "$@"\n' "$KLPASS" >as-nobody
  chmod 755 as-nobody
  run "$m" vault create shared/v.klv --kdf-memory 8 --kdf-passes 1
  expect_success
  chmod 666 shared/v.klv
  chgrp 65534 shared/v.klv
  for turn in root nobody root nobody; do
    if [ "$turn" = root ]; then
      run "${m}pw\n" vault add shared/v.klv --title "by-$turn-$RANDOM"
    else
      KLPASS=$work/as-nobody run "${m}pw\n" vault add shared/v.klv --title "by-$turn-$RANDOM"
    fi
    expect_success
  done
  [ "$(stat -c '%a %g' shared/v.klv.lock)" = "644 65534" ] || fail "lock file: $(stat -c '%a %g' shared/v.klv.lock)"
  run "$m" vault list shared/v.klv
  [ "$(grep -c 'by-' <<<"$out")" -eq 4 ] || fail "not every user's record was kept"
  # A lock needs no write access: a user who may only read a database still
  # takes its lock to verify against it.
  run '' users create shared/u.db
  chmod 644 shared/u.db
  run 'alice pw\n' users add shared/u.db alice
  KLPASS=$work/as-nobody run 'alice pw\n' users verify shared/u.db alice
  expect_success
  [ "$(stat -c '%U %a' shared/u.db.lock)" = "root 644" ] || fail "lock file: $(stat -c '%U %a' shared/u.db.lock)"
fi

case_ "a FIFO or a device is refused at once"
mkfifo fifo
for target in fifo /dev/zero; do
  set +e
  timeout 10 "$KLPASS" users list "$target" >"$work/.out" 2>"$work/.err" </dev/null
  status=$?
  set -e
  out=$(cat "$work/.out")
  err=$(cat "$work/.err")
  expect_failure 6 "not a regular file"
  set +e
  printf '%b' "$m" | timeout 10 "$KLPASS" vault list "$target" >"$work/.out" 2>"$work/.err"
  status=$?
  set -e
  out=$(cat "$work/.out")
  err=$(cat "$work/.err")
  expect_failure 6 "not a regular file"
done

echo "klpass concurrency: all cases passed"
