"""Django integration: password validators and an Argon2id password hasher.

settings.py::

    PASSWORD_HASHERS = [
        "klpassword.django.KLPasswordArgon2idHasher",  # first: new and upgraded hashes
        "django.contrib.auth.hashers.PBKDF2PasswordHasher",  # still verifies old ones
    ]
    AUTH_PASSWORD_VALIDATORS = [
        {"NAME": "klpassword.django.NISTPolicyValidator", "OPTIONS": {"multi_factor": False}},
        {"NAME": "klpassword.django.StrengthValidator", "OPTIONS": {"min_score": 3}},
        {"NAME": "klpassword.django.BlocklistValidator", "OPTIONS": {"words": ["acme"]}},
    ]

Validators raise ValidationError with the library's failure codes ("TOO_SHORT") and parameters
(pieces of the password are never among them); messages show pieces of the password as "***".
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Optional

from django.contrib.auth.hashers import BasePasswordHasher, mask_hash
from django.core.exceptions import ValidationError
from django.utils.translation import gettext as _
from django.utils.translation import gettext_noop

from . import _core
from ._core import Policy
from ._errors import InvalidHash

_USER_ATTRIBUTES = ("username", "first_name", "last_name", "email")


def _user_words(user: Any, attributes: Iterable[str]) -> list[str]:
    words = []
    for attribute in attributes:
        value = getattr(user, attribute, None) if user is not None else None
        if isinstance(value, str) and value and "\0" not in value:
            words.append(value)
            if attribute == "email" and "@" in value:
                words.append(value.split("@", 1)[0])
    return words


class _PolicyValidator:
    """Checks a password against a library policy built per call (with the user's attributes as
    context words) and turns each failure into a ValidationError with its code and parameters."""

    user_attributes: tuple[str, ...] = _USER_ATTRIBUTES

    def _policy(self, user_words: list[str]) -> Policy:
        raise NotImplementedError

    def validate(self, password: str, user: Any = None) -> None:
        with self._policy(_user_words(user, self.user_attributes)) as policy:
            result = policy.check(password)
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
    max_length, the library's common passwords and the user's own attributes refused, and a
    minimum strength score min_score (0 for none)."""

    def __init__(self, multi_factor: bool = False, max_length: int = 64, min_score: int = 0,
                 common_passwords: bool = True, context: Iterable[str] = (),
                 user_attributes: Iterable[str] = _USER_ATTRIBUTES) -> None:
        self.multi_factor, self.max_length, self.min_score = multi_factor, max_length, min_score
        self.common_passwords, self.context = common_passwords, list(context)
        self.user_attributes = tuple(user_attributes)
        self._policy([]).close()  # settings nothing can meet fail at start-up, not at the first sign-up

    def _policy(self, user_words: list[str]) -> Policy:
        return Policy.nist(multi_factor=self.multi_factor, max_length=self.max_length, min_score=self.min_score,
                           common_passwords=self.common_passwords, context=self.context + user_words)

    def get_help_text(self) -> str:
        minimum = 8 if self.multi_factor else 15
        text = _("Your password must be %(min)d to %(max)d characters long and must not be a common password "
                 "or contain your personal information.") % {"min": minimum, "max": self.max_length}
        if self.min_score:
            text += " " + _("It must not be easy to guess.")
        return text


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
        return _("Your password must not be easy to guess: avoid common words, names, dates and patterns.")


class BlocklistValidator(_PolicyValidator):
    """Refuses the library's common passwords, the given words (compared trimmed, in lower case)
    and the passwords of a blocklist file (a compiled one, or one password a line)."""

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
        return _("Your password must not be a commonly used or a forbidden password.")


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
