"""``kavri meter FILE...``: loudness, peaks and faults of each file, as text or JSON."""

from __future__ import annotations

import argparse

from ..errors import KavriError
from ..files import measure_file
from ..report import meter_json, meter_text


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", metavar="FILE", nargs="+", help="audio files ('-' for standard input)")
    p.add_argument(
        "--json", action="store_true", help="a JSON list with one object of flat keys per file"
    )
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.files.count("-") > 1:
        raise KavriError("standard input (-) can be metered once")
    readings = [(name, measure_file(name)) for name in args.files]
    if args.json:
        print(meter_json(readings))
    else:
        print("\n\n".join(meter_text(name, measured) for name, measured in readings))
    return 0
