"""The exception tree of klpassword: one class per kind of failure."""

from __future__ import annotations


class KLPasswordError(Exception):
    """Base of every error this package raises; ``status`` is the library's status code."""

    status: int = -99

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class InvalidArgument(KLPasswordError, ValueError):
    """An argument out of range, or settings that nothing can meet."""

    status = -1


class InvalidUtf8(InvalidArgument):
    """A text that is not well-formed Unicode (a lone surrogate, say)."""

    status = -2


class TooLong(InvalidArgument):
    """A text over MAX_TEXT_BYTES bytes of UTF-8."""

    status = -3


class WrongPassword(KLPasswordError):
    """The master password of a file is wrong."""

    status = -5


class DamagedFile(KLPasswordError):
    """A file is damaged, was modified, or is not of the expected kind."""

    status = -6


class NotFound(KLPasswordError, KeyError):
    """An unknown user or record."""

    status = -7

    def __str__(self) -> str:  # KeyError would quote the message
        return str(self.args[0]) if self.args else ""


class AlreadyExists(KLPasswordError):
    """The user already exists."""

    status = -8


class FileUnusable(KLPasswordError, OSError):
    """A file or the key store cannot be read or written."""

    status = -9


class FileChanged(FileUnusable):
    """Another program saved the file since it was read; nothing was written."""

    status = -10


class LegacyFormat(KLPasswordError):
    """A file of format 1 or 2: open it with ``allow_legacy=True`` to upgrade it."""

    status = -11


class InvalidHash(KLPasswordError, ValueError):
    """Not an Argon2id hash string, or one above the cost bounds (1 GiB, 16 passes)."""

    status = -12


class OutOfMemory(KLPasswordError, MemoryError):
    """The library could not allocate memory."""

    status = -13


class AccountLocked(KLPasswordError):
    """The account reached the database's limit of consecutive failed attempts."""

    status = -14


class Busy(KLPasswordError):
    """No Argon2id slot came free in time (the process-wide bound); try again later."""

    status = -15


class Unavailable(KLPasswordError, ConnectionError):
    """The database server cannot be reached, or the connection went down (nothing was changed)."""

    status = -16


class PepperError(KLPasswordError):
    """The server key (pepper) a record was made with is not loaded, or other bytes are loaded under its name."""

    status = -17


class InternalError(KLPasswordError):
    """A fault inside the library."""

    status = -99


_BY_STATUS = {cls.status: cls for cls in (InvalidArgument, InvalidUtf8, TooLong, WrongPassword, DamagedFile,
                                          NotFound, AlreadyExists, FileUnusable, FileChanged, LegacyFormat,
                                          InvalidHash, OutOfMemory, AccountLocked, Busy, Unavailable, PepperError,
                                          InternalError)}


def error_class(status: int) -> type[KLPasswordError]:
    """The exception class for a negative status (InternalError for an unknown one)."""
    return _BY_STATUS.get(status, InternalError)
