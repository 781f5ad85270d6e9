"""File names as the operating system holds them.

A POSIX file name is a string of bytes, not necessarily UTF-8 (``take_\\xff.wav``). Python
hands such names around as ``str`` with the undecodable bytes escaped as lone surrogates,
or as ``bytes``. Both are accepted everywhere a path is: internally a name is a ``str``
(surrogates included, so that ``open`` and the ``os`` functions reach the same file),
libsndfile is handed an open descriptor (or the original bytes), and messages show the
name with the odd bytes written as ``\\xff``.
"""

from __future__ import annotations

import codecs
import errno
import fcntl
import io
import os
import stat
import sys
import tempfile
import time
from typing import TextIO, TypeAlias

__all__ = [
    "AnyPath",
    "fs_name",
    "fs_bytes",
    "free_bytes",
    "file_stamp",
    "shown",
    "escape_odd_bytes",
    "relative_glob",
    "special_kind",
]

AnyPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def fs_name(path: AnyPath) -> str:
    """The path as a ``str``; bytes that are not UTF-8 become escape surrogates."""
    return os.fsdecode(os.fspath(path))


def fs_bytes(path: AnyPath) -> bytes:
    """The path as the bytes the operating system holds, for C libraries."""
    return os.fsencode(os.fspath(path))


def make_folders(path: AnyPath) -> list[str]:
    """``os.makedirs(path, exist_ok=True)`` without recursion: it recursed once a folder
    missing, and an output tree a thousand folders deep ended in a RecursionError. Raises
    OSError as it does. Returns the folders it made, outermost first."""
    name = fs_name(path)
    missing = []
    while True:
        head, tail = os.path.split(name)
        if not tail:
            head, tail = os.path.split(head)
        missing.append((name, tail))
        if not head or not tail or os.path.exists(head):
            break
        name = head
    made = []
    for folder, tail in reversed(missing):
        if tail == os.curdir:
            continue
        try:
            os.mkdir(folder)
        except OSError:
            if os.path.isdir(folder):
                continue
            if os.path.islink(folder) and not os.path.exists(folder):
                # Said as "File exists", of a name that leads to nothing.
                raise FileExistsError(
                    errno.EEXIST, "a link that leads nowhere is in its place"
                ) from None
            raise
        made.append(folder)
    return made


def remove_empty_folders(folders: list[str]) -> None:
    """Takes away those of ``folders`` (as :func:`make_folders` gives them, outermost first)
    that are empty, innermost first; one that holds anything stays."""
    for folder in reversed(folders):
        try:
            os.rmdir(folder)
        except OSError:
            pass


# The flags chattr sets on a file or a folder (read by FS_IOC_GETFLAGS): one that is
# immutable cannot be changed, replaced or removed, by root either; a folder that is
# append-only takes new names, and no name in it can be replaced or removed.
_GET_FLAGS = 0x80086601
IMMUTABLE = 0x10
APPEND_ONLY = 0x20


def inode_flags(path: str) -> int:
    """The chattr flags of a file or a folder; 0 where they cannot be read (a file system
    without them, a file that cannot be opened)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return 0
    try:
        # The kernel writes an int; a long's room is given, as the request's size says.
        flags = fcntl.ioctl(descriptor, _GET_FLAGS, bytes(8))
        return int.from_bytes(flags[:4], sys.byteorder)
    except OSError:
        return 0
    finally:
        os.close(descriptor)


def unwritable_folder(folder: str) -> str | None:
    """Why no file can be put into an existing ``folder``, to follow "it is" or "folder X
    is"; None where one can (as this process's effective user: one run with another
    real user, setuid, had been refused a folder it could write)."""
    if _access(folder, os.W_OK | os.X_OK):
        return None
    try:
        if os.statvfs(folder).f_flag & os.ST_RDONLY:
            return "on a read-only file system"
    except OSError:
        pass
    if inode_flags(folder) & IMMUTABLE:
        return "immutable (chattr +i)"
    # Both are needed: one writable but not searchable (mode 622) had been "not writable".
    return "not searchable" if _access(folder, os.W_OK) else "not writable"


def _access(path: str, mode: int) -> bool:
    return os.access(path, mode, effective_ids=os.access in os.supports_effective_ids)


def temporary_folder_shown() -> str:
    """The temporary folder, for a message; where ``TMPDIR`` names another, which Python
    passes over without a word when it cannot be used, that is said too (a full /tmp had
    been blamed when TMPDIR pointed at a roomy folder on a read-only file system)."""
    folder = tempfile.gettempdir()
    wanted = os.environ.get("TMPDIR")
    if not wanted or os.path.abspath(wanted) == folder:
        return shown(folder)
    why = unwritable_folder(wanted) if os.path.isdir(wanted) else "no folder"
    # One that can be used was not passed over (the program chose another itself).
    return shown(folder) if why is None else f"{shown(folder)} (TMPDIR, {shown(wanted)}, is {why})"


def free_bytes(descriptor: int) -> int:
    """The room left, for an ordinary user, on the disk of an open file."""
    disk = os.fstatvfs(descriptor)
    return disk.f_bavail * disk.f_frsize


def special_kind(mode: int) -> str | None:
    """What a path that is neither a file nor a folder is, for a message ("a device", "a
    pipe", "a socket"); None for a file or a folder."""
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISFIFO(mode):
        return "a pipe"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return None


# A file or folder changed within the last seconds may be changing still: its times are
# set as a write begins, before the bytes are copied in, so what is read of it now can be
# torn and yet carry the write's final times; and a change that follows within its clock's
# step keeps them. What is read of it is used, never kept for later calls.
SETTLED_SECONDS = 2.0


def recently_changed(status: os.stat_result) -> bool:
    """Whether the file or folder changed within the last ``SETTLED_SECONDS``."""
    return time.time_ns() - max(status.st_mtime_ns, status.st_ctime_ns) < SETTLED_SECONDS * 1e9


def file_stamp(status: os.stat_result) -> tuple[int, ...]:
    """What tells a file's contents apart from its earlier ones, for what is kept of it
    between calls: a file rewritten keeps its size and can keep its time (cp -p, an
    archive's files), but not its change time, which no one can set."""
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)


# Control characters in a name (a newline, say) would split a message's one line.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), 0x7F)} | {
    ord("\n"): "\\n",
    ord("\r"): "\\r",
    ord("\t"): "\\t",
}


def shown(path: AnyPath) -> str:
    """The path for a message: printable on any stream, on one line, odd bytes written as
    ``\\xNN`` and control characters escaped (``\\n``); an empty path as ``''``, which a
    message would otherwise begin with a bare colon."""
    try:
        text = fs_bytes(path).decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        # A lone surrogate no file name holds (JSON's "\ud800"): written as \ud800.
        text = os.fsdecode(os.fspath(path)).encode("utf-8", _ERROR_HANDLER).decode("utf-8")
    return text.translate(_CONTROLS) or "''"


_ERROR_HANDLER = "kavri.escape"


def _escape(error: UnicodeError) -> tuple[str, int]:
    """Writes an escape surrogate as the byte it stands for (``\\xff``), and any other
    character the stream cannot encode as ``\\uXXXX``."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    text = error.object[error.start : error.end]
    return "".join(
        f"\\x{ord(c) - 0xDC00:02x}"
        if 0xDC80 <= ord(c) <= 0xDCFF
        else c.encode("ascii", "backslashreplace").decode("ascii")
        for c in text
    ), error.end


codecs.register_error(_ERROR_HANDLER, _escape)


def escape_odd_bytes(stream: TextIO) -> None:
    """Makes a text stream print file names that are not UTF-8 the way :func:`shown` does,
    instead of failing on them."""
    if isinstance(stream, io.TextIOWrapper):
        stream.reconfigure(errors=_ERROR_HANDLER)


def relative_glob(pattern: str) -> bool:
    """Whether a file name pattern is a glob inside a folder: not empty nor the folder
    itself ('.', './'), not absolute, not reaching out with '..', and with '**' only as a
    whole part (pathlib's glob refuses 'a**')."""
    parts = [part for part in pattern.replace(os.sep, "/").split("/") if part not in ("", ".")]
    return (
        bool(parts)
        and not os.path.isabs(pattern)
        and ".." not in parts
        and all(part == "**" or "**" not in part for part in parts)
    )


def files_below(pattern: str) -> str:
    """A glob pattern as pathlib should take it for files: one ending in ``**``
    (``takes/**``) stands for every file below, as a shell's globstar has it, where this
    Python's glob matches only the folders there, so no files."""
    trimmed = pattern.rstrip("/")
    if trimmed == "**" or trimmed.endswith("/**"):
        return trimmed + "/*"
    return pattern


def hidden_left_out(relative: str, pattern: str) -> bool:
    """Whether a path found under a folder by a glob pattern is left out as hidden: a part
    of it begins with a dot (macOS's "._take.wav", a ".Trash" folder) and no part of the
    pattern does, as a shell's glob leaves them out. ``relative`` is the path below the
    folder, with '/' or the system's separator."""

    def dotted(path: str) -> bool:
        parts = path.replace(os.sep, "/").split("/")
        return any(part.startswith(".") and part not in (".", "..") for part in parts)

    return dotted(relative) and not dotted(pattern)
