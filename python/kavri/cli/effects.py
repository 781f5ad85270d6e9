"""``kavri effects [TYPE]``: the effect catalogue, as text or Markdown."""

from __future__ import annotations

import argparse
import sys

from ..catalogue import EFFECTS, FAMILIES, effect_types, get_effect, markdown_reference
from ..errors import KavriError


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "type",
        nargs="?",
        metavar="TYPE",
        help="an effect type: list its parameters (all types when left out)",
    )
    p.add_argument("--markdown", action="store_true", help="print the Markdown effect reference")
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.markdown:
        if args.type is not None:
            # Printed for every type: a TYPE given with it was dropped without a word.
            raise KavriError("--markdown prints the reference of every type; leave out TYPE")
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
    if not info.params:
        print("  no parameters")
        return 0
    rows = [("key", "default", "unit", "range", "meaning")]
    rows += [(p.key, p.default_text(), p.unit, p.range_text(), p.summary) for p in info.params]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        cells = "  ".join(cell.ljust(w) for cell, w in zip(row[:4], widths, strict=True))
        print(f"  {cells}  {row[4]}")
    return 0
