"""Errors of the Python front end. Each carries a one-line message naming what is at fault."""

from __future__ import annotations

__all__ = ["KavriError", "ChainError", "AudioFileError", "Interrupted", "KavriWarning"]


class KavriError(Exception):
    """Base of the front end's own errors: bad chains, unreadable files, refused writes."""


class ChainError(KavriError, ValueError):
    """An effect chain that cannot be used: unknown type or key, a value that is no number,
    a missing or malformed chain file, an unknown preset."""


class AudioFileError(KavriError):
    """An audio file that cannot be read or written."""


class Interrupted(Exception):
    """Work stopped on request (a signal, a stop flag) before it finished. Nothing
    half-written is left behind. Not a :class:`KavriError`: code that reports a bad file
    and goes on to the next must not treat a request to stop as one more bad file."""


class KavriWarning(UserWarning):
    """Something the front end did not stop for but a user should hear of: a damaged batch
    record or manifest set aside and rebuilt, say."""
