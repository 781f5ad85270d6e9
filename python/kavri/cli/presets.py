"""``kavri presets [NAME]``: the shipped presets, or one preset's chain as JSON."""

from __future__ import annotations

import argparse
import json

from ..chain import list_presets, load_preset


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "name",
        nargs="?",
        metavar="NAME",
        help="a preset: print its chain as JSON (all presets when left out)",
    )
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.name is not None:
        print(json.dumps(load_preset(args.name), indent=2))
        return 0
    for name, description in list_presets().items():
        print(f"  {name:<14} {description}")
    return 0
