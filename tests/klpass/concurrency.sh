#!/usr/bin/env bash
# klpass under concurrent edits and odd files: parallel adds to one vault or
# user database each take the file's lock in turn (no update lost, or a clear
# failure), a held lock makes a command fail after its wait, and what is not a
# regular file is refused at once.
source "$(dirname "$0")/common.sh"
m='master\n'
runs=50

# adds_in_parallel LABEL CMD...: runs $runs copies of "klpass CMD... <i>" at
# once, each fed the master password and a record password; leaves in
# $work/par/<i>.status their exit statuses and in <i>.out / <i>.err their output.
adds_in_parallel() {
  rm -rf "$work/par"
  mkdir "$work/par"
  local pids=() i
  for ((i = 1; i <= runs; i++)); do
    (
      set +e
      printf '%b' "${m}pw$i\n" | "$KLPASS" "$@" "$i" >"$work/par/$i.out" 2>"$work/par/$i.err"
      echo $? >"$work/par/$i.status"
    ) &
    pids+=($!)
  done
  wait "${pids[@]}"
}

# Every run either said it added (exit 0) or said why not (non-zero, message).
# Prints the number of successes.
successes() {
  local ok=0 i
  for ((i = 1; i <= runs; i++)); do
    if [ "$(cat "$work/par/$i.status")" -eq 0 ]; then
      grep -q added "$work/par/$i.out" || fail "run $i succeeded without saying so"
      ok=$((ok + 1))
    else
      [ -s "$work/par/$i.err" ] || fail "run $i failed silently"
    fi
  done
  echo "$ok"
}

case_ "50 parallel vault adds give 50 records"
run "$m" vault create v.klv
expect_success
adds_in_parallel vault add v.klv --title
ok=$(successes)
[ "$ok" -eq "$runs" ] || fail "only $ok of $runs adds succeeded"
run "$m" vault list v.klv
for ((i = 1; i <= runs; i++)); do expect_out " $i"; done
[ "$(grep -c '^ *[0-9]' <<<"$out")" -eq "$runs" ] || fail "the vault does not hold $runs records"

for kind in text encrypted; do
  case_ "50 parallel user adds give 50 users ($kind)"
  flags=()
  [ "$kind" = encrypted ] && flags=(--encrypted)
  run "$m" users create "u-$kind.db" "${flags[@]}"
  expect_success
  if [ "$kind" = encrypted ]; then
    adds_in_parallel users add "u-$kind.db"
  else
    # A text database reads no master password: the first line is the user's.
    m='' adds_in_parallel users add "u-$kind.db"
  fi
  ok=$(successes)
  [ "$ok" -eq "$runs" ] || fail "only $ok of $runs adds succeeded"
  run "$( [ "$kind" = encrypted ] && echo "$m")" users list "u-$kind.db"
  [ "$(grep -c '^ *[0-9]' <<<"$out")" -eq "$runs" ] || fail "the database does not hold $runs users"
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
