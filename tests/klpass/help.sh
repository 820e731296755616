#!/usr/bin/env bash
# klpass --help and -h after every command and action, and the bash completion
# the program prints (and installs): what it offers after each action.
source "$(dirname "$0")/common.sh"

run "" help vault
vault_help=$out
run "" help users
users_help=$out
run "" help blocklist
blocklist_help=$out

# Every action, asked both ways, with and without words before the option:
# its own usage lines (those 'klpass help COMMAND' prints for it), exit 0,
# nothing asked (standard input is empty) and nothing of another action.
actions=(
  "vault create" "vault info" "vault upgrade" "vault passwd" "vault add" "vault list" "vault search"
  "vault show" "vault copy" "vault edit" "vault totp" "vault attachment" "vault delete" "vault audit"
  "vault export" "vault import" "vault history" "vault restore" "vault merge" "vault move-group"
  "users create" "users info" "users upgrade" "users add" "users change" "users delete" "users verify"
  "users unlock" "users set" "users list" "users copy" "blocklist compile")
[ ${#actions[@]} -eq 32 ] || fail "the table lost an action"
for entry in "${actions[@]}"; do
  read -r command action <<<"$entry"
  case $command in vault) help=$vault_help ;; users) help=$users_help ;; *) help=$blocklist_help ;; esac
  # The usage line of the action as 'klpass help' shows it ("users add|change|...").
  line=$(grep -E "^  $command ([a-z|-]*\|)?$action(\|[a-z|-]*)? " <<<"$help" | head -n 1)
  [ -n "$line" ] || fail "'klpass help $command' shows no usage line for '$action'"
  # The usage lines of every other action.
  others=$(grep -E "^  $command [a-z]" <<<"$help" | grep -vE "^  $command ([a-z|-]*\|)?$action(\|[a-z|-]*)? " || true)
  for words in "--help" "-h" "file.kpv --help" "file.kpv x -h"; do
    case_ "klpass $command $action $words"
    # shellcheck disable=SC2086
    run "" "$command" "$action" $words
    expect_success
    expect_out "$line"
    [ -z "$others" ] || ! grep -qxFf <(printf '%s\n' "$others") <<<"$out" || fail "another action's usage shown"
  done
  case_ "klpass help $command $action says what --help says"
  help_out=$out
  run "" help "$command" "$action"
  expect_success
  [ "$out" = "$help_out" ] || fail "'help $command $action' differs from '$command $action -h'"
done

# Every top-level command: its usage, from --help and -h alike.
for entry in "check:  check [--policy" "blocklist:  blocklist compile" "generate:  generate --passphrase" \
  "derive:  derive SITE" "users:  users create FILE" "hash:  hash --verify HASH" "vault:  vault import FILE" \
  "protect:  protect FILE" "unprotect:  unprotect FILE" "machine-key:  machine-key" \
  "help:usage: klpass help" "completion:usage: klpass completion bash|zsh|fish"; do
  for flag in --help -h; do
    case_ "klpass ${entry%%:*} $flag"
    run "" "${entry%%:*}" "$flag"
    expect_success
    expect_out "${entry#*:}"
  done
done

case_ "a value '-h' is a value, and after -- a word"
run "M#1\nM#1\n" vault create v.kpv --kdf-memory 8 --kdf-passes 1
expect_success
run "M#1\nsecret\n" vault add v.kpv --title -h --user --help
expect_success
run "M#1\n" vault show v.kpv -- -h
expect_success
expect_out "--help"
run "" check -- -h
expect_status 1
expect_out "-h"

case_ "users takes options before the action"
run "" users --encrypted verify -h
expect_success
expect_out "  users add|change|verify FILE NAME"
expect_no_out "users set"

case_ "an unknown action is refused, with --help too"
run "" vault shwo --help
expect_failure 2 "unknown action 'shwo'; did you mean 'show'?"
run "" help vault shwo
expect_failure 2 "unknown action 'shwo'; did you mean 'show'?"

# Completion: the script 'klpass completion bash' prints, sourced into bash.
run "" completion bash
expect_success
printf '%s\n' "$out" >klpass.bash
# A klpass on PATH that leaves a mark: completion must never run the program
# (it would have to open a vault, and so ask its master password, for titles).
mkdir bin
printf '#!/bin/sh\ntouch %s/ran\n' "$work" >bin/klpass
chmod +x bin/klpass
mkdir files
touch files/vault.kpv files/keys.txt files/vanilla
complete_words() { # WORD... -> what bash completion offers for the last word, sorted
  (cd files && PATH=$work/bin:$PATH bash -c 'source ../klpass.bash; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
    _klpass </dev/null; printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "' _ "$@")
}
# WORDS (the last is the word being completed, '' for a new one) | expected
cases=(
  "klpass vault sh|show"
  "klpass vault show v.kpv --|--field --group --help --json --reveal"
  "klpass vault show v.kpv --ti|"
  "klpass vault add v.kpv --ti|--title"
  "klpass vault add v.kpv --no-l|--no-lookalike --no-lower"
  "klpass vault info v.kpv --|--help --json"
  "klpass vault delete v.kpv 1 --|--group --help --permanently --yes"
  "klpass vault history v.kpv 1 --|--group --help --json"
  "klpass vault res|restore"
  "klpass vault merge a.kpv b.kpv --|--dry-run --help"
  "klpass vault copy v.kpv 1 --field ''|note password title url user"
  "klpass vault search v.kpv x --field p|password"
  "klpass vault export v.kpv --format b|bitwarden-csv bitwarden-json browser-csv"
  "klpass vault export v.kpv --format k|kdbx keepassxc-csv"
  "klpass vault import v.kpv s --format a|auto"
  "klpass vault export v.kpv --out va|vanilla vault.kpv"
  "klpass vault show va|vanilla vault.kpv"
  "klpass vault show vault.kpv ''|keys.txt vanilla vault.kpv"
  "klpass vault show vault.kpv 1 --group ''|"
  "klpass vault add vault.kpv --title ''|"
  "klpass vault add vault.kpv --expires n|never"
  "klpass vault add vault.kpv --attach k|keys.txt"
  "klpass check --lang de,f|de,fr"
  "klpass check --lang ''|all de en es-es fr it nl-be pl pt-br"
  "klpass check --profile ''|zxcvbn zxcvbn-ts"
  "klpass check --policy n|nist"
  "klpass check --dict k|keys.txt"
  "klpass check --user ''|"
  "klpass generate --insert ''|digit symbol"
  "klpass blocklist compile --format s|sha1"
  "klpass blocklist --|--help"
  "klpass users --encrypted a|add"
  "klpass users add db alice --pe|--pepper-file"
  "klpass users delete db alice --|--encrypted --help"
  "klpass users add db alice --pepper-file k|keys.txt"
  "klpass users set db --max-failures ''|"
  "klpass help vault sh|show"
  "klpass help ex|exit-status"
  "klpass completion ''|--help bash fish zsh"
)
for entry in "${cases[@]}"; do
  case_ "completion of: ${entry%%|*}"
  eval "words=(${entry%%|*})"
  got=$(complete_words "${words[@]}")
  [ "$got" = "${entry#*|}" ] || fail "offered '$got', expected '${entry#*|}'"
done
[ ! -e "$work/ran" ] || fail "completion ran klpass"
