#!/usr/bin/env bash
# Sets up, builds the library and the example host application `klpass`, and
# runs a scripted demonstration of every subcommand. Secrets are piped in, one
# line per prompt, as a script would give them; at a terminal klpass asks for
# them without echo. Everything happens in a temporary folder, removed at the
# end, with its own key folder, so the demonstration leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target klpass
klpass=$(realpath build/release/examples/klpass)

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
cd "$demo"
export KLPASSWORD_KEY_DIR=$demo/keys
# Machine-bound protection needs a machine id; a bare container may lack one.
if ! grep -qE '^[0-9a-f]{32}$' /etc/machine-id 2>/dev/null; then
  od -An -tx1 -N16 /dev/urandom | tr -d ' \n' >machine-id
  export KLPASSWORD_MACHINE_ID_FILE=$demo/machine-id
fi

step() { printf '\n== %s\n' "$*"; }
# The arguments as a shell would need them typed.
quoted() {
  local arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=@%+-]+$ ]]; then printf ' %s' "$arg"; else printf " '%s'" "$arg"; fi
  done
}
# Shows and runs klpass with its arguments.
run() {
  printf '$ klpass%s\n' "$(quoted "$@")"
  "$klpass" "$@" || printf '(exit status %d)\n' "$?"
}
# Shows and runs klpass with SECRETS (one per line, '\n' separated) piped in.
piped() {
  local secrets=$1
  shift
  printf '$ printf '\''%s'\'' | klpass%s\n' "$secrets" "$(quoted "$@")"
  printf '%b' "$secrets" | "$klpass" "$@" || printf '(exit status %d)\n' "$?"
}

step "check: passwords against a policy of twelve rules"
run check --user alice 'Tr0ub4dor&3' alice1990! 'xK9#mQ2$vL7&wZ5^'

step "check: the ready-made NIST policy, with strength estimates, as JSON"
printf '$ printf '\''password1\nTr0ub4dor&3\ncorrect horse battery staple\n'\'' | klpass check --policy nist --stdin --json\n'
printf 'password1\nTr0ub4dor&3\ncorrect horse battery staple\n' | "$klpass" check --policy nist --stdin --json ||
  printf '(exit status %d)\n' "$?"

step "generate: random passwords, a length range, a narrower alphabet, constraints, passphrases"
run generate --count 3
run generate --count 3 --length 8-12 --no-symbols
run generate --length 6 --no-upper --no-lower --no-symbols
run generate --count 3 --each --min-digits 2 --no-lookalike --entropy
run generate --count 2 --passphrase --words 5 --capitalize --entropy

step "hash: an Argon2id hash string to store anywhere, and its check"
hash=$(printf 'app password\n' | "$klpass" hash)
printf '$ printf '\''app password\\n'\'' | klpass hash\n%s\n' "$hash"
piped 'app password\n' hash --verify "$hash"
piped 'wrong password\n' hash --verify "$hash"

step "derive: the same master key and site always give the same password"
piped 'my master key\n' derive example.com
piped 'my master key\n' derive example.com --length 24

step "users: a text user database"
run users create users.txt
piped 'alice password\n' users add users.txt alice
piped 'bob password\n' users add users.txt bob
run users list users.txt
printf '$ cat users.txt\n'
cat users.txt
piped 'alice password\n' users verify users.txt alice
piped 'not her password\n' users verify users.txt alice
piped 'her new password\n' users change users.txt alice
run users delete users.txt bob
piped 'x\n' users verify users.txt bob

step "users: an encrypted user database under a master password"
piped 'db master\n' users create users.db --encrypted
piped 'db master\ncarol password\n' users add users.db carol --encrypted
piped 'db master\n' users list users.db --schemes --encrypted
piped 'wrong master\n' users list users.db --encrypted
run users info users.db

step "users: the same users in SQLite, locked after three failed attempts, then unlocked"
run users copy users.txt sqlite:users.sqlite
run users set sqlite:users.sqlite --max-failures 3
piped 'guess 1\n' users verify sqlite:users.sqlite alice
piped 'guess 2\n' users verify sqlite:users.sqlite alice
piped 'guess 3\n' users verify sqlite:users.sqlite alice
piped 'her new password\n' users verify sqlite:users.sqlite alice
run users unlock sqlite:users.sqlite alice
piped 'her new password\n' users verify sqlite:users.sqlite alice

step "vault: password records in an encrypted file"
piped 'vault master\n' vault create my.vault
run vault info my.vault
piped 'vault master\ngh-secret\n' vault add my.vault --title GitHub --user alice --url https://github.com
piped 'vault master\n' vault add my.vault --title VPN --user alice --group Work --generate --length 24
piped 'vault master\nbank-secret\n' vault add my.vault --title Bank --user alice99 --group Personal --note "card PIN elsewhere"
piped 'vault master\n' vault list my.vault
piped 'vault master\n' vault list my.vault --group Work
piped 'vault master\n' vault search my.vault alice --field user --exact
piped 'vault master\n' vault show my.vault 2
piped 'vault master\n' vault show my.vault 2 --reveal
piped 'vault master\n' vault edit my.vault 1 --group Work --note "moved to work"
piped 'vault master\n' vault delete my.vault 3
piped 'vault master\n' vault list my.vault
piped 'wrong master\n' vault list my.vault
piped 'vault master\nnew vault master\n' vault passwd my.vault
piped 'new vault master\n' vault list my.vault --group Work

step "vault: a record by its title, custom fields, a one-time password, JSON, an audit"
piped 'new vault master\n' vault show my.vault VPN --reveal
piped 'new vault master\n' vault edit my.vault VPN --tag work --field 'otp=otpauth://totp/VPN:alice?secret=JBSWY3DPEHPK3PXP'
piped 'new vault master\n' vault totp my.vault VPN
piped 'new vault master\n' vault list my.vault --json
piped 'new vault master\n' vault audit my.vault

step "vault export / import: records moved out in clear, and into another vault"
piped 'new vault master\n' vault export my.vault --format csv --out my.csv
printf '$ cat my.csv\n'
cat my.csv
piped 'other master\n' vault create other.vault
piped 'other master\n' vault import other.vault my.csv --group Moved
piped 'other master\n' vault list other.vault

step "protect / unprotect: a password bound to this user, or to this machine"
piped 'service secret\n' protect service.pw
run unprotect service.pw
piped 'shared secret\n' protect shared.pw --machine
run unprotect shared.pw
printf 'x' | dd of=service.pw bs=1 seek=30 conv=notrunc status=none
printf '$ (one byte of service.pw changed)\n'
run unprotect service.pw

step "done: the demonstration folder is removed"
