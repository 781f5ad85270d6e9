"""``kavri process IN OUT``: stream one file through a chain into another, atomically."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from .._stop import stop_on_signals
from ..chain import chain_summary
from ..errors import Interrupted, KavriError
from ..files import render_file
from ..io import STREAM_FORMATS, output_format
from ..report import output_report
from ..settings import tail_frames
from ._common import (
    FileProgress,
    add_chain_options,
    add_render_options,
    chain_from_args,
    check_output_folder,
    settings_from_args,
)


def add_parser(commands: Any) -> None:
    p = commands.add_parser("process", help="process one audio file")
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
        f"(standard output, default wav): {', '.join(STREAM_FORMATS)}",
    )
    p.set_defaults(handler=run)


def _same_file(a: str, b: str) -> bool:
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def run(args: argparse.Namespace) -> int:
    """Streams IN through the chain into OUT; "-" is standard input or output. A report
    line goes to stderr."""
    settings = settings_from_args(args)
    chain = chain_from_args(args)
    output_format(args.output, settings.subtype, settings.file_format)
    if args.output != "-":
        check_output_folder(args.output)
    if (
        args.input != "-"
        and args.output != "-"
        and _same_file(args.input, args.output)
        and not args.overwrite
    ):
        raise KavriError(f"{args.output}: is the input file; pass --overwrite to replace it")
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
            )
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
        extra = tail_frames(args.tail, summary.input_sample_rate)
        tail = f" + {extra} tail" if args.tail else ""
        shape = f"{summary.input_channels} channels at {summary.input_sample_rate} Hz"
        changed = (
            summary.output_frames != summary.input_frames + extra
            or summary.channels != summary.input_channels
            or summary.sample_rate != summary.input_sample_rate
        )
        if changed:
            shape += (
                f" -> {summary.output_frames} frames x {summary.channels} channels "
                f"at {summary.sample_rate} Hz"
            )
        print(
            f"{args.input} -> {args.output}: {summary.input_frames}{tail} frames x "
            f"{shape}, {chain_summary(chain)} ({summary.seconds * 1000:.1f} ms)"
        )
    return 0
