"""Loudness and level measurement in pieces, and loudness targets.

Integrated loudness follows ITU-R BS.1770-4 as pyloudnorm measures it: pyloudnorm's own
K-weighting filter coefficients, run in double precision over each chunk with the filter
state carried from chunk to chunk, 400 ms gating blocks every 100 ms with the same block
boundaries, and the same absolute (-70 LUFS) and relative (-10 LU) gates. Only the sums of
each gating block are kept (ten numbers a second per channel), so a file of any length is
measured in bounded memory, and the result agrees with
``pyloudnorm.Meter(rate).integrated_loudness`` on the whole array. The walk over the
samples (K-weighting, sums, peaks, counts and the true peak's oversampling) is one native
pass over each chunk whose figures have the same bits however the signal is cut. The
common rates' K-weighting, and the true peak's half-band taps, are kept as the libraries
design them (``_filter_designs``, checked against them by the tests), so that a command
measuring loudness does not import pyloudnorm and SciPy (most of a second).

Momentary and short-term loudness are the same sums over 400 ms and 3 s: the maximum
momentary loudness is the loudest gating block, the maximum short-term loudness the loudest
3 s window ending on a tenth of a second, and the loudness range (EBU Tech 3342) the spread
between the 10th and 95th percentiles of the short-term loudness every 100 ms, after an
absolute gate at -70 LUFS and a relative one 20 LU below the windows' mean. The 3 s windows
are summed from 100 ms segments, ten numbers a second per channel as well.

True peak is the highest magnitude between the samples: each channel is oversampled four
times by two half-band stages (64 and 12 taps) in native code, and each maximum of that grid
that could pass the peak found so far is refined by a parabola through it and its
neighbours. A sine reads within 0.05 dB of its crest up to 0.45 of the sample rate, where
a meter of four plain phases reads up to 0.55 dB low; the filter state is carried from chunk
to chunk, and the result has the same bits however the signal is cut.

A loudness target turns a measurement into the gain that brings the integrated loudness
to the target; where that gain would push the true peak over a ceiling, the engine's own
"limiter" follows the gain, and the result is predicted from excerpts around the peaks
(:class:`LimiterTrial`) or measured again (:func:`plan_loudness`).
"""

from __future__ import annotations

import functools
import math
import numbers
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from ._audio import PCM_BITS, as_frames, check_count, real_samples, shown_integer, whole_number
from ._engine import (
    NativeLevelMeter,
    NativeState,
    NativeTruePeak,
    check_memory,
    frames_of,
    open_stream,
    shaped_frames,
)
from ._filter_designs import HALF_BAND_PHASES, KWEIGHTING
from .errors import AudioValueError

__all__ = [
    "LoudnessMeter",
    "TruePeakMeter",
    "LevelMeter",
    "Measurement",
    "measure",
    "LoudnessTarget",
    "LoudnessResult",
    "plan_loudness",
    "gain_spec",
    "limiter_spec",
    "to_db",
    "measure_chunks",
    "clip_level",
    "MIN_LOUDNESS_RATE",
    "LimiterTrial",
    "corrected",
    "planned_again",
    "true_peaks_of",
]

BLOCK_SECONDS = 0.4
OVERLAP = 0.75
ABSOLUTE_GATE_LUFS = -70.0
RELATIVE_GATE_LU = -10.0
# Channel weights by channel count, in the WAV order of the layout that count stands for:
# the front channels at 1, the surrounds (side and back) at 1.41, the LFE left out, as
# BS.1770-4 weights them by where they are. Quad is L R Ls Rs, 5.0 L R C Ls Rs, 5.1 L R C
# LFE Ls Rs, 6.1 L R C LFE Cs Ls Rs, 7.1 L R C LFE Lb Rb Ls Rs. Other counts, whose layout
# is not known, weigh every channel 1. (Read in channel order as 1, 1, 1, 1.41, 1.41, a 5.1
# file counted its LFE at +1.5 dB and its right surround at 1; a quad file its surrounds
# at 1 and 1.41.)
CHANNEL_WEIGHTS: dict[int, tuple[float, ...]] = {
    4: (1.0, 1.0, 1.41, 1.41),
    5: (1.0, 1.0, 1.0, 1.41, 1.41),
    6: (1.0, 1.0, 1.0, 0.0, 1.41, 1.41),
    7: (1.0, 1.0, 1.0, 0.0, 1.41, 1.41, 1.41),
    8: (1.0, 1.0, 1.0, 0.0, 1.41, 1.41, 1.41, 1.41),
}

SHORT_TERM_SECONDS = 3.0
SEGMENTS_PER_SECOND = 10
SHORT_TERM_SEGMENTS = round(SHORT_TERM_SECONDS * SEGMENTS_PER_SECOND)
RANGE_RELATIVE_GATE_LU = -20.0
RANGE_PERCENTILES = (10.0, 95.0)

# The half-band stages of the true-peak meter: their lengths (odd, so that the even taps
# but the centre are zero) and Kaiser windows. The first is flat within 0.002 dB up to 0.46
# of the sample rate and stops -70 dB from 0.54 on; the second works on a signal that
# already has room above it.
HALF_BAND_TAPS = (127, 23)
HALF_BAND_BETA = 8.0

# Below this rate the K-weighting's high shelf (about 1.7 kHz) comes too close to half the
# rate: its filter designed for the rate is unstable (at 2 and 3 kHz) or no longer the
# curve loudness is defined by. Loudness is then reported as not measured (NaN).
MIN_LOUDNESS_RATE = 8_000

# The latest frame a meter may start at: past it the bounds of its first block overflow 64
# bits (the native meter refuses it too).
MAX_FIRST_FRAME = 2**60


def above(level_db: float, bound_db: float, places: int = 2) -> str:
    """A level above a bound, signed, with as many decimals as show it above ("-1.00 dBTP is
    above the -1 dBTP ceiling", "peaks at +0.0 dBFS, above full scale" read as
    contradictions)."""
    while places < 6 and round(level_db, places) <= bound_db:
        places += 1
    return f"{level_db:+.{places}f}"


def ceiling_passed(peak_db: float, ceiling_db: float, how: str = "") -> str:
    """The words for a true peak above a ceiling."""
    peak = above(peak_db, ceiling_db)
    return f"true peak {peak} dBTP{how} is above the {ceiling_db:g} dBTP ceiling"


def to_db(value: float) -> float:
    """20 log10 of a linear level; -inf for 0."""
    return 20.0 * math.log10(value) if value > 0 else -math.inf


def _frames(data: np.ndarray, channels: int) -> np.ndarray:
    """A chunk for a meter of ``channels`` channels as (frames, channels)."""
    frames, _ = as_frames(data)
    if frames.ndim != 2 or frames.shape[1] != channels:
        raise ValueError(f"expected (frames, {channels}) audio, got {data.shape}")
    return frames


def _conversion_bytes(kind: np.dtype[Any]) -> int | None:
    """The bytes a sample of this type takes while :func:`real_samples` converts it: two
    float32 arrays at once for PCM (two float64 for int32, scaled in double precision), one
    for other floats, none for float32 and float64 (taken as they are). None for what it
    refuses before copying anything."""
    if kind == np.float32 or kind == np.float64:
        return 0
    if kind.type == np.int32:
        return 16
    if kind.type in (np.int8, np.int16, np.uint8):
        return 8
    return 4 if kind.kind == "f" else None


def _chunk(chunk: npt.ArrayLike, channels: int, copies: int = 0) -> np.ndarray:
    """A chunk for a meter of ``channels`` channels as (frames, channels) samples, taken as
    :func:`measure` takes them: float64 as it is, anything else as float32 by
    :func:`real_samples` (integer PCM scaled by its full scale; complex, bool and integers
    of no known full scale refused). An array's shape is checked, and the memory guard
    asked for its conversion, a contiguous copy and ``copies`` bytes a sample of the
    meter's own, before anything is copied: NumPy's own MemoryError had come first (7.28
    TiB for a broadcast view of 10**12 frames)."""
    if isinstance(chunk, np.ndarray):
        # Checked as it is: the meter knows its channels, so a short chunk of many is no
        # channels-first array.
        frames = _frames(chunk, channels)
        each = _conversion_bytes(chunk.dtype)
        if each is not None:
            if not frames.flags.c_contiguous:
                each += 8 if chunk.dtype == np.float64 else 4
            check_memory(frames.size * (each + copies), f"a meter's copy of {frames.size} samples")
        if chunk.dtype == np.float64:
            return frames
    return _frames(real_samples(chunk), channels)


def _flag(name: str, value: Any) -> bool:
    """A switch, True or False (np.bool_ too): "no", 0 and None had been taken by their
    truth."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _channels(channels: Any, what: str, held: int) -> int:
    """A meter's channel count, a whole number of 1 or more, once the memory guard has
    granted ``held`` bytes a channel for what the meter keeps of each (10**12 channels met
    NumPy's MemoryError, 2**64 the binding's argument error, np.array(2) a hash)."""
    count = whole_number("channels", channels)
    if count < 1:
        raise ValueError(f"{what} needs at least one channel, got {shown_integer(count)}")
    check_memory(count * held, f"{what} of {shown_integer(count)} channels")
    return count


# The speakers (by their WAVE channel mask names) weighed as surrounds, and the LFE's,
# left out, for a layout an input states.
SURROUND_SPEAKERS = frozenset({"BL", "BR", "BC", "SL", "SR", "TBL", "TBC", "TBR"})
LFE_SPEAKERS = frozenset({"LFE"})


def _layout(layout: Any, channels: int) -> tuple[str, ...] | None:
    """A meter's ``layout``: a speaker name for each channel, or none at all (channels
    without speakers, weighed 1). A string had been taken letter by letter, and a layout of
    another count, or of numbers, weighed every channel 1 without a word."""
    if layout is None:
        return None
    if isinstance(layout, (str, bytes)) or not isinstance(layout, Sequence):
        # A set's order is its hash's: the weights went to other channels each run.
        raise TypeError(f"layout must be a sequence of speaker names, got {layout!r}")
    if len(layout) not in (0, channels):
        raise ValueError(
            f"layout must name a speaker for each of {channels} channels, or none (()), "
            f"got {len(layout)} names"
        )
    speakers = tuple(layout)
    if not all(isinstance(speaker, str) for speaker in speakers):
        raise TypeError(f"layout must be a sequence of speaker names, got {layout!r}")
    return speakers


def channel_weights(channels: int, layout: Sequence[str] | None = None) -> np.ndarray:
    """The weight of each channel's power in the loudness sum: by the speakers of
    ``layout`` where an input states one (every channel 1 when it names none), else by
    the channel count (see CHANNEL_WEIGHTS)."""
    if layout is not None and len(layout) == channels:
        return np.array(
            [
                0.0 if speaker in LFE_SPEAKERS else 1.41 if speaker in SURROUND_SPEAKERS else 1.0
                for speaker in layout
            ]
        )
    if layout is not None:
        return np.ones(channels)
    return np.array(CHANNEL_WEIGHTS.get(channels, (1.0,) * channels))


def channel_sum(powers: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """The weighted sum over channels (the last axis), channel after channel, each product
    and sum rounded once. Not a matrix product: BLAS chooses its kernel by processor (fused
    multiply-adds or not, in another order), so the loudness of 5.1 audio, and a target's
    gain with it, could differ from one machine to another; and OpenBLAS ends the whole
    process (exit status 1) when its own buffer cannot be had, which no guard sees."""
    weights = np.asarray(weights, np.float64)
    if powers.shape[-1] != weights.shape[0]:
        raise ValueError(f"{weights.shape[0]} weights for {powers.shape[-1]} channels")
    total = powers[..., 0] * weights[0]
    for channel in range(1, weights.shape[0]):
        total = total + powers[..., channel] * weights[channel]
    return np.asarray(total)


def gated_loudness(powers: np.ndarray, weights: np.ndarray) -> float:
    """Integrated loudness (LUFS) from the mean squares of the gating blocks, (blocks,
    channels), through the absolute and relative gates; -inf when nothing passes them."""
    if powers.shape[0] == 0:
        return -math.inf
    weighted = channel_sum(powers, weights)
    with np.errstate(divide="ignore"):
        levels = -0.691 + 10.0 * np.log10(weighted)
    above = levels >= ABSOLUTE_GATE_LUFS
    if not above.any():
        return -math.inf
    relative = -0.691 + 10.0 * np.log10(channel_sum(powers[above].mean(axis=0), weights))
    relative += RELATIVE_GATE_LU
    gated = (levels > relative) & (levels > ABSOLUTE_GATE_LUFS)
    if not gated.any():
        return -math.inf
    total = channel_sum(powers[gated].mean(axis=0), weights)
    return float(-0.691 + 10.0 * np.log10(total)) if total > 0 else -math.inf


def segment_end(sample_rate: float, m: int) -> int:
    """The frame at which 100 ms segment ``m`` ends (-1: the signal's start)."""
    if m < 0:
        return 0
    if float(sample_rate).is_integer():
        return ((m + 1) * int(sample_rate)) // SEGMENTS_PER_SECOND
    return int((m + 1) * sample_rate / SEGMENTS_PER_SECOND)


def _loudness_of(power: float) -> float:
    """The loudness in LUFS of a weighted mean square."""
    return -0.691 + 10.0 * math.log10(power) if power > 0 else -math.inf


def _kweighting(sample_rate: float) -> list[tuple[np.ndarray, np.ndarray, float]]:
    """The K-weighting stages (b, a, passband gain) exactly as pyloudnorm designs them: kept
    for the common rates, designed by it for the others."""
    stored = KWEIGHTING.get(sample_rate)
    if stored is None:
        return kweighting_designed(sample_rate)
    return [(np.array(b, np.float64), np.array(a, np.float64), gain) for b, a, gain in stored]


def kweighting_designed(sample_rate: float) -> list[tuple[np.ndarray, np.ndarray, float]]:
    """The K-weighting stages as pyloudnorm designs them for ``sample_rate``."""
    # Imported here, as is SciPy below: importing pyloudnorm imports scipy.signal, which
    # takes most of a second (more on a slow disk), and every command that reports a
    # loudness would pay it. The common rates' designs are kept in _filter_designs instead.
    import pyloudnorm

    meter = pyloudnorm.Meter(sample_rate)
    return [
        (
            np.asarray(stage.b, dtype=np.float64),
            np.asarray(stage.a, dtype=np.float64),
            float(stage.passband_gain),
        )
        for stage in meter._filters.values()
    ]


def _kweighting_sections(sample_rate: float) -> list[float]:
    """The K-weighting stages as the native meter takes them: b0, b1, b2, a1, a2 of each,
    its passband gain folded into the b's and everything divided by a0."""
    sections: list[float] = []
    for b, a, gain in _kweighting(sample_rate):
        sections.extend([*(b * gain / a[0]), a[1] / a[0], a[2] / a[0]])
    return sections


def _rate(sample_rate: Any) -> float:
    """A meter's sample rate as a float: any real number of hertz, which the native meter
    checks; text and truth values are refused ("48000" and True had been taken)."""
    if isinstance(sample_rate, (bool, np.bool_)) or not isinstance(sample_rate, numbers.Real):
        raise TypeError(f"sample_rate must be a number of hertz, got {sample_rate!r}")
    try:
        return float(sample_rate)
    except OverflowError:  # 10**400: past any rate, refused as the meter refuses one
        raise ValueError("sample_rate is too large") from None


class LoudnessMeter(NativeState):
    """Integrated loudness of a signal fed in chunks of (frames, channels) samples.

    ``add(chunk)`` takes the next frames; ``integrated()`` gives the gated loudness in LUFS
    of everything added so far (-inf for silence or a signal shorter than one block).

    The walk over the samples is native (:data:`kavri._engine.NativeLevelMeter`): it keeps
    the K-weighted sums of squares of every gating block and 100 ms segment (ten numbers a
    second per channel each), and, for a :class:`LevelMeter`, the peaks and counts too
    (``clip_level``, ``true_peak``). ``first_frame`` measures an excerpt that begins at that
    frame of a longer signal: its blocks keep their places in the whole signal. Without
    ``loudness`` only the peaks and counts are measured. ``layout`` names the speaker of each
    channel where an input states a layout other than Kavri's (see :func:`channel_weights`).
    """

    INSTEAD = "make another and feed it the same audio"

    def __init__(
        self,
        sample_rate: float,
        channels: int,
        *,
        clip_level: float = 1.0,
        true_peak: bool = False,
        first_frame: int = 0,
        loudness: bool = True,
        layout: Sequence[str] | None = None,
    ) -> None:
        # Its weights and the tuple they are made from; the native meter asks for its own.
        count = _channels(channels, "a loudness meter", 16)
        speakers = _layout(layout, count)
        level: object = clip_level  # checked as whatever the caller passed
        if isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real):
            raise TypeError(f"clip_level must be a number, got {level!r}")
        try:
            clip = float(clip_level)
        except OverflowError:  # 10**400
            clip = math.inf if clip_level > 0 else -math.inf
        if not (math.isfinite(clip) and clip > 0):
            # At 0 or below every sample had counted as clipped, at NaN or infinity none.
            raise ValueError(f"clip_level must be a finite level above 0, got {clip:g}")
        # The binding's argument error had come for -1, 0.0 and None; np.float32(2.5) and True
        # had been taken as frames 2 and 1.
        start = whole_number("first_frame", first_frame)
        if not 0 <= start <= MAX_FIRST_FRAME:
            raise ValueError(
                f"a meter's first frame (first_frame) can be from 0 to 2^60, got "
                f"{shown_integer(start)}"
            )
        measured = _flag("loudness", loudness)
        oversampled = _flag("true_peak", true_peak)
        self.sample_rate = _rate(sample_rate)
        self.channels = count
        self.measured = measured and self.sample_rate >= MIN_LOUDNESS_RATE
        sections = _kweighting_sections(self.sample_rate) if self.measured else []
        first, second = _stages() if oversampled else ([], [])
        self.native = NativeLevelMeter(
            count, self.sample_rate, sections, float(clip_level), first, second, start
        )
        self.weights = channel_weights(count, speakers)

    @property
    def frames(self) -> int:
        """The frames fed so far."""
        return int(self.native.frames)

    def add(self, chunk: npt.ArrayLike) -> None:
        """Feeds the next frames (a (frames, channels) array, or 1-D for one channel), taken
        as :func:`measure` takes them: integer PCM scaled by its full scale, float64 metered
        in double precision; complex, bool and integers of no known full scale refused."""
        # An int16 chunk had been metered as counts (+80 LUFS for noise at -11).
        data = _chunk(chunk, self.channels)
        if data.shape[0]:
            self.native.add(np.ascontiguousarray(data))

    def block_count(self) -> int:
        """The number of gating blocks in the signal so far, counted as pyloudnorm does."""
        seconds = self.frames / self.sample_rate
        step = BLOCK_SECONDS * (1.0 - OVERLAP)
        return int(np.round((seconds - BLOCK_SECONDS) / step)) + 1

    def block_powers(self) -> np.ndarray:
        """The mean square of every gating block so far, per channel: (blocks, channels)."""
        if not self.measured or self.frames < BLOCK_SECONDS * self.sample_rate:
            return np.zeros((0, self.channels))
        count = self.block_count()
        _, begun = self.native.blocks()
        sums = np.zeros((count, self.channels))
        # The last blocks run past the end: what there is of them counts.
        kept = min(count, begun.shape[0])
        sums[:kept] = begun[:kept]
        powers: np.ndarray = sums / (BLOCK_SECONDS * self.sample_rate)
        return powers

    def integrated(self) -> float:
        """The integrated, gated loudness in LUFS; -inf when nothing passes the gates, NaN
        below :data:`MIN_LOUDNESS_RATE`, where it is not measured."""
        if not self.measured:
            return math.nan
        return gated_loudness(self.block_powers(), self.weights)

    def max_momentary(self) -> float:
        """The highest momentary loudness (400 ms, the gating blocks) in LUFS; -inf for
        silence or a signal shorter than a block, NaN where loudness is not measured."""
        if not self.measured:
            return math.nan
        powers = self.block_powers()
        if powers.shape[0] == 0:
            return -math.inf
        return _loudness_of(float(np.max(channel_sum(powers, self.weights))))

    def segment_peaks(self) -> np.ndarray:
        """The sample peak of every finished 100 ms segment, per channel."""
        peaks: np.ndarray = self.native.segments()[2]
        return peaks

    def short_term(self) -> np.ndarray:
        """The short-term loudness (3 s windows) every 100 ms, in LUFS, of every window
        that lies wholly within the signal so far; empty for a signal shorter than 3 s."""
        segments = self.native.segments()[1] if self.measured else np.zeros((0, 1))
        count = segments.shape[0] - SHORT_TERM_SEGMENTS + 1
        if count <= 0:
            return np.zeros(0)
        sums = np.zeros((segments.shape[0] + 1, self.channels))
        np.cumsum(segments, axis=0, out=sums[1:])
        windows = sums[SHORT_TERM_SEGMENTS:] - sums[:count]
        rate = self.sample_rate
        ends = np.array([segment_end(rate, m + SHORT_TERM_SEGMENTS - 1) for m in range(count)])
        starts = np.array([segment_end(rate, m - 1) for m in range(count)])
        powers = channel_sum(windows, self.weights) / (ends - starts)
        with np.errstate(divide="ignore"):
            levels: np.ndarray = -0.691 + 10.0 * np.log10(powers)
        return levels

    def max_short_term(self) -> float:
        """The highest short-term loudness in LUFS; -inf for silence or a signal shorter
        than 3 s, NaN where loudness is not measured."""
        if not self.measured:
            return math.nan
        levels = self.short_term()
        return float(levels.max()) if levels.size else -math.inf

    def loudness_range(self) -> float:
        """The loudness range (EBU Tech 3342) in LU: the spread between the 10th and 95th
        percentiles of the short-term loudness, gated at -70 LUFS and 20 LU below the
        power mean of what passes that gate. NaN for a signal shorter than 3 s or where
        loudness is not measured; 0 for silence."""
        levels = self.short_term()
        if levels.size == 0:
            return math.nan
        levels = levels[levels >= ABSOLUTE_GATE_LUFS]
        if levels.size == 0:
            return 0.0
        mean = 10.0 * np.log10(np.mean(10.0 ** (levels / 10.0)))
        levels = levels[levels >= mean + RANGE_RELATIVE_GATE_LU]
        low, high = np.percentile(levels, RANGE_PERCENTILES)
        return float(high - low)


def _half_band_phase(taps: int) -> list[float]:
    """The odd taps of a half-band low-pass: the weights that put a value between two
    samples, normalised to unity gain at DC (kept for the stages the meter uses)."""
    stored = HALF_BAND_PHASES.get((taps, HALF_BAND_BETA))
    return list(stored) if stored is not None else half_band_designed(taps)


def half_band_designed(taps: int) -> list[float]:
    """The odd taps of a half-band low-pass of ``taps`` taps, designed by SciPy."""
    from scipy import signal

    prototype = signal.firwin(taps, 0.5, window=("kaiser", HALF_BAND_BETA))
    odd = prototype[0::2]
    return [float(v) for v in odd / odd.sum()]


@functools.cache
def _stages() -> tuple[list[float], ...]:
    """The two half-band stages, designed on first use (a cache, so that meters starting on
    two threads at once never share a half-built list)."""
    return tuple(_half_band_phase(taps) for taps in HALF_BAND_TAPS)


class TruePeakMeter(NativeState):
    """The highest magnitude of each channel (the sample peak) and the highest magnitude
    between its samples (the true peak, see the module's notes), over a signal fed in
    chunks. Without ``oversample`` only the sample peak is measured (and the true peak
    reported as the sample peak), which is cheaper. Like the other meters it cannot be
    copied (a copy had gone on with the original's peaks, both moving as either was fed)."""

    def __init__(self, channels: int, oversample: bool = True) -> None:
        # Its sample peaks; the native oversampling asks for its own.
        self.channels = _channels(channels, "a true-peak meter", 8)
        self.oversample = _flag("oversample", oversample)
        self.sample_peak = np.zeros(self.channels)
        self._native = NativeTruePeak(self.channels, *_stages()) if self.oversample else None

    @property
    def true_peak(self) -> np.ndarray:
        """The true peak of each channel so far (linear), the signal followed by silence."""
        if self._native is None:
            return self.sample_peak.copy()
        peaks: np.ndarray = np.maximum(np.array(self._native.peaks()), self.sample_peak)
        return peaks

    def add(self, chunk: npt.ArrayLike) -> None:
        """Feeds the next frames, (frames, channels) or 1-D for one channel, without NaN or
        infinity, taken as :meth:`LoudnessMeter.add` takes them."""
        # An int16 chunk had been metered as counts (a peak of 16,723 for 0.51), a complex
        # one without its imaginary part. Its float64 rows, their magnitudes and the float32
        # rows of the oversampling are counted too.
        data = _chunk(chunk, self.channels, 8 + 8 + 4)
        rows = np.ascontiguousarray(np.asarray(data, dtype=np.float64).T)
        self.add_rows(rows, np.max(np.abs(rows), axis=1) if rows.shape[1] else None)

    def add_rows(self, rows: np.ndarray, peak: np.ndarray | None) -> None:
        """Feeds the next frames as (channels, frames) rows, with their peaks."""
        if rows.shape[1] == 0 or peak is None:
            return
        np.maximum(self.sample_peak, peak, out=self.sample_peak)
        if self._native is not None:
            self._native.add(np.ascontiguousarray(rows, dtype=np.float32))


@dataclass
class Measurement:
    """Levels of a signal. Peaks and RMS are linear, per channel; loudness in LUFS."""

    sample_rate: float
    channels: int
    frames: int
    integrated_lufs: float
    sample_peak: list[float]
    true_peak: list[float]
    rms: list[float]
    clipped: int
    nan: int
    inf: int
    # The mean square of each gating block per channel, for loudness at other gains.
    block_powers: np.ndarray | None = field(default=None, repr=False, compare=False)
    # Loudness range (LU) and the highest momentary and short-term loudness (LUFS): NaN
    # where not measured (below 8 kHz; the range and short-term also under 3 s).
    loudness_range: float = math.nan
    max_momentary_lufs: float = math.nan
    max_short_term_lufs: float = math.nan
    # The sample peak of each 100 ms segment per channel, for where a limiter will act.
    segment_peaks: np.ndarray | None = field(default=None, repr=False, compare=False)
    # True for the prediction of a limiter trial rather than a measurement.
    predicted: bool = field(default=False, repr=False, compare=False)
    # Each channel's weight in the loudness sum, where a stated layout sets them.
    weights: np.ndarray | None = field(default=None, repr=False, compare=False)

    @property
    def power_weights(self) -> np.ndarray:
        """Each channel's weight in the loudness sum (see :func:`channel_weights`)."""
        return channel_weights(self.channels) if self.weights is None else self.weights

    def loudness_with_gain(self, gain_db: float) -> float:
        """The integrated loudness the same signal would have with ``gain_db`` added: its
        blocks' powers scaled and gated again. The gates stay where they are, so blocks
        cross the -70 LUFS gate as the gain moves them, and the result is not simply the
        loudness plus the gain. A gain that takes the powers past the largest float (about
        +3080 dB) gives +inf; silence stays -inf, and a loudness not measured NaN, at any
        gain."""
        given: object = gain_db
        if isinstance(given, (bool, np.bool_)) or not isinstance(given, numbers.Real):
            raise TypeError(f"gain_db must be a number of dB, got {gain_db!r}")
        if gain_db != gain_db:
            raise ValueError("gain_db must be a number of dB, got nan")
        loudness = self.integrated_lufs
        if not math.isfinite(loudness):
            return loudness  # (-inf + inf had given NaN)
        if self.block_powers is None:
            return loudness + gain_db
        try:
            with np.errstate(over="ignore"):
                scaled = self.block_powers * 10.0 ** (gain_db / 10.0)
        except OverflowError:  # 1e300 dB, 10**12 dB: the power's own error had come out
            return math.inf if gain_db > 0 else -math.inf
        if np.isinf(scaled).any():
            # Gated against their infinite mean, every block had fallen under the relative
            # gate: -inf, after NumPy's overflow warnings.
            return math.inf
        return gated_loudness(scaled, self.power_weights)

    @property
    def seconds(self) -> float:
        """The duration in seconds."""
        return self.frames / self.sample_rate if self.sample_rate else 0.0

    @property
    def sample_peak_db(self) -> float:
        """The highest sample peak of any channel, in dBFS."""
        return to_db(max(self.sample_peak, default=0.0))

    @property
    def true_peak_db(self) -> float:
        """The highest true peak of any channel, in dBTP."""
        return to_db(max(self.true_peak, default=0.0))

    @property
    def nonfinite(self) -> int:
        """NaN and infinite samples together."""
        return self.nan + self.inf

    def as_dict(self) -> dict[str, Any]:
        """Flat keys for scripts: levels in dB (null for -inf, JSON having no infinity)."""

        def db(value: float) -> float | None:
            level = to_db(value)
            return round(level, 3) if math.isfinite(level) else None

        def lufs(value: float) -> float | None:
            return round(value, 3) if math.isfinite(value) else None

        loudness = self.integrated_lufs
        return {
            "duration_s": round(self.seconds, 6),
            "frames": self.frames,
            "sample_rate": int(self.sample_rate)
            if float(self.sample_rate).is_integer()
            else self.sample_rate,
            "channels": self.channels,
            "integrated_lufs": round(loudness, 3) if math.isfinite(loudness) else None,
            "loudness_measured": not math.isnan(loudness),
            "loudness_range_lu": lufs(self.loudness_range),
            "max_momentary_lufs": lufs(self.max_momentary_lufs),
            "max_short_term_lufs": lufs(self.max_short_term_lufs),
            "sample_peak_dbfs": db(max(self.sample_peak, default=0.0)),
            "true_peak_dbtp": db(max(self.true_peak, default=0.0)),
            "sample_peak_dbfs_per_channel": [db(p) for p in self.sample_peak],
            "true_peak_dbtp_per_channel": [db(p) for p in self.true_peak],
            "rms_dbfs_per_channel": [db(r) for r in self.rms],
            "clipped_samples": self.clipped,
            "nan_samples": self.nan,
            "inf_samples": self.inf,
        }


class LevelMeter(NativeState):
    """Everything :class:`Measurement` holds, over a signal fed in chunks. ``true_peak``
    off skips the oversampling (the true peak is then the sample peak).

    ``clip_level`` is the magnitude at or above which a sample counts as clipped: 1.0 for
    float signals, the largest positive step for integer files (a file that was clipped
    when it was written holds runs of full-scale samples). NaN and infinite samples are
    counted, then measured as silence. Everything is measured in one native walk over each
    chunk, with the same bits however the signal is cut.
    """

    INSTEAD = "make another and feed it the same audio"

    def __init__(
        self,
        sample_rate: float,
        channels: int,
        clip_level: float = 1.0,
        *,
        true_peak: bool = True,
        layout: Sequence[str] | None = None,
    ) -> None:
        # The loudness meter checks them all first.
        self.loudness = LoudnessMeter(
            sample_rate, channels, clip_level=clip_level, true_peak=true_peak, layout=layout
        )
        self.sample_rate = self.loudness.sample_rate
        self.channels = self.loudness.channels
        self.clip_level = clip_level
        self.layout = None if layout is None else tuple(layout)

    @property
    def frames(self) -> int:
        return self.loudness.frames

    def add(self, chunk: npt.ArrayLike) -> None:
        """Feeds the next frames, (frames, channels) or 1-D for one channel."""
        self.loudness.add(chunk)

    def result(self) -> Measurement:
        """The measurement of everything fed so far."""
        native = self.loudness.native
        frames = self.frames
        peaks = np.array(native.sample_peaks())
        oversampled = native.true_peaks()
        true_peaks = np.maximum(np.array(oversampled), peaks) if oversampled else peaks
        squares = np.array(native.squares())
        rms = np.sqrt(squares / frames) if frames else np.zeros(self.channels)
        clipped, nan, inf = native.counts()
        return Measurement(
            self.sample_rate,
            self.channels,
            frames,
            self.loudness.integrated(),
            peaks.tolist(),
            true_peaks.tolist(),
            rms.tolist(),
            clipped,
            nan,
            inf,
            self.loudness.block_powers(),
            self.loudness.loudness_range(),
            self.loudness.max_momentary(),
            self.loudness.max_short_term(),
            self.loudness.segment_peaks() if self.loudness.measured else None,
            weights=None if self.layout is None else self.loudness.weights,
        )


def measure(
    audio: npt.ArrayLike,
    sample_rate: float,
    chunk_frames: int = 1 << 16,
    *,
    true_peak: bool = True,
) -> Measurement:
    """Measures a (frames, channels) or 1-D array, in chunks as a file would be (without
    ``true_peak``, the true peak is the sample peak). Samples are taken as
    :func:`kavri.process` takes them (integer PCM scaled by its full scale; complex, bool and
    channels-first arrays refused), but float64 is metered as it is, in double precision.
    Integer samples count as clipped at their largest positive step, as a file of them
    does; float samples at 1.0."""
    level = 1.0
    if isinstance(audio, np.ndarray) and audio.dtype == np.float64:
        data, _ = shaped_frames(audio)
    else:
        if isinstance(audio, np.ndarray):
            each = _conversion_bytes(audio.dtype)
            if each:  # asked before the copy, as a meter's chunk is
                check_memory(audio.size * each, f"a meter's copy of {audio.size} samples")
        if isinstance(audio, np.ndarray) and audio.dtype.kind in "iu":
            # Only its negative full scale had counted: 32,767 is 1 - 2**-15 of it.
            level = _largest_step(8 * audio.dtype.itemsize)
        # An int16 array had been metered as counts (+76 LUFS for noise at -14).
        data, _ = frames_of(audio)
    step = check_count("chunk_frames", chunk_frames)
    meter = LevelMeter(sample_rate, data.shape[1], true_peak=true_peak, clip_level=level)
    for start in range(0, data.shape[0], step):
        meter.add(data[start : start + step])
    return meter.result()


def true_peaks_of(chunks: Iterable[np.ndarray], sample_rate: float, channels: int) -> list[float]:
    """The true peak of each channel of a signal given in (frames, channels) chunks."""
    meter = LoudnessMeter(sample_rate, channels, true_peak=True, loudness=False)
    for chunk in chunks:
        meter.add(chunk)
    native = meter.native
    peaks: list[float] = np.maximum(np.array(native.true_peaks()), native.sample_peaks()).tolist()
    return peaks


def true_peak_overshoot_db() -> float:
    """The most this true-peak meter can read above the sample peak: each half-band stage
    puts out at most the sum of its taps' magnitudes times its input's peak, and a parabola
    through a maximum and its two neighbours rises at most a quarter above it."""
    first, second = _stages()
    return to_db(sum(abs(t) for t in first) * sum(abs(t) for t in second) * 1.25)


def measure_chunks(
    chunks: Iterable[np.ndarray], sample_rate: float, channels: int, clip_level: float = 1.0
) -> Measurement:
    """Measures a signal given as an iterable of (frames, channels) chunks."""
    meter = LevelMeter(sample_rate, channels, clip_level)
    for chunk in chunks:
        meter.add(chunk)
    return meter.result()


# --- loudness targets ---------------------------------------------------------------------

# How close the measuring passes try to come, well inside the promised 0.5 LU.
AIM_LU = 0.1
PROMISED_LU = 0.5
# Passes (or trials) of a gain and a limiter: most targets take one or two; where the
# limiter takes most of the gain, the loudness follows it along a steep curve, and the
# bracket around the target takes a few more.
MAX_PASSES = 7
# Headroom below the ceiling given to the limiter so that inter-sample peaks stay under it.
TRUE_PEAK_MARGIN_DB = 0.05
# The most gain a target may push into the limiter beyond what the peaks allow: more would
# crush the sound, so a target further out is reported as missed instead.
MAX_LIMITING_DB = 20.0


@dataclass(frozen=True)
class LoudnessTarget:
    """An integrated loudness to reach (LUFS) and a true-peak ceiling not to pass (dBTP)."""

    lufs: float
    peak_ceiling_db: float = -1.0

    def __post_init__(self) -> None:
        for name, attribute, low, high in (
            ("loudness target", "lufs", -70.0, 0.0),
            ("peak ceiling", "peak_ceiling_db", -60.0, 0.0),
        ):
            value: Any = getattr(self, attribute)
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise TypeError(f"{name} must be a number, got {value!r}")
            shown: object = value
            try:
                number = float(value)
            except OverflowError:  # 10**400
                number = shown = math.inf if cast(int, value) > 0 else -math.inf
            if not low <= number <= high:
                raise ValueError(f"{name} must be between {low:g} and {high:g}, got {shown}")
            # Kept as a float: -16, -16.0 and np.float32(-16) are one target (a batch's
            # record told them apart, and redid every file).
            object.__setattr__(self, attribute, number)


def check_true_peak(true_peak: float) -> None:
    """Refuses a true peak (linear or in dB) past the largest single-precision number,
    which the meter gives as infinite: the oversampling of
    finite samples near it (3.4e38) overflows, and the gain worked out from it was -inf (a
    loudness target failed on it; a peak ceiling let the audio through untouched)."""
    if math.isinf(true_peak) and true_peak > 0:
        raise AudioValueError(
            "the true peak passes the largest single-precision number (samples near 3.4e38): "
            "scale the audio down first"
        )


def target_of(lufs: float | None, peak_ceiling_db: float | None) -> LoudnessTarget | None:
    """The loudness target of a call's ``loudness`` and ``peak_ceiling`` (-1 dBTP when not
    given); None without a target. A ceiling given without a target is refused: it went
    unheeded, and a +30 dBFS input came out at +30 dBFS."""
    if lufs is None:
        if peak_ceiling_db is not None:
            raise ValueError(
                "peak_ceiling applies to a loudness target: give loudness too, or end the "
                "chain with {'type': 'normalize', 'mode': 'true', 'peak_db': "
                f"{peak_ceiling_db!r}, 'when': 'above'}} to hold the true peak under it"
            )
        return None
    return LoudnessTarget(lufs, -1.0 if peak_ceiling_db is None else peak_ceiling_db)


@dataclass
class LoudnessResult:
    """What a loudness target did: the gain and, if needed, the limiter after it (as effect
    specs to append to the chain), the loudness and true peak reached, and how far the
    target was missed (0 within the promised 0.5 LU)."""

    target: LoudnessTarget
    input_lufs: float
    gain_db: float
    limiter_ceiling_db: float | None
    lufs: float
    true_peak_db: float
    passes: int
    specs: list[dict[str, Any]] = field(default_factory=list)
    # Limiter settings tried on excerpts (:class:`LimiterTrial`) rather than whole passes,
    # and whether the figures above are such a trial's prediction, to be checked against
    # the audio as written (:func:`trial_held`).
    trials: int = 0
    predicted: bool = False
    # A gain after the limiter (negative), where its output's inter-sample peaks passed the
    # ceiling however low the limiter was set: 0 without one.
    trim_db: float = 0.0

    @property
    def miss_lu(self) -> float:
        """How far the loudness reached is from the target, in LU (signed: negative when it
        stayed too quiet)."""
        if not math.isfinite(self.lufs):
            return -math.inf
        return self.lufs - self.target.lufs

    @property
    def reached(self) -> bool:
        """True if the loudness reached is within 0.5 LU of the target."""
        return abs(self.miss_lu) <= PROMISED_LU

    def measured(self, final: Measurement) -> LoudnessResult:
        """This result with the loudness and true peak measured on the audio as written."""
        self.lufs = final.integrated_lufs
        self.true_peak_db = final.true_peak_db
        return self

    @property
    def ceiling_held(self) -> bool:
        """True if the true peak reached is at or under the ceiling."""
        return not self.true_peak_db > self.target.peak_ceiling_db

    def problem(self, how: str = "") -> str | None:
        """A sentence on a missed target or a passed ceiling (``how`` follows the true peak,
        as " after encoding"), or None when both held."""
        missed = self._missed()
        if self.ceiling_held:
            return missed
        passed = ceiling_passed(self.true_peak_db, self.target.peak_ceiling_db, how)
        return passed if missed is None else f"{missed}; {passed}"

    def _missed(self) -> str | None:
        if self.reached:
            return None
        if math.isnan(self.input_lufs):
            return (
                f"loudness target {self.target.lufs:g} LUFS not reached: loudness is not "
                f"measured at sample rates below {MIN_LOUDNESS_RATE} Hz"
            )
        if not math.isfinite(self.input_lufs):
            return (
                f"loudness target {self.target.lufs:g} LUFS not reached: the audio is "
                "silent or shorter than 0.4 s, or lies wholly below the -70 LUFS gate, so it "
                "has no integrated loudness"
            )
        return (
            f"loudness target {self.target.lufs:g} LUFS missed by "
            f"{above(abs(self.miss_lu), PROMISED_LU, 1).lstrip('+')} LU "
            f"(reached {self.lufs:.1f} LUFS with {self.gain_db:+.1f} dB gain under the "
            f"{self.target.peak_ceiling_db:g} dBTP ceiling)"
        )


def gain_spec(gain_db: float) -> dict[str, Any]:
    """The spec of the gain a loudness target adds."""
    return {"type": "gain", "db": round(gain_db, 4)}


def limiter_spec(ceiling_db: float) -> dict[str, Any]:
    """The spec of the limiter a loudness target adds after its gain."""
    return {
        "type": "limiter",
        "ceiling_db": round(ceiling_db, 4),
        "attack_ms": 1.0,
        "release_ms": 60.0,
    }


def _gain_for(measured: Measurement, lufs: float) -> float:
    """The gain that brings a measured signal to ``lufs``. Loudness does not follow a gain
    one for one once blocks cross the absolute gate (a quiet target drops the quiet blocks,
    which raises the loudness of what is left), so the gain is corrected a few times
    against the loudness the blocks would have with it."""
    gain = lufs - measured.integrated_lufs
    for _ in range(8):
        reached = measured.loudness_with_gain(gain)
        if not math.isfinite(reached) or abs(lufs - reached) <= 0.01:
            break
        gain += lufs - reached
    return gain


def _gain_only(
    target: LoudnessTarget, first: Measurement, gain: float, passes: int
) -> LoudnessResult:
    """The result of a gain with no limiter after it, its figures worked out from the first
    pass: the peak moves with the gain, the loudness as its gating blocks say."""
    return LoudnessResult(
        target,
        first.integrated_lufs,
        gain,
        None,
        first.loudness_with_gain(gain),
        first.true_peak_db + gain,
        passes,
        [gain_spec(gain)],
    )


# The least loudness per dB of gain the passes step by: a flatter slope measured between
# two passes (noise in the measure, a limiter holding everything) is taken as this one, a
# step of at most 20 times the miss (and never past the most gain allowed).
MIN_SLOPE = 0.05


def plan_loudness(
    target: LoudnessTarget,
    render: Callable[[Sequence[dict[str, Any]]], Measurement],
    first: Measurement | None = None,
    trial: Callable[[Sequence[dict[str, Any]]], Measurement | None] | None = None,
    true_peaks: Callable[[], Sequence[float]] | None = None,
) -> LoudnessResult:
    """Finds the gain (and limiter) that bring a signal to a loudness target.

    ``render(extra_specs)`` runs the chain followed by ``extra_specs`` over the whole
    signal and measures the output; each call is one pass over the audio. The first pass
    (or ``first``, if given) measures the chain alone. If the gain that reaches the target
    keeps the true peak under the ceiling, that gain is the answer, with no further pass:
    the peak scales exactly with a gain, and the loudness it gives is worked out from the
    first pass's gating blocks. Otherwise a limiter at the ceiling follows the gain, and
    the gain is raised by what the limiter took, pass by pass, until the loudness is within
    0.1 LU of the target or no pass gets closer; the true peak is kept under the ceiling by
    lowering the limiter's ceiling where inter-sample peaks pass it, and each such pass
    offers, as a candidate, its output with a gain after the limiter that brings them under
    the ceiling (and, where that candidate is too quiet, raises the gain for the next pass
    by what it missed). The closest to the target is taken. The gain goes at most
    20 dB past what the peaks allow (MAX_LIMITING_DB); a target
    further out is missed, and the result says by how much.

    ``trial(extra_specs)``, when given, predicts what a pass would measure from excerpts
    around the peaks (:class:`LimiterTrial`), or returns None where the excerpts would be no
    cheaper than a pass; each limiter setting is tried that way first. A result whose
    figures are a trial's prediction says so (``predicted``): the caller checks them
    against the audio it writes (:func:`corrected`).

    ``true_peaks()``, when given, measures the true peak of each channel of the first pass,
    whose ``first`` then holds its sample peaks in their place: it is called only where the
    true peak decides (a gain that may keep it under the ceiling, a gain near the most
    allowed), saving the oversampling where the limiter is needed either way.

    The figures of the result are what the passes predict; the caller measures the audio it
    finally writes and puts those figures in with :meth:`LoudnessResult.measured`.
    """
    passes = 0
    trials = 0
    if first is None:
        first = render([])
        passes = 1
    pending = true_peaks

    def measured_peaks() -> Measurement:
        """The first measurement with its true peaks, measured now if they were left."""
        nonlocal first, pending
        assert first is not None
        if pending is not None:
            first = replace(first, true_peak=list(pending()))
            pending = None
        check_true_peak(first.true_peak_db)
        return first

    ceiling = target.peak_ceiling_db
    loudness = first.integrated_lufs
    if not math.isfinite(loudness):
        # Nothing to aim at (silent, shorter than 0.4 s, or below 8 kHz): the ceiling still
        # holds, by a gain down where the true peak passes it (it had been dropped).
        peak = measured_peaks().true_peak_db
        if peak > ceiling:
            return _gain_only(target, first, ceiling - peak - TRUE_PEAK_MARGIN_DB, passes)
        return LoudnessResult(target, loudness, 0.0, None, loudness, peak, passes, [])
    gain = _gain_for(first, target.lufs)
    # The true peak is at least the sample peak: over the ceiling with that, the limiter is
    # needed whatever the true peak.
    if first.sample_peak_db + gain <= ceiling and measured_peaks().true_peak_db + gain <= ceiling:
        return _gain_only(target, first, gain, passes)
    limit = ceiling - TRUE_PEAK_MARGIN_DB

    def most(gain: float) -> float:
        """The highest gain allowed. The true peak is needed only for a gain within the
        meter's largest overshoot of that bound taken from the sample peak."""
        if pending is not None and gain > (
            ceiling - first.sample_peak_db + MAX_LIMITING_DB - true_peak_overshoot_db()
        ):
            measured_peaks()
        check_true_peak(first.true_peak_db)
        return ceiling - first.true_peak_db + MAX_LIMITING_DB

    gain = min(gain, most(gain))
    best: LoudnessResult | None = None
    # The passes that kept the ceiling at this limiter setting, as (gain, loudness).
    seen: list[tuple[float, float]] = []
    for _ in range(MAX_PASSES):
        specs = [gain_spec(gain), limiter_spec(limit)]
        result = trial(specs) if trial is not None else None
        if result is None:
            result = render(specs)
            passes += 1
        else:
            trials += 1
        if result.true_peak_db > ceiling:
            # Inter-sample peaks above the ceiling. A gain after the limiter brings them
            # under it exactly: that is a candidate. Then a lower limiter ceiling is tried,
            # with the same gain. (A limiter set lower barely moves peaks it does not see,
            # between the samples: when every pass overshot, the gain alone at the ceiling
            # was taken, and a target of -9 LUFS came out at -19.5, quieter than -8 did.)
            excess = result.true_peak_db - ceiling + TRUE_PEAK_MARGIN_DB
            trimmed = LoudnessResult(
                target,
                loudness,
                gain,
                limit,
                result.loudness_with_gain(-excess),
                result.true_peak_db - excess,
                passes,
                [*specs, gain_spec(-excess)],
                predicted=result.predicted,
                trim_db=-excess,
            )
            if best is None or abs(trimmed.miss_lu) < abs(best.miss_lu):
                best = trimmed
            limit -= excess
            seen.clear()  # another limiter: loudness follows the gain along another curve
            # Where even the trimmed output is too quiet, the gain rises by what it missed in
            # the same pass: lowering the limiter alone took every pass when the overshoot
            # was large, and left a reachable target missed (-14 LUFS came out at -15.2 on
            # a plucked chord, where -13 reached -13.8). Where it is too loud, the gain
            # falls by as much: a gain raised so, where the lower limiter then held the
            # peaks, stayed, and -8 LUFS came out at -7.0.
            if abs(trimmed.miss_lu) > AIM_LU:
                gain = min(gain - trimmed.miss_lu, most(gain - trimmed.miss_lu))
            continue
        outcome = LoudnessResult(
            target,
            loudness,
            gain,
            limit,
            result.integrated_lufs,
            result.true_peak_db,
            passes,
            specs,
            predicted=result.predicted,
        )
        if best is None or abs(outcome.miss_lu) < abs(best.miss_lu):
            best = outcome
        miss = target.lufs - result.integrated_lufs
        if abs(miss) <= AIM_LU or not math.isfinite(miss) or (miss > 0 and gain >= most(gain)):
            break
        seen.append((gain, result.integrated_lufs))
        gain = _next_gain(seen, target.lufs)
        gain = min(gain, most(gain))
    assert best is not None  # every pass gives a candidate
    best.passes = passes
    best.trials = trials
    return best


def _next_gain(seen: list[tuple[float, float]], target: float) -> float:
    """The gain for the next pass, from the passes so far at one limiter setting, as (gain,
    loudness). Behind a limiter the loudness moves less than the gain, a tenth of it where
    the limiter takes most, and not along a line: steps of the miss one for one ran out of
    passes 1.3 LU short of a reachable target, and steps along the last two passes' slope
    overshot where it steepens. So the first step is the miss, the next ones follow the
    slope of the last two (at least MIN_SLOPE), and once passes lie on both sides of the
    target the next lies between the nearest two, by their secant but at least a quarter of
    the way in from either, so that the bracket always narrows."""
    gain, lufs = seen[-1]
    below = [point for point in seen if point[1] < target]
    above = [point for point in seen if point[1] > target]
    if below and above:
        low = max(below)
        high = min(above)
        if low[0] < high[0]:
            secant = low[0] + (target - low[1]) * (high[0] - low[0]) / (high[1] - low[1])
            margin = 0.25 * (high[0] - low[0])
            return min(max(secant, low[0] + margin), high[0] - margin)
    step = target - lufs
    if len(seen) >= 2 and seen[-2][0] != gain:
        slope = (lufs - seen[-2][1]) / (gain - seen[-2][0])
        if math.isfinite(slope) and slope > 0:
            step /= min(max(slope, MIN_SLOPE), 1.0)
    return gain + step


# --- the limiter's trial ------------------------------------------------------------------

# Frames [start, stop) of the chain's output, in chunks: excerpt(start, stop).
Excerpt = Callable[[int, int], Iterable[np.ndarray]]

# Segments whose sample peak, with the gain, comes within this of the limiter's ceiling are
# tried: there the limiter acts, or inter-sample peaks come close to the ceiling.
TRIAL_PEAK_MARGIN_DB = 0.25
# After it last acts, the limiter's gain (60 ms release) is back within 0.005 dB of unity
# in 0.4 s, even from 6 dB of limiting: what it does to the loudness ends there.
TRIAL_TAIL_SECONDS = 0.4
# Each excerpt starts this long before the first peak: the K-weighting's state, started
# from rest there, has settled (its high-pass at 38 Hz within a few milliseconds) by the
# time the limiter first acts.
TRIAL_LEAD_SECONDS = 0.1
# The loudest excerpts are tried first, up to this much audio: where the others would not
# move the loudness by more than TRIAL_BOUND_LU however they fare (each block losing as
# much as the worst tried), they are not run, and the written audio is checked.
TRIAL_SAMPLE_SECONDS = 30.0
TRIAL_BOUND_LU = AIM_LU
# Excerpts covering more than this share of the signal are no cheaper than a pass.
TRIAL_MAX_SHARE = 0.6
# How far the loudness as written may be from a trial's prediction (exact but for
# rounding, the leads and the tails) before it counts as missed.
TRIAL_TOLERANCE_LU = 0.02
# Writing passes of a predicted plan: the first, and corrections where the audio as
# written missed the target or passed the ceiling. Where a correction still passes the
# ceiling, the target is planned again by whole passes and written once more instead.
WRITE_TRIES = 3


class LimiterTrial:
    """Predicts what a pass of the chain, a gain and a limiter would measure, from the
    first pass's measurement and excerpts around the peaks.

    The limiter leaves every sample below its ceiling as it is (its gain stays at unity),
    and after it last acts its gain is back within 0.005 dB of unity in 0.4 s. So the
    signal with the gain and limiter differs from the signal with the gain alone only in
    the excerpts that run from each 100 ms segment whose peak reaches near the ceiling to
    TRIAL_TAIL_SECONDS after it. Each excerpt (with a lead, merged where they come close) is
    run through the gain alone and through the gain and limiter and metered from its first
    frame: the difference of the two meters' gating-block sums, added to the first pass's
    block powers scaled by the gain, gives the blocks' powers as a pass would measure them,
    and the excerpts' true peaks, with the gained peaks of the segments outside them, the
    peak. The loudest excerpts (TRIAL_SAMPLE_SECONDS of them) are metered so; the others
    for their peaks alone, and for their loudness too only where the loudest do not bound
    it closely enough (:meth:`_estimate`).

    ``excerpt(start, stop)`` gives the chain's output over [start, stop) in chunks; the
    gain and limiter run from rest at each excerpt's start. Returns None, leaving the pass
    to the caller, when the excerpts would cover more than TRIAL_MAX_SHARE of the signal or
    the first measurement has no segments.
    """

    def __init__(self, first: Measurement, excerpt: Excerpt) -> None:
        self.first = first
        self.excerpt = excerpt
        # Frames run through excerpts, for tests and benchmarks.
        self.frames_run = 0
        count = 0 if first.segment_peaks is None else first.segment_peaks.shape[0]
        self._ends = np.array([segment_end(first.sample_rate, m) for m in range(count)], np.int64)

    def regions(self, gain_db: float, limit_db: float) -> list[tuple[int, int]] | None:
        """The excerpts a trial runs, [start, stop) with their leads; None when they would
        cover too much of the signal."""
        first = self.first
        peaks = first.segment_peaks
        if peaks is None or peaks.shape[0] == 0:
            return None
        rate = first.sample_rate
        near = 10.0 ** ((limit_db - gain_db - TRIAL_PEAK_MARGIN_DB) / 20.0)
        count = peaks.shape[0]
        marked = [int(m) for m in np.flatnonzero(peaks.max(axis=1) > near)]
        if first.frames > segment_end(rate, count - 1):
            marked.append(count)  # the unfinished last segment, whose peak is not kept
        tail = round(TRIAL_TAIL_SECONDS * SEGMENTS_PER_SECOND)
        lead = int(TRIAL_LEAD_SECONDS * rate)
        spans: list[list[int]] = []
        for m in marked:
            start = segment_end(rate, m - 1)
            stop = min(segment_end(rate, m + tail), first.frames)
            if spans and start - lead <= spans[-1][1]:
                spans[-1][1] = max(spans[-1][1], stop)
            else:
                spans.append([start, stop])
        regions = [(max(start - lead, 0), stop) for start, stop in spans]
        if sum(stop - start for start, stop in regions) > TRIAL_MAX_SHARE * first.frames:
            return None
        return regions

    def __call__(self, specs: Sequence[dict[str, Any]]) -> Measurement | None:
        gain_db = float(specs[0]["db"])
        limit_db = float(specs[1]["ceiling_db"])
        regions = self.regions(gain_db, limit_db)
        if regions is None:
            return None
        first = self.first
        assert first.block_powers is not None and first.segment_peaks is not None
        scale = 10.0 ** (gain_db / 20.0)
        loudest = self._loudest(regions)
        sample = _budget(regions, loudest, TRIAL_SAMPLE_SECONDS * first.sample_rate)
        ceiling = 10.0 ** (limit_db / 20.0)
        chosen = set(sample)
        rest = [region for i, region in enumerate(regions) if i not in chosen]
        # Every excerpt's peaks are measured (the ceiling is a promise); the loudness of the
        # loudest first, and of the others only where they could matter.
        ran = self._run(specs, [regions[i] for i in sample])
        ran = self._run(specs, rest, ran, loudness=False)
        if rest:
            estimate = self._estimate(ran, rest, scale, ceiling)
            if estimate is not None:
                return estimate
            ran = self._run(specs, rest, ran, peaks=False)
        return self._measurement(ran, scale, ceiling)

    def _loudest(self, regions: list[tuple[int, int]]) -> list[float]:
        """The highest segment peak in each excerpt."""
        assert self.first.segment_peaks is not None
        top = self.first.segment_peaks.max(axis=1)
        found = []
        for start, stop in regions:
            lo = int(np.searchsorted(self._ends, start, side="right"))
            hi = int(np.searchsorted(self._ends, stop, side="left")) + 1
            found.append(float(top[lo:hi].max()) if hi > lo and lo < top.size else math.inf)
        return found

    def _run(
        self,
        specs: Sequence[dict[str, Any]],
        regions: list[tuple[int, int]],
        ran: _Ran | None = None,
        *,
        loudness: bool = True,
        peaks: bool = True,
    ) -> _Ran:
        """Runs the gain and limiter over excerpts and meters them: the change of the
        gating blocks' K-weighted sums that the limiter makes (``loudness``), which needs
        the gain alone metered too, and the peaks (``peaks``)."""
        first = self.first
        assert first.block_powers is not None and first.segment_peaks is not None
        rate, channels = first.sample_rate, first.channels
        if ran is None:
            ran = _Ran(
                np.zeros(first.block_powers.shape),
                np.zeros(first.block_powers.shape[0], bool),
                np.zeros(channels),
                np.zeros(channels),
                np.ones(first.segment_peaks.shape[0], bool),
            )
        blocks = first.block_powers.shape[0]
        for start, stop in regions:
            limited = LoudnessMeter(
                rate, channels, true_peak=peaks, first_frame=start, loudness=loudness
            )
            gained = LoudnessMeter(rate, channels, first_frame=start) if loudness else None
            gain = open_stream(specs[:1], int(rate), channels)
            limiter = open_stream(specs[1:], int(rate), channels)
            for chunk in self.excerpt(start, stop):
                louder = gain.process(chunk)
                if gained is not None:
                    gained.add(louder)
                limited.add(limiter.process(louder))
            self.frames_run += stop - start
            if gained is not None:
                index, with_limiter = limited.native.blocks()
                _, without = gained.native.blocks()
                kept = max(min(with_limiter.shape[0], blocks - index), 0)
                ran.delta[index : index + kept] += (with_limiter - without)[:kept]
                ran.touched[index : index + kept] = True
            if peaks:
                np.maximum(ran.peaks, limited.native.sample_peaks(), out=ran.peaks)
                np.maximum(ran.true_peaks, limited.native.true_peaks(), out=ran.true_peaks)
                # The segments wholly inside the excerpt are accounted for by it.
                lo = int(np.searchsorted(self._ends, start, side="right"))
                hi = int(np.searchsorted(self._ends, stop, side="right"))
                ran.outside[lo + 1 : hi] = False
        return ran

    def _estimate(
        self, ran: _Ran, rest: list[tuple[int, int]], scale: float, ceiling: float
    ) -> Measurement | None:
        """The measurement predicted from the loudest excerpts alone: the blocks of the
        others lose the share of their power that the tried blocks lost on the whole. None
        when that cannot be told within TRIAL_BOUND_LU: the blocks losing as much as the
        worst tried block would move the loudness further than that from it."""
        first = self.first
        assert first.block_powers is not None
        weights = first.power_weights
        gained = first.block_powers * scale**2
        tried = ran.touched
        before = float(channel_sum(gained[tried], weights).sum())
        if not tried.any() or before <= 0.0:
            return None
        lost = channel_sum(ran.delta[tried] / (BLOCK_SECONDS * first.sample_rate), weights)
        share = float(lost.sum()) / before
        with np.errstate(divide="ignore", invalid="ignore"):
            shares = lost / channel_sum(gained[tried], weights)
        worst = float(np.nanmin(shares)) if np.isfinite(shares).any() else share
        others = self._blocks_of(rest) & ~tried
        mean = self._measurement(ran, scale, ceiling, others, share)
        bound = self._measurement(ran, scale, ceiling, others, min(worst, share))
        if abs(mean.integrated_lufs - bound.integrated_lufs) > TRIAL_BOUND_LU:
            return None
        return mean

    def _blocks_of(self, regions: list[tuple[int, int]]) -> np.ndarray:
        """The gating blocks that overlap any of the excerpts."""
        first = self.first
        assert first.block_powers is not None
        count = first.block_powers.shape[0]
        j = np.arange(count, dtype=np.float64)
        step = 1.0 - OVERLAP
        lower = (BLOCK_SECONDS * (j * step) * first.sample_rate).astype(np.int64)
        upper = (BLOCK_SECONDS * (j * step + 1) * first.sample_rate).astype(np.int64)
        found = np.zeros(count, bool)
        for start, stop in regions:
            found[(lower < stop) & (upper > start)] = True
        return found

    def _measurement(
        self,
        ran: _Ran,
        scale: float,
        ceiling: float,
        others: np.ndarray | None = None,
        share: float = 0.0,
    ) -> Measurement:
        """A pass's measurement as the excerpts run predict it (and, with ``others``,
        those blocks losing ``share`` of their power). Outside the excerpts run, the peaks
        are the gain's, held at the limiter's ``ceiling`` (linear)."""
        first = self.first
        assert first.block_powers is not None and first.segment_peaks is not None
        rate = first.sample_rate
        peaks = ran.peaks.copy()
        true_peaks = ran.true_peaks.copy()
        if ran.outside.any():
            rest_peaks = np.minimum(first.segment_peaks[ran.outside].max(axis=0) * scale, ceiling)
            np.maximum(peaks, rest_peaks, out=peaks)
            np.maximum(true_peaks, rest_peaks, out=true_peaks)
        powers = first.block_powers * scale**2 + ran.delta / (BLOCK_SECONDS * rate)
        if others is not None:
            powers[others] *= 1.0 + share
        return Measurement(
            rate,
            first.channels,
            first.frames,
            gated_loudness(powers, first.power_weights),
            peaks.tolist(),
            np.maximum(true_peaks, peaks).tolist(),
            [value * scale for value in first.rms],
            0,
            first.nan,
            first.inf,
            powers,
            predicted=True,
            weights=first.weights,
        )


@dataclass
class _Ran:
    """What excerpts run through the gain and limiter found: each gating block's change of
    K-weighted sums, the blocks touched, the peaks, and the segments not run."""

    delta: np.ndarray
    touched: np.ndarray
    peaks: np.ndarray
    true_peaks: np.ndarray
    outside: np.ndarray


def _budget(regions: list[tuple[int, int]], loudest: list[float], frames: float) -> list[int]:
    """The excerpts with the highest peaks, loudest first, that fit in ``frames`` (at
    least one)."""
    order = sorted(range(len(regions)), key=lambda i: -loudest[i])
    chosen: list[int] = []
    used = 0
    for i in order:
        size = regions[i][1] - regions[i][0]
        if chosen and used + size > frames:
            break
        chosen.append(i)
        used += size
    return chosen


def planned_again(result: LoudnessResult, written: Measurement, again_at: int) -> bool:
    """Whether a plan a trial predicted is to be planned again by whole passes before the
    write ``again_at`` (1 for the first correction): where a correction, written, still
    passed the ceiling. The trial's excerpts then missed where peaks between samples pass
    it, and a lower limiter did not hold them (a square wave's overshoot grows as it is
    limited): two corrections and a trim had left -10.4 LUFS at -11.1, where a gain up
    behind a lower limiter reaches it, as whole passes find."""
    return (
        result.predicted and again_at > 1 and written.true_peak_db > result.target.peak_ceiling_db
    )


def corrected(result: LoudnessResult, written: Measurement) -> LoudnessResult | None:
    """The plan to write again when the audio written with a trial's plan (``written``, as
    measured) passed the ceiling (a peak between samples outside the trial's excerpts,
    say) or missed both the target and the prediction: the limiter's ceiling lowered by
    the overshoot, the gain moved by the miss. None when it stands as written, and always
    for a plan measured by whole passes. A correction that, written, still passes the
    ceiling is not corrected again but planned again (:func:`planned_again`)."""
    if not result.predicted:
        return None
    target = result.target
    over = written.true_peak_db - target.peak_ceiling_db
    miss = target.lufs - written.integrated_lufs
    if not math.isfinite(miss):
        return None
    as_predicted = abs(written.integrated_lufs - result.lufs) <= TRIAL_TOLERANCE_LU
    if over <= 0 and (abs(miss) <= AIM_LU or as_predicted):
        return None
    gain, limit, trim = result.gain_db, result.limiter_ceiling_db, result.trim_db
    if over > 0:
        start = target.peak_ceiling_db - TRUE_PEAK_MARGIN_DB if limit is None else limit
        # Lowered from where the samples peak, where that is below the limiter's ceiling: a
        # peak between samples that the trial's excerpts missed took two writes with the
        # limiter lowered still above every sample, where it did nothing.
        start = min(start, written.sample_peak_db - trim)
        limit = start - over - TRUE_PEAK_MARGIN_DB
    expected = written.integrated_lufs
    if abs(miss) > AIM_LU:
        gain += miss
        expected = target.lufs
    specs = [gain_spec(gain)] + ([] if limit is None else [limiter_spec(limit)])
    return LoudnessResult(
        target,
        result.input_lufs,
        gain,
        limit,
        expected,
        target.peak_ceiling_db,
        result.passes + 1,
        specs + ([gain_spec(trim)] if trim else []),  # a trim after the limiter stays
        result.trials,
        predicted=True,
        trim_db=trim,
    )


# --- files ---------------------------------------------------------------------------------


def clip_level(subtype: str) -> float:
    """The magnitude at which a sample read from a file of this subtype counts as clipped:
    the largest positive step of an integer format, 1.0 otherwise."""
    bits = PCM_BITS.get(subtype)
    return 1.0 if bits is None else _largest_step(bits)


def _largest_step(bits: int) -> float:
    """The largest positive sample of ``bits``-bit PCM as a float: 1 - 2**(1 - bits)."""
    return (2.0 ** (bits - 1) - 1.0) / 2.0 ** (bits - 1)
