"""Standard input and output as audio streams ("-").

A process started with a standard stream closed (``<&-``, ``>&-``) has ``sys.stdin`` or
``sys.stdout`` set to None; the next file it opens may even take over descriptor 0 or 1.
Reading or writing "-" then is refused with a message instead of failing half-way.
"""

from __future__ import annotations

import select
import sys
from typing import IO, BinaryIO

from ..errors import AudioFileError

__all__ = [
    "check_standard_streams",
    "copy_out",
    "standard_input",
    "standard_output",
    "write_all",
]

_COPY_PIECE = 1 << 20


def write_all(out: IO[bytes], data: bytes | memoryview) -> None:
    """Writes every byte of ``data`` to ``out``. Unbuffered standard output (Python run
    with -u or PYTHONUNBUFFERED) is a raw file, whose ``write`` may take only part of what
    it is given, when a signal comes, say, and returns how much; or None when a
    non-blocking pipe is full."""
    view = memoryview(data).cast("B")
    while view.nbytes:
        written: int | None = out.write(view)  # None from a raw file (typeshed says int)
        if written is None:
            select.select([], [out.fileno()], [])
            continue
        view = view[written:]


def copy_out(source: IO[bytes], out: IO[bytes]) -> None:
    """Copies ``source`` from where it stands to its end into ``out``, whole (see
    :func:`write_all`), and flushes ``out``."""
    while piece := source.read(_COPY_PIECE):
        write_all(out, piece)
    out.flush()


def standard_input() -> BinaryIO:
    """The binary standard input; :class:`AudioFileError` if it is closed."""
    stream = sys.stdin
    buffer = getattr(stream, "buffer", None)
    if stream is None or buffer is None or stream.closed:
        raise AudioFileError("standard input is closed; give an input file instead of '-'")
    return buffer  # type: ignore[no-any-return]


def standard_output() -> BinaryIO:
    """The binary standard output; :class:`AudioFileError` if it is closed."""
    stream = sys.stdout
    buffer = getattr(stream, "buffer", None)
    if stream is None or buffer is None or stream.closed:
        raise AudioFileError("standard output is closed; give an output file instead of '-'")
    return buffer  # type: ignore[no-any-return]


def check_standard_streams(input_name: str | None = None, output_name: str | None = None) -> None:
    """Raises :class:`AudioFileError` before any work when the input or output is "-" and
    the standard stream it stands for is closed."""
    if input_name == "-":
        standard_input()
    if output_name == "-":
        standard_output()
