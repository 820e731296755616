# The command line: check, generate, hash; every failure has its exit status.
klpass check --policy nist --json 'correct horse battery staple' | grep -F '"ok":true'
status=0; klpass check --user alice 'alice2024' >report.txt || status=$?
[ "$status" -eq 1 ] && grep -F ILLEGAL_USERNAME report.txt   # 1: a password failed the check

klpass generate --count 3 --length 16 --no-symbols | awk 'length($0) != 16 { exit 1 }'
klpass generate --passphrase --words 6 --capitalize

hash=$(printf 'correct horse battery staple\n' | klpass hash)  # an Argon2id string to store anywhere
printf 'correct horse battery staple\n' | klpass hash --verify "$hash"
status=0; printf 'a guess\n' | klpass hash --verify "$hash" || status=$?
[ "$status" -eq 3 ]                                           # 3: wrong password
klpass help exit-status | grep -F '10'
