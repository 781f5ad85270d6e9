"""Requests to stop long work: flags set by hand or by a signal, checked between chunks.

Long work (a streamed file, a batch) takes any object with an ``is_set()`` method, such as a
``threading.Event`` or the :class:`StopFlag` that :func:`stop_on_signals` sets when SIGINT,
SIGTERM or SIGHUP arrives, and checks it between chunks, so that it ends at a clean point and leaves
nothing half-written.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, Protocol

__all__ = [
    "StopRequest",
    "StopFlag",
    "AnyStop",
    "Signalled",
    "stop_on_signals",
    "stopping",
    "current_stop",
]


class StopRequest(Protocol):
    def is_set(self) -> bool: ...


class StopFlag:
    """A request to stop, set by hand or by a signal; work checks it between chunks.

    ``signal`` is the number of the signal that set it, or None.
    """

    def __init__(self) -> None:
        self._event = threading.Event()
        self.signal: int | None = None

    def is_set(self) -> bool:
        return self._event.is_set()

    def set(self, signum: int | None = None) -> None:
        if signum is not None:
            # A signal's number, as the handler gives it (an int subclass: signal.SIGTERM):
            # anything else had made exit_status NaN or raise.
            if isinstance(signum, bool) or not isinstance(signum, int) or not 0 < signum < 128:
                raise ValueError(f"signum must be a signal's number, got {signum!r}")
            signum = int(signum)
        if not self._event.is_set():
            self.signal = signum
            self._event.set()

    def exit_status(self) -> int:
        """The shell's status for a run ended by this flag: 128 + the signal number (130
        for SIGINT, 143 for SIGTERM, 129 for SIGHUP), 130 when it was set by hand."""
        return 128 + (self.signal if self.signal is not None else signal.SIGINT)


class AnyStop:
    """Set when any of the given requests is set; None entries are ignored."""

    def __init__(self, *flags: StopRequest | None) -> None:
        self.flags = [f for f in flags if f is not None]

    def is_set(self) -> bool:
        return any(f.is_set() for f in self.flags)


class Signalled(KeyboardInterrupt):
    """The second signal of a run that was already asked to stop: work ends at once.
    ``signal`` is its number, so that the exit status can say which signal it was."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signal = signum


@contextmanager
def stop_on_signals(
    signals: tuple[int, ...] = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP),
) -> Iterator[StopFlag]:
    """While the block runs, SIGINT, SIGTERM and SIGHUP (a terminal closed, a connection
    dropped: it had ended the process with its temporaries left) set the yielded
    :class:`StopFlag` instead of ending the process, so that work stops cleanly at its
    next chunk; a second signal
    raises :class:`Signalled` (a ``KeyboardInterrupt``) at once, for work that does not
    reach a chunk boundary. The previous handlers come back afterwards. Outside the main
    thread, where Python cannot handle signals, the flag is yielded without handlers."""
    flag = StopFlag()
    if threading.current_thread() is not threading.main_thread():
        yield flag
        return

    def handler(signum: int, frame: object) -> None:
        if flag.is_set():
            raise Signalled(signum)
        flag.set(signum)

    with _handling(signals, handler):
        yield flag


@contextmanager
def interrupting_signals(
    signals: tuple[int, ...] = (signal.SIGTERM, signal.SIGHUP),
) -> Iterator[None]:
    """While the block runs, SIGTERM and SIGHUP end the work as Ctrl-C does, by raising
    :class:`Signalled` (a ``KeyboardInterrupt``), so that what it was writing is cleaned
    up on the way out: by default they end the process at once, and a command that does
    not stop between chunks (plot, demo) left its temporary file. Work that does installs
    :func:`stop_on_signals` inside, whose handlers take over until it ends."""

    def handler(signum: int, frame: object) -> None:
        raise Signalled(signum)

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    with _handling(signals, handler):
        yield


@contextmanager
def _handling(signals: tuple[int, ...], handler: Any) -> Iterator[None]:
    """``handler`` for ``signals`` while the block runs, the previous handlers back
    afterwards. A SIGHUP the process was started ignoring stays ignored: under nohup, a
    closed terminal's hangup is meant to pass the run by."""
    previous = {}
    try:
        for number in signals:
            if number == signal.SIGHUP and signal.getsignal(number) is signal.SIG_IGN:
                continue
            previous[number] = signal.signal(number, handler)
        yield
    finally:
        for number, old in previous.items():
            signal.signal(number, old)


# The stop of the work running in this context (a file's), for waits deep inside it that
# its caller cannot hand it to: a response named by a pipe, read while a chain is planned.
_CURRENT: ContextVar[StopRequest | None] = ContextVar("kavri_current_stop", default=None)


@contextmanager
def stopping(stop: StopRequest | None) -> Iterator[None]:
    """Makes ``stop`` the :func:`current_stop` while the block runs."""
    token = _CURRENT.set(stop)
    try:
        yield
    finally:
        _CURRENT.reset(token)


def current_stop() -> StopRequest | None:
    """The stop of the work running in this context, or None outside any."""
    return _CURRENT.get()
