"""Kavri: a native audio-effects engine for NumPy buffers.

``process(audio, sample_rate, chain)`` runs a chain of effects over a (frames, channels) or
mono buffer and returns a new float32 array; the chain is a list of effect specs, a JSON
chain file or a preset name. ``read`` and ``write`` move audio to and from files,
``process_file`` streams one file through a chain in bounded memory (with an optional
tail of silence so echoes ring out), ``measure`` and ``measure_file`` give integrated
loudness, sample and true peaks and faults, ``process(..., loudness=-16)`` brings a result
to a loudness target, ``batch`` streams many files on a thread pool or any
``concurrent.futures.Executor``, ``augment`` and ``augment_files`` run random chains
(``RandomChain``) drawn from a seed for data augmentation, ``process_batch`` and
``augment_batch`` run a whole batch of items in one native call, ``RenderSettings`` carries how
files are rendered, and ``EFFECTS`` is the
catalogue of effect types and their parameters. Underneath,
``process_pipeline(input, sample_rate, specs, block_size=2048, workers=1)`` is the native
call itself; the work runs in native code with the interpreter lock released. ``Stream``
runs a chain over a long signal chunk by chunk, with the effects' state kept between chunks.
The names are loaded when first used, so that ``import kavri`` (and the ``kavri`` command's
quick answers, such as ``--version``) costs only what is asked for; ``dir(kavri)`` and static
type checkers see them all.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # The submodules the docs name as kavri.<module>.<name>, which are reached as attributes.
    from . import api as api
    from . import chain as chain
    from . import clamps as clamps
    from . import io as io
    from . import loudness as loudness
    from . import plot as plot
    from . import random_chain as random_chain
    from . import runs as runs
    from ._kavri_core import process_pipeline
    from ._stop import StopFlag
    from ._version import __version__
    from .api import (
        LoudnessWarning,
        augment,
        augment_batch,
        process,
        process_batch,
        process_to_loudness,
    )
    from .catalogue import EFFECTS, EffectInfo, Param, effect_types
    from .chain import list_presets, load_chain, load_preset, validate_chain
    from .clamps import ClampWarning
    from .errors import AudioFileError, ChainError, Interrupted, KavriError, KavriWarning
    from .files import FileSummary, measure_file, process_file
    from .io import AudioData, read, write
    from .loudness import LoudnessTarget, Measurement, measure
    from .random_chain import RandomChain
    from .runs.augment import augment_files
    from .runs.batch import batch
    from .runs.tasks import BatchInterrupted, BatchReport, FileResult
    from .settings import RenderSettings, SettingError
    from .stream import Stream

# Each public name and the module that defines it, imported on first use.
_HOMES = {
    "process_pipeline": "._kavri_core",
    "StopFlag": "._stop",
    "__version__": "._version",
    "LoudnessWarning": ".api",
    "augment": ".api",
    "augment_batch": ".api",
    "process": ".api",
    "process_batch": ".api",
    "process_to_loudness": ".api",
    "EFFECTS": ".catalogue",
    "EffectInfo": ".catalogue",
    "Param": ".catalogue",
    "effect_types": ".catalogue",
    "list_presets": ".chain",
    "load_chain": ".chain",
    "load_preset": ".chain",
    "validate_chain": ".chain",
    "ClampWarning": ".clamps",
    "AudioFileError": ".errors",
    "ChainError": ".errors",
    "Interrupted": ".errors",
    "KavriError": ".errors",
    "KavriWarning": ".errors",
    "FileSummary": ".files",
    "measure_file": ".files",
    "process_file": ".files",
    "AudioData": ".io",
    "read": ".io",
    "write": ".io",
    "LoudnessTarget": ".loudness",
    "Measurement": ".loudness",
    "measure": ".loudness",
    "RandomChain": ".random_chain",
    "augment_files": ".runs.augment",
    "batch": ".runs.batch",
    "BatchInterrupted": ".runs.tasks",
    "BatchReport": ".runs.tasks",
    "FileResult": ".runs.tasks",
    "RenderSettings": ".settings",
    "SettingError": ".settings",
    "Stream": ".stream",
}

__all__ = [
    "process_pipeline",
    "__version__",
    "process",
    "process_to_loudness",
    "process_batch",
    "augment_batch",
    "LoudnessWarning",
    "LoudnessTarget",
    "Measurement",
    "measure",
    "measure_file",
    "Stream",
    "read",
    "write",
    "AudioData",
    "process_file",
    "FileSummary",
    "RenderSettings",
    "SettingError",
    "StopFlag",
    "batch",
    "BatchReport",
    "BatchInterrupted",
    "FileResult",
    "RandomChain",
    "augment",
    "augment_files",
    "EFFECTS",
    "EffectInfo",
    "Param",
    "effect_types",
    "list_presets",
    "load_chain",
    "load_preset",
    "validate_chain",
    "KavriError",
    "KavriWarning",
    "ClampWarning",
    "ChainError",
    "AudioFileError",
    "Interrupted",
]


if not TYPE_CHECKING:
    # Hidden from type checkers, which would take any name, a misspelt one too, as this
    # function's Any.
    def __getattr__(name: str) -> Any:
        home = _HOMES.get(name)
        if home is None:
            # A submodule (kavri.io, say) is reached as an attribute once imported, as it was
            # when the package imported everything.
            from ._providers import submodule  # here: the package's namespace stays its own

            return submodule(__name__, name)
        value = getattr(importlib.import_module(home, __name__), name)
        globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
