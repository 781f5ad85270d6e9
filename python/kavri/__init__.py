"""Kavri: a native audio-effects engine for NumPy buffers.

``process_pipeline(input, sample_rate, specs, block_size=2048, workers=1)`` runs a chain of
effects over a (frames, channels) buffer and returns a new float32 array; the input is never
modified. The work runs in native code with the interpreter lock released.
"""

from importlib.metadata import PackageNotFoundError, version

from ._kavri_core import process_pipeline

try:
    __version__ = version("kavri")
except PackageNotFoundError:  # pragma: no cover - running from an uninstalled tree
    __version__ = "0.0.0"

__all__ = ["process_pipeline", "__version__"]
