"""Rewrites the generated effect reference in a Markdown file from the effect catalogue.

    python scripts/update_readme.py [FILE]     (default: README.md)

The reference lies between the markers ``<!-- effect-reference:start -->`` and
``<!-- effect-reference:end -->``; only that section is replaced, atomically. A file without
the markers, or one that cannot be read or written, ends with one line and exit status 1.
"""

from __future__ import annotations

import sys
from pathlib import Path

from kavri.io import atomic_output
from kavri.catalogue import markdown_reference

START = "<!-- effect-reference:start -->"
END = "<!-- effect-reference:end -->"


def replace_section(path: str, text: str) -> None:
    """Puts ``text`` between the markers of the file at ``path``; ValueError if it has none,
    OSError or UnicodeDecodeError if it cannot be read or written."""
    content = Path(path).read_text(encoding="utf-8")
    try:
        head, rest = content.split(START, 1)
        _, tail = rest.split(END, 1)
    except ValueError:
        raise ValueError(f"{path}: has no {START} ... {END} section") from None
    with atomic_output(path) as temporary:
        Path(temporary).write_text(f"{head}{START}\n{text}{END}{tail}", encoding="utf-8")


def main(argv: list[str]) -> int:
    path = argv[0] if argv else "README.md"
    try:
        replace_section(path, markdown_reference())
    except ValueError as error:
        print(f"update_readme: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"update_readme: {path}: {error.strerror or error}", file=sys.stderr)
        return 1
    print(f"effect reference written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
