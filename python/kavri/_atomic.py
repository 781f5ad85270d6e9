"""Atomic file output: write to a hidden temporary file beside the target, then rename."""

from __future__ import annotations

import os
import re
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager

from ._paths import AnyPath, fs_name, shown
from .errors import KavriError


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


# Read once at import: os.umask can only be read by setting it, which is not safe to do
# while other threads create files.
FILE_MODE = 0o666 & ~_current_umask()

TEMPORARY_SUFFIX = ".kavri-tmp"

# tempfile.mkstemp puts exactly eight of these characters between prefix and suffix.
_RANDOM_PART = r"[a-z0-9_]{8}"


def temporary_pattern(name: str) -> re.Pattern[str]:
    """The names of the hidden temporaries that writing ``name`` creates beside it:
    ``.NAME.XXXXXXXX.kavri-tmp``. The random part has no dot, so the temporaries of
    ``a.wav`` never match those of ``a.wav.x.wav``."""
    base = os.path.basename(name)
    return re.compile(rf"\.{re.escape(base)}\.{_RANDOM_PART}{re.escape(TEMPORARY_SUFFIX)}")


def remove_stale_temporaries(name: str) -> list[str]:
    """Removes the temporaries a killed writer of ``name`` left beside it and returns their
    paths. A run that ends normally, or by an exception or a signal Python sees, removes
    its own; these come from kill -9, a lost machine or a killed cluster worker."""
    folder = os.path.dirname(os.path.abspath(name))
    pattern = temporary_pattern(name)
    removed: list[str] = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for entry in entries:
        if not pattern.fullmatch(entry.name):
            continue
        try:
            if entry.is_dir(follow_symlinks=False):
                continue
            os.unlink(entry.path)
        except OSError:
            continue  # gone already, or not ours to remove: the new write goes on
        removed.append(entry.path)
    return removed


@contextmanager
def atomic_output(path: AnyPath) -> Iterator[str]:
    """Yields a temporary path in the target's folder; when the block succeeds the file is
    given the usual permissions and renamed onto ``path`` in one step. On any failure, an
    interrupt included, the temporary file is removed and ``path`` is left as it was.
    Names need not be UTF-8: the temporary path is a ``str`` that may hold escape
    surrogates, which ``open`` and the ``os`` functions accept; C libraries are best given
    an open descriptor. Temporaries of ``path`` left by a writer that was killed are removed
    first."""
    name = fs_name(path)
    folder = os.path.dirname(os.path.abspath(name))
    if not os.path.isdir(folder):
        raise KavriError(f"{shown(name)}: cannot write: folder {shown(folder)} does not exist")
    remove_stale_temporaries(name)
    try:
        handle, temporary = tempfile.mkstemp(
            dir=folder, prefix=f".{os.path.basename(name)}.", suffix=TEMPORARY_SUFFIX)
    except OSError as error:
        raise KavriError(f"{shown(name)}: cannot write: {error.strerror}") from None
    os.close(handle)
    try:
        yield temporary
        os.chmod(temporary, FILE_MODE)
        os.replace(temporary, name)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
