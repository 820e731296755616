"""The Django validators and hasher in a throwaway project: settings made here, sqlite in a temporary folder."""

import tempfile

import pytest

django = pytest.importorskip("django")

from django.conf import settings  # noqa: E402

urlpatterns: list = []  # the project's URLs: none are needed
_db_dir = tempfile.TemporaryDirectory(prefix="klpassword-django-")

if not settings.configured:
    settings.configure(
        SECRET_KEY="test only",
        INSTALLED_APPS=["django.contrib.auth", "django.contrib.contenttypes", "django.contrib.sessions"],
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": _db_dir.name + "/db.sqlite3"}},
        ROOT_URLCONF=__name__,
        USE_TZ=True,
        PASSWORD_HASHERS=["test_django.CheapHasher", "django.contrib.auth.hashers.PBKDF2PasswordHasher"],
        AUTH_PASSWORD_VALIDATORS=[{"NAME": "klpassword.django.NISTPolicyValidator"},
                                  {"NAME": "klpassword.django.StrengthValidator"},
                                  {"NAME": "klpassword.django.BlocklistValidator",
                                   "OPTIONS": {"words": ["acme-corporation-rocks"]}}],
    )
    django.setup()

from django.contrib.auth import hashers, password_validation  # noqa: E402
from django.core.exceptions import ValidationError  # noqa: E402
from django.core.management import call_command  # noqa: E402
from django.test import Client  # noqa: E402

import klpassword  # noqa: E402
from klpassword.django import KLPasswordArgon2idHasher, StrengthValidator  # noqa: E402


class CheapHasher(KLPasswordArgon2idHasher):
    """The hasher as a site configures a cost of its own (kept low for the tests)."""

    memory_kib = 2048
    passes = 2


@pytest.fixture(scope="module")
def db():
    call_command("migrate", verbosity=0, interactive=False)
    from django.contrib.auth.models import User

    return User


def codes_of(password, user=None):
    try:
        password_validation.validate_password(password, user)
    except ValidationError as e:
        return {error.code for error in e.error_list}, e.messages
    return set(), []


@pytest.mark.parametrize("password, codes", [
    ("Password", {"TOO_SHORT", "BLOCKLISTED", "TOO_WEAK"}),
    ("ACME-Corporation-Rocks", {"BLOCKLISTED"}),  # the validator's own word, any case
    ("aaaaaaaaaaaaaaaaaaaa", {"TOO_WEAK"}),
    ("jennifer19871987", {"TOO_WEAK"}),  # score 1: below the default minimum of 3
    ("summer-summer-2024", set()),  # score 3
    ("correct horse battery staple", set()),
])
def test_validate_password_reports_the_library_codes(db, password, codes):
    found, messages = codes_of(password)
    assert found == codes and len(messages) >= len(codes) and all(messages)


def test_validators_have_sound_defaults_and_help(db):
    for validator in password_validation.get_default_password_validators():
        assert validator.get_help_text()
    assert StrengthValidator().min_score >= 1
    with pytest.raises(klpassword.InvalidArgument):
        StrengthValidator(min_score=7)  # refused at start-up, not at the first sign-up
    name = "Zq-vortex-plimsoll-88"
    user = db(username=name, email="someone@example.com")
    assert codes_of(name) == (set(), []) and "BLOCKLISTED" in codes_of(name, user)[0]  # the user's own name


def test_errors_carry_parameters_for_the_message(db):
    try:
        password_validation.validate_password("short")
    except ValidationError as e:
        short = next(err for err in e.error_list if err.code == "TOO_SHORT")
    assert short.params == {"minimum": 15, "maximum": 64, "length": 5}
    assert "15" in list(short)[0]


def test_hasher_makes_phc_strings_that_argon2_cffi_and_django_verify(db):
    encoded = hashers.make_password("s3cret pässword")
    assert encoded.startswith("klpassword_argon2id$argon2id$v=19$m=2048,t=2,")
    assert hashers.check_password("s3cret pässword", encoded)
    assert not hashers.check_password("wrong", encoded)
    assert not hashers.check_password("s3cret pässword", "klpassword_argon2id$argon2id$broken")
    argon2 = pytest.importorskip("argon2")
    phc = encoded[len("klpassword_argon2id"):]
    assert argon2.PasswordHasher().verify(phc, "s3cret pässword")
    summary = CheapHasher().safe_summary(encoded)
    assert summary["memory cost"] == 2048 and summary["time cost"] == 2 and "*" in summary["hash"]


@pytest.mark.parametrize("cost, upgraded", [((1024, 1), True), ((2048, 1), True), ((1024, 2), True),
                                           ((2048, 2), False), ((4096, 3), False)])
def test_must_update_when_below_the_configured_cost(cost, upgraded):
    encoded = "klpassword_argon2id" + klpassword.hash_password("pw", memory_kib=cost[0], passes=cost[1])
    assert CheapHasher().must_update(encoded) is upgraded
    CheapHasher().harden_runtime("pw", encoded)  # runs without error for any stored cost


@pytest.mark.parametrize("old_hasher", ["pbkdf2_sha256", "cheaper"])
def test_login_upgrades_an_old_hash(db, old_hasher):
    name = "user-" + old_hasher
    if old_hasher == "pbkdf2_sha256":
        old = hashers.make_password("login pässword", hasher="pbkdf2_sha256")  # Django's default hasher
    else:
        old = "klpassword_argon2id" + klpassword.hash_password("login pässword", memory_kib=1024, passes=1)
    db.objects.create(username=name, password=old)
    client = Client()
    assert not client.login(username=name, password="wrong")
    assert db.objects.get(username=name).password == old  # a failed login changes nothing
    assert client.login(username=name, password="login pässword")
    stored = db.objects.get(username=name).password
    assert stored != old and stored.startswith("klpassword_argon2id$argon2id$v=19$m=2048,t=2,")
    assert client.login(username=name, password="login pässword")
    assert db.objects.get(username=name).password == stored  # upgraded once


_PREFIX = "klpassword_argon2id$argon2id$v=19$"
_HASH = "aGFzaGhhc2hoYXNoaGFzaA"  # longer than the six characters a summary shows
_MALFORMED = ["klpassword_argon2id", "klpassword_argon2id$", "klpassword_argon2id$$$$$$",
              _PREFIX + "m=1024,t=1,p=1$", _PREFIX + "m=1024,t=1$c2FsdA$" + _HASH,  # a parameter missing
              _PREFIX + "m=x,t=1,p=1$c2FsdA$" + _HASH, _PREFIX + "m1024,t=1,p=1$c2FsdA$" + _HASH,
              "klpassword_argon2id$argon2id$v=$m=1024,t=1,p=1$c2FsdA$" + _HASH,
              _PREFIX + "m=1024,t=-999999,p=1$c2FsdA$" + _HASH,  # would ask for a million passes
              _PREFIX + "m=0,t=0,p=1$c2FsdA$" + _HASH, _PREFIX + "m=1024,t=1,p=1$c2FsdA\0$" + _HASH,
              _PREFIX + "m=1024,t=1,p=1$\ud800$" + _HASH, _PREFIX + "m=1024,t=1,p=1$c2FsdA$" + "a" * 70000]


@pytest.mark.parametrize("encoded", _MALFORMED, ids=range(len(_MALFORMED)))
def test_a_malformed_stored_value_is_no_match_and_has_a_summary(db, encoded):
    assert hashers.check_password("pw", encoded) is False  # through verify and harden_runtime
    summary = CheapHasher().safe_summary(encoded)
    shown = " ".join(str(value) for value in summary.values())
    assert summary["algorithm"] == "klpassword_argon2id" and _HASH[6:] not in shown


@pytest.mark.parametrize("password", ["a\0b", "\ud800", "x" * 70000], ids=["nul", "surrogate", "long"])
def test_a_password_no_hash_can_hold_is_no_match(db, password):
    stored = "klpassword_argon2id" + klpassword.hash_password("pw", memory_kib=1024, passes=1)
    assert hashers.check_password(password, stored) is False
    assert hashers.check_password(password, _MALFORMED[4]) is False
