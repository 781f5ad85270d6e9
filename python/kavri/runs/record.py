"""The record of finished outputs that a folder run keeps beside them.

``OUT_DIR/.kavri-batch.json`` holds, for every output a run finished, the identity of the
input it was made from (path, size, time stamp and SHA-256 of its bytes), the digest of the
chain and settings, and the output's own size, time stamps and file identity. A rerun skips
an output only when all of these still match. The record decides what may be skipped, never
what may be overwritten: that is the guard's business (:mod:`kavri.runs.guard`), which
trusts only what a copied or hand-written record cannot carry, the output's inode and
change time.

Between saves, each finished output's entry is also appended to
``OUT_DIR/.kavri-batch.json.journal`` as it is known, and the journal is read back into the
record when it is next loaded: a run killed outright loses only the entries of the moment,
not up to a second's. Each save folds the journal into the record and removes it.

A record that cannot be read as one (damaged, cut short, hand-edited into something else) is
set aside as ``.kavri-batch.json.damaged`` with a :class:`kavri.KavriWarning`, and the run
starts a new one: its outputs are redone, nothing is lost and nothing stops. One that cannot
be read at all (its permissions, a failing disk) stops the run before it starts, as an
unreadable augment manifest does: a new record would take its place and its mode, and every
later run would redo everything again. A record that cannot be saved is told with a
warning as the run ends: its entries wait in the journal, or, where that cannot be written
either, the next run redoes what this one finished.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import stat
import time
import warnings
from collections.abc import Iterable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import Any

from .._engine import check_memory
from .._json import JSONProblem
from .._json import parse as parse_json
from .._locks import ForkSafeLock
from .._paths import AnyPath, fs_name, shown, special_kind
from .._stop import StopRequest
from ..errors import Interrupted, KavriError, KavriWarning
from ..io import atomic_output

__all__ = [
    "RECORD_NAME",
    "JOURNAL_SUFFIX",
    "MANIFEST_NAME",
    "earlier_outputs",
    "is_bookkeeping",
    "exclusive_run",
    "Record",
    "file_identity",
    "same_stat",
    "written_identity",
]

RECORD_NAME = ".kavri-batch.json"
JOURNAL_SUFFIX = ".journal"
# The manifest of an augmentation run: one line per output with the chain drawn for it.
MANIFEST_NAME = "augment.jsonl"
RECORD_FORMAT = 1
DAMAGED_SUFFIX = ".damaged"
# The record is rewritten at most this often while a run goes on, and always at its end; a
# run killed in between leaves its entries in the journal, which the next run folds in...
RECORD_INTERVAL = 1.0
# ... or, for a record that takes long to write, so many times the time its last save took.
_SAVE_SHARE = 20
_HASH_BLOCK = 1 << 20


def is_bookkeeping(name: str) -> bool:
    """True for the names of the files runs keep beside their outputs (records, manifests
    and what was set aside of them), which are never inputs."""
    for kept in (RECORD_NAME, MANIFEST_NAME):
        if name == kept or _ASIDE.fullmatch(name.removeprefix(kept)):
            return True
    return name == RECORD_NAME + JOURNAL_SUFFIX


_ASIDE = re.compile(re.escape(DAMAGED_SUFFIX) + r"(\.\d+)?")


def aside_name(path: str) -> str:
    """A name to set a damaged file aside under that holds no earlier one (NAME.damaged,
    then NAME.damaged.1, ...): a second damaged record had replaced the first."""
    aside, number = path + DAMAGED_SUFFIX, 0
    while os.path.lexists(aside):
        number += 1
        aside = f"{path}{DAMAGED_SUFFIX}.{number}"
    return aside


def read_own_file(path: str) -> bytes | None:
    """The bytes of a file a run keeps beside its outputs (a record, its journal, a
    manifest), None where there is none. ``OSError`` for a pipe or a device in its place,
    looked at before it is opened: a pipe there hung every run, and a link to /dev/zero
    was read until memory ran out."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(status.st_mode):
        kind = special_kind(status.st_mode) or "a folder"
        raise OSError(errno.EINVAL, f"it is {kind}, not a file")
    # Its bytes and what reading them makes, asked for first: a record of gigabytes had been
    # read until the system refused, with no word of which file it was.
    check_memory(_READ_FACTOR * status.st_size, f"{shown(path)}: reading it")
    with open(path, "rb") as handle:
        return handle.read()


# What a file a run keeps takes in memory once read and parsed, in times its size.
_READ_FACTOR = 8


# The output folders this process's runs hold, by real path.
_HELD: set[str] = set()
_HELD_LOCK = ForkSafeLock()
_LOCKED: dict[str, int] = {}  # the descriptors holding the folders' locks


def _forget_held_folders() -> None:
    """In a forked child: the parent's runs are not the child's. Its copies of their
    descriptors are closed (the lock stays the parent's), so that neither believes it holds
    the folders for the other."""
    for descriptor in _LOCKED.values():
        with suppress(OSError):
            os.close(descriptor)
    _LOCKED.clear()
    _HELD.clear()


os.register_at_fork(after_in_child=_forget_held_folders)


@contextmanager
def exclusive_run(out_dir: AnyPath) -> Iterator[None]:
    """Holds an output folder for one run at a time. Two runs into one folder each rewrote
    the record and the manifest from what they had read at their start, so one run's
    entries were lost (60 outputs with no chain recorded). A run started on the same thread
    (from a callback of the run) is refused too. The lock is the folder's own (``flock``),
    released with the process however it ends; a folder that cannot be opened is not locked
    (the run then fails on it with its own message)."""
    real = os.path.realpath(fs_name(out_dir))
    with _HELD_LOCK:
        if real in _HELD:
            raise KavriError(_busy(out_dir))
        try:
            descriptor = os.open(real, os.O_RDONLY | os.O_DIRECTORY)
        except OSError:
            descriptor = -1
        if descriptor >= 0:
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                os.close(descriptor)
                if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                    raise KavriError(_busy(out_dir)) from None
                # A file system without locks (ENOLCK): every run had been refused as
                # if another held the folder.
                descriptor = -1
                warnings.warn(
                    f"{shown(out_dir)}: cannot lock the folder ({error.strerror}): a "
                    "second run into it at the same time would not be refused",
                    KavriWarning,
                    stacklevel=3,
                )
            else:
                _LOCKED[real] = descriptor
        _HELD.add(real)
    try:
        yield
    finally:
        with _HELD_LOCK:
            _HELD.discard(real)
            # Given back outright, not by the close alone: a child forked meanwhile holds a
            # copy of the descriptor, and the lock had stayed with it while it lived. (Tasks
            # a stopped run left on another process's workers may still finish after this;
            # the record never lists them, so the next run redoes them.)
            if _LOCKED.get(real) == descriptor:
                del _LOCKED[real]
                with suppress(OSError):
                    fcntl.flock(descriptor, fcntl.LOCK_UN)
                os.close(descriptor)


def _busy(out_dir: AnyPath) -> str:
    return (
        f"{shown(out_dir)}: another kavri run is writing into this folder; wait for it to "
        "end, or choose another output folder"
    )


def file_identity(path: AnyPath, stop: StopRequest | None = None) -> dict[str, Any]:
    """The size, time stamp (ns) and SHA-256 of a file's bytes, taken before it is hashed."""
    name = fs_name(path)
    try:
        stat = os.stat(name)
        digest = hashlib.sha256()
        with open(name, "rb") as handle:
            while block := handle.read(_HASH_BLOCK):
                if stop is not None and stop.is_set():
                    raise Interrupted(f"{shown(name)}: interrupted")
                digest.update(block)
    except OSError as error:
        raise KavriError(f"{shown(name)}: cannot read: {error.strerror or error}") from None
    return {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sha256": digest.hexdigest()}


def written_identity(path: str) -> dict[str, Any]:
    """What the record keeps of an output just written: its size and time stamp, which a
    rerun compares to see that it is unchanged, and its device, inode and change time, by
    which the guard knows the file as this tool's own (a copy, even with ``cp -a``, has a
    new inode and change time)."""
    stat = os.stat(path)
    return {
        "output_size": stat.st_size,
        "output_mtime_ns": stat.st_mtime_ns,
        "output_dev": stat.st_dev,
        "output_ino": stat.st_ino,
        "output_ctime_ns": stat.st_ctime_ns,
    }


def same_stat(entry: dict[str, Any], path: str, prefix: str = "") -> bool:
    """True if the file's size and time stamp are those the entry holds (under ``prefix``)."""
    try:
        stat = os.stat(path)
    except OSError:
        return False
    return (
        entry.get(f"{prefix}size") == stat.st_size
        and entry.get(f"{prefix}mtime_ns") == stat.st_mtime_ns
    )


def _valid_entry(entry: Any) -> bool:
    return isinstance(entry, dict) and all(isinstance(key, str) for key in entry)


def valid_key(key: Any) -> bool:
    """Whether a record's key can name a file: text without NUL, each character one that
    :func:`local_name` takes (a key edited into a lone "\\ud800" crashed the next run)."""
    if not isinstance(key, str) or "\0" in key:
        return False
    try:
        key.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return False
    return True


def portable_name(name: str) -> str:
    """A file name as a record holds it: its bytes read as UTF-8, odd bytes as escape
    surrogates, the same text in any locale (see :func:`local_name`)."""
    return os.fsencode(name).decode("utf-8", "surrogateescape")


def local_name(key: str) -> str:
    """The file name a record's key stands for, as this process's locale decodes names.
    Keys hold a name's bytes read as UTF-8 (odd bytes as escape surrogates), whatever the
    locale of the run that wrote them, so that a run in another locale finds the same
    files: in the C locale, a key the UTF-8 run had written crashed the run."""
    return os.fsdecode(key.encode("utf-8", "surrogateescape"))


class Record:
    """The record of one output folder, loaded once, updated as outputs finish (each entry
    in the journal at once) and saved at most every :data:`RECORD_INTERVAL` seconds, or
    twenty times what the last save took, and at the end."""

    def __init__(self, out_dir: AnyPath, *, look_only: bool = False) -> None:
        self.folder = fs_name(out_dir)
        self.path = os.path.join(self.folder, RECORD_NAME)
        self.journal = self.path + JOURNAL_SUFFIX
        # A record only looked at (to leave a run's own outputs out of its inputs) says
        # nothing of damage and sets nothing aside: the run's own load does, once.
        self._look_only = look_only
        self._left_out = 0  # damaged entries of the record as read
        self._unsaved: str | None = None  # why the last save failed
        self._unjournaled = False  # an entry could not be appended to the journal
        # Counts the saves: a journal line notes the count of the record it came after, so
        # that lines a save took in never win over it (a journal that could not be removed,
        # an immutable or append-only file, had overridden every later record with its
        # old entries; a run into its own input folder then refused its outputs for good).
        self._generation = 0
        self.entries: dict[str, dict[str, Any]] = self._load()
        journaled, latest = self._journaled()
        self.entries.update(journaled)
        # Counted on from the latest save a journal line came after: a record set aside or
        # removed starts again at 0, and the lines of a journal that cannot be removed had
        # then won over the records saved after them.
        self._generation = max(self._generation, latest)
        self._saved = time.monotonic()
        self._interval = RECORD_INTERVAL
        self._changed = bool(journaled)  # the next save folds them in
        if self._left_out:
            # Saved without them before it is told: where warnings are errors, every run
            # had stopped on the same damage, which nothing then mended.
            self._changed = True
            self.save()
            warnings.warn(
                f"{shown(self.path)}: {self._left_out} damaged "
                f"{'entry' if self._left_out == 1 else 'entries'} left out; their outputs "
                "are redone",
                KavriWarning,
                stacklevel=2,
            )

    def key(self, output: str) -> str:
        """The entry name of an output: its path relative to the folder, with '/'."""
        relative = os.path.relpath(os.path.abspath(output), os.path.abspath(self.folder))
        return portable_name(Path(relative).as_posix())

    # Entries go in and come out as copies: the one a result carries is the caller's (an
    # on_result that cleared it had emptied the record's entry, and every rerun redid all).
    def get(self, output: str) -> dict[str, Any] | None:
        entry = self.entries.get(self.key(output))
        return None if entry is None else dict(entry)

    def put(self, output: str, entry: dict[str, Any]) -> None:
        key = self.key(output)
        self.entries[key] = entry = dict(entry)
        self._changed = True
        line = json.dumps(
            {"key": key, "entry": entry, "after": self._generation},
            sort_keys=True,
            allow_nan=False,
        )
        try:
            with open(self.journal, "a", encoding="utf-8") as handle:
                handle.write(line + "\n")
        except OSError:
            self._unjournaled = True  # the save at the end still records it

    def _journaled(self) -> tuple[dict[str, dict[str, Any]], int]:
        """The entries the journal holds that are newer than the record (a line cut short
        by a kill is left out), and the latest save any line came after."""
        try:
            data = read_own_file(self.journal)
        except OSError as error:
            if error.errno == errno.EINVAL:
                # No file (a pipe, a device): gone, so that this run's entries are kept in
                # one again. Any other failure leaves it for the next run.
                with suppress(OSError):
                    os.unlink(self.journal)
            return {}, 0
        if data is None:
            return {}, 0
        lines = data.decode("utf-8", "replace").splitlines()
        found: dict[str, dict[str, Any]] = {}
        latest = 0
        for line in lines:
            try:
                # Bounded in depth: a line of 100,000 brackets gave a traceback on every run.
                item = parse_json(line, "journal")
            except JSONProblem:
                continue
            if isinstance(item, dict) and valid_key(item.get("key")):
                after = item.get("after")
                if type(after) is int and after < self._generation:
                    continue  # older than the record, which holds it
                if type(after) is int:
                    latest = max(latest, after)
                if _valid_entry(item.get("entry")):
                    found[item["key"]] = item["entry"]
        return found, latest

    def written_by_us(self, output: str) -> bool:
        """True if the entry of ``output`` holds its present size and time stamp: it is
        unchanged since it was written (for deciding to skip it, not to overwrite it)."""
        entry = self.get(output)
        return entry is not None and same_stat(entry, output, "output_")

    def _load(self) -> dict[str, dict[str, Any]]:
        try:
            raw = read_own_file(self.path)
        except OSError as error:
            if error.errno not in _SET_ASIDE:
                if self._look_only:
                    return {}  # the run's own load says so
                raise unreadable(self.path, error) from None
            # Set aside where it is no file, so that this run's record can take its place.
            self._set_aside(f"cannot be read ({error.strerror or error})")
            return {}
        if raw is None:
            return {}
        try:
            data = parse_json(raw.decode("utf-8"), shown(self.path), finite=True)
        except (UnicodeDecodeError, JSONProblem) as problem:
            self._set_aside(str(problem) if isinstance(problem, JSONProblem) else "not text")
            return {}
        outputs = data.get("outputs") if isinstance(data, dict) else None
        if (
            not isinstance(data, dict)
            or data.get("format") != RECORD_FORMAT
            or not isinstance(outputs, dict)
        ):
            self._set_aside("not a batch record of this version")
            return {}
        generation = data.get("generation")
        if type(generation) is int and generation > 0:
            self._generation = generation
        entries = {
            key: entry for key, entry in outputs.items() if valid_key(key) and _valid_entry(entry)
        }
        if len(entries) != len(outputs) and not self._look_only:
            self._left_out = len(outputs) - len(entries)
        return entries

    def _set_aside(self, why: str) -> None:
        if self._look_only:
            return
        aside = aside_name(self.path)
        try:
            os.replace(self.path, aside)
            done = f"set aside ({why}); kept as {shown(aside)}"
        except OSError as error:
            done = f"left in place ({why}; it cannot be moved: {error.strerror or error})"
        warnings.warn(
            f"{shown(self.path)}: damaged batch record {done}; its outputs are redone",
            KavriWarning,
            stacklevel=4,
        )

    def save(self, *, when_due: bool = False) -> None:
        """Writes the record atomically, if anything changed (and, with ``when_due``, only
        once the interval since the last save has passed). A record that cannot be written
        costs only redone work on the next run: the run goes on, and :meth:`tell_unsaved`
        says so at its end."""
        if not self._changed or (when_due and time.monotonic() - self._saved < self._interval):
            return
        began = time.monotonic()
        generation = self._generation + 1
        text = json.dumps(
            {"format": RECORD_FORMAT, "generation": generation, "outputs": self.entries},
            indent=1,
            sort_keys=True,
            allow_nan=False,
        )
        try:
            with atomic_output(self.path) as temporary:
                with open(temporary, "w", encoding="utf-8") as handle:
                    handle.write(text)
        except OSError as error:
            self._unsaved = error.strerror or str(error)
            return
        except KavriError as error:
            # "PATH: cannot write: WHY", the record's own path already said.
            self._unsaved = str(error).split(": cannot write: ", 1)[-1]
            return
        self._unsaved = None
        self._generation = generation
        self._saved = time.monotonic()
        # The journal holds every entry meanwhile: a record of 100,000 outputs takes about
        # a second to write, and written every second it took half the run.
        self._interval = max(RECORD_INTERVAL, _SAVE_SHARE * (self._saved - began))
        self._changed = False
        try:
            os.remove(self.journal)
        except OSError:
            pass

    def tell_unsaved(self) -> None:
        """A warning if the last save failed: a record another user owns in a shared folder
        cannot be replaced, and without a word the journal grew for good, or, where it
        could not be written either, every rerun redid everything."""
        if self._unsaved is None:
            return
        then = (
            "a rerun redoes what this run finished"
            if self._unjournaled
            else f"its entries wait in {shown(self.journal)}"
        )
        warnings.warn(
            f"{shown(self.path)}: the batch record cannot be saved: {self._unsaved}; {then}",
            KavriWarning,
            stacklevel=4,
        )


# A record that is no file (a folder, a pipe, a device) or a link that leads round in a loop
# is set aside for the run's own; any other failure to read it stops the run.
_SET_ASIDE = (errno.EINVAL, errno.ELOOP)


def unreadable(path: AnyPath, error: OSError) -> KavriError:
    """A record's or a manifest's refusal, in one set of words."""
    return KavriError(f"{shown(path)}: cannot read: {error.strerror or error}")


def check_record(out_dir: AnyPath) -> None:
    """Refuses, as the run's own load would, a record that cannot be read: for a run that
    changes other files of the folder (an augment manifest) before it loads the record."""
    path = os.path.join(fs_name(out_dir), RECORD_NAME)
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return
    except OSError as error:
        if error.errno in _SET_ASIDE:
            return
        raise unreadable(path, error) from None
    os.close(descriptor)


def _is_manifest_record(value: Any) -> bool:
    return (
        isinstance(value, dict)
        and valid_key(value.get("output"))
        and isinstance(value.get("chain"), list)
    )


def read_manifest(path: AnyPath) -> list[dict[str, Any]]:
    """The records of an augment manifest (a missing file has none). Lines that are not
    records are left out."""
    return manifest_lines(path)[0]


def earlier_outputs(out_dir: str | os.PathLike[str], made: Iterable[str]) -> int:
    """How many outputs the augment manifest in ``out_dir`` lists that are not among
    ``made``: those of earlier runs (fewer variants, a clip removed, another format), whose
    lines stay with them. A manifest that cannot be read counts none."""
    paths = {os.path.abspath(path) for path in made}
    try:
        lines = read_manifest(os.path.join(out_dir, MANIFEST_NAME))
    except KavriError:
        return 0
    return sum(
        os.path.abspath(os.path.join(out_dir, local_name(line["output"]))) not in paths
        for line in lines
    )


def manifest_lines(path: AnyPath) -> tuple[list[dict[str, Any]], list[str]]:
    """The records of an augment manifest, and the lines that are not records: not JSON,
    nested too deep, holding NaN or infinity, or without an "output" and a "chain"."""
    try:
        data = read_own_file(fs_name(path))
    except OSError as error:
        raise unreadable(path, error) from None
    if data is None:
        return [], []
    records: list[dict[str, Any]] = []
    damaged: list[str] = []
    for number, raw in enumerate(data.splitlines(), start=1):
        line = raw.decode("utf-8", "backslashreplace")
        if not line.strip():
            continue
        try:
            record = parse_json(line, f"line {number}", finite=True)
        except JSONProblem:
            record = None
        if _is_manifest_record(record):
            records.append(record)
        else:
            damaged.append(line)
    return records, damaged
