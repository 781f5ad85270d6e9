"""Folders of audio files that a chain draws from (background noise, impulse responses)."""

from __future__ import annotations

import fnmatch
import os
import re
from collections.abc import Sequence
from pathlib import Path

from .._paths import files_below, hidden_left_out, relative_glob, shown
from ..catalogue import quoted
from ..errors import ChainError
from .formats import readable_suffixes

__all__ = ["audio_files", "unreadable_folders"]

_AUDIO_SUFFIXES = readable_suffixes()
_GLOB = re.compile(r"[*?\[]")


def _is_file(entry: os.DirEntry[str]) -> bool:
    """A file or a link to one, as Path.is_file: False for a link that loops or leads
    nowhere, and for what cannot be looked at."""
    try:
        return entry.is_file()
    except OSError:
        return False


def unreadable_folders(folder: str, patterns: Sequence[str] = ()) -> list[tuple[str, str]]:
    """The folders below ``folder`` (itself included) that a recursive glob of ``patterns``
    may look into and that cannot be listed, each with the reason, sorted: a glob passes
    over them without a word, so that the files inside were left out of a run that said it
    was complete. Hidden folders and links to folders count where a pattern names them
    (``.takes/*.wav``, ``link/*.wav``), as the glob goes into them only then."""
    named = {
        part.casefold()
        for pattern in patterns
        for part in pattern.replace(os.sep, "/").split("/")[:-1]
        if part and not _GLOB.search(part)
    }
    found: dict[str, str] = {}

    def note(error: OSError) -> None:
        found[str(error.filename)] = error.strerror or str(error)

    for top, folders, _ in os.walk(folder, onerror=note):
        for name in folders:
            path = os.path.join(top, name)
            if name.casefold() in named and (name.startswith(".") or os.path.islink(path)):
                try:
                    with os.scandir(path):
                        pass
                except OSError as error:
                    note(error)
        folders[:] = [name for name in folders if not name.startswith(".")]
    return sorted(found.items(), key=lambda item: os.fsencode(item[0]))


def _unreadable_reach(folder: str, pattern: str) -> list[tuple[str, str]]:
    """The folders that cannot be listed where a pattern reaches below ``folder``, level by
    level as the glob goes (``takes/*/day1/*.wav``: takes, each folder in it, each day1 in
    those; ``**``: every folder below), and none elsewhere: the whole tree had been walked
    on every call (65 times the cost of the listing), and a private folder anywhere in it
    refused every draw."""
    found: list[tuple[str, str]] = []

    def visit(path: str, rest: list[str]) -> None:
        try:
            with os.scandir(path) as entries:
                below = [entry for entry in entries if _is_folder(entry, rest)]
        except OSError as error:
            found.append((path, error.strerror or str(error)))
            return
        if not rest:
            return
        if rest[0] == "**":
            each_match(below, rest[1:])  # ** standing for no folder at all
            for entry in below:
                if not entry.name.startswith("."):
                    visit(entry.path, rest)
        else:
            each_match(below, rest)

    def each_match(below: list[os.DirEntry[str]], rest: list[str]) -> None:
        """Visits the folders of ``below`` that the first part of ``rest`` matches."""
        if not rest:
            return
        for entry in below:
            hidden = entry.name.startswith(".") and not rest[0].startswith(".")
            if not hidden and fnmatch.fnmatchcase(entry.name, rest[0]):
                visit(entry.path, rest[1:])

    parts = [part for part in pattern.replace(os.sep, "/").split("/")[:-1] if part not in ("", ".")]
    visit(folder, parts)
    return found


def _is_folder(entry: os.DirEntry[str], rest: list[str]) -> bool:
    # Links are followed where a part names a folder, not where ** passes, as the glob does.
    try:
        return entry.is_dir(follow_symlinks=not rest or rest[0] != "**")
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
    if pattern != "*":
        # The folder itself, or one below that the pattern reaches into: a draw from the
        # files that could be listed would be another draw, and "no files match" another
        # fault's words.
        for name, reason in _unreadable_reach(folder, pattern):
            raise ChainError(f"{what}: {shown(name)}: cannot list: {reason}")
    # Names are taken as strings (a path's relative_to costs some 50 us, which a folder of
    # thousands of files, listed for every call, would feel).
    try:
        if pattern == "*":
            with os.scandir(folder) as entries:
                names = [
                    entry.name
                    for entry in entries
                    if os.path.splitext(entry.name)[1].lower() in _AUDIO_SUFFIXES
                    and not entry.name.startswith(".")
                    and _is_file(entry)
                ]
        else:
            depth = len(root.parts)
            found = (
                "/".join(p.parts[depth:]) for p in root.glob(files_below(pattern)) if p.is_file()
            )
            names = [name for name in found if not hidden_left_out(name, pattern)]
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
    return [os.path.join(folder, name) for name in names]
