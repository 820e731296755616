"""The Django validators and hasher in a throwaway German project: settings made here, sqlite in a
temporary folder, the request's language from its Accept-Language header."""

import tempfile

import pytest

django = pytest.importorskip("django")

from django.conf import settings  # noqa: E402

_db_dir = tempfile.TemporaryDirectory(prefix="klpassword-django-")

if not settings.configured:
    settings.configure(
        SECRET_KEY="test only",
        INSTALLED_APPS=["django.contrib.auth", "django.contrib.contenttypes", "django.contrib.sessions"],
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": _db_dir.name + "/db.sqlite3"}},
        ROOT_URLCONF=__name__,
        USE_TZ=True,
        LANGUAGE_CODE="de",
        MIDDLEWARE=["django.middleware.locale.LocaleMiddleware"],
        PASSWORD_HASHERS=["test_django.CheapHasher", "django.contrib.auth.hashers.PBKDF2PasswordHasher"],
        AUTH_PASSWORD_VALIDATORS=[{"NAME": "klpassword.django.NISTPolicyValidator"},
                                  {"NAME": "klpassword.django.StrengthValidator"},
                                  {"NAME": "klpassword.django.BlocklistValidator",
                                   "OPTIONS": {"words": ["acme-corporation-rocks"]}}],
    )
    django.setup()

from django.contrib.auth import hashers, password_validation  # noqa: E402
from django.core.exceptions import ValidationError  # noqa: E402
from django.contrib.auth.password_validation import UserAttributeSimilarityValidator  # noqa: E402
from django.core.management import call_command  # noqa: E402
from django.http import JsonResponse  # noqa: E402
from django.test import Client  # noqa: E402
from django.urls import path  # noqa: E402
from django.utils import translation  # noqa: E402
from django.views.decorators.csrf import csrf_exempt  # noqa: E402

import klpassword  # noqa: E402
from klpassword.django import (  # noqa: E402
    BlocklistValidator, KLPasswordArgon2idHasher, NISTPolicyValidator, StrengthValidator, library_language)


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


@csrf_exempt
def signup(request):
    """A sign-up page's check: the validators' codes and messages, in the request's language."""
    from django.contrib.auth.models import User

    user = User(username=request.POST["username"], email=request.POST.get("email", ""))
    try:
        password_validation.validate_password(request.POST["password"], user)
    except ValidationError as e:
        return JsonResponse({"codes": [error.code for error in e.error_list], "messages": e.messages}, status=400)
    return JsonResponse({"codes": [], "messages": []})


urlpatterns = [path("signup", signup)]


# language_code: the site's LANGUAGE_CODE for the request without an Accept-Language header (None: "de").
@pytest.mark.parametrize("accept, language_code, username, email, password, code, message", [
    ("", None, "alice", "", "Schmetterling1", "TOO_SHORT",
     "Das Passwort muss mindestens 15 Zeichen lang sein; es hat 14."),
    ("de-AT", None, "alice", "alice@example.com", "alice-alice-2024-x", "TOO_SIMILAR",
     "Das Passwort ist dem Feld \u201eBenutzername\u201c zu \u00e4hnlich."),
    ("", None, "admin", "admin@example.com", "admin@example.com-admin", "TOO_SIMILAR", None),
    ("fr", None, "alice", "", "Schmetterling1", "TOO_SHORT",
     "Le mot de passe doit compter au moins 15 caract\u00e8res\u00a0; il en a 14."),
    ("ja", None, "alice", "", "Schmetterling1", "TOO_SHORT",
     "The password must be at least 15 characters long; it has 14."),
    ("", "fr", "alice", "", "ACME-Corporation-Rocks", "BLOCKLISTED",
     "Le mot de passe est trop courant et n'est donc pas accept\u00e9."),
    ("", "pl", "alice", "", "Schmetterling1", "TOO_SHORT",
     "Has\u0142o musi mie\u0107 co najmniej 15 znak\u00f3w; ma 14."),
])
def test_a_sign_up_is_refused_in_the_request_language(db, accept, language_code, username, email, password, code,
                                                       message):
    from django.test import override_settings

    headers = {"HTTP_ACCEPT_LANGUAGE": accept} if accept else {}
    with override_settings(LANGUAGE_CODE=language_code or settings.LANGUAGE_CODE):
        response = Client().post("/signup", {"username": username, "email": email, "password": password}, **headers)
    answer = response.json()
    assert response.status_code == 400 and code in answer["codes"]
    found = answer["messages"][answer["codes"].index(code)]
    assert found == message if message else found
    assert "Schmetterling1" not in found


@pytest.mark.parametrize("django_language, library", [
    ("de", "de"), ("de-ch", "de"), ("es", "es-es"), ("es-ar", "es-es"), ("pt-br", "pt-br"), ("pt", "pt-br"),
    ("nl", "nl-be"), ("pl", "pl"), ("zh-hans", "en"), ("en-gb", "en"), ("PT_BR", "pt-br")])
def test_django_languages_map_to_the_library_languages(django_language, library):
    assert library_language(django_language) == library


# Every password Django's own similarity validator refuses, the NIST validator refuses too (and more).
_SIMILAR = ["alice", "Alice2024", "ecila", "alice@example.com", "alice@example.com1", "example.com",
            "smithers", "aliceSmithers", "alice-alice-2024-x", "xx-alice-xx", "a1l2i3c4e5", "admin-alice",
            "correct horse battery staple", "Schmetterling-Wiese-42", "exampl3-c0m"]


def test_the_similarity_check_is_as_strong_as_djangos(db):
    user = db(username="alice", email="alice@example.com", first_name="Alice", last_name="Smithers")
    django_check, ours = UserAttributeSimilarityValidator(), NISTPolicyValidator(multi_factor=True)

    def refused(validator, password):
        try:
            validator.validate(password, user)
        except ValidationError as e:
            return {error.code for error in e.error_list}
        return set()

    for password in _SIMILAR:
        if refused(django_check, password):
            assert "TOO_SIMILAR" in refused(ours, password), password
    assert "TOO_SIMILAR" in refused(ours, "alice-alice-2024-x") and not refused(django_check, "alice-alice-2024-x")
    assert "TOO_SIMILAR" not in refused(ours, "correct horse battery staple")


def test_help_texts_say_what_is_checked_in_the_active_language():
    with translation.override("de"):
        assert "15 bis 64 Zeichen" in NISTPolicyValidator().get_help_text()
        assert "pers\u00f6nlichen Daten" in NISTPolicyValidator().get_help_text()
    with translation.override("en"):
        text = NISTPolicyValidator(multi_factor=True, common_passwords=False).get_help_text()
        assert "8 to 64 characters" in text and "common" not in text and "guess" not in text
        assert "guess" in NISTPolicyValidator(min_score=2).get_help_text()
        assert BlocklistValidator(common_passwords=False).get_help_text() == ""
        assert "forbidden" in BlocklistValidator(words=["acme"], common_passwords=False).get_help_text()
    with translation.override("it"):
        assert "da 15 a 64 caratteri" in NISTPolicyValidator().get_help_text()


def test_the_guide_settings_work_as_pasted(db):
    """The settings the guide shows, pasted into a project: no file they name is missing, and no
    check is made twice."""
    import re
    from pathlib import Path

    guide = (Path(__file__).resolve().parents[2] / "docs" / "guide" / "django.md").read_text(encoding="utf-8")
    block = guide.split("AUTH_PASSWORD_VALIDATORS = [", 1)[1].split("\n]", 1)[0]
    configs = eval("[" + block + "]")  # the guide's list, as a settings file would read it
    validators = password_validation.get_password_validators(configs)
    assert not re.search(r'"file"', block)
    assert not any(v.__class__.__name__ == "CommonPasswordValidator" for v in validators)
    common = [v for v in validators if getattr(v, "common_passwords", False)]
    assert len(common) == 1  # the library's common passwords are checked once
    try:
        password_validation.validate_password("Acme", None, validators)
    except ValidationError as e:
        codes = [error.code for error in e.error_list]
    assert sorted(codes) == ["BLOCKLISTED", "TOO_SHORT", "TOO_WEAK"]
