"""Augmentation over files: ``variants`` copies of every file, each through the chain drawn
for it from a random chain, with a manifest of what was drawn.

Every output's chain comes from the seed and :func:`variant_index` of the file's path
relative to the corpus root and the variant, so it depends on nothing else. The files run
through the same task loop as a batch (:mod:`kavri.runs.tasks`), and ``OUT_DIR/augment.jsonl``
records one line per output with the concrete chain that ``kavri process`` replays.

A manifest line that is not a record (damaged, cut short, holding NaN) is set aside in
``augment.jsonl.damaged`` with a :class:`kavri.KavriWarning`; the manifest is rebuilt from
the rest and from this run, so a damaged line never stops a run or loses the entries of the
outputs written.
"""

from __future__ import annotations

import hashlib
import json
import numbers
import os
import warnings
from collections.abc import Callable, Iterable
from concurrent.futures import Executor
from pathlib import Path
from typing import Any, Unpack

from .._engine import check_memory
from .._paths import AnyPath, fs_name, shown
from .._providers import listed_once
from .._stop import StopRequest, stopping
from ..errors import KavriError, KavriWarning
from ..io import atomic_output, check_format_name, output_target
from ..random_chain import RandomChain, RandomChainLike, key_word
from ..rendering import ProgressCallback
from ..settings import RenderOptions, RenderSettings
from .batch import check_collisions, check_jobs, input_names, plan_outputs
from .record import (
    DAMAGED_SUFFIX,
    MANIFEST_NAME,
    check_record,
    exclusive_run,
    local_name,
    manifest_lines,
    portable_name,
    read_manifest,
)
from .tasks import (
    BatchInterrupted,
    BatchReport,
    FileResult,
    Task,
    check_output_folder,
    check_output_settings,
    check_run_arguments,
    output_folder_made,
    run_tasks,
    stopped_before_start,
)

__all__ = [
    "augment_files",
    "variant_index",
    "variant_output",
    "read_manifest",
    "MANIFEST_NAME",
]


def variant_index(relative_path: str, variant: int) -> int:
    """The draw index of one variant of one file: a stable 64-bit hash of the file's POSIX
    path relative to the input folder and the variant number. It depends on nothing else,
    so adding or removing files changes no other file's augmentation."""
    # Hashed as the bytes the file system holds, whatever the locale decoded them as (a
    # name that is not UTF-8 included): the same file draws the same chain in any locale.
    text = os.fsencode(relative_path) + f"\n{variant}".encode("ascii")
    digest = hashlib.blake2b(text, digest_size=8, person=b"kavri-augment").digest()
    return int.from_bytes(digest, "little")


def variant_output(relative_path: str, variant: int) -> str:
    """The output name of a variant: ``take.wav`` becomes ``take.v0.wav``."""
    path = Path(relative_path)
    return path.with_name(f"{path.stem}.v{variant}{path.suffix}").as_posix()


def _set_aside(manifest: Path, damaged: list[str], kept: list[dict[str, Any]]) -> None:
    """Appends damaged manifest lines to the side file, rewrites the manifest with the lines
    ``kept``, and then warns: where warnings are errors, the run had stopped with the
    manifest as it was, and each run after appended the same lines again."""
    aside = manifest.with_name(manifest.name + DAMAGED_SUFFIX)
    try:
        with open(aside, "a", encoding="utf-8", errors="surrogateescape") as handle:
            handle.writelines(line + "\n" for line in damaged)
        where = f"moved to {shown(aside)}"
    except OSError as error:
        where = f"dropped ({shown(aside)}: {error.strerror or error})"
    _write_manifest(manifest, kept)
    warnings.warn(
        f"{shown(manifest)}: {len(damaged)} damaged line"
        f"{'s' if len(damaged) != 1 else ''} {where}; the manifest is rebuilt",
        KavriWarning,
        stacklevel=3,
    )


def _noted_settings(settings: RenderSettings) -> dict[str, Any]:
    """The settings a manifest line records beside the chain: those that change an
    output's bits and differ from the defaults."""
    defaults = RenderSettings()
    noted: dict[str, Any] = {}
    for name in ("block_size", "tail", "subtype", "loudness", "dither", "bitrate"):
        value = getattr(settings, name)
        if value != getattr(defaults, name):
            noted[name] = value
    target = settings.target
    if target is not None:
        noted["peak_ceiling"] = target.peak_ceiling_db
    return noted


def _write_manifest(path: Path, records: Iterable[dict[str, Any]]) -> None:
    lines = [
        json.dumps(r, allow_nan=False) + "\n" for r in sorted(records, key=lambda r: r["output"])
    ]
    try:
        with atomic_output(str(path)) as temporary:
            with open(temporary, "w", encoding="utf-8") as handle:
                handle.writelines(lines)
    except OSError as error:
        raise KavriError(f"{shown(path)}: cannot write: {error.strerror or error}") from None


def _check_plan(chain: RandomChain, seed: int, outputs: int) -> None:
    """Asks the memory guard whether every output's drawn chain and record fit, since all
    are drawn before the first file is written: judged by one drawn chain's size in JSON,
    a Python object taking a few times its text, and a kilobyte for the rest of the record
    and the task."""
    if outputs <= 0:
        return
    try:
        text = len(json.dumps(chain.sample(seed, 0)))
    except KavriError:
        # The draw read a file that cannot be read (the outputs that draw it fail on their
        # own): the description stands in for the chain.
        text = len(json.dumps(chain.description))
    try:
        check_memory(
            outputs * (1024 + 4 * text), f"augment: drawing the chains of {outputs:,} outputs"
        )
    except MemoryError as error:
        raise KavriError(str(error)) from None


def _source_name(source: str, output: str, target: Path, base_dir: AnyPath) -> str:
    """A record's "source": the input's path relative to ``base_dir`` where that names it,
    else its absolute path. A file outside the folder had its name alone, which named
    another file there (or none), so that a replay took other audio."""
    relative = Path(output).relative_to(target).as_posix()
    try:
        if os.path.samefile(os.path.join(fs_name(base_dir), relative), source):
            return relative
    except (OSError, ValueError):
        pass
    return os.path.abspath(source)


def augment_files(
    files: Iterable[AnyPath],
    random_chain: RandomChainLike,
    out_dir: AnyPath,
    settings: RenderSettings | None = None,
    *,
    variants: int,
    seed: int,
    base_dir: AnyPath,
    executor: Executor | None = None,
    jobs: int | None = None,
    force: bool = False,
    on_result: Callable[[FileResult], None] | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopRequest | None = None,
    **options: Unpack[RenderOptions],
) -> BatchReport:
    """Writes ``variants`` augmented copies of every file under ``out_dir``.

    Outputs mirror the inputs' tree below ``base_dir``, the root of the corpus, with the
    variant in the name (``take.v0.wav``, ``take.v1.wav``); a file outside it keeps only
    its name (and its records name it by its absolute path). Each output's chain is drawn
    with ``seed`` and :func:`variant_index` of the file's path relative to ``base_dir``
    and the variant, so its samples depend on nothing else: not on the other files, the
    executor or the number of jobs. (``base_dir`` has no default for that reason: the
    common folder of the files would move as files come and go.)

    The files run as a :func:`kavri.batch` does, one task per output with its own chain,
    rendered with ``settings`` (a :class:`kavri.RenderSettings`, or the same names as
    keywords: tail, loudness and peak ceiling, dither, bit rate and sample format act on
    every output as they do in a batch): on ``executor`` (a local pool of
    ``jobs`` threads by default, or any ``concurrent.futures.Executor`` such as a Dask
    cluster's), with the same refusal to write over an input, the same ``on_result``,
    ``on_progress`` and ``stop`` (:class:`kavri.BatchInterrupted`), and the same record
    of finished outputs: a rerun skips an output made from the same input bytes with the
    same drawn chain and settings and the drawn noise and response files as they were, and
    unchanged since, unless ``force``. A new seed draws
    new chains, so its outputs are redone.

    ``out_dir/augment.jsonl`` gets one record per output written or kept: "source" and
    "output" (relative to the input and output folders), "seed", "variant", "index",
    "chain", the concrete chain that ``kavri process`` replays, and the settings that
    differ from the defaults ("tail", "loudness", ...). It is rewritten atomically, sorted
    by output, also after a failure or an interrupt.
    The report lists the outputs in the order of the files, variants in turn.
    """
    if isinstance(files, (str, bytes, os.PathLike)):
        # A path is iterable too (a string by its characters): refused, not run as such.
        raise TypeError(f"files must be a list of paths, got the path {shown(files)!r}")
    chain = RandomChain(random_chain)
    seed = key_word("seed", seed)
    count: object = variants  # checked as whatever the caller passed
    if isinstance(count, bool) or not isinstance(count, numbers.Integral) or int(count) < 1:
        raise ValueError(f"variants must be a whole number of at least 1, got {count!r}")
    chosen = RenderSettings.of(settings, options)
    jobs = check_jobs(jobs)
    check_run_arguments(executor, on_result, on_progress)
    noted = _noted_settings(chosen)
    target = Path(check_output_folder(out_dir))
    manifest = target / MANIFEST_NAME
    sources = input_names(files)
    suffix = None if chosen.file_format is None else check_format_name(chosen.file_format)
    # The folders the chains draw from are listed once for all the outputs (and the draws
    # all see the same listing). A stop reaches the draws too: a drawn noise file FFmpeg
    # decodes is counted by decoding it, seconds for an hour of AAC.
    with listed_once(), stopping(stop):
        _check_plan(chain, seed, len(sources) * int(variants))
        tasks: list[Task] = []
        records: dict[str, dict[str, Any]] = {}
        planned = plan_outputs(sources, target, base_dir)
        source_names = {
            source: _source_name(source, output, target, base_dir) for source, output in planned
        }
        for source, output in planned:
            relative = Path(output).relative_to(target).as_posix()
            if not Path(relative).name:
                # The input is the corpus folder itself: no output can be named after it.
                problem = f"{shown(source)}: is the input folder itself, not a file in it"
                tasks.append(Task(source, str(target / "."), [], problem=problem))
                continue
            for variant in range(int(variants)):
                if stop is not None and stop.is_set():
                    raise stopped_before_start(len(sources) * int(variants))
                index = variant_index(relative, variant)
                # In the format asked for (take.m4a as take.v0.wav; none is written as M4A),
                # drawn as without it: the index is the input's.
                renamed = relative if suffix is None else Path(relative).with_suffix(suffix)
                name = variant_output(str(renamed), variant)
                path = str(target / name)
                label = f"{shown(source)} (variant {variant})"
                try:
                    concrete = chain.sample(seed, index)
                except KavriError as error:
                    # A file the chain drew (noise, a response) cannot be read: this
                    # output fails, the others go on.
                    tasks.append(Task(source, path, [], problem=f"{label}: {error}"))
                    continue
                record: dict[str, Any] = {
                    # Names as the bytes the file system holds, read as UTF-8: the same
                    # lines in any locale (a run in another one doubled every line).
                    "source": portable_name(source_names[source]),
                    "output": portable_name(name),
                    "seed": seed,
                    "variant": variant,
                    "index": index,
                    "chain": concrete,
                    **noted,
                }
                records[path] = record
                tasks.append(Task(source, path, concrete, label=label))
    check_collisions([(task.source, task.output) for task in tasks])
    check_output_settings([task.output for task in tasks], chosen)
    # One run at a time writes into the folder: its manifest is rewritten from what was
    # read here.
    with output_folder_made(target) as made, exclusive_run(target):
        # A record the run cannot read stops it here, before the manifest loses a line; a
        # manifest that cannot be replaced (immutable), before the outputs are made whose
        # lines it would lack (each was made, then the run ended on it, with no summary).
        check_record(target)
        output_target(manifest)
        previous, damaged = manifest_lines(manifest)
        if damaged:
            _set_aside(manifest, damaged, previous)
        kept = {r["output"]: r for r in previous}

        def note(result: FileResult) -> None:
            if result.status in ("done", "skipped"):
                record = records[result.output]
                kept[record["output"]] = record
            if on_result is not None:
                on_result(result)

        def save() -> None:
            present = [r for r in kept.values() if (target / local_name(r["output"])).is_file()]
            if present or manifest.exists():
                _write_manifest(manifest, present)

        # The lines of outputs this run redraws go before any output is written over: a run
        # killed part-way left them beside files of other bits, and a replay of them gave
        # other bytes. The manifest then lacks a line until the output is made again.
        redrawn = [r["output"] for r in records.values() if kept.get(r["output"], r) != r]
        if redrawn:
            for name in redrawn:
                del kept[name]
            save()
        try:
            report = run_tasks(
                tasks,
                target,
                chosen,
                inputs=sources,
                base_dir=base_dir,
                executor=executor,
                jobs=jobs,
                force=force,
                on_result=note,
                on_progress=on_progress,
                stop=stop,
                folder_held=True,
                made=made,
            )
        except BaseException as error:
            # What finished before a stop or an error is on disk; its chains are kept too. A
            # manifest that cannot be written must not hide why the run ended.
            if isinstance(error, BatchInterrupted) and error.abandoned:
                # Tasks left running on other processes' workers finish after this save:
                # an earlier run's line for such an output would then describe a file of
                # other bits. Those lines go; the next run redoes the outputs and notes them.
                finished = {result.output for result in error.report.results}
                for path, record in records.items():
                    if path not in finished and kept.get(record["output"]) != record:
                        kept.pop(record["output"], None)
            try:
                save()
            except KavriError as failure:
                if isinstance(error, BatchInterrupted):
                    error.recorded = False
                    error.args = (
                        f"{error}; {failure}: the finished outputs' chains are not in it",
                    )
            raise
        save()
        return report
