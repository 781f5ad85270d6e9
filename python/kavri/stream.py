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

A chain with steps (:mod:`kavri.steps`) returns from each chunk as many frames as its steps
have produced so far, at the rate and channel count the chain ends with
(:attr:`Stream.output_sample_rate`, :attr:`Stream.output_channels`), and the flush the rest:
``resample`` and ``speed`` hold up to 65,536 input frames (soxr is fed in fixed blocks),
``time_stretch`` and ``pitch_shift`` a 2-second block and its context, ``trim`` the frames it
may cut from the end, ``fade`` the fade-out's frames, ``trim_silence`` a run of silence that
may be trailing, and ``normalize`` the whole signal (counted by the memory guard).
"""

from __future__ import annotations

import contextlib
import copy
import os
import threading
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _engine, steps
from ._locks import ForkSafeLock
from .chain import Chain, ChainLike, load_chain

__all__ = ["Stream"]


# Held while a stream is taken for a call: its lock and the process that took it change
# together.
_TAKING = ForkSafeLock()


class Stream(_engine.NativeState):
    """An effect chain that processes a signal chunk by chunk, its state kept between chunks.

    ``chain`` is anything :func:`kavri.process` takes: a list of effect specs, the path of a
    JSON chain file or a preset name; it is checked against the catalogue first, and planned
    for ``sample_rate`` and ``channels``, the input's (a chain that cannot work with them,
    such as a ``channels`` matrix of the wrong width, raises :class:`kavri.ChainError` here).
    ``channels`` is the channel count of every chunk. ``block_size`` (0 means 2048) and
    ``workers`` (0 means 1) act as in :func:`kavri.process`.

    Without steps, each chunk returns exactly its own frames (but for a dynamic EQ's
    unfinished block). With steps that change the rate, length or channels, each chunk
    returns as many frames as the steps have produced (0 included), at
    :attr:`output_sample_rate` with :attr:`output_channels`, and :meth:`flush` the rest; the
    outputs together are the bits of :func:`kavri.process` over the whole signal, for any
    chunking. :attr:`held_frames` says how many frames the stages hold.

    A stream serves one thread at a time: a call made while another thread's call on the same
    stream is running raises ``RuntimeError("stream is in use by another thread")``. Separate
    streams run in parallel, each on its own thread, with the interpreter lock released.
    """

    INSTEAD = "make another with the same chain"

    def __init__(
        self,
        chain: ChainLike,
        sample_rate: int | float,
        channels: int,
        *,
        block_size: int = _engine.DEFAULT_BLOCK_SIZE,
        workers: int = 1,
    ) -> None:
        self._chain: Chain = load_chain(chain)
        specs: list[Any] = list(self._chain)
        staged = steps.has_steps(specs)
        # With steps, the native stream of no effects only checks the arguments (and says
        # their effective values); the chain runs in stages, each engine run natively.
        self._native = _engine.open_stream(
            [] if staged else specs, sample_rate, channels, block_size, workers
        )
        self._flat = False  # whether the last chunk came as a 1-D mono signal
        self._plan = steps.plan_chain(specs, self._native.sample_rate, self._native.channels)
        self._plan.warn_clamped()  # as process warns, once, where the stream is made
        self._steps: steps.ChainStream | None = None
        self._busy = threading.Lock()  # one thread at a time, as the native stream allows
        self._holder = os.getpid()  # the process that last took it
        # Whether a call failed part-way through the steps (their state is then unknown):
        # until reset(), the stream refuses, as the native stream does.
        self._failed = False
        if staged:
            self._steps = steps.ChainStream(
                self._plan, self._native.block_size, self._native.workers
            )

    @property
    def chain(self) -> Chain:
        """The checked chain, as a new list of spec dicts (a response array in it is the
        stream's own read-only copy)."""
        # Lists in specs are copied too: a weight changed in one had changed what the stream
        # reported while it ran with the old one.
        arrays = {
            id(v): v for spec in self._chain for v in spec.values() if isinstance(v, np.ndarray)
        }
        return copy.deepcopy(self._chain, arrays)

    @property
    def sample_rate(self) -> int:
        """The input's sample rate."""
        return self._native.sample_rate

    @property
    def channels(self) -> int:
        """The input's channel count: every chunk's."""
        return self._native.channels

    @property
    def output_sample_rate(self) -> int:
        """The sample rate the chain ends with (after a ``resample``, its rate)."""
        return self._plan.out_rate

    @property
    def output_channels(self) -> int:
        """The channel count the chain ends with: every output's."""
        return self._plan.out_channels

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
        """Frames taken in but not yet released; :meth:`flush` returns what they give. With
        steps, the sum over the stages, each counted at the rate of the stage holding it."""
        if self._steps is not None:
            return self._steps.held_frames
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
        with self._one_thread():
            if self._steps is not None and not self._failed:
                self._steps.check_chunk(data.shape[0])
            with self._may_fail():
                out = (
                    self._native.process(data) if self._steps is None else self._steps.process(data)
                )
        self._flat = flat
        return out[:, 0] if flat and out.shape[1] == 1 else out

    def flush(self) -> npt.NDArray[np.float32]:
        """Ends the signal: returns the frames still held back as a float32 array, in the
        form of the last chunk (1-D after a 1-D chunk, else (frames, channels)), and leaves
        the stream as if new, ready for another signal."""
        with self._one_thread(), self._may_fail():
            rest = self._native.flush() if self._steps is None else self._steps.flush()
        return rest[:, 0] if self._flat and rest.shape[1] == 1 else rest

    def reset(self) -> None:
        """Drops the held frames and all effect state: the stream is as if new."""
        with self._one_thread():
            if self._steps is not None:
                self._steps.reset()
            else:
                self._native.reset()
            self._failed = False

    @contextlib.contextmanager
    def _one_thread(self) -> Iterator[None]:
        """Holds the stream for one call; a call from another thread meanwhile is refused,
        as the native stream refuses it."""
        with _TAKING:
            if not self._busy.acquire(blocking=False) and not self._take_inherited():
                raise RuntimeError("stream is in use by another thread")
            self._holder = os.getpid()
        try:
            yield
        finally:
            self._busy.release()

    def _take_inherited(self) -> bool:
        """Takes the stream in a child forked while a thread of its parent was in a call: the
        lock came held, by a thread the child does not have (every call, reset() too, was
        refused for good). That call was cut off part-way, so the stream refuses until
        reset(), as the native stream does."""
        if self._holder == os.getpid():
            return False  # another thread of this process holds it
        self._busy = threading.Lock()
        self._busy.acquire()
        self._failed = True
        return True

    @contextlib.contextmanager
    def _may_fail(self) -> Iterator[None]:
        """Runs a call; one that fails part-way (a step's memory refused, an interrupt)
        leaves the state unknown, and the stream refuses until reset(). An interrupt, or an
        exception a signal handler raises, during a native call is seen once the call has
        run its chunk: that chunk's output is lost, so the signal would go on with a gap
        (the next chunk was taken as if it followed)."""
        if self._failed:
            raise RuntimeError(
                "stream failed part-way through an earlier call; reset() it before further use"
            )
        before = self._runs()
        try:
            yield
        except BaseException as error:
            # A call refused before any stage changed (the native checks and memory guard,
            # the steps' guard asked first) leaves the count of runs as it was, and can be
            # tried again; one that got further, or an interrupt, has lost what it made.
            if self._runs() != before or not isinstance(error, Exception):
                self._failed = True
                if isinstance(error, MemoryError) and error.args:
                    # Said here: the refusal read as one the call could be tried again after.
                    error.args = (f"{error.args[0]}; the stream's state is lost: reset() it",)
            raise

    def _runs(self) -> int:
        return self._native.runs if self._steps is None else self._steps.runs

    def __repr__(self) -> str:
        types = ", ".join(spec["type"] for spec in self._chain)
        shape = ""
        if self._plan.has_steps:
            shape = f" -> {self.output_sample_rate} Hz x {self.output_channels}"
        return (
            f"Stream([{types}], sample_rate={self.sample_rate}, channels={self.channels}"
            f"{shape}, block_size={self.block_size}, workers={self.workers})"
        )
