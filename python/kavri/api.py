"""The Python entry point: :func:`process` runs a chain over an array in one native call."""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Any

import numpy as np
import numpy.typing as npt

from ._kavri_core import process_pipeline
from .audiofile import pcm_to_float
from .chain import ChainLike, load_chain
from .loudness import LoudnessResult, LoudnessTarget, measure, plan_loudness

__all__ = ["process", "process_to_loudness", "LoudnessWarning", "check_engine_options",
           "check_sample_rate", "check_orientation", "CHANNELS_FIRST_LIMIT"]

# An array with at most this many frames and more channels than that is taken to be
# channels-first, (channels, frames): real recordings have few channels and many frames.
CHANNELS_FIRST_LIMIT = 64

_MAX_SAMPLE_RATE = 2**31 - 1
_MAX_BLOCK_SIZE = 2**64 - 1


class LoudnessWarning(UserWarning):
    """A loudness target that could not be reached within 0.5 LU."""


def _whole_number(name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None


def check_sample_rate(sample_rate: Any) -> int:
    """A sample rate as a whole number of hertz: an int, or a float with a whole value
    (48000.0). ``TypeError`` for anything else, ``ValueError`` unless it lies between 1 and
    2,147,483,647 Hz."""
    whole = (bool, numbers.Integral)
    if isinstance(sample_rate, numbers.Real) and not isinstance(sample_rate, whole):
        value = float(sample_rate)
        if not (math.isfinite(value) and value.is_integer()):
            raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
        rate = int(value)
    else:
        try:
            rate = operator.index(sample_rate)
        except TypeError:
            raise TypeError(f"sample_rate must be a whole number of hertz, "
                            f"got {sample_rate!r}") from None
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


def _float_audio(audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The audio as float32 samples (integer PCM scaled by its full scale), refusing what
    is not real numbers before the engine's own conversion error could print the array."""
    data = np.asarray(audio)
    if data.dtype.kind == "O":
        try:
            data = data.astype(np.float32)
        except (TypeError, ValueError):
            pass
    if data.dtype.kind not in "fiu":
        raise TypeError(f"audio must be an array of real numbers, got dtype {data.dtype}")
    if isinstance(audio, np.ndarray) and audio.dtype.kind in "fiu":
        return pcm_to_float(audio)
    # Lists and object arrays hold sample values as written.
    return np.asarray(data, dtype=np.float32)


def _run(data: np.ndarray, rate: int, specs: list[Any], block_size: int,
         workers: int) -> npt.NDArray[np.float32]:
    if data.ndim == 1:
        return process_pipeline(data[:, np.newaxis], rate, specs,
                                block_size=block_size, workers=workers)[:, 0]
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    check_orientation(data.shape)
    return process_pipeline(data, rate, specs, block_size=block_size, workers=workers)


def process(audio: npt.ArrayLike, sample_rate: int | float, chain: ChainLike, *,
            block_size: int = 2048, workers: int = 1, loudness: float | None = None,
            peak_ceiling: float = -1.0) -> npt.NDArray[np.float32]:
    """Runs an effect chain over audio and returns the processed float32 array.

    ``audio`` is a (frames, channels) array or a 1-D mono signal; the result has the shape
    the audio came in. Float samples are taken as they are (full scale is 1.0); integer
    PCM arrays are scaled by their full scale into [-1, 1): int16 by 32768, int32 by 2**31,
    int8 by 128, and uint8 centred on 128 and divided by 128. Other integer arrays are
    refused (``TypeError``); a plain list holds sample values as written. An array with at
    most 64 frames and more than 64 channels is taken for a channels-first array and
    refused (transpose it). ``sample_rate`` is in hertz, an int or a float with a whole
    value (48000.0). ``chain`` is a list of effect specs (dicts with a "type" and that
    effect's keys), the path of a JSON chain file, or a preset name (see
    :func:`kavri.list_presets`). The chain is checked against the effect catalogue first
    (NaN, infinite and out-of-range values are refused), then the whole buffer goes through
    the engine in one call of ``process_pipeline``, with the interpreter lock released.
    ``workers`` is capped at the number of cores. The output is the same for every
    ``workers`` count, and for every ``block_size`` unless the chain has a "dynamic_eq".

    ``loudness`` (LUFS) brings the integrated loudness (ITU-R BS.1770-4) of the result
    within 0.5 LU of that target with a gain after the chain, followed by the engine's
    "limiter" where the gain would push the true peak over ``peak_ceiling`` (dBTP); a
    target that cannot be reached gives a :class:`LoudnessWarning` saying by how much it
    was missed. :func:`process_to_loudness` returns the details as well.

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for audio of the wrong
    shape, an out-of-range sample rate, block size or worker count, or a loudness target out
    of range, ``TypeError`` for a sample rate, block size or worker count that is not a
    whole number or audio that is not real numbers or of an unknown integer type, and
    ``RuntimeError`` or ``MemoryError`` from the engine.
    """
    if loudness is not None:
        result, _ = process_to_loudness(audio, sample_rate, chain, loudness,
                                        peak_ceiling=peak_ceiling, block_size=block_size,
                                        workers=workers)
        return result
    specs: list[Any] = load_chain(chain)
    rate = check_sample_rate(sample_rate)
    blocks, threads = check_engine_options(block_size, workers)
    return _run(_float_audio(audio), rate, specs, blocks, threads)


def process_to_loudness(audio: npt.ArrayLike, sample_rate: int | float, chain: ChainLike,
                        loudness: float, *, peak_ceiling: float = -1.0, block_size: int = 2048,
                        workers: int = 1) -> tuple[npt.NDArray[np.float32], LoudnessResult]:
    """:func:`process` with a loudness target: returns the processed audio and a
    :class:`kavri.loudness.LoudnessResult` with the gain added, the limiter ceiling if one
    was needed, the loudness and true peak reached and the miss. Warns with
    :class:`LoudnessWarning` when the target was missed by more than 0.5 LU."""
    import warnings

    target = LoudnessTarget(loudness, peak_ceiling)
    specs: list[Any] = load_chain(chain)
    rate = check_sample_rate(sample_rate)
    block_size, workers = check_engine_options(block_size, workers)
    data = _float_audio(audio)
    # The gain and limiter come after the chain, so they can run over its output.
    chained = _run(data, rate, specs, block_size, workers)
    outputs: dict[int, np.ndarray] = {}

    def render(extra: Any) -> Any:
        out = _run(chained, rate, list(extra), block_size, workers) if extra else chained
        outputs[len(outputs)] = out
        return measure(out, rate)

    result = plan_loudness(target, render)
    final = _run(chained, rate, result.specs, block_size, workers) if result.specs else chained
    problem = result.problem()
    if problem:
        warnings.warn(problem, LoudnessWarning, stacklevel=2)
    return final, result
