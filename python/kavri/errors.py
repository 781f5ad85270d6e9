"""Errors of the Python front end. Each carries a one-line message naming what is at fault."""

from __future__ import annotations

__all__ = [
    "KavriError",
    "ChainError",
    "AudioFileError",
    "AudioValueError",
    "Interrupted",
    "KavriWarning",
    "failure_text",
]


class KavriError(Exception):
    """Base of the front end's own errors: bad chains, unreadable files, refused writes."""


class ChainError(KavriError, ValueError):
    """An effect chain that cannot be used: unknown type or key, a value that is no number,
    a missing or malformed chain file, an unknown preset."""


class AudioFileError(KavriError):
    """An audio file that cannot be read or written."""


class AudioValueError(KavriError, ValueError):
    """Audio whose values the work asked of it cannot take (a true peak past single
    precision, where the meter overflows)."""


class Interrupted(Exception):
    """Work stopped on request (a signal, a stop flag) before it finished. Nothing
    half-written is left behind. Not a :class:`KavriError`: code that reports a bad file
    and goes on to the next must not treat a request to stop as one more bad file."""


class KavriWarning(UserWarning):
    """Something the front end did not stop for but a user should hear of: a damaged batch
    record or manifest set aside and rebuilt, say."""


def failure_text(error: BaseException) -> str:
    """An exception's text for a one-line message. A lack of memory that the memory guard did
    not foresee (an allocation the system refused: no text, or the C++ library's
    "std::bad_alloc") says so in words; any other exception without text names its type."""
    text = str(error)
    if isinstance(error, MemoryError) and text in ("", "std::bad_alloc"):
        return "out of memory (the system refused an allocation)"
    return text or type(error).__name__
