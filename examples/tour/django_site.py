# A Django site's settings with the library's hasher and validators, and what
# they do: new hashes are Argon2id, an older PBKDF2 hash is replaced at the next
# login, and a refused password says why with the library's codes.
import django
from django.conf import settings

settings.configure(
    PASSWORD_HASHERS=[
        "klpassword.django.KLPasswordArgon2idHasher",
        "django.contrib.auth.hashers.PBKDF2PasswordHasher",  # verifies, then replaces, older hashes
    ],
    AUTH_PASSWORD_VALIDATORS=[
        # OPTIONS also: multi_factor, max_length, min_score, max_similarity...
        {"NAME": "klpassword.django.NISTPolicyValidator", "OPTIONS": {"context": ["acme"]}},
        {"NAME": "klpassword.django.StrengthValidator", "OPTIONS": {"min_score": 3}},
    ],
)
django.setup()

from django.contrib.auth.hashers import check_password, make_password  # noqa: E402
from django.contrib.auth.password_validation import validate_password  # noqa: E402
from django.core.exceptions import ValidationError  # noqa: E402

stored = make_password("correct horse battery staple")
print(stored[:40] + "...")  # klpassword_argon2id$argon2id$v=19$m=65536...
assert stored.startswith("klpassword_argon2id$argon2id$v=19$")
assert check_password("correct horse battery staple", stored)

# A user whose password an older hasher stored: the login succeeds and the
# setter stores the password again with the preferred (first) hasher.
old = make_password("correct horse battery staple", hasher="pbkdf2_sha256")
upgraded = []
assert check_password("correct horse battery staple", old, setter=lambda raw: upgraded.append(make_password(raw)))
assert upgraded and upgraded[0].startswith("klpassword_argon2id$")

try:
    validate_password("Acme")
    raise SystemExit("a weak password was accepted")
except ValidationError as refused:
    codes = sorted({error.code for error in refused.error_list})
    print(codes)  # ['BLOCKLISTED', 'TOO_SHORT', 'TOO_WEAK']
    assert "TOO_SHORT" in codes and "BLOCKLISTED" in codes
validate_password("tangerine voltage meadow harbour")  # accepted: no exception
