"""The task loop shared by folder runs: one task per output, on a thread pool or any
``concurrent.futures.Executor``.

Each output is streamed by one task, :func:`run_task`, a plain module-level function of
picklable arguments, so that the same task runs on a thread of this process or on a Dask
worker (``distributed.Client(...).get_executor()``). The native calls release the
interpreter lock, so threads scale across cores. :func:`run_tasks` is the loop over such
tasks, each with its own chain: :func:`kavri.batch` gives every file the same chain, and
:func:`kavri.augment_files` gives every variant of every file the chain drawn for it.

The loop is four parts: the guard decides what may be written (:mod:`.guard`), the record
what is already done (:mod:`.record`), the pool runs what is left and reports progress
(:class:`_Pool`), and the stop flags end it between chunks.
"""

from __future__ import annotations

import hashlib
import json
import os
import queue
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor, wait
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass, field, replace
from typing import Any, Literal

from .._audio import check_callables
from .._engine import usable_cores
from .._paths import (
    AnyPath,
    fs_name,
    make_folders,
    remove_empty_folders,
    shown,
    unwritable_folder,
)
from .._providers import listed_for_run
from .._stop import AnyStop, StopRequest
from ..catalogue import NEEDED_KEYS
from ..chain import Chain
from ..errors import AudioFileError, ChainError, Interrupted, KavriError, KavriWarning, failure_text
from ..files import render_file
from ..io import KEEP_SUBTYPE, is_complete_audio_file, open_input, output_format
from ..io.folders import audio_files
from ..io.formats import check_bitrate_format
from ..rendering import ProgressCallback
from ..report import output_report
from ..settings import RenderSettings, tail_frames
from .guard import OutputGuard
from .record import (
    Record,
    exclusive_run,
    file_identity,
    portable_name,
    same_stat,
    written_identity,
)

__all__ = [
    "FileResult",
    "BatchReport",
    "BatchInterrupted",
    "Task",
    "run_task",
    "run_tasks",
    "base_folder",
    "check_folder",
    "check_output_folder",
    "check_run_arguments",
    "output_folder_made",
    "stopped_before_start",
]

Status = Literal["done", "skipped", "failed"]


@dataclass(frozen=True)
class FileResult:
    """The outcome of one file: "done", "skipped" (output already complete) or "failed".

    ``record`` is what the batch record keeps for a finished output: the identity of the
    input it was made from, the settings digest and the output's size, time stamps and
    identity. ``warnings`` name what went wrong in a finished output: samples clipped by
    its format, NaN or infinite samples, a loudness target that was missed, an input that
    ended early.
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
    """All outcomes of a run, in the order the files were given."""

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
    """A run stopped on request. ``report`` holds the files that finished before the stop
    (processed, skipped or failed); files in flight were abandoned and left unwritten."""

    def __init__(self, message: str, report: BatchReport, abandoned: int) -> None:
        super().__init__(message)
        self.report = report
        self.abandoned = abandoned
        # False when the record of what finished could not be written (augment's manifest).
        self.recorded = True

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled whole, as a pool's worker sends it back.
        return type(self), (str(self), self.report, self.abandoned), self.__dict__


@dataclass(frozen=True)
class Task:
    """One output of a run: stream ``source`` through ``chain`` (checked specs) into
    ``output``. Each task carries its own chain, so one run may use a different chain for
    every output, as augmentation does."""

    source: str
    output: str
    chain: Chain
    # Why the task cannot run, found before the run (a file its chain draws from that
    # cannot be read): it is reported failed with this message and the others go on.
    problem: str = ""
    # How its failures name it, where the source alone is not enough (an augment variant).
    label: str = ""


def check_output_settings(outputs: Sequence[str], settings: RenderSettings) -> None:
    """Refuses up front a sample format or bit rate that no output of a run can take (FLAC
    asked for in 32-bit integers, a bit rate for outputs that are not MP3): every file would
    fail alike, each after the output folder was made. Outputs of several formats are
    refused only where none takes the settings; the others' files still fail on their own."""
    subtype = None if settings.subtype == KEEP_SUBTYPE else settings.subtype
    first: AudioFileError | None = None
    for output in {os.path.splitext(o)[1].lower(): o for o in outputs}.values():
        try:
            output_format(output, None, settings.file_format)
        except AudioFileError:
            continue  # a name nothing writes fails its file alone, saying so
        try:
            # Without a sample format asked for, the container's default stands for the
            # one kept: only MP3 output, which holds MP3 alone, takes a bit rate.
            _, chosen = output_format(output, subtype, settings.file_format)
            check_bitrate_format(shown(output), chosen, settings.bitrate)
        except AudioFileError as error:
            first = first or error
            continue
        return
    if first is not None:
        raise first


def check_folder(path: AnyPath, what: str) -> str:
    """A folder argument as a ``str``; an empty one is refused (an unset variable in a
    script), where it had been taken as the current folder and written into."""
    name = fs_name(path)
    if not name:
        raise KavriError(f"{what}: an empty path; give '.' for the current folder")
    return name


def check_run_arguments(
    executor: Executor | None,
    on_result: Callable[[FileResult], None] | None,
    on_progress: ProgressCallback | None,
) -> None:
    """What a run is given to call, checked before any work: an executor without
    ``submit`` (a string, a count), or a callback that cannot be called, had failed deep in
    the run once files were done."""
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(
            f"executor must be a concurrent.futures.Executor (something with submit()), "
            f"got {executor!r}"
        )
    check_callables(on_result=on_result, on_progress=on_progress)


def check_output_folder(path: AnyPath) -> str:
    """An output folder argument (see :func:`check_folder`) that can be written into or
    made: the nearest folder on the way that exists must be one this process may write
    into and search. Refused before any input is read (an output folder that could not be
    searched had been named by way of its record, "…/.kavri-batch.json: cannot read")."""
    name = check_folder(path, "output folder")
    wanted = os.path.abspath(name)
    nearest = wanted
    while not os.path.exists(nearest):
        nearest = os.path.dirname(nearest)
    if nearest == wanted and not os.path.isdir(nearest):
        raise KavriError(f"{shown(name)}: is not a folder")
    if not os.path.isdir(nearest):
        raise KavriError(
            f"{shown(name)}: cannot create the folder: {shown(nearest)} is not a folder"
        )
    why = unwritable_folder(nearest)
    if why is not None:
        if nearest == wanted:
            raise KavriError(f"{shown(name)}: cannot write into the folder: it is {why}")
        raise KavriError(f"{shown(name)}: cannot create the folder: {shown(nearest)} is {why}")
    return name


@contextmanager
def output_folder_made(path: AnyPath) -> Iterator[list[str]]:
    """Makes a run's output folder, and takes the folders it made away again, where still
    empty, when the run raises: a run that failed before its first output (no thread could
    be started, a stop while the inputs were counted) had left a new, empty tree behind.
    Yields the list of those folders, to which the run adds those it makes for its outputs
    (and which it empties where tasks it left on another process's workers may still write
    into them)."""
    try:
        made = make_folders(path)
    except OSError as error:
        raise KavriError(
            f"{shown(path)}: cannot create folder: {error.strerror or error}"
        ) from None
    try:
        yield made
    except BaseException:
        remove_empty_folders(made)
        raise


def _named_place(spec: dict[str, Any]) -> tuple[str, str] | None:
    """The key of a spec that names a file or a folder it reads, with the name; None for a
    spec that reads none (or takes an array)."""
    needed = NEEDED_KEYS.get(spec.get("type", ""))
    path = spec.get(needed[0]) if needed is not None else None
    if needed is None or not isinstance(path, str | os.PathLike) or not fs_name(path):
        return None  # an empty name is refused as the chain is built, and names nothing
    return needed[0], fs_name(path)


def read_places(chain: Chain) -> tuple[list[str], list[str]]:
    """The files a chain reads besides its input, named outright, and the folders it draws
    one from (as the chain names them)."""
    files: list[str] = []
    folders: list[str] = []
    for spec in chain:
        if (named := _named_place(spec)) is not None:
            (folders if os.path.isdir(named[1]) else files).append(named[1])
    return files, folders


def placed(task: Task) -> Task:
    """The task with its input, its output and the files its chain reads named from the
    root, as this process finds them: a worker of another process (a Dask worker started
    elsewhere) has a working folder of its own, and relative names had been read and
    written there, beside a record kept here."""
    chain = []
    for spec in task.chain:
        if (named := _named_place(spec)) is not None:
            spec = {**spec, named[0]: os.path.abspath(named[1])}
        chain.append(spec)
    return replace(
        task, source=os.path.abspath(task.source), output=os.path.abspath(task.output), chain=chain
    )


def read_files(chain: Chain) -> list[list[Any]]:
    """The files a chain reads besides its input (a noise, an impulse response, or every
    file of the folder one is drawn from), each with its size and time stamps (None for
    one that cannot be looked at): an output made with them is current only while they
    are. The change time is among them: a file rewritten keeps its size and can keep its
    modification time (cp -p, rsync -a, an archive's files), but no one can set that."""
    stamps: list[list[Any]] = []
    for spec in chain:
        if (named := _named_place(spec)) is None:
            continue
        name = named[1]
        files = [name]
        if os.path.isdir(name):
            try:
                files = audio_files(name, str(spec.get("pattern", "*")), spec["type"])
            except ChainError:
                files = []
        for file in files:
            try:
                stat = os.stat(file)
                stamps.append([file, stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns])
            except OSError:
                stamps.append([file, None, None, None])
    return stamps


def task_digest(chain: Chain, settings: RenderSettings) -> str:
    """The settings digest of an output (see :meth:`RenderSettings.digest`), with the size
    and time stamps of each file its chain reads: a noise or response rewritten since an
    output was made has it redone (a rerun had skipped it, with the old sound)."""
    digest = settings.digest(chain)
    stamps = read_files(chain)
    if not stamps:
        return digest
    text = json.dumps([digest, stamps], ensure_ascii=True)
    return hashlib.sha256(text.encode()).hexdigest()


def _is_raw(output: str) -> bool:
    """Headerless PCM, which no reader can tell complete: written atomically, and with the
    size and time stamp its record holds, it is the output written (it was never skipped)."""
    try:
        return output_format(output)[0] == "RAW"
    except KavriError:
        return False


def _current(
    previous: dict[str, Any] | None, source: str, output: str, digest: str, stop: StopRequest | None
) -> tuple[bool, dict[str, Any] | None]:
    """Whether the output that ``previous`` (its record entry) describes is still current:
    made from these very input bytes with these settings, and unchanged since. Returns the
    input's identity when it had to be hashed to tell. The input's path is not asked: the
    same bytes at another path (a project folder moved or renamed, or reached through a
    link) made every output again."""
    if (
        previous is None
        or previous.get("settings") != digest
        or not same_stat(previous, source)
        or not same_stat(previous, output, "output_")
        or not (_is_raw(output) or is_complete_audio_file(output))
    ):
        return False, None
    identity = file_identity(source, stop)
    return (identity["sha256"] == previous.get("sha256") and same_stat(identity, source), identity)


def run_task(
    task: Task,
    settings: RenderSettings,
    digest: str = "",
    previous: dict[str, Any] | None = None,
    stop: StopRequest | None = None,
    progress: ProgressCallback | None = None,
    refused: str = "",
) -> FileResult:
    """Processes one output of a run: streams the task's source through its chain, or skips
    it when ``previous`` (its entry in the batch record) shows that the output was made
    from this very input with these settings (``digest``) and is still as it was written.
    ``refused`` is why the output may not be written, for an output that may still be
    skipped: the task fails with it when it would have to write.

    Errors of the file itself (unreadable, engine failure, unwritable output) come back as
    a "failed" result with a one-line message instead of an exception, so that one bad
    file never stops a run. A stop request raises :class:`kavri.Interrupted`.
    """
    source, output = task.source, task.output
    start = time.perf_counter()
    try:
        current, identity = _current(previous, source, output, digest, stop)
        if current and previous is not None:
            return FileResult(source, output, "skipped", record=previous)
        if refused:
            return FileResult(source, output, "failed", refused)
        if identity is None or not same_stat(identity, source):
            identity = file_identity(source, stop)
        summary = render_file(
            source, output, task.chain, settings, stop=stop, progress=progress, one_of_many=True
        )
        written = written_identity(output)
    except (
        KavriError,
        KavriWarning,  # raised where the caller's filter makes warnings errors
        RuntimeError,
        MemoryError,
        ValueError,
        TypeError,
        OSError,
    ) as error:
        # Named by its file: a response or noise file that cannot be read gave every file
        # of a batch the same line, naming none of them. A warning made an error had been
        # taken for a task that died on its worker.
        text = str(error) if isinstance(error, KavriError) else failure_text(error)
        for name in (source, shown(source), output, shown(output)):
            if text.startswith(f"{name}: "):
                if task.label and name in (source, shown(source)):
                    text = task.label + text[len(name) :]  # the label says which output
                return FileResult(source, output, "failed", text)
        return FileResult(source, output, "failed", f"{task.label or shown(source)}: {text}")
    entry = {
        "source": portable_name(os.path.abspath(source)),
        **identity,
        "settings": digest,
        **written,
    }
    # Notes of the file itself (tags it cannot hold) already name it.
    warnings = tuple(
        w if w.startswith((f"{output}: ", f"{shown(output)}: ")) else f"{shown(output)}: {w}"
        for w in output_report(summary)[1]
    )
    return FileResult(
        source,
        output,
        "done",
        frames=summary.input_frames,
        seconds=time.perf_counter() - start,
        record=entry,
        warnings=warnings,
    )


def base_folder(paths: Sequence[str], base_dir: AnyPath | None) -> str:
    """The folder the inputs were found in: ``base_dir``, else their common folder."""
    if base_dir is not None:
        return os.path.abspath(fs_name(base_dir))
    return os.path.commonpath([os.path.dirname(os.path.abspath(p)) for p in paths])


def _frames_to_do(source: str, tail: float) -> int:
    """Frames a task will stream (its input and tail), for the progress total; 0 when the
    input cannot be opened (its task will fail and say why)."""
    try:
        with open_input(source) as reader:
            return max(int(reader.frames), 0) + tail_frames(tail, int(reader.samplerate))
    except (KavriError, RuntimeError, OSError, ValueError):
        return 0


def stopped_before_start(count: int) -> BatchInterrupted:
    """The interrupt of a run stopped before its first output began, ``count`` outputs."""
    return BatchInterrupted(
        f"interrupted: 0 processed, 0 skipped, 0 failed; 0 in flight abandoned, "
        f"{count} not started",
        BatchReport([]),
        0,
    )


def _renamed(result: FileResult, task: Task, sent: Task) -> FileResult:
    """A result of ``sent`` (``placed(task)``) named as the run named ``task``, messages
    included."""
    names = [(shown(sent.source), shown(task.source)), (shown(sent.output), shown(task.output))]

    def named(text: str) -> str:
        for absolute, relative in names:
            text = text.replace(absolute, relative)
        return text

    return replace(
        result,
        source=task.source,
        output=task.output,
        error=named(result.error),
        warnings=tuple(named(warning) for warning in result.warnings),
    )


class _NotStarted(Exception):
    """A task whose turn came after the stop: it was never begun."""


def _run_unless_stopped(
    task: Task,
    settings: RenderSettings,
    digest: str,
    previous: dict[str, Any] | None,
    stop: StopRequest | None,
    progress: ProgressCallback | None = None,
    refused: str = "",
    seen: dict[Any, Any] | None = None,
) -> FileResult:
    """:func:`run_task`, unless the stop came while the task waited for a worker: a pool's
    worker takes the next queued task as soon as one returns, before the queue is
    cancelled, and such a task counted as abandoned in flight. ``seen`` holds the folder
    listings of the run's chains (see :func:`listed_for_run`), shared by its tasks."""
    if stop is not None and stop.is_set():
        raise _NotStarted
    with nullcontext() if seen is None else listed_for_run(seen):
        return run_task(task, settings, digest, previous, stop, progress, refused)


# Progress and the record's save are looked at this often while tasks run.
_TICK = 0.1


class _CallerStop:
    """The caller's stop request as the run asks it: what its ``is_set()`` raises is kept,
    and taken for a stop, so that the run ends and raises it on the calling thread (raised
    on a worker thread, it had failed every file, each with its words)."""

    def __init__(self, stop: StopRequest) -> None:
        self.stop = stop
        self.error: BaseException | None = None

    def is_set(self) -> bool:
        if self.error is not None:
            return True
        try:
            return bool(self.stop.is_set())
        except BaseException as error:
            self.error = error
            return True


class _Pool:
    """Runs task futures on an executor (by default a pool of ``jobs`` threads), collects
    their outcomes, reports progress about ten times a second and stops between chunks when
    either stop flag is set."""

    def __init__(
        self, executor: Executor | None, jobs: int | None, stop: StopRequest | None
    ) -> None:
        self._internal = threading.Event()
        self._caller = None if stop is None else _CallerStop(stop)
        self.halt = AnyStop(self._internal, self._caller)
        self._own = executor is None
        self.executor = (
            executor
            if executor is not None
            else ThreadPoolExecutor(
                max_workers=max(1, jobs or usable_cores()), thread_name_prefix="kavri"
            )
        )
        # Threads of this process see the flag; other processes' workers cannot.
        self.task_stop = self.halt if isinstance(self.executor, ThreadPoolExecutor) else None
        # Whether a future the pool cancels is known not to run: a concurrent.futures
        # future refuses to be cancelled once running, but a Dask cluster's executor cancels
        # any (and the task may still finish on its worker).
        self.knows_running = not type(self.executor).__module__.startswith("distributed.")
        self._closing = False
        self._sent: dict[int, Task] = {}  # tasks as sent to other processes, by index
        self._pending: dict[Future[FileResult], int] = {}
        # Futures as they finish, put by their own callbacks: a wait() over every pending
        # future, once a file, cost time in the count of files still to run, and a batch
        # of 3,200 small files spent most of its time waiting.
        self._finished: queue.SimpleQueue[Future[FileResult]] = queue.SimpleQueue()
        self._ticked = time.monotonic()
        self.abandoned = 0

    def submit(self, index: int, task: Task, *args: Any, **kwargs: Any) -> None:
        if self.task_stop is None:
            task = self._sent[index] = placed(task)
        future = self.executor.submit(_run_unless_stopped, task, *args, **kwargs)
        if not callable(getattr(future, "add_done_callback", None)):
            raise TypeError(f"executor.submit() must return a Future, got {future!r}")
        self._pending[future] = index
        future.add_done_callback(self._finished.put)

    def _collect(
        self,
        future: Future[FileResult],
        tasks: Sequence[Task],
        report: Callable[[int, FileResult], None],
    ) -> None:
        index = self._pending.pop(future, None)
        if index is None:  # collected already
            return
        task = tasks[index]
        if future.cancelled():
            if not self._closing:
                # Cancelled by the executor, not by this run: a Dask cluster that went away
                # cancels every task it held, and the run had ended as if they were done.
                report(
                    index,
                    FileResult(
                        task.source,
                        task.output,
                        "failed",
                        f"{shown(task.source)}: the executor cancelled the task for "
                        f"{shown(task.output)} before it finished (its workers or cluster "
                        "went away?); a rerun makes it",
                    ),
                )
            return
        try:
            result: object = future.result()
        except _NotStarted:
            return  # as if cancelled: it was not in flight
        except Interrupted:
            self.abandoned += 1
            return
        except Exception as error:  # a task that died on a remote worker, say
            # Its first line: a cluster's explanation runs on over sentences and task keys.
            text = str(error).strip().splitlines()[0] if str(error).strip() else ""
            result = FileResult(
                task.source,
                task.output,
                "failed",
                f"{shown(task.source)}: the task for {shown(task.output)} failed on its "
                f"worker: {type(error).__name__}: {text}",
            )
        else:
            if not isinstance(result, FileResult):
                # An executor that gives back something else: that file fails, not the run.
                result = FileResult(
                    task.source,
                    task.output,
                    "failed",
                    f"{shown(task.source)}: the executor gave back {type(result).__name__}, "
                    f"not the outcome of the task for {shown(task.output)}",
                )
            elif self.task_stop is None:
                # Named as the run named them, not from the root as the worker was given.
                result = _renamed(result, task, self._sent.pop(index))
        report(index, result)

    def collect(
        self,
        tasks: Sequence[Task],
        report: Callable[[int, FileResult], None],
        tick: Callable[[], None],
    ) -> None:
        """Reports the outcomes that have come in, without waiting, and calls ``tick`` if
        it is due."""
        while True:
            try:
                future = self._finished.get_nowait()
            except queue.Empty:
                break
            self._collect(future, tasks, report)
        self._tick_if_due(tick)

    def _tick_if_due(self, tick: Callable[[], None]) -> None:
        if time.monotonic() - self._ticked >= _TICK:
            tick()
            self._ticked = time.monotonic()

    def run(
        self,
        tasks: Sequence[Task],
        report: Callable[[int, FileResult], None],
        tick: Callable[[], None],
    ) -> None:
        """Waits for every submitted task, reporting each outcome as it comes and calling
        ``tick`` about ten times a second; on a stop, abandons what is in flight."""
        while self._pending and not self.halt.is_set():
            try:
                future = self._finished.get(timeout=_TICK)
            except queue.Empty:
                pass
            else:
                self._collect(future, tasks, report)
            self._tick_if_due(tick)
        tick()

    def close(
        self, tasks: Sequence[Task], report: Callable[[int, FileResult], None], failed: bool
    ) -> None:
        """Ends the pool: cancels what has not started; running tasks on this process's
        threads see the flag at their next chunk and return quickly."""
        if failed:
            self._internal.set()
        self._closing = True
        not_done = set(self._pending)
        first: BaseException | None = None
        try:
            for future in not_done:
                future.cancel()
            # Those of this process's threads are waited for; another executor's that have
            # finished are taken as they are (a stop had counted them abandoned, their
            # outputs on the disk and not recorded, and the rerun made them again).
            finished = (
                wait(not_done)[0]
                if self.task_stop is not None
                else {f for f in not_done if f.done() and not f.cancelled()}
            )
            for future in finished:
                # Every outcome is reported (and its output recorded) even when a caller's
                # on_result raises for one, a KeyboardInterrupt included: the first error is
                # raised after.
                try:
                    self._collect(future, tasks, report)
                except BaseException as error:
                    first = first or error
            left = not_done - finished
            if self.task_stop is None and self.knows_running:
                self.abandoned += sum(1 for f in left if not f.cancelled())
            elif self.task_stop is None:
                # Any of them may be running on a worker, and may still write its output.
                self.abandoned += len(left)
        finally:
            if self._own:
                self.executor.shutdown(wait=True, cancel_futures=True)
        if first is None and self._caller is not None:
            first = self._caller.error
        if first is not None and not failed:
            raise first


def run_tasks(
    tasks: Sequence[Task],
    out_dir: AnyPath,
    settings: RenderSettings,
    *,
    inputs: Sequence[str] | None = None,
    base_dir: AnyPath | None = None,
    executor: Executor | None = None,
    jobs: int | None = None,
    force: bool = False,
    on_result: Callable[[FileResult], None] | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopRequest | None = None,
    folder_held: bool = False,
    made: list[str] | None = None,
) -> BatchReport:
    """Runs file tasks whose outputs lie under ``out_dir`` and returns their outcomes in
    the order given. :func:`kavri.batch` and :func:`kavri.augment_files` are both this loop.
    The loop holds the folder for its run (see :func:`exclusive_run`), unless the caller
    does (``folder_held``); it adds the folders it makes to ``made`` (see
    :func:`output_folder_made`).

    ``inputs`` are all the files of the run (by default the tasks' sources) and
    ``base_dir`` the folder they were found in (by default their common folder): no output
    may be one of them, nor a file within that folder's tree that this tool did not write
    (see :mod:`kavri.runs.guard`). Every task's outcome, record, progress and stop handling
    is as :func:`kavri.batch` describes; the settings digest of each output covers its own
    chain and ``settings``.
    """
    check_folder(out_dir, "output folder")
    with nullcontext() if folder_held else exclusive_run(out_dir):
        sources = list(inputs) if inputs is not None else [t.source for t in tasks]
        record = Record(out_dir)
        # No output is written in the place of a file a chain reads, nor into a folder one
        # draws from (its outputs joined the draws as the run went on).
        read: dict[str, None] = {}
        drawn: dict[str, None] = {}
        chains: set[int] = set()
        for task in tasks:
            if id(task.chain) not in chains:
                chains.add(id(task.chain))
                files, folders = read_places(task.chain)
                read.update(dict.fromkeys(files))
                drawn.update(dict.fromkeys(folders))
        base = base_folder(sources, base_dir) if sources else "/"
        guard = OutputGuard(sources, base, record, list(read), list(drawn))
        digests: dict[int, str] = {}
        outcomes: dict[int, FileResult] = {}
        sizes: list[int] = []
        if on_progress is not None:
            known: dict[str, int] = {}
            for task in tasks:
                # Opening thousands of inputs for the total takes seconds: a stop ends it.
                if stop is not None and stop.is_set():
                    raise stopped_before_start(len(tasks))
                if task.source not in known:
                    known[task.source] = _frames_to_do(task.source, settings.tail)
                sizes.append(known[task.source])
        # The frames of the files in flight, and of those finished: a tick adds up only the
        # first (it had added up every file, ten times a second).
        done_frames: dict[int, int] = {}
        finished_frames = 0
        total_frames = sum(sizes)

        def report(index: int, result: FileResult) -> None:
            nonlocal finished_frames
            outcomes[index] = result
            if sizes:
                done_frames.pop(index, None)
                finished_frames += sizes[index]
            if result.status == "done" and result.record is not None:
                record.put(result.output, result.record)
            if on_result is not None:
                on_result(result)

        def tick() -> None:
            if on_progress is not None:
                on_progress(finished_frames + sum(done_frames.values()), total_frames)
            record.save(when_due=True)

        def file_progress(index: int) -> Callable[[int, int], None]:
            def update(done: int, total: int) -> None:
                # A file's passes (a loudness target takes several) count as its size, so the
                # run's total stays what it was. One key per file: safe from any thread.
                size = sizes[index]
                done_frames[index] = min(size, done * size // total) if total else size

            return update

        def digest(task: Task) -> str:
            # Tasks often share one chain object (a batch); its digest is worked out once.
            key = id(task.chain)
            if key not in digests:
                digests[key] = task_digest(task.chain, settings)
            return digests[key]

        pool = _Pool(executor, jobs, stop)
        failed = False
        made = [] if made is None else made
        # The folders the chains draw from are listed once for the run by the tasks on this
        # process's threads (each file had listed them again: a folder of 10,000 noise
        # files that holds a link, 38 ms a clip). Tasks sent to other processes list them
        # for themselves.
        seen: dict[Any, Any] | None = {} if pool.task_stop is not None else None
        try:
            for index, task in enumerate(tasks):
                if pool.halt.is_set():
                    break
                problem = _refusal(task, guard, settings, made)
                previous = None if force else record.get(task.output)
                refused = ""
                if problem and previous is not None and record.written_by_us(task.output):
                    # An output the record shows unchanged since it was written (its size and
                    # time stamp), whose change time the guard no longer knows (a chmod, a hard
                    # link, a snapshot): it may still be skipped, and is refused only if it
                    # would have to be written again.
                    refused = problem
                elif problem is not None:
                    report(index, FileResult(task.source, task.output, "failed", problem))
                    continue
                track = pool.task_stop is not None and bool(sizes)
                pool.submit(
                    index,
                    task,
                    settings,
                    digest(task),
                    previous,
                    pool.task_stop,
                    progress=file_progress(index) if track else None,
                    refused=refused,
                    seen=seen,
                )
                # Outcomes are taken as they come while the rest are sent: a run of 20,000
                # files killed in its first 9 s had journaled none of the 412 it had made.
                pool.collect(tasks, report, tick)
            pool.run(tasks, report, tick)
        except BaseException:
            failed = True
            raise
        finally:
            try:
                pool.close(tasks, report, failed)
            finally:
                record.save()
                if pool.task_stop is None and pool.abandoned:
                    # Tasks left on another process's workers may still write their outputs.
                    made.clear()
        partial = BatchReport([outcomes[i] for i in range(len(tasks)) if i in outcomes])
        if pool.halt.is_set() and len(outcomes) < len(tasks):
            abandoned = (
                f"{pool.abandoned} in flight abandoned"
                if pool.knows_running
                else f"{pool.abandoned} abandoned on the executor's workers (in flight or "
                "waiting: a Dask cluster does not say which)"
            )
            raise BatchInterrupted(
                f"interrupted: {len(partial.done)} processed, {len(partial.skipped)} skipped, "
                f"{len(partial.failed)} failed; {abandoned}, "
                f"{len(tasks) - len(outcomes) - pool.abandoned} not started",
                partial,
                pool.abandoned,
            )
        record.tell_unsaved()
        return partial


def _refusal(
    task: Task, guard: OutputGuard, settings: RenderSettings, made: list[str]
) -> str | None:
    """Why a task cannot start (its output may not be written, its format is unknown, its
    folder cannot be made, its chain could not be drawn), or None; the folder is made
    here, and the folders made are added to ``made``."""
    if task.problem:
        return task.problem
    refused = guard.refusal(task.source, task.output)
    if refused is not None:
        return f"{task.source}: {refused}"
    try:
        output_format(task.output, settings.subtype)
    except KavriError as error:
        return str(error)
    folder = os.path.dirname(os.path.abspath(task.output))
    try:
        made += make_folders(folder)
    except OSError as error:
        return f"{task.source}: cannot create folder {folder}: {error.strerror or error}"
    return None
