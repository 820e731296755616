"""The Python package as an application uses it: a hash made and verified, a verdict, and which
library file it loaded. Prints that file's path (from the process's own mappings)."""

import sys

import klpassword

digest = klpassword.hash_password("correct horse battery", memory_kib=1024, passes=1)
assert digest.startswith("$argon2id$"), digest
assert klpassword.verify_password(digest, "correct horse battery")
assert not klpassword.verify_password(digest, "correct horse battery!")
verdict = klpassword.check("password")
assert not verdict.ok and verdict.score == 0 and verdict.failures, verdict
assert klpassword.estimate("Tr0ub4dor&3 staple horse battery").score >= 3

with open("/proc/self/maps", encoding="utf-8") as maps:
    loaded = {line.split()[-1] for line in maps if "libklpassword.so" in line}
assert len(loaded) == 1, loaded
print(loaded.pop())
sys.exit(0)
