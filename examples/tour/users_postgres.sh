# Users in PostgreSQL: any libpq URI where a users command takes a file (the
# tests set USERS_DB to a throwaway database of their own server).
db=${USERS_DB:-postgresql://localhost/login}
klpass users create "$db"
printf 'correct horse battery staple\n' | klpass users add "$db" alice   # an Argon2id hash, nothing else
printf 'correct horse battery staple\n' | klpass users verify "$db" alice
if printf 'a guess\n' | klpass users verify "$db" alice; then exit 1; fi  # exit status 3: wrong password
klpass users list "$db" --schemes | grep -E 'alice.*argon2id'
klpass users copy "$db" sqlite:copy.db    # every user, UIDs and hashes unchanged, into SQLite
printf 'correct horse battery staple\n' | klpass users verify sqlite:copy.db alice
