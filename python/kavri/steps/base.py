"""What every step is: a stage that takes a signal in chunks and gives its output in chunks.

A step is fed (frames, channels) float32 chunks through :meth:`Step.process` and ended with
:meth:`Step.flush`. Its output, the chunks' outputs followed by the flush, depends on the
signal alone, never on how it was cut: that is what lets a chain with steps give the bits of
one call in any chunking. A step that needs what comes later (the end of the signal, the
next block of a library fed in fixed blocks) holds frames back and says how many.
"""

from __future__ import annotations

import math
import warnings
from collections import deque
from collections.abc import Iterator
from fractions import Fraction

import numpy as np
import numpy.typing as npt

from .._audio import check_count, check_sample_rate
from .._engine import check_memory
from ..errors import KavriWarning

__all__ = [
    "Step",
    "Identity",
    "Frames",
    "empty",
    "FrameBuffer",
    "round_half_up",
    "seconds_to_frames",
    "split_gain",
    "apply_gain",
]

Frames = npt.NDArray[np.float32]


# The frames a step works on at once where its work takes several arrays a frame (indices,
# masks, float64 copies): a whole call's signal goes through in pieces of this size, so
# that those arrays stay small beside the signal. Each such step gives the same bits for any
# chunking, so the pieces do not change them.
PIECE = 1 << 16


def pieces(frames: int) -> range:
    """The first frames of the pieces that cover ``frames`` frames."""
    return range(0, frames, PIECE)


def empty(channels: int) -> Frames:
    return np.zeros((0, channels), np.float32)


def join(pieces: list[Frames], what: str) -> Frames:
    """The pieces, one after another, as one new array (a lone piece as it is); the new
    array is first asked of the memory guard, since a whole call joins a whole signal."""
    if len(pieces) == 1:
        return pieces[0]
    frames = sum(int(piece.shape[0]) for piece in pieces)
    channels = int(pieces[0].shape[1])
    check_memory(frames * channels * 4, f"{what} ({frames} frames joined)")
    return np.concatenate(pieces)


def split_gain(gain: float) -> tuple[int, np.float32]:
    """A gain as a power of two 2**k and a single-precision factor. k is 0, the gain a
    float32 alone, unless the gain lies beyond 2**±64: then single precision would round
    it to infinity or to few bits (a signal near the least float brought to full scale,
    or the reverse), and the power of two, which scales exactly, takes the most of it."""
    if gain == 0.0 or not math.isfinite(gain) or 2.0**-64 <= abs(gain) <= 2.0**64:
        return 0, np.float32(gain)
    k = round(math.log2(abs(gain)))
    return k, np.float32(gain / 2.0**k)


def apply_gain(data: Frames, gain: tuple[int, np.float32], in_place: bool = False) -> Frames:
    """``data`` times a gain from :func:`split_gain` (2**k exactly, then the factor, rounded
    once), in a new array or in ``data`` itself. What passes the greatest float is
    infinite, as in the engine's effects, without a warning."""
    k, factor = gain
    with np.errstate(over="ignore"):
        if not in_place:
            return (np.ldexp(data, k) if k else data) * factor
        if k:
            np.ldexp(data, k, out=data)
        data *= factor
        return data


def round_half_up(value: Fraction) -> int:
    """The whole number nearest to an exact fraction, a half rounded up."""
    return int((2 * value.numerator + value.denominator) // (2 * value.denominator))


def seconds_to_frames(seconds: float, sample_rate: int) -> int:
    """Frames in ``seconds`` at a rate: seconds x rate rounded to the nearest frame (an exact
    half to the even one), as a tail's frames are counted."""
    return int(round(seconds * sample_rate))


class FrameBuffer:
    """Frames held back by a step, appended at the end and taken from the front. The pieces
    are kept as they came (copied, since a caller may reuse its buffer) and joined only when
    taken; each piece is first asked of the memory guard, in the words of ``what``.

    A step that holds the whole signal until its flush gives ``flush_bytes``: what its
    flush needs beside the held signal, in bytes per held sample. Each piece is then asked
    for together with that much for everything held, so that the chunk which would leave
    the flush without room is refused (and the stream stays usable), not the flush after
    all of the input was taken."""

    def __init__(self, channels: int, what: str, flush_bytes: int = 0) -> None:
        self.channels = channels
        self.what = what
        self.flush_bytes = flush_bytes
        self._parts: deque[Frames] = deque()
        self._size = 0

    def __len__(self) -> int:
        return self._size

    def append(self, frames: Frames, copy: bool = True) -> None:
        """Holds ``frames`` (a copy unless ``copy`` is false: the caller then gives them up)."""
        count = int(frames.shape[0])
        if not count:
            return
        self.check(count)
        self._parts.append(frames.copy() if copy else frames)
        self._size += count

    def check(self, count: int, beside: int = 0) -> None:
        """Asks the memory guard for holding ``count`` frames more, with ``beside`` bytes
        more that the flush needs (MemoryError if not)."""
        flush = self.flush_bytes * (self._size + count) * self.channels
        check_memory(count * self.channels * 4 + flush + beside, self.what)

    def take(self, count: int) -> Frames:
        """The first ``count`` frames (at most all), removed from the buffer."""
        count = max(0, min(count, self._size))
        if count and self._parts[0].shape[0] < count:
            # Asked before anything is taken: refused, the buffer still holds every frame.
            check_memory(count * self.channels * 4, f"{self.what} ({count} frames joined)")
        pieces: list[Frames] = []
        need = count
        while need:
            head = self._parts[0]
            if head.shape[0] <= need:
                pieces.append(self._parts.popleft())
                need -= head.shape[0]
            else:
                pieces.append(head[:need])
                self._parts[0] = head[need:]
                need = 0
        self._size -= count
        if not pieces:
            return empty(self.channels)
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)

    def clear(self) -> None:
        self._parts.clear()
        self._size = 0


class Step:
    """One step of a planned chain: its input's rate and channel count, its output's, and the
    processing. Subclasses set the four figures and implement the methods."""

    type = ""

    def __init__(self, rate: int, channels: int) -> None:
        # Checked here, though a planned chain's are: a step made by hand at a rate of 0 ended
        # the process in libsndfile's encoder (a codec), or divided by zero.
        self.in_rate = self.out_rate = check_sample_rate(rate)
        self.in_channels = self.out_channels = check_count("channels", channels)
        # What the step has to say of a signal (a noise that could not be mixed), kept here
        # where its stream collects them for a file's summary, else warned of.
        self.notes: list[str] | None = None

    def say(self, text: str) -> None:
        """A note of what the step did to this signal (see ``notes``)."""
        if self.notes is None:
            warnings.warn(text, KavriWarning, stacklevel=3)
        elif text not in self.notes:
            self.notes.append(text)

    def process(self, chunk: Frames) -> Frames:
        """The next (frames, in_channels) chunk in, what is final of the output out."""
        raise NotImplementedError

    def flush(self) -> Frames:
        """Ends the signal: the rest of the output; the step is then as new."""
        raise NotImplementedError

    def reset(self) -> None:
        """Drops what is held: the step is as new."""
        raise NotImplementedError

    def run_whole(self, data: Frames) -> Frames:
        """The step over a whole signal: :meth:`process` and :meth:`flush` joined (a step
        may do it more cheaply, never with other bits)."""
        head = self.process(data)
        rest = self.flush()
        if not rest.shape[0]:
            return head
        return rest if not head.shape[0] else join([head, rest], self.type)

    @property
    def held_frames(self) -> int:
        """Frames taken in whose output has not come out yet."""
        return 0

    def check_hold(self, frames: int) -> None:
        """Asks the memory guard for what the step will hold, with what its flush needs,
        once it has taken ``frames`` more: for a step that holds the whole signal, before
        any stage runs the chunk. Others ask as they go."""

    def check_flush(self, frames: int) -> None:
        """Asks the memory guard for what the flush will need, with ``frames`` more coming
        from the flushes of the stages before, before any stage of a stream flushes:
        refused there, nothing is let go, and the flush can be tried again. A step that
        holds little asks here for the frames coming (a codec after a normalize is fed the
        whole signal by the flush): the larger of the frames held with their copy and the
        output, as the guard is asked for each in turn."""
        check_memory(
            max(
                frames * self.in_channels * 8,
                self.most_flush_frames(frames) * self.out_channels * 4,
            ),
            f"{self.type}: the {frames} frames a flush brings",
        )

    def most_flush_frames(self, frames: int) -> int:
        """At most this many frames come out of the flush, with ``frames`` more coming from
        the stages before."""
        return self.most_output_frames(self.held_frames + frames)

    def output_frames(self, frames: int) -> int | None:
        """The output's length for an input of ``frames``; None where it depends on the
        samples (silence trimming)."""
        return frames

    def most_output_frames(self, frames: int) -> int:
        """At most this many frames come out for an input of ``frames``."""
        known = self.output_frames(frames)
        return frames if known is None else known

    def pieces(self, chunk: Frames) -> Iterator[Frames]:
        """The output of :meth:`process` for ``chunk``, in pieces that follow one another:
        a step that makes much from little (a pad's silence) gives it a piece at a time."""
        yield self.process(chunk)

    def flush_pieces(self) -> Iterator[Frames]:
        """The output of :meth:`flush`, in pieces (see :meth:`pieces`)."""
        yield self.flush()

    def most_piece_frames(self, frames: int) -> int:
        """At most this many frames come out in one piece for an input of ``frames``."""
        return self.most_output_frames(frames)


class Identity(Step):
    """A step with nothing to do (a stretch by exactly 1, a shift of 0 semitones): its output
    is its input, as new arrays."""

    def __init__(self, step_type: str, rate: int, channels: int) -> None:
        super().__init__(rate, channels)
        self.type = step_type

    def process(self, chunk: Frames) -> Frames:
        return chunk.copy()

    def flush(self) -> Frames:
        return empty(self.out_channels)

    def reset(self) -> None:
        pass
