# Hash and verify passwords, check one against the NIST policy, generate some.
import klpassword

hashed = klpassword.hash_password("correct horse battery staple")  # Argon2id, 65536 KiB, 2 passes
assert hashed.startswith("$argon2id$v=19$m=65536,t=2,p=1$")
assert klpassword.verify_password(hashed, "correct horse battery staple")
assert not klpassword.verify_password(hashed, "Tr0ub4dor&3")
assert not klpassword.needs_rehash(hashed)

result = klpassword.check("Password", user_inputs=["alice"])  # the NIST policy
print(result.ok, result.score, [f.code for f in result.failures])  # False 0 ['TOO_SHORT', 'BLOCKLISTED']
assert not result.ok and [f.code for f in result.failures] == ["TOO_SHORT", "BLOCKLISTED"]
print(klpassword.estimate("Tr0ub4dor&3").guesses_log10)
print(klpassword.generate(20, exclude_lookalikes=True), klpassword.passphrase(5))
