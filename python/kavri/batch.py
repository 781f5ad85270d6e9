"""Processing many files: on a local thread pool, or on any ``concurrent.futures.Executor``.

Each file is read, processed and written by one task, :func:`process_file`, a plain
module-level function of picklable arguments, so that the same task runs on a thread of
this process or on a Dask worker (``distributed.Client(...).get_executor()``). The native
call releases the interpreter lock, so threads scale across cores.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal

from .api import process
from .audiofile import is_complete_audio_file, output_format, read, write
from .chain import Chain, ChainLike, load_chain
from .errors import KavriError

__all__ = [
    "FileResult",
    "BatchReport",
    "batch",
    "process_file",
    "find_files",
    "plan_outputs",
    "Task",
    "run_tasks",
]

Status = Literal["done", "skipped", "failed"]


@dataclass(frozen=True)
class FileResult:
    """The outcome of one file: "done", "skipped" (output already complete) or "failed"."""

    source: str
    output: str
    status: Status
    error: str = ""
    frames: int = 0
    seconds: float = 0.0


@dataclass
class BatchReport:
    """All outcomes of a batch run, in the order the files were given."""

    results: list[FileResult] = field(default_factory=list)

    def _with(self, status: Status) -> list[FileResult]:
        return [r for r in self.results if r.status == status]

    @property
    def done(self) -> list[FileResult]:
        """Files processed in this run."""
        return self._with("done")

    @property
    def skipped(self) -> list[FileResult]:
        """Files whose output was already complete."""
        return self._with("skipped")

    @property
    def failed(self) -> list[FileResult]:
        """Files that could not be processed, each with its error message."""
        return self._with("failed")

    @property
    def ok(self) -> bool:
        """True if no file failed."""
        return not self.failed


def process_file(source: str, output: str, chain: Chain, block_size: int = 2048,
                 workers: int = 1, subtype: str | None = None) -> FileResult:
    """Reads one file, runs the chain over it and writes the result atomically.

    Errors of the file itself (unreadable, engine failure, unwritable output) come back as
    a "failed" result with a one-line message instead of an exception, so that one bad
    file never stops a batch.
    """
    start = time.perf_counter()
    try:
        audio, sample_rate = read(source)
        processed = process(audio, sample_rate, chain, block_size=block_size, workers=workers)
        write(output, processed, sample_rate, subtype)
    except KavriError as error:
        return FileResult(source, output, "failed", str(error))
    except (RuntimeError, MemoryError, ValueError, TypeError) as error:
        message = str(error) or type(error).__name__
        return FileResult(source, output, "failed", f"{source}: {message}")
    return FileResult(source, output, "done", frames=int(audio.shape[0]),
                      seconds=time.perf_counter() - start)


def find_files(folder: str | os.PathLike[str], pattern: str = "*.wav",
               exclude: str | os.PathLike[str] | None = None) -> list[Path]:
    """Files under a folder (at any depth) whose names match a glob pattern, sorted.

    Files inside ``exclude`` (an output folder placed within the input folder) are left
    out, so that a rerun never takes its own outputs as inputs.
    """
    root = Path(folder)
    skip = Path(exclude).resolve() if exclude is not None else None
    found = []
    for path in root.rglob(pattern):
        if not path.is_file():
            continue
        if skip is not None and path.resolve().is_relative_to(skip):
            continue
        found.append(path)
    return sorted(found)


def plan_outputs(files: Sequence[str | os.PathLike[str]], out_dir: str | os.PathLike[str],
                 base_dir: str | os.PathLike[str] | None = None) -> list[tuple[str, str]]:
    """Pairs every input with its output path: the input's path relative to ``base_dir``
    (by default the inputs' common folder), placed under ``out_dir``."""
    paths = [Path(f) for f in files]
    if not paths:
        return []
    if base_dir is None:
        base = Path(os.path.commonpath([str(p.resolve().parent) for p in paths]))
    else:
        base = Path(base_dir).resolve()
    target = Path(out_dir)
    pairs = []
    for path in paths:
        resolved = path.resolve()
        relative = resolved.relative_to(base) if resolved.is_relative_to(base) else Path(path.name)
        pairs.append((str(path), str(target / relative)))
    return pairs


def _up_to_date(source: str, output: str) -> bool:
    try:
        if os.path.getmtime(output) < os.path.getmtime(source):
            return False
    except OSError:
        return False
    return is_complete_audio_file(output)


@dataclass(frozen=True)
class Task:
    """One file of a run: read ``source``, run ``chain`` over it, write ``output``.

    ``force`` redoes the output even when it is already complete and up to date.
    """

    source: str
    output: str
    chain: Chain
    force: bool = False


def run_tasks(tasks: Sequence[Task], *, executor: Executor | None = None,
              jobs: int | None = None, block_size: int = 2048, workers: int = 1,
              subtype: str | None = None,
              on_result: Callable[[FileResult], None] | None = None) -> BatchReport:
    """Runs file tasks on ``executor`` (a local pool of ``jobs`` threads by default) and
    returns their outcomes in the order given.

    Before anything is submitted, each task is checked: two tasks writing one output, an
    output that is its own input and an unknown output format fail that task; a complete
    output not older than its input is skipped unless the task is forced. ``on_result`` is
    called on this thread for every outcome as it arrives. The chains must be checked
    already (:func:`kavri.load_chain`).
    """
    outcomes: dict[int, FileResult] = {}
    pending: dict[Future[FileResult], int] = {}
    seen_outputs: dict[str, str] = {}

    def report(index: int, result: FileResult) -> None:
        outcomes[index] = result
        if on_result is not None:
            on_result(result)

    own_pool = executor is None
    pool = executor if executor is not None else ThreadPoolExecutor(
        max_workers=max(1, jobs or os.cpu_count() or 1), thread_name_prefix="kavri")
    try:
        for index, task in enumerate(tasks):
            source, output = task.source, task.output
            key = os.path.abspath(output)
            if key in seen_outputs:
                report(index, FileResult(source, output, "failed",
                                         f"{source}: same output as {seen_outputs[key]}"))
                continue
            seen_outputs[key] = source
            if os.path.abspath(source) == key:
                report(index, FileResult(source, output, "failed",
                                         f"{source}: output would overwrite the input"))
                continue
            try:
                output_format(output, subtype)
            except KavriError as error:
                report(index, FileResult(source, output, "failed", str(error)))
                continue
            if not task.force and _up_to_date(source, output):
                report(index, FileResult(source, output, "skipped"))
                continue
            os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
            future = pool.submit(process_file, source, output, task.chain, block_size,
                                 workers, subtype)
            pending[future] = index
        for future in as_completed(pending):
            index = pending[future]
            task = tasks[index]
            try:
                result = future.result()
            except Exception as error:  # a task that died on a remote worker, say
                result = FileResult(task.source, task.output, "failed",
                                    f"{task.source}: {type(error).__name__}: {error}")
            report(index, result)
    finally:
        if own_pool:
            pool.shutdown(wait=True, cancel_futures=True)
    return BatchReport([outcomes[i] for i in range(len(tasks))])


def batch(files: Iterable[str | os.PathLike[str]], chain: ChainLike,
          out_dir: str | os.PathLike[str], *, executor: Executor | None = None,
          jobs: int | None = None, block_size: int = 2048, workers: int = 1,
          subtype: str | None = None, base_dir: str | os.PathLike[str] | None = None,
          force: bool = False,
          on_result: Callable[[FileResult], None] | None = None) -> BatchReport:
    """Processes many files with one chain and writes each result under ``out_dir``.

    Outputs mirror the inputs' folder tree below ``base_dir`` (by default the inputs'
    common folder) and keep their names, hence their format. Work goes to ``executor``: a
    local thread pool of ``jobs`` threads by default (the native call releases the
    interpreter lock), or any ``concurrent.futures.Executor``, such as a Dask cluster's
    ``distributed.Client(...).get_executor()`` (the workers must see the same paths).

    An output that is already complete and not older than its input is skipped unless
    ``force``; a file that fails is reported in the result and the others go on.
    ``on_result`` is called on this thread for every outcome as it arrives. The chain is
    checked before any file is touched (:class:`kavri.ChainError`).
    """
    specs = load_chain(chain)
    tasks = [Task(source, output, specs, force)
             for source, output in plan_outputs(list(files), out_dir, base_dir)]
    return run_tasks(tasks, executor=executor, jobs=jobs, block_size=block_size,
                     workers=workers, subtype=subtype, on_result=on_result)
