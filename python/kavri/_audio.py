"""Conversions of audio arrays shared by the array API and the file code.

Nothing here touches files: this module is imported by code that only handles arrays.
"""

from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = [
    "MAX_SAMPLE_RATE",
    "PCM_BITS",
    "as_frames",
    "check_callables",
    "check_count",
    "check_sample_rate",
    "whole_number",
    "pcm_to_float",
    "real_samples",
    "shown_integer",
]

# Integer sample formats by their bits, under libsndfile's names. Full scale is
# 2**(bits-1) for reading and writing alike. 8-bit files are fed as 16-bit words whose
# low byte is 0.
PCM_BITS: dict[str, int] = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def pcm_to_float(audio: npt.ArrayLike, what: str = "audio") -> npt.NDArray[np.float32]:
    """Audio as float32, integer PCM scaled by its full scale into [-1, 1).

    int8, int16 and int32 samples are divided by 2**7, 2**15 and 2**31; uint8 samples are
    centred on 128 and divided by 128. Float input is converted to float32 unchanged in
    value. Other integer types (int64, uint16, ...) have no agreed full scale, and complex,
    bool, text or dates are no samples: each is refused with ``TypeError`` naming ``what``.
    Anything that is not a NumPy array (a list of numbers, say) holds sample values as
    written, in float32.
    """
    if not isinstance(audio, np.ndarray):
        return np.asarray(audio, dtype=np.float32)
    data = audio
    kind = data.dtype
    if kind == np.uint8:
        return (data.astype(np.float32) - np.float32(128.0)) / np.float32(128.0)
    # By the type, not the dtype: a big-endian int16 ('>i2') is int16 too.
    if kind.type in (np.int8, np.int16, np.int32):
        scale = np.float32(2.0 ** (8 * kind.itemsize - 1))
        # int32 does not fit a float32 mantissa: scale in float64, then round once.
        work = np.float64 if kind.type == np.int32 else np.float32
        scaled: npt.NDArray[np.floating[Any]] = np.divide(data.astype(work), scale, dtype=work)
        return scaled.astype(np.float32)
    if kind.kind in "iu":
        raise TypeError(
            f"{what} of integer type {kind} has no known full scale; "
            "use int8, int16, int32 or uint8 PCM, or float samples"
        )
    if kind.kind != "f":  # complex would lose its imaginary part; bool, text, dates
        raise TypeError(f"{what} must be an array of real numbers, got dtype {kind}")
    # float64 past single precision becomes infinite, as float32 holds it, without NumPy's
    # warning (an exception under -W error).
    with np.errstate(over="ignore"):
        return np.asarray(data, dtype=np.float32)


def real_samples(audio: Any, what: str = "audio") -> npt.NDArray[np.float32]:
    """Samples given as an array or a list, as float32 by :func:`pcm_to_float`'s rules,
    where a list or a tuple, or an array of objects, holds sample values as written.
    ``TypeError`` naming ``what`` for anything that is not real numbers."""
    if isinstance(audio, np.ma.MaskedArray):
        # Its mask would be dropped, and a masked NaN spread through every filter.
        raise TypeError(
            f"{what} is a masked array; give its samples with the masked ones filled "
            "(audio.filled(0.0))"
        )
    if isinstance(audio, np.ndarray) and audio.dtype == np.float32:
        return audio
    if isinstance(audio, (bytes, bytearray)):
        # Raw bytes say nothing of their sample format (a bytearray read as 8-bit PCM).
        raise TypeError(f"{what} must be an array of real numbers, got {type(audio).__name__}")
    data = np.asarray(audio)
    if isinstance(audio, (list, tuple)) and data.dtype.kind in "fiu":
        # A list's truth values were numbers to NumPy ([True, 0.5] as 1.0 and 0.5).
        for value in np.asarray(audio, dtype=object).flat:
            if isinstance(value, (bool, np.bool_)):
                raise TypeError(f"{what} holds bool where a sample should be")
    if data.dtype.kind == "O":
        for value in data.flat:
            if value is None:
                raise TypeError(f"{what} holds None where a sample should be")  # NumPy: NaN
            if isinstance(value, (str, bytes, bool, np.bool_)):
                # Text and truth values are no samples ("0.5" and True had been taken).
                raise TypeError(f"{what} holds {type(value).__name__} where a sample should be")
    if data.dtype.kind == "O" or (isinstance(audio, (list, tuple)) and data.dtype.kind in "iu"):
        try:
            with np.errstate(over="ignore"):
                data = data.astype(np.float32)
        except (TypeError, ValueError, OverflowError):
            pass  # refused by its type below (10**400 is past any float)
    return pcm_to_float(data, what)


def as_frames[T: np.generic](data: npt.NDArray[T]) -> tuple[npt.NDArray[T], bool]:
    """``data`` as (frames, channels): 1-D audio (one channel) becomes a (frames, 1) view,
    and the flag says so, for a caller that hands back the shape it was given
    (``out[:, 0]``). Any other shape is returned as it is, for the caller to check."""
    if data.ndim == 1:
        return data[:, np.newaxis], True
    return data, False


def shown_integer(value: int) -> str:
    """An integer for a message; one too long to read (10**400 given as a rate) described
    by its size, counted without printing it (the interpreter refuses to print integers of
    over 4,300 digits)."""
    if abs(value).bit_length() <= 128:
        return str(value)
    digits = max(1, math.floor(abs(value).bit_length() * math.log10(2)) + 1)
    return f"(an integer of {digits} digits)"


# The highest sample rate taken anywhere: what a file header or the engine can hold.
MAX_SAMPLE_RATE = 2**31 - 1


def check_sample_rate(sample_rate: Any) -> int:
    """A sample rate as a whole number of hertz: an int, or a float with a whole value
    (48000.0). ``TypeError`` for anything else, ``ValueError`` unless it lies between 1 and
    2,147,483,647 Hz."""
    if type(sample_rate) is int:
        rate = sample_rate
    elif isinstance(sample_rate, (bool, np.bool_)):
        raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
    elif isinstance(sample_rate, (float, np.floating)):
        value = float(sample_rate)
        if not (math.isfinite(value) and value.is_integer()):
            raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
        rate = int(value)
    else:
        try:
            rate = operator.index(sample_rate)
        except TypeError:
            raise TypeError(
                f"sample_rate must be a whole number of hertz, got {sample_rate!r}"
            ) from None
    if not 1 <= rate <= MAX_SAMPLE_RATE:
        raise ValueError(
            f"sample_rate must be between 1 and {MAX_SAMPLE_RATE} Hz, got {shown_integer(rate)}"
        )
    return rate


def whole_number(name: str, value: Any) -> int:
    if type(value) is int:
        return value
    # True is an int to Python, and was taken as 1 channel, worker or frame.
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a whole number, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None


def check_callables(**given: Any) -> None:
    """Callbacks the caller passed (None for none): ``TypeError`` for one that cannot be
    called, before any work (one had failed once the first file was done)."""
    for name, value in given.items():
        if value is not None and not callable(value):
            raise TypeError(f"{name} must be callable, got {value!r}")


def check_count(name: str, value: Any) -> int:
    """A count of one or more (frames a chunk holds, channels), as a whole number:
    ``TypeError`` for anything else (True, 2.5, "100"), ``ValueError`` below 1 (a chunk of
    -5 frames had measured nothing, and said it was silence)."""
    given: object = value  # a whole float, as for sample rates
    if isinstance(given, float | np.floating) and math.isfinite(given) and given.is_integer():
        value = int(given)
    count = whole_number(name, value)
    if count < 1:
        raise ValueError(f"{name} must be 1 or more, got {shown_integer(count)}")
    return count
