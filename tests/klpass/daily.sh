#!/usr/bin/env bash
# klpass for daily use: records named by title, usage that helps a slip, and
# the version.
source "$(dirname "$0")/common.sh"

m='Daily master\n'
run "$m" vault create d.klv --kdf-memory 8 --kdf-passes 1
for record in "GitHub alice General" "GitHub bob Work" "Mail carol General"; do
  set -- $record
  run "${m}pw-$2\n" vault add d.klv --title "$1" --user "$2" --group "$3"
  expect_success
done

case_ "a unique title names its record in show, edit and delete"
run "$m" vault show d.klv Mail --reveal
expect_success
expect_out "#2 General / Mail"
expect_out "password:  pw-carol"
run "$m" vault edit d.klv Mail --note "renamed" --title Post
expect_out "changed record #2, now #2"
run "$m" vault show d.klv Post
expect_out "note:      renamed"

case_ "an ambiguous title lists its records by number, reveals nothing and exits 9"
for action in "show --reveal" "edit --note x" "delete --yes"; do
  run "$m" vault $action d.klv GitHub
  expect_failure 9 "'GitHub' is the title of 2 records"
  expect_err "#1  General / GitHub  (alice)"
  expect_err "#3  Work / GitHub  (bob)"
  ! grep -q "pw-" <<<"$err" || fail "a password was shown"
done
run "$m" vault show d.klv GitHub --group Work --reveal
expect_out "#3 Work / GitHub"
expect_out "password:  pw-bob"
run "$m" vault edit d.klv GitHub --from-group Work --group Home
expect_out "changed record #3, now #3"
run "$m" vault show d.klv GitHub --group Nowhere
expect_failure 5 "no record titled 'GitHub' in the group 'Nowhere'"
run "$m" vault show d.klv 1 --group Home
expect_failure 5 "record #1 is not in the group 'Home'"

case_ "delete asks only on a terminal; --yes and scripts go ahead"
run "$m" vault delete d.klv GitHub --group Home
expect_success
expect_out "moved record #3 'GitHub' to the recycle bin 'Recycle Bin'"
if command -v script >/dev/null; then
  # On a pseudo-terminal. Secret entry discards what was typed ahead, so the
  # master password is sent again until the question shows; a surplus line is
  # then read as the answer, which is not a yes either way.
  mkfifo pty.in
  script -qec "'$KLPASS' vault delete d.klv Post" /dev/null <pty.in >pty.out 2>&1 &
  pid=$!
  exec 3>pty.in
  for _ in $(seq 120); do
    grep -q "y/N" pty.out && break
    grep -q "Master password" pty.out && printf 'Daily master\n' >&3
    sleep 0.5
  done
  printf 'n\n' >&3
  exec 3>&-
  wait "$pid" || true
  grep -q "Delete record #2 'Post' of the group 'General'?" pty.out || fail "no question: $(cat pty.out)"
  grep -q "kept record #2 'Post'" pty.out || fail "deleted without a yes: $(cat pty.out)"
  run "$m" vault show d.klv Post
  expect_success
else
  echo "SKIP: no 'script' to give klpass a terminal; the question on a terminal is not tested" >&2
fi

case_ "bare klpass, an unknown command and an unknown topic give a short usage with the closest name"
run ""
expect_status 2
expect_err "usage: klpass <command>"
expect_err "'klpass help COMMAND'"
for pair in "genrate generate" "vualt vault" "chek check" "machinekey machine-key"; do
  set -- $pair
  run "" "$1"
  expect_failure 2 "unknown command '$1'; did you mean '$2'?"
done
run "" frobnicate
expect_failure 2 "unknown command 'frobnicate'"
! grep -q "did you mean" <<<"$err" || fail "a far word got a suggestion"
run "" help vaul
expect_failure 2 "unknown help topic 'vaul'; did you mean 'vault'?"

case_ "help TOPIC shows that command only; --version one line"
run "" help vault
expect_success
expect_out "vault show FILE RECORD"
expect_no_out "generate [--count"
run "" help exit-status
expect_out "9 a title names several"
run "" --version
expect_success
grep -qE '^klpass [0-9]+\.[0-9]+\.[0-9]+ \(libklpassword [0-9.]+\)$' <<<"$out" || fail "version line: $out"

case_ "list pads columns by terminal cells and escapes control characters"
run "$m" vault create c.klv --kdf-memory 8 --kdf-passes 1
run "${m}x\n" vault add c.klv --title '日本語' --user alice
run "${m}x\n" vault add c.klv --title $'cafe\xcc\x81' --user bob
run "${m}x\n" vault add c.klv --title $'evil\t\e[2J' --user carol --group $'G\x7f'
run "$m" vault list c.klv
expect_success
expect_out "    1  日本語$(printf '%18s') alice"
expect_out "    2  "$'cafe\xcc\x81'"$(printf '%20s') bob"
expect_out "    3  evil\\t\\x1b[2J"
expect_out 'G\x7f'
! grep -q $'\e' <<<"$out" || fail "an escape character reached the terminal"

case_ "--json gives one object for list, search, show and info"
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)" <<<"$out" || fail "not JSON: $out"; }
run "$m" vault list c.klv --json
expect_success
[ "$(json '[r["number"] for r in d["records"]], d["records"][2]["title"] == "evil\t\x1b[2J"')" = "[1, 2, 3] True" ] ||
  fail "list: $(json d)"
run "$m" vault search c.klv bob --json
[ "$(json '[r["user"] for r in d["records"]]')" = "['bob']" ] || fail "search: $out"
run "$m" vault show c.klv 1 --json
[ "$(json '"password" in d, d["title"], d["modified"], d["created"][4]')" = "False 日本語 None -" ] || fail "show: $out"
run "$m" vault show c.klv 1 --json --reveal
[ "$(json 'd["password"]')" = "x" ] || fail "show --reveal: $out"
run "" vault info c.klv --json
[ "$(json 'd["version"], d["authenticated"], d["kdf"]["memory_kib"], d["kdf"]["passes"]')" = "3 True 8192 1" ] ||
  fail "info: $out"

case_ "audit finds weak, reused, blocklisted and missing passwords, and exits 1"
run "$m" vault create a.klv --kdf-memory 8 --kdf-passes 1
for rec in "Strong vX9#qLm2\$Tr8!pZw" "Weak abc" "One Hn4\$kP9!wQz2#rTy" "Two Hn4\$kP9!wQz2#rTy" "Listed Zq7!vLp2#mRx9\$kW" "Empty "; do
  run "${m}${rec#* }\n" vault add a.klv --title "${rec%% *}"
  expect_success
done
printf 'Zq7!vLp2#mRx9$kW\n' >list.txt
run "" blocklist compile list.txt list.klbf
expect_status 0
run "$m" vault audit a.klv --blocklist list.klbf
expect_failure_out() { expect_status "$1"; [ -z "$err" ] || fail "standard error: $err"; }
expect_failure_out 1
expect_out "    2  General / Weak: weak (score 0)"
expect_out "    3  General / One: reused (also #4)"
expect_out "    4  General / Two: reused (also #3)"
expect_out "    5  General / Listed: on a blocklist"
expect_out "    6  General / Empty: no password"
expect_out "6 records: 1 weak (score below 3), 2 reused, 1 on a blocklist, 0 old, 1 without a password"
expect_no_out "Strong"
! grep -q 'Hn4\|abc\|Zq7' <<<"$out" || fail "a password was printed"
run "$m" vault audit a.klv --json --min-score 0
[ "$(json 'd["weak"], d["reused"], d["blocklisted"], [f["number"] for f in d["findings"]], d["findings"][1]["reused_with"]')" = "0 2 0 [3, 4, 6] [3]" ] ||
  fail "audit --json: $out"
run "$m" vault delete a.klv Weak --yes --permanently
run "$m" vault delete a.klv 2 --yes --permanently
run "$m" vault delete a.klv Listed --yes --permanently
run "$m" vault delete a.klv Empty --yes --permanently
run "$m" vault audit a.klv
expect_success
expect_out "2 records: nothing found"

case_ "audit's arguments are checked before the master password is asked"
run "" vault audit a.klv --min-score 5
expect_failure 2 "the minimum score must be a number from 0 to 4"
run "" vault audit a.klv --max-age 0
expect_failure 2 "the maximum age (days) must be a number"
run "" vault audit a.klv --blocklist list.txt
expect_failure 4 "cannot use the blocklist 'list.txt'"

case_ "copy puts the password on the clipboard and clears it later only if it is still there"
# Stub clipboard tools first on PATH: they keep the clipboard in a file and
# log each use, so no real clipboard is touched.
mkdir -p stubs
cat >stubs/wl-copy <<STUB
#!/bin/sh
if [ "\$1" = --clear ]; then rm -f '$work/clip'; echo clear >>'$work/clip.log'; else cat >'$work/clip'; echo copy >>'$work/clip.log'; fi
STUB
cat >stubs/wl-paste <<STUB
#!/bin/sh
echo paste >>'$work/clip.log'
cat '$work/clip' 2>/dev/null
STUB
chmod +x stubs/wl-copy stubs/wl-paste
# Waits (generously) until the log has a line, and fails if it never comes.
wait_for_log() { for _ in $(seq 240); do grep -qx "$1" clip.log 2>/dev/null && return 0; sleep 0.25; done; fail "no '$1' in the log"; }
PATH="$work/stubs:$PATH" WAYLAND_DISPLAY=stub run "$m" vault copy d.klv GitHub --clear-after 1
expect_success
expect_out "copied the password of #1 'GitHub' to the clipboard (wl-copy); it is cleared in 1 s"
[ "$(cat clip)" = "pw-alice" ] || fail "clipboard holds '$(cat clip)'"
wait_for_log clear
[ ! -e clip ] || fail "not cleared"

rm -f clip.log
PATH="$work/stubs:$PATH" WAYLAND_DISPLAY=stub run "$m" vault copy d.klv 1 --field user --clear-after 3
[ "$(cat clip)" = "alice" ] || fail "clipboard holds '$(cat clip)'"
printf 'copied elsewhere' >clip
wait_for_log paste
# The helper decides right after its paste; a clear would follow at once.
for _ in $(seq 8); do sleep 0.25; done
! grep -qx clear clip.log || fail "another program's value was cleared"
[ "$(cat clip)" = "copied elsewhere" ] || fail "clipboard holds '$(cat clip)'"

PATH="$work/stubs:$PATH" WAYLAND_DISPLAY=stub run "$m" vault copy d.klv 1 --clear-after 0
expect_out "it stays there"

case_ "copy without a clipboard fails clearly, and checks its arguments before the password"
PATH=/usr/bin:/bin WAYLAND_DISPLAY= DISPLAY= run "$m" vault copy d.klv 1
expect_failure 6 "no clipboard: copying needs wl-copy"
run "" vault copy d.klv 1 --field colour
expect_failure 2 "unknown field 'colour'"
run "" vault copy d.klv 1 --clear-after 99999
expect_failure 2 "the delay before clearing (seconds) must be a number from 0 to 3600"

case_ "check on a large plain list hints to compile it; a compiled one and a small list say nothing more"
seq 100000 300000 >big.txt
run "" check --blocklist big.txt 'vX9#qLm2$Tr8!pZw'
expect_err "hint: 'big.txt' is a plain list, read whole at every run; compiling it once"
run "" blocklist compile big.txt big.klbf
expect_success
run "" check --blocklist big.klbf 'vX9#qLm2$Tr8!pZw'
expect_success
run "" check --blocklist list.txt 'vX9#qLm2$Tr8!pZw'
expect_success

case_ "completion scripts and the manual page come from the help text"
run "" completion bash
expect_success
printf '%s\n' "$out" >klpass.bash
complete_words() { # COMP_WORDS... -> what bash completion offers for the last word
  bash -c 'source ./klpass.bash; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _klpass; echo "${COMPREPLY[*]}"' _ "$@"
}
[ "$(complete_words klpass va)" = "vault" ] || fail "command: $(complete_words klpass va)"
[ "$(complete_words klpass vault co)" = "copy" ] || fail "action: $(complete_words klpass vault co)"
[ "$(complete_words klpass users ver)" = "verify" ] || fail "action of a|b: $(complete_words klpass users ver)"
[ "$(complete_words klpass vault copy f --clear)" = "--clear-after" ] || fail "option: $(complete_words klpass vault copy f --clear)"
[ "$(complete_words klpass help vau)" = "vault" ] || fail "help topic"
run "" completion zsh
expect_out "#compdef klpass"
expect_out "vault) actions=(create info upgrade passwd add list search show copy edit totp attachment delete history restore merge move-group audit export import)"
run "" completion fish
expect_out "complete -c klpass -n '__fish_use_subcommand' -a 'vault'"
expect_out "complete -c klpass -n '__fish_seen_subcommand_from vault' -l clear-after"
run "" completion tcsh
expect_failure 2 "klpass completion bash|zsh|fish"
run "" help --man
expect_success
[ "$(head -c 3 <<<"$(sed -n 2p <<<"$out")")" = ".TH" ] || fail "no .TH line"
for section in ".SS vault" ".SS machine-key" '\-\-clear\-after' "SECRETS, LOCKS AND EXIT STATUS"; do expect_out "$section"; done
if command -v groff >/dev/null; then
  groff -man -Tutf8 -ww -z <<<"$out" 2>groff.err || fail "groff failed"
  [ ! -s groff.err ] || fail "groff warns: $(cat groff.err)"
fi
