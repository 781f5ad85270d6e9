"""Streaming: one effect chain run over a long signal that arrives in chunks.

A :class:`Stream` is built once for a chain, a sample rate and a channel count. Each chunk
given to :meth:`Stream.process` goes through every effect with the effects' state carried
over from the chunk before, so delays ring on, oscillators keep their phase and envelopes
their level. :meth:`Stream.flush` ends the signal. Like ``zlib.compressobj``, a chunk returns
what is final and the flush returns the rest: the chunks' outputs followed by the flush equal,
bit for bit, :func:`kavri.process` over the whole signal with the same ``block_size`` and
``workers``, however the signal was cut.

Every effect but the dynamic EQ releases each frame at once, so without a "dynamic_eq" in
the chain a chunk's output has exactly the chunk's frames. The dynamic EQ sets each block's
gain from the level at the block's end, so it holds back the frames of an unfinished block
(fewer than ``block_size`` of them, counted from the signal's first frame) until the block is
complete or the flush ends it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _engine
from .chain import Chain, ChainLike, load_chain

__all__ = ["Stream"]


class Stream:
    """An effect chain that processes a signal chunk by chunk, its state kept between chunks.

    ``chain`` is anything :func:`kavri.process` takes: a list of effect specs, the path of a
    JSON chain file or a preset name; it is checked against the catalogue first. ``channels``
    is the channel count of every chunk. ``block_size`` (0 means 2048) and ``workers``
    (0 means 1) act as in :func:`kavri.process`.

    A stream serves one thread at a time: a call made while another thread's call on the same
    stream is running raises ``RuntimeError("stream is in use by another thread")``. Separate
    streams run in parallel, each on its own thread, with the interpreter lock released.
    """

    def __init__(
        self,
        chain: ChainLike,
        sample_rate: int | float,
        channels: int,
        *,
        block_size: int = 2048,
        workers: int = 1,
    ) -> None:
        self._chain: Chain = load_chain(chain)
        specs: list[Any] = list(self._chain)
        self._native = _engine.open_stream(specs, sample_rate, channels, block_size, workers)
        self._flat = False  # whether the last chunk came as a 1-D mono signal

    @property
    def chain(self) -> Chain:
        """The checked chain, as a new list of spec dicts."""
        return [dict(spec) for spec in self._chain]

    @property
    def sample_rate(self) -> int:
        return self._native.sample_rate

    @property
    def channels(self) -> int:
        return self._native.channels

    @property
    def block_size(self) -> int:
        """The effective block size (2048 when 0 was given)."""
        return self._native.block_size

    @property
    def workers(self) -> int:
        """The effective worker count (1 when 0 was given)."""
        return self._native.workers

    @property
    def held_frames(self) -> int:
        """Frames taken in but not yet released; :meth:`flush` returns them."""
        return self._native.held_frames

    def process(self, chunk: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Runs the next chunk of the signal through the chain.

        ``chunk`` is a (frames, channels) array, or a 1-D signal when the stream is mono; any
        number of frames, 0 included. Its samples are converted as :func:`kavri.process`
        converts audio (integer PCM scaled by its full scale; other integer types, booleans
        and complex numbers refused with ``TypeError``). Returns the frames the chain
        releases as a new float32 array of the same form. The chunk itself is never changed.
        Raises ``ValueError`` for a chunk of the wrong shape, channels-first included.
        """
        data, flat = _engine.stream_frames(chunk, self._native.channels)
        out = self._native.process(data)
        self._flat = flat
        return out[:, 0] if flat else out

    def flush(self) -> npt.NDArray[np.float32]:
        """Ends the signal: returns the frames still held back as a float32 array, in the
        form of the last chunk (1-D after a 1-D chunk, else (frames, channels)), and leaves
        the stream as if new, ready for another signal."""
        rest = self._native.flush()
        return rest[:, 0] if self._flat else rest

    def reset(self) -> None:
        """Drops the held frames and all effect state: the stream is as if new."""
        self._native.reset()

    def __repr__(self) -> str:
        types = ", ".join(spec["type"] for spec in self._chain)
        return (
            f"Stream([{types}], sample_rate={self.sample_rate}, channels={self.channels}, "
            f"block_size={self.block_size}, workers={self.workers})"
        )
