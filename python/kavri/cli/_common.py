"""What the commands share: option groups, turning options into settings, progress bars and
the run of a folder command.

Each command turns its arguments into a chain and :class:`kavri.RenderSettings` and makes one
library call; the library checks the values, and its error becomes the command's one line.
"""

from __future__ import annotations

import argparse
import math
import os
import stat
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .._engine import DEFAULT_BLOCK_SIZE, MAX_SAMPLE_RATE, usable_cores
from .._paths import relative_glob, shown
from .._stop import StopFlag, stop_on_signals
from ..catalogue import EFFECTS, counted, quoted
from ..chain import Chain, load_chain_file, load_preset, parse_effect_option, plain_number
from ..errors import KavriError
from ..io import (
    DITHER_MODES,
    ENCODINGS,
    FORMATS,
    MP3_BITRATES,
    STREAM_FORMATS,
    SUBTYPES,
    RawFormat,
)
from ..runs.batch import check_jobs, expand_braces, find_inputs
from ..runs.tasks import (
    BatchInterrupted,
    BatchReport,
    FileResult,
    check_folder,
    check_output_folder,
)
from ..settings import RenderSettings, SettingError

EXIT_FAILED = 1


def chain_from_args(args: argparse.Namespace) -> Chain:
    """The chain of --chain FILE or --preset NAME, followed by every --effect in order, then
    the steps of --channels, --rate, --peak and --peak-ceiling (see :func:`step_specs`);
    empty only when a loudness target is given."""
    chain: Chain = []
    extra = step_specs(args)
    if args.chain is not None:
        chain = load_chain_file(args.chain)
    elif args.preset is not None:
        preset = args.preset
        if preset.endswith(".json") or os.sep in preset or os.path.isfile(preset):
            raise KavriError(
                f"--preset '{shown(preset)}': presets are names (see 'kavri presets'); "
                f"for a chain file, give --chain {shown(preset)}"
            )
        chain = load_preset(preset)
    elif not args.effect and not extra and getattr(args, "loudness", None) is None:
        # A loudness target alone is a chain of its own: the gain (and limiter) it adds.
        # The steps are named only where the command has them (plot has none).
        ways = ["--chain FILE", "--preset NAME", "--effect TYPE"]
        ways += [f"--{name}" for name in ("rate", "channels", "peak") if hasattr(args, name)]
        raise KavriError(f"no chain: give {', '.join(ways[:-1])} or {ways[-1]}")
    return chain + [parse_effect_option(text) for text in args.effect or []] + extra


# Suffixes that mark a file as headerless PCM.
RAW_SUFFIXES = tuple(suffix for suffix, (container, _) in FORMATS.items() if container == "RAW")


def add_raw_input_arguments(p: argparse.ArgumentParser, name: str, encoded: str) -> None:
    """The options that describe headerless PCM input (and, for ``encoded`` "input and
    output", output): its format, rate, channels and sample encoding."""
    raw = p.add_argument_group(
        "raw PCM", "headerless little-endian samples, read and written as a stream"
    )
    raw.add_argument(
        "--input-format",
        choices=["raw"],
        help=f"{name} is raw PCM (implied by a .raw or .pcm suffix); give --input-rate and "
        "--input-channels",
    )
    raw.add_argument(
        "--input-rate", type=whole_number, metavar="HZ", help="sample rate of raw input"
    )
    raw.add_argument(
        "--input-channels", type=whole_number, metavar="N", help="channel count of raw input"
    )
    raw.add_argument(
        "--encoding",
        choices=list(ENCODINGS),
        help=f"sample encoding of raw {encoded}: {', '.join(ENCODINGS)} (default f32le)",
    )


def is_raw_input(name: str, args: argparse.Namespace) -> bool:
    """Whether an input is headerless PCM: --input-format raw, or a .raw or .pcm suffix."""
    return args.input_format == "raw" or name.lower().endswith(RAW_SUFFIXES)


def raw_input(name: str, args: argparse.Namespace) -> RawFormat | None:
    """The raw PCM format of an input, when it is raw (see :func:`is_raw_input`); the raw
    options are refused for an input that states its own format."""
    if not is_raw_input(name, args):
        if args.input_rate is not None or args.input_channels is not None:
            raise KavriError(
                "--input-rate and --input-channels describe raw input; add --input-format raw "
                "(the other formats state their own)"
            )
        return None
    if args.input_rate is None or args.input_channels is None:
        raise KavriError(f"{shown(name)}: raw input needs --input-rate HZ and --input-channels N")
    return RawFormat(args.input_rate, args.input_channels, args.encoding or "f32le")


def _bounds(effect: str, key: str) -> tuple[float, float]:
    param = EFFECTS[effect].param(key)
    if param.minimum is None or param.maximum is None:
        raise AssertionError(f"{effect}.{key} has no bounds")
    return float(param.minimum), float(param.maximum)


# The options that add steps take the bounds of the steps' own keys.
PEAK_RANGE = _bounds("normalize", "peak_db")
MAX_CHANNELS = int(_bounds("channels", "count")[1])


def step_specs(args: argparse.Namespace) -> Chain:
    """The steps the options add after the chain, in this order: --channels N (1 mixes
    down, N from mono copies it, N from N leaves it; any other count is refused for that
    file), --rate HZ (resample), --peak DB (normalize the sample peak to DB), and
    --peak-ceiling DB without --loudness (the true peak lowered to DB where it is above it,
    never raised; with --loudness, the ceiling is the limiter's). --peak with --loudness is
    refused: both would set the level."""
    specs: Chain = []
    channels = getattr(args, "channels", None)
    if channels is not None:
        if not 1 <= channels <= MAX_CHANNELS:
            raise KavriError(f"--channels must be between 1 and {MAX_CHANNELS}, got {channels}")
        specs.append({"type": "channels", "count": channels})
    rate = getattr(args, "rate", None)
    if rate is not None:
        if not 1 <= rate <= MAX_SAMPLE_RATE:
            raise KavriError(f"--rate must be between 1 and {MAX_SAMPLE_RATE} Hz, got {rate}")
        specs.append({"type": "resample", "rate_hz": rate})
    loudness = getattr(args, "loudness", None)
    for option, value, extra in (
        ("--peak", getattr(args, "peak", None), {}),
        (
            "--peak-ceiling",
            None if loudness is not None else getattr(args, "peak_ceiling", None),
            {"mode": "true", "when": "above"},
        ),
    ):
        if value is None:
            continue
        if option == "--peak" and loudness is not None:
            raise KavriError(
                "--peak and --loudness both set the level: give one (with --loudness, "
                "--peak-ceiling keeps the true peak down)"
            )
        if not PEAK_RANGE[0] <= value <= PEAK_RANGE[1]:
            raise KavriError(
                f"{option} must be between {PEAK_RANGE[0]:g} and {PEAK_RANGE[1]:g} dB, "
                f"got {value:g}"
            )
        specs.append({"type": "normalize", "peak_db": value, **extra})
    return specs


def add_step_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--rate",
        type=whole_number,
        metavar="HZ",
        help="resample the output to this rate (soxr, very high quality), after the chain",
    )
    parser.add_argument(
        "--channels",
        type=whole_number,
        metavar="N",
        help="output channels, after the chain: 1 mixes down with equal gain, N from mono "
        "copies it, a file with N channels is left as it is; any other count fails that file",
    )
    parser.add_argument(
        "--peak",
        type=number,
        metavar="DB",
        help="normalize: one gain bringing the sample peak to DB dBFS, after the chain "
        "(not with --loudness)",
    )


def add_chain_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--chain", metavar="FILE", help="JSON chain file")
    group.add_argument("--preset", metavar="NAME", help="a shipped preset (see 'kavri presets')")
    parser.add_argument(
        "--effect",
        metavar="TYPE[:key=value,...]",
        action="append",
        help="an effect; repeat for a chain, e.g. --effect gain:db=-3; after "
        "--chain or --preset, the effects run after that chain",
    )


def number(text: str) -> float:
    """An option's finite number."""
    try:
        if not plain_number(text):
            raise ValueError(text)
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {quoted(text)}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {quoted(text)}")
    return value


def whole_number(text: str) -> int:
    """An option's whole number, in ASCII digits (int() also took 1_0 and other scripts'
    digits)."""
    try:
        if not plain_number(text, integer=True):
            raise ValueError(text)
        return int(text)
    except ValueError:  # past the 4,300 digits int() takes, argparse printed them all
        raise argparse.ArgumentTypeError(f"expected a whole number, got {quoted(text)}") from None


def add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--loudness",
        type=number,
        metavar="LUFS",
        help="bring the integrated loudness (ITU-R BS.1770-4) to this target "
        "with one gain after the chain, e.g. -16 for podcasts",
    )
    parser.add_argument(
        "--peak-ceiling",
        type=number,
        metavar="DB",
        help="true-peak ceiling in dBTP: with --loudness, kept by the limiter where the "
        "gain would pass it (default -1); without it, by one gain lowering a true peak "
        "above DB to DB (never raising it)",
    )
    parser.add_argument(
        "--dither",
        choices=DITHER_MODES,
        default="tpdf",
        help="dither for 16-bit (and 8-bit) output, default tpdf (reproducible)",
    )
    parser.add_argument(
        "--bitrate",
        type=whole_number,
        metavar="KBPS",
        help="constant MP3 bit rate, one of "
        f"{', '.join(map(str, MP3_BITRATES))} (default: variable)",
    )
    parser.add_argument(
        "--tag",
        action="append",
        metavar="KEY=VALUE",
        help="a tag to write, e.g. --tag title='Take 3'; repeat for more (keys such as "
        "title, artist, album, date, genre, comment, tracknumber)",
    )
    parser.add_argument(
        "--no-tags",
        action="store_true",
        help="do not carry the input's tags (title, artist, ...) to the output",
    )


def add_engine_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--block-size",
        type=whole_number,
        default=DEFAULT_BLOCK_SIZE,
        metavar="N",
        help=f"frames per block (changes only the dynamic EQ), default {DEFAULT_BLOCK_SIZE}",
    )
    parser.add_argument(
        "--workers",
        type=whole_number,
        default=1,
        metavar="N",
        help="threads per file for channel-parallel effects, default 1",
    )
    parser.add_argument(
        "--subtype",
        metavar="SUBTYPE",
        help=f"output sample format: {', '.join(SUBTYPES)} "
        "(default: float for WAV, pcm24 for FLAC, vorbis for OGG; in batch, "
        "'same': each input's own where its output holds it)",
    )


def add_stream_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--tail",
        type=number,
        default=0.0,
        metavar="SECONDS",
        help="run the chain on over this much silence after the input, so "
        "echoes and releases ring out (output longer by SECONDS x rate "
        "frames, rounded to the nearest frame), default 0",
    )
    parser.add_argument(
        "--quiet",
        action="store_true",
        help="hide the progress bar, the report line of each output and its warnings "
        "(clipped samples, a missed loudness target); errors, and warnings about "
        "values the engine clamps, are still shown",
    )


def add_render_options(parser: argparse.ArgumentParser) -> None:
    """The options that become a command's :class:`kavri.RenderSettings`, and the steps
    that conform the output (--rate, --channels, --peak)."""
    add_engine_options(parser)
    add_stream_options(parser)
    add_output_options(parser)
    add_step_options(parser)


def add_folder_options(parser: argparse.ArgumentParser, renamed: str) -> None:
    """The options of a run over a folder; ``renamed`` is what an output named by --format
    flac is called for take.wav."""
    parser.add_argument(
        "--jobs",
        type=whole_number,
        default=usable_cores(),
        metavar="N",
        help="files processed at once, default: the number of cores",
    )
    parser.add_argument(
        "--pattern",
        action="append",
        metavar="GLOB",
        help="file name pattern relative to IN_DIR, such as '*.wav', 'takes/*.flac' or "
        "'*.{wav,flac,m4a}', without regard to case; repeat for more; default '*.wav'. "
        "Files a wildcard "
        "matches that are not audio (by suffix) are skipped with a line each",
    )
    parser.add_argument(
        "--force", action="store_true", help="redo outputs that are already complete"
    )
    parser.add_argument(
        "--format",
        choices=list(STREAM_FORMATS),
        metavar="FORMAT",
        help="write every output in this format, its name given the format's suffix "
        f"(take.wav as {renamed}; needed for inputs no output is written "
        f"as, such as M4A): {', '.join(STREAM_FORMATS)}; default: each input's own format",
    )


def settings_from_args(args: argparse.Namespace) -> RenderSettings:
    """The render settings the options give, checked by the library; a bad value becomes
    one line naming the option."""
    try:
        return RenderSettings(
            block_size=args.block_size,
            workers=args.workers,
            subtype=args.subtype,
            tail=args.tail,
            loudness=getattr(args, "loudness", None),
            peak_ceiling=(None if getattr(args, "loudness", None) is None else args.peak_ceiling),
            dither=getattr(args, "dither", "tpdf"),
            bitrate=getattr(args, "bitrate", None),
            file_format=getattr(args, "format", None),
            tags=tags_from_args(getattr(args, "tag", None)),
            keep_tags=not getattr(args, "no_tags", False),
        )
    except SettingError as error:
        raise KavriError(option_message(error.setting, str(error))) from None


def tags_from_args(given: list[str] | None) -> list[tuple[str, str]]:
    """The (name, value) pairs of --tag KEY=VALUE options."""
    pairs = []
    for text in given or []:
        name, equals, value = text.partition("=")
        if not equals or not name:
            raise KavriError(f"--tag '{shown(text)}': give KEY=VALUE, such as title=Take 3")
        pairs.append((name, value))
    return pairs


def option_message(setting: str, message: str) -> str:
    """A library message about a setting, told in terms of its option (--block-size)."""
    option = {"file_format": "--format", "tags": "--tag", "keep_tags": "--no-tags"}.get(
        setting, f"--{setting.replace('_', '-')}"
    )
    for name in (setting, setting.replace("_", " ")):
        if message.startswith(name):
            return f"{option}{message[len(name) :]}"
    return f"{option}: {message}"


def progress_bar(**options: Any) -> Any:
    """A tqdm bar on stderr. tqdm reads settings from TQDM_* variables as it loads and as a
    bar is made; one it cannot take ("TQDM_MININTERVAL=5s") raised from deep inside it, a
    traceback part way into the run."""
    try:
        from tqdm import tqdm

        return tqdm(file=sys.stderr, **options)
    except Exception as error:  # noqa: BLE001 - whatever tqdm's parsing of them raises
        names = ", ".join(sorted(name for name in os.environ if name.startswith("TQDM_")))
        raise KavriError(
            f"the progress bar cannot be shown: {names or 'tqdm'}: {error}; "
            "correct or unset it, or give --quiet"
        ) from None


class FileProgress:
    """The progress callback of one file as a bar on stderr: shown only when stderr is a
    terminal, and only once the work has taken more than a moment."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self.quiet:
            return
        if self.bar is None:
            self.bar = progress_bar(
                total=total,
                unit="frame",
                unit_scale=True,
                desc="kavri",
                disable=None,
                delay=0.5,
                dynamic_ncols=True,
                leave=False,
            )
        bar = self.bar
        bar.total = total
        bar.update(done - bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def check_pattern(pattern: str) -> None:
    if not relative_glob(pattern):
        raise KavriError(
            f"--pattern {quoted(pattern)}: give a file name pattern relative "
            f"to IN_DIR, such as '*.wav' or 'takes/*.flac'"
        )


def folder_inputs(args: argparse.Namespace) -> tuple[Path, Path, list[Path], int]:
    """The input folder, the output folder and the matching files of a folder command,
    checked before any file is read, and how many folders below could not be listed. Each
    file a wildcard matched that is not audio gets a line on stderr (unless --quiet) and is
    left out; so does each folder that cannot be listed, and the run is then a failure."""
    patterns: list[str] = args.pattern or ["*.wav"]
    for pattern in patterns:
        try:
            expanded = expand_braces(pattern)
        except ValueError as error:
            raise KavriError(f"--pattern: {error}") from None
        for one in expanded:
            check_pattern(one)
    try:
        check_jobs(args.jobs)
    except ValueError as error:
        raise KavriError(option_message("jobs", str(error))) from None
    in_dir = Path(check_folder(args.input_dir, "input folder"))
    out_dir = Path(check_output_folder(args.output_dir))
    try:
        if not stat.S_ISDIR(os.stat(in_dir).st_mode):
            raise KavriError(f"{shown(in_dir)}: is not a folder")
    except FileNotFoundError:
        raise KavriError(f"{shown(in_dir)}: no such folder") from None
    except OSError as error:  # a folder on the way that cannot be searched, say
        raise KavriError(f"{shown(in_dir)}: cannot read the folder: {error.strerror}") from None
    if out_dir.exists() and not out_dir.is_dir():
        raise KavriError(f"{shown(out_dir)}: is not a folder")
    if out_dir.resolve() == in_dir.resolve():
        raise KavriError(f"{shown(out_dir)}: is the input folder; choose another output folder")
    found = find_inputs(in_dir, patterns, exclude=out_dir)
    for folder, reason in found.unreadable:
        print(
            f"kavri: error: {shown(folder)}: cannot read the folder ({reason}); "
            "its files are left out",
            file=sys.stderr,
        )
    for path in () if args.quiet else found.skipped:
        # A name without a suffix was told that a pattern naming '*' followed by an empty
        # quote takes it, which none does.
        taken = (
            f"a pattern naming {quoted('*' + path.suffix)} takes it"
            if path.suffix
            else "it has no suffix to tell its format"
        )
        print(f"kavri: skipped {shown(path)}: not an audio file ({taken})", file=sys.stderr)
    if not found.files:
        named = "', '".join(shown(p) for p in patterns)
        also = f" ({len(found.skipped)} not audio)" if found.skipped else ""
        raise KavriError(f"{shown(in_dir)}: no files match '{named}'{also}")
    return in_dir, out_dir, found.files, len(found.unreadable)


# What a folder command runs: given the per-file and progress callbacks and the stop flag,
# it returns the run's report.
FolderRun = Callable[
    [Callable[[FileResult], None], Callable[[int, int], None] | None, StopFlag], BatchReport
]


def unread_note(unread: int) -> str:
    """The end of a folder command's last line for the folders it could not list (each
    named above it): the run failed for them though no file did."""
    return f", {counted(unread, 'folder')} not read" if unread else ""


def run_folder(
    args: argparse.Namespace, outputs: int, run: FolderRun, interrupted: str = ""
) -> BatchReport | int:
    """Runs a folder command under the signal handlers with a progress bar of frames on
    stderr (unless --quiet), one line per failed file and per warning. Returns the report,
    or the exit status of a run stopped by a signal."""
    with (
        stop_on_signals() as stop,
        progress_bar(
            total=0,
            unit="frame",
            unit_scale=True,
            desc="kavri",
            dynamic_ncols=True,
            disable=True if args.quiet else None,
        ) as bar,
    ):
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
            kept = (error.report.done or error.report.skipped) and error.recorded
            print(f"kavri: {error}{interrupted if kept else ''}", file=sys.stderr)
            return stop.exit_status()
