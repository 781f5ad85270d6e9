"""Room steps: ``convolution`` with an impulse response and the algorithmic ``reverb``, both
run in native code (``_kavri_stream.Convolver`` and ``Reverb``, reached through
:mod:`kavri._engine`) and fed chunk by chunk.

Convolution. The impulse response is a (frames, channels) float32 array at the signal's
rate (a file's is read, and converted to that rate, by :mod:`kavri.rooms`). Its channels
meet the signal's as follows: one channel is used on every channel; as many channels as the
signal has go channel for channel; four on a stereo signal are true stereo, in the order
LL, LR, RL, RR (left input to left output, left to right, right to left, right to right),
so the left output is left in through LL plus right in through RL. Any other count is
refused. ``mix`` is the wet share: out = in x (1 - mix) + wet x mix, in single precision.
With ``normalize`` "energy" the response is scaled by one gain, so that the energy of the
paths into an output channel (the sum of their squared samples), averaged over the output
channels, is 1: a white input then keeps its level on average.

The convolution is uniformly partitioned, with partitions of B frames: the smallest power
of two at least a quarter of the response's length, held within [256, 8192]. Blocks of B
frames are counted from the signal's first frame, and each block's output comes from the
blocks up to it alone, so the output has the input's length, lines up with it (no delay),
and is the same for any chunking and any worker count. A stream gives out whole blocks and
holds the rest, fewer than B frames, until more comes or the flush ends the signal with
silence. The tail that rings on after the signal comes from silence added to the input
(``--tail``). The transforms are a fixed-order radix-2 FFT in single precision, written for
the engine so that the bits are the same on every processor; against a double-precision
convolution the error is about 3e-7 of the signal's RMS. A sample that is not finite spreads
through the transforms: its whole block comes out NaN (frames before it in the block
included), and so do the blocks after it that the response reaches.

Reverb: see the catalogue's keys and ``src/effects/rooms/reverb.hpp``. It holds nothing:
each chunk's output comes out at once, sample after sample of one recurrence, so any
chunking gives the bits of one call.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _engine
from .._providers import KeptLast
from ..catalogue import counted
from ..errors import ChainError
from .base import Frames, Step, empty

__all__ = ["Convolution", "Reverb", "convolution_paths", "convolution_step", "reverb_step"]

# Responses that come back again and again: their transformed partitions, kept for the last
# few, so that each new chain item shares them instead of transforming the response again.
# A file's response (read once and kept by kavri.rooms) is known by the array itself, kept
# alive here so that its identity stays its own. An array given in a chain comes as a new
# copy on every call: it is known by its bits, compared whole (so -0 and 0 differ), and kept
# only up to _BY_BITS_LIMIT bytes, past which a response is seldom used twice.
# A kept response's spectra take about twice its bytes (a complex float a frame).
_BY_BITS_LIMIT = 4 << 20
# What one channel's path takes (see convolution_paths), rounded up.
_PATH_BYTES = 256
_SHARED: KeptLast[tuple[npt.NDArray[np.float32], Any]] = KeptLast(
    4, 192 << 20, lambda kept: 3 * kept[0].nbytes
)


def _same_bits(a: npt.NDArray[np.float32], b: npt.NDArray[np.float32]) -> bool:
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint32), b.view(np.uint32)))


def _shared_native(
    response: npt.NDArray[np.float32],
    channels: int,
    paths: list[tuple[int, int, int]],
    normalize: bool,
    by_bits: bool = False,
) -> Any:
    """The kept native convolver of a response, made on first use: a prototype that is only
    copied from (Convolver.fresh), never run. ``by_bits`` finds it by the response's bits
    (a read-only array of the caller's that no one else writes) instead of its identity."""
    if by_bits:
        # A few samples spread over the response tell most responses apart before the
        # whole comparison.
        step = max(1, response.shape[0] // 16)
        mark: Any = response[::step].tobytes()
    else:
        mark = id(response)
    key = (mark, response.shape, channels, tuple(paths), normalize)
    found = _SHARED.get(key)
    if found is not None and (_same_bits(found[0], response) if by_bits else found[0] is response):
        return found[1]
    made = _engine.NativeConvolver(response, channels, paths, normalize=normalize, prototype=True)
    _SHARED.put(key, (response, made))
    return made


def convolution_paths(
    response_channels: int, channels: int, where: str = "convolution"
) -> list[tuple[int, int, int]]:
    """The (input, response channel, output) paths for a response of ``response_channels``
    on a signal of ``channels``; :class:`ChainError` for counts that do not meet."""
    if response_channels in (1, channels):
        # A tuple of three numbers a channel here, its copy in the kept convolver's key and
        # in the engine's list: a signal of millions of channels had them made before the
        # engine's own plan refused it.
        _engine.check_memory(channels * _PATH_BYTES, f"{where}: the paths of {channels} channels")
    if response_channels == 1:
        return [(c, 0, c) for c in range(channels)]
    if response_channels == channels:
        return [(c, c, c) for c in range(channels)]
    if response_channels == 4 and channels == 2:
        return [(0, 0, 0), (0, 1, 1), (1, 2, 0), (1, 3, 1)]
    if channels == 1:
        takes = "1"
    elif channels == 2:
        takes = "1, 2 or 4 (true stereo: LL, LR, RL, RR)"
    else:
        takes = f"1 or {channels}"
    raise ChainError(
        f"{where}: the impulse response has {response_channels} channels; a signal of "
        f"{counted(channels, 'channel')} takes {takes}"
    )


class Convolution(Step):
    """Convolution with an impulse response (see the module's text)."""

    type = "convolution"

    def __init__(
        self,
        rate: int,
        channels: int,
        response: npt.NDArray[np.float32],
        mix: float,
        normalize: bool,
        workers: int,
        where: str = "convolution",
        shared: bool = False,
    ) -> None:
        super().__init__(rate, channels)
        self._paths = convolution_paths(response.shape[1], channels, where)
        self._response = response
        self._options = (mix, normalize, max(1, workers))
        self._shared = shared
        self._made: Any = None
        self._where = where
        self._looked = False  # whether the response was looked at for silence

    def _silent_response(self) -> None:
        """Says, once, that a response of zeros makes the wet signal silence: a silent file
        among a folder's responses gave silent clips without a word."""
        if not self._looked:
            if self._options[0] > 0.0 and not np.any(self._response):
                self.say(f"{self._where}: the impulse response is all zeros; the wet is silence")
            # Looked at once it is said: where warnings are errors, a stream reset after
            # the first call had then gone through without a word.
            self._looked = True

    @property
    def _native(self) -> Any:
        """The native convolver, made when first used: a plan that only asks the step its
        output's length never transforms the response."""
        by_bits = not self._shared and self._response.nbytes <= _BY_BITS_LIMIT
        if self._made is None and (self._shared or by_bits):
            mix, normalize, workers = self._options
            prototype = _shared_native(
                self._response, self.in_channels, self._paths, normalize, by_bits
            )
            self._made = prototype.fresh(mix, workers)
        if self._made is None:
            mix, normalize, workers = self._options
            self._made = _engine.NativeConvolver(
                self._response,
                self.in_channels,
                self._paths,
                mix=mix,
                normalize=normalize,
                workers=workers,
            )
        return self._made

    @property
    def partition(self) -> int:
        return int(self._native.partition)

    @property
    def held_frames(self) -> int:
        return 0 if self._made is None else int(self._made.held_frames)

    def process(self, chunk: Frames) -> Frames:
        self._silent_response()
        out: Frames = self._native.process(chunk)
        return out

    def flush(self) -> Frames:
        out: Frames = self._native.flush()
        return out if out.shape[0] else empty(self.out_channels)

    def reset(self) -> None:
        if self._made is not None:
            self._made.reset()

    def run_whole(self, data: Frames) -> Frames:
        self._silent_response()
        out: Frames = self._native.run_whole(data)
        return out


class Reverb(Step):
    """The feedback delay network reverb (see the catalogue)."""

    type = "reverb"

    def __init__(self, rate: int, channels: int, value: dict[str, Any]) -> None:
        super().__init__(rate, channels)
        self._settings = (
            float(value["room_size"]),
            float(value["damping"]),
            float(value["pre_delay_ms"]),
            float(value["width"]),
            float(value["mix"]),
        )
        self._made: Any = None

    @property
    def _native(self) -> Any:
        """The native reverb, made when first used: a plan that only asks the step its
        output's length (and keeps it) never allocates its lines, which at a rate of
        gigahertz take gigabytes, a second time."""
        if self._made is None:
            self._made = _engine.NativeReverb(self.in_rate, self.in_channels, *self._settings)
        return self._made

    @property
    def decay_seconds(self) -> float:
        """The decay time the lines are set for (60 dB), before damping."""
        return float(self._native.decay_seconds)

    def check_hold(self, frames: int) -> None:
        # A stream's lines are made, and the guard asked for them, before any stage runs a
        # chunk: refused as the first chunk ran, after the stages before it, the stream
        # was left broken, and so again after each reset.
        self._native  # noqa: B018

    def process(self, chunk: Frames) -> Frames:
        if not chunk.shape[0]:
            return empty(self.out_channels)
        out: Frames = self._native.process(chunk)
        return out

    def flush(self) -> Frames:
        self.reset()
        return empty(self.out_channels)

    def reset(self) -> None:
        if self._made is not None:
            self._made.reset()


def convolution_step(
    rate: int,
    channels: int,
    response: Any,
    value: dict[str, Any],
    workers: int,
    where: str,
    shared: bool = False,
) -> Convolution:
    """A convolution with a response already at the signal's rate, as the chain holds it;
    ``shared`` for a response that comes again (a file's), whose transform is then kept;
    other responses are kept by their bits, up to a size."""
    return Convolution(
        rate,
        channels,
        response,
        float(value["mix"]),
        value["normalize"] == "energy",
        workers,
        where,
        shared,
    )


def reverb_step(rate: int, channels: int, value: dict[str, Any]) -> Reverb:
    return Reverb(rate, channels, value)
