"""Values the engine will clamp, told before it does.

The engine holds each parameter within its effect's range (see :mod:`kavri.catalogue`),
quietly: ``compressor:ratio=0.5`` runs at a ratio of 1, ``lowpass:frequency_hz=30000`` at
48 kHz runs at 23,952 Hz (0.499 of the rate). The front end says so, once per value, with a
:class:`ClampWarning` naming the effect, the key, the value and what it became. The
comparison is made as the engine makes it, in single precision, so a value the engine keeps
is never warned about.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from .catalogue import EFFECTS, Param, format_number
from .errors import KavriWarning

__all__ = ["ClampWarning", "clamped_values", "warn_clamped"]


class ClampWarning(KavriWarning):
    """A parameter outside its effect's range, which the engine holds at the bound."""


def _clamped(param: Param, value: Any, sample_rate: int) -> float | int | None:
    """What the engine makes of ``value``, or None when it keeps it."""
    if param.inert or isinstance(value, bool):
        return None
    number = np.float32(value)
    size = abs(number) if param.absolute else number
    if param.minimum is not None and size < np.float32(param.minimum):
        return param.minimum
    high = param.upper_bound(sample_rate)
    if high is not None and size > np.float32(high):
        return int(high) if param.integer else float(np.float32(high))
    return None


def _bound_text(param: Param, sample_rate: int) -> str:
    high = param.upper_bound(sample_rate)
    if param.maximum_rate_fraction is not None and high is not None:
        return f"{param.range_text()} = {format_number(high)} Hz at {sample_rate} Hz"
    return param.range_text()


def clamped_values(specs: Sequence[dict[str, Any]], sample_rate: int, first: int = 1) -> list[str]:
    """A sentence for each value of a checked chain that the engine would clamp at this
    sample rate, in chain order; ``first`` is the place in the whole chain of the first
    spec (a run of engine effects after a step does not begin the chain)."""
    notes = []
    for index, spec in enumerate(specs, start=first):
        info = EFFECTS[spec["type"]]
        for key, value in spec.items():
            param = info.by_key.get(key)
            if param is None:
                continue
            became = _clamped(param, value, sample_rate)
            if became is None:
                continue
            unit = f" {param.unit}" if param.unit in ("Hz", "ms", "dB") else ""
            notes.append(
                f"effect {index} ('{info.type}'): {key} = {format_number(value)} is outside "
                f"its range ({_bound_text(param, sample_rate)}); the engine uses "
                f"{format_number(became)}{unit}"
            )
        if info.type in ("low_shelf", "high_shelf"):
            note = _shelf_slope(spec, sample_rate)
            if note is not None:
                notes.append(f"effect {index} ('{info.type}'): {note}")
    return notes


def _shelf_slope(spec: dict[str, Any], sample_rate: int) -> str | None:
    """A shelf's slope that its gain cannot carry, which the engine takes as 1: the term
    under the square root of its design, worked out as the engine does, in single
    precision, falls below 0 (a slope of 2 past about 22.9 dB of gain). It had been replaced
    without a word."""
    info = EFFECTS[spec["type"]]
    given = {**info.defaults(), **spec}
    gain = _clamped(info.by_key["gain_db"], given["gain_db"], sample_rate)
    gain_db = np.float32(given["gain_db"] if gain is None else gain)
    slope = np.float32(max(np.float32(given["slope"]), np.float32(0.001)))
    one = np.float32(1.0)
    with np.errstate(over="ignore"):
        a = np.float32(np.power(np.float32(10.0), gain_db / np.float32(40.0)))
        radicand = (one / slope - one) * (one / a + a) + np.float32(2.0)
    if not radicand < 0:
        return None
    return (
        f"slope = {format_number(given['slope'])} is more than a gain of "
        f"{format_number(float(gain_db))} dB allows; the engine uses 1"
    )


def warn_clamped(
    specs: Sequence[dict[str, Any]],
    sample_rate: int,
    stacklevel: int = 2,
    first: int = 1,
    about: str = "",
) -> None:
    """Warns with a :class:`ClampWarning` for each value the engine would clamp; ``about``
    names the file it is about, where a run processes many."""
    for note in clamped_values(specs, sample_rate, first):
        warnings.warn(
            f"{about}: {note}" if about else note, ClampWarning, stacklevel=stacklevel + 1
        )
