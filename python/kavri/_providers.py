"""Where the planner and the random chains find the chain items defined above them.

Items that read files or run codecs (background noise, impulse responses from files, codec
round trips) and the drawn noise's seed live in modules above the planner and the random
chains; each registers its builder or resolver when it is imported. :func:`load` imports
those modules, once, so that a chain can hold their items whichever part of the package
the caller imported first (``import kavri`` itself imports nothing until a name is used).
"""

from __future__ import annotations

import contextlib
import importlib
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterator
from contextvars import ContextVar
from types import ModuleType
from typing import Any

from ._locks import ForkSafeLock

# The modules that register chain items, by name: they sit above the callers of load.
MODULES = ("kavri.steps.noise", "kavri.codecs", "kavri.rooms", "kavri.sources")

_loaded = False


def submodule(package: str, name: str) -> ModuleType:
    """The module ``name`` of ``package``, imported on first use: a package's ``__getattr__``
    reaches its modules as attributes through it (never ``__main__``, which runs the
    command). ``AttributeError`` where there is no such module."""
    if name.isidentifier() and not name.startswith("__"):
        try:
            return importlib.import_module(f".{name}", package)
        except ModuleNotFoundError as error:
            if error.name != f"{package}.{name}":
                raise
    raise AttributeError(f"module {package!r} has no attribute {name!r}")


def load() -> None:
    """Imports every module of :data:`MODULES` (at most once with effect; thread-safe, as
    imports are)."""
    global _loaded
    if _loaded:
        return
    for name in MODULES:
        importlib.import_module(name)
    _loaded = True


# What items find on the disk when they draw a file from a folder: the folder's listing and
# the length of a file, and a response read from a named pipe, which its writer gives once.
# Within listed_once, each is looked at once and kept: a plan builds its
# items more than once (once to size its buffers, then to run them, then again for a file's
# measuring passes), and augment draws a chain for every output, so a folder of thousands
# of files was listed again each time. Inside one scope the draws also all see the same
# listing. Outside any scope nothing is kept.
_SEEN: ContextVar[dict[Any, Any] | None] = ContextVar("kavri_seen_once", default=None)


@contextlib.contextmanager
def listed_once(seen: dict[Any, Any] | None = None) -> Iterator[None]:
    """A scope in which :func:`once` keeps what it finds, in ``seen`` (a plan's own, so that
    every build of its items shares it) or in a new dict. Within a scope already open (a
    plot, whose every measurement is a call of its own) the wider scope's serves."""
    if _SEEN.get() is not None:
        yield
        return
    token = _SEEN.set({} if seen is None else seen)
    try:
        yield
    finally:
        _SEEN.reset(token)


def once[T](key: Any, look: Callable[[], T]) -> T:
    """``look()``, or within :func:`listed_once` what it gave for ``key`` before. A failure
    is not kept: the next call looks again, and says what is wrong again. Where two threads
    share a scope, the first value kept is the one both get."""
    seen = _SEEN.get()
    if seen is None:
        return look()
    if key in seen:
        found: T = seen[key]
        return found
    value: T = seen.setdefault(key, look())
    return value


# The folders listed for a whole run (a batch's files on this process's threads), where
# each call would list them again: a batch of 1,000 clips drawing from a folder of 10,000
# noise files listed it for every clip. Only listings: what else a call finds (a response
# read from a pipe, which another writer may give anew; a file's length) is its own.
_RUN_LISTINGS: ContextVar[dict[Any, Any] | None] = ContextVar("kavri_run_listings", default=None)


@contextlib.contextmanager
def listed_for_run(listings: dict[Any, Any]) -> Iterator[None]:
    """A scope in which :func:`listed` keeps folder listings in ``listings``, which the
    run's threads share."""
    token = _RUN_LISTINGS.set(listings)
    try:
        yield
    finally:
        _RUN_LISTINGS.reset(token)


def listed[T](key: Any, look: Callable[[], T]) -> T:
    """:func:`once` for a folder's listing: within :func:`listed_for_run`, kept for the
    run."""
    listings = _RUN_LISTINGS.get()
    if listings is None:
        return once(key, look)
    if key in listings:
        found: T = listings[key]
        return found
    value: T = listings.setdefault(key, once(key, look))
    return value


class KeptLast[V]:
    """The values last made, by key, for the next call that asks for the same: at most
    ``count`` of them, and together at most ``budget`` bytes (as ``size`` reckons a value)
    beside the newest. The newest is kept whatever its size, as the call that made it holds
    it anyway; four responses of a minute in four channels at 96 kHz had kept 1 GB."""

    def __init__(self, count: int, budget: int, size: Callable[[V], int]) -> None:
        self._count = count
        self._budget = budget
        self._size = size
        self._kept: OrderedDict[Hashable, tuple[V, int]] = OrderedDict()
        self._lock = ForkSafeLock()

    def get(self, key: Hashable) -> V | None:
        with self._lock:
            found = self._kept.get(key)
            if found is None:
                return None
            self._kept.move_to_end(key)
            return found[0]

    def put(self, key: Hashable, value: V) -> None:
        size = self._size(value)
        with self._lock:
            self._kept[key] = (value, size)
            self._kept.move_to_end(key)
            total = sum(bytes_ for _, bytes_ in self._kept.values())
            while len(self._kept) > 1 and (
                len(self._kept) > self._count or total - size > self._budget
            ):
                total -= self._kept.popitem(last=False)[1][1]

    def clear(self) -> None:
        with self._lock:
            self._kept.clear()
