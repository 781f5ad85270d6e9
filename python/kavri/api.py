"""The Python entry point: :func:`process` runs a chain over an array in one native call."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from ._kavri_core import process_pipeline
from .audiofile import pcm_to_float
from .chain import ChainLike, load_chain
from .loudness import LoudnessResult, LoudnessTarget, measure, plan_loudness

__all__ = ["process", "process_to_loudness", "sample_rate_hz", "LoudnessWarning"]


class LoudnessWarning(UserWarning):
    """A loudness target that could not be reached within 0.5 LU."""


def sample_rate_hz(sample_rate: Any) -> int:
    """A sample rate as a whole number of hertz: an int, or a float with a whole value
    (48000.0). ``TypeError`` for anything else."""
    if isinstance(sample_rate, numbers.Real) and not isinstance(sample_rate, (bool, numbers.Integral)):
        value = float(sample_rate)
        if math.isfinite(value) and value.is_integer():
            return int(value)
        raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
    try:
        return operator.index(sample_rate)
    except TypeError:
        raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}") from None


def _run(data: np.ndarray, rate: int, specs: list[Any], block_size: int,
         workers: int) -> npt.NDArray[np.float32]:
    if data.ndim == 1:
        return process_pipeline(data[:, np.newaxis], rate, specs,
                                block_size=block_size, workers=workers)[:, 0]
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    return process_pipeline(data, rate, specs, block_size=block_size, workers=workers)


def process(audio: npt.ArrayLike, sample_rate: int | float, chain: ChainLike, *,
            block_size: int = 2048, workers: int = 1, loudness: float | None = None,
            peak_ceiling: float = -1.0) -> npt.NDArray[np.float32]:
    """Runs an effect chain over audio and returns the processed float32 array.

    ``audio`` is a (frames, channels) array or a 1-D mono signal; the result has the shape
    the audio came in. Float samples are taken as they are (full scale is 1.0); integer
    PCM arrays are scaled by their full scale into [-1, 1): int16 by 32768, int32 by 2**31,
    int8 by 128, and uint8 centred on 128 and divided by 128. Other integer arrays are
    refused (``TypeError``); a plain list holds sample values as written. ``sample_rate`` is in hertz, an int or a float with a whole
    value (48000.0). ``chain`` is a list of effect specs (dicts with a "type" and that
    effect's keys), the path of a JSON chain file, or a preset name (see
    :func:`kavri.list_presets`). The chain is checked against the effect catalogue first,
    then the whole buffer goes through the engine in one call of ``process_pipeline``, with
    the interpreter lock released. The output is the same for every ``workers`` count, and
    for every ``block_size`` unless the chain has a "dynamic_eq".

    ``loudness`` (LUFS) brings the integrated loudness (ITU-R BS.1770-4) of the result
    within 0.5 LU of that target with a gain after the chain, followed by the engine's
    "limiter" where the gain would push the true peak over ``peak_ceiling`` (dBTP); a
    target that cannot be reached gives a :class:`LoudnessWarning` saying by how much it
    was missed. :func:`process_to_loudness` returns the details as well.

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for audio of the wrong
    shape or a loudness target out of range, ``TypeError`` for a sample rate that is not a
    whole number or audio of an unknown integer type, and ``RuntimeError`` or
    ``MemoryError`` from the engine.
    """
    if loudness is not None:
        result, _ = process_to_loudness(audio, sample_rate, chain, loudness,
                                        peak_ceiling=peak_ceiling, block_size=block_size,
                                        workers=workers)
        return result
    specs: list[Any] = load_chain(chain)
    rate = sample_rate_hz(sample_rate)
    return _run(pcm_to_float(audio), rate, specs, block_size, workers)


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
    rate = sample_rate_hz(sample_rate)
    data = pcm_to_float(audio)
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
