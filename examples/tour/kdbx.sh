# A vault out to a KeePass file and back: klpass reads each password from
# standard input, one line a prompt, when that is not a terminal.
printf 'vault master\nvault master\n' | klpass vault create my.vault --kdf-memory 8 --kdf-passes 1
printf 'vault master\ngh-secret\ngh-secret\n' | klpass vault add my.vault --title GitHub --user alice --url https://github.com

# KDBX 4 with Argon2id, which KeePassXC opens (asks the vault's password, then the new file's twice).
printf 'vault master\nkeepass pw\nkeepass pw\n' | klpass vault export my.vault --format kdbx --out my.kdbx --iterations 2 --memory 8

# Every vault command works on a KDBX file itself...
printf 'keepass pw\n' | klpass vault show my.kdbx GitHub --reveal --json | grep -F '"password":"gh-secret"'
# ...and an import copies its entries into a vault (vault password, then the KDBX password).
printf 'other master\nother master\n' | klpass vault create copy.vault --kdf-memory 8 --kdf-passes 1
printf 'other master\nkeepass pw\n' | klpass vault import copy.vault my.kdbx
printf 'other master\n' | klpass vault list copy.vault --json | grep -F '"title":"GitHub"'
