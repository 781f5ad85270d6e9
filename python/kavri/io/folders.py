"""Folders of audio files that a chain draws from (background noise, impulse responses)."""

from __future__ import annotations

import fnmatch
import os
from pathlib import Path

from .._paths import files_below, hidden_left_out, recently_changed, relative_glob, shown
from .._providers import KeptLast
from ..catalogue import quoted
from ..errors import ChainError
from .formats import readable_suffixes

__all__ = ["audio_files", "unreadable_folders"]

_AUDIO_SUFFIXES = readable_suffixes()


def _is_file(entry: os.DirEntry[str]) -> bool:
    """A file or a link to one, as Path.is_file: False for a link that loops or leads
    nowhere, and for what cannot be looked at."""
    try:
        return entry.is_file()
    except OSError:
        return False


def unreadable_folders(folder: str, pattern: str) -> list[tuple[str, str]]:
    """The folders that cannot be listed where a glob of ``pattern`` reaches below
    ``folder``, each with the reason: a glob passes over them without a word, so that the
    files inside were left out of a run that said it was complete, or a draw came from
    fewer files. They are found level by level as the glob goes (``takes/*/day1/*.wav``:
    takes, each folder in it, each day1 in those; ``**``: every folder below, hidden ones
    and links to folders only where a part names them), and none elsewhere: a walk of the
    whole tree cost 65 times the listing, and a private folder anywhere refused every
    draw."""
    found: list[tuple[str, str]] = []
    # A stack, not recursion: a tree a thousand folders deep ended in a RecursionError.
    # Each folder's matches go on in reverse, so folders are visited (and reported) in the
    # order a recursive walk would take.
    parts = [part for part in pattern.replace(os.sep, "/").split("/")[:-1] if part not in ("", ".")]
    waiting: list[tuple[str, list[str]]] = [(folder, parts)]
    while waiting:
        path, rest = waiting.pop()
        try:
            with os.scandir(path) as listed:
                entries = list(listed)
        except OSError as error:
            found.append((path, error.strerror or str(error)))
            continue
        if not rest:
            continue
        below: list[tuple[str, list[str]]] = []
        if rest[0] == "**":
            below += _matches(entries, rest[1:])  # ** standing for no folder at all
            below += [
                (entry.path, rest)
                for entry in entries
                if not entry.name.startswith(".") and _is_folder(entry, follow=False)
            ]
        else:
            below += _matches(entries, rest)
        waiting += reversed(below)
    return found


def _matches(entries: list[os.DirEntry[str]], rest: list[str]) -> list[tuple[str, list[str]]]:
    """The folders among ``entries`` that the first part of ``rest`` matches, each with the
    parts that reach below it."""
    if not rest:
        return []
    return [
        (entry.path, rest[1:])
        for entry in entries
        if not (entry.name.startswith(".") and not rest[0].startswith("."))
        and fnmatch.fnmatchcase(entry.name, rest[0])
        and _is_folder(entry, follow=True)
    ]


def _is_folder(entry: os.DirEntry[str], follow: bool) -> bool:
    # A link is followed where a part names it, not where ** passes, as the glob does.
    try:
        return entry.is_dir(follow_symlinks=follow)
    except OSError:
        return False


def audio_files(folder: str, pattern: str, what: str) -> list[str]:
    """The files of a folder that match a pattern (a glob relative to it, ``**`` reaching
    into subfolders; ``*`` takes every file with a suffix Kavri reads as audio; hidden
    names left out unless the pattern names them, see ``hidden_left_out``), sorted by
    their names relative to it, each as the folder joined with that name.
    :class:`ChainError` naming ``what`` when none match, the folder (or, for a pattern that
    reaches into subfolders, one of them) cannot be listed, or the pattern is no glob inside
    the folder (empty, the folder itself, absolute, reaching out with ``..``, a misplaced
    ``**``): a draw from the files that could be listed would be another draw."""
    root = Path(folder)
    bad = f"{what}: {shown(folder)}: pattern {quoted(pattern)} is not a glob relative to the folder"
    if not relative_glob(pattern):
        raise ChainError(bad)
    # A pattern within the folder itself ("*", "*.wav") lists its names alone, which its
    # times tell unchanged: such a listing is kept (a batch over 1,000 clips drawing from
    # 10,000 noise files with "*.wav" had listed them for every clip, 116 s against 6 s).
    within = "/" not in pattern and "**" not in pattern
    if within:
        listed = _listed_folder(folder, pattern)
        if listed is not None:
            return listed
    if pattern != "*":
        # The folder itself, or one below that the pattern reaches into: a draw from the
        # files that could be listed would be another draw, and "no files match" another
        # fault's words.
        for name, reason in unreadable_folders(folder, files_below(pattern)):
            raise ChainError(f"{what}: {shown(name)}: cannot list: {reason}")
    # Names are taken as strings (a path's relative_to costs some 50 us, which a folder of
    # thousands of files, listed for every call, would feel).
    linked = False
    try:
        if pattern == "*":
            with os.scandir(folder) as entries:
                named = [
                    entry
                    for entry in entries
                    if os.path.splitext(entry.name)[1].lower() in _AUDIO_SUFFIXES
                    and not entry.name.startswith(".")
                ]
            names = [entry.name for entry in named if _is_file(entry)]
            # Any link, one that leads nowhere yet included: its target may come.
            linked = any(entry.is_symlink() for entry in named)
        else:
            depth = len(root.parts)
            globbed = list(root.glob(files_below(pattern)))
            matched = [p for p in globbed if p.is_file()]
            names = [
                name
                for name in ("/".join(p.parts[depth:]) for p in matched)
                if not hidden_left_out(name, pattern)
            ]
            # Any link, one that leads nowhere yet included, as for "*".
            linked = within and any(p.is_symlink() for p in globbed)
    except OSError as error:
        raise ChainError(f"{shown(folder)}: cannot list: {error.strerror or error}") from None
    except (ValueError, NotImplementedError) as error:
        raise ChainError(f"{bad} ({error})") from None
    # In the order of the bytes the file system holds, which no locale changes (the
    # decoded names' order did, and with it the file a seed draws).
    names.sort(key=os.fsencode)
    if not names:
        kind = "no audio files" if pattern == "*" else f"no files match {quoted(pattern)}"
        raise ChainError(f"{what}: {shown(folder)}: {kind}")
    files = [os.path.join(folder, name) for name in names]
    if within and not linked:
        _keep_listing(folder, pattern, files)
    return files


# The audio files of the last few folders listed with a pattern within them ("*", "*.wav"),
# by the folder and the pattern, with the folder's identity and times: a name added, taken
# away or renamed changes the folder's modification time, and the listing is made again.
# Listing a folder of 40,000 noise files took 107 ms a call, against 0.3 ms for the clip it
# was drawn for. A folder changed within the last seconds is listed every time, as its time
# may not yet tell a change that follows (its clock ticks in steps), and so is one whose
# matches include links, which can come to lead elsewhere.
_LISTINGS: KeptLast[tuple[tuple[int, ...], tuple[str, ...]]] = KeptLast(
    16, 64 << 20, lambda kept: 128 * len(kept[1])
)


def _folder_times(folder: str) -> tuple[int, ...] | None:
    """The identity and times of a folder that has not changed lately, else None."""
    status = os.stat(folder)
    if recently_changed(status):
        return None
    return (status.st_dev, status.st_ino, status.st_mtime_ns, status.st_ctime_ns)


def _listed_folder(folder: str, pattern: str) -> list[str] | None:
    try:
        times = _folder_times(folder)
    except OSError:
        return None  # the listing says why
    kept = None if times is None else _LISTINGS.get((folder, pattern))
    return list(kept[1]) if kept is not None and kept[0] == times else None


def _keep_listing(folder: str, pattern: str, files: list[str]) -> None:
    try:
        times = _folder_times(folder)  # after the listing: a change meanwhile is recent
    except OSError:
        return
    if times is not None:
        _LISTINGS.put((folder, pattern), (times, tuple(files)))
