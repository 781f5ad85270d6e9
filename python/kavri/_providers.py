"""Where the planner and the random chains find the chain items defined above them.

Items that read files or run codecs (background noise, impulse responses from files, codec
round trips) and the drawn noise's seed live in modules above the planner and the random
chains; each registers its builder or resolver when it is imported. :func:`load` imports
those modules, once, so that a chain can hold their items whichever part of the package
the caller imported first (``import kavri`` itself imports nothing until a name is used).
"""

from __future__ import annotations

import importlib

# The modules that register chain items, by name: they sit above the callers of load.
MODULES = ("kavri.steps.noise", "kavri.codecs", "kavri.rooms", "kavri.sources")

_loaded = False


def load() -> None:
    """Imports every module of :data:`MODULES` (at most once with effect; thread-safe, as
    imports are)."""
    global _loaded
    if _loaded:
        return
    for name in MODULES:
        importlib.import_module(name)
    _loaded = True
