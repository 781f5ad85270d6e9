"""Atomic output under its former module name; it lives in :mod:`kavri.io.atomic`."""

from .io.atomic import (
    FILE_MODE,
    TEMPORARY_FOLDER,
    TEMPORARY_SUFFIX,
    atomic_output,
    is_temporary,
    remove_stale_temporaries,
)

__all__ = [
    "FILE_MODE",
    "TEMPORARY_FOLDER",
    "TEMPORARY_SUFFIX",
    "atomic_output",
    "is_temporary",
    "remove_stale_temporaries",
]
