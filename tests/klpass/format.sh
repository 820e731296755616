#!/usr/bin/env bash
# klpass and the encrypted file format: what is created, what info shows
# without the password, legacy files refused except by upgrade, and passwd.
data=$(realpath "$(dirname "$0")/../data")
source "$(dirname "$0")/common.sh"

m='Vault master\n'
small=(--kdf-memory 8 --kdf-passes 1)

case_ "a vault is created as version 3 with the default derivation cost"
run "$m" vault create default.klv
expect_success
run '' vault info default.klv
expect_success
expect_out "default.klv: version 3 (authenticated), Argon2id 64 MiB, 3 passes"

case_ "the cost options are checked and shown"
run "$m" vault create v.klv --kdf-memory 9 --kdf-passes 2
run '' vault info v.klv
expect_out "Argon2id 9 MiB, 2 passes"
run "$m" vault create bad.klv --kdf-memory 4
expect_failure 2 "the key derivation memory (MiB) must be a number from 8 to 1024"
run "$m" vault create bad.klv --kdf-passes 2 --unlock-time 1
expect_failure 2 "exclude each other"
run "$m" vault create bad.klv --kdf-memory 1024 --kdf-passes 9
expect_failure 2 "memory times passes at most 8 GiB"
run "$m" vault create timed.klv --kdf-memory 8 --unlock-time 0.2
expect_success
run '' vault info timed.klv
expect_out "version 3 (authenticated), Argon2id 8 MiB"
[ ! -e bad.klv ] || fail "file written"

case_ "passwd changes the master password and keeps the records"
run "${m}s1\n" vault add v.klv --title One
run "${m}New master\n" vault passwd v.klv "${small[@]}"
expect_success
expect_out "changed the master password of 'v.klv'"
run "$m" vault list v.klv
expect_failure 3 "wrong master password"
run 'New master\n' vault show v.klv 1 --reveal
expect_out "  password:  s1"
run '' vault info v.klv
[ "$out" = "v.klv: version 3 (authenticated), Argon2id 8 MiB, 1 pass" ] || fail "info: $out"

# Legacy files made by an earlier version of the library (format 2).
for kind in vault users; do
  if [ $kind = vault ]; then file=legacy.klv; src=legacy-vault-v2.klv; kflag=(); else
    file=legacy.db; src=legacy-users-v2.db; kflag=(--encrypted); fi
  use=($kind list "$file" "${kflag[@]}")
  cp "$data/$src" "$file"

  case_ "$kind: a legacy file is refused, naming upgrade, and info says so"
  run 'Legacy master\n' "${use[@]}"
  expect_failure 4 "'upgrade' converts it"
  run '' $kind info "$file"
  expect_out "version 2 (legacy: PBKDF2, not authenticated"

  case_ "$kind: upgrade saves it as version 3 with what it held"
  run 'wrong\n' $kind upgrade "$file" "${kflag[@]}"
  expect_failure 3 "wrong master password"
  cmp -s "$file" "$data/$src" || fail "the file changed"
  run 'Legacy master\n' $kind upgrade "$file" "${kflag[@]}" "${small[@]}"
  expect_success
  expect_out "saved '$file' (was version 2) as $file: version 3 (authenticated), Argon2id 8 MiB, 1 pass"
  run 'Legacy master\n' "${use[@]}"
  expect_success
  [ $kind = vault ] && expect_out "Legacy site" || expect_out "alice"
  run 'Legacy master\n' $kind upgrade "$file" "${kflag[@]}"
  expect_out "already version 3"
done

case_ "users: info on a text database, and the cost options where they fit"
run '' users create text.db
run '' users info text.db
expect_out "text.db: text user database, not encrypted"
run '' users upgrade text.db --kdf-passes 2
expect_failure 2 "key derivation options go with 'create --encrypted' and 'upgrade --encrypted' only"
run '' users create text2.db --kdf-passes 2
expect_failure 2 "key derivation options go with"
run 'Legacy master\nalice pw\n' users verify legacy.db alice --encrypted
expect_success
