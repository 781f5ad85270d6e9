"""Processing many files: on a local thread pool, or on any ``concurrent.futures.Executor``.

Each file is streamed by one task, :func:`run_task`, a plain module-level function of
picklable arguments, so that the same task runs on a thread of this process or on a Dask
worker (``distributed.Client(...).get_executor()``). The native calls release the
interpreter lock, so threads scale across cores. :func:`run_tasks` is the loop over such
tasks, each with its own chain: :func:`batch` gives every file the same chain, and
:func:`kavri.augment_files` gives every variant of every file the chain drawn for it.

A run never writes over one of its inputs: an output path that is an input (by name or by
being the same file) is refused, and when the output folder lies inside the inputs' folder
its files that this tool did not write are inputs too. Which outputs are complete is
decided from a small record beside them, ``OUT_DIR/.kavri-batch.json``: for every output
it keeps the identity of the input it was made from (size, time stamp and SHA-256 of its
bytes), a digest of the chain and settings, and the output's own size and time stamp. An
output is skipped on a rerun only when all of them still match.
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

import soundfile as sf

from ._atomic import TEMPORARY_SUFFIX, atomic_output
from .api import check_engine_options
from .audiofile import check_subtype_name, is_complete_audio_file, output_format
from .chain import Chain, ChainLike, load_chain
from .errors import Interrupted, KavriError
from .loudness import LoudnessTarget
from .report import output_report
from .streamfile import StopRequest, check_tail, process_file, tail_frames

__all__ = [
    "FileResult",
    "BatchReport",
    "batch",
    "Task",
    "run_tasks",
    "run_task",
    "find_files",
    "plan_outputs",
    "file_identity",
    "RECORD_NAME",
]

Status = Literal["done", "skipped", "failed"]

RECORD_NAME = ".kavri-batch.json"
RECORD_FORMAT = 1
# The record is rewritten at most this often while a batch runs, and always at its end; a
# run killed in between loses at most these seconds of entries, whose outputs are redone.
RECORD_INTERVAL = 1.0
_HASH_BLOCK = 1 << 20


@dataclass(frozen=True)
class FileResult:
    """The outcome of one file: "done", "skipped" (output already complete) or "failed".

    ``record`` is what the batch record keeps for a finished output: the identity of the
    input it was made from, the settings digest and the output's size and time stamp.
    ``warnings`` name what went wrong in a finished output: samples clipped by its format,
    NaN or infinite samples, a loudness target that was missed.
    """

    source: str
    output: str
    status: Status
    error: str = ""
    frames: int = 0
    seconds: float = 0.0
    record: dict[str, Any] | None = field(default=None, compare=False, repr=False)
    warnings: tuple[str, ...] = ()


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


class BatchInterrupted(Interrupted):
    """A batch stopped on request. ``report`` holds the files that finished before the stop
    (processed, skipped or failed); files in flight were abandoned and left unwritten."""

    def __init__(self, message: str, report: BatchReport, abandoned: int) -> None:
        super().__init__(message)
        self.report = report
        self.abandoned = abandoned


# --- identities and the record -------------------------------------------------------------

def file_identity(path: str | os.PathLike[str], stop: StopRequest | None = None
                  ) -> dict[str, Any]:
    """The size, time stamp (ns) and SHA-256 of a file's bytes, taken before it is hashed."""
    name = os.fspath(path)
    try:
        stat = os.stat(name)
        digest = hashlib.sha256()
        with open(name, "rb") as handle:
            while block := handle.read(_HASH_BLOCK):
                if stop is not None and stop.is_set():
                    raise Interrupted(f"{name}: interrupted")
                digest.update(block)
    except OSError as error:
        raise KavriError(f"{name}: cannot read: {error.strerror or error}") from None
    return {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sha256": digest.hexdigest()}


def settings_digest(specs: Chain, block_size: int, subtype: str | None, tail: float,
                    options: dict[str, Any] | None = None) -> str:
    """A digest of everything besides the input that decides an output's bits. The worker
    count is left out: it never changes them."""
    from . import __version__

    text = json.dumps({"chain": specs, "block_size": block_size, "subtype": subtype,
                       "tail": tail, "version": __version__, **(options or {})},
                      sort_keys=True, allow_nan=True)
    return hashlib.sha256(text.encode()).hexdigest()


def _record_key(output: str, out_dir: str) -> str:
    return Path(os.path.relpath(os.path.abspath(output), os.path.abspath(out_dir))).as_posix()


def load_record(out_dir: str | os.PathLike[str]) -> dict[str, dict[str, Any]]:
    """The entries of a folder's batch record by output path (relative, with '/'). A
    missing or damaged record is empty: every output is then redone."""
    try:
        with open(os.path.join(out_dir, RECORD_NAME), encoding="utf-8") as handle:
            data = json.load(handle)
    except (OSError, ValueError):
        return {}
    if not isinstance(data, dict) or data.get("format") != RECORD_FORMAT:
        return {}
    outputs = data.get("outputs")
    if not isinstance(outputs, dict):
        return {}
    return {key: entry for key, entry in outputs.items() if isinstance(entry, dict)}


def save_record(out_dir: str | os.PathLike[str], entries: dict[str, dict[str, Any]]) -> None:
    """Writes the record atomically. A record that cannot be written costs only redone work
    on the next run, so failures are ignored."""
    text = json.dumps({"format": RECORD_FORMAT, "outputs": entries}, indent=1, sort_keys=True)
    try:
        with atomic_output(os.path.join(out_dir, RECORD_NAME)) as temporary:
            with open(temporary, "w", encoding="utf-8") as handle:
                handle.write(text)
    except (OSError, KavriError):
        pass


def _same_stat(entry: dict[str, Any], path: str, prefix: str = "") -> bool:
    try:
        stat = os.stat(path)
    except OSError:
        return False
    return (entry.get(f"{prefix}size") == stat.st_size
            and entry.get(f"{prefix}mtime_ns") == stat.st_mtime_ns)


def _written_by_us(entry: dict[str, Any] | None, output: str) -> bool:
    return entry is not None and _same_stat(entry, output, "output_")


# --- finding and pairing files -------------------------------------------------------------

def _inside(path: str, folder: str) -> bool:
    return os.path.commonpath([path, folder]) == folder


def find_files(folder: str | os.PathLike[str], pattern: str = "*.wav",
               exclude: str | os.PathLike[str] | None = None) -> list[Path]:
    """Files under a folder (at any depth) whose names match a glob pattern, sorted.

    ``exclude`` is an output folder placed within the input folder: the outputs its batch
    record lists (unchanged since they were written) are left out, so that a rerun never
    takes its own outputs as inputs; any other file there is an input like the rest. Batch
    records and the temporaries of unfinished writes are never inputs.
    """
    root = Path(folder)
    ours: set[str] = set()
    if exclude is not None:
        out_dir = os.fspath(exclude)
        for key, entry in load_record(out_dir).items():
            written = os.path.join(out_dir, key)
            if _written_by_us(entry, written):
                ours.add(os.path.realpath(written))
    found: list[Path] = []
    for path in root.rglob(pattern):
        if path.name == RECORD_NAME or (path.name.startswith(".")
                                        and path.name.endswith(TEMPORARY_SUFFIX)):
            continue
        if not path.is_file():
            continue
        if ours and os.path.realpath(path) in ours:
            continue
        found.append(path)
    return sorted(found)


def _base_folder(paths: Sequence[str], base_dir: str | os.PathLike[str] | None) -> str:
    if base_dir is not None:
        return os.path.abspath(base_dir)
    return os.path.commonpath([os.path.dirname(os.path.abspath(p)) for p in paths])


def plan_outputs(files: Sequence[str | os.PathLike[str]], out_dir: str | os.PathLike[str],
                 base_dir: str | os.PathLike[str] | None = None) -> list[tuple[str, str]]:
    """Pairs every input with its output path: the input's path relative to ``base_dir``
    (by default the inputs' common folder), placed under ``out_dir``.

    Paths are compared as written, without following symbolic links, so a link
    ``in/sub/x.wav`` pointing elsewhere still belongs in ``out/sub/x.wav``. An input
    outside ``base_dir`` keeps only its name.
    """
    paths = [os.fspath(f) for f in files]
    if not paths:
        return []
    base = _base_folder(paths, base_dir)
    real_base = os.path.realpath(base)
    target = Path(out_dir)
    pairs = []
    for path in paths:
        absolute = os.path.abspath(path)
        if _inside(absolute, base):
            relative = os.path.relpath(absolute, base)
        elif _inside(os.path.realpath(absolute), real_base):
            relative = os.path.relpath(os.path.realpath(absolute), real_base)
        else:
            relative = os.path.basename(absolute)
        pairs.append((path, str(target / relative)))
    return pairs


# --- the task ------------------------------------------------------------------------------

def run_task(source: str, output: str, specs: Chain, block_size: int = 2048, workers: int = 1,
             subtype: str | None = None, tail: float = 0.0, settings: str = "",
             previous: dict[str, Any] | None = None,
             stop: StopRequest | None = None,
             progress: Callable[[int, int], None] | None = None,
             options: dict[str, Any] | None = None) -> FileResult:
    """Processes one file of a batch: streams it through the chain into ``output``, or
    skips it when ``previous`` (its entry in the batch record) shows that the output was
    made from this very input with these settings and is still as it was written.
    ``options`` are further keyword arguments of :func:`kavri.process_file` (loudness,
    peak_ceiling, dither, bitrate).

    Errors of the file itself (unreadable, engine failure, unwritable output) come back as
    a "failed" result with a one-line message instead of an exception, so that one bad
    file never stops a batch. A stop request raises :class:`kavri.Interrupted`.
    ``progress`` is passed on to :func:`kavri.process_file`.
    """
    start = time.perf_counter()
    try:
        identity = None
        if (previous is not None and previous.get("settings") == settings
                and previous.get("source") == os.path.abspath(source)
                and _same_stat(previous, source) and _written_by_us(previous, output)
                and is_complete_audio_file(output)):
            identity = file_identity(source, stop)
            if identity["sha256"] == previous.get("sha256") and _same_stat(identity, source):
                return FileResult(source, output, "skipped", record=previous)
        if identity is None or not _same_stat(identity, source):
            identity = file_identity(source, stop)
        summary = process_file(source, output, specs, block_size=block_size, workers=workers,
                               subtype=subtype, tail=tail, stop=stop, progress=progress,
                               **(options or {}))
        written = os.stat(output)
    except KavriError as error:
        return FileResult(source, output, "failed", str(error))
    except (RuntimeError, MemoryError, ValueError, TypeError, OSError) as error:
        message = str(error) or type(error).__name__
        return FileResult(source, output, "failed", f"{source}: {message}")
    record = {"source": os.path.abspath(source), **identity, "settings": settings,
              "output_size": written.st_size, "output_mtime_ns": written.st_mtime_ns}
    warnings = tuple(f"{output}: {w}" for w in output_report(summary)[1])
    return FileResult(source, output, "done", frames=summary.input_frames,
                      seconds=time.perf_counter() - start, record=record, warnings=warnings)


class _AnyStop:
    """Set when any of the given flags is set."""

    def __init__(self, *flags: StopRequest | None) -> None:
        self.flags = [f for f in flags if f is not None]

    def is_set(self) -> bool:
        return any(f.is_set() for f in self.flags)


# --- running tasks -------------------------------------------------------------------------

@dataclass(frozen=True)
class Task:
    """One output of a run: stream ``source`` through ``chain`` (checked specs) into
    ``output``. Each task carries its own chain, so one run may use a different chain for
    every output, as augmentation does."""

    source: str
    output: str
    chain: Chain


def check_run_options(block_size: int, workers: int, subtype: str | None,
                      tail: float) -> float:
    """Checks the settings shared by every task of a run (``ValueError`` for the engine
    options and the tail, :class:`kavri.KavriError` for the subtype) and returns the tail
    in seconds."""
    check_engine_options(block_size, workers)
    tail = check_tail(tail)
    if subtype is not None:
        check_subtype_name(subtype)
    return tail


def run_tasks(tasks: Sequence[Task], out_dir: str | os.PathLike[str], *,
              inputs: Sequence[str] | None = None,
              base_dir: str | os.PathLike[str] | None = None,
              executor: Executor | None = None, jobs: int | None = None,
              block_size: int = 2048, workers: int = 1, subtype: str | None = None,
              force: bool = False, tail: float = 0.0,
              options: dict[str, Any] | None = None,
              on_result: Callable[[FileResult], None] | None = None,
              on_progress: Callable[[int, int], None] | None = None,
              stop: StopRequest | None = None) -> BatchReport:
    """Runs file tasks whose outputs lie under ``out_dir`` and returns their outcomes in
    the order given. :func:`batch` and :func:`kavri.augment_files` are both this loop.

    ``inputs`` are all the files of the run (by default the tasks' sources) and
    ``base_dir`` the folder they were found in (by default their common folder): no output
    may be one of them, nor, when ``out_dir`` lies below ``base_dir``, a file there that
    this tool did not write. Every task's outcome, record, progress and stop handling is
    as :func:`batch` describes; the settings digest of each output covers its own chain.
    ``options`` are further keyword arguments of :func:`kavri.process_file`, the same for
    every task (checked already) and part of every settings digest.
    """
    tail = check_run_options(block_size, workers, subtype, tail)
    sources = list(inputs) if inputs is not None else [t.source for t in tasks]
    out_name = os.fspath(out_dir)
    digests: dict[int, str] = {}

    def settings(task: Task) -> str:
        # Tasks often share one chain object (a batch); its digest is worked out once.
        key = id(task.chain)
        if key not in digests:
            digests[key] = settings_digest(task.chain, block_size, subtype, tail, options)
        return digests[key]

    record = load_record(out_name)
    outcomes: dict[int, FileResult] = {}
    pending: dict[Future[FileResult], int] = {}
    seen_outputs: dict[str, str] = {}
    input_names = {os.path.abspath(s): s for s in sources}
    input_files: dict[tuple[int, int], str] = {}
    for s in sources:
        try:
            stat = os.stat(s)
            input_files[(stat.st_dev, stat.st_ino)] = s
        except OSError:
            pass
    out_in_tree = bool(sources) and _inside(
        os.path.realpath(out_name), os.path.realpath(_base_folder(sources, base_dir)))

    def overwritten_input(source: str, output: str) -> str | None:
        """What writing ``output`` would destroy, if it is an input, or None."""
        named = input_names.get(os.path.abspath(output))
        if named is None:
            try:
                stat = os.stat(output)
            except OSError:
                return None
            named = input_files.get((stat.st_dev, stat.st_ino))
        if named is not None:
            return "the input" if named == source else f"the input {named}"
        if out_in_tree and not _written_by_us(record.get(_record_key(output, out_name)), output):
            # The output folder lies among the inputs: a file there that this tool did not
            # write is an original, whatever the file list given.
            return f"{output}, a file in the input folder that kavri did not write"
        return None

    sizes: list[int] = []
    if on_progress is not None:
        known: dict[str, int] = {}
        for task in tasks:
            if task.source not in known:
                try:
                    info = sf.info(task.source)
                    known[task.source] = (max(int(info.frames), 0)
                                          + tail_frames(tail, int(info.samplerate)))
                except (RuntimeError, OSError, ValueError):
                    known[task.source] = 0
            sizes.append(known[task.source])
    done_frames: dict[int, int] = {}

    def show_progress() -> None:
        if on_progress is not None:
            on_progress(sum(done_frames.values()), sum(sizes))

    def file_progress(index: int) -> Callable[[int, int], None]:
        def update(done: int, total: int) -> None:
            done_frames[index] = done  # one key per file: safe from any thread
        return update

    def report(index: int, result: FileResult) -> None:
        outcomes[index] = result
        if sizes:
            done_frames[index] = sizes[index]
        if result.status == "done" and result.record is not None:
            record[_record_key(result.output, out_name)] = result.record
        if on_result is not None:
            on_result(result)

    internal = threading.Event()
    halt = _AnyStop(internal, stop)
    own_pool = executor is None
    pool = executor if executor is not None else ThreadPoolExecutor(
        max_workers=max(1, jobs or os.cpu_count() or 1), thread_name_prefix="kavri")
    # Threads of this process see the flag; other processes' workers cannot.
    task_stop = halt if isinstance(pool, ThreadPoolExecutor) else None
    abandoned = 0
    not_done: set[Future[FileResult]] = set()

    def collect(future: Future[FileResult]) -> None:
        nonlocal abandoned
        index = pending[future]
        task = tasks[index]
        if future.cancelled():
            return
        try:
            result = future.result()
        except Interrupted:
            abandoned += 1
            return
        except Exception as error:  # a task that died on a remote worker, say
            result = FileResult(task.source, task.output, "failed",
                                f"{task.source}: {type(error).__name__}: {error}")
        report(index, result)

    try:
        for index, task in enumerate(tasks):
            if halt.is_set():
                break
            source, output = task.source, task.output
            key = os.path.abspath(output)
            if key in seen_outputs:
                report(index, FileResult(source, output, "failed",
                                         f"{source}: same output as {seen_outputs[key]}"))
                continue
            seen_outputs[key] = source
            what = overwritten_input(source, output)
            if what is not None:
                report(index, FileResult(source, output, "failed",
                                         f"{source}: output would overwrite {what}"))
                continue
            try:
                output_format(output, subtype)
            except KavriError as error:
                report(index, FileResult(source, output, "failed", str(error)))
                continue
            folder = os.path.dirname(os.path.abspath(output))
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as error:
                report(index, FileResult(source, output, "failed",
                                         f"{source}: cannot create folder {folder}: "
                                         f"{error.strerror or error}"))
                continue
            previous = None if force else record.get(_record_key(output, out_name))
            future = pool.submit(run_task, source, output, task.chain, block_size, workers,
                                 subtype, tail, settings(task), previous, task_stop,
                                 progress=file_progress(index)
                                 if task_stop is not None and sizes else None,
                                 options=options)
            pending[future] = index
            not_done.add(future)
        last_save = time.monotonic()
        while not_done and not halt.is_set():
            finished, not_done = wait(not_done, timeout=0.1, return_when=FIRST_COMPLETED)
            for future in finished:
                collect(future)
            show_progress()
            if finished and time.monotonic() - last_save >= RECORD_INTERVAL:
                save_record(out_name, record)
                last_save = time.monotonic()
        show_progress()
    except BaseException:
        internal.set()
        raise
    finally:
        if not_done:
            for future in not_done:
                future.cancel()
            if task_stop is not None:
                # Running tasks see the flag at their next chunk and return quickly.
                finished, _ = wait(not_done)
                for future in finished:
                    collect(future)
            else:
                abandoned += sum(1 for f in not_done if not f.cancelled())
        if outcomes:
            save_record(out_name, record)
        if own_pool:
            pool.shutdown(wait=True, cancel_futures=True)
    partial = BatchReport([outcomes[i] for i in range(len(tasks)) if i in outcomes])
    if halt.is_set() and len(outcomes) < len(tasks):
        raise BatchInterrupted(
            f"interrupted: {len(partial.done)} processed, {len(partial.skipped)} skipped, "
            f"{len(partial.failed)} failed; {abandoned} in flight abandoned, "
            f"{len(tasks) - len(outcomes) - abandoned} not started", partial, abandoned)
    return partial


# --- the batch -----------------------------------------------------------------------------

def batch(files: Iterable[str | os.PathLike[str]], chain: ChainLike,
          out_dir: str | os.PathLike[str], *, executor: Executor | None = None,
          jobs: int | None = None, block_size: int = 2048, workers: int = 1,
          subtype: str | None = None, base_dir: str | os.PathLike[str] | None = None,
          force: bool = False, tail: float = 0.0,
          on_result: Callable[[FileResult], None] | None = None,
          on_progress: Callable[[int, int], None] | None = None,
          stop: StopRequest | None = None, loudness: float | None = None,
          peak_ceiling: float = -1.0, dither: str = "tpdf",
          bitrate: int | None = None) -> BatchReport:
    """Processes many files with one chain and writes each result under ``out_dir``.

    Outputs mirror the inputs' folder tree below ``base_dir`` (by default the inputs'
    common folder) and keep their names, hence their format. Each file is streamed as by
    :func:`kavri.process_file`, with ``tail`` seconds of silence after it. Work goes to
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
    (:class:`kavri.ChainError`), and so are ``block_size`` and ``workers`` (``ValueError``).

    ``stop`` (an object with ``is_set()``, such as a ``threading.Event``) ends the run
    between chunks: files not started are dropped, files in flight on this process's
    threads are abandoned unwritten, and :class:`BatchInterrupted` is raised with the
    report of the files that finished. Tasks on another process's workers cannot see the
    flag; they are cancelled where the executor allows and otherwise left to finish.

    ``loudness``, ``peak_ceiling``, ``dither`` and ``bitrate`` act on each file as in
    :func:`kavri.process_file`: each file is brought to the loudness target on its own.
    """
    specs = load_chain(chain)
    tail = check_run_options(block_size, workers, subtype, tail)
    options: dict[str, Any] = {"dither": dither}
    if loudness is not None:
        LoudnessTarget(loudness, peak_ceiling)
        options.update(loudness=loudness, peak_ceiling=peak_ceiling)
    if bitrate is not None:
        options["bitrate"] = bitrate
    sources = [os.fspath(f) for f in files]
    tasks = [Task(source, output, specs)
             for source, output in plan_outputs(sources, out_dir, base_dir)]
    return run_tasks(tasks, out_dir, inputs=sources, base_dir=base_dir, executor=executor,
                     jobs=jobs, block_size=block_size, workers=workers, subtype=subtype,
                     force=force, tail=tail, options=options, on_result=on_result,
                     on_progress=on_progress, stop=stop)
