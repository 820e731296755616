#!/usr/bin/env bash
# klpass check --lang and --profile: the strength model, the language of the
# advice, of the crack times in words and of the translated policy messages,
# and the keys in the JSON.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

case_ "--lang alone chooses zxcvbn-ts; the JSON names profile and language, texts in the first language"
run "" check --lang de,fr --json password
expect_status 1
expect_out '"profile":"zxcvbn-ts","language":"de"'
expect_out '"crack_times_display":{"online_throttling_100_per_hour":"2 Minuten","online_no_throttling_10_per_second":"weniger als eine Sekunde",'
expect_out '"feedback":{"warning":"Dies ist ein sehr häufig verwendetes Passwort.","warning_key":"topTen","suggestions":["Weitere Wörter, die weniger häufig vorkommen, hinzufügen."],"suggestion_keys":["anotherWord"]}'

case_ "--profile zxcvbn with --lang translates the 4.4.2 model's advice: keys beside the texts"
run "" check --profile zxcvbn --lang fr --json password
expect_out '"feedback":{"warning":"Ce mot de passe est très utilisé.","warning_key":"topTen","suggestions":["Ajoutez des mots moins courants."],"suggestion_keys":["anotherWord"]},"profile":"zxcvbn","language":"fr"'

case_ "crack times in words take the singular for one and the plural otherwise"
run "" check --profile zxcvbn --lang de Passwort1
expect_out "time to crack: 1 Monat online throttled, 3 Stunden online,"
expect_out "9 Sekunden offline with slow hashing, weniger als eine Sekunde offline with fast hashing"
expect_out "suggestion: Nicht nur den ersten Buchstaben groß schreiben."

case_ "a breach is told in the pack's words; messages no pack translates stay English"
printf 'B87F16970CBAB3AF27A5AA286B995917D16090AF:5\n' >hibp.txt
run "" blocklist compile hibp.txt hibp.klbf
expect_success
run "" check --policy nist --multi-factor --blocklist hibp.klbf --lang de --json hunter2x
expect_status 1
expect_out '{"code":"BREACHED","message":"Ihr Kennwort wurde durch eine Datenpanne im Internet offengelegt.","parameters":{"list":"hibp.klbf"}}'
run "" check --policy nist --blocklist hibp.klbf --lang pl hunter2x
expect_out "BREACHED: To hasło zostało już ujawnione w wyniku naruszenia bezpieczeństwa danych w Internecie."
expect_out "TOO_SHORT: The password must be at least 15 characters long; it has 8."

case_ "--min-score's failure carries the warning in the chosen language with its key"
for policy in classic nist; do
  run "" check --policy $policy --profile zxcvbn --lang es-es --min-score 3 --json password
  expect_out '"code":"TOO_WEAK","message":"The password is too easy to guess: strength 0 of 4, at least 3 needed.","parameters":{"score":0,"minimum":3,"guesses_log10":"0.48","warning":"Es de las contraseñas más usadas.","warning_key":"topTen"}'
done

case_ "--lang all loads every pack, texts in English, the first of them"
run "" check --lang all --json 'Schmetterling2024'
expect_out '"profile":"zxcvbn-ts","language":"en"'

case_ "unknown languages and profiles are usage errors that name the known ones"
run "" check --lang de,xx password
expect_failure 2 "unknown language 'xx' for --lang (known: en, de, fr, es-es, it, nl-be, pl, pt-br, or all)"
run "" check --lang 'de,' password
expect_failure 2 "unknown language '' for --lang"
run "" check --profile zxcvbn4 password
expect_failure 2 "unknown strength profile 'zxcvbn4' (zxcvbn or zxcvbn-ts)"
run "" check --lang
expect_failure 2 "missing value for '--lang'"
