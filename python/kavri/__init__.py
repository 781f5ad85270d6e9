"""Kavri: a native audio-effects engine for NumPy buffers.

``process(audio, sample_rate, chain)`` runs a chain of effects over a (frames, channels) or
mono buffer and returns a new float32 array; the chain is a list of effect specs, a JSON
chain file or a preset name. ``read`` and ``write`` move audio to and from files,
``process_file`` streams one file through a chain in bounded memory (with an optional
tail of silence so echoes ring out), ``measure`` and ``measure_file`` give integrated
loudness, sample and true peaks and faults, ``process(..., loudness=-16)`` brings a result
to a loudness target, ``batch`` streams many files on a thread pool or any
``concurrent.futures.Executor``, ``augment`` and ``augment_files`` run random chains
(``RandomChain``) drawn from a seed for data augmentation, and ``EFFECTS`` is the
catalogue of effect types and their parameters. Underneath,
``process_pipeline(input, sample_rate, specs, block_size=2048, workers=1)`` is the native
call itself; the work runs in native code with the interpreter lock released. ``Stream``
runs a chain over a long signal chunk by chunk, with the effects' state kept between chunks.
"""

from importlib.metadata import PackageNotFoundError, version

from ._kavri_core import process_pipeline
from .api import LoudnessWarning, process, process_to_loudness
from .audiofile import AudioData, read, write
from .augment import RandomChain, augment, augment_files
from .batch import BatchInterrupted, BatchReport, FileResult, batch
from .catalogue import EFFECTS, EffectInfo, Param, effect_types
from .chain import list_presets, load_chain, load_preset, validate_chain
from .errors import AudioFileError, ChainError, Interrupted, KavriError
from .loudness import LoudnessTarget, Measurement, measure, measure_file
from .stream import Stream
from .streamfile import FileSummary, StopFlag, process_file

try:
    __version__ = version("kavri")
except PackageNotFoundError:  # pragma: no cover - running from an uninstalled tree
    __version__ = "0.0.0"

__all__ = [
    "process_pipeline",
    "__version__",
    "process",
    "process_to_loudness",
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
    "ChainError",
    "AudioFileError",
    "Interrupted",
]
