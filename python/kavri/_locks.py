"""Locks that a forked child finds free.

A child made by ``fork()`` inherits a lock held by another thread of its parent, and that
thread does not exist in the child: the child's first ``with`` on it waits for ever (a
DataLoader's worker forked while a thread was in a convolution hung on its first call).
"""

from __future__ import annotations

import os
import threading
from types import TracebackType


class ForkSafeLock:
    """A ``threading.Lock`` for module state, made anew in a forked child."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._held = threading.local()  # the lock each thread took, released by that thread
        os.register_at_fork(after_in_child=self._renew)

    def _renew(self) -> None:
        self._lock = threading.Lock()

    def __enter__(self) -> ForkSafeLock:
        lock = self._lock
        lock.acquire()
        self._held.lock = lock
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self._held.lock.release()
