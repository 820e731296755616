#!/usr/bin/env bash
# klpass check: verdicts per rule, the dictionary file, and reading from stdin.
source "$(dirname "$0")/common.sh"

case_ "a strong password passes every rule"
run "" check 'xK9#mQ2$vL7&wZ5^'
expect_success
expect_out "ok    xK9#mQ2\$vL7&wZ5^"

case_ "a weak password fails with the rules it breaks, and only those"
run "" check aaaBBB111
expect_status 1
expect_out "FAIL  aaaBBB111"
expect_out "must not repeat a character 3 times"
expect_out "must not repeat a digit 3 times"
expect_no_out "must hold an upper-case letter"
expect_no_out "must be 8 to 64 characters long"

case_ "one failing password among several fails the whole check"
run "" check 'xK9#mQ2$vL7&wZ5^' short
expect_status 1
expect_out "ok    xK9#mQ2"
expect_out "FAIL  short"

case_ "the user name is forbidden inside the password"
run "" check --user bob 'Xbob9#mQ2$vL'
expect_status 1
expect_out 'must not hold the user name "bob"'

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

case_ "the built-in examples run without arguments, also as the default command"
run "" check
expect_success
expect_out "built-in examples"
run ""
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
