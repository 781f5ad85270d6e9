"""Errors of the Python front end. Each carries a one-line message naming what is at fault."""

from __future__ import annotations

__all__ = ["KavriError", "ChainError", "AudioFileError"]


class KavriError(Exception):
    """Base of the front end's own errors: bad chains, unreadable files, refused writes."""


class ChainError(KavriError, ValueError):
    """An effect chain that cannot be used: unknown type or key, a value that is no number,
    a missing or malformed chain file, an unknown preset."""


class AudioFileError(KavriError):
    """An audio file that cannot be read or written."""
