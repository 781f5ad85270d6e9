"""Runs over many files: a batch with one chain, augmentation with a drawn chain per output.

Both are the task loop of :mod:`kavri.runs.tasks`, with the guard of what may be written
(:mod:`kavri.runs.guard`) and the record of what is done (:mod:`kavri.runs.record`).
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from . import augment as augment
    from . import batch as batch
    from . import guard as guard
    from . import record as record
    from . import tasks as tasks
else:

    def __getattr__(name: str) -> object:
        # A module of the package (kavri.runs.batch, say) is reached as an attribute,
        # imported on first use as the package's own names are.
        from .._providers import submodule

        return submodule(__name__, name)
