"""``kavri meter FILE...``: loudness, peaks and faults of each file, as text or JSON."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from .._paths import shown
from ..errors import KavriError, failure_text
from ..files import measure_file
from ..report import meter_json, meter_text
from ._common import EXIT_FAILED, add_raw_input_arguments, is_raw_input, raw_input

if TYPE_CHECKING:
    from ..loudness import Measurement


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", metavar="FILE", nargs="+", help="audio files ('-' for standard input)")
    p.add_argument(
        "--json", action="store_true", help="a JSON list with one object of flat keys per file"
    )
    add_raw_input_arguments(p, "FILE", "input")
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Meters each file in turn. A file that fails gets its line on stderr and the others
    are still reported (as each is measured, or with --json as one list at the end); the
    exit status tells whether any failed."""
    if args.files.count("-") > 1:
        raise KavriError("standard input (-) can be metered once")
    # Headerless PCM is read as the raw options say (it was taken for an MP3 and metered
    # as 0.67 s of noise, exit 0); they describe the raw files among the others, and are
    # refused when there are none.
    if not any(is_raw_input(name, args) for name in args.files):
        raw_input(args.files[0], args)
    readings: list[tuple[str, Measurement]] = []
    failed = False
    for name in args.files:
        try:
            raw = raw_input(name, args) if is_raw_input(name, args) else None
            measured = measure_file(name, raw=raw)
        except (KavriError, MemoryError) as error:
            text = failure_text(error)
            if text != str(error):  # a refused allocation, which names no file
                text = f"{'standard input' if name == '-' else shown(name)}: {text}"
            print(f"kavri: error: {text}", file=sys.stderr)
            failed = True
            continue
        if not args.json:
            print(("\n" if readings else "") + meter_text(shown(name), measured))
        readings.append((name, measured))
    if args.json:
        print(meter_json(readings))
    return EXIT_FAILED if failed else 0
