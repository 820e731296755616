#!/usr/bin/env bash
# klpass check --lang and --profile: the strength model, the language of the
# advice, the crack times in words and the translated policy messages, and the
# feedback's keys in the JSON.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

case_ "--lang alone chooses zxcvbn-ts; the JSON names profile and language, texts in the first language"
run "" check --lang de,fr --json password
expect_status 1
expect_out '"crack_times_display":{"online_throttling_100_per_hour":"2 Minuten","online_no_throttling_10_per_second":"weniger als eine Sekunde",'
expect_out '"feedback":{"warning":"Dies ist ein sehr häufig verwendetes Passwort.","warning_key":"topTen","suggestions":["Weitere Wörter, die weniger häufig vorkommen, hinzufügen."],"suggestion_keys":["anotherWord"]},"profile":"zxcvbn-ts","language":"de"'
run "" check --lang all --json password
expect_out '"profile":"zxcvbn-ts","language":"en"'

case_ "--profile zxcvbn with --lang translates the 4.4.2 model's texts; times take singular and plural"
run "" check --profile zxcvbn --lang fr --json password
expect_out '"warning":"Ce mot de passe est très utilisé.","warning_key":"topTen",'
expect_out '"profile":"zxcvbn","language":"fr"'
run "" check --profile zxcvbn --lang de Passwort1
expect_out "time to crack: 1 Monat online throttled, 3 Stunden online,"

case_ "a breach is told in the pack's words, every other failure in the library's"
printf 'B87F16970CBAB3AF27A5AA286B995917D16090AF:5\n' >hibp.txt
run "" blocklist compile hibp.txt hibp.klbf
run "" check --policy nist --blocklist hibp.klbf --lang de --json hunter2x
expect_out '{"code":"BREACHED","message":"Ihr Kennwort wurde durch eine Datenpanne im Internet offengelegt.","parameters":{"list":"hibp.klbf"}}'
run "" check --policy nist --blocklist hibp.klbf --lang pl hunter2x
expect_out "BREACHED: To hasło zostało już ujawnione w wyniku naruszenia bezpieczeństwa danych w Internecie."
expect_out "TOO_SHORT: Hasło musi mieć co najmniej 15 znaków; ma 8."
while IFS='|' read -r lang message; do
  run "" check --lang "$lang" hunter2x
  expect_out "INSUFFICIENT_UPPERCASE: $message"
done <<'EOF'
pl|Hasło musi zawierać wielką literę (A-Z).
fr|Le mot de passe doit contenir une lettre majuscule (A-Z).
nl-be|Het wachtwoord moet een hoofdletter (A-Z) bevatten.
en|The password must hold an upper-case letter (A-Z).
EOF
run "" check --policy nist --lang de Schmetterling1
expect_out "TOO_SHORT: Das Passwort muss mindestens 15 Zeichen lang sein; es hat 14."

case_ "--min-score's failure carries the warning in the chosen language with its key, in either policy"
for policy in classic nist; do
  run "" check --policy $policy --profile zxcvbn --lang es-es --min-score 3 --json password
  expect_out '"warning":"Es de las contraseñas más usadas.","warning_key":"topTen"}'
done

case_ "unknown languages and profiles are usage errors that name the known ones"
run "" check --lang de,xx password
expect_failure 2 "unknown language 'xx' for --lang (known: en, de, fr, es-es, it, nl-be, pl, pt-br, or all)"
run "" check --lang 'de,' password
expect_failure 2 "unknown language '' for --lang"
run "" check --profile zxcvbn4 password
expect_failure 2 "unknown strength profile 'zxcvbn4' (zxcvbn or zxcvbn-ts)"
