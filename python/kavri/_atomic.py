"""Atomic file output: write to a hidden temporary file beside the target, then rename."""

from __future__ import annotations

import os
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


@contextmanager
def atomic_output(path: AnyPath) -> Iterator[str]:
    """Yields a temporary path in the target's folder; when the block succeeds the file is
    given the usual permissions and renamed onto ``path`` in one step. On any failure, an
    interrupt included, the temporary file is removed and ``path`` is left as it was.
    Names need not be UTF-8: the temporary path is a ``str`` that may hold escape
    surrogates, which ``open`` and the ``os`` functions accept; C libraries are best given
    an open descriptor."""
    name = fs_name(path)
    folder = os.path.dirname(os.path.abspath(name))
    if not os.path.isdir(folder):
        raise KavriError(f"{shown(name)}: cannot write: folder {shown(folder)} does not exist")
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
