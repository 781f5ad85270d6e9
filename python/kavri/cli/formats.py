"""``kavri formats``: the formats Kavri reads and writes, and the tags each output holds."""

from __future__ import annotations

import argparse

from ..io import (
    DECODED_FORMATS,
    ENCODINGS,
    FORMATS,
    SNDFILE_READ,
    SUBTYPES,
    TAG_CONTAINERS,
    output_format,
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.set_defaults(handler=run)


def _subtypes(suffix: str) -> str:
    """The short subtype names an output suffix takes, its default first."""
    container, default = FORMATS[suffix]
    names = [short for short, full in SUBTYPES.items() if full == default]
    for short in SUBTYPES:
        if short in names:
            continue
        try:
            output_format(f"x{suffix}", short)
        except Exception:  # noqa: BLE001 - a subtype the container refuses
            continue
        names.append(short)
    return ", ".join(names)


def _tags(container: str) -> str:
    if container not in TAG_CONTAINERS:
        return "none"
    names = TAG_CONTAINERS[container]
    return "any" if names is None else ", ".join(sorted(names))


def run(args: argparse.Namespace) -> int:
    print("Read (known by content, whatever the suffix):")
    for suffixes, what in SNDFILE_READ:
        print(f"  {what} (libsndfile): {suffixes}")
    for suffixes, what in DECODED_FORMATS:
        print(f"  {what} (PyAV): {suffixes}")
    print("  standard input (-): WAV and raw PCM as a stream, the others copied first")
    print()
    print("Written (by OUT's suffix or --format): sample formats, the default first; tags")
    kinds: dict[tuple[str, str], list[str]] = {}
    for suffix, kind in FORMATS.items():
        kinds.setdefault(kind, []).append(suffix)
    for (container, _), found in kinds.items():
        names = " ".join(found)
        print(f"  {names:<11} {container:<5} {_subtypes(found[0])}; tags: {_tags(container)}")
    print("  standard output (-): WAV and raw PCM as a stream, the others once complete")
    print()
    print(f"Raw PCM (--format raw, --input-format raw): {', '.join(ENCODINGS)}")
    return 0
