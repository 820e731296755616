"""Django integration: password validators and an Argon2id password hasher.

settings.py::

    PASSWORD_HASHERS = [
        "klpassword.django.KLPasswordArgon2idHasher",  # first: new and upgraded hashes
        "django.contrib.auth.hashers.PBKDF2PasswordHasher",  # still verifies old ones
    ]
    AUTH_PASSWORD_VALIDATORS = [
        # length, the library's common passwords, the user's attributes, the words given
        {"NAME": "klpassword.django.NISTPolicyValidator", "OPTIONS": {"context": ["acme"]}},
        {"NAME": "klpassword.django.StrengthValidator", "OPTIONS": {"min_score": 3}},
    ]

The NIST validator stands in for Django's four (similarity to the user's attributes, minimum
length, common passwords, all digits): listing Django's beside it checks the same twice.

Validators raise ValidationError with the library's failure codes ("TOO_SHORT") and parameters
(pieces of the password are never among them); messages show pieces of the password as "***".
Messages and help texts are in the request's language (Django's active language, mapped to the
library's: "de-at" to "de", "es" to "es-es", "pt" to "pt-br"...), English where the library has none.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Optional

from django.contrib.auth.hashers import BasePasswordHasher, mask_hash
from django.core.exceptions import ValidationError
from django.utils import translation
from django.utils.translation import gettext_noop

from . import _core
from ._core import Policy
from ._errors import InvalidHash

_USER_ATTRIBUTES = ("username", "first_name", "last_name", "email")

# The languages of the library's packs; another language of Django's is matched by its first subtag.
_LIBRARY_LANGUAGES = ("de", "fr", "es-es", "it", "nl-be", "pl", "pt-br")
_BY_PRIMARY = {language.split("-")[0]: language for language in _LIBRARY_LANGUAGES}


def library_language(django_language: Optional[str] = None) -> str:
    """The library's language for a Django language code (the active one by default): "de", "de-at"
    and "de-ch" give "de", "es" and "es-ar" "es-es", "pt" "pt-br"; "en" for one without texts."""
    code = (django_language or translation.get_language() or "en").lower().replace("_", "-")
    if code in _LIBRARY_LANGUAGES:
        return code
    return _BY_PRIMARY.get(code.split("-")[0], "en")


# The help texts, by library language; a language missing here gets the English ones.
_HELP_TEXTS: dict[str, dict[str, str]] = {
    "en": {"length": "Your password must be {min} to {max} characters long.",
           "common": "It must not be a commonly used password.",
           "personal": "It must not be built on your personal information (user name, name, e-mail address).",
           "words": "It must not be a forbidden word.",
           "guessable": "It must not be easy to guess: avoid common words, names, dates and patterns."},
    "de": {"length": "Ihr Passwort muss {min} bis {max} Zeichen lang sein.",
           "common": "Es darf kein häufig verwendetes Passwort sein.",
           "personal": "Es darf nicht auf Ihren persönlichen Daten beruhen (Benutzername, Name, E-Mail-Adresse).",
           "words": "Es darf kein verbotenes Wort sein.",
           "guessable": "Es darf nicht leicht zu erraten sein: meiden Sie häufige Wörter, Namen, Daten und Muster."},
    "fr": {"length": "Votre mot de passe doit compter de {min} à {max} caractères.",
           "common": "Il ne doit pas être un mot de passe courant.",
           "personal": "Il ne doit pas reposer sur vos informations personnelles (identifiant, nom, adresse e-mail).",
           "words": "Il ne doit pas être un mot interdit.",
           "guessable": "Il ne doit pas être facile à deviner : évitez les mots courants, noms, dates et motifs."},
    "es-es": {"length": "Su contraseña debe tener entre {min} y {max} caracteres.",
              "common": "No debe ser una contraseña de uso común.",
              "personal": "No debe basarse en sus datos personales (usuario, nombre, correo electrónico).",
              "words": "No debe ser una palabra prohibida.",
              "guessable": "No debe ser fácil de adivinar: evite palabras comunes, nombres, fechas y patrones."},
    "it": {"length": "La password deve avere da {min} a {max} caratteri.",
           "common": "Non deve essere una password di uso comune.",
           "personal": "Non deve basarsi sui suoi dati personali (nome utente, nome, indirizzo e-mail).",
           "words": "Non deve essere una parola vietata.",
           "guessable": "Non deve essere facile da indovinare: eviti parole comuni, nomi, date e schemi."},
    "nl-be": {"length": "Uw wachtwoord moet {min} tot {max} tekens lang zijn.",
              "common": "Het mag geen veelgebruikt wachtwoord zijn.",
              "personal": "Het mag niet op uw persoonlijke gegevens steunen (gebruikersnaam, naam, e-mailadres).",
              "words": "Het mag geen verboden woord zijn.",
              "guessable": "Het mag niet makkelijk te raden zijn: vermijd gangbare woorden, namen, data en patronen."},
    "pl": {"length": "Hasło musi mieć od {min} do {max} znaków.",
           "common": "Nie może być często używanym hasłem.",
           "personal": "Nie może opierać się na danych osobowych (nazwa użytkownika, imię, adres e-mail).",
           "words": "Nie może być zakazanym słowem.",
           "guessable": "Nie może być łatwe do odgadnięcia: unikaj popularnych słów, imion, dat i wzorców."},
    "pt-br": {"length": "Sua senha deve ter de {min} a {max} caracteres.",
              "common": "Ela não pode ser uma senha comum.",
              "personal": "Ela não pode se basear em seus dados pessoais (usuário, nome, endereço de e-mail).",
              "words": "Ela não pode ser uma palavra proibida.",
              "guessable": "Ela não pode ser fácil de adivinhar: evite palavras comuns, nomes, datas e padrões."},
}


def _help(*keys: str, **values: int) -> str:
    texts = _HELP_TEXTS.get(library_language(), _HELP_TEXTS["en"])
    return " ".join(texts[key].format(**values) for key in keys)


def _user_attributes(user: Any, attributes: Iterable[str]) -> list[tuple[str, str]]:
    """(verbose name, value) of each of the user's attributes that holds text; the names are in the
    active language, as Django's own similarity validator shows them."""
    found = []
    for attribute in attributes:
        value = getattr(user, attribute, None) if user is not None else None
        if not isinstance(value, str) or not value or "\0" in value:
            continue
        try:
            name = str(user._meta.get_field(attribute).verbose_name)
        except Exception:  # not a model field (a property, a plain object): its own name
            name = attribute
        found.append((name, value))
    return found


def _user_words(user: Any, attributes: Iterable[str]) -> list[str]:
    words = []
    for _name, value in _user_attributes(user, attributes):
        words.append(value)
        if "@" in value:
            words.append(value.split("@", 1)[0])
    return words


class _PolicyValidator:
    """Checks a password against a library policy built per call (with the user's attributes as
    context words) and turns each failure into a ValidationError with its code and parameters."""

    user_attributes: tuple[str, ...] = _USER_ATTRIBUTES

    def _policy(self, user_words: list[str]) -> Policy:
        raise NotImplementedError

    def _user_policy(self, user: Any) -> Policy:
        return self._policy(_user_words(user, self.user_attributes))

    def validate(self, password: str, user: Any = None) -> None:
        with self._user_policy(user) as policy:
            result = policy.check(password, lang=library_language())
        if result.ok:
            return
        errors = []
        for failure in result.failures:
            # Django formats the message with its params: a literal % must not be read as a directive.
            message = failure.message.replace("%", "%%") if failure.parameters else failure.message
            errors.append(ValidationError(message, code=failure.code, params=dict(failure.parameters)))
        raise ValidationError(errors)


class NISTPolicyValidator(_PolicyValidator):
    """The policy after NIST SP 800-63B: 15 characters at least (8 with multi_factor), at most
    max_length, the library's common passwords, the words of context, and passwords built on the
    user's own attributes (similar to one, max_similarity as Django's UserAttributeSimilarityValidator
    has it, or holding one: user name, names, e-mail address and its parts) refused, and a minimum
    strength score min_score (0 for none)."""

    def __init__(self, multi_factor: bool = False, max_length: int = 64, min_score: int = 0,
                 common_passwords: bool = True, context: Iterable[str] = (),
                 user_attributes: Iterable[str] = _USER_ATTRIBUTES, max_similarity: float = 0.7) -> None:
        self.multi_factor, self.max_length, self.min_score = multi_factor, max_length, min_score
        self.common_passwords, self.context = common_passwords, list(context)
        self.user_attributes, self.max_similarity = tuple(user_attributes), max_similarity
        # Settings nothing can meet fail at start-up, not at the first sign-up.
        with self._policy([]) as policy:
            policy.add_user_attributes([], self.max_similarity)

    def _policy(self, user_words: list[str]) -> Policy:
        return Policy.nist(multi_factor=self.multi_factor, max_length=self.max_length, min_score=self.min_score,
                           common_passwords=self.common_passwords, context=self.context + user_words)

    def _user_policy(self, user: Any) -> Policy:
        policy = super()._user_policy(user)
        try:
            policy.add_user_attributes(_user_attributes(user, self.user_attributes), self.max_similarity)
        except BaseException:
            policy.close()
            raise
        return policy

    def get_help_text(self) -> str:
        keys = ["length"] + (["common"] if self.common_passwords else [])
        keys += (["personal"] if self.user_attributes else []) + (["words"] if self.context else [])
        keys += ["guessable"] if self.min_score else []
        return _help(*keys, min=8 if self.multi_factor else 15, max=self.max_length)


class StrengthValidator(_PolicyValidator):
    """Refuses passwords the strength estimator scores below min_score (1 to 4; 3 by default:
    safely unguessable by an online attack), the user's attributes counting as likely guesses."""

    def __init__(self, min_score: int = 3, user_attributes: Iterable[str] = _USER_ATTRIBUTES) -> None:
        self.min_score = min_score
        self.user_attributes = tuple(user_attributes)
        self._policy([]).close()

    def _policy(self, user_words: list[str]) -> Policy:
        return Policy().add_min_strength(self.min_score, user_words)

    def get_help_text(self) -> str:
        return _help("guessable")


class BlocklistValidator(_PolicyValidator):
    """Refuses the library's common passwords (unless common_passwords is False), the given words
    (compared trimmed, in lower case) and the passwords of a blocklist file (a compiled one, or one
    password a line) when one is named. A file that cannot be read fails at start-up."""

    def __init__(self, words: Iterable[str] = (), file: Optional[str] = None, common_passwords: bool = True) -> None:
        self.words, self.file, self.common_passwords = list(words), file, common_passwords
        self._policy([]).close()

    user_attributes = ()

    def _policy(self, user_words: list[str]) -> Policy:
        policy = Policy()
        try:
            if self.common_passwords:
                policy.add_rule(_core.Rule.COMMON_PASSWORDS)
            policy.add_blocklist(self.words, self.file)
        except BaseException:
            policy.close()
            raise
        return policy

    def get_help_text(self) -> str:
        keys = (["common"] if self.common_passwords else []) + (["words"] if self.words or self.file else [])
        return _help(*keys) if keys else ""


class KLPasswordArgon2idHasher(BasePasswordHasher):
    """Argon2id through libklpassword; stored as "klpassword_argon2id" followed by the PHC
    string ("$argon2id$v=19$m=...,t=...,p=...$salt$hash"), which argon2-cffi also verifies. memory_kib (KiB) and passes are the cost
    of new hashes: a stored hash below it is upgraded at the next login (must_update). Subclass to
    change them."""

    algorithm = "klpassword_argon2id"
    memory_kib = _core.DEFAULT_MEMORY_KIB
    passes = _core.DEFAULT_PASSES

    def salt(self) -> str:
        return ""  # the library draws a 16-byte salt for each hash itself

    def encode(self, password: str, salt: str) -> str:
        # "klpassword_argon2id$argon2id$v=19$...": the name, then the PHC string, as Django's own hashers join them
        return self.algorithm + _core.hash_password(password, memory_kib=self.memory_kib, passes=self.passes)

    def _phc(self, encoded: str) -> str:
        algorithm, sep, phc = encoded.partition("$")
        if algorithm != self.algorithm or not sep:
            raise ValueError(f"not a {self.algorithm} hash")
        return "$" + phc if not phc.startswith("$") else phc

    def verify(self, password: str, encoded: str) -> bool:
        try:
            return _core.verify_password(self._phc(encoded), password)
        except (ValueError, InvalidHash):
            return False

    def decode(self, encoded: str) -> dict[str, Any]:
        """The fields of a stored value; ValueError (only) for one that is not of this hasher's form."""
        phc = self._phc(encoded)
        parts = phc.split("$")  # "", "argon2id", "v=19", "m=..,t=..,p=..", salt, hash
        if len(parts) != 6 or not parts[2].startswith("v="):
            raise ValueError("malformed hash")
        try:
            params = dict(item.split("=", 1) for item in parts[3].split(","))
            numbers = {key: int(params[key]) for key in ("m", "t", "p")}
            version = int(parts[2][2:])
        except (KeyError, ValueError):
            raise ValueError("malformed hash") from None
        return {"algorithm": self.algorithm, "variety": parts[1], "version": version,
                "memory_cost": numbers["m"], "time_cost": numbers["t"], "parallelism": numbers["p"],
                "salt": parts[4], "hash": parts[5]}

    def safe_summary(self, encoded: str) -> dict[str, Any]:
        """What the admin shows of a stored value; a malformed one is summarised masked, never raised
        on (the user's page must still open, so that the password can be reset)."""
        try:
            decoded = self.decode(encoded)
        except ValueError:
            return {gettext_noop("algorithm"): self.algorithm,
                    gettext_noop("hash"): mask_hash(encoded.partition("$")[2] or encoded)}
        return {gettext_noop("algorithm"): decoded["algorithm"], gettext_noop("variety"): decoded["variety"],
                gettext_noop("version"): decoded["version"], gettext_noop("memory cost"): decoded["memory_cost"],
                gettext_noop("time cost"): decoded["time_cost"],
                gettext_noop("parallelism"): decoded["parallelism"],
                gettext_noop("salt"): mask_hash(decoded["salt"]), gettext_noop("hash"): mask_hash(decoded["hash"])}

    def must_update(self, encoded: str) -> bool:
        try:
            return _core.needs_rehash(self._phc(encoded), memory_kib=self.memory_kib, passes=self.passes)
        except ValueError:
            return True

    def harden_runtime(self, password: str, encoded: str) -> None:
        """A login against a cheaper stored hash spends the missing passes on a throwaway hash, so
        that its time does not tell which users still have old hashes. A malformed stored value
        (Django calls this after it failed to verify) costs one hash at the configured cost: the
        work is never more than a new hash's, whatever the stored value says."""
        try:
            decoded = self.decode(encoded)
            memory, passes = decoded["memory_cost"], decoded["time_cost"]
        except ValueError:
            memory, passes = 0, 0
        if memory < 1 or passes < 1:
            memory, passes = 0, 0  # nothing a hash could have been made with: the whole cost
        missing = self.passes - passes
        if missing > 0 or memory < self.memory_kib:
            try:
                _core.hash_password(password, memory_kib=self.memory_kib, passes=max(1, missing))
            except ValueError:  # a password no hash can hold (a NUL, a lone surrogate): the same work
                _core.hash_password("", memory_kib=self.memory_kib, passes=max(1, missing))
