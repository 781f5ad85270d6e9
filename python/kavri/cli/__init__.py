"""The ``kavri`` command line: process, batch, augment, meter, effects, presets, formats, demo,
plot.

One module per command, each turning its arguments into a chain and settings and making one
library call. Every failure the user can cause (an unknown preset or type, malformed JSON, a
missing or unreadable file, a value out of range) ends with one line on stderr naming what
is at fault and a non-zero exit status, and writes nothing (``meter`` still reports the
other files).
"""

from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
import warnings
from collections.abc import Callable
from typing import Any, TextIO, cast

from .._paths import escape_odd_bytes
from .._stop import interrupting_signals
from .._version import __version__
from ..errors import KavriError, KavriWarning, failure_text

# The variable that lowers the memory guard's figure (read by the native guard).
IMPOSED_MEMORY = "KAVRI_AVAILABLE_MEMORY"

__all__ = ["main", "build_parser"]

COMMANDS = {
    "process": "process one audio file",
    "batch": "process every matching file under a folder",
    "augment": "write randomly processed copies of every matching file, for training data",
    "meter": "measure loudness, peaks and faults of audio files",
    "effects": "list the effect types or one type's parameters",
    "presets": "list the shipped presets or show one",
    "formats": "list the formats read and written",
    "demo": "run the presets over a test signal, print levels",
    "plot": "draw a chain's response into an image",
}
# Commands whose result is what they print: they refuse to run with standard output closed
# rather than do the work and lose it.
_PRINTING = ("meter", "effects", "presets", "formats")
# Commands that only list what is built in, and need neither the engine nor its guard.
_LISTING = ("effects", "presets", "formats")

EXIT_FAILED = 1
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a command its pipe ended


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The argument parser of the ``kavri`` command. Each command's module (and what it
    imports) is loaded only for the command being run: given ``command``, the others get
    their name and help line alone, which is all that listing them takes. Without it,
    every command is complete."""
    parser = argparse.ArgumentParser(prog="kavri", description="Kavri audio-effects engine.")
    parser.add_argument("--version", action="version", version=f"kavri {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, summary in COMMANDS.items():
        p = commands.add_parser(name, help=summary)
        if command is None or name == command:
            importlib.import_module(f".{name}", __name__).add_arguments(p)
    return parser


def _chosen_command(argv: list[str]) -> str:
    """The command ``argv`` runs: its first word that is not an option ("" for none). The
    ``kavri`` command's own options take no values, so that word is the command."""
    return next((word for word in argv if not word.startswith("-")), "")


def _error(message: str) -> None:
    print(f"kavri: error: {message}", file=sys.stderr)


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    # One write: warnings of a run's worker threads are shown as whole lines.
    sys.stderr.write(f"kavri: warning: {message}\n")


def _closed_streams(args: argparse.Namespace) -> str | None:
    """Why the command cannot run with the standard streams it has, or None. A closed
    stream that only carries messages is pointed at /dev/null instead."""
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    if sys.stdout is None:
        if args.command in _PRINTING:
            return f"standard output is closed: 'kavri {args.command}' prints its results there"
        if getattr(args, "output", None) != "-":
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    return None


class _OutputFailed(Exception):
    """Standard output could not be written, for a reason other than its reader leaving."""


def _point_at_devnull(stream: TextIO) -> None:
    """Sends what is left of a stream that cannot be written to /dev/null, so that the
    exit's own flush cannot fail again and print a traceback."""
    try:
        descriptor = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, descriptor)
    os.close(devnull)


class _Guarded:
    """A standard stream whose failed writes are handled. Standard output carries results:
    a failure ends the command with one line (a reader that went away stays a
    BrokenPipeError). Standard error carries reports only: they are dropped, so that a
    report nobody can see does not turn a finished job into a failure; the exit status
    still tells of any error."""

    def __init__(self, stream: TextIO, results: bool) -> None:
        self._stream = stream
        self._results = results

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)

    def _guard(self, call: Callable[[], object]) -> None:
        try:
            call()
        except OSError as error:
            if self._results and isinstance(error, BrokenPipeError):
                raise
            _point_at_devnull(self._stream)
            if self._results:
                raise _OutputFailed(error.strerror or str(error)) from None

    def write(self, text: str) -> int:
        self._guard(lambda: self._stream.write(text))
        return len(text)

    def flush(self) -> None:
        self._guard(self._stream.flush)


def main(argv: list[str] | None = None) -> int:
    """Runs the ``kavri`` command line and returns its exit status."""
    words = sys.argv[1:] if argv is None else argv
    parser = build_parser(_chosen_command(words))
    args, left = parser.parse_known_args(words)
    # argparse takes the names of a list (kavri meter A B) only up to the first option
    # after them: "meter a.wav --json b.wav" called b.wav an unrecognised argument.
    if left and isinstance(getattr(args, "files", None), list):
        if all(word == "-" or not word.startswith("-") for word in left):
            args.files.extend(left)
            left = []
    if left:
        parser.error(f"unrecognized arguments: {' '.join(left)}")
    problem = _closed_streams(args)
    if problem is not None:
        _error(problem)
        return EXIT_FAILED
    # File names need not be UTF-8: their odd bytes are printed escaped, never fatal.
    escape_odd_bytes(sys.stdout)
    escape_odd_bytes(sys.stderr)
    stdout, stderr = sys.stdout, sys.stderr
    sys.stdout = cast(TextIO, _Guarded(stdout, results=True))
    sys.stderr = cast(TextIO, _Guarded(stderr, results=False))
    try:
        with interrupting_signals():
            return _run(args)
    finally:
        sys.stdout, sys.stderr = stdout, stderr
        # After a failure (say the library's own writing of audio to standard output),
        # nothing may be left for the exit's flush to fail on: the failure has its line.
        try:
            if stdout is not None:  # closed, with OUT "-": its refusal has its line
                stdout.flush()
        except OSError:
            _point_at_devnull(stdout)


def _run(args: argparse.Namespace) -> int:
    handler: Any = args.handler
    try:
        if args.command not in _LISTING:
            # A setting of the memory guard that is no size is refused once, before any
            # work: a batch had refused each of its files with it, and the demo had
            # written its first file.
            from kavri._engine import check_memory

            check_memory(0, "")
        with warnings.catch_warnings():
            warnings.simplefilter("always", KavriWarning)
            warnings.showwarning = _show_warning
            status = int(handler(args))
        # What is still buffered must reach standard output now, while a failure can be
        # told as one line, rather than in the exit's own flush.
        sys.stdout.flush()
        return status
    except _OutputFailed as error:
        _error(f"standard output: cannot write: {error}")
        return EXIT_FAILED
    except KavriError as error:
        _error(str(error))
        return EXIT_FAILED
    except MemoryError as error:
        # The memory guard's refusal names what does not fit; a bare one says it ran out.
        _error(failure_text(error))
        return EXIT_FAILED
    except ValueError as error:
        # The memory guard's refusal of an imposed figure that is not a size: the user's
        # setting, named with its value. Any other ValueError is a fault, and shows itself.
        if not str(error).startswith(f"{IMPOSED_MEMORY}="):
            raise
        _error(str(error))
        return EXIT_FAILED
    except RecursionError:
        # Python follows a chain of links one call deeper a link (os.path.realpath), and
        # 1,500 links that lead to one another ended in a traceback.
        _error(
            "something is nested too deeply to follow, such as a path through a thousand "
            "links that lead to links"
        )
        return EXIT_FAILED
    except RuntimeError as error:
        # A thread that cannot be started (a meter's, a pool's) under a memory or thread
        # limit: Python's own words, which had come with a traceback. Any other is a fault.
        if "can't start new thread" not in str(error):
            raise
        _error(f"cannot start a thread: too little memory, or too many threads ({error})")
        return EXIT_FAILED
    except KeyboardInterrupt as interrupt:
        _error("interrupted")
        return 128 + getattr(interrupt, "signal", signal.SIGINT)
    except FileNotFoundError:
        # The current folder removed while a shell stood in it: any relative path fails
        # there with no name to tell of it.
        try:
            os.getcwd()
        except FileNotFoundError:
            _error("the current folder no longer exists; cd to one that does, or give full paths")
            return EXIT_FAILED
        raise
    except BrokenPipeError:
        # The reader of standard output went away (kavri meter ... | head): stop quietly.
        _point_at_devnull(sys.stdout)
        return EXIT_BROKEN_PIPE
