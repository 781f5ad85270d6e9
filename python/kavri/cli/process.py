"""``kavri process IN OUT``: stream one file through a chain into another, atomically."""

from __future__ import annotations

import argparse
import os
import stat
import sys
from pathlib import Path

from .._paths import shown
from .._stop import stop_on_signals
from ..catalogue import counted
from ..chain import chain_summary
from ..errors import Interrupted, KavriError
from ..files import render_file
from ..io import ENCODINGS, STREAM_FORMATS, output_format, output_target
from ..report import output_report
from ..runs.tasks import read_places
from ..settings import tail_frames
from ._common import (
    RAW_SUFFIXES,
    FileProgress,
    add_chain_options,
    add_raw_input_arguments,
    add_render_options,
    chain_from_args,
    is_raw_input,
    raw_input,
    settings_from_args,
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", metavar="IN", help="input audio file, or - for standard input")
    p.add_argument(
        "output",
        metavar="OUT",
        help="output audio file (format from its suffix), or - for standard output",
    )
    add_chain_options(p)
    add_render_options(p)
    p.add_argument("--overwrite", action="store_true", help="allow OUT to be the input file itself")
    p.add_argument(
        "--format",
        choices=list(STREAM_FORMATS),
        metavar="FORMAT",
        help="output container when OUT has no suffix, such as '-' "
        f"(standard output, default wav): {', '.join(STREAM_FORMATS)}; raw is headerless "
        "PCM in the --encoding",
    )
    add_raw_input_arguments(p, "IN", "input and output")
    p.set_defaults(handler=run)


def _raw_output_subtype(args: argparse.Namespace) -> str | None:
    """The --subtype of raw output given as --encoding."""
    is_raw = args.format == "raw" or (
        args.format is None and args.output.lower().endswith(RAW_SUFFIXES)
    )
    raw_in = is_raw_input(args.input, args)
    if args.encoding is not None and not is_raw and not raw_in:
        # It was ignored: a WAV to WAV with --encoding s16le stayed float.
        raise KavriError(
            "--encoding describes raw input or output; neither is raw (for the sample "
            "format of other output, give --subtype)"
        )
    if args.encoding is None or not is_raw:
        return args.subtype  # type: ignore[no-any-return]
    subtype = ENCODINGS[args.encoding][0]
    if args.subtype is not None and output_format("out.raw", args.subtype)[1] != subtype:
        raise KavriError(f"--subtype {args.subtype} and --encoding {args.encoding} disagree")
    return subtype


def _check_not_folders(args: argparse.Namespace) -> None:
    for name, what in ((args.input, "IN"), (args.output, "OUT")):
        if name != "-" and os.path.isdir(name):
            raise KavriError(
                f"{shown(name)}: is a folder; 'kavri process' takes one file as {what}, and "
                "'kavri batch IN_DIR OUT_DIR' processes the files of a folder"
            )


def _same_file(source: str, output: str) -> bool:
    """Whether OUT is the input: its file, or standard input's ("- take.flac < take.flac"
    wrote over the take without a word)."""
    if source != "-" and os.path.abspath(source) == os.path.abspath(output):
        return True
    read = _input_status(source)
    try:
        written = os.stat(output)
    except (OSError, ValueError):
        return False
    return read is not None and (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino)


def _input_status(source: str) -> os.stat_result | None:
    """The status of IN's file, standard input's for "-"; None where there is none to
    compare (the read says what is wrong)."""
    try:
        return os.fstat(sys.stdin.fileno()) if source == "-" else os.stat(source)
    except (AttributeError, ValueError, OSError):
        return None


def _check_standard_output(source: str, chain_files: list[str]) -> None:
    """Refuses standard output that is a terminal (it got the audio's bytes), the input
    file itself (``1<>take.wav``: the output, larger than the input it overtook, was
    written over it as it was read, and the take was lost) or one of ``chain_files``, the
    files the chain reads."""
    try:
        written = os.fstat(sys.stdout.fileno())
    except (AttributeError, ValueError, OSError):
        return  # closed, or not a file: the write says so
    if sys.stdout.isatty():
        raise KavriError(
            "standard output is a terminal; redirect it to a file or a pipe, or give OUT"
        )
    if not stat.S_ISREG(written.st_mode):
        return
    # Standard input too: "- - <take.wav 1<>take.wav" wrote over the take as well.
    read = _input_status(source)
    if read is not None and (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino):
        named = "standard input's file" if source == "-" else f"the input file {shown(source)}"
        raise KavriError(f"standard output is {named}; give OUT, with --overwrite to replace it")
    for name in chain_files:
        status = _input_status(name)
        if status is not None and (status.st_dev, status.st_ino) == (
            written.st_dev,
            written.st_ino,
        ):
            raise KavriError(f"standard output is {shown(name)}, a file the chain reads")


def run(args: argparse.Namespace) -> int:
    """Streams IN through the chain into OUT; "-" is standard input or output. A report
    line goes to stderr."""
    _check_not_folders(args)
    raw = raw_input(args.input, args)
    args.subtype = _raw_output_subtype(args)
    settings = settings_from_args(args)
    chain = chain_from_args(args)
    if args.output != "-":
        output_target(args.output)  # a device or a pipe first: no suffix would make it one
    if args.format is None and args.output != "-" and not Path(args.output).suffix:
        # Said here, as the library cannot: it knows no --format.
        raise KavriError(
            f"{shown(args.output)}: the output name has no suffix to tell its format; "
            "give it one (such as .wav or .flac) or give --format"
        )
    output_format(args.output, settings.subtype, settings.file_format)
    if args.output != "-" and not args.overwrite:
        if _same_file(args.input, args.output):
            named = "standard input's file" if args.input == "-" else "the input file"
            raise KavriError(f"{shown(args.output)}: is {named}; pass --overwrite to replace it")
        # "--effect convolution:ir=room.wav ... room.wav" replaced the response, exit 0.
        if any(_same_file(name, args.output) for name in read_places(chain)[0]):
            raise KavriError(
                f"{shown(args.output)}: is a file the chain reads; pass --overwrite to replace it"
            )
    if args.output == "-":
        _check_standard_output(args.input, read_places(chain)[0])
    progress = FileProgress(args.quiet)
    with stop_on_signals() as stop:
        try:
            summary = render_file(
                args.input,
                args.output,
                chain,
                settings,
                progress=progress,
                stop=stop,
                measure=not args.quiet,
                raw=raw,
            )
        except Interrupted:
            # Standard output got what was written before the stop, cut short.
            what = (
                "standard output ended short"
                if args.output == "-"
                else (f"{shown(args.output)} not written")
            )
            print(f"kavri: interrupted; {what}", file=sys.stderr)
            return stop.exit_status()
        finally:
            progress.close()
    if not args.quiet:
        line, warnings = output_report(summary)
        print(f"kavri: {line}", file=sys.stderr)
        for warning in warnings:
            print(f"kavri: warning: {warning}", file=sys.stderr)
    if args.output != "-":
        extra = tail_frames(args.tail, summary.input_sample_rate)
        frames = (
            f"{summary.input_frames} + {extra} tail frames"
            if args.tail
            else counted(summary.input_frames, "frame")
        )
        shape = f"{counted(summary.input_channels, 'channel')} at {summary.input_sample_rate} Hz"
        changed = (
            summary.output_frames != summary.input_frames + extra
            or summary.channels != summary.input_channels
            or summary.sample_rate != summary.input_sample_rate
        )
        if changed:
            shape += (
                f" -> {counted(summary.output_frames, 'frame')} x "
                f"{counted(summary.channels, 'channel')} "
                f"at {summary.sample_rate} Hz"
            )
        print(
            f"{shown(args.input)} -> {shown(args.output)}: {frames} x "
            f"{shape}, {chain_summary(chain)} ({summary.seconds * 1000:.1f} ms)"
        )
    return 0
