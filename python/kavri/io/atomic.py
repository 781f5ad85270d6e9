"""Atomic file output: the data goes to a hidden temporary file, which is renamed onto the
target only when it is complete.

Temporaries live in a hidden folder inside the target's folder, ``.kavri-tmp.d/``, named
after their target (cut short where the name would pass the file system's limit) with a
random part: ``.NAME.XXXXXXXX.kavri-tmp``. The folder is removed when its last temporary
goes. Each writer holds an advisory lock (``flock``) on its temporary for as long as it
lives; the kernel drops the lock when the writer ends, however it ends. A new write removes
the temporaries in the folder that nobody holds (those of a writer killed by SIGKILL, a
lost machine or a killed cluster worker) and never one that is still being written. Only
the small hidden folder is looked through, so the cost of a write does not grow with the
number of files beside the target.
"""

from __future__ import annotations

import errno
import fcntl
import os
import shutil
import stat
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import PurePath

from .._paths import (
    APPEND_ONLY,
    IMMUTABLE,
    AnyPath,
    fs_name,
    inode_flags,
    shown,
    special_kind,
    unwritable_folder,
)
from ..errors import KavriError

__all__ = [
    "FILE_MODE",
    "TEMPORARY_FOLDER",
    "TEMPORARY_SUFFIX",
    "atomic_output",
    "is_temporary",
    "output_target",
    "remove_stale_temporaries",
    "scratch_folder",
]


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


# Read once at import: os.umask can only be read by setting it, which is not safe to do
# while other threads create files.
FILE_MODE = 0o666 & ~_current_umask()

TEMPORARY_SUFFIX = ".kavri-tmp"
TEMPORARY_FOLDER = ".kavri-tmp.d"

# The longest file name when the file system does not say: Linux's NAME_MAX.
_NAME_MAX = 255
# What mkstemp adds to the prefix: eight random characters.
_RANDOM_LENGTH = 8
# Tries at creating a temporary when another writer removes the folder meanwhile.
_CREATE_TRIES = 20


def is_temporary(path: AnyPath) -> bool:
    """Whether ``path`` is a temporary of an unfinished write, or the hidden folder that
    holds them, so that code walking a tree (``rglob``) can leave it out. Hidden files
    ending in ``.kavri-tmp`` beside their target, from earlier versions, count as well."""
    parts = PurePath(fs_name(path))
    if parts.name == TEMPORARY_FOLDER or parts.parent.name == TEMPORARY_FOLDER:
        return True
    return parts.name.startswith(".") and parts.name.endswith(TEMPORARY_SUFFIX)


def _name_limit(folder: str) -> int:
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        return _NAME_MAX


def _prefix(base: str, limit: int) -> str:
    """``.NAME.``, with NAME cut (whole characters, counted in bytes) so that the
    temporary's name stays within ``limit`` bytes."""
    room = limit - len(b"..") - _RANDOM_LENGTH - len(TEMPORARY_SUFFIX)
    encoded = os.fsencode(base)
    if len(encoded) > room:
        cut = encoded[:room]
        # Do not split a UTF-8 character: drop continuation bytes and their lead byte.
        while cut and cut[-1] & 0xC0 == 0x80:
            cut = cut[:-1]
        if cut and cut[-1] >= 0xC0:
            cut = cut[:-1]
        base = os.fsdecode(cut)
    return f".{base}."


def _try_lock(descriptor: int) -> bool | None:
    """True when the lock is taken, False when another holds it, None on a file system
    without locks (ENOLCK), where a temporary can be neither held nor told to be stale."""
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
            return False
        if error.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL):
            return None
        raise
    return True


def _same_file(path: str, descriptor: int) -> bool:
    try:
        named = os.stat(path, follow_symlinks=False)
    except OSError:
        return False
    held = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


def remove_stale_temporaries(folder: str) -> list[str]:
    """Removes the temporaries in ``folder``'s hidden folder that no live writer holds and
    returns their paths. A run that ends normally, or by an exception or a signal Python
    sees, removes its own; these come from kill -9, a lost machine or a killed worker.

    A temporary is removed only while its lock is held here, and only if its name still
    leads to the file that was locked, so a writer that has just created its file (and
    checks after locking that its name still leads to it) is never robbed of it."""
    hidden = os.path.join(folder, TEMPORARY_FOLDER)
    removed: list[str] = []
    try:
        entries = list(os.scandir(hidden))
    except OSError:
        return removed
    for entry in entries:
        if not entry.name.endswith(TEMPORARY_SUFFIX):
            continue
        try:
            descriptor = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue  # gone already, or not a file of ours
        try:
            if _try_lock(descriptor) is True and _same_file(entry.path, descriptor):
                os.unlink(entry.path)
                removed.append(entry.path)
        except OSError:
            continue  # not ours to remove: the new write goes on
        finally:
            os.close(descriptor)
    _remove_if_empty(hidden)
    return removed


def _remove_if_empty(hidden: str) -> None:
    # Fails while another writer's temporary is inside, or when it is gone already.
    with suppress(OSError):
        os.rmdir(hidden)


def _make_hidden_folder(hidden: str, folder: str) -> None:
    """Makes the hidden folder with its parent's permissions, so that whoever may write
    into the target's folder (a shared, group-writable one, say) may write into it too."""
    try:
        os.mkdir(hidden)
    except FileExistsError:
        return
    with suppress(OSError):
        os.chmod(hidden, stat.S_IMODE(os.stat(folder).st_mode))


def _create(name: str, folder: str) -> tuple[int, str]:
    """Creates and locks a temporary for ``name`` in the hidden folder; returns its open,
    locked descriptor and its path."""
    hidden = os.path.join(folder, TEMPORARY_FOLDER)
    if os.path.islink(hidden):
        # One that led nowhere was tried over and over, then "could not create a temporary
        # file"; one that led elsewhere would put the temporaries on another disk.
        raise OSError(
            errno.ENOTDIR,
            f"{TEMPORARY_FOLDER} in its folder is a link; Kavri writes its temporaries there: "
            "move it away",
        )
    prefix = _prefix(os.path.basename(name), _name_limit(folder))
    for _ in range(_CREATE_TRIES):
        _make_hidden_folder(hidden, folder)
        try:
            descriptor, temporary = tempfile.mkstemp(
                dir=hidden, prefix=prefix, suffix=TEMPORARY_SUFFIX
            )
        except FileNotFoundError:
            continue  # the folder was removed by a writer that finished just now
        except NotADirectoryError:
            # A file in the hidden folder's place: every write had failed with "Not a
            # directory", which named neither the file nor what to do.
            raise OSError(
                errno.ENOTDIR,
                f"{TEMPORARY_FOLDER} in its folder is not a folder; Kavri writes its "
                "temporaries there: move it away",
            ) from None
        # Where locks are not to be had, written unheld: no other write takes a temporary
        # it cannot lock for a stale one.
        if _try_lock(descriptor) is not False and _same_file(temporary, descriptor):
            return descriptor, temporary
        # Taken for a stale one and removed between its creation and the lock: again.
        os.close(descriptor)
    raise OSError(errno.EAGAIN, "could not create a temporary file")


def _take_over_mode(temporary: str, name: str) -> None:
    """Gives the temporary the permissions of the file it replaces (and its owner, where
    this process may), or the usual ones for a new file: an overwritten private recording
    (0600) had become readable by everyone (0644)."""
    try:
        replaced = os.stat(name)
    except OSError:
        os.chmod(temporary, FILE_MODE)
        return
    if not stat.S_ISREG(replaced.st_mode):
        os.chmod(temporary, FILE_MODE)
        return
    held = os.stat(temporary)
    if (held.st_uid, held.st_gid) != (replaced.st_uid, replaced.st_gid):
        with suppress(OSError):  # only root may give a file away
            os.chown(temporary, replaced.st_uid, replaced.st_gid)
    os.chmod(temporary, stat.S_IMODE(replaced.st_mode))


def output_target(path: AnyPath) -> str:
    """The name of the file a write to ``path`` replaces: ``path`` itself, or the file a
    symbolic link leads to (written through, as writing a file by its name would: the link
    stays, and the file it leads to, made for a dangling one, takes the output). Raises
    :class:`KavriError`, before anything is written, where no file can be put: in a folder
    that does not exist, or in place of a folder, a device, a pipe or a socket, which the
    rename would replace (/dev/null given as an output had become a file), or of another
    user's file in a sticky folder, which the rename would fail to replace, or into a
    folder that cannot be written (a read-only file system) or in place of a file that
    cannot be replaced (immutable), which a loudness target's passes had found out only
    once all of the work was done."""
    name = fs_name(path)
    try:
        # Through every link, /proc's too: /dev/stdout leads to a pipe that no path names.
        mode: int | None = os.stat(name).st_mode
    except OSError:
        mode = None  # not there yet (or not to be looked at): the write itself finds out
    kind = None if mode is None else special_kind(mode)
    if kind is not None:
        raise KavriError(f"{shown(path)}: cannot write: it is {kind}, not a file")
    if mode is not None and stat.S_ISDIR(mode):
        raise KavriError(f"{shown(path)}: cannot write: {os.strerror(errno.EISDIR)}")
    if os.path.islink(name):
        name = os.path.realpath(name)
        if os.path.islink(name):  # where realpath stopped: links that lead round in a loop
            raise KavriError(f"{shown(path)}: cannot write: {os.strerror(errno.ELOOP)}")
    folder = os.path.dirname(os.path.abspath(name))
    try:
        if not stat.S_ISDIR(os.stat(folder).st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR))
    except FileNotFoundError:
        nowhere = " is a link that leads nowhere" if os.path.islink(folder) else " does not exist"
        raise KavriError(f"{shown(name)}: cannot write: folder {shown(folder)}{nowhere}") from None
    except OSError as error:
        # A file in a folder's place, links in a loop, a path too long: each said so, where
        # all were said not to exist.
        raise KavriError(
            f"{shown(name)}: cannot write: folder {shown(folder)}: {error.strerror or error}"
        ) from None
    why = unwritable_folder(folder)
    if why is not None:
        raise KavriError(f"{shown(name)}: cannot write: folder {shown(folder)} is {why}")
    if mode is not None:
        flags = inode_flags(name)
        if flags & IMMUTABLE:
            raise KavriError(f"{shown(path)}: cannot write: it is immutable (chattr +i)")
        if flags & APPEND_ONLY:
            raise KavriError(f"{shown(path)}: cannot write: it is append-only (chattr +a)")
        if inode_flags(folder) & APPEND_ONLY:
            raise KavriError(
                f"{shown(path)}: cannot write: folder {shown(folder)} is append-only "
                "(chattr +a): no file in it can be replaced"
            )
    if mode is not None and _owner_only(name, folder):
        # The rename would fail with a bare "Operation not permitted", once the work is done.
        raise KavriError(
            f"{shown(path)}: cannot write: it is another user's, in a folder where only a "
            "file's owner may replace it (sticky, as /tmp)"
        )
    return name


def _owner_only(name: str, folder: str) -> bool:
    """Whether ``name`` lies in a sticky folder where this process may not replace it:
    neither the file nor the folder is its own (root may, as the system's owner)."""
    me = os.geteuid()
    try:
        held, within = os.stat(name), os.stat(folder)
    except OSError:
        return False
    return bool(within.st_mode & stat.S_ISVTX) and me not in (0, held.st_uid, within.st_uid)


@contextmanager
def atomic_output(path: AnyPath) -> Iterator[str]:
    """Yields a temporary path in a hidden folder inside the target's folder; when the
    block succeeds the file is given the permissions of the file it replaces (the usual
    ones for a new file) and renamed onto ``path`` in one step; a ``path`` that is a
    symbolic link is written through, onto the file it leads to. On any failure, an
    interrupt included, the temporary file is removed and ``path`` is left as it was.
    Names need not be UTF-8: the temporary path is a ``str`` that may hold escape
    surrogates, which ``open`` and the ``os`` functions accept; C libraries are best given
    an open descriptor. Temporaries left by killed writers are removed first. What cannot
    be written is refused as :func:`output_target` refuses it."""
    name = output_target(path)
    folder = os.path.dirname(os.path.abspath(name))
    remove_stale_temporaries(folder)
    try:
        lock, temporary = _create(name, folder)
    except OSError as error:
        # The hidden folder made for it goes too (a name too long for a temporary, say).
        _remove_if_empty(os.path.join(folder, TEMPORARY_FOLDER))
        raise KavriError(f"{shown(name)}: cannot write: {error.strerror}") from None
    try:
        yield temporary
        _take_over_mode(temporary, name)
        os.replace(temporary, name)
    except BaseException:
        with suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    finally:
        os.close(lock)  # the lock goes with the descriptor
        _remove_if_empty(os.path.dirname(temporary))


# A scratch folder's lock, held while it is in use, and how old an unlocked one must be to be
# taken for abandoned (one just made is locked a moment after it appears).
_SCRATCH_LOCK = "lock"
_SCRATCH_GRACE_SECONDS = 60.0


@contextmanager
def scratch_folder(prefix: str) -> Iterator[str]:
    """A new folder in the temporary folder (``TMPDIR``) named ``prefix`` and a random part,
    removed with what it holds when the block ends. A lock held on a file inside while it is
    in use tells the folders of live runs apart: those of ``prefix`` that no one holds, left
    by kill -9 or by an interrupt within the clean-up, are removed before a new one is made."""
    try:
        base = tempfile.gettempdir()  # none usable: FileNotFoundError, which had escaped bare
    except OSError as error:
        raise KavriError(f"cannot make a scratch folder: {error.strerror or error}") from None
    _remove_stale_scratch(base, prefix)
    try:
        folder = tempfile.mkdtemp(prefix=prefix, dir=base)
    except OSError as error:
        raise KavriError(
            f"cannot make a scratch folder in {shown(base)}: {error.strerror or error}"
        ) from None
    try:
        try:
            lock = os.open(os.path.join(folder, _SCRATCH_LOCK), os.O_CREAT | os.O_RDWR, 0o600)
        except OSError as error:  # no descriptor left: a bare OSError had named the lock
            raise KavriError(
                f"cannot make a scratch folder in {shown(base)}: {error.strerror or error}"
            ) from None
        try:
            _try_lock(lock)
            yield folder
        finally:
            os.close(lock)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        # rmtree opens descriptors; with none left (EMFILE) the folder stayed for good.
        with suppress(OSError):
            os.rmdir(folder)


def _remove_stale_scratch(base: str, prefix: str) -> None:
    try:
        entries = [e for e in os.scandir(base) if e.name.startswith(prefix)]
    except OSError:
        return
    for entry in entries:
        try:
            if not entry.is_dir(follow_symlinks=False):
                continue
            if time.time() - entry.stat(follow_symlinks=False).st_mtime < _SCRATCH_GRACE_SECONDS:
                continue
            lock = os.open(os.path.join(entry.path, _SCRATCH_LOCK), os.O_RDONLY | os.O_NOFOLLOW)
        except FileNotFoundError:
            with suppress(OSError):
                os.rmdir(entry.path)  # an abandoned one left empty; one with files is not ours
            continue
        except OSError:
            continue  # gone, or not ours
        try:
            if _try_lock(lock) is True:
                shutil.rmtree(entry.path, ignore_errors=True)
        except OSError:
            continue
        finally:
            os.close(lock)
