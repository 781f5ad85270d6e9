"""``time_stretch`` (tempo alone) and ``pitch_shift`` (pitch alone), through Signalsmith
Stretch as the python-stretch package wraps it.

Why this library: Signalsmith Stretch is a well-kept polyphonic stretcher of good quality,
published under the MIT licence, and python-stretch ships it as wheels. Rubber Band, the
other candidate of that quality, is GPL or commercial, which would bind every user of this
package; the phase vocoders of librosa and its kin smear transients more.

Why blocks: python-stretch offers one call over a whole buffer (it primes, runs and drains
the stretcher in one go and resets it), not a stream. A chunk of a stream cannot be handed
to it, since its output would then depend on where the caller cut. So the signal is cut
here, at fixed places counted from its first frame: block k covers the input frames
[k B, (k + 1) B) with B = 2 s of frames, and is stretched with 0.25 s of the signal on
either side as context, from a stretcher made new with a fixed seed. Neighbouring blocks
overlap by 50 ms of output around each block boundary and are crossfaded there with
complementary raised-cosine gains (they add up to 1). Two renderings of the overlap, from
stretchers started at different places, have different phases, and crossfading them as
they are can cancel a steady tone for a moment; so each block is first shifted, by at most
12 ms (never accumulating: the shift is taken from the block's own place), to where its
overlap correlates best with the block before, as WSOLA lines up its segments. Every
block's output is a function of the signal alone, so any chunking, a whole call included,
gives the same bits. The cost is a stream that holds a block and its context (about
2.25 s) before it releases anything, and a crossfade every 2 s whose timing may move by up
to 12 ms.

Signalsmith Stretch runs on the calling thread, and what randomness it uses comes from the
seed it is made with, fixed here, so nothing but the signal reaches its bits.

Lengths: time_stretch by a tempo factor f gives round(N / f) frames for N frames in (exact
arithmetic, an exact half rounded up), block boundary k at output frame round(k B / f);
pitch_shift keeps N. A factor of exactly 1, or a shift of exactly 0, leaves the signal as it
is (the stretcher would still colour it). python-stretch takes one or two channels; more
channels go through in pairs (0-1, 2-3, ...), a last odd one alone, so a pair keeps its
stereo image.
"""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np
from python_stretch import Signalsmith

from .._engine import check_memory
from .base import Frames, Step, empty, join, round_half_up

__all__ = ["Stretcher", "block_frames"]

BLOCK_SECONDS = 2.0
CONTEXT_SECONDS = 0.25
CROSSFADE_SECONDS = 0.05
# How far a block may be shifted to line up with the block before: a period of 42 Hz.
REACH_SECONDS = 0.012
SEED = 1
# The peaks a segment is stretched at as it is (see Stretcher._stretch).
_QUIET, _LOUD = 2.0**-10, 2.0**10


def block_frames(rate: int) -> tuple[int, int, int]:
    """Input frames per block, input frames of context either side, and half the crossfade
    in output frames, at a sample rate."""
    return (
        max(1024, round(BLOCK_SECONDS * rate)),
        max(256, round(CONTEXT_SECONDS * rate)),
        max(8, round(CROSSFADE_SECONDS * rate / 2)),
    )


def _pairs(channels: int) -> list[tuple[int, int]]:
    return [(lo, min(lo + 2, channels)) for lo in range(0, channels, 2)]


class Stretcher(Step):
    """A tempo factor and a pitch shift in semitones over fixed, crossfaded blocks."""

    def __init__(
        self, step_type: str, rate: int, channels: int, factor: float, semitones: float
    ) -> None:
        super().__init__(rate, channels)
        self.type = step_type
        self._factor = factor
        self._exact = Fraction(factor)
        self._semitones = semitones
        self._block, self._context, self._half = block_frames(rate)
        self._reach = max(1, round(REACH_SECONDS * rate))
        # The crossfade's tables, and a stretcher's buffers, grow with the rate: the latter
        # about 9 bytes a channel for each hertz (measured), 12 counted. At a rate of
        # gigahertz they took seconds to make and then ended in std::bad_alloc.
        check_memory(
            2 * self._half * 24 + 12 * min(2, channels) * rate,
            f"{step_type}: a stretcher at {rate} Hz",
        )
        self._ramps: tuple[Frames, Frames] | None = None
        self.reset()

    def _crossfade(self) -> tuple[Frames, Frames]:
        """The crossfade's rising and falling tables, made when first used: a plan's step
        that only answers output lengths makes none (at a rate of gigahertz, gigabytes)."""
        if self._ramps is None:
            ramp = (np.arange(2 * self._half, dtype=np.float64) + 0.5) / (2 * self._half)
            rise = (np.sin(0.5 * np.pi * ramp) ** 2).astype(np.float32)[:, None]
            self._ramps = (rise, (np.float32(1.0) - rise).astype(np.float32))
        return self._ramps

    def reset(self) -> None:
        self._input = empty(self.in_channels)
        self._base = 0  # the absolute index of self._input's first frame
        self._taken = 0
        self._next = 0  # the next block to stretch
        self._carry = empty(self.out_channels)  # the falling part of the block before
        self._previous = empty(self.out_channels)  # the same, unweighted
        self._released = 0

    @property
    def held_frames(self) -> int:
        return int(self._input.shape[0] + self._carry.shape[0])

    def _at(self, frame: int) -> int:
        """The output frame that input frame ``frame`` maps to."""
        return round_half_up(Fraction(frame) / self._exact)

    def output_frames(self, frames: int) -> int:
        return self._at(frames)

    def most_output_frames(self, frames: int) -> int:
        return self._at(frames)

    def _stretch(self, segment: Frames, length: int) -> Frames:
        """One segment through new stretchers, as ``length`` frames (cut or padded).

        The stretcher's analysis works in single precision around full scale: a tone
        peaking at 4,000 came out 4 dB low, at 1e10 as NaN, and one at 1e-6 5 dB low. So a
        segment whose peak lies outside [2^-10, 2^10) is scaled by the power of two that
        brings its peak into [0.5, 1), and its output back (both exact); others go as they
        are. The segment is fixed by its place in the signal, so the scale is too: any
        chunking gives the same bits."""
        out = np.zeros((length, self.out_channels), np.float32)
        check_memory(4 * out.size * 3, f"{self.type}: a block of {segment.shape[0]} frames")
        peak = float(np.max(np.abs(segment))) if segment.size else 0.0
        exponent = 0
        if math.isfinite(peak) and peak > 0.0 and not _QUIET <= peak < _LOUD:
            exponent = math.frexp(peak)[1]
            segment = np.ldexp(segment, -exponent).astype(np.float32)
        for lo, hi in _pairs(self.in_channels):
            stretcher = Signalsmith.Stretch(SEED)
            stretcher.preset(hi - lo, float(self.in_rate))
            stretcher.setTimeFactor(self._factor)
            if self._semitones:
                stretcher.setTransposeSemitones(self._semitones)
            rows: Frames = np.asarray(
                stretcher.process(np.ascontiguousarray(segment[:, lo:hi].T)), np.float32
            )
            count = min(length, rows.shape[1])
            out[:count, lo:hi] = rows[:, :count].T
        if exponent:
            with np.errstate(over="ignore"):
                out = np.ldexp(out, exponent).astype(np.float32)
        return out

    def _lag(self, previous: Frames, candidates: Frames) -> int:
        """The shift, within ±``self._reach`` frames, that best lines ``candidates`` (the
        overlap and ``self._reach`` frames either side) up with ``previous`` (the block
        before, unweighted, over the overlap): the highest normalised cross-correlation,
        summed over channels; the smallest shift among equals, so silence stays put."""
        size = previous.shape[0]
        reach = (candidates.shape[0] - size) // 2
        if size == 0 or reach <= 0:
            return 0
        a = previous.astype(np.float64)
        b = candidates.astype(np.float64)
        score = np.zeros(2 * reach + 1)
        for ch in range(a.shape[1]):
            score += np.correlate(b[:, ch], a[:, ch], mode="valid")
        energy = np.concatenate([[0.0], np.cumsum(np.sum(b * b, axis=1))])
        window = energy[size:] - energy[: energy.size - size]
        score = score / np.sqrt(np.maximum(window, 1e-30))
        lags = np.arange(-reach, reach + 1)
        order = np.argsort(np.abs(lags), kind="stable")
        return int(lags[order[int(np.argmax(score[order]))]])

    def _span(self, k: int, total: int | None) -> tuple[int, int, int, bool, int, int, int]:
        """Where block ``k`` lies: the input it reads (``start`` to ``end``, ``stop``
        without an end), whether it is the last, and the output it gives (``low`` to
        ``high``, counted from the output frame ``origin`` of its first input frame)."""
        size = self._block
        start = max(0, k * size - self._context)
        stop = (k + 1) * size + self._context
        end = stop if total is None else min(total, stop)
        last = total is not None and total <= (k + 1) * size
        final = self._at(total) if total is not None else None
        low = 0 if k == 0 else self._at(k * size) - self._half
        high = self._at((k + 1) * size) + self._half
        if final is not None:
            high = min(high, final) if not last else final
        return start, stop, end, last, low, high, self._at(start)

    def most_flush_frames(self, frames: int) -> int:
        return self._at(self._taken + frames) - self._released

    def check_flush(self, frames: int) -> None:
        # The blocks the flush stretches, the largest asked for, with the output joined.
        total = self._taken + frames
        most, k = 0, self._next
        while total and k * self._block < total:
            *_, high, origin = self._span(k, total)
            most = max(most, high + self._reach - origin)
            k += 1
        rest = self.most_flush_frames(frames)
        check_memory(
            4 * self.out_channels * (3 * most + rest), f"{self.type}: the blocks of the flush"
        )

    def _run_block(self, total: int | None) -> Frames:
        """Stretches block ``self._next``; ``total`` is the signal's length once known."""
        k, size, reach = self._next, self._block, self._reach
        start, stop, end, last, low, high, origin = self._span(k, total)
        segment = self._input[start - self._base : end - self._base]
        if k > 0 and end < stop:
            # The signal ends within the segment: silence after it lets the stretcher
            # render past the end, as far as the shift below may reach (the first block is
            # not shifted, and keeps its bits). Without it the block's last frames came
            # from the zeros that pad a rendering cut short: up to 12 ms of exact silence
            # at the end of the output.
            after = math.ceil(2 * (reach + self._half) * self._factor) + 1
            silence = np.zeros((after, self.in_channels), np.float32)
            segment = np.concatenate([segment, silence])
        # Rendered past both ends by the reach, for the shift that lines it up below.
        rendered = self._stretch(segment, max(high + reach - origin, 0))
        lag = 0
        if k > 0:
            # The two renderings of the overlap come from stretchers started at different
            # places, so their phases differ: this block is shifted (by at most the reach,
            # never accumulating) to where its overlap best matches the block before.
            begin = low - origin - reach
            lag = self._lag(self._previous, rendered[begin : begin + 2 * (self._half + reach)])
        stretched = rendered[low - origin + lag : high - origin + lag]
        if k > 0:
            overlap = min(2 * self._half, stretched.shape[0])
            head = stretched[:overlap] * self._crossfade()[0][:overlap] + self._carry[:overlap]
            stretched = np.concatenate([head, stretched[overlap:]])
        self._next += 1
        drop = max(0, (k + 1) * size - self._context - self._base)
        self._input = self._input[drop:]
        self._base += drop
        if last:
            self._carry = empty(self.out_channels)
            return stretched
        keep = max(0, high - (self._at((k + 1) * size) - self._half))
        keep = min(keep, stretched.shape[0])
        split = stretched.shape[0] - keep
        raw = rendered[low - origin + lag + split : high - origin + lag]
        self._previous = raw.copy()
        self._carry = (raw * self._crossfade()[1][:keep]).astype(np.float32)
        return stretched[:split]

    def check_hold(self, frames: int) -> None:
        # Asked before any stage of a stream runs the chunk: refused inside it, the stream
        # had to be reset, its held frames lost.
        check_memory(
            (self._input.shape[0] + frames) * self.in_channels * 4,
            f"{self.type}: input held for the next block",
        )

    def process(self, chunk: Frames) -> Frames:
        if chunk.shape[0]:
            self.check_hold(chunk.shape[0])
            self._input = np.concatenate([self._input, chunk])
            self._taken += chunk.shape[0]
        outs = []
        while self._taken >= (self._next + 1) * self._block + self._context:
            outs.append(self._run_block(None))
        return self._collect(outs)

    def _collect(self, outs: list[Frames]) -> Frames:
        if not outs:
            return empty(self.out_channels)
        out = join(outs, self.type)
        self._released += out.shape[0]
        return out

    def flush(self) -> Frames:
        total = self._taken
        outs = []
        while total and self._next * self._block < total:
            outs.append(self._run_block(total))
        out = self._collect(outs)
        short = self.output_frames(total) - self._released
        if short > 0:
            out = join([out, np.zeros((short, self.out_channels), np.float32)], self.type)
        self.reset()
        return out


def time_stretch_step(rate: int, channels: int, factor: float) -> Stretcher:
    return Stretcher("time_stretch", rate, channels, factor, 0.0)


def pitch_shift_step(rate: int, channels: int, semitones: float) -> Stretcher:
    return Stretcher("pitch_shift", rate, channels, 1.0, semitones)
