#!/usr/bin/env bash
# klpass check: verdicts per rule with their codes, the policies, blocklists,
# JSON output, and reading from stdin; klpass blocklist compile.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

case_ "a strong password passes every rule"
run "" check 'xK9#mQ2$vL7&wZ5^'
expect_success
expect_out "ok    xK9#mQ2\$vL7&wZ5^"

case_ "a weak password fails with the rules it breaks, and only those"
run "" check aaaBBB111
expect_status 1
expect_out "FAIL  aaaBBB111"
expect_out "ILLEGAL_REPEATED_CHARACTERS"
expect_out "ILLEGAL_REPEATED_DIGITS"
expect_no_out "INSUFFICIENT_UPPERCASE"
expect_no_out "TOO_SHORT"

case_ "one failing password among several fails the whole check"
run "" check 'xK9#mQ2$vL7&wZ5^' short
expect_status 1
expect_out "ok    xK9#mQ2"
expect_out "FAIL  short"

case_ "the user name is forbidden inside the password"
run "" check --user bob 'Xbob9#mQ2$vL'
expect_status 1
expect_out 'ILLEGAL_USERNAME: The password must not hold the user name "bob".'

case_ "words from a dictionary file are refused, others are not"
printf 'Zebra!Crossing9\nother\n' >words.txt
run "" check --dict words.txt 'Zebra!Crossing9' 'Zebra!Crossing8'
expect_status 1
expect_out "FAIL  Zebra!Crossing9"
expect_out "ok    Zebra!Crossing8"

case_ "a missing dictionary file is a file error"
run "" check --dict absent.txt Whatever1!
expect_failure 6 "cannot read the dictionary 'absent.txt'"

case_ "--prompt reads the password from stdin and never prints it"
run 'Secret#Value42\n' check --prompt
expect_success
expect_out "(the password entered)"
expect_no_out "Secret#Value42"

case_ "--prompt with nothing on stdin is a usage error"
run "" check --prompt
expect_failure 2 'no input for "Password to check"'

case_ "the built-in examples run without arguments"
run "" check
expect_success
expect_out "built-in examples"

case_ "unknown options and missing option values are usage errors"
run "" check --frobnicate x
expect_failure 2 "unknown option '--frobnicate'"
run "" check --user
expect_failure 2 "missing value for '--user'"

case_ "-- lets a password start with a dash"
run "" check -- '-Xk9#mQ2$vL7&'
expect_success
expect_out "ok    -Xk9#mQ2"

case_ "--stdin --json prints one object a password, in order, without the password"
run 'password\ncorrect horse battery staple\nqwertyuiopasdfgh\n' check --policy nist --json --stdin
expect_status 1
[ "$(wc -l <<<"$out")" -eq 3 ] || fail "expected three lines"
[ "$(sed -n 1p <<<"$out")" = '{"ok":false,"score":0,"guesses_log10":0.4771,"guesses":3,"crack_times_seconds":{"online_throttling_100_per_hour":108,"online_no_throttling_10_per_second":0.3,"offline_slow_hashing_1e4_per_second":3e-04,"offline_fast_hashing_1e10_per_second":3e-10},"crack_times_display":{"online_throttling_100_per_hour":"2 minutes","online_no_throttling_10_per_second":"less than a second","offline_slow_hashing_1e4_per_second":"less than a second","offline_fast_hashing_1e10_per_second":"less than a second"},"feedback":{"warning":"This is a top-10 common password","warning_key":"topTen","suggestions":["Add another word or two. Uncommon words are better."],"suggestion_keys":["anotherWord"]},"profile":"zxcvbn","language":"en","failures":[{"code":"TOO_SHORT","message":"The password must be at least 15 characters long; it has 8.","parameters":{"minimum":15,"maximum":64,"length":8}},{"code":"BLOCKLISTED","message":"The password is too common: it is on the list of common passwords.","parameters":{"list":"common passwords"}}]}' ] || fail "first line"
[ "$(sed -n 2p <<<"$out")" = '{"ok":true,"score":4,"guesses_log10":20.33,"guesses":2.13811968952e+20,"crack_times_seconds":{"online_throttling_100_per_hour":7.697230882272e+21,"online_no_throttling_10_per_second":21381196895199997952,"offline_slow_hashing_1e4_per_second":21381196895200000,"offline_fast_hashing_1e10_per_second":21381196895.199997},"crack_times_display":{"online_throttling_100_per_hour":"centuries","online_no_throttling_10_per_second":"centuries","offline_slow_hashing_1e4_per_second":"centuries","offline_fast_hashing_1e10_per_second":"centuries"},"feedback":{"warning":"","warning_key":"","suggestions":[],"suggestion_keys":[]},"profile":"zxcvbn","language":"en","failures":[]}' ] || fail "second line"
expect_no_out "qwertyuiopasdfgh"
expect_no_out "correct horse"

case_ "every password gets its strength: score, guesses, crack times and advice"
run "" check --user alice alice1990! 'Tr0ub4dor&3'
expect_status 1
expect_out "strength 2 of 4, about 10^7.0 guesses; time to crack: 11 years online throttled, 12 days online,"
expect_out "17 minutes offline with slow hashing, less than a second offline with fast hashing"
expect_out "suggestion: Add another word or two. Uncommon words are better."
expect_out "strength 4 of 4, about 10^11.0 guesses"

case_ "--min-score refuses weak passwords in either policy, and must lie between 0 and 4"
run "" check --min-score 3 --policy nist 'password12345678' 'tangerine-voltage-meadow'
expect_status 1
expect_out "TOO_WEAK: The password is too easy to guess: strength 1 of 4, at least 3 needed."
expect_out "ok    tangerine-voltage-meadow"
run "" check --min-score 4 'Summer2024!'
expect_out "TOO_WEAK: The password is too easy to guess: strength 2 of 4, at least 4 needed."
run "" check --min-score 5 x
expect_failure 2 "the minimum score must be a number from 0 to 4"

case_ "pieces of the password are masked in JSON messages and left out of its parameters"
run 'Xqwerty9aa#\n' check --json --stdin
expect_out '"code":"ILLEGAL_QWERTY_SEQUENCE","message":"The password holds the keyboard sequence \"***\"; 4 or more neighbouring keys are not allowed.","parameters":{"minimum":4}}'
expect_no_out "qwerty"

case_ "the NIST policy takes 8 characters as one factor of several, and no composition rules"
run "" check --policy nist --multi-factor 'tr0ub4dor&3x' 'greenmoose'
expect_success
expect_out "NIST SP 800-63B policy of 2 rules"

case_ "the NIST policy refuses the user name and the dictionary's words, whatever their case"
printf 'zanzibarquay\n' >context.txt
run "" check --policy nist --multi-factor --user marguerite-x --dict context.txt --json 'Marguerite-X' 'zanzibarquay'
expect_status 1
[ "$(grep -c '"code":"BLOCKLISTED"' <<<"$out")" -eq 2 ] || fail "both passwords should be blocklisted"

case_ "a blocklist of words and a compiled breached-password list both refuse"
printf 'Zebra!Crossing9\n' >words.txt
run "" check --blocklist words.txt ' zebra!crossing9 '
expect_status 1
expect_out "BLOCKLISTED"
printf 'F3BBBD66A63D4BF1747940578EC3D0103530E21D:1234\n874572e7a5ae6a49466a6ac578b98adba78c6aa6:17\nf3bbbd66a63d4bf1747940578ec3d0103530e21d:1\n' >hibp.txt
run "" blocklist compile hibp.txt hibp.klbf
expect_success
expect_out "3 entries (2 distinct) compiled into 'hibp.klbf'"
run "" check --policy nist --multi-factor --blocklist hibp.klbf hunter2x 'Tr0ub4dor&3' 'Wh1te-Rabbit'
expect_status 1
expect_out "BREACHED: The password has appeared in a data breach (list hibp.klbf)."
expect_out "ok    Wh1te-Rabbit"
run "" blocklist compile hibp.txt hibp.klbf
expect_failure 7 "already exists"

case_ "a reader written from docs/formats/blocklist.md's description of the file finds what klpass compiled"
printf 'Dragon\nmonkey\n' >common.txt
run "" blocklist compile common.txt common.klbf
expect_success
[ "$(python3 "$here/blocklist_reader.py" common.klbf dragon ' MONKEY' dragon1 | tr '\n' ' ')" = "yes yes no " ] ||
  fail "the independent reader disagrees"

case_ "a damaged compiled list or a malformed hash list is refused"
printf 'F3BBBD66A63D4BF1747940578EC3D0103530E21D\nnot a hash\n' >bad.txt
run "" blocklist compile --format sha1 bad.txt bad.klbf
expect_status 4
expect_err "line 2"
head -c 40 hibp.klbf >cut.klbf
run "" check --blocklist cut.klbf whatever
expect_status 4
expect_err "not a compiled blocklist"
run "" check --policy strict x
expect_failure 2 "unknown policy 'strict'"
