"""Length and level steps: ``trim``, ``pad``, ``fade``, ``trim_silence`` and ``normalize``.

What a stream holds back for each, until more of the signal or the flush decides it:

- ``trim`` holds the last ``end`` frames (they may be the signal's last, to be cut); a cut
  start and a capped length hold nothing.
- ``pad`` holds nothing: the leading silence comes with the first chunk, the trailing
  silence with the flush.
- ``fade`` holds the last ``out_s`` of frames, which the fade-out may have to shape; the
  fade-in holds nothing.
- ``trim_silence`` holds, before the first sound, the run of sound frames that has not yet
  lasted ``min_duration_s``, and after it the run of silent frames since the last sound,
  which the flush removes if it lasted ``min_duration_s`` (a long silence in the middle is
  held until sound comes back, counted by the memory guard); streamed files instead find
  where the sound begins and ends in a pass of its own, and then hold nothing.
- ``normalize`` holds the whole signal, since its gain comes from the peak of all of it
  (counted by the memory guard); streamed files instead measure the peak in a pass of its
  own and then run the gain as it goes.

Gains are single-precision products of each sample with a gain computed once per frame
position from the whole fade's table, so where a chunk begins never changes them.
"""

from __future__ import annotations

import math
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from .._engine import check_memory
from ..loudness import TruePeakMeter, check_true_peak
from .base import PIECE, FrameBuffer, Frames, Step, apply_gain, empty, join, pieces, split_gain

__all__ = ["Trim", "Pad", "Fade", "TrimSilence", "Normalize", "PeakMeter", "fade_curve"]


class Trim(Step):
    type = "trim"

    def __init__(self, rate: int, channels: int, start: int, end: int, limit: int | None):
        super().__init__(rate, channels)
        self._start, self._end, self._limit = start, end, limit
        self._held = FrameBuffer(channels, "trim: the frames that may be the last")
        self.reset()

    def reset(self) -> None:
        self._held.clear()
        self._seen = 0
        self._given = 0

    @property
    def held_frames(self) -> int:
        return len(self._held)

    def output_frames(self, frames: int) -> int:
        kept = max(0, frames - self._end - self._start)
        return kept if self._limit is None else min(kept, self._limit)

    def process(self, chunk: Frames) -> Frames:
        skip = max(0, min(chunk.shape[0], self._start - self._seen))
        self._seen += chunk.shape[0]
        self._held.append(chunk[skip:])
        ready = self._held.take(max(0, len(self._held) - self._end))
        if self._limit is not None:
            ready = ready[: max(0, self._limit - self._given)]
        self._given += ready.shape[0]
        return ready

    def flush(self) -> Frames:
        self.reset()
        return empty(self.out_channels)


class Pad(Step):
    type = "pad"

    def __init__(self, rate: int, channels: int, start: int, end: int, least: int) -> None:
        super().__init__(rate, channels)
        self._start, self._end, self._least = start, end, least
        self.reset()

    def reset(self) -> None:
        self._begun = False
        self._given = 0

    def output_frames(self, frames: int) -> int:
        return max(self._start + frames + self._end, self._least)

    def _padded(self, chunk: Frames, before: int, after: int) -> Frames:
        """The chunk with silence before and after it, made as one array: the silence of a
        long pad, made apart and then joined, took twice its size."""
        frames = before + chunk.shape[0] + after
        if not before and not after:
            return chunk.copy()
        check_memory(frames * self.out_channels * 4, f"pad ({frames} frames with silence)")
        out = np.zeros((frames, self.out_channels), np.float32)
        out[before : before + chunk.shape[0]] = chunk
        return out

    def _before(self) -> int:
        """The silence due before what comes in now: the start, the first time."""
        before = 0 if self._begun else self._start
        self._begun = True
        return before

    def _after(self, before: int) -> int:
        """The silence due at the end, ``before`` still to come ahead of it."""
        return self._end + max(0, self._least - (self._given + before + self._end))

    def most_flush_frames(self, frames: int) -> int:
        # The start still due, the frames coming, and the silence at the end.
        count = (0 if self._begun else self._start) + frames + self._end
        return count + max(0, self._least - (self._given + count))

    def check_flush(self, frames: int) -> None:
        # The silence at the end, made as one array (and joined to what comes before it).
        count = self.most_flush_frames(frames)
        made = 2 * count if frames else count
        check_memory(made * self.out_channels * 4, f"pad ({count} frames with silence)")

    def process(self, chunk: Frames) -> Frames:
        out = self._padded(chunk, self._before(), 0)
        self._given += out.shape[0]
        return out

    def flush(self) -> Frames:
        before = self._before()
        out = self._padded(empty(self.in_channels), before, self._after(before))
        self.reset()
        return out

    # A file's pad gives its silence in pieces of this many frames: half an hour of it had
    # been made as one array (892 MB for a minute of input).
    PIECE = 1 << 16

    def _silence(self, frames: int) -> Iterator[Frames]:
        piece = np.zeros((min(frames, self.PIECE), self.out_channels), np.float32)
        while frames:
            part = piece[: min(frames, self.PIECE)]
            frames -= part.shape[0]
            self._given += part.shape[0]
            yield part.copy()

    def pieces(self, chunk: Frames) -> Iterator[Frames]:
        yield from self._silence(self._before())
        self._given += chunk.shape[0]
        yield chunk.copy()

    def flush_pieces(self) -> Iterator[Frames]:
        before = self._before()
        yield from self._silence(before + self._after(before))
        self.reset()

    def most_piece_frames(self, frames: int) -> int:
        return max(frames, min(self.PIECE, self.most_output_frames(frames)))


def fade_curve(curve: str, position: np.ndarray) -> np.ndarray:
    """The gain of a fade at positions from 0 (silence) to 1 (full level), in double
    precision: linear, log (-100 dB at 0 rising evenly in dB to 0 dB at 1, SoX's
    logarithmic fade) or equal_power (sin of a quarter turn: 0.5 gives 0.7071)."""
    if curve == "linear":
        return position
    if curve == "log":
        return np.power(10.0, 5.0 * (position - 1.0))
    return np.sin(0.5 * math.pi * position)


class FadeGains:
    """The single-precision gains of a fade of ``frames`` frames: the gain at position i is
    curve(i / frames), from 0 up. They are made in pieces of PIECE positions counted from
    0, one piece kept at a time, so that a long fade costs what the frames it meets take
    (a day-long fade of a short file asked for a table of 46 GiB), and each gain is made
    the same way whatever the chunking."""

    def __init__(self, curve: str, frames: int) -> None:
        self.curve, self.frames = curve, frames
        self._piece = -1
        self._gains = np.zeros(0, np.float32)

    def _made(self, piece: int) -> np.ndarray:
        if piece != self._piece:
            first = piece * PIECE
            positions = np.arange(first, min(first + PIECE, self.frames), dtype=np.float64)
            self._gains = fade_curve(self.curve, positions / self.frames).astype(np.float32)
            self._piece = piece
        return self._gains

    def apply(self, data: Frames, begin: int, reverse: bool = False) -> None:
        """Multiplies ``data`` in place by the gains at positions ``begin`` on (as many as
        it has frames, ending within the fade); with ``reverse``, its last frame by the gain
        at ``begin``, its first by the gain furthest in (a fade-out)."""
        count = data.shape[0]
        position = begin
        while position < begin + count:
            piece = position // PIECE
            gains = self._made(piece)
            start = position - piece * PIECE
            take = min(begin + count - position, gains.shape[0] - start)
            part = gains[start : start + take, None]
            if reverse:
                rows = slice(count - (position - begin) - take, count - (position - begin))
                data[rows] *= part[::-1]
            else:
                data[position - begin : position - begin + take] *= part
            position += take


class Fade(Step):
    type = "fade"

    def __init__(self, rate: int, channels: int, fade_in: int, fade_out: int, curve: str):
        super().__init__(rate, channels)
        self._in = FadeGains(curve, fade_in)
        self._out = FadeGains(curve, fade_out)
        self._held = FrameBuffer(channels, "fade: the frames the fade-out may shape")
        self.reset()

    def reset(self) -> None:
        self._held.clear()
        self._seen = 0

    @property
    def held_frames(self) -> int:
        return len(self._held)

    def process(self, chunk: Frames) -> Frames:
        out = chunk.copy()
        begin = self._seen
        self._seen += chunk.shape[0]
        if begin < self._in.frames:
            count = min(chunk.shape[0], self._in.frames - begin)
            self._in.apply(out[:count], begin)
        self._held.append(out, copy=False)
        return self._held.take(max(0, len(self._held) - self._out.frames))

    def check_flush(self, frames: int) -> None:
        # The frames held, joined (a fade-out of a minute holds a minute).
        self._held.check(frames, (len(self._held) + frames) * self.in_channels * 4)

    def flush(self) -> Frames:
        tail = self._held.take(len(self._held))
        if tail.shape[0]:
            self._out.apply(tail, 0, reverse=True)
        self.reset()
        return tail


# The longest quiet gap a run of sound bridges: the silence between a waveform's zero
# crossings, and the gaps between a word's sounds, are not silence.
_BRIDGED_GAP_S = 0.02


class _RunSearch:
    """The search for the first run of sound that lasts ``least`` frames (see
    :class:`TrimSilence`), fed the loudness of each frame chunk by chunk."""

    def __init__(self, rate: int, least: int) -> None:
        self._least, self._bridged = least, max(1, round(rate * _BRIDGED_GAP_S))
        self.run = 0  # frames since the current run of sound began, 0 for none
        self._quiet = 0  # quiet frames in a row at the end of what came

    def find(self, sound: npt.NDArray[np.bool_]) -> int | None:
        """Where, in the frames of this chunk, the run that first lasts long enough began
        (negative where it began in an earlier chunk), or None while none has."""
        n = sound.shape[0]
        index = np.arange(n)
        # Quiet frames in a row ending at each frame (0 at a loud one), those before the
        # chunk counted; a gap breaks the run once it has lasted the bridged length.
        last_loud = np.maximum.accumulate(np.where(sound, index, -1))
        quiet = np.where(last_loud < 0, index + 1 + self._quiet, index - last_loud)
        last_break = np.maximum.accumulate(np.where(quiet >= self._bridged, index, -1))
        # The first loud frame at or after each frame (n where none).
        next_loud = np.minimum.accumulate(np.where(sound, index, n)[::-1])[::-1]
        next_loud = np.append(next_loud, n)
        start = next_loud[last_break + 1]
        if self.run:  # a run went on from before: unbroken until the first break
            start = np.where(last_break < 0, -self.run, start)
        runs = np.where(start <= index, index - start + 1, 0)
        reached = np.flatnonzero((runs >= self._least) & sound)
        if not reached.size:
            self.run = int(runs[-1])
            self._quiet = int(quiet[-1])
            return None
        # The run reaches the length first at frame `first`, and began at its first loud
        # frame, maybe in an earlier chunk.
        self.run = self._quiet = 0
        return int(start[int(reached[0])])


class TrimPlaces:
    """Where a :class:`TrimSilence` cuts its whole input, found in a pass over it that
    holds no frames: ``result()`` is (first frame kept, frame after the last kept)."""

    def __init__(self, rate: int, threshold: float, least: int, where: str) -> None:
        self._threshold = np.float32(threshold)
        self._least = max(1, least)
        self._lead, self._trail = where in ("both", "start"), where in ("both", "end")
        self._search = _RunSearch(rate, self._least)
        self._begin: int | None = None if self._lead else 0
        self._last_loud = -1
        self._frames = 0

    def add(self, chunk: Frames) -> None:
        if not chunk.shape[0]:
            return
        sound = loud_frames(chunk, self._threshold)
        offset = 0
        if self._begin is None:
            found = self._search.find(sound)
            if found is not None:
                self._begin = self._frames + found
                offset = max(found, 0)
        if self._begin is not None and sound[offset:].any():
            self._last_loud = self._frames + offset + int(np.flatnonzero(sound[offset:])[-1])
        self._frames += chunk.shape[0]

    def result(self) -> tuple[int, int]:
        if self._begin is None:
            return 0, 0  # no sound lasted long enough: nothing is kept
        end = self._frames
        if self._trail and self._frames - (self._last_loud + 1) >= self._least:
            end = self._last_loud + 1
        return self._begin, end


def loud_frames(chunk: Frames, threshold: np.float32) -> npt.NDArray[np.bool_]:
    """Whether each frame is loud: any channel's magnitude reaches ``threshold``."""
    sound = np.empty(chunk.shape[0], bool)
    for begin in pieces(chunk.shape[0]):
        part = chunk[begin : begin + PIECE]
        np.any(np.abs(part) >= threshold, axis=1, out=sound[begin : begin + PIECE])
    return sound


class TrimSilence(Step):
    """SoX's ``silence 1 D T -1 D T`` (for "both") at the ends alone: leading frames are
    dropped until sound has lasted D frames, the run that reached it kept whole; trailing
    silence of D frames or more is dropped. Silence within is kept, where SoX drops every
    stretch of D frames or more. A frame is loud where any channel's magnitude reaches the threshold
    (rounded to single precision). A run of sound is broken only by a quiet gap of 20 ms or
    more: a waveform crosses zero every few milliseconds, and its samples near a crossing
    fall under any threshold (SoX looks at a short running level for the same reason). A
    run starts at a loud frame and reaches D at a loud frame."""

    type = "trim_silence"

    def __init__(
        self,
        rate: int,
        channels: int,
        threshold: float,
        least: int,
        where: str,
        places: tuple[int, int] | None = None,
    ):
        super().__init__(rate, channels)
        self._threshold = np.float32(threshold)
        self._least = max(1, least)
        self._lead = where in ("both", "start")
        self._trail = where in ("both", "end")
        self._held = FrameBuffer(channels, "trim_silence: held frames")
        # Where a measuring pass (:class:`TrimPlaces`) found the cuts: the frames between
        # them go through as they come, and nothing is held.
        self._places = places
        self.reset()

    def reset(self) -> None:
        self._held.clear()
        self._searching = self._lead
        self._search = _RunSearch(self.in_rate, self._least)
        self._at = 0  # the frames taken so far (with known places)

    @property
    def held_frames(self) -> int:
        return len(self._held)

    def output_frames(self, frames: int) -> int | None:
        return None

    def _found(self) -> bool:
        """Whether the sound has begun (the search is over)."""
        return not self._searching

    def process(self, chunk: Frames) -> Frames:
        if not chunk.shape[0]:
            return empty(self.out_channels)
        if self._places is not None:
            first, end = self._places
            start, self._at = self._at, self._at + chunk.shape[0]
            kept = chunk[max(0, first - start) : max(0, min(chunk.shape[0], end - start))]
            return kept.copy() if kept.shape[0] else empty(self.out_channels)
        if self._searching and chunk.shape[0] > PIECE:
            # The search takes several arrays a frame: it goes through a piece at a time
            # until the sound begins, and the rest of the chunk follows at once.
            for begin in pieces(chunk.shape[0]):
                found = self.process(chunk[begin : begin + PIECE])
                rest = chunk[begin + PIECE :]
                if self._found() and rest.shape[0]:
                    return join([found, self.process(rest)], self.type)
            return found
        sound = loud_frames(chunk, self._threshold)
        out = []
        if self._searching:
            n = chunk.shape[0]
            started = self._search.find(sound)
            if started is None:
                tail = self._search.run
                if tail <= n:  # the held run was broken, or none went on
                    self._held.clear()
                self._held.append(chunk[n - min(tail, n) :])
                return empty(self.out_channels)
            # The run began at its first loud frame, maybe in the held run (then all of the
            # held run is its start).
            if started < 0:
                out.append(self._held.take(len(self._held)))
            self._held.clear()
            self._searching = False
            chunk = chunk[max(started, 0) :]
            sound = sound[max(started, 0) :]
        if not self._trail:
            out.append(chunk)
        elif chunk.shape[0]:
            if sound.any():
                last = chunk.shape[0] - 1 - int(np.argmax(sound[::-1]))
                out.append(self._held.take(len(self._held)))
                out.append(chunk[: last + 1])
                self._held.append(chunk[last + 1 :])
            else:
                self._held.append(chunk)
        if not out:
            return empty(self.out_channels)
        # A new array, never a view of the chunk given.
        return join(out, self.type) if len(out) > 1 else out[0].copy()

    def flush(self) -> Frames:
        out = empty(self.out_channels)
        if self._places is None and not self._searching and len(self._held) < self._least:
            out = self._held.take(len(self._held))
        self.reset()
        return out


class PeakMeter:
    """The sample or true peak of a signal fed in chunks, the same for any chunking: the
    level meter's true-peak meter, whose reading does not depend on how the signal was cut.
    NaN and infinite samples are left out of the peak."""

    # What it holds at once as it measures a piece, in bytes a sample: the piece in double
    # precision, its finite copy, and the meter's copies of that.
    PIECE_BYTES = 8 + 8 + 20

    def __init__(self, channels: int, true_peak: bool) -> None:
        self.channels = channels
        self.true_peak = true_peak
        self._meter = TruePeakMeter(channels, oversample=true_peak)

    def add(self, chunk: Frames) -> None:
        for begin in pieces(chunk.shape[0]):
            rows = np.asarray(chunk[begin : begin + PIECE], dtype=np.float64)
            self._meter.add(np.where(np.isfinite(rows), rows, 0.0))

    def result(self) -> float:
        """The peak, linear."""
        return float(np.max(self._meter.true_peak, initial=0.0))


def peak_gain(peak: float, peak_db: float, when: str, sample_peak: bool) -> tuple[int, np.float32]:
    """The gain that brings ``peak`` to ``peak_db`` dBFS, as :func:`split_gain` gives it (a
    single-precision gain, unless the peak lies near the least or the greatest float): 1
    for silence, and 1 when ``when`` is "above" and the peak is not above the target. For a
    sample peak, the factor is lowered by a step of single precision if the product would
    pass the target."""
    if not sample_peak:
        check_true_peak(peak)
    target = 10.0 ** (peak_db / 20.0)
    if peak <= 0.0 or not math.isfinite(peak) or (when == "above" and peak <= target):
        return 0, np.float32(1.0)
    k, gain = split_gain(target / peak)
    if sample_peak:
        lifted = np.ldexp(np.float32(peak), k)
        while gain > 0 and lifted * gain > np.float32(target):
            gain = np.nextafter(gain, np.float32(0.0))
    return k, np.float32(gain)


class Normalize(Step):
    """One gain from the peak of the whole input. Given the peak (a file's measuring pass),
    it holds nothing; otherwise it holds the signal until the flush."""

    type = "normalize"

    def __init__(
        self, rate: int, channels: int, peak_db: float, mode: str, when: str, peak: float | None
    ) -> None:
        super().__init__(rate, channels)
        self._peak_db, self._mode, self._when = peak_db, mode, when
        self._known = peak
        # The flush joins what is held into one array (and scales it in place).
        self._held = FrameBuffer(
            channels, "normalize: the signal held until the flush, and its flush", 4
        )
        self.reset()

    def reset(self) -> None:
        self._held.clear()

    @property
    def held_frames(self) -> int:
        return len(self._held)

    def gain(self, peak: float) -> tuple[int, np.float32]:
        return peak_gain(peak, self._peak_db, self._when, self._mode == "sample")

    def check_hold(self, frames: int) -> None:
        if self._known is None:
            self._held.check(frames)

    def check_flush(self, frames: int) -> None:
        if self._known is None:
            piece = min(len(self._held) + frames, PIECE) * self.in_channels
            self._held.check(frames, piece * PeakMeter.PIECE_BYTES)

    def process(self, chunk: Frames) -> Frames:
        if self._known is not None:
            return apply_gain(chunk, self.gain(self._known))
        self._held.append(chunk)
        return empty(self.out_channels)

    def flush(self) -> Frames:
        if self._known is not None:
            return empty(self.out_channels)
        signal = self._held.take(len(self._held))
        meter = PeakMeter(self.in_channels, self._mode == "true")
        meter.add(signal)
        self.reset()
        return apply_gain(signal, self.gain(meter.result()), in_place=True)
