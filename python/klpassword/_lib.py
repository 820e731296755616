"""Loading libklpassword and calling its C interface through ctypes.

Only this module touches ctypes. Texts cross as UTF-8; secrets handed in are
copied into buffers this module zeroes after the call, and secrets handed out
by the library are read once and released with klp_secret_free (which wipes
them). Python's own str objects cannot be wiped: a caller who needs that passes
a bytearray and clears it afterwards.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from collections.abc import Iterable
from typing import Any, Callable, Union

from ._errors import InvalidArgument, InvalidUtf8, KLPasswordError, TooLong, error_class

ABI_VERSION = 20261209
MAX_TEXT_BYTES = 65535
HASH_MAX_BYTES = 513

OK, NO_MATCH, CHECK_FAILED, NEEDS_REHASH, UNCHANGED = 0, 1, 2, 3, 4
BUFFER_TOO_SMALL = -4

Text = Union[str, bytes, bytearray]

_c_int, _c_size, _c_i32, _c_u32 = ctypes.c_int, ctypes.c_size_t, ctypes.c_int32, ctypes.c_uint32
_p, _cp = ctypes.c_void_p, ctypes.c_char_p
_P = ctypes.POINTER
_pp = _P(_p)

# name: (restype, argtypes). Handles travel as void pointers.
_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "klp_status_message": (_cp, [_c_int]),
    "klp_last_error": (_cp, []),
    "klp_version": (_cp, []),
    "klp_abi_version": (ctypes.c_long, []),
    "klp_secret_free": (None, [_p]),
    "klp_policy_init": (_c_int, [_pp]),
    "klp_policy_init_nist": (_c_int, [_pp, _c_int, _c_i32, _c_i32, _P(_cp), _c_size]),
    "klp_policy_destroy": (None, [_p]),
    "klp_policy_add_rule": (_c_int, [_p, _c_int, _c_i32]),
    "klp_policy_add_length": (_c_int, [_p, _c_i32, _c_i32]),
    "klp_policy_add_text_rule": (_c_int, [_p, _c_int, _cp]),
    "klp_policy_add_min_strength": (_c_int, [_p, _c_i32, _P(_cp), _c_size]),
    "klp_policy_set_user_inputs": (_c_int, [_p, _P(_cp), _c_size]),
    "klp_policy_rule_count": (_c_int, [_p, _P(_c_size)]),
    "klp_policy_check": (_c_int, [_p, _p, _pp]),
    # What the Django validators need: a check in a language, the user's attributes.
    "klp_policy_check_lang": (_c_int, [_p, _p, _cp, _pp]),
    "klp_policy_add_user_attributes": (_c_int, [_p, _P(_cp), _P(_cp), _c_size, ctypes.c_double]),
    "klp_check_result_destroy": (None, [_p]),
    "klp_check_result_failure_count": (_c_int, [_p, _P(_c_size)]),
    "klp_check_result_failure_code": (_c_int, [_p, _c_size, _p, _P(_c_size)]),
    "klp_check_result_failure_message": (_c_int, [_p, _c_size, _c_int, _p, _P(_c_size)]),
    "klp_check_result_parameter_count": (_c_int, [_p, _c_size, _P(_c_size)]),
    "klp_check_result_parameter": (_c_int, [_p, _c_size, _c_size, _P(_c_int), _p, _P(_c_size), _p,
                                            _P(_c_size)]),
    "klp_check_result_json": (_c_int, [_p, _p, _P(_c_size)]),
    "klp_check_result_strength": (_c_int, [_p, _pp]),
    "klp_blocklist_compile": (_c_int, [_cp, _c_int, _cp]),
    "klp_strength_estimate": (_c_int, [_p, _P(_cp), _c_size, _pp]),
    "klp_strength_destroy": (None, [_p]),
    "klp_strength_values": (_c_int, [_p, _P(_c_i32), _P(ctypes.c_double), _P(ctypes.c_double)]),
    "klp_strength_crack_time": (_c_int, [_p, _c_int, _P(ctypes.c_double), _p, _P(_c_size)]),
    "klp_strength_warning": (_c_int, [_p, _p, _P(_c_size)]),
    "klp_strength_suggestion_count": (_c_int, [_p, _P(_c_size)]),
    "klp_strength_suggestion": (_c_int, [_p, _c_size, _p, _P(_c_size)]),
    "klp_generator_init": (_c_int, [_pp]),
    "klp_generator_destroy": (None, [_p]),
    "klp_generator_set_option": (_c_int, [_p, _c_int, _c_i32]),
    "klp_generator_get_option": (_c_int, [_p, _c_int, _P(_c_i32)]),
    "klp_generator_set_text": (_c_int, [_p, _c_int, _cp]),
    "klp_generator_load_word_list": (_c_int, [_p, _cp]),
    "klp_generator_generate": (_c_int, [_p, _c_i32, _c_i32, _pp]),
    "klp_generator_passphrase": (_c_int, [_p, _c_i32, _pp]),
    "klp_generator_entropy": (_c_int, [_p, _c_i32, _c_i32, _P(ctypes.c_double)]),
    "klp_generator_passphrase_entropy": (_c_int, [_p, _c_i32, _P(ctypes.c_double)]),
    "klp_generator_derive": (_c_int, [_p, _p, _cp, _c_i32, _pp]),
    "klp_hash_password": (_c_int, [_p, _c_u32, _c_u32, _p, _P(_c_size)]),
    "klp_verify_password": (_c_int, [_cp, _p]),
    "klp_needs_rehash": (_c_int, [_cp, _c_u32, _c_u32]),
    "klp_file_info": (_c_int, [_cp, _P(_c_int), _P(_c_int), _P(_c_int), _P(_c_u32), _P(_c_u32)]),
    "klp_users_init": (_c_int, [_pp, _c_int, _p]),
    "klp_users_destroy": (None, [_p]),
    "klp_users_set_hash_cost": (_c_int, [_p, _c_u32, _c_u32]),
    "klp_users_set_file_cost": (_c_int, [_p, _c_u32, _c_u32]),
    "klp_users_create": (_c_int, [_p, _cp]),
    "klp_users_open": (_c_int, [_p, _cp, _c_int]),
    "klp_users_save": (_c_int, [_p]),
    "klp_users_add": (_c_int, [_p, _cp, _p, _P(_c_i32)]),
    "klp_users_change": (_c_int, [_p, _cp, _p]),
    "klp_users_delete": (_c_int, [_p, _cp]),
    "klp_users_verify": (_c_int, [_p, _cp, _p]),
    "klp_users_count": (_c_int, [_p, _P(_c_size)]),
    "klp_users_get": (_c_int, [_p, _c_size, _P(_c_i32), _p, _P(_c_size)]),
    "klp_users_upgrade": (_c_int, [_p, _P(_c_i32)]),
    "klp_users_modified": (_c_int, [_p, _P(_c_int)]),
    "klp_vault_init": (_c_int, [_pp]),
    "klp_vault_destroy": (None, [_p]),
    "klp_vault_create": (_c_int, [_p, _cp, _p]),
    "klp_vault_open": (_c_int, [_p, _cp, _p, _c_int]),
    "klp_vault_save": (_c_int, [_p]),
    "klp_vault_set_master_password": (_c_int, [_p, _p]),
    "klp_vault_set_file_cost": (_c_int, [_p, _c_u32, _c_u32]),
    "klp_vault_set_kdbx_cost_limit": (_c_int, [_p, ctypes.c_uint64]),
    "klp_vault_upgrade": (_c_int, [_cp, _p, _c_u32, _c_u32]),
    "klp_vault_count": (_c_int, [_p, _P(_c_size)]),
    "klp_vault_add": (_c_int, [_p, _cp, _cp, _p, _cp, _cp, _cp, _P(_c_size)]),
    "klp_vault_get_field": (_c_int, [_p, _c_size, _c_int, _p, _P(_c_size)]),
    "klp_vault_set_field": (_c_int, [_p, _c_size, _c_int, _p]),
    "klp_vault_get_dates": (_c_int, [_p, _c_size, _P(ctypes.c_int64), _P(ctypes.c_int64), _P(ctypes.c_int64)]),
    "klp_vault_delete": (_c_int, [_p, _c_size]),
    "klp_vault_list": (_c_int, [_p, _cp, _P(_c_size), _P(_c_size)]),
    "klp_vault_search": (_c_int, [_p, _c_int, _c_int, _p, _P(_c_size), _P(_c_size)]),
    "klp_vault_import": (_c_int, [_p, _cp, _c_int, _cp, _P(_c_i32)]),
    "klp_vault_export": (_c_int, [_p, _cp, _c_int, _c_int]),
    "klp_vault_group_count": (_c_int, [_p, _P(_c_size)]),
    "klp_vault_group_get_text": (_c_int, [_p, _c_size, _c_int, _p, _P(_c_size)]),
    "klp_vault_group_get_dates": (_c_int, [_p, _c_size, _P(ctypes.c_int64), _P(ctypes.c_int64),
                                           _P(ctypes.c_int64)]),
    "klp_vault_put_group": (_c_int, [_p, _cp, _cp]),
    "klp_vault_move_group": (_c_int, [_p, _cp, _cp]),
    # Strength models and languages; every field of an estimate or check in one call.
    "klp_strength_languages": (_c_int, [_p, _P(_c_size)]),
    "klp_estimator_init": (_c_int, [_pp]),
    "klp_estimator_destroy": (None, [_p]),
    "klp_estimator_set_profile": (_c_int, [_p, _c_int]),
    "klp_estimator_set_languages": (_c_int, [_p, _P(_cp), _c_size]),
    "klp_estimator_set_user_inputs": (_c_int, [_p, _P(_cp), _c_size]),
    "klp_estimator_estimate_json": (_c_int, [_p, _p, _p, _P(_c_size)]),
    "klp_estimator_estimate_fields": (_c_int, [_p, _p, _P(ctypes.c_double), _P(_c_i32), _p, _P(_c_size)]),
    "klp_policy_set_strength_model": (_c_int, [_p, _c_int, _P(_cp), _c_size]),
    "klp_policy_check_json": (_c_int, [_p, _p, _p, _P(_c_size)]),
    "klp_policy_check_fields": (_c_int, [_p, _p, _P(ctypes.c_double), _P(_c_i32), _p, _P(_c_size)]),
    "klp_policy_check_fields_lang": (_c_int, [_p, _p, _p, _P(ctypes.c_double), _P(_c_i32), _p, _P(_c_size)]),
    "klp_policy_check_fields_nojson": (_c_int, [_p, _p, _p, _P(ctypes.c_double), _P(_c_i32), _p, _P(_c_size)]),
    # User stores by URI, server keys, the failure limit, the hash concurrency bound.
    "klp_users_open_uri": (_c_int, [_pp, _cp, _c_int]),
    "klp_users_set_pepper": (_c_int, [_p, _p]),
    "klp_users_set_pepper_file": (_c_int, [_p, _cp]),
    "klp_users_set_max_failures": (_c_int, [_p, _c_i32]),
    "klp_users_get_max_failures": (_c_int, [_p, _P(_c_i32)]),
    "klp_users_failure_count": (_c_int, [_p, _cp, _P(_c_i32)]),
    "klp_users_unlock": (_c_int, [_p, _cp]),
    "klp_set_hash_concurrency": (_c_int, [_c_u32, _c_u32]),
    "klp_get_hash_concurrency": (_c_int, [_P(_c_u32), _P(_c_u32)]),
    # KDBX files.
    "klp_vault_set_key_file": (_c_int, [_p, _cp]),
    "klp_vault_get_save_format": (_c_int, [_p, _P(_c_int)]),
    "klp_vault_set_save_format": (_c_int, [_p, _c_int]),
    "klp_vault_get_kdbx_settings": (_c_int, [_p, _P(_c_int), _P(_c_int), _P(ctypes.c_uint64), _P(ctypes.c_uint64),
                                             _P(_c_u32)]),
    "klp_vault_set_kdbx_settings": (_c_int, [_p, _c_int, _c_int, ctypes.c_uint64, ctypes.c_uint64, _c_u32]),
    "klp_vault_kdbx_version": (_c_int, [_p, _P(_c_u32)]),
    # Protection: a password bound to this user or this machine.
    "klp_protect": (_c_int, [_p, _c_int, _p, _P(_c_size)]),
    "klp_unprotect": (_c_int, [_p, _c_size, _pp]),
    "klp_protect_file": (_c_int, [_cp, _p, _c_int]),
    "klp_unprotect_file": (_c_int, [_cp, _pp]),
}


def _candidates() -> list[str]:
    explicit = os.environ.get("KLPASSWORD_LIBRARY")
    if explicit:
        return [explicit]  # named on purpose: never fall back to another copy
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libklpassword.so")
    try:  # a package built against an installed library records which (setup.py)
        from ._installed import LIBRARY  # type: ignore[import-not-found]

        return [LIBRARY]
    except ImportError:
        pass
    found = ctypes.util.find_library("klpassword")
    return [here] + ([found] if found else [])


def _load() -> ctypes.CDLL:
    errors = []
    for path in _candidates():
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as e:
            errors.append(f"{path}: {e}")
    else:
        raise ImportError("libklpassword not found (set KLPASSWORD_LIBRARY to its path): " + "; ".join(errors))
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    if lib.klp_abi_version() != ABI_VERSION:
        raise ImportError(f"libklpassword has ABI {lib.klp_abi_version()}, this package needs {ABI_VERSION}")
    return lib


lib = _load()


def raise_for(status: int) -> int:
    """Returns a status that is not an error; raises the matching exception for one that is."""
    if status >= 0:
        return status
    detail = (lib.klp_last_error() or b"").decode("utf-8", "replace")
    kind = (lib.klp_status_message(status) or b"").decode("utf-8", "replace")
    raise error_class(status)(f"{kind}: {detail}" if detail else kind, status)


_RANGES = {ctypes.c_int32: (-(2**31), 2**31 - 1), ctypes.c_uint32: (0, 2**32 - 1), ctypes.c_uint64: (0, 2**64 - 1),
           ctypes.c_size_t: (0, 2 ** (8 * ctypes.sizeof(ctypes.c_size_t)) - 1)}


def call(fn: Callable[..., int], *args: Any) -> int:
    """Calls fn and raises for an error status. ctypes would silently wrap a number too large for
    its C type (2**32 + 1024 KiB of memory becoming 1024): such numbers are refused here."""
    for value, kind in zip(args, fn.argtypes):
        bounds = _RANGES.get(kind)
        if bounds and isinstance(value, int) and not bounds[0] <= value <= bounds[1]:
            raise InvalidArgument(f"{value} is out of range for the library")
    return raise_for(fn(*args))


def _utf8(text: Text, what: str) -> Union[bytes, bytearray]:
    """The UTF-8 form of text (a bytearray passes through uncopied), checked as the library would,
    plus a NUL check: C would silently cut the text at a NUL."""
    if isinstance(text, str):
        try:
            data: Union[bytes, bytearray] = text.encode("utf-8")
        except UnicodeEncodeError as e:
            raise InvalidUtf8(f"{what} is not well-formed Unicode: {e.reason}") from None
    elif isinstance(text, (bytes, bytearray)):
        data = text
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(text).__name__}")
    if b"\0" in data:
        raise InvalidArgument(f"{what} holds a NUL character")
    if len(data) > MAX_TEXT_BYTES:
        raise TooLong(f"{what} is longer than {MAX_TEXT_BYTES} bytes of UTF-8")
    return data


def encode(text: Text, what: str = "text") -> bytes:
    """UTF-8 bytes of a text that is not secret."""
    return bytes(_utf8(text, what))


def optional(text: Text | None, what: str = "text") -> bytes | None:
    return None if text is None else encode(text, what)


def encode_path(path: str | os.PathLike[str]) -> bytes:
    return encode(os.fsdecode(os.fspath(path)), "path")


def _hot_utf8(text: str, what: str) -> bytes:
    """text in UTF-8 for a call on the hot path, refused where C would misread it."""
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError as e:
        raise InvalidUtf8(f"{what} is not well-formed Unicode: {e.reason}") from None
    if 0 in data:  # C would cut the text at a NUL
        raise InvalidArgument(f"{what} holds a NUL character")
    return data


def secret_buffer(text: Text, what: str = "password") -> ctypes.Array[ctypes.c_char]:
    """A C copy of a secret, NUL-terminated, for a call on the hot path; the caller zeroes it
    (ctypes.memset) after the call. The same checks as Secret."""
    if type(text) is str:
        data = _hot_utf8(text, what)
        if MAX_TEXT_BYTES < len(data):
            raise TooLong(f"{what} is longer than {MAX_TEXT_BYTES} bytes of UTF-8")
        return ctypes.create_string_buffer(data)
    with Secret(text, what) as buffer:  # bytes and bytearray: the careful copy
        copy = ctypes.create_string_buffer(ctypes.sizeof(buffer))
        ctypes.memmove(copy, buffer, ctypes.sizeof(buffer))
        return copy


# The thread's reused buffer for the secret of a call on the hot path: a password that fits is
# copied in (no buffer type made, nothing allocated), and the whole buffer zeroed after the call.
SECRET_SPACE = 1024
SECRET_ZEROS = bytes(SECRET_SPACE)


def fill_secret(space: ctypes.Array[ctypes.c_char], text: Text, what: str = "password") -> ctypes.Array[ctypes.c_char]:
    """text in space, NUL-terminated, when it is a str that fits; else a buffer of its own as
    secret_buffer makes. The caller zeroes what it gets after the call: space with
    ``space.raw = SECRET_ZEROS``, another with ctypes.memset. The same checks as Secret."""
    if type(text) is str:
        data = _hot_utf8(text, what)
        if len(data) < SECRET_SPACE:
            space.value = data
            return space
    return secret_buffer(text, what)


class Secret:
    """A secret copied into a C buffer that is zeroed when the ``with`` block ends."""

    def __init__(self, text: Text, what: str = "password") -> None:
        data = _utf8(text, what)
        self.buffer = ctypes.create_string_buffer(len(data) + 1)
        if isinstance(data, bytearray) and data:
            view = (ctypes.c_char * len(data)).from_buffer(data)  # no immutable copy of the caller's bytes
            ctypes.memmove(self.buffer, view, len(data))
            del view
        else:
            ctypes.memmove(self.buffer, bytes(data), len(data))

    def __enter__(self) -> ctypes.Array[ctypes.c_char]:
        return self.buffer

    def __exit__(self, *exc: object) -> None:
        ctypes.memset(self.buffer, 0, ctypes.sizeof(self.buffer))


def word_array(words: Iterable[Text]) -> tuple[Any, int]:
    encoded = [encode(w, "word") for w in words]
    array = (_cp * max(1, len(encoded)))(*encoded)
    return array, len(encoded)


def read_text(fn: Callable[..., int], *args: Any, secret: bool = False) -> str:
    """Calls fn(*args, out, out_len) with a buffer that fits most texts, and once more with the size
    the library asks for when it does not. A secret's buffers are zeroed once decoded."""
    size = _c_size(_FIRST_BUFFER)
    for _ in range(4):  # the size needed changes between calls only if another thread changes the handle
        buffer = ctypes.create_string_buffer(size.value)
        status = fn(*args, buffer, ctypes.byref(size))
        try:
            if status == BUFFER_TOO_SMALL:
                continue
            raise_for(status)
            return buffer.raw[: max(0, size.value - 1)].decode("utf-8")
        finally:
            if secret:
                ctypes.memset(buffer, 0, ctypes.sizeof(buffer))
    raise KLPasswordError("the library kept asking for a larger buffer")


_FIRST_BUFFER = 256

# The JSON of an estimate or a check is about a kilobyte: one buffer a thread,
# reused, so that a call costs no allocation. It never holds the password.
_JSON_BUFFER = 8192
_json_space = threading.local()


def read_json(fn: Callable[..., int], *args: Any) -> tuple[int, str]:
    """Calls fn(*args, out, out_len) once (once more only for an answer over 8 KB) and returns its
    status and the text written."""
    space = getattr(_json_space, "buffers", None)
    if space is None:
        space = _json_space.buffers = (ctypes.create_string_buffer(_JSON_BUFFER), _c_size())
    buffer, size = space
    size.value = _JSON_BUFFER
    status = fn(*args, buffer, ctypes.byref(size))
    if status == BUFFER_TOO_SMALL:
        larger = ctypes.create_string_buffer(size.value)
        status = fn(*args, larger, ctypes.byref(size))
        raise_for(status)
        return status, ctypes.string_at(larger, size.value - 1).decode("utf-8")
    raise_for(status)
    return status, ctypes.string_at(buffer, size.value - 1).decode("utf-8")


# The C runtime's strlen, to measure a secret in place: ctypes.string_at would
# copy it into a bytes object first, which nothing can wipe.
_strlen = (ctypes.cdll.msvcrt if os.name == "nt" else ctypes.CDLL(None)).strlen
_strlen.argtypes = [ctypes.c_void_p]
_strlen.restype = ctypes.c_size_t


def take_secret(pointer: ctypes.c_void_p) -> str:
    """The text of a secret the library handed out; the library's copy is wiped and released.
    The text is decoded straight from the library's block, so the returned str is the only copy
    left (Python cannot wipe a str: drop it as soon as it is used)."""
    try:
        if not pointer.value:
            return ""
        view = (ctypes.c_char * _strlen(pointer.value)).from_address(pointer.value)
        return str(memoryview(view).cast("B"), "utf-8")
    finally:
        lib.klp_secret_free(pointer)


def status_message(status: int) -> str:
    return (lib.klp_status_message(status) or b"").decode("utf-8", "replace")


def version() -> str:
    return (lib.klp_version() or b"").decode("ascii")
