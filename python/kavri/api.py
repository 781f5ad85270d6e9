"""The Python entry point: :func:`process` runs a chain over an array in one native call."""

from __future__ import annotations

import operator
import os
from typing import Any

import numpy as np
import numpy.typing as npt

from ._kavri_core import process_pipeline
from .chain import ChainLike, load_chain

__all__ = ["process", "check_engine_options", "check_sample_rate", "check_orientation",
           "CHANNELS_FIRST_LIMIT"]

# An array with at most this many frames and more channels than that is taken to be
# channels-first, (channels, frames): real recordings have few channels and many frames.
CHANNELS_FIRST_LIMIT = 64

_MAX_SAMPLE_RATE = 2**31 - 1
_MAX_BLOCK_SIZE = 2**64 - 1


def _whole_number(name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None


def check_sample_rate(sample_rate: Any) -> int:
    """The sample rate as an int; ``TypeError`` if it is no whole number, ``ValueError``
    unless it lies between 1 and 2,147,483,647 Hz."""
    rate = _whole_number("sample_rate", sample_rate)
    if not 1 <= rate <= _MAX_SAMPLE_RATE:
        raise ValueError(f"sample_rate must be between 1 and {_MAX_SAMPLE_RATE} Hz, got {rate}")
    return rate


def check_engine_options(block_size: Any, workers: Any) -> tuple[int, int]:
    """Checks ``block_size`` and ``workers`` and returns them as the engine gets them.

    Both are whole numbers of 0 or more (0 means the engine's default: 2048 frames, one
    thread). The worker count is capped at the number of cores, ``os.cpu_count()``: more
    threads than cores only add start-up cost, and the output is the same for any count.
    """
    blocks = _whole_number("block_size", block_size)
    threads = _whole_number("workers", workers)
    if not 0 <= blocks <= _MAX_BLOCK_SIZE:
        raise ValueError(f"block_size must be 0 or more frames, got {blocks}")
    if threads < 0:
        raise ValueError(f"workers must be 0 or more, got {threads}")
    return blocks, min(threads, os.cpu_count() or 1)


def check_orientation(shape: tuple[int, ...]) -> None:
    """Refuses a 2-D shape that is plainly (channels, frames): at most
    :data:`CHANNELS_FIRST_LIMIT` frames and more channels than that."""
    if len(shape) == 2 and shape[0] <= CHANNELS_FIRST_LIMIT < shape[1]:
        raise ValueError(
            f"audio of shape {shape} looks channels-first ({shape[0]} channels of {shape[1]} "
            f"frames); kavri takes (frames, channels): pass audio.T")


def process(audio: npt.ArrayLike, sample_rate: int, chain: ChainLike, *,
            block_size: int = 2048, workers: int = 1) -> npt.NDArray[np.float32]:
    """Runs an effect chain over audio and returns the processed float32 array.

    ``audio`` is a (frames, channels) array or a 1-D mono signal; the result has the shape
    the audio came in. An array with at most 64 frames and more than 64 channels is taken
    for a channels-first array and refused (transpose it). ``chain`` is a list of effect
    specs (dicts with a "type" and that effect's keys), the path of a JSON chain file, or a
    preset name (see :func:`kavri.list_presets`). The chain is checked against the effect
    catalogue first (NaN, infinite and out-of-range values are refused), then the whole
    buffer goes through the engine in one call of ``process_pipeline``, with the
    interpreter lock released. ``workers`` is capped at the number of cores. The output is
    the same for every ``workers`` count, and for every ``block_size`` unless the chain has
    a "dynamic_eq".

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for audio of the wrong
    shape or an out-of-range sample rate, block size or worker count, ``TypeError`` for
    one that is no whole number or for audio that is not real numbers, and
    ``RuntimeError`` or ``MemoryError`` from the engine.
    """
    specs: list[Any] = load_chain(chain)
    rate = check_sample_rate(sample_rate)
    blocks, threads = check_engine_options(block_size, workers)
    data = np.asarray(audio)
    if data.dtype.kind == "O":
        try:
            data = data.astype(np.float32)
        except (TypeError, ValueError):
            pass
    if data.dtype.kind not in "fiub":
        # Caught here: the engine's own conversion error would print the whole array.
        raise TypeError(f"audio must be an array of real numbers, got dtype {data.dtype}")
    if data.ndim == 1:
        return process_pipeline(data[:, np.newaxis], rate, specs,
                                block_size=blocks, workers=threads)[:, 0]
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    check_orientation(data.shape)
    return process_pipeline(data, rate, specs, block_size=blocks, workers=threads)
