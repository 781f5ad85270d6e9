"""Degradation steps: ``bitcrush`` (fewer bits), ``sample_hold`` (a lower sampling rate's
aliasing) and ``polarity`` (every sample negated). They hold nothing: each frame's output
depends on its own input (and, for a hold, on the frame that began its period), so any
chunking gives the same bits.

- ``bitcrush`` with b bits rounds x to the nearest of the 2**b levels k / 2**(b - 1), k
  from -2**(b - 1) to 2**(b - 1) - 1 (an exact tie to the even k), holding what lies beyond
  at the end levels: between them the error is at most half a step, 2**-b (the top level is
  a step below 1, so a sample near 1 is off by up to a step). The scaling is by a power of
  two and the rounding exact, so the output is that level exactly. NaN stays NaN.
- ``sample_hold`` at r Hz on a signal at f Hz: frame n belongs to period k = floor(n r / f),
  which begins at frame ceil(k f / r), and takes that frame's sample; frames are counted
  from the signal's first, in exact integer arithmetic. Nothing filters the input first, so
  what lies above r / 2 folds back below it: the aliasing of a converter without its
  filter. At or above the input's rate it changes nothing.
- ``polarity`` negates every sample, exactly.
"""

from __future__ import annotations

import numpy as np

from .base import PIECE, Frames, Step, empty, pieces

__all__ = ["Bitcrush", "SampleHold", "Polarity"]


class Bitcrush(Step):
    type = "bitcrush"

    def __init__(self, rate: int, channels: int, bits: int) -> None:
        super().__init__(rate, channels)
        self._scale = np.float32(2.0 ** (bits - 1))
        self._low = -self._scale
        self._high = self._scale - np.float32(1.0)

    def process(self, chunk: Frames) -> Frames:
        with np.errstate(over="ignore"):  # what overflows is held at the end level
            levels = np.multiply(chunk, self._scale)
        np.rint(levels, out=levels)  # in place: one array the size of the chunk
        np.clip(levels, self._low, self._high, out=levels)
        levels /= self._scale
        return levels

    def flush(self) -> Frames:
        return empty(self.out_channels)

    def reset(self) -> None:
        pass


class SampleHold(Step):
    type = "sample_hold"

    def __init__(self, rate: int, channels: int, hold_rate: int) -> None:
        super().__init__(rate, channels)
        self._hold = hold_rate
        self.reset()

    def reset(self) -> None:
        self._seen = 0
        self._value = np.zeros(self.in_channels, np.float32)

    def process(self, chunk: Frames) -> Frames:
        if self._hold >= self.in_rate or not chunk.shape[0]:
            self._seen += chunk.shape[0]
            return chunk.copy()
        out = np.empty_like(chunk)
        for begin in pieces(chunk.shape[0]):
            self._hold_piece(chunk[begin : begin + PIECE], out[begin : begin + PIECE])
        return out

    def _hold_piece(self, chunk: Frames, out: Frames) -> None:
        count = chunk.shape[0]
        rate, hold, base = self.in_rate, self._hold, self._seen
        # Periods and their first frames, relative to the chunk's first frame: the large
        # products in Python's integers, the rest small enough for int64.
        first_period, rest = divmod(base * hold, rate)
        offsets = np.arange(count, dtype=np.int64)
        periods = (rest + offsets * hold) // rate  # relative to first_period
        whole, part = divmod(first_period * rate, hold)
        starts = whole - base + -((-(part + periods * rate)) // hold)
        inside = starts >= 0
        out[inside] = chunk[starts[inside]]
        out[~inside] = self._value
        last = int(starts[-1])
        if last >= 0:
            self._value = chunk[last].copy()
        self._seen += count

    def flush(self) -> Frames:
        self.reset()
        return empty(self.out_channels)


class Polarity(Step):
    type = "polarity"

    def process(self, chunk: Frames) -> Frames:
        return np.negative(chunk)

    def flush(self) -> Frames:
        return empty(self.out_channels)

    def reset(self) -> None:
        pass
