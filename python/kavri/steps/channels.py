"""Channel steps: ``mixdown`` to mono, ``channels`` (a matrix, or a channel count to conform
to) and ``swap``. They hold nothing: each frame comes out as it goes in.

Sums are taken in single precision, input channel by input channel in order, skipping the
gains that are exactly 0 (a channel not picked cannot bring its NaN into the result) and
copying where a gain is exactly 1, so that selecting, duplicating and reordering channels
move the samples bit for bit.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from .._engine import check_memory
from .base import Frames, Step

__all__ = ["ChannelMatrix", "Swap", "mixdown_matrix", "count_matrix"]


def mixdown_matrix(channels: int, weights: Sequence[float]) -> list[list[float]]:
    """One output row: the weights given, or 1/channels for each (one channel: itself)."""
    if weights:
        return [list(weights)]
    check_memory(channels * 8, f"mixdown: the weights of {channels} channels")
    return [[1.0 if channels == 1 else 1.0 / channels] * channels]


def count_matrix(channels: int, count: int) -> list[list[float]] | None:
    """The map that conforms ``channels`` to ``count``: 1 mixes down with equal gain, a mono
    signal is copied to every channel, a signal with ``count`` channels is left as it is.
    None for any other pair: which channels to keep or drop is the user's to say."""
    if count == channels:
        return [[1.0 if i == j else 0.0 for j in range(channels)] for i in range(channels)]
    if count == 1:
        return mixdown_matrix(channels, ())
    if channels == 1:
        return [[1.0] for _ in range(count)]
    return None


class ChannelMatrix(Step):
    """Output channel i = sum over j of matrix[i][j] x input channel j."""

    def __init__(self, step_type: str, rate: int, matrix: Sequence[Sequence[float]]) -> None:
        super().__init__(rate, len(matrix[0]))
        self.type = step_type
        self.out_channels = len(matrix)
        # Each row's picked channels and gains as arrays: as Python numbers, a mixdown of a
        # million channels took 150 bytes a channel.
        check_memory(
            self.out_channels * self.in_channels * 32,
            f"{step_type}: a matrix of {self.out_channels} x {self.in_channels}",
        )
        self._rows: list[tuple[npt.NDArray[np.intp], npt.NDArray[np.float32]]] = []
        for row in matrix:
            gains = np.asarray(row, np.float64)
            picked = np.flatnonzero(gains != 0.0)
            self._rows.append((picked, gains[picked].astype(np.float32)))

    def process(self, chunk: Frames) -> Frames:
        out = np.zeros((chunk.shape[0], self.out_channels), np.float32)
        for i, (picked, gains) in enumerate(self._rows):
            column = out[:, i]
            for n, (j, gain) in enumerate(zip(picked.tolist(), gains, strict=True)):
                source = chunk[:, j]
                if n == 0:
                    column[:] = source if gain == 1.0 else source * gain
                elif gain == 1.0:
                    column += source
                else:
                    column += source * gain
        return out

    def flush(self) -> Frames:
        return np.zeros((0, self.out_channels), np.float32)

    def reset(self) -> None:
        pass


class Swap(Step):
    """Channels 0 and 1 change places; the others stay; a mono signal is left as it is."""

    type = "swap"

    def process(self, chunk: Frames) -> Frames:
        if self.in_channels < 2:
            return chunk.copy()
        order = [1, 0, *range(2, self.in_channels)]
        return np.ascontiguousarray(chunk[:, order])

    def flush(self) -> Frames:
        return np.zeros((0, self.out_channels), np.float32)

    def reset(self) -> None:
        pass
