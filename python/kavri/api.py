"""The Python entry point: :func:`process` runs a chain over an array in one native call."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from ._kavri_core import process_pipeline
from .chain import ChainLike, load_chain

__all__ = ["process"]


def process(audio: npt.ArrayLike, sample_rate: int, chain: ChainLike, *,
            block_size: int = 2048, workers: int = 1) -> npt.NDArray[np.float32]:
    """Runs an effect chain over audio and returns the processed float32 array.

    ``audio`` is a (frames, channels) array or a 1-D mono signal; the result has the shape
    the audio came in. ``chain`` is a list of effect specs (dicts with a "type" and that
    effect's keys), the path of a JSON chain file, or a preset name (see
    :func:`kavri.list_presets`). The chain is checked against the effect catalogue first,
    then the whole buffer goes through the engine in one call of ``process_pipeline``, with
    the interpreter lock released. The output is the same for every ``workers`` count, and
    for every ``block_size`` unless the chain has a "dynamic_eq".

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for audio of the wrong
    shape, ``TypeError`` for a non-integer sample rate, and ``RuntimeError`` or
    ``MemoryError`` from the engine.
    """
    specs: list[Any] = load_chain(chain)
    try:
        rate = operator.index(sample_rate)
    except TypeError:
        raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}") from None
    data = np.asarray(audio)
    if data.ndim == 1:
        return process_pipeline(data[:, np.newaxis], rate, specs,
                                block_size=block_size, workers=workers)[:, 0]
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    return process_pipeline(data, rate, specs, block_size=block_size, workers=workers)
