"""``kavri meter FILE...``: loudness, peaks and faults of each file, as text or JSON."""

from __future__ import annotations

import argparse

from ..errors import KavriError
from ..files import measure_file
from ..report import meter_json, meter_text
from ._common import add_raw_input_arguments, raw_input


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", metavar="FILE", nargs="+", help="audio files ('-' for standard input)")
    p.add_argument(
        "--json", action="store_true", help="a JSON list with one object of flat keys per file"
    )
    add_raw_input_arguments(p, "FILE", "input")
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.files.count("-") > 1:
        raise KavriError("standard input (-) can be metered once")
    # Headerless PCM is read as the raw options say (it was taken for an MP3 and metered
    # as 0.67 s of noise, exit 0).
    raws = [raw_input(name, args) for name in args.files]
    readings = [
        (name, measure_file(name, raw=raw)) for name, raw in zip(args.files, raws, strict=True)
    ]
    if args.json:
        print(meter_json(readings))
    else:
        print("\n\n".join(meter_text(name, measured) for name, measured in readings))
    return 0
