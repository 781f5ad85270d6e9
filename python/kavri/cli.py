"""The ``kavri`` command line: process, batch, augment, effects, presets, demo and plot.

Every failure the user can cause (an unknown preset or type, malformed JSON, a missing or
unreadable file, a parameter that is not a number) ends with one line on stderr naming
what is at fault and a non-zero exit status, and writes nothing.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from . import __version__
from ._atomic import atomic_output
from ._paths import escape_odd_bytes, shown
from .api import check_engine_options, process
from .audiofile import (
    DITHER_MODES,
    MP3_BITRATES,
    STREAM_FORMATS,
    SUBTYPES,
    check_subtype_name,
    output_format,
    write,
)
from .batch import BatchInterrupted, BatchReport, FileResult, batch, find_files
from .catalogue import EFFECTS, FAMILIES, effect_types, get_effect, markdown_reference
from .chain import (
    Chain,
    chain_summary,
    list_presets,
    load_chain_file,
    load_preset,
    parse_effect_option,
)
from .errors import Interrupted, KavriError
from .loudness import LoudnessTarget, measure_file
from .report import meter_json, meter_text, output_report
from .streamfile import StopFlag, check_tail, process_file, stop_on_signals

DEMO_SAMPLE_RATE = 48_000
DEMO_SECONDS = 4.0
DEMO_FOLDER = "kavri-demo"
README_START = "<!-- effect-reference:start -->"
README_END = "<!-- effect-reference:end -->"
NOT_BUILT = "is not available in this build yet"

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a command its pipe ended


def _error(message: str) -> None:
    print(f"kavri: error: {message}", file=sys.stderr)


def demo_signal(sample_rate: int = DEMO_SAMPLE_RATE, seconds: float = DEMO_SECONDS) -> np.ndarray:
    """A stereo test signal: two chords of tones, a little noise and a few clicks."""
    rng = np.random.default_rng(7)
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    left = 0.35 * np.sin(2 * np.pi * 220.0 * t) + 0.2 * np.sin(2 * np.pi * 330.0 * t)
    right = 0.3 * np.sin(2 * np.pi * 277.2 * t) + 0.25 * np.sin(2 * np.pi * 440.0 * t)
    audio = np.stack([left, right], axis=1) + 0.02 * rng.standard_normal((t.size, 2))
    audio[:: sample_rate // 2] += 0.6
    return audio.astype(np.float32)


def _level_db(value: float) -> str:
    return f"{20 * np.log10(value):7.2f}" if value > 0 else "   -inf"


def _describe(audio: np.ndarray) -> list[tuple[str, str]]:
    peaks = np.max(np.abs(audio), axis=0)
    rms = np.sqrt(np.mean(np.square(audio, dtype=np.float64), axis=0))
    return [(_level_db(p), _level_db(r)) for p, r in zip(peaks, rms, strict=True)]


def _print_levels(before: np.ndarray, after: np.ndarray, out: TextIO) -> None:
    print(f"{'channel':>8} {'peak in':>9} {'rms in':>9} {'peak out':>9} {'rms out':>9}  (dBFS)",
          file=out)
    for ch, (b, a) in enumerate(zip(_describe(before), _describe(after), strict=True)):
        print(f"{ch:>8} {b[0]:>9} {b[1]:>9} {a[0]:>9} {a[1]:>9}", file=out)


def run_demo(out: TextIO = sys.stdout, folder: str = DEMO_FOLDER,
             presets: list[str] | None = None) -> int:
    """Runs presets over a generated signal, writes the input and every result as WAV files
    into ``folder`` and prints peak and RMS per channel before and after, with the time
    taken and the real-time factor. Presets whose effects this build lacks are skipped."""
    names = presets or list(list_presets())
    chains = {name: load_preset(name) for name in names}
    audio = demo_signal()
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "input.wav")
    write(source, audio, DEMO_SAMPLE_RATE)
    seconds = audio.shape[0] / DEMO_SAMPLE_RATE
    print(f"kavri {__version__} demo: {audio.shape[0]} frames x {audio.shape[1]} channels "
          f"at {DEMO_SAMPLE_RATE} Hz; input written to {source}", file=out)
    ran = 0
    for name, chain in chains.items():
        print(file=out)
        try:
            start = time.perf_counter()
            processed = process(audio, DEMO_SAMPLE_RATE, chain)
            elapsed = time.perf_counter() - start
        except RuntimeError as error:
            if NOT_BUILT not in str(error):
                raise
            print(f"preset {name}: skipped ({error})", file=out)
            continue
        target = os.path.join(folder, f"{name}.wav")
        write(target, processed, DEMO_SAMPLE_RATE)
        ran += 1
        print(f"preset {name}: {chain_summary(chain)}", file=out)
        print(f"written to {target}", file=out)
        _print_levels(audio, processed, out)
        realtime = seconds / elapsed if elapsed > 0 else float("inf")
        print(f"time: {elapsed * 1000:.2f} ms, real-time factor: {realtime:.0f}x", file=out)
    return 0 if ran else EXIT_FAILED


def _chain_from_args(args: argparse.Namespace) -> Chain:
    """The chain of --chain FILE or --preset NAME, followed by every --effect in order;
    empty only when a loudness target is given."""
    chain: Chain = []
    if args.chain is not None:
        chain = load_chain_file(args.chain)
    elif args.preset is not None:
        chain = load_preset(args.preset)
    elif not args.effect and getattr(args, "loudness", None) is None:
        # A loudness target alone is a chain of its own: the gain (and limiter) it adds.
        raise KavriError("no chain: give --chain FILE, --preset NAME or --effect TYPE")
    return chain + [parse_effect_option(text) for text in args.effect or []]


def _add_chain_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--chain", metavar="FILE", help="JSON chain file")
    group.add_argument("--preset", metavar="NAME", help="a shipped preset (see 'kavri presets')")
    parser.add_argument("--effect", metavar="TYPE[:key=value,...]", action="append",
                        help="an effect; repeat for a chain, e.g. --effect gain:db=-3; after "
                             "--chain or --preset, the effects run after that chain")


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--loudness", type=_number, metavar="LUFS",
                        help="bring the integrated loudness (ITU-R BS.1770-4) to this target "
                             "with one gain after the chain, e.g. -16 for podcasts")
    parser.add_argument("--peak-ceiling", type=_number, default=-1.0, metavar="DB",
                        help="with --loudness: true-peak ceiling in dBTP, kept by the "
                             "limiter where the gain would pass it, default -1")
    parser.add_argument("--dither", choices=DITHER_MODES, default="tpdf",
                        help="dither for 16-bit output, default tpdf (reproducible)")
    parser.add_argument("--bitrate", type=int, metavar="KBPS",
                        help="constant MP3 bit rate, one of "
                             f"{', '.join(map(str, MP3_BITRATES))} (default: variable)")


def _add_engine_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--block-size", type=int, default=2048, metavar="N",
                        help="frames per block (changes only the dynamic EQ), default 2048")
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="threads per file for channel-parallel effects, default 1")
    parser.add_argument("--subtype", metavar="SUBTYPE",
                        help=f"output sample format: {', '.join(SUBTYPES)} "
                             "(default: float for WAV, pcm24 for FLAC, vorbis for OGG)")


def _add_stream_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tail", type=_tail_seconds, default=0.0, metavar="SECONDS",
                        help="run the chain on over this much silence after the input, so "
                             "echoes and releases ring out (output longer by SECONDS x rate "
                             "frames, rounded to the nearest frame), default 0")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _same_file(a: str, b: str) -> bool:
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output_folder(path: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise KavriError(f"{path}: cannot write: folder {folder} does not exist")


def _tail_seconds(text: str) -> float:
    try:
        return check_tail(float(text))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class _FileProgress:
    """The progress callback of one file as a bar on stderr: shown only when stderr is a
    terminal, and only once the work has taken more than a moment."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self.quiet:
            return
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="frame", unit_scale=True, desc="kavri",
                            disable=None, delay=0.5, file=sys.stderr, dynamic_ncols=True,
                            leave=False)
        bar = self.bar
        bar.total = total
        bar.update(done - bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _loudness_target(args: argparse.Namespace) -> LoudnessTarget | None:
    if args.loudness is None:
        return None
    try:
        return LoudnessTarget(args.loudness, args.peak_ceiling)
    except (TypeError, ValueError) as error:
        raise KavriError(str(error)) from None


def cmd_process(args: argparse.Namespace) -> int:
    """``kavri process IN OUT``: stream IN through the chain into OUT, atomically; "-" is
    standard input or output. A report line goes to stderr."""
    chain = _chain_from_args(args)
    output_format(args.output, args.subtype, args.format)
    _loudness_target(args)
    if args.output != "-":
        _check_output_folder(args.output)
    if (args.input != "-" and args.output != "-" and _same_file(args.input, args.output)
            and not args.overwrite):
        raise KavriError(f"{args.output}: is the input file; pass --overwrite to replace it")
    progress = _FileProgress(args.quiet)
    with stop_on_signals() as stop:
        try:
            summary = process_file(args.input, args.output, chain, block_size=args.block_size,
                                   workers=args.workers, subtype=args.subtype, tail=args.tail,
                                   progress=progress, stop=stop, loudness=args.loudness,
                                   peak_ceiling=args.peak_ceiling, dither=args.dither,
                                   bitrate=args.bitrate, file_format=args.format,
                                   measure=not args.quiet)
        except Interrupted:
            print(f"kavri: interrupted; {args.output} not written", file=sys.stderr)
            return stop.exit_status()
        finally:
            progress.close()
    if not args.quiet:
        line, warnings = output_report(summary)
        print(f"kavri: {line}", file=sys.stderr)
        for warning in warnings:
            print(f"kavri: warning: {warning}", file=sys.stderr)
    if args.output != "-":
        tail = f" + {summary.output_frames - summary.input_frames} tail" if args.tail else ""
        print(f"{args.input} -> {args.output}: {summary.input_frames}{tail} frames x "
              f"{summary.channels} channels at {summary.sample_rate} Hz, {chain_summary(chain)} "
              f"({summary.seconds * 1000:.1f} ms)")
    return 0


def cmd_meter(args: argparse.Namespace) -> int:
    """``kavri meter FILE...``: loudness, peaks and faults of each file, as text or JSON."""
    if args.files.count("-") > 1:
        raise KavriError("standard input (-) can be metered once")
    readings = [(name, measure_file(name)) for name in args.files]
    if args.json:
        print(meter_json(readings))
    else:
        print("\n\n".join(meter_text(name, measured) for name, measured in readings))
    return 0


def _folder_inputs(args: argparse.Namespace) -> tuple[Path, Path, list[Path]]:
    """The input folder, the output folder and the matching files of a folder command,
    checked before any file is read."""
    in_dir, out_dir = Path(args.input_dir), Path(args.output_dir)
    if not in_dir.is_dir():
        raise KavriError(f"{shown(in_dir)}: no such folder")
    if out_dir.exists() and not out_dir.is_dir():
        raise KavriError(f"{shown(out_dir)}: is not a folder")
    if out_dir.resolve() == in_dir.resolve():
        raise KavriError(f"{shown(out_dir)}: is the input folder; choose another output folder")
    if args.subtype is not None:
        check_subtype_name(args.subtype)
    files = find_files(in_dir, args.pattern, exclude=out_dir)
    if not files:
        raise KavriError(f"{shown(in_dir)}: no files match '{shown(args.pattern)}'")
    return in_dir, out_dir, files


# What a folder command runs: given the per-file and progress callbacks and the stop flag,
# it returns the run's report.
FolderRun = Callable[[Callable[[FileResult], None], Callable[[int, int], None] | None, StopFlag],
                     BatchReport]


def _run_folder(args: argparse.Namespace, outputs: int, run: FolderRun,
                interrupted: str = "") -> BatchReport | int:
    """Runs a folder command under the signal handlers with a progress bar of frames on
    stderr (unless --quiet), one line per failed file and per warning. Returns the report,
    or the exit status of a run stopped by a signal."""
    from tqdm import tqdm

    with stop_on_signals() as stop, \
            tqdm(total=0, unit="frame", unit_scale=True, desc="kavri", dynamic_ncols=True,
                 disable=True if args.quiet else None, file=sys.stderr) as bar:
        finished = 0

        def on_result(result: FileResult) -> None:
            nonlocal finished
            finished += 1
            if result.status == "failed":
                bar.write(f"kavri: error: {result.error}", file=sys.stderr)
            for warning in () if args.quiet else result.warnings:
                bar.write(f"kavri: warning: {warning}", file=sys.stderr)
            bar.set_postfix_str(f"{finished}/{outputs} files", refresh=False)

        def on_progress(done: int, total: int) -> None:
            bar.total = total
            bar.update(done - bar.n)

        try:
            return run(on_result, None if bar.disable else on_progress, stop)
        except BatchInterrupted as error:
            bar.close()
            print(f"kavri: {error}{interrupted}", file=sys.stderr)
            return stop.exit_status()


def cmd_batch(args: argparse.Namespace) -> int:
    """``kavri batch IN_DIR OUT_DIR``: every matching file, several at a time."""
    chain = _chain_from_args(args)
    _loudness_target(args)
    in_dir, out_dir, files = _folder_inputs(args)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise KavriError(f"{out_dir}: cannot create folder: {error.strerror or error}") from None
    report = _run_folder(args, len(files), lambda on_result, on_progress, stop: batch(
        files, chain, out_dir, jobs=args.jobs, block_size=args.block_size,
        workers=args.workers, subtype=args.subtype, base_dir=in_dir, force=args.force,
        tail=args.tail, on_result=on_result, on_progress=on_progress, stop=stop,
        loudness=args.loudness, peak_ceiling=args.peak_ceiling, dither=args.dither,
        bitrate=args.bitrate))
    if isinstance(report, int):
        return report
    print(f"{len(report.done)} processed, {len(report.skipped)} skipped (already complete), "
          f"{len(report.failed)} failed")
    return 0 if report.ok else EXIT_FAILED


def cmd_augment(args: argparse.Namespace) -> int:
    """``kavri augment IN_DIR OUT_DIR``: N randomly processed copies of every matching file."""
    from .augment import MANIFEST_NAME, RandomChain, augment_files

    random_chain = RandomChain(args.chain)
    in_dir, out_dir, files = _folder_inputs(args)
    manifest = shown(out_dir / MANIFEST_NAME)
    report = _run_folder(
        args, len(files) * args.variants,
        lambda on_result, on_progress, stop: augment_files(
            files, random_chain, out_dir, variants=args.variants, seed=args.seed,
            base_dir=in_dir, jobs=args.jobs, block_size=args.block_size,
            workers=args.workers, subtype=args.subtype, force=args.force, tail=args.tail,
            on_result=on_result, on_progress=on_progress, stop=stop),
        interrupted=f"; chains of the finished files in {manifest}")
    if isinstance(report, int):
        return report
    print(f"{len(report.done)} written, {len(report.skipped)} skipped (already complete), "
          f"{len(report.failed)} failed; chains in {manifest}")
    return 0 if report.ok else EXIT_FAILED


def _check_options(args: argparse.Namespace) -> None:
    """Checks the options of any subcommand before a file is read or written, so that a
    bad value ends with one line naming the option instead of failing half-way."""
    for option in ("block_size", "workers", "jobs"):
        value = getattr(args, option, None)
        if value is not None and value < 1:
            raise KavriError(f"--{option.replace('_', '-')} must be 1 or more, got {value}")
    if getattr(args, "block_size", None) is not None:
        try:
            check_engine_options(args.block_size, getattr(args, "workers", 1))
        except ValueError:
            raise KavriError(f"--block-size {args.block_size} is too large") from None
    check = _COMMAND_CHECKS.get(args.command)
    if check is not None:
        check(args)


def _check_batch_options(args: argparse.Namespace) -> None:
    pattern = args.pattern
    if not pattern or os.path.isabs(pattern) or ".." in Path(pattern).parts:
        raise KavriError(f"--pattern '{shown(pattern)}': give a file name pattern relative "
                         f"to IN_DIR, such as '*.wav' or 'takes/*.flac'")
    _check_folder_can_be_made(args.output_dir)


def _check_augment_options(args: argparse.Namespace) -> None:
    if args.variants < 1:
        raise KavriError(f"--variants must be at least 1, got {args.variants}")
    if not 0 <= args.seed < 2**64:
        raise KavriError(f"--seed must be within [0, 2**64), got {args.seed}")
    _check_batch_options(args)


def _check_plot_options(args: argparse.Namespace) -> None:
    from .plot import check_plot_rate

    check_plot_rate(args.sample_rate)


def _check_demo_options(args: argparse.Namespace) -> None:
    try:
        os.makedirs(args.out_dir, exist_ok=True)
    except OSError as error:
        raise KavriError(f"--out-dir {shown(args.out_dir)}: cannot create the folder: "
                         f"{error.strerror or error}") from None
    if not os.access(args.out_dir, os.W_OK | os.X_OK):
        raise KavriError(f"--out-dir {shown(args.out_dir)}: folder is not writable")


def _check_effects_options(args: argparse.Namespace) -> None:
    target = args.write
    if target is None:
        return
    if not args.markdown:
        raise KavriError("--write needs --markdown")
    if not os.path.isfile(target):
        raise KavriError(f"--write {shown(target)}: no such file")
    if not os.access(target, os.R_OK | os.W_OK):
        raise KavriError(f"--write {shown(target)}: file is not writable")


# The checks of each subcommand's own options; the counts shared by several are checked
# above for all of them.
_COMMAND_CHECKS: dict[str, Callable[[argparse.Namespace], None]] = {
    "batch": _check_batch_options,
    "augment": _check_augment_options,
    "plot": _check_plot_options,
    "demo": _check_demo_options,
    "effects": _check_effects_options,
}


def _check_folder_can_be_made(path: str) -> None:
    """The nearest existing folder on the way to ``path`` must be a writable folder."""
    nearest = os.path.abspath(path)
    while not os.path.exists(nearest):
        nearest = os.path.dirname(nearest)
    if nearest == os.path.abspath(path) and not os.path.isdir(nearest):
        raise KavriError(f"{shown(path)}: is not a folder")
    if not os.path.isdir(nearest):
        raise KavriError(f"{shown(path)}: cannot create the folder: {shown(nearest)} "
                         f"is not a folder")
    if not os.access(nearest, os.W_OK | os.X_OK):
        raise KavriError(f"{shown(path)}: cannot create the folder: {shown(nearest)} "
                         f"is not writable")


def _replace_section(path: str, text: str) -> None:
    try:
        content = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise KavriError(f"{shown(path)}: not a UTF-8 text file") from None
    except OSError as error:
        raise KavriError(f"{shown(path)}: cannot read: {error.strerror or error}") from None
    try:
        head, rest = content.split(README_START, 1)
        _, tail = rest.split(README_END, 1)
    except ValueError:
        raise KavriError(f"{shown(path)}: has no {README_START} ... {README_END} "
                         f"section") from None
    with atomic_output(path) as temporary:
        Path(temporary).write_text(f"{head}{README_START}\n{text}{README_END}{tail}",
                                   encoding="utf-8")


def cmd_effects(args: argparse.Namespace) -> int:
    """``kavri effects [TYPE]``: the catalogue, as text or Markdown."""
    if args.markdown:
        if args.write:
            _replace_section(args.write, markdown_reference())
            print(f"effect reference written to {args.write}")
        else:
            sys.stdout.write(markdown_reference())
        return 0
    if args.type is None:
        for family, title in FAMILIES.items():
            print(f"{title}:")
            for name in effect_types(family):
                print(f"  {name:<20} {EFFECTS[name].summary}")
        print("\n'kavri effects TYPE' lists a type's parameters.")
        return 0
    try:
        info = get_effect(args.type)
    except KeyError as error:
        raise KavriError(error.args[0]) from None
    print(f"{info.type}: {info.summary}")
    rows = [("key", "default", "unit", "range", "meaning")]
    rows += [(p.key, p.default_text(), p.unit, p.range_text(), p.summary) for p in info.params]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        cells = "  ".join(cell.ljust(w) for cell, w in zip(row[:4], widths, strict=True))
        print(f"  {cells}  {row[4]}")
    return 0


def cmd_presets(args: argparse.Namespace) -> int:
    """``kavri presets [NAME]``: the shipped presets, or one preset's chain as JSON."""
    if args.name is not None:
        print(json.dumps(load_preset(args.name), indent=2))
        return 0
    for name, description in list_presets().items():
        print(f"  {name:<14} {description}")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    """``kavri demo``: the presets over a generated signal, with levels and timing."""
    return run_demo(folder=args.out_dir, presets=args.preset)


def cmd_plot(args: argparse.Namespace) -> int:
    """``kavri plot``: magnitude response and, for dynamics, the static level curve."""
    from .plot import plot_chain

    chain = _chain_from_args(args)
    _check_output_folder(args.out)
    try:
        plot_chain(chain, args.out, sample_rate=args.sample_rate)
    except (RuntimeError, MemoryError) as error:
        raise KavriError(f"{chain_summary(chain)}: {error or type(error).__name__}") from None
    print(f"plot written to {args.out}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``kavri`` command."""
    parser = argparse.ArgumentParser(prog="kavri", description="Kavri audio-effects engine.")
    parser.add_argument("--version", action="version", version=f"kavri {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("process", help="process one audio file")
    p.add_argument("input", metavar="IN", help="input audio file, or - for standard input")
    p.add_argument("output", metavar="OUT",
                   help="output audio file (format from its suffix), or - for standard output")
    _add_chain_options(p)
    _add_engine_options(p)
    p.add_argument("--overwrite", action="store_true",
                   help="allow OUT to be the input file itself")
    _add_stream_options(p)
    _add_output_options(p)
    p.add_argument("--format", choices=list(STREAM_FORMATS), metavar="FORMAT",
                        help="output container when OUT has no suffix, such as '-' "
                             f"(standard output, default wav): {', '.join(STREAM_FORMATS)}")
    p.set_defaults(handler=cmd_process)

    p = commands.add_parser("batch", help="process every matching file under a folder")
    p.add_argument("input_dir", metavar="IN_DIR")
    p.add_argument("output_dir", metavar="OUT_DIR", help="outputs mirror IN_DIR's folder tree")
    _add_chain_options(p)
    _add_engine_options(p)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="files processed at once, default: the number of cores")
    p.add_argument("--pattern", default="*.wav", help="file name pattern, default '*.wav'")
    p.add_argument("--force", action="store_true", help="redo outputs that are already complete")
    _add_stream_options(p)
    _add_output_options(p)
    p.set_defaults(handler=cmd_batch)

    p = commands.add_parser("augment", help="write randomly processed copies of every "
                                            "matching file, for training data")
    p.add_argument("input_dir", metavar="IN_DIR")
    p.add_argument("output_dir", metavar="OUT_DIR",
                   help="outputs mirror IN_DIR's folder tree, e.g. take.v0.wav, take.v1.wav")
    p.add_argument("--chain", required=True, metavar="FILE", help="JSON random chain file")
    p.add_argument("--variants", type=int, required=True, metavar="N",
                   help="augmented copies of each file")
    p.add_argument("--seed", type=int, required=True, metavar="S",
                   help="seed of every draw; the same seed gives the same files")
    _add_engine_options(p)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="files processed at once, default: the number of cores")
    p.add_argument("--pattern", default="*.wav", help="file name pattern, default '*.wav'")
    p.add_argument("--force", action="store_true", help="redo outputs that are already complete")
    _add_stream_options(p)
    p.set_defaults(handler=cmd_augment)

    p = commands.add_parser("meter", help="measure loudness, peaks and faults of audio files")
    p.add_argument("files", metavar="FILE", nargs="+", help="audio files ('-' for standard input)")
    p.add_argument("--json", action="store_true",
                   help="a JSON list with one object of flat keys per file")
    p.set_defaults(handler=cmd_meter)

    p = commands.add_parser("effects", help="list the effect types or one type's parameters")
    p.add_argument("type", nargs="?", metavar="TYPE")
    p.add_argument("--markdown", action="store_true", help="print the Markdown effect reference")
    p.add_argument("--write", metavar="FILE",
                   help="with --markdown: replace the reference section of FILE (the README)")
    p.set_defaults(handler=cmd_effects)

    p = commands.add_parser("presets", help="list the shipped presets or show one")
    p.add_argument("name", nargs="?", metavar="NAME")
    p.set_defaults(handler=cmd_presets)

    p = commands.add_parser("demo", help="run the presets over a test signal, print levels")
    p.add_argument("--out-dir", default=DEMO_FOLDER, metavar="DIR",
                   help=f"folder for the before and after WAV files, default ./{DEMO_FOLDER}")
    p.add_argument("--preset", action="append", metavar="NAME", help="only these presets")
    p.set_defaults(handler=cmd_demo)

    p = commands.add_parser("plot", help="draw a chain's response into an image")
    _add_chain_options(p)
    p.add_argument("--out", required=True, metavar="FILE.png", help="image file (.png, .svg, .pdf)")
    p.add_argument("--sample-rate", type=int, default=48_000, metavar="HZ",
                   help="sample rate of the measurement, default 48000")
    p.set_defaults(handler=cmd_plot)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the ``kavri`` command line and returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # File names need not be UTF-8; their odd bytes are printed escaped, never fatal.
    escape_odd_bytes(sys.stdout)
    escape_odd_bytes(sys.stderr)
    try:
        _check_options(args)
        return int(args.handler(args))
    except KavriError as error:
        _error(str(error))
        return EXIT_FAILED
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (kavri meter ... | head): stop quietly.
        # Standard output is pointed at /dev/null so that the exit's own flush cannot fail
        # again and print a traceback.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE
