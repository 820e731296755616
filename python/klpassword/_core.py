"""The verbs and classes of klpassword over the library's C interface."""

from __future__ import annotations

import contextlib
import ctypes
import enum
import functools
import threading
import json as _json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Optional, TypeVar, Union, cast

from . import _lib
from ._errors import InvalidArgument, KLPasswordError
from ._lib import Secret, Text, call, encode, encode_path, lib, optional, read_text, take_secret, word_array

PathLike = Union[str, "os.PathLike[str]"]

_F = TypeVar("_F", bound=Callable[..., Any])

DEFAULT_MEMORY_KIB = 65536  # Argon2id memory cost of new password hashes, KiB
DEFAULT_PASSES = 2  # Argon2id passes of new password hashes


def _exclusive(method: _F) -> _F:
    """The method has the handle to itself: other threads wait (the C interface allows one thread
    at a time on a handle, and ctypes lets other Python threads run during a call)."""

    @functools.wraps(method)
    def wrapper(self: "_Handle", *args: Any, **kwargs: Any) -> Any:
        with self._using(exclusive=True):
            return method(self, *args, **kwargs)

    return cast(_F, wrapper)


def _shared(method: _F) -> _F:
    """The method only reads: several threads may run it at once, but not beside an exclusive one."""

    @functools.wraps(method)
    def wrapper(self: "_Handle", *args: Any, **kwargs: Any) -> Any:
        # _using(exclusive=False) spelled out: the checks of a policy are short enough for the
        # context manager's own cost to show.
        me, cond = threading.get_ident(), self._cond
        with cond:
            nested = self._owner == me
            if nested:
                self._depth += 1
            else:
                self._wait_for_owner()
                self._readers += 1
        try:
            return method(self, *args, **kwargs)
        finally:
            with cond:
                if nested:
                    self._depth -= 1
                    if not self._depth:
                        self._owner = None
                else:
                    self._readers -= 1
                cond.notify_all()

    return cast(_F, wrapper)


class _Handle:
    """Owns one library handle; close() (or leaving the ``with`` block) waits for calls under way
    on other threads, then destroys it, and the library wipes what it held."""

    _destroy: Any = None

    def __init__(self) -> None:
        self._ptr = ctypes.c_void_p()
        # A plain lock: nobody takes it twice (re-entry is counted in _depth), and a read-only call
        # takes it directly, cheaper than through the condition.
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._readers = 0
        self._waiting = 0  # threads waiting on the condition: only then does leaving notify
        self._owner: Optional[int] = None  # the thread with exclusive use, which may re-enter
        self._depth = 0

    @contextlib.contextmanager
    def _using(self, exclusive: bool) -> Iterator[None]:
        me = threading.get_ident()
        with self._cond:
            if self._owner == me:
                self._depth += 1
            else:
                self._waiting += 1
                try:
                    while self._owner is not None or (exclusive and self._readers):
                        self._cond.wait()
                finally:
                    self._waiting -= 1
                if exclusive:
                    self._owner, self._depth = me, 1
                else:
                    self._readers += 1
        try:
            yield
        finally:
            with self._cond:
                if self._owner == me:
                    self._depth -= 1
                    if not self._depth:
                        self._owner = None
                else:
                    self._readers -= 1
                self._cond.notify_all()

    def _wait_for_owner(self) -> None:
        """Waits, the lock held, until no thread has exclusive use."""
        if self._owner is None:
            return
        self._waiting += 1
        try:
            while self._owner is not None:
                self._cond.wait()
        finally:
            self._waiting -= 1

    @property
    def _h(self) -> ctypes.c_void_p:
        if not self._ptr.value:
            raise InvalidArgument(f"the {type(self).__name__} is closed")
        return self._ptr

    def close(self) -> None:
        """Destroys the handle; the library wipes what it held. Safe to call twice."""
        if getattr(self, "_ptr", None) is None:
            return  # construction failed before the handle existed
        with self._using(exclusive=True):
            if self._ptr.value:
                type(self)._destroy(self._ptr)
                self._ptr = ctypes.c_void_p()

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


# ---- Results ---------------------------------------------------------------


@dataclass(frozen=True)
class Feedback:
    """What the strength estimator tells the user: a warning ("" for none) and suggestions, in the
    estimate's language, with their stable keys ("topTen", "anotherWord", ...) for an application
    that words them itself."""

    warning: str = ""
    suggestions: tuple[str, ...] = ()
    warning_key: str = ""
    suggestion_keys: tuple[str, ...] = ()


@dataclass(frozen=True)
class Strength:
    """A strength estimate: score 0 (guessed at once) to 4, the guesses needed and their log10,
    the feedback, the time to crack in seconds and in words under each attack, the model
    ("zxcvbn" or "zxcvbn-ts") and the language of the texts."""

    score: int
    guesses: float
    guesses_log10: float
    feedback: Feedback
    crack_times_seconds: dict[str, float] = field(default_factory=dict)
    crack_times_display: dict[str, str] = field(default_factory=dict)
    profile: str = "zxcvbn"
    language: str = "en"


@dataclass(frozen=True)
class Failure:
    """One rule that refused a password: a stable code ("TOO_SHORT"), its message (in the check's
    language where the library has one) with the pieces of the password shown as "***", and the
    parameters (pieces of the password left out)."""

    code: str
    message: str
    parameters: dict[str, Union[int, float, str]]


class _Formed:
    """A result field that a check's fast path leaves out: formed on first reading, by make, from
    what the instance keeps for it, then kept. Reads None on the class, the field's default."""

    def __init__(self, make: Callable[[Any], Any]) -> None:
        self._make = make

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    def __get__(self, instance: Any, owner: Optional[type] = None) -> Any:
        if instance is None:
            return None
        value = self._make(instance)
        instance.__dict__[self._name] = value
        return value


@dataclass(frozen=True)
class CheckResult:
    """The outcome of a policy check. ``json`` is the line ``klpass check --json`` prints, without the password;
    a check forms it, and its ``strength``, when first read."""

    ok: bool
    score: int
    guesses_log10: float
    feedback: Feedback
    failures: tuple[Failure, ...]
    json: str
    strength: Optional[Strength] = _Formed(lambda r: _strength_of_texts(*r.__dict__["_strength_texts"]))  # type: ignore

    def __bool__(self) -> bool:
        return self.ok

    def __getattr__(self, name: str) -> Any:
        # Called for what the instance lacks: a check's JSON line is formed on first reading.
        texts = self.__dict__.get("_json_texts") if name == "json" else None
        if texts is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        line = _check_json(self, texts)
        self.__dict__["json"] = line
        return line

    def as_dict(self) -> dict[str, Any]:
        return dict(_json.loads(self.json))


_ATTACKS = ("online_throttling", "online_no_throttling", "offline_slow_hashing", "offline_fast_hashing")
# The names of the attacks in the library's JSON.
_JSON_ATTACKS = tuple(zip(_ATTACKS, ("online_throttling_100_per_hour", "online_no_throttling_10_per_second",
                                     "offline_slow_hashing_1e4_per_second", "offline_fast_hashing_1e10_per_second")))


def _strength_of(line: dict[str, Any]) -> Strength:
    """The estimate of one line of the library's JSON (every field of it, read once)."""
    f = line["feedback"]
    seconds, display = line["crack_times_seconds"], line["crack_times_display"]
    return Strength(line["score"], float(line["guesses"]), float(line["guesses_log10"]),
                    Feedback(f["warning"], tuple(f["suggestions"]), f["warning_key"], tuple(f["suggestion_keys"])),
                    {mine: float(seconds[theirs]) for mine, theirs in _JSON_ATTACKS},
                    {mine: display[theirs] for mine, theirs in _JSON_ATTACKS}, line["profile"], line["language"])


# ---- The JSON line, formed as the library forms it (rules/CheckReport.cpp), byte for byte.

_JSON_ESCAPES = {i: f"\\u{i:04x}" for i in range(0x20)}
_JSON_ESCAPES.update({ord('"'): '\\"', ord("\\"): "\\\\", ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"})


def _json_text(text: str) -> str:
    return '"' + text.translate(_JSON_ESCAPES) + '"'


def _json_number(value: float) -> str:
    """The shortest text that reads back as value, fixed or scientific, whichever is shorter (fixed
    on a tie), the exponent of two digits at least: std::to_chars's."""
    if value != value:
        return "nan"
    if value in (math.inf, -math.inf):
        return "inf" if value > 0 else "-inf"
    if value == 0:
        return "-0" if math.copysign(1.0, value) < 0 else "0"
    sign = "-" if value < 0 else ""
    mantissa, _, exponent = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    all_digits = whole + fraction
    digits = all_digits.lstrip("0")
    power = len(whole) + int(exponent or 0) - (len(all_digits) - len(digits)) - 1  # of the first digit
    digits = digits.rstrip("0")
    scientific = (sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") +
                  ("e-" if power < 0 else "e+") + f"{abs(power):02d}")
    if power < 0:
        fixed = sign + "0." + "0" * (-power - 1) + digits
    elif len(digits) <= power + 1:
        fixed = f"{value:.0f}"  # a whole number's exact digits
    else:
        fixed = sign + digits[:power + 1] + "." + digits[power + 1:]
    return fixed if len(fixed) <= len(scientific) else scientific


def _round4(value: float) -> float:
    """std::round(value * 1e4) / 1e4: halves away from zero."""
    scaled = abs(value * 1e4)
    whole = math.floor(scaled)
    if scaled - whole >= 0.5:
        whole += 1
    return math.copysign(float(whole), value) / 1e4


def _check_json(result: CheckResult, texts: list[str]) -> str:
    """The line of klp_check_result_json for a result read without it; texts: the failures' texts
    as klp_policy_check_fields gives them (the messages in the estimate's language)."""
    s = result.strength
    assert s is not None
    f = s.feedback
    seconds, display = s.crack_times_seconds, s.crack_times_display
    parts = [f'{{"ok":{"true" if result.ok else "false"},"score":{s.score}',
             f',"guesses_log10":{_json_number(_round4(s.guesses_log10))},"guesses":{_json_number(s.guesses)}',
             ',"crack_times_seconds":{',
             ",".join(f'"{theirs}":{_json_number(seconds[mine])}' for mine, theirs in _JSON_ATTACKS),
             '},"crack_times_display":{',
             ",".join(f'"{theirs}":{_json_text(display[mine])}' for mine, theirs in _JSON_ATTACKS),
             f'}},"feedback":{{"warning":{_json_text(f.warning)},"warning_key":{_json_text(f.warning_key)}',
             ',"suggestions":[', ",".join(map(_json_text, f.suggestions)),
             '],"suggestion_keys":[', ",".join(map(_json_text, f.suggestion_keys)),
             f']}},"profile":{_json_text(s.profile)},"language":{_json_text(s.language)},"failures":[']
    at = 0
    for i in range(len(result.failures)):
        count = int(texts[at + 2])
        shown = []
        for j in range(at + 3, at + 3 + 3 * count, 3):
            value = texts[j + 2] if texts[j + 1] == "0" else _json_text(texts[j + 2])
            shown.append(f"{_json_text(texts[j])}:{value}")
        parts.append(f'{"," if i else ""}{{"code":{_json_text(texts[at])},"message":{_json_text(texts[at + 1])}'
                     f',"parameters":{{{",".join(shown)}}}}}')
        at += 3 + 3 * count
    parts.append("]}")
    return "".join(parts)


def _check_result_of(text: str) -> CheckResult:
    line = _json.loads(text)
    strength = _strength_of(line)
    failures = tuple(Failure(f["code"], f["message"], f["parameters"]) for f in line["failures"])
    return CheckResult(line["ok"], strength.score, strength.guesses_log10, strength.feedback, failures, text, strength)


_PROFILES = {"zxcvbn": 0, "zxcvbn-ts": 1}


def languages() -> list[str]:
    """The codes of the estimator's language packs in this build ("en", "de", ...); empty when it has none."""
    text = read_text(lib.klp_strength_languages)
    return text.split(",") if text else []


def _model(profile: Optional[str], language: Union[None, str, Sequence[str]]) -> tuple[int, list[bytes]]:
    """The library's profile number and language codes. A language alone chooses zxcvbn-ts, the
    only model with the packs' words (as ``klpass check --lang`` does)."""
    codes = [] if language is None else [language] if isinstance(language, str) else list(language)
    if profile is None:
        profile = "zxcvbn-ts" if codes else "zxcvbn"
    if profile not in _PROFILES:
        raise InvalidArgument(f"unknown strength profile {profile!r} (zxcvbn or zxcvbn-ts)")
    return _PROFILES[profile], [encode(c, "language") for c in codes]


class Estimator(_Handle):
    """A strength estimator with its model, languages and user inputs, set once; several threads
    may estimate with one at once. ``language`` is a code or a list of codes of ``languages()``,
    the first naming the language of the texts; a language without ``profile`` chooses
    "zxcvbn-ts". Each estimate is one call into the library. close() waits for the estimates
    under way."""

    _destroy = lib.klp_estimator_destroy

    def __init__(self, *, profile: Optional[str] = None, language: Union[None, str, Sequence[str]] = None,
                 user_inputs: Iterable[Text] = ()) -> None:
        super().__init__()
        # Estimates only read the handle: a plain lock guards the count of those under way,
        # cheaper than the handles' reader-writer lock on a call this short.
        self._busy = 0
        self._busy_lock = threading.Lock()
        self._idle = threading.Condition(self._busy_lock)
        number, codes = _model(profile, language)
        call(lib.klp_estimator_init, ctypes.byref(self._ptr))
        try:
            call(lib.klp_estimator_set_profile, self._h, number)
            array = (ctypes.c_char_p * max(1, len(codes)))(*codes)
            call(lib.klp_estimator_set_languages, self._h, array, len(codes))
            words, count = word_array(user_inputs)
            call(lib.klp_estimator_set_user_inputs, self._h, words, count)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        lock = getattr(self, "_busy_lock", None)
        if lock is not None:
            with self._idle:
                while self._busy:
                    self._idle.wait()
                super().close()
        else:
            super().close()

    def estimate(self, password: Text) -> Strength:
        buffer = _lib.secret_buffer(password)
        with self._busy_lock:
            handle = self._ptr
            if not handle.value:
                raise InvalidArgument("the Estimator is closed")
            self._busy += 1
        try:
            space = _fields_space()
            values, score, texts, size = space
            size.value = _lib._JSON_BUFFER
            status = lib.klp_estimator_estimate_fields(handle, buffer, values, score, texts, size)
            if status == _lib.BUFFER_TOO_SMALL:
                texts = ctypes.create_string_buffer(size.value)
                status = lib.klp_estimator_estimate_fields(handle, buffer, values, score, texts, size)
            if status:
                _lib.raise_for(status)
        finally:
            ctypes.memset(buffer, 0, ctypes.sizeof(buffer))
            with self._busy_lock:
                self._busy -= 1
                if not self._busy:
                    self._idle.notify_all()
        return _strength_of_fields(values, score.value, ctypes.string_at(texts, size.value))

    @_shared
    def estimate_json(self, password: Text) -> str:
        """The estimate as the library's line of JSON (``klpass check --json``'s, with no failures)."""
        with Secret(password) as buffer:
            return _lib.read_json(lib.klp_estimator_estimate_json, self._h, buffer)[1]


_fields_local = threading.local()


def _fields_space() -> tuple[Any, Any, Any, Any]:
    """Output buffers of klp_estimator_estimate_fields, one set a thread, reused (no secret in them)."""
    space = getattr(_fields_local, "space", None)
    if space is None:
        space = _fields_local.space = ((ctypes.c_double * 6)(), ctypes.c_int32(),
                                       ctypes.create_string_buffer(_lib._JSON_BUFFER), ctypes.c_size_t())
    return space


_new = object.__new__


def _check_space() -> tuple[Any, Any, Any, Any, Any]:
    """Output buffers of klp_policy_check_fields, one set a thread, reused (no secret in them
    after a call), and the buffer of the password's copy (see _lib.fill_secret)."""
    space = getattr(_fields_local, "check", None)
    if space is None:
        space = _fields_local.check = ((ctypes.c_double * 6)(), (ctypes.c_int32 * 3)(),
                                       ctypes.create_string_buffer(_lib._JSON_BUFFER), ctypes.c_size_t(),
                                       ctypes.create_string_buffer(_lib.SECRET_SPACE))
    return space


def _number(text: str) -> Union[int, float]:
    try:
        return int(text)
    except ValueError:
        return float(text)


def _check_result_of_fields(status: int, values: Any, counts: Any, raw: bytes, without_json: bool) -> CheckResult:
    """The result of klp_policy_check_fields_lang's fields, or of _nojson's (without_json: the JSON
    line is formed from the result when first read). The Strength is formed when first read."""
    texts = raw.decode("utf-8").split("\0")
    at = 0 if without_json else 1
    end = at + 8 + 2 * counts[1]  # the estimate's eight texts, the suggestion pairs
    feedback = _new(Feedback)
    d = feedback.__dict__
    d["warning"], d["suggestions"] = texts[at + 2], tuple(texts[at + 8:end:2])
    d["warning_key"], d["suggestion_keys"] = texts[at + 3], tuple(texts[at + 9:end:2])
    numbers = values[:]  # the thread's buffer is reused
    score = counts[0]
    result = _new(CheckResult)
    fields = result.__dict__
    fields["ok"], fields["score"], fields["guesses_log10"], fields["feedback"] = (status == _lib.OK, score,
                                                                                  numbers[1], feedback)
    fields["_strength_texts"] = (numbers, score, texts, at, feedback)
    failures: list[Failure] = []
    at = end
    for _ in range(counts[2]):
        count = int(texts[at + 2])
        parameters: dict[str, Union[int, float, str]] = {}
        for i in range(at + 3, at + 3 + 3 * count, 3):
            value = texts[i + 2]
            parameters[texts[i]] = _number(value) if texts[i + 1] == "0" else value
        failure = _new(Failure)
        d = failure.__dict__
        d["code"], d["message"], d["parameters"] = texts[at], texts[at + 1], parameters
        failures.append(failure)
        at += 3 + 3 * count
    fields["failures"] = tuple(failures)
    if without_json:
        fields["_json_texts"] = texts[end:]  # the failures' texts, numbers as the library wrote them
    else:
        fields["json"] = texts[0]
    return result


def _strength_of_fields(values: Any, score: int, raw: bytes) -> Strength:
    """A Strength of the library's fields, built directly: a frozen dataclass's own __init__ costs
    more than the estimate's whole answer otherwise."""
    texts = raw.decode("utf-8").split("\0")
    return _strength_of_texts(values, score, texts, 0, None)


def _strength_of_texts(values: Any, score: int, texts: list[str], at: int, feedback: Optional[Feedback]) -> Strength:
    """texts[at:]: the estimate's eight texts, then its suggestion pairs; feedback: the one made of
    them already, if any."""
    if feedback is None:
        feedback = _new(Feedback)
        feedback.__dict__.update(warning=texts[at + 2], suggestions=tuple(texts[at + 8:-1:2]),
                                 warning_key=texts[at + 3], suggestion_keys=tuple(texts[at + 9:-1:2]))
    strength = _new(Strength)
    strength.__dict__.update(
        score=score, guesses=values[0], guesses_log10=values[1], feedback=feedback,
        crack_times_seconds={"online_throttling": values[2], "online_no_throttling": values[3],
                             "offline_slow_hashing": values[4], "offline_fast_hashing": values[5]},
        crack_times_display={"online_throttling": texts[at + 4], "online_no_throttling": texts[at + 5],
                             "offline_slow_hashing": texts[at + 6], "offline_fast_hashing": texts[at + 7]},
        profile=texts[at], language=texts[at + 1])
    return strength


# ---- Policies ----------------------------------------------------------------


class Rule(enum.IntEnum):
    """Rules with one number (the value is ignored where none is named)."""

    UPPERCASE = 1
    LOWERCASE = 2
    DIGIT = 3
    NO_SPACE = 4
    MIN_LENGTH = 5  # at least value UTF-16 code units
    CHARACTER_CLASSES = 6  # value of: upper, lower, digit, other
    KEYBOARD_SEQUENCE = 7
    QWERTY_SEQUENCE = 8
    ALPHABETICAL_SEQUENCE = 9
    REPEATED_DIGITS = 10
    REPEATED_CHARACTERS = 11
    COMMON_PASSWORDS = 12


class TextRule(enum.IntEnum):
    """Rules with a text."""

    ALLOWED_CHARACTERS = 1
    USERNAME = 2
    FORBIDDEN_PATTERN = 3  # a regular expression that must not match
    FORBIDDEN_WORD = 4
    BLOCKLIST_WORD = 5
    BLOCKLIST_FILE = 6  # a compiled blocklist file, or a list of one password a line


class Policy(_Handle):
    """A set of rules a password must pass. ``Policy()`` accepts every password until rules are
    added; ``Policy.nist()`` is the policy after NIST SP 800-63B. Once built, several threads may
    check passwords against one policy. Closing it wipes the words it holds."""

    _destroy = lib.klp_policy_destroy

    def __init__(self) -> None:
        super().__init__()
        call(lib.klp_policy_init, ctypes.byref(self._ptr))

    @classmethod
    def nist(cls, *, multi_factor: bool = False, max_length: int = 64, min_score: int = 0,
             common_passwords: bool = True, context: Iterable[Text] = ()) -> "Policy":
        """15 characters at least (8 with ``multi_factor``), at most ``max_length`` (64 or more),
        the library's common passwords refused (unless ``common_passwords=False``) and the
        ``context`` words (the service's name, the user name), and a strength score of at least
        ``min_score`` (0 for none, up to 4)."""
        policy = cls.__new__(cls)
        _Handle.__init__(policy)
        words, count = word_array(context)
        flags = (1 if multi_factor else 0) | (0 if common_passwords else 2)
        call(lib.klp_policy_init_nist, ctypes.byref(policy._ptr), flags, max_length, min_score, words, count)
        return policy

    @_exclusive
    def add_rule(self, rule: Rule, value: int = 0) -> "Policy":
        call(lib.klp_policy_add_rule, self._h, int(rule), value)
        return self

    @_exclusive
    def add_length(self, minimum: int, maximum: Optional[int] = None) -> "Policy":
        """minimum <= length <= maximum, in UTF-16 code units (no maximum when None)."""
        if maximum is None:
            return self.add_rule(Rule.MIN_LENGTH, minimum)
        call(lib.klp_policy_add_length, self._h, minimum, maximum)
        return self

    @_exclusive
    def add_text_rule(self, rule: TextRule, text: Text) -> "Policy":
        call(lib.klp_policy_add_text_rule, self._h, int(rule), encode(text))
        return self

    @_exclusive
    def add_blocklist(self, words: Iterable[Text] = (), file: Optional[PathLike] = None) -> "Policy":
        """Refuses each word (compared trimmed, in lower case) and the passwords of a blocklist file."""
        for word in words:
            self.add_text_rule(TextRule.BLOCKLIST_WORD, word)
        if file is not None:
            call(lib.klp_policy_add_text_rule, self._h, int(TextRule.BLOCKLIST_FILE), encode_path(file))
        return self

    @_exclusive
    def add_min_strength(self, min_score: int, words: Iterable[Text] = ()) -> "Policy":
        """Refuses passwords scored below min_score (1 to 4); words count as the likeliest guesses."""
        array, count = word_array(words)
        call(lib.klp_policy_add_min_strength, self._h, min_score, array, count)
        return self

    @_exclusive
    def set_user_inputs(self, words: Iterable[Text]) -> "Policy":
        """The words (user name, site) the strength estimate counts as most likely; replaces earlier ones."""
        array, count = word_array(words)
        call(lib.klp_policy_set_user_inputs, self._h, array, count)
        return self

    @_exclusive
    def set_strength_model(self, profile: Optional[str] = None,
                           language: Union[None, str, Sequence[str]] = None) -> "Policy":
        """The model and languages of the estimate each check makes and of the minimum-strength
        rules (added before or after); messages are then in the first language where the library
        has them. A language alone chooses "zxcvbn-ts"."""
        number, codes = _model(profile, language)
        array = (ctypes.c_char_p * max(1, len(codes)))(*codes)
        call(lib.klp_policy_set_strength_model, self._h, number, array, len(codes))
        return self

    @_exclusive
    def add_user_attributes(self, attributes: Iterable[tuple[Text, Text]], max_similarity: float = 0.7) -> "Policy":
        """Refuses passwords built on the user's own attributes, given as (name, value) pairs
        ("user name", "alice"): similar to a value or a part of it (its similarity reaching
        max_similarity), or holding one (TOO_SIMILAR; its "attribute" parameter is the name)."""
        pairs = list(attributes)
        names, count = word_array(name for name, _ in pairs)
        values, _count = word_array(value for _, value in pairs)
        call(lib.klp_policy_add_user_attributes, self._h, names, values, count, float(max_similarity))
        return self

    @_shared
    def __len__(self) -> int:
        count = ctypes.c_size_t()
        call(lib.klp_policy_rule_count, self._h, ctypes.byref(count))
        return count.value

    def check(self, password: Text, *, lang: Optional[str] = None) -> CheckResult:
        """Checks password against every rule and estimates its strength (one call into the library);
        the failures' messages in lang (a language of the library's packs, "de", "fr"...; English for
        any other), or in the strength model's language when None."""
        language = None if lang is None else encode(lang, "lang")
        values, counts, texts, size, space = _check_space()
        buffer = _lib.fill_secret(space, password)  # zeroed below, whatever happens after
        # A reader, as _shared makes one, spelled out with the plain lock: a check is short enough
        # for the decorator's and the condition's own cost to show.
        lock = self._lock
        with lock:
            nested = self._owner is not None and self._owner == threading.get_ident()
            if not nested:
                self._wait_for_owner()
                self._readers += 1
            handle = self._ptr
        try:
            if not handle.value:
                raise InvalidArgument("the Policy is closed")
            size.value = _lib._JSON_BUFFER
            # Without a language of its own the JSON line's messages are the fields' own, and the line
            # is formed from them when asked for; with one, the library forms it.
            fn = lib.klp_policy_check_fields_nojson if language is None else lib.klp_policy_check_fields_lang
            status = fn(handle, buffer, language, values, counts, texts, size)
            if status == _lib.BUFFER_TOO_SMALL:
                texts = ctypes.create_string_buffer(size.value)
                status = fn(handle, buffer, language, values, counts, texts, size)
            if status < 0:
                _lib.raise_for(status)
            raw = ctypes.string_at(texts, size.value)
        finally:
            if buffer is space:
                space.raw = _lib.SECRET_ZEROS
            else:
                ctypes.memset(buffer, 0, ctypes.sizeof(buffer))
            if not nested:
                with lock:
                    self._readers -= 1
                    if self._waiting:
                        self._cond.notify_all()
        return _check_result_of_fields(status, values, counts, raw, language is None)


def compile_blocklist(list_path: PathLike, out_path: PathLike, *, sha1_hashes: Optional[bool] = None) -> None:
    """Compiles a list (one password, or one SHA-1 hash in hex, a line; recognised when
    sha1_hashes is None) into the compact file ``Policy.add_blocklist(file=...)`` loads."""
    fmt = 2 if sha1_hashes is None else (1 if sha1_hashes else 0)
    call(lib.klp_blocklist_compile, encode_path(list_path), fmt, encode_path(out_path))


def check(password: Text, *, policy: Optional[Policy] = None, user_inputs: Sequence[Text] = (),
          profile: Optional[str] = None, language: Union[None, str, Sequence[str]] = None) -> CheckResult:
    """Checks password against policy (the NIST policy when None, with ``user_inputs`` as its
    context words and the strength model of ``profile`` and ``language``). A refused password is
    ``ok=False``, not an exception."""
    if policy is not None:
        if user_inputs or profile is not None or language is not None:
            raise InvalidArgument("give the user inputs and the strength model to the policy")
        return policy.check(password)
    with Policy.nist(context=user_inputs) as nist:
        if profile is not None or language is not None:
            nist.set_strength_model(profile, language)
        return nist.check(password)


_estimators: dict[tuple[Optional[str], tuple[str, ...]], Estimator] = {}
_estimators_lock = threading.Lock()


def _shared_estimator(profile: Optional[str], language: Union[None, str, Sequence[str]]) -> Estimator:
    """One estimator for each model and languages, made on first use and kept: estimates only read it."""
    key = (profile, (language,) if isinstance(language, str) else tuple(language or ()))
    found = _estimators.get(key)
    if found is None:
        with _estimators_lock:
            found = _estimators.get(key)
            if found is None:
                found = _estimators[key] = Estimator(profile=profile, language=language)
    return found


def estimate(password: Text, *, user_inputs: Sequence[Text] = (), profile: Optional[str] = None,
             language: Union[None, str, Sequence[str]] = None) -> Strength:
    """Estimates the guesses an attacker needs; user_inputs are the likeliest guesses of all.
    ``profile`` and ``language`` as for ``Estimator`` (English and zxcvbn by default)."""
    if user_inputs:
        with Estimator(profile=profile, language=language, user_inputs=user_inputs) as estimator:
            return estimator.estimate(password)
    return _shared_estimator(profile, language).estimate(password)


# ---- Generator ---------------------------------------------------------------

_OPTIONS = {"uppercase": 1, "lowercase": 2, "digits": 3, "symbols": 4, "space": 5, "custom": 6,
            "require_each_set": 7, "min_uppercase": 8, "min_lowercase": 9, "min_digits": 10, "min_symbols": 11,
            "exclude_lookalikes": 12, "default_length": 13, "iterations": 14, "passphrase_words": 15,
            "capitalize_words": 16, "passphrase_extra": 17}
_TEXTS = {"custom_characters": 1, "exclude_characters": 2, "lookalike_characters": 3, "separator": 4}


class Generator(_Handle):
    """Random passwords and passphrases, and passwords derived from a master key and a site.

    Settings are keyword arguments (or ``set``): uppercase, lowercase, digits, symbols (default on),
    space, custom (default off), require_each_set, min_uppercase/lowercase/digits/symbols (0 to 64),
    exclude_lookalikes, default_length (16), iterations (PBKDF2 iterations of derived passwords, 500),
    passphrase_words (6), capitalize_words, passphrase_extra (0 none, 1 a digit, 2 a symbol), and the
    texts custom_characters, exclude_characters, lookalike_characters, separator ("-"). One thread at
    a time. Passwords made are copied out and the library's copy wiped at once."""

    _destroy = lib.klp_generator_destroy

    def __init__(self, **settings: Union[int, bool, str]) -> None:
        super().__init__()
        call(lib.klp_generator_init, ctypes.byref(self._ptr))
        try:
            self.set(**settings)
        except BaseException:
            self.close()
            raise

    @_exclusive
    def set(self, **settings: Union[int, bool, str]) -> "Generator":
        for name, value in settings.items():
            if name in _OPTIONS:
                if isinstance(value, str):
                    raise TypeError(f"{name} takes a number")
                call(lib.klp_generator_set_option, self._h, _OPTIONS[name], int(value))
            elif name in _TEXTS:
                call(lib.klp_generator_set_text, self._h, _TEXTS[name], encode(str(value), name))
            else:
                raise TypeError(f"unknown generator setting {name!r}")
        return self

    @_exclusive
    def get(self, name: str) -> int:
        value = ctypes.c_int32()
        if name not in _OPTIONS:
            raise TypeError(f"unknown generator setting {name!r}")
        call(lib.klp_generator_get_option, self._h, _OPTIONS[name], ctypes.byref(value))
        return value.value

    @_exclusive
    def load_word_list(self, path: PathLike) -> None:
        """Passphrase words from a file, one word a line (UTF-8)."""
        call(lib.klp_generator_load_word_list, self._h, encode_path(path))

    @staticmethod
    def _range(length: Optional[int], min_length: Optional[int], max_length: Optional[int]) -> tuple[int, int]:
        if length is not None:
            if min_length is not None or max_length is not None:
                raise InvalidArgument("give length, or min_length and max_length, not both")
            return length, length
        low = min_length or 0
        return low, max_length if max_length is not None else low

    @_exclusive
    def generate(self, length: Optional[int] = None, *, min_length: Optional[int] = None,
                 max_length: Optional[int] = None) -> str:
        """A random password of length characters (or min_length to max_length; the default
        length when none is given), uniform over every password that meets the settings."""
        low, high = self._range(length, min_length, max_length)
        out = ctypes.c_void_p()
        call(lib.klp_generator_generate, self._h, low, high, ctypes.byref(out))
        return take_secret(out)

    @_exclusive
    def passphrase(self, words: int = 0) -> str:
        """A passphrase of words words (0 for the setting)."""
        out = ctypes.c_void_p()
        call(lib.klp_generator_passphrase, self._h, words, ctypes.byref(out))
        return take_secret(out)

    @_exclusive
    def entropy(self, length: Optional[int] = None, *, min_length: Optional[int] = None,
                max_length: Optional[int] = None) -> float:
        """Bits of entropy of ``generate`` with these arguments."""
        low, high = self._range(length, min_length, max_length)
        bits = ctypes.c_double()
        call(lib.klp_generator_entropy, self._h, low, high, ctypes.byref(bits))
        return bits.value

    @_exclusive
    def passphrase_entropy(self, words: int = 0) -> float:
        bits = ctypes.c_double()
        call(lib.klp_generator_passphrase_entropy, self._h, words, ctypes.byref(bits))
        return bits.value

    @_exclusive
    def derive(self, master_key: Text, site: Text, length: int = 0) -> str:
        """The password derived from master_key and site (PBKDF2-HMAC-SHA-256 over the generator's
        alphabet and iterations), alike on every machine; length 0 for the default length."""
        out = ctypes.c_void_p()
        with Secret(master_key, "master key") as key:
            call(lib.klp_generator_derive, self._h, key, encode(site, "site"), length, ctypes.byref(out))
        return take_secret(out)


def generate(length: Optional[int] = None, *, min_length: Optional[int] = None, max_length: Optional[int] = None,
             **settings: Union[int, bool, str]) -> str:
    """A random password (16 characters of upper and lower case, digits and symbols by default);
    settings as for ``Generator``."""
    with Generator(**settings) as generator:
        return generator.generate(length, min_length=min_length, max_length=max_length)


def passphrase(words: int = 6, **settings: Union[int, bool, str]) -> str:
    """A passphrase of words random words joined by the separator ("-" by default)."""
    with Generator(**settings) as generator:
        return generator.passphrase(words)


def derive(master_key: Text, site: Text, *, length: int = 16, iterations: int = 500,
           **settings: Union[int, bool, str]) -> str:
    """The password for site derived from master_key: alike on every machine for the same settings."""
    with Generator(iterations=iterations, **settings) as generator:
        return generator.derive(master_key, site, length)


# ---- Password hashes ---------------------------------------------------------


def hash_password(password: Text, *, memory_kib: int = DEFAULT_MEMORY_KIB, passes: int = DEFAULT_PASSES) -> str:
    """An Argon2id hash of password as a PHC string ("$argon2id$v=19$m=...,t=...,p=...$salt$hash"),
    with a new random salt; memory in KiB. The copy of the password handed to the library is zeroed."""
    out = ctypes.create_string_buffer(_lib.HASH_MAX_BYTES)
    size = ctypes.c_size_t(_lib.HASH_MAX_BYTES)
    with Secret(password) as buffer:
        call(lib.klp_hash_password, buffer, memory_kib, passes, out, ctypes.byref(size))
    return out.value.decode("ascii")


def verify_password(hash: Text, password: Text) -> bool:
    """True when password matches hash, False when not. Raises InvalidHash for a string that is
    no Argon2id hash or asks for more than 1 GiB or 16 passes."""
    with Secret(password) as buffer:
        return call(lib.klp_verify_password, encode(hash, "hash"), buffer) == _lib.OK


def needs_rehash(hash: Text, *, memory_kib: int = DEFAULT_MEMORY_KIB, passes: int = DEFAULT_PASSES) -> bool:
    """True when hash is weaker than a new hash with these parameters (memory in KiB), or malformed."""
    return call(lib.klp_needs_rehash, encode(hash, "hash"), memory_kib, passes) == _lib.NEEDS_REHASH


# ---- Files ---------------------------------------------------------------------


@dataclass(frozen=True)
class FileInfo:
    """What an encrypted file's header says: format version 1 to 3, and for version 3 the
    Argon2id memory (KiB) and passes of its master key."""

    version: int
    encrypted: bool
    authenticated: bool
    memory_kib: int
    passes: int


def file_info(path: PathLike) -> FileInfo:
    v, e, a = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    m, t = ctypes.c_uint32(), ctypes.c_uint32()
    call(lib.klp_file_info, encode_path(path), ctypes.byref(v), ctypes.byref(e), ctypes.byref(a), ctypes.byref(m),
         ctypes.byref(t))
    return FileInfo(v.value, bool(e.value), bool(a.value), m.value, t.value)


@dataclass(frozen=True)
class User:
    uid: int
    name: str


class UserDatabase(_Handle):
    """A user password database: a text file (one line a user) or, with a master password, an
    encrypted file. Saves only when asked (``save``; leaving a ``with`` block without an exception
    saves pending changes) and refuses (FileChanged) to save over a file another program changed.
    One thread at a time. Closing wipes the hashes and the master password held."""

    _destroy = lib.klp_users_destroy

    def __init__(self, master_password: Optional[Text] = None, *, hash_cost: tuple[int, int] = (0, 0),
                 file_cost: tuple[int, int] = (0, 0)) -> None:
        super().__init__()
        if master_password is None:
            call(lib.klp_users_init, ctypes.byref(self._ptr), 0, None)
        else:
            with Secret(master_password, "master password") as buffer:
                call(lib.klp_users_init, ctypes.byref(self._ptr), 1, buffer)
        try:
            call(lib.klp_users_set_hash_cost, self._h, *hash_cost)
            if master_password is not None:
                call(lib.klp_users_set_file_cost, self._h, *file_cost)
        except BaseException:
            self.close()
            raise

    @classmethod
    def create(cls, path: PathLike, master_password: Optional[Text] = None, *, hash_cost: tuple[int, int] = (0, 0),
               file_cost: tuple[int, int] = (0, 0)) -> "UserDatabase":
        """A new empty database at path, written at once. Costs are (memory KiB, passes), 0 for
        the defaults: hash_cost of new user hashes, file_cost of the encrypted file's master key."""
        db = cls(master_password, hash_cost=hash_cost, file_cost=file_cost)
        db._run(lib.klp_users_create, encode_path(path))
        return db

    @classmethod
    def open(cls, path: PathLike, master_password: Optional[Text] = None, *, allow_legacy: bool = False,
             hash_cost: tuple[int, int] = (0, 0)) -> "UserDatabase":
        db = cls(master_password, hash_cost=hash_cost)
        db._run(lib.klp_users_open, encode_path(path), 1 if allow_legacy else 0)
        return db

    @classmethod
    def open_uri(cls, uri: str, *, create: bool = False, pepper: Optional[Text] = None,
                 pepper_file: Optional[PathLike] = None, max_failures: Optional[int] = None,
                 hash_cost: tuple[int, int] = (0, 0)) -> "UserDatabase":
        """The database a URI names: "sqlite:PATH", "postgresql://..." (any libpq connection
        string; prefer PGPASSFILE or PGPASSWORD to a password in it), or a text file's path; with
        ``create`` a new empty one (AlreadyExists when one is there). The SQL databases store each
        change when its call returns and may be shared by processes; an unreachable server raises
        Unavailable. ``pepper`` (lines "ID HEX", the first key current) or ``pepper_file`` are the
        server keys of new hashes; ``max_failures`` sets the stored limit of failed attempts."""
        db = cls.__new__(cls)
        _Handle.__init__(db)
        call(lib.klp_users_open_uri, ctypes.byref(db._ptr), encode(uri, "uri"), 0x100 if create else 0)
        try:
            call(lib.klp_users_set_hash_cost, db._h, *hash_cost)
            if pepper is not None:
                db.set_pepper(pepper)
            if pepper_file is not None:
                call(lib.klp_users_set_pepper_file, db._h, encode_path(pepper_file))
            if max_failures is not None:
                db.max_failures = max_failures
        except BaseException:
            db.close()
            raise
        return db

    @_exclusive
    def set_pepper(self, keys: Optional[Text]) -> None:
        """The server keys applied to new hashes (lines "ID HEX"; None removes them). A record made
        under a key not loaded, or under other bytes of its name, raises PepperError on verify."""
        if keys is None:
            call(lib.klp_users_set_pepper, self._h, None)
            return
        with Secret(keys, "pepper") as buffer:
            call(lib.klp_users_set_pepper, self._h, buffer)

    @property
    @_exclusive
    def max_failures(self) -> int:
        """Consecutive failed attempts after which an account is locked (0 never locks); stored in
        the database."""
        value = ctypes.c_int32()
        call(lib.klp_users_get_max_failures, self._h, ctypes.byref(value))
        return value.value

    @max_failures.setter
    @_exclusive
    def max_failures(self, limit: int) -> None:
        call(lib.klp_users_set_max_failures, self._h, limit)

    @_exclusive
    def failure_count(self, name: Text) -> int:
        value = ctypes.c_int32()
        call(lib.klp_users_failure_count, self._h, encode(name, "name"), ctypes.byref(value))
        return value.value

    @_exclusive
    def unlock(self, name: Text) -> None:
        """Sets the account's count of failures back to zero (NotFound for an unknown user)."""
        call(lib.klp_users_unlock, self._h, encode(name, "name"))

    @_exclusive
    def _run(self, fn: Any, *args: Any) -> int:
        try:
            return call(fn, self._h, *args)
        except KLPasswordError:
            if fn in (lib.klp_users_create, lib.klp_users_open):
                self.close()
            raise

    @_exclusive
    def save(self) -> None:
        call(lib.klp_users_save, self._h)

    @_exclusive
    def add(self, name: Text, password: Text) -> int:
        """Adds a user (AlreadyExists if present); returns its id."""
        uid = ctypes.c_int32()
        with Secret(password) as buffer:
            call(lib.klp_users_add, self._h, encode(name, "name"), buffer, ctypes.byref(uid))
        return uid.value

    @_exclusive
    def change(self, name: Text, password: Text) -> None:
        """A new password for an existing user (NotFound otherwise)."""
        with Secret(password) as buffer:
            call(lib.klp_users_change, self._h, encode(name, "name"), buffer)

    @_exclusive
    def delete(self, name: Text) -> None:
        call(lib.klp_users_delete, self._h, encode(name, "name"))

    @_exclusive
    def verify(self, name: Text, password: Text) -> bool:
        """True on a match, False when not; NotFound for an unknown user. A match may replace an
        old or weak hash: save afterwards."""
        with Secret(password) as buffer:
            return call(lib.klp_users_verify, self._h, encode(name, "name"), buffer) == _lib.OK

    @_exclusive
    def upgrade(self) -> int:
        """Wraps every old SHA-256 hash in Argon2id and saves; returns the number wrapped."""
        wrapped = ctypes.c_int32()
        status = call(lib.klp_users_upgrade, self._h, ctypes.byref(wrapped))
        return 0 if status == _lib.UNCHANGED else wrapped.value

    @property
    @_exclusive
    def modified(self) -> bool:
        value = ctypes.c_int()
        call(lib.klp_users_modified, self._h, ctypes.byref(value))
        return bool(value.value)

    @_exclusive
    def __len__(self) -> int:
        count = ctypes.c_size_t()
        call(lib.klp_users_count, self._h, ctypes.byref(count))
        return count.value

    @_exclusive
    def users(self) -> list[User]:
        """Every user in file order."""
        out = []
        for i in range(len(self)):
            uid = ctypes.c_int32()
            name = read_text(lambda h, o, n, i=i: lib.klp_users_get(h, i, ctypes.byref(uid), o, n), self._h)
            out.append(User(uid.value, name))
        return out

    def __exit__(self, exc_type: object, *exc: object) -> None:
        try:
            if exc_type is None and self._ptr.value and self.modified:
                self.save()
        finally:
            self.close()


# ---- Vaults ----------------------------------------------------------------------


class Field(enum.IntEnum):
    TITLE = 0
    USERNAME = 1
    PASSWORD = 2
    URL = 3
    NOTE = 4
    GROUP = 5  # not empty, without '/'


class Match(enum.IntEnum):
    CONTAINS = 0
    EQUALS = 1
    NOT_EQUALS = 2


class Format(enum.IntEnum):
    AUTO = 0  # import: recognised from the content; export: JSON
    CSV = 1
    KEEPASSXC_CSV = 2
    BITWARDEN_CSV = 3
    BROWSER_CSV = 4
    JSON = 5
    BITWARDEN_JSON = 6


@dataclass(frozen=True)
class Group:
    """A group of a vault: its path ("Work/Dev", "\\/" a '/' within a name, "" the root), notes,
    UUID (32 hex digits) and dates (seconds since 1970; expires 0 for never)."""

    path: str
    notes: str
    uuid: str
    created: int
    modified: int
    expires: int


@dataclass(frozen=True)
class Record:
    """A vault record; dates are seconds since 1970 (0 for never)."""

    index: int
    title: str
    username: str
    password: str
    url: str
    note: str
    group: str
    created: int
    modified: int
    accessed: int


_KDFS = ("aes-kdf", "argon2d", "argon2id")
_CIPHERS = ("aes256", "chacha20")


@dataclass(frozen=True)
class KdbxSettings:
    """How a KDBX file derives its key and enciphers: kdf "aes-kdf", "argon2d" or "argon2id";
    cipher "aes256" or "chacha20"; iterations (Argon2 passes or AES-KDF rounds); memory_bytes and
    parallelism (Argon2 only)."""

    kdf: str = "argon2id"
    cipher: str = "aes256"
    iterations: int = 10
    memory_bytes: int = 64 * 1024 * 1024
    parallelism: int = 2


class Vault(_Handle):
    """An encrypted password vault. ``Vault.create`` or ``Vault.open`` tie it to a file; ``save``
    writes it atomically and refuses (FileChanged) a file another program saved meanwhile. One
    thread at a time (a read stamps the record's access time). Closing wipes every record and the
    master key; record passwords read out pass through a buffer that is zeroed."""

    _destroy = lib.klp_vault_destroy

    def __init__(self) -> None:
        super().__init__()
        call(lib.klp_vault_init, ctypes.byref(self._ptr))

    @classmethod
    def create(cls, path: PathLike, master_password: Text, *, file_cost: tuple[int, int] = (0, 0)) -> "Vault":
        """A new empty vault saved at path (an existing file is replaced); file_cost is the
        (memory KiB, passes) of the master key, 0 for the defaults."""
        vault = cls()
        try:
            call(lib.klp_vault_set_file_cost, vault._h, *file_cost)
            with Secret(master_password, "master password") as buffer:
                call(lib.klp_vault_create, vault._h, encode_path(path), buffer)
        except BaseException:
            vault.close()
            raise
        return vault

    @classmethod
    def open(cls, path: PathLike, master_password: Text = "", *, allow_legacy: bool = False,
             kdbx_cost_limit: int = 0, key_file: Optional[PathLike] = None) -> "Vault":
        """Opens the library's vault format or a KDBX file (told by content; it then saves as
        KDBX 4 with its settings). key_file: a KDBX key file, part of the key with the password, or
        the whole key with an empty one. kdbx_cost_limit: the largest key-derivation cost a KDBX
        file may ask for, in mebibyte-passes (0 for the library's default, 16384); a costlier file
        is refused (DamagedFile) before anything is derived."""
        vault = cls()
        try:
            call(lib.klp_vault_set_kdbx_cost_limit, vault._h, kdbx_cost_limit)
            if key_file is not None:
                call(lib.klp_vault_set_key_file, vault._h, encode_path(key_file))
            with Secret(master_password, "master password") as buffer:
                call(lib.klp_vault_open, vault._h, encode_path(path), buffer, 1 if allow_legacy else 0)
        except BaseException:
            vault.close()
            raise
        return vault

    @staticmethod
    def upgrade(path: PathLike, master_password: Text, *, memory_kib: int = 0, passes: int = 0) -> bool:
        """Saves the file at path as format 3 (with this cost, 0 for defaults); False when it was
        format 3 already and no cost was given."""
        with Secret(master_password, "master password") as buffer:
            return call(lib.klp_vault_upgrade, encode_path(path), buffer, memory_kib, passes) == _lib.OK

    @_exclusive
    def save(self) -> None:
        call(lib.klp_vault_save, self._h)

    @property
    @_exclusive
    def kdbx(self) -> bool:
        """Whether saves write KDBX 4 (after a KDBX file was opened, or when set)."""
        value = ctypes.c_int()
        call(lib.klp_vault_get_save_format, self._h, ctypes.byref(value))
        return value.value == 1

    @kdbx.setter
    @_exclusive
    def kdbx(self, value: bool) -> None:
        call(lib.klp_vault_set_save_format, self._h, 1 if value else 0)

    @_exclusive
    def set_key_file(self, key_file: Optional[PathLike]) -> None:
        """The KDBX key file of the next saves (None for none)."""
        call(lib.klp_vault_set_key_file, self._h, None if key_file is None else encode_path(key_file))

    @property
    @_exclusive
    def kdbx_version(self) -> int:
        """The version of the KDBX file opened (0x00030001, 0x00040000, 0x00040001); 0 for none."""
        value = ctypes.c_uint32()
        call(lib.klp_vault_kdbx_version, self._h, ctypes.byref(value))
        return value.value

    @property
    @_exclusive
    def kdbx_settings(self) -> "KdbxSettings":
        """The key derivation and cipher of KDBX saves (the file's after a KDBX open)."""
        kdf, cipher, lanes = ctypes.c_int(), ctypes.c_int(), ctypes.c_uint32()
        iterations, memory = ctypes.c_uint64(), ctypes.c_uint64()
        call(lib.klp_vault_get_kdbx_settings, self._h, ctypes.byref(kdf), ctypes.byref(cipher),
             ctypes.byref(iterations), ctypes.byref(memory), ctypes.byref(lanes))
        return KdbxSettings(_KDFS[kdf.value], _CIPHERS[cipher.value], iterations.value, memory.value, lanes.value)

    @kdbx_settings.setter
    @_exclusive
    def kdbx_settings(self, value: "KdbxSettings") -> None:
        if value.kdf not in _KDFS or value.cipher not in _CIPHERS:
            raise InvalidArgument(f"unknown key derivation or cipher (kdf: {', '.join(_KDFS)}; "
                                  f"cipher: {', '.join(_CIPHERS)})")
        call(lib.klp_vault_set_kdbx_settings, self._h, _KDFS.index(value.kdf), _CIPHERS.index(value.cipher),
             value.iterations, value.memory_bytes, value.parallelism)

    @_exclusive
    def set_master_password(self, master_password: Text) -> None:
        with Secret(master_password, "master password") as buffer:
            call(lib.klp_vault_set_master_password, self._h, buffer)

    @_exclusive
    def set_file_cost(self, memory_kib: int = 0, passes: int = 0) -> None:
        call(lib.klp_vault_set_file_cost, self._h, memory_kib, passes)

    @_exclusive
    def __len__(self) -> int:
        count = ctypes.c_size_t()
        call(lib.klp_vault_count, self._h, ctypes.byref(count))
        return count.value

    @_exclusive
    def add(self, title: Text = "", *, username: Text = "", password: Text = "", url: Text = "", note: Text = "",
            group: Text = "General") -> int:
        """Adds a record; returns its place."""
        index = ctypes.c_size_t()
        with Secret(password) as buffer:
            call(lib.klp_vault_add, self._h, encode(title, "title"), encode(username, "username"), buffer,
                 encode(url, "url"), encode(note, "note"), encode(group, "group"), ctypes.byref(index))
        return index.value

    @_exclusive
    def get_field(self, index: int, field: Field) -> str:
        return read_text(lambda h, o, n: lib.klp_vault_get_field(h, index, int(field), o, n), self._h,
                         secret=field == Field.PASSWORD)

    @_exclusive
    def set_field(self, index: int, field: Field, value: Text) -> None:
        with Secret(value, field.name.lower()) as buffer:
            call(lib.klp_vault_set_field, self._h, index, int(field), buffer)

    @_exclusive
    def get(self, index: int) -> Record:
        texts = [self.get_field(index, f) for f in Field]
        dates = [ctypes.c_int64() for _ in range(3)]
        call(lib.klp_vault_get_dates, self._h, index, *(ctypes.byref(d) for d in dates))
        return Record(index, *texts, *(d.value for d in dates))

    @_exclusive
    def groups(self) -> list[Group]:
        """The groups the vault lists, parents before their subgroups, empty ones too."""
        count = ctypes.c_size_t()
        call(lib.klp_vault_group_count, self._h, ctypes.byref(count))
        out = []
        for i in range(count.value):
            path, notes, uuid = (read_text(lambda h, o, n, w=which: lib.klp_vault_group_get_text(h, i, w, o, n), self._h)
                                 for which in range(3))
            dates = [ctypes.c_int64() for _ in range(3)]
            call(lib.klp_vault_group_get_dates, self._h, i, *(ctypes.byref(d) for d in dates))
            out.append(Group(path, notes, uuid, *(d.value for d in dates)))
        return out

    @_exclusive
    def put_group(self, path: Text, notes: Optional[Text] = None) -> None:
        """Lists the group at path (its parents too where missing) or gives the listed one notes;
        InvalidArgument for a path with an empty name ("a//b")."""
        call(lib.klp_vault_put_group, self._h, encode(path, "path"), optional(notes, "notes"))

    @_exclusive
    def move_group(self, source: Text, target: Text) -> None:
        """Moves the group at source, its subgroups and their records to target, keeping every UUID."""
        call(lib.klp_vault_move_group, self._h, encode(source, "source"), encode(target, "target"))

    @_exclusive
    def delete(self, index: int) -> None:
        """Removes the record at index; those after it move up one place."""
        call(lib.klp_vault_delete, self._h, index)

    @_exclusive
    def _indexes(self, fn: Any, *args: Any) -> list[int]:
        count = ctypes.c_size_t(0)
        status = fn(self._h, *args, None, ctypes.byref(count))
        while status == _lib.BUFFER_TOO_SMALL:
            array = (ctypes.c_size_t * max(1, count.value))()
            status = fn(self._h, *args, array, ctypes.byref(count))
            if status == _lib.OK:
                return list(array[: count.value])
        _lib.raise_for(status)
        return []

    def list(self, group: Optional[Text] = None) -> list[int]:
        """The places of the records of group (all when None)."""
        return self._indexes(lib.klp_vault_list, optional(group, "group"))

    def search(self, value: Text, *, field: Field = Field.TITLE, match: Match = Match.CONTAINS) -> list[int]:
        with Secret(value, "value") as buffer:
            return self._indexes(lib.klp_vault_search, int(field), int(match), buffer)

    @_exclusive
    def import_file(self, path: PathLike, format: Format = Format.AUTO, *, group: Optional[Text] = None) -> int:
        """Records from another manager's export (all or, on any fault, none); returns how many."""
        added = ctypes.c_int32()
        call(lib.klp_vault_import, self._h, encode_path(path), int(format), optional(group, "group"),
             ctypes.byref(added))
        return added.value

    @_exclusive
    def export(self, path: PathLike, format: Format = Format.JSON, *, spreadsheet_safe: bool = False) -> None:
        """Every record, in clear, to a file readable by its owner only."""
        call(lib.klp_vault_export, self._h, encode_path(path), int(format), 1 if spreadsheet_safe else 0)


# ---- Protection and the hash bound -----------------------------------------------

_SCOPES = {"user": 0, "machine": 1}


def _scope(scope: str) -> int:
    if scope not in _SCOPES:
        raise InvalidArgument(f"unknown scope {scope!r} (user or machine)")
    return _SCOPES[scope]


def protect(password: Text, *, scope: str = "user") -> bytes:
    """The password bound to this user (or, with scope="machine", to any user of this machine):
    bytes that only unprotect reads back, here."""
    size = ctypes.c_size_t(0)
    with Secret(password) as buffer:
        status = lib.klp_protect(buffer, _scope(scope), None, ctypes.byref(size))
        if status != _lib.BUFFER_TOO_SMALL:
            _lib.raise_for(status)
        out = (ctypes.c_uint8 * max(1, size.value))()
        call(lib.klp_protect, buffer, _scope(scope), out, ctypes.byref(size))
    return bytes(out[: size.value])


def unprotect(data: bytes) -> str:
    """The password of protect's bytes (DamagedFile for bytes it did not make here)."""
    raw = bytes(data)
    pointer = ctypes.c_void_p()
    call(lib.klp_unprotect, raw, len(raw), ctypes.byref(pointer))
    return take_secret(pointer)


def protect_file(path: PathLike, password: Text, *, scope: str = "user") -> None:
    """The same into a file, replaced atomically and readable by its owner only."""
    with Secret(password) as buffer:
        call(lib.klp_protect_file, encode_path(path), buffer, _scope(scope))


def unprotect_file(path: PathLike) -> str:
    pointer = ctypes.c_void_p()
    call(lib.klp_unprotect_file, encode_path(path), ctypes.byref(pointer))
    return take_secret(pointer)


def set_hash_concurrency(max_running: int = 0, *, wait_ms: int = 30000) -> None:
    """The process-wide bound on Argon2id computations at once (0 for the number of cores) and how
    long a caller waits for a free one before Busy."""
    call(lib.klp_set_hash_concurrency, max_running, wait_ms)


def hash_concurrency() -> tuple[int, int]:
    """(the bound in force, the wait in milliseconds)."""
    running, wait = ctypes.c_uint32(), ctypes.c_uint32()
    call(lib.klp_get_hash_concurrency, ctypes.byref(running), ctypes.byref(wait))
    return running.value, wait.value
