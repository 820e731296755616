"""klpassword: password hashing, policies, strength estimates, generation, user databases and
vaults, over libklpassword's C interface.

The library is found through the environment variable KLPASSWORD_LIBRARY (a path to
libklpassword.so), else the copy installed inside this package, else the system's.
"""

from ._core import (DEFAULT_MEMORY_KIB, DEFAULT_PASSES, CheckResult, Estimator, Failure, Feedback, Field, FileInfo,
                    Format, Generator, Group, KdbxSettings, Match, Policy, Record, Rule, Strength, TextRule, User,
                    UserDatabase, Vault, check, compile_blocklist, derive, estimate, file_info, generate,
                    hash_concurrency, hash_password, languages, needs_rehash, passphrase, protect, protect_file,
                    set_hash_concurrency, unprotect, unprotect_file, verify_password)
from ._errors import (AccountLocked, AlreadyExists, Busy, DamagedFile, FileChanged, FileUnusable, InternalError,
                      InvalidArgument, InvalidHash, InvalidUtf8, KLPasswordError, LegacyFormat, NotFound, OutOfMemory,
                      PepperError, TooLong, Unavailable, WrongPassword)
from ._lib import ABI_VERSION, MAX_TEXT_BYTES, version

__version__ = version()

__all__ = [
    "ABI_VERSION", "MAX_TEXT_BYTES", "DEFAULT_MEMORY_KIB", "DEFAULT_PASSES", "version",
    "hash_password", "verify_password", "needs_rehash", "check", "estimate", "generate", "passphrase", "derive",
    "compile_blocklist", "file_info", "languages", "protect", "unprotect", "protect_file", "unprotect_file",
    "set_hash_concurrency", "hash_concurrency",
    "Policy", "Estimator", "Generator", "UserDatabase", "Vault", "Rule", "TextRule", "Field", "Match", "Format",
    "CheckResult", "Failure", "Feedback", "Strength", "FileInfo", "User", "Record", "Group", "KdbxSettings",
    "KLPasswordError", "InvalidArgument", "InvalidUtf8", "TooLong", "WrongPassword", "DamagedFile", "NotFound",
    "AlreadyExists", "FileUnusable", "FileChanged", "LegacyFormat", "InvalidHash", "OutOfMemory", "AccountLocked", "Busy",
    "Unavailable", "PepperError", "InternalError",
]
