"""Noise steps: ``noise`` adds white, pink, brown, blue or violet noise, at a signal-to-noise
ratio or at an absolute level; :class:`SquareMeter` measures a signal's power for a ratio.

The white noise. Sample n of channel c is Gaussian, made from the words of NumPy's
Philox-4x64-10 with the key (seed, NOISE_KEY + c): frames are made in blocks of
:data:`BLOCK` (8,192) counted from the first, and block b takes the 4,096 64-bit words that
``random_raw`` gives once the state's counter is set to 1,024 b. Word k gives frames 2k and
2k + 1, from its low and its high 32 bits: each is a uniform draw (its 32 bits, plus a half,
over 2**32) turned into a Gaussian one by the normal distribution's quantile function,
looked up in a table of 65,537 points (the quantiles of i / 65,536) and interpolated
linearly between the two points around the draw (its top 16 bits pick them, its low 16
bits place it between them); the two outermost spans, where the quantile bends most, have
tables of their own at every one of their 65,536 draws. So any frame's noise comes straight
from its counter, with no generator run up to it: the bits do not depend on how the signal
is cut, on workers or on block sizes, and the same seed gives the same bits in any process.
The lookup is written here because nothing on offer can promise that: NumPy's normal
generator takes a varying number of words per sample, and a transform through log, sin and
cos would take NumPy's single-precision functions, which it picks by the processor as it
loads (so two machines could differ in the last bits). The lookup takes one subtraction,
one multiplication and one addition in single precision, each correctly rounded on every
processor; the tables are made once from Python's own normal distribution. Samples are at
most 6.2 (the quantile of 2**-33) from 0.

The colours. The white noise goes through a filter designed for the rate, whose power
response follows f**a (a = -1 pink, -2 brown, 1 blue, 2 violet) within 0.05 dB (pink, blue)
or 0.15 dB (brown, violet; 0.17 dB at some rates under 1 kHz) from 20 Hz to 0.45 x the
rate: first-order poles and zeros interleaved evenly in log frequency from 5 Hz (pink; blue
swaps them), or a leaky integrator with its corner at 2 Hz (brown; violet is a
differentiator), mapped by the matched z transform, with the highest poles and zeros and
two more pairs fitted by least squares (scipy) to the slope on a log grid, since the
mapping bends the slope near half the rate (from two first guesses, the closer fit kept; on
Python's own math functions, so that a fit gives the same numbers on every processor; a
pole that a fit leaves on the unit circle is cancelled with its zero or moved in to a
corner of 1 Hz). The fits of the common rates are kept as SciPy made them
(``kavri._filter_designs``, held to it by the tests), and the sections run in native double
precision with the bits of scipy.signal.sosfilt, so that noise does not load SciPy (about a
second). The filter's state is carried from chunk to chunk, so the output does not depend
on the chunking either. So that the noise starts stationary, the filter first runs over the
noise of the frames before the signal, until its slowest pole has decayed by 120 dB: frame
n of the output is the filter's output at white frame n + W. The noise is scaled to an
expected RMS of 1 (the filter's power gain, from its impulse response), then by the level.

Levels. With mode "level" the noise's expected RMS is ``level_db`` dBFS (an RMS of 1.0 is 0
dBFS); a short stretch of brown noise, all low frequencies, measures above or below it. With
mode "snr" the noise is scaled so that the input's RMS over the noise's RMS, each over the
whole input and all channels, is ``snr_db``: measured, not expected, so a result measures
that ratio (to single-precision rounding). A silent input gets no noise. A call measures
the input it holds; a file is measured in a pass of its own before the writing pass (as for
``normalize``); a stream, whose future is unknown, holds the whole signal until the flush
(counted by the memory guard), so that its bits are those of one call. A live stream that
cannot wait takes mode "level".
"""

from __future__ import annotations

import contextlib
import functools
import math
import threading
from collections.abc import Iterator
from contextlib import AbstractContextManager
from typing import Any

import numpy as np
import numpy.typing as npt

from .._engine import check_memory, filter_sections
from .._filter_designs import NOISE_DESIGNS
from ..catalogue import NOISE_COLOURS
from ..random_chain import register_resolver
from .base import FrameBuffer, Frames, Step, empty

__all__ = [
    "BLOCK",
    "NOISE_KEY",
    "MixedNoise",
    "Noise",
    "NoiseSource",
    "SquareMeter",
    "colour_filter",
    "white_block",
    "white_blocks",
    "snr_gain",
]

BLOCK = 8192
_RUN = 16  # blocks made in one go: 131,072 frames, 0.5 MiB of float32
_WORDS = BLOCK // 2  # one 64-bit word gives two samples
_COUNTERS = _WORDS // 4  # Philox-4x64 gives four words a counter
# The second key word of channel c is NOISE_KEY + c: noise never shares its words with the
# random chains' draws, keyed on (seed, index) with the counter from 0.
NOISE_KEY = 0x6E6F697365 << 24
_THREAD = threading.local()


def _philox(seed: int, key: int, counter: int) -> np.random.Philox:
    """This thread's Philox set to a key and a counter (one object per thread: a new one
    would gather entropy for a seed it never uses)."""
    bits = getattr(_THREAD, "philox", None)
    if bits is None:
        bits = _THREAD.philox = np.random.Philox(key=np.zeros(2, np.uint64))
    bits.state = {
        "bit_generator": "Philox",
        "state": {
            "counter": np.array([counter, 0, 0, 0], dtype=np.uint64),
            "key": np.array([seed, key], dtype=np.uint64),
        },
        "buffer": np.zeros(4, np.uint64),
        "buffer_pos": 4,
        "has_uint32": 0,
        "uinteger": 0,
    }
    return bits


_SPAN = 1 << 16


@functools.cache
def _quantile_tables() -> tuple[npt.NDArray[np.float32], ...]:
    """In single precision: the normal quantile at the start of each of the 65,536 spans
    (the outermost held at the outermost draw's), each span's width (the next start less
    this one, as the interpolation would take it), the place of each of a span's draws
    within it, and the quantile at every draw of the lowest and of the highest span. Made
    once (a cache, so that threads starting at once never share a half-built list)."""
    from statistics import NormalDist

    quantile = NormalDist().inv_cdf
    edges = np.array(
        [quantile(min(max(i / _SPAN, 2.0**-33), 1.0 - 2.0**-33)) for i in range(_SPAN + 1)],
        np.float32,
    )
    lowest = np.array([quantile((j + 0.5) / 2.0**32) for j in range(_SPAN)], np.float32)
    place = (np.arange(_SPAN, dtype=np.float32) + np.float32(0.5)) * np.float32(2.0**-16)
    return (edges[:-1], edges[1:] - edges[:-1], place, lowest, -lowest[::-1])


def _gaussian(draws: npt.NDArray[np.uint16]) -> npt.NDArray[np.float32]:
    """32-bit uniform draws, each as its (low, high) 16-bit halves in rows, as Gaussian
    samples by the quantile tables: the high half picks the span, the low half the place."""
    starts, widths, places, lowest, highest = _quantile_tables()
    within, span = draws[:, 0], draws[:, 1]
    index = span.astype(np.intp)
    # start + width x place, each step in single precision; the places are worked out
    # rather than looked up (the same bits: (j + 0.5) / 2**16 is exact), and np.take reads
    # the tables several times faster than indexing.
    out: npt.NDArray[np.float32] = within.astype(np.float32)
    out += np.float32(0.5)
    out *= np.float32(2.0**-16)
    out *= np.take(widths, index)
    out += np.take(starts, index)
    # The two outermost spans (span 0 and 65,535: those that wrap to 0 or 1 when 1 is added).
    edge = np.flatnonzero(span + np.uint16(1) <= np.uint16(1))
    if edge.size:
        inner = within[edge]
        out[edge] = np.where(span[edge] == 0, lowest[inner], highest[inner])
    return out


def white_blocks(seed: int, channel: int, first: int, count: int) -> npt.NDArray[np.float32]:
    """Frames [BLOCK first, BLOCK (first + count)) of the white noise of a channel, as
    described above: word k's low 32 bits make frame 2k and its high 32 bits frame 2k + 1.
    Consecutive blocks take consecutive counters, so they come from one run of Philox."""
    words = _philox(seed, NOISE_KEY + channel, first * _COUNTERS).random_raw(count * _WORDS)
    return _gaussian(words.astype("<u8").view("<u2").reshape(count * BLOCK, 2))


def white_block(seed: int, channel: int, block: int) -> npt.NDArray[np.float32]:
    """Frames [BLOCK b, BLOCK (b + 1)) of the white noise of a channel."""
    return white_blocks(seed, channel, block, 1)


# ---------------------------------------------------------------------------------------
# The colouring filters.

_LOW_HZ, _HIGH_SHARE = 20.0, 0.45
_PINK_FROM_HZ = 5.0
_BROWN_CORNER_HZ = 2.0
_PER_DECADE = 2.5
_SETTLED = 1e-6  # the slowest pole decays this far (-120 dB) before frame 0
_FIT_POINTS = 200  # frequencies of the fit, evenly in log frequency
# The first guesses of the two pairs the fit adds. A fit may settle in a poorer minimum
# from one of them (brown at 48 kHz: 0.22 dB from the slope against 0.05 dB), so it runs
# from each and keeps the closer result.
_FIT_STARTS = ((0.0, 0.5), (0.25, 0.75))
_UNIT = 0.999999  # a first guess at most this (matched poles reach 1 at very high rates)


def _chords(w: list[float]) -> npt.NDArray[np.float64]:
    """4 sin(w/2)**2 at each frequency w (radians a sample): a first-order factor's power
    there is |1 - q e^-jw|**2 = (1 - q)**2 + q 4 sin(w/2)**2, without the cancellation of
    1 - 2 q cos w + q**2 when q is near 1 and w near 0."""
    halves = [math.sin(x / 2.0) for x in w]
    return np.array([4.0 * (h * h) for h in halves])


def _response_db(poles: list[float], zeros: list[float], chords: np.ndarray) -> np.ndarray:
    power = np.ones_like(chords)
    for q in zeros:
        power = power * ((1.0 - q) * (1.0 - q) + q * chords)
    for p in poles:
        power = power / ((1.0 - p) * (1.0 - p) + p * chords)
    return np.array([10.0 * math.log10(v) for v in power])


def _matched(hz: float, rate: int) -> float:
    return math.exp(-2.0 * math.pi * hz / rate)


def _design(slope: int, rate: int) -> tuple[list[float], list[float]]:
    """Real poles and zeros whose power response follows f**slope (see the module's text):
    kept for the common rates, fitted for the others."""
    kept = NOISE_DESIGNS.get((slope, rate))
    if kept is None:
        return design_fitted(slope, rate)
    return list(kept[0]), list(kept[1])


def design_fitted(slope: int, rate: int) -> tuple[list[float], list[float]]:
    """The poles and zeros of a slope at a rate, fitted by SciPy.

    The fit gives the same numbers on every processor: its residuals take their sines,
    logarithms and hyperbolic tangents from Python's math module (the C library, one
    routine for every processor), never from NumPy, which picks its own vector versions of
    them by the processor as it loads; the rest is single arithmetic operations, correctly
    rounded everywhere, and a sum that rounds only once (math.fsum). A fit steps through
    the residuals many times, so a difference in their last bits could end it at another
    minimum altogether: noise at a rate that is not kept would then differ from machine to
    machine."""
    poles: list[float] = []
    zeros: list[float] = []
    fixed_poles: list[float] = []
    fixed_zeros: list[float] = []
    if abs(slope) == 1:
        top = rate / 2.0
        count = max(1, math.ceil(math.log10(max(top / _PINK_FROM_HZ, 10.0)) * _PER_DECADE))
        ratio = (top / _PINK_FROM_HZ) ** (1.0 / count)
        poles = [_matched(_PINK_FROM_HZ * ratio**i, rate) for i in range(count)]
        zeros = [_matched(_PINK_FROM_HZ * ratio ** (i + 0.5), rate) for i in range(count)]
        if slope > 0:
            poles, zeros = zeros, poles
    elif slope == -2:
        fixed_poles = [_matched(_BROWN_CORNER_HZ, rate)]
    else:
        fixed_zeros = [1.0]
    keep = max(0, len(poles) - 2)
    fixed_poles += poles[:keep]
    fixed_zeros += zeros[:keep]
    high = _HIGH_SHARE * rate
    if high <= _LOW_HZ * 1.5:  # no band to fit (a rate under 67 Hz): the first guess
        extra = list(_FIT_STARTS[0])
        return fixed_poles + poles[keep:] + extra, fixed_zeros + zeros[keep:] + extra
    points = _FIT_POINTS - 1
    w = [
        2.0 * math.pi * _LOW_HZ * (high / _LOW_HZ) ** (i / points) / rate
        for i in range(_FIT_POINTS)
    ]
    chords = _chords(w)
    target = np.array([10.0 * slope * math.log10(x) for x in w])
    base = _response_db(fixed_poles, fixed_zeros, chords) - target
    count = len(poles[keep:]) + 2

    def deviation(v: list[float]) -> np.ndarray:
        d = base + _response_db(v[:count], v[count:], chords)
        return np.asarray(d - math.fsum(d) / len(d))

    def residual(x: np.ndarray) -> np.ndarray:
        return deviation([math.tanh(float(t)) for t in x])

    import scipy.optimize  # slow to load: imported when a colour is first designed

    fits = []
    for pair in _FIT_STARTS:
        free = poles[keep:] + list(pair) + zeros[keep:] + list(pair)
        start = np.array([math.atanh(v if v < _UNIT else _UNIT) for v in free])
        found = scipy.optimize.least_squares(residual, start, method="lm", max_nfev=4000).x
        fitted = _settled([math.tanh(float(t)) for t in found], count, rate)
        if fitted is not None:
            squares = math.fsum(float(r) * float(r) for r in deviation(fitted))
            fits.append((squares, fitted))
    if not fits:  # no fit could be made stable: the first guess
        extra = list(_FIT_STARTS[0])
        return fixed_poles + poles[keep:] + extra, fixed_zeros + zeros[keep:] + extra
    fitted = min(fits, key=lambda fit: fit[0])[1]  # the first of equals
    return fixed_poles + fitted[:count], fixed_zeros + fitted[count:]


def _settled(fitted: list[float], count: int, rate: int) -> list[float] | None:
    """A fit's poles (the first count) and zeros made fit to run, or None if they cannot be.

    The fit sees only 20 Hz to 0.45 x the rate, and at some rates it settles with a pole on
    the unit circle (or a hair inside it), where the filter never settles and its power is
    unbounded. Such a pole with a zero at least as near it is a pair that cancels: both go.
    A pole near 1 left alone stands for gain below the band, and is moved in to a corner
    of 1 Hz, which changes the band by at most 0.011 dB (10 log10(1 + (1/20)**2)). A pole
    near -1 left alone is a resonance at half the rate, above the band, which would take
    nearly all the power: the fit is refused. A fit whose poles are all inside that corner
    is kept as it is."""
    bound = _matched(1.0, rate)
    poles, zeros = fitted[:count], fitted[count:]
    if all(-bound <= p <= bound for p in poles):
        return fitted
    poles, zeros = list(poles), list(zeros)
    for i, p in enumerate(poles):
        if -bound <= p <= bound:
            continue
        j = min(range(len(zeros)), key=lambda k: abs(zeros[k] - p))
        if abs(zeros[j] - p) <= 1.0 - bound:
            poles[i], zeros[j] = 0.0, 0.0
        elif p > 0.0:
            poles[i] = bound
        else:
            return None
    return poles + zeros


# A few hundred bytes a design, and a fit at a rate not kept takes 10-80 ms: a random chain
# that resamples to a drawn rate before coloured noise met a new rate on almost every clip
# when only 64 were kept.
@functools.lru_cache(maxsize=8192)
def colour_filter(colour: str, rate: int) -> tuple[npt.NDArray[np.float64], float, int]:
    """The filter of a colour at a rate: second-order sections (scipy's layout), the gain
    that makes its output's expected RMS 1, and the frames it runs before frame 0. White has
    no sections."""
    slope = NOISE_COLOURS[colour]
    if slope == 0:
        return np.zeros((0, 6)), 1.0, 0
    poles, zeros = _design(slope, rate)
    size = max(len(poles), len(zeros))
    size += size % 2
    poles = sorted(poles + [0.0] * (size - len(poles)), reverse=True)
    zeros = sorted(zeros + [0.0] * (size - len(zeros)), reverse=True)
    sections = []
    for i in range(0, size, 2):
        q1, q2, p1, p2 = zeros[i], zeros[i + 1], poles[i], poles[i + 1]
        sections.append([1.0, -(q1 + q2), q1 * q2, 1.0, -(p1 + p2), p1 * p2])
    sos = np.array(sections, dtype=np.float64)
    slowest = max(abs(p) for p in poles)
    warm = 0 if slowest <= 0.0 else math.ceil(math.log(_SETTLED) / math.log(slowest))
    # The power gain, from the impulse response until it has decayed as far (a run that
    # grows with the rate: at hundreds of MHz, more memory than there is).
    check_memory(max(warm, 64) * 2 * 8, f"noise: the {colour} filter's response at {rate} Hz")
    impulse = np.zeros((max(warm, 64) * 2, 1))
    impulse[0] = 1.0
    filter_sections(sos, impulse, np.zeros((sos.shape[0], 2, 1)))
    power = float(np.sum(np.square(impulse[:, 0])))
    return sos, 1.0 / math.sqrt(power), warm


class NoiseSource:
    """The coloured noise of one seed, frame after frame from frame 0, as float64 (frames,
    channels) of expected RMS 1."""

    def __init__(self, colour: str, rate: int, channels: int, seed: int) -> None:
        self.channels = channels
        self._seed = seed
        self._sos, self._gain, self._warm = colour_filter(colour, rate)
        self._cached: dict[int, tuple[int, npt.NDArray[np.float32]]] = {}
        self.reset()

    def reset(self) -> None:
        self._next = 0
        self._state: npt.NDArray[np.float64] | None = None

    def _white(self, start: int, count: int) -> npt.NDArray[np.float64]:
        """White frames [start, start + count) of every channel (as float64), made up to
        _RUN blocks at a time; a channel's last block is kept for the next call."""
        out = np.empty((count, self.channels), np.float64)
        if not count:
            return out
        first, last = start // BLOCK, (start + count - 1) // BLOCK
        for channel in range(self.channels):
            block = first
            while block <= last:
                cached = self._cached.get(channel)
                if cached is not None and cached[0] == block:
                    made, blocks = cached[1], 1
                else:
                    blocks = min(last - block + 1, _RUN)
                    made = white_blocks(self._seed, channel, block, blocks)
                    self._cached[channel] = (block + blocks - 1, made[-BLOCK:])
                low = max(start, block * BLOCK)
                high = min(start + count, (block + blocks) * BLOCK)
                out[low - start : high - start, channel] = made[
                    low - block * BLOCK : high - block * BLOCK
                ]
                block += blocks
        return out

    def _filter(self, white: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        if not self._sos.shape[0]:
            return white
        assert self._state is not None
        filter_sections(self._sos, white, self._state)  # in place, the state carried
        return white

    def take(self, count: int) -> npt.NDArray[np.float64]:
        """The next ``count`` frames."""
        if not count:
            return np.zeros((0, self.channels))
        if self._state is None:
            self._state = np.zeros((self._sos.shape[0], 2, self.channels))
            done = 0
            while done < self._warm:  # the filter's run-in, before frame 0
                step = min(BLOCK, self._warm - done)
                self._filter(self._white(done, step))
                done += step
        out = self._filter(self._white(self._warm + self._next, count))
        self._next += count
        if self._gain != 1.0:
            out *= self._gain
        return out


class SquareMeter:
    """The sum of squares of a signal fed in chunks, the same for any chunking: frames are
    summed in blocks of 4,096 counted from the first (each block's squares, exact in double
    precision, summed by NumPy in one call over the same shape) and the blocks' sums added
    in order. Non-finite samples count as 0."""

    SIZE = 4096

    def __init__(self, channels: int) -> None:
        self.channels = channels
        self._part = np.zeros((self.SIZE, channels), np.float64)
        self._fill = 0
        self._total = 0.0
        self.frames = 0

    @staticmethod
    def _sum(rows: npt.NDArray[np.float64]) -> float:
        flat = np.ascontiguousarray(rows).ravel()
        return float(np.sum(np.square(np.where(np.isfinite(flat), flat, 0.0)), dtype=np.float64))

    def add(self, chunk: npt.ArrayLike) -> None:
        rows = np.asarray(chunk)
        self.frames += rows.shape[0]
        done = 0
        while done < rows.shape[0]:
            take = min(self.SIZE - self._fill, rows.shape[0] - done)
            self._part[self._fill : self._fill + take] = rows[done : done + take]
            self._fill += take
            done += take
            if self._fill == self.SIZE:
                self._total += self._sum(self._part)
                self._fill = 0

    def result(self) -> tuple[float, int]:
        """(the sum of squares over every channel, the frames)."""
        return self._total + self._sum(self._part[: self._fill]), self.frames


def snr_gain(signal: tuple[float, int], noise: tuple[float, int], snr_db: float) -> float:
    """The gain on a noise that puts it ``snr_db`` below a signal in RMS; 0 for a silent
    signal or noise."""
    if signal[0] <= 0.0 or noise[0] <= 0.0 or not math.isfinite(signal[0]):
        return 0.0
    return math.sqrt(signal[0] / noise[0]) * float(10.0 ** (-snr_db / 20.0))


class MixedNoise(Step):
    """Noise added to the input, scaled by a fixed gain or so that it lies ``snr_db`` below
    the input in RMS. The input's power comes from a file's measuring pass (``measured``:
    its sum of squares and frames); with nothing measured, a ratio waits for the whole
    signal (a stream holds it until the flush), so that every chunking gives the bits of one
    call. A subclass says where its noise comes from and how it is added."""

    # What the flush of a held signal needs beside it, in bytes a sample: the joined
    # signal, the noise, the noise at its gain, and the mix.
    FLUSH_BYTES = 16

    def __init__(
        self,
        rate: int,
        channels: int,
        snr_db: float,
        fixed_gain: float | None,
        measured: tuple[float, int] | None,
    ) -> None:
        super().__init__(rate, channels)
        self._snr_db = snr_db
        self._fixed = fixed_gain
        self._measured = measured
        self._gain = fixed_gain
        self._held = FrameBuffer(
            channels,
            f"{self.type}: the signal held until the flush, and its flush",
            self.FLUSH_BYTES,
        )

    def _take(self, count: int) -> npt.NDArray[Any]:
        """The next ``count`` frames of the noise."""
        raise NotImplementedError

    def _own_feed(self) -> AbstractContextManager[Any]:
        """A second source of the same noise from its first frame (with ``take``), for
        measuring it apart from the one being mixed."""
        raise NotImplementedError

    def _mix(self, chunk: Frames, noise: npt.NDArray[Any], gain: float) -> Frames:
        raise NotImplementedError

    @property
    def held_frames(self) -> int:
        return len(self._held)

    @property
    def _holding(self) -> bool:
        """Whether the gain waits for the whole signal (a ratio with nothing measured)."""
        return self._fixed is None and self._measured is None

    def _known_gain(self) -> float:
        if self._gain is None:
            assert self._measured is not None
            # The noise's power over as many frames as the measured signal has.
            meter = SquareMeter(self.in_channels)
            with self._own_feed() as feed:
                left = self._measured[1]
                while left:
                    step = min(1 << 16, left)
                    meter.add(feed.take(step))
                    left -= step
            self._gain = self._ratio_gain(self._measured, meter.result())
        return self._gain

    def _ratio_gain(self, signal: tuple[float, int], noise: tuple[float, int]) -> float:
        if noise[0] <= 0.0 < signal[0]:
            # A silent stretch of a noise file gets no gain that could reach the ratio: the
            # output is the input, which a record of the chain would not show.
            self.say(
                f"{self.type}: {self._noise_named()} is silent over the frames mixed; nothing "
                f"is added at {self._snr_db:g} dB"
            )
        return snr_gain(signal, noise, self._snr_db)

    def _noise_named(self) -> str:
        """The noise mixed, for a message."""
        return "the noise"

    def check_hold(self, frames: int) -> None:
        if self._holding:
            self._held.check(frames)

    def check_flush(self, frames: int) -> None:
        # Asked as each chunk was held, yet the memory on hand moves: refused inside the
        # flush, the stream lost the whole signal it held.
        if self._holding:
            self._held.check(frames)

    def process(self, chunk: Frames) -> Frames:
        if self._holding:
            self._held.append(chunk)
            return empty(self.out_channels)
        if not chunk.shape[0]:
            return empty(self.out_channels)
        gain = self._known_gain()
        return self._mix(chunk, self._take(chunk.shape[0]), gain)

    def flush(self) -> Frames:
        signal = self._held.take(len(self._held)) if self._holding else None
        self.reset()
        return empty(self.out_channels) if signal is None else self.run_whole(signal)

    def run_whole(self, data: Frames) -> Frames:
        self.reset()
        if not data.shape[0]:
            return empty(self.out_channels)
        # The noise is taken once: measured against the signal (at a ratio), then mixed.
        noise = self._take(data.shape[0])
        if self._holding:
            signal, made = SquareMeter(self.in_channels), SquareMeter(self.in_channels)
            signal.add(data)
            made.add(noise)
            gain = self._ratio_gain(signal.result(), made.result())
        else:
            gain = self._known_gain()
        out = self._mix(data, noise, gain)
        self.reset()
        return out


class Noise(MixedNoise):
    """Coloured noise added to the input (see the module's text)."""

    type = "noise"
    # The noise is made in double precision, and narrowed before the mix.
    FLUSH_BYTES = 20

    def __init__(
        self,
        rate: int,
        channels: int,
        colour: str,
        mode: str,
        snr_db: float,
        level_db: float,
        seed: int,
        measured: tuple[float, int] | None = None,
    ) -> None:
        level = 10.0 ** (level_db / 20.0) if mode == "level" else None
        super().__init__(rate, channels, snr_db, level, measured)
        self._args = (colour, rate, channels, seed)
        self._source = NoiseSource(*self._args)
        self.reset()

    def reset(self) -> None:
        self._source.reset()
        self._held.clear()

    def _take(self, count: int) -> npt.NDArray[np.float64]:
        check_memory(count * self.in_channels * 8, "noise: the noise of the signal")
        return self._source.take(count)

    @contextlib.contextmanager
    def _own_feed(self) -> Iterator[NoiseSource]:
        yield NoiseSource(*self._args)

    def _mix(self, chunk: Frames, noise: npt.NDArray[Any], gain: float) -> Frames:
        noise *= gain
        with np.errstate(over="ignore"):  # beyond the greatest float: infinite, silently
            return chunk + noise.astype(np.float32)


def noise_step(rate: int, channels: int, value: dict[str, Any], measured: Any) -> Noise:
    return Noise(
        rate,
        channels,
        str(value["colour"]),
        str(value["mode"]),
        float(value["snr_db"]),
        float(value["level_db"]),
        int(value["seed"]),
        measured,
    )


def _draw_seed(spec: dict[str, Any], draw: Any) -> None:
    """A random chain's noise without a seed draws one (step 6 of the draw)."""
    if "seed" not in spec:
        spec["seed"] = min(math.floor(draw() * 2**31), 2**31 - 1)


register_resolver("noise", _draw_seed)
