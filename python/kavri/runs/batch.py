"""Processing many files with one chain: on a local thread pool, or on any
``concurrent.futures.Executor``.

:func:`find_files` finds the inputs under a folder by one or more patterns (brace sets such
as ``*.{wav,flac}`` included), :func:`plan_outputs` pairs each with its output under the
output folder (renamed to another format's suffix if asked), and :func:`batch` runs them
through the task loop of :mod:`kavri.runs.tasks`: streamed one task per file, never over an
input, skipping what the batch record shows as complete.
"""

from __future__ import annotations

import operator
import os
import re
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Any, Unpack

import numpy as np

from .._paths import AnyPath, files_below, fs_name, hidden_left_out, shown
from .._stop import StopRequest
from ..chain import ChainLike, load_chain
from ..errors import KavriError
from ..io import check_format_name, is_temporary, readable_suffixes
from ..io.folders import unreadable_folders
from ..rendering import ProgressCallback
from ..settings import RenderOptions, RenderSettings
from .guard import inside
from .record import MANIFEST_NAME, Record, is_bookkeeping, local_name, manifest_lines
from .tasks import (
    BatchReport,
    FileResult,
    Task,
    base_folder,
    check_folder,
    check_output_folder,
    check_output_settings,
    check_run_arguments,
    output_folder_made,
    run_tasks,
)

__all__ = ["batch", "expand_braces", "find_files", "find_inputs", "plan_outputs", "Found"]

# The most patterns one brace set may expand to.
MOST_PATTERNS = 256
_GLOB_CHARACTERS = re.compile(r"[*?\[\]]")


def expand_braces(pattern: str) -> list[str]:
    """The patterns a brace set stands for, as a shell expands them: ``*.{wav,flac}`` is
    ``*.wav`` and ``*.flac``; sets nest, and braces without a comma are kept as they are.
    :class:`ValueError` past ``MOST_PATTERNS`` patterns."""
    depth, start = 0, -1
    for position, character in enumerate(pattern):
        if character == "{":
            if depth == 0:
                start = position
            depth += 1
        elif character == "}" and depth:
            depth -= 1
            if depth == 0:
                inner = pattern[start + 1 : position]
                choices = _top_level_split(inner)
                if len(choices) > 1:
                    head, tail = pattern[:start], pattern[position + 1 :]
                    expanded: list[str] = []
                    for choice in choices:
                        for rest in expand_braces(choice + tail):
                            expanded.append(head + rest)
                            if len(expanded) > MOST_PATTERNS:
                                raise ValueError(
                                    f"pattern '{pattern}' stands for more than "
                                    f"{MOST_PATTERNS} patterns"
                                )
                    return list(dict.fromkeys(expanded))
                prefix = pattern[: position + 1]
                return [prefix + rest for rest in expand_braces(pattern[position + 1 :])]
    return [pattern]


def _top_level_split(text: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for character in text:
        if character == "," and depth == 0:
            parts.append(current)
            current = ""
            continue
        depth += {"{": 1, "}": -1}.get(character, 0)
        current += character
    return [*parts, current]


def _literal_suffix(pattern: str) -> str | None:
    """The suffix a pattern names outright (``*.txt``: ".txt"), or None (``*``, ``*.w*``)."""
    suffix = PurePath(pattern).suffix
    if not suffix or _GLOB_CHARACTERS.search(suffix):
        return None
    return suffix.lower()


@dataclass
class Found:
    """What :func:`find_inputs` found: the inputs, the files a wildcard matched that are not
    audio (by their suffix), left out, and the folders that could not be listed, each with
    the reason (their files, if any, are not among the inputs)."""

    files: list[Path] = field(default_factory=list)
    skipped: list[Path] = field(default_factory=list)
    unreadable: list[tuple[str, str]] = field(default_factory=list)


def find_inputs(
    folder: AnyPath, patterns: str | Sequence[str] = "*.wav", exclude: AnyPath | None = None
) -> Found:
    """Files under a folder (at any depth) whose names match any of the glob patterns
    (brace sets expanded) without regard to case, sorted, each once.

    A file a pattern matches only by a wildcard (``*``, ``take*``) is an input when its
    suffix is one of an audio format Kavri reads, and is otherwise listed in ``skipped``;
    a pattern that names a suffix outright (``*.txt``) takes its files as inputs whatever
    they hold, so that they fail, and say why, if they are not audio. Hidden files and
    folders (names beginning with a dot) are left out unless a pattern names them
    (``.*.wav``), as a shell's glob leaves them out.

    ``exclude`` is an output folder placed within the input folder: the outputs its batch
    record or augmentation manifest lists are left out, changed since they were written or
    not, so that a rerun never takes its own outputs as inputs (a touched output came back
    as an input and was written into a folder within the outputs); any other file there is
    an input like the rest.
    Batch records, augmentation manifests and the temporaries of unfinished writes are
    never inputs.
    """
    root = Path(check_folder(folder, "input folder"))
    given = [patterns] if isinstance(patterns, str) else list(patterns)
    expanded = [files_below(one) for pattern in given for one in expand_braces(pattern)]
    ours: set[str] = set()
    if exclude is not None:
        record = Record(exclude, look_only=True)
        for key in record.entries:
            ours.add(os.path.realpath(os.path.join(record.folder, local_name(key))))
        # An augment run's outputs are listed in its manifest too: with its record damaged
        # (and set aside), a rerun took them as inputs and augmented its own outputs.
        try:
            listed = manifest_lines(os.path.join(record.folder, MANIFEST_NAME))[0]
        except KavriError:
            listed = []  # unreadable: the run that writes it says so
        for line in listed:
            ours.add(os.path.realpath(os.path.join(record.folder, local_name(line["output"]))))
    audio = readable_suffixes()
    explicit: set[Path] = set()
    seen: set[Path] = set()
    for pattern in expanded:
        named = _literal_suffix(pattern)
        # Without regard to case: recorders and cameras name their files TAKE0001.WAV,
        # which the default '*.wav' left out.
        for path in root.rglob(pattern, case_sensitive=False):
            if hidden_left_out(str(path.relative_to(root)), pattern):
                continue
            if named is not None and path.suffix.lower() == named:
                explicit.add(path)
            if not (is_bookkeeping(path.name) or is_temporary(path)):
                seen.add(path)
    # What rglob reaches: the pattern at any depth.
    unreadable = {
        name: reason
        for pattern in expanded
        for name, reason in unreadable_folders(str(root), f"**/{pattern}")
    }
    found = Found()
    for path in sorted(seen):
        try:
            if not path.is_file():
                if path.is_symlink() and not path.exists():
                    found.files.append(path)  # a link that leads nowhere: its failure says so
                continue
        except OSError as error:  # a folder that can be listed but not searched (mode 444)
            unreadable.setdefault(str(path.parent), error.strerror or str(error))
            continue
        if ours and os.path.realpath(path) in ours:
            continue
        if path in explicit or path.suffix.lower() in audio:
            found.files.append(path)
        else:
            found.skipped.append(path)
    found.unreadable = sorted(unreadable.items(), key=lambda item: os.fsencode(item[0]))
    return found


def find_files(
    folder: AnyPath, pattern: str | Sequence[str] = "*.wav", exclude: AnyPath | None = None
) -> list[Path]:
    """The inputs :func:`find_inputs` finds, without the files it leaves out."""
    return find_inputs(folder, pattern, exclude).files


def input_names(files: Iterable[AnyPath]) -> list[str]:
    """The inputs of a run as names; ``TypeError`` for one path given where a list of them
    belongs (a folder's name had been taken letter by letter: "/: given twice")."""
    if isinstance(files, (str, bytes, os.PathLike)):
        raise TypeError(
            f"files must be a list of paths, got the single path {shown(files)}; for a "
            "folder's files, list them (kavri.runs.batch.find_files(folder, '*.wav'))"
        )
    return [fs_name(f) for f in files]


def plan_outputs(
    files: Sequence[AnyPath],
    out_dir: AnyPath,
    base_dir: AnyPath | None = None,
    suffix: str | None = None,
) -> list[tuple[str, str]]:
    """Pairs every input with its output path: the input's path relative to ``base_dir``
    (by default the inputs' common folder), placed under ``out_dir``, its suffix replaced
    by ``suffix`` (".flac") when given.

    Paths are compared as written, without following symbolic links, so a link
    ``in/sub/x.wav`` pointing elsewhere still belongs in ``out/sub/x.wav``. An input
    outside ``base_dir`` keeps only its name.
    """
    paths = [fs_name(f) for f in files]
    if not paths:
        return []
    base = base_folder(paths, base_dir)
    real_base = os.path.realpath(base)
    target = Path(fs_name(out_dir))
    pairs = []
    for path in paths:
        absolute = os.path.abspath(path)
        if inside(absolute, base):
            relative = os.path.relpath(absolute, base)
        elif inside(os.path.realpath(absolute), real_base):
            relative = os.path.relpath(os.path.realpath(absolute), real_base)
        else:
            relative = os.path.basename(absolute)
        output = target / relative
        if suffix is not None:
            output = output.with_suffix(suffix)
        pairs.append((path, str(output)))
    return pairs


def check_collisions(pairs: Sequence[tuple[str, str]]) -> None:
    """Refuses a plan in which two inputs would be written to one output (take.wav and
    take.flac both as take.flac), naming both."""
    first: dict[str, str] = {}
    for source, output in pairs:
        key = os.path.abspath(output)
        if key in first and os.path.abspath(first[key]) == os.path.abspath(source):
            raise KavriError(f"{shown(source)}: given twice; give each input once")
        if key in first:
            raise KavriError(
                f"{shown(output)}: both {shown(first[key])} and {shown(source)} would be "
                "written there; narrow --pattern or keep their formats"
            )
        first[key] = source


def batch(
    files: Iterable[AnyPath],
    chain: ChainLike,
    out_dir: AnyPath,
    settings: RenderSettings | None = None,
    *,
    executor: Executor | None = None,
    jobs: int | None = None,
    base_dir: AnyPath | None = None,
    force: bool = False,
    on_result: Callable[[FileResult], None] | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopRequest | None = None,
    **options: Unpack[RenderOptions],
) -> BatchReport:
    """Processes many files with one chain and writes each result under ``out_dir``.

    Outputs mirror the inputs' folder tree below ``base_dir`` (by default the inputs'
    common folder) and keep their names, hence their format, unless the ``file_format``
    setting names another: then they take its suffix (take.wav as take.flac), and two
    inputs that would share an output are refused before any file is touched
    (:class:`kavri.KavriError`). ``subtype="same"`` keeps each input's sample format where
    the output holds it. Each file is streamed as by
    :func:`kavri.process_file` with ``settings`` (a :class:`kavri.RenderSettings`, or the
    same names as keywords), with ``tail`` seconds of silence after it. Work goes to
    ``executor``: a local thread pool of ``jobs`` threads by default (the native calls
    release the interpreter lock), or any ``concurrent.futures.Executor``, such as a Dask
    cluster's ``distributed.Client(...).get_executor()`` (the workers must see the same
    paths).

    No output may be an input file: such a file fails, as does one whose folder cannot be
    created, and the others go on. An output that the batch record shows as made from the
    same input bytes with the same settings (and the same noise and response files, by
    size and time stamp), and unchanged since, is skipped unless ``force``. ``on_result``
    is called on this thread for every outcome as it arrives, and
    ``on_progress(frames_done, frames_total)`` about ten times a second, counting the frames
    (tails included) of all files; files on this process's threads count chunk by chunk,
    others when they finish. The chain is checked before any file is touched
    (:class:`kavri.ChainError`), and so are the settings (:class:`kavri.SettingError`, a
    ``ValueError``).

    ``stop`` (an object with ``is_set()``, such as a ``threading.Event``) ends the run
    between chunks: files not started are dropped, files in flight on this process's
    threads are abandoned unwritten, and :class:`BatchInterrupted` is raised with the
    report of the files that finished. Tasks on another process's workers cannot see the
    flag; they are cancelled where the executor allows and otherwise left to finish.

    ``loudness``, ``peak_ceiling``, ``dither`` and ``bitrate`` act on each file as in
    :func:`kavri.process_file`: each file is brought to the loudness target on its own.
    """
    specs = load_chain(chain)
    chosen = RenderSettings.of(settings, options)
    jobs = check_jobs(jobs)
    check_run_arguments(executor, on_result, on_progress)
    out_dir = check_output_folder(out_dir)
    sources = input_names(files)
    suffix = None if chosen.file_format is None else check_format_name(chosen.file_format)
    pairs = plan_outputs(sources, out_dir, base_dir, suffix)
    check_collisions(pairs)
    check_output_settings([output for _, output in pairs], chosen)
    tasks = [Task(source, output, specs) for source, output in pairs]
    # Made once the outputs are known not to collide: a refused batch leaves no folder.
    with output_folder_made(out_dir) as made:
        return run_tasks(
            tasks,
            out_dir,
            chosen,
            inputs=sources,
            base_dir=base_dir,
            executor=executor,
            jobs=jobs,
            force=force,
            on_result=on_result,
            on_progress=on_progress,
            stop=stop,
            made=made,
        )


def check_jobs(jobs: Any) -> int | None:
    """``jobs`` as None (one per core) or a plain whole number of at least 1 (NumPy's
    whole numbers too, as every other count; np.int64(2) had been refused)."""
    if jobs is None:
        return None
    try:
        count = None if isinstance(jobs, bool | np.bool_) else operator.index(jobs)
    except TypeError:
        count = None
    if count is None or count < 1:
        raise ValueError(f"jobs must be a whole number of at least 1, got {jobs!r}")
    return count
