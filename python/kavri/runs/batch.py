"""Processing many files with one chain: on a local thread pool, or on any
``concurrent.futures.Executor``.

:func:`find_files` finds the inputs under a folder, :func:`plan_outputs` pairs each with its
output under the output folder, and :func:`batch` runs them through the task loop of
:mod:`kavri.runs.tasks`: streamed one task per file, never over an input, skipping what the
batch record shows as complete.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor
from pathlib import Path
from typing import Unpack

from .._paths import AnyPath, fs_name
from .._stop import StopRequest
from ..chain import ChainLike, load_chain
from ..io import is_temporary
from ..settings import RenderOptions, RenderSettings
from .guard import inside
from .record import Record, is_bookkeeping
from .tasks import BatchReport, FileResult, Task, base_folder, run_tasks

__all__ = ["batch", "find_files", "plan_outputs"]


def find_files(
    folder: AnyPath, pattern: str = "*.wav", exclude: AnyPath | None = None
) -> list[Path]:
    """Files under a folder (at any depth) whose names match a glob pattern, sorted.

    ``exclude`` is an output folder placed within the input folder: the outputs its batch
    record lists (unchanged since they were written) are left out, so that a rerun never
    takes its own outputs as inputs; any other file there is an input like the rest. Batch
    records, augmentation manifests and the temporaries of unfinished writes are never
    inputs.
    """
    root = Path(fs_name(folder))
    ours: set[str] = set()
    if exclude is not None:
        record = Record(exclude)
        for key in record.entries:
            written = os.path.join(record.folder, key)
            if record.written_by_us(written):
                ours.add(os.path.realpath(written))
    found: list[Path] = []
    for path in root.rglob(pattern):
        if is_bookkeeping(path.name) or is_temporary(path):
            continue
        if not path.is_file():
            continue
        if ours and os.path.realpath(path) in ours:
            continue
        found.append(path)
    return sorted(found)


def plan_outputs(
    files: Sequence[AnyPath], out_dir: AnyPath, base_dir: AnyPath | None = None
) -> list[tuple[str, str]]:
    """Pairs every input with its output path: the input's path relative to ``base_dir``
    (by default the inputs' common folder), placed under ``out_dir``.

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
        pairs.append((path, str(target / relative)))
    return pairs


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
    on_progress: Callable[[int, int], None] | None = None,
    stop: StopRequest | None = None,
    **options: Unpack[RenderOptions],
) -> BatchReport:
    """Processes many files with one chain and writes each result under ``out_dir``.

    Outputs mirror the inputs' folder tree below ``base_dir`` (by default the inputs'
    common folder) and keep their names, hence their format. Each file is streamed as by
    :func:`kavri.process_file` with ``settings`` (a :class:`kavri.RenderSettings`, or the
    same names as keywords), with ``tail`` seconds of silence after it. Work goes to
    ``executor``: a local thread pool of ``jobs`` threads by default (the native calls
    release the interpreter lock), or any ``concurrent.futures.Executor``, such as a Dask
    cluster's ``distributed.Client(...).get_executor()`` (the workers must see the same
    paths).

    No output may be an input file: such a file fails, as does one whose folder cannot be
    created, and the others go on. An output that the batch record shows as made from the
    same input bytes with the same settings, and unchanged since, is skipped unless
    ``force``. ``on_result`` is called on this thread for every outcome as it arrives, and
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
    check_jobs(jobs)
    sources = [fs_name(f) for f in files]
    tasks = [
        Task(source, output, specs) for source, output in plan_outputs(sources, out_dir, base_dir)
    ]
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
    )


def check_jobs(jobs: object) -> None:
    """``jobs`` is None (one per core) or a whole number of at least 1."""
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a whole number of at least 1, got {jobs!r}")
