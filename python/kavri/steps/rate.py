"""Rate steps: ``resample`` to a new sample rate and ``speed`` (tempo and pitch together),
both through soxr (libsoxr) at its very-high quality ("VHQ": 28-bit precision with a
double-precision engine, a linear-phase filter whose pass band reaches 95% of the lower
Nyquist frequency). libsoxr is the well-kept resampler made for this job; none is written
here.

How a stream stays exact: soxr's stream resampler is fed in fixed blocks of
:data:`BLOCK_FRAMES` input frames (or another size fixed when the step is made) counted
from the signal's first frame, whatever chunks the caller gives, and the rest with the
flush, so it sees the same calls for every chunking.
soxr compensates its own filter delay, so the first output frame lines up with the first
input frame; the output is then cut (or, if soxr gave fewer, padded with silence) to the
length rule below. Channels are independent in soxr, so groups of channels run on worker
threads (soxr releases the interpreter lock) with the same bits as one call over all.

What else soxr's bits depend on: libsoxr as python-soxr builds it has no OpenMP (it runs on
the calling thread, so no thread count reaches it), and it picks its SIMD code by the
processor when it loads, so two machines may differ in the last bits, one machine never.

Lengths: ``resample`` from rate a to rate b gives round(N x b / a) frames for N frames in,
and ``speed`` by a factor f gives round(N / f), in exact arithmetic (f as the double it is),
an exact half rounded up. A 3x upsample of N frames gives 3N, 48 kHz to 44.1 kHz gives
round(N x 147 / 160), and so on for every pair.
"""

from __future__ import annotations

import atexit
import os
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction
from typing import Any

import numpy as np
import soxr  # type: ignore[import-untyped]

from .._engine import check_memory, usable_cores
from .._locks import ForkSafeLock
from .base import FrameBuffer, Frames, Step, empty, join, round_half_up

__all__ = ["Resample", "BLOCK_FRAMES", "QUALITY", "off_daemon", "resample_step", "source_block"]

# Input frames per call of the stream resampler: a whole number of blocks, counted from the
# signal's start, is fed before the flush. Small enough for a block to stay in cache, large
# enough that the calls cost no more than one call over a whole buffer (measured at 16,384
# frames: 7% slower; at 65,536: the same).
BLOCK_FRAMES = 1 << 16
QUALITY = "VHQ"
# The most frames soxr's one-shot call is given to make (see Resample.run_whole).
_ONE_SHOT_MOST = 1 << 30

_POOL: ThreadPoolExecutor | None = None
_POOL_PID = 0
_POOL_LOCK = ForkSafeLock()


def _pool() -> ThreadPoolExecutor:
    """The threads the channel groups run on: one pool per process (a forked child makes
    its own)."""
    global _POOL, _POOL_PID
    with _POOL_LOCK:
        if _POOL is None or _POOL_PID != os.getpid():
            count = usable_cores()
            pool = ThreadPoolExecutor(max_workers=count, thread_name_prefix="kavri-steps")
            # Its threads are all started here, by a thread of ours that no interrupt reaches.
            # A thread the pool starts as work comes is entered in its books only after it
            # has started: a Ctrl-C in between (in a submit on the main thread) left threads
            # it had lost track of, which nothing ended, and the interpreter waited for them
            # at exit for good.
            starter = threading.Thread(target=_start_threads, args=(pool, count))
            try:
                starter.start()
            except RuntimeError:  # no thread to be had (exiting, a memory limit): as work comes
                pass
            else:
                starter.join()
            _POOL, _POOL_PID = pool, os.getpid()
        return _POOL


def _start_threads(pool: ThreadPoolExecutor, count: int) -> None:
    """Makes the pool start its ``count`` threads: each waits at a gate until all are in,
    so that no submit finds an idle thread."""
    gate = threading.Barrier(count)
    try:
        for _ in range(count):
            pool.submit(gate.wait)
    except RuntimeError:  # a thread could not start: the pool starts the rest as work comes
        gate.abort()


def each_group[Made](run: Callable[[int], Made], count: int) -> list[Made]:
    """``run(0) ... run(count - 1)``, the channel groups, on the pool's threads and this
    one: each group runs exactly once, and all have finished when this returns or raises,
    an interrupt included (no group starts after it). A thread that cannot be started
    (under a memory limit) leaves its group to this thread. The pool's own map left work
    behind: a submit whose thread could not start had queued its item all the same, and a
    thread of the pool ran it later, on streams the caller had given up or reset (memory
    overwritten, the process killed by SIGSEGV, or channel groups out of step after a
    reset).

    A daemon thread runs no group itself but hands every one to the pool and waits: the
    interpreter ends such a thread at exit wherever it is, and soxr ended there mid-call
    aborted the process ("terminate called without an active exception"). The pool's
    threads are waited for at exit; once the pool is shut down, see
    :func:`_run_while_exiting`."""
    results: list[Any] = [None] * count
    errors: list[BaseException | None] = [None] * count
    finished = [threading.Event() for _ in range(count)]
    owner: list[str | None] = [None] * count  # who took each group: "pool", "here", "none"
    guard = threading.Lock()

    def take(index: int, who: str) -> bool:
        with guard:
            if owner[index] is not None:
                return False
            owner[index] = who
            return True

    def work(index: int, who: str = "pool") -> None:
        if take(index, who):
            try:
                results[index] = run(index)
            except BaseException as error:  # raised below, once every group has settled
                errors[index] = error
            finally:
                finished[index].set()

    ended: BaseException | None = None
    daemon = threading.current_thread().daemon
    try:
        pool = _pool()
        first = handed = 0 if daemon else 1
        for index in range(first, count):
            try:
                pool.submit(work, index)
            except RuntimeError as error:  # no thread could be started: the rest run here
                if daemon and "can't start new thread" not in str(error):
                    # The pool is shut down: the interpreter is exiting (see below).
                    _run_while_exiting(work, range(index, count))
                break
            handed = index + 1
        for index in range(count):
            if first <= index < handed and daemon:
                finished[index].wait()  # no interrupt reaches a thread other than the main one
            else:
                work(index, "here")  # group 0, and those no thread of the pool has taken yet
    except BaseException as error:  # an interrupt while submitting or between groups
        ended = error
    # Only the calling thread sees an interrupt; the pool's groups always finish. Those
    # not taken yet are taken from the queue's items, and those running are waited for.
    index = 0
    while index < count:
        try:
            take(index, "none")
            if owner[index] == "pool":
                finished[index].wait()
            index += 1
        except KeyboardInterrupt as stopped:
            ended = ended or stopped
    if ended is not None:
        raise ended
    for failure in errors:
        if failure is not None:
            raise failure
    return results


# The calls a daemon thread runs itself once the pool is shut down (at the interpreter's
# exit, which starts no more threads), and whether the last exit handler, the one below, has
# begun: past it the interpreter ends, and a call still in soxr would be ended mid-way.
_EXIT_LOCK = ForkSafeLock()
_exit_calls = 0
_exiting = False


def _run_while_exiting(work: Callable[[int, str], None], indexes: range) -> None:
    """``work(index, "here")`` for each index, counted, so that the last exit handler waits
    for it: an exit handler that waits for this daemon thread's call is answered (waiting for
    ever had hung it). Past that handler this thread waits instead, to be ended with the
    interpreter. (A program's exit handler registered before kavri was imported runs after
    it, and waits in vain.)"""
    global _exit_calls
    with _EXIT_LOCK:
        exiting = _exiting
        if not exiting:
            _exit_calls += 1
    if exiting:
        threading.Event().wait()
    try:
        for index in indexes:
            work(index, "here")
    finally:
        with _EXIT_LOCK:
            _exit_calls -= 1


@atexit.register
def _last_calls() -> None:
    """Registered as this module loads, before a program's own exit handlers, so run after
    them: the calls begun are waited for, and none begins after."""
    global _exiting
    with _EXIT_LOCK:
        _exiting = True
    while True:
        with _EXIT_LOCK:
            if not _exit_calls:
                return
        time.sleep(0.005)


def off_daemon[Made](run: Callable[[], Made]) -> Made:
    """``run()``, a call into soxr, on this thread, or on a pool thread when this one is a
    daemon (see :func:`each_group`)."""
    return each_group(lambda _: run(), 1)[0]


# What soxr's streams hold for each channel, whatever they are fed (see Resample._check).
_SOXR_CHANNEL_BYTES = 256 << 10


def channel_groups(channels: int, workers: int) -> list[tuple[int, int]]:
    """Contiguous channel ranges, one per worker (at most one per channel)."""
    count = max(1, min(workers, channels))
    bounds = [channels * i // count for i in range(count + 1)]
    return [(bounds[i], bounds[i + 1]) for i in range(count)]


class Resample(Step):
    """soxr between two rates, or, for ``speed``, between ``rate x factor`` and ``rate``
    with the output read at ``rate``. ``ratio`` is out/in, exact."""

    def __init__(
        self,
        step_type: str,
        rate: int,
        channels: int,
        soxr_rates: tuple[float, float],
        ratio: Fraction,
        out_rate: int,
        workers: int,
        block: int = BLOCK_FRAMES,
    ) -> None:
        super().__init__(rate, channels)
        self._block = block
        self.type = step_type
        self.out_rate = out_rate
        self._rates = soxr_rates
        self._ratio = ratio
        self._groups = channel_groups(channels, workers)
        self._pending = FrameBuffer(channels, f"{step_type}: input held for the next block")
        self.reset()

    def reset(self) -> None:
        self._made: list[Any] = []  # soxr's streams, made when the first frames come
        self._pending.clear()
        self._taken = 0
        self._released = 0
        self._ready = FrameBuffer(self.out_channels, f"{self.type}: output held")

    @property
    def _streams(self) -> list[Any]:
        if not self._made:
            self._made = [
                soxr.ResampleStream(*self._rates, hi - lo, dtype="float32", quality=QUALITY)
                for lo, hi in self._groups
            ]
        return self._made

    @property
    def held_frames(self) -> int:
        return len(self._pending) + len(self._ready)

    def output_frames(self, frames: int) -> int:
        return round_half_up(frames * self._ratio)

    def _check(self, frames: int, beside: int = 0) -> None:
        """Asks the memory guard for what converting ``frames`` makes: soxr's output and
        its copy into one array (and what soxr held back from before), and soxr's own
        working memory: about 230 KiB a channel for its filters, and 8 bytes a channel for
        each frame of a block it is fed (measured at 8 to 96 kHz; 12 and 256 KiB counted).
        Without it, 65,536 frames of 2,000 channels were granted 1.5 GiB, took 2.3 GiB, and
        crashed inside soxr under an address-space limit."""
        made = self.output_frames(frames + 8192)
        working = self.in_channels * (_SOXR_CHANNEL_BYTES + 12 * min(frames, self._block))
        check_memory(
            2 * made * self.out_channels * 4 + (0 if self._made else working) + beside,
            f"{self.type}: the conversion of {frames} frames ({made} out)",
        )

    def _feed(self, region: Frames, last: bool) -> list[list[Frames]]:
        """Feeds ``region`` in blocks of the step's size (the last may be shorter only with
        ``last``), each channel group on its own thread; returns each group's outputs."""
        self._check(region.shape[0])

        def run(index: int) -> list[Frames]:
            lo, hi = self._groups[index]
            stream = self._streams[index]
            whole = lo == 0 and hi == self.in_channels
            # The group's channels apart, once, on this thread; then views of whole blocks.
            rows = region if whole else np.ascontiguousarray(region[:, lo:hi])
            outs = []
            size = self._block
            for begin in range(0, max(rows.shape[0], 1), size):
                done = begin + size >= rows.shape[0]
                block = rows[begin : begin + size]
                outs.append(stream.resample_chunk(block, last=last and done))
            return outs

        return each_group(run, len(self._groups))

    def _join(self, fed: list[list[list[Frames]]], frames: int | None = None) -> Frames:
        """The outputs of one or more feeds as one (frames, channels) array, copied once;
        cut or padded with silence to ``frames`` when given."""
        counts = {
            sum(part.shape[0] for feed in groups for part in feed)
            for groups in [
                [group for feeds in fed for group in feeds[i : i + 1]]
                for i in range(len(self._groups))
            ]
        }
        if len(counts) != 1:  # soxr gives every group the same count; never otherwise
            raise RuntimeError(f"{self.type}: channel groups came out of step")
        made = counts.pop()
        total = made if frames is None else frames
        out = np.zeros((total, self.out_channels), np.float32)
        for index, (lo, hi) in enumerate(self._groups):
            at = 0
            for feeds in fed:
                for part in feeds[index]:
                    count = max(0, min(part.shape[0], total - at))
                    out[at : at + count, lo:hi] = part[:count].reshape(-1, hi - lo)
                    at += part.shape[0]
        return out

    def run_whole(self, data: Frames) -> Frames:
        """:meth:`process` over all of ``data`` and :meth:`flush`, as one array, by soxr's
        one-shot call: libsoxr's output does not depend on how its input is cut (its filter
        keeps its own queue), so the whole buffer in one call gives the bits of the blocks a
        stream feeds, and costs what calling soxr directly costs. (The tests hold the two
        paths to the same bits for every rate pair and chunking.)"""
        count = data.shape[0]
        total = self.output_frames(count)
        if not count:
            return np.empty((total, self.out_channels), np.float32)
        if total >= _ONE_SHOT_MOST:
            # soxr's one-shot call crashes the process near 2**31 frames out (a response
            # converted to a rate of gigahertz): so long an output goes the stream's way.
            return super().run_whole(data)
        self._check(count)
        source = np.ascontiguousarray(data)

        def run(index: int) -> Frames:
            lo, hi = self._groups[index]
            rows = source if hi - lo == self.in_channels else np.ascontiguousarray(source[:, lo:hi])
            made: Frames = soxr.resample(rows, *self._rates, quality=QUALITY)
            return made.reshape(-1, hi - lo)

        parts = each_group(run, len(self._groups))
        if len({part.shape[0] for part in parts}) != 1:  # soxr keeps channels in step
            raise RuntimeError(f"{self.type}: channel groups came out of step")
        if len(parts) == 1 and parts[0].shape[0] == total:
            return parts[0]
        out = np.zeros((total, self.out_channels), np.float32)
        fits = min(parts[0].shape[0], total)
        for (lo, hi), part in zip(self._groups, parts, strict=True):
            out[:fits, lo:hi] = part[:fits]
        return out

    def _release(self, limit: int) -> Frames:
        """What is ready, up to ``limit`` frames of output in all."""
        count = max(0, min(len(self._ready), limit - self._released))
        self._released += count
        return self._ready.take(count)

    def process(self, chunk: Frames) -> Frames:
        count = chunk.shape[0]
        self._taken += count
        start = 0
        held = len(self._pending)
        if held:
            # First the block the frames held before begin.
            start = min(count, self._block - held)
            self._pending.append(chunk[:start])
            if len(self._pending) == self._block:
                block = self._pending.take(self._block)
                self._ready.append(self._join([self._feed(block, False)]), copy=False)
        whole = (count - start) // self._block * self._block
        if whole:
            region = np.ascontiguousarray(chunk[start : start + whole])
            self._ready.append(self._join([self._feed(region, False)]), copy=False)
        self._pending.append(chunk[start + whole :])
        # Before the end, never more than the frames taken so far account for.
        return self._release(self.output_frames(self._taken))

    def most_flush_frames(self, frames: int) -> int:
        return self.output_frames(self._taken + frames) - self._released

    def check_flush(self, frames: int) -> None:
        # The last frames, joined and converted, with what is ready.
        rest = len(self._pending) + frames
        self._check(rest, (rest * self.in_channels + len(self._ready) * self.out_channels) * 4)

    def flush(self) -> Frames:
        rest = np.ascontiguousarray(self._pending.take(len(self._pending)))
        if self._taken:
            self._ready.append(self._join([self._feed(rest, True)]), copy=False)
        total = self.output_frames(self._taken)
        out = self._release(total)
        short = total - self._released
        if short > 0:
            out = join([out, np.zeros((short, self.out_channels), np.float32)], self.type)
        self.reset()
        return out if out.shape[0] else empty(self.out_channels)


def resample_step(rate: int, channels: int, rate_hz: int, workers: int) -> Resample:
    """A ``resample`` step, fed in blocks that make about BLOCK_FRAMES frames out (see
    :func:`source_block`): a block of BLOCK_FRAMES input frames going up to a rate of
    gigahertz made 2**31 frames in one call of soxr, which crashes the process there."""
    block = source_block(rate, rate_hz)
    return Resample(
        "resample",
        rate,
        channels,
        (float(rate), float(rate_hz)),
        Fraction(rate_hz, rate),
        rate_hz,
        workers,
        block,
    )


def source_block(rate: int, rate_hz: int) -> int:
    """Input frames per block for a conversion from ``rate`` to ``rate_hz`` whose blocks
    make about :data:`BLOCK_FRAMES` frames out: BLOCK_FRAMES going down, fewer going up.
    Fed BLOCK_FRAMES, a 100 Hz file made 31 million frames at 48 kHz for each block, and a
    1 Hz one more memory than there is, whatever a caller took of them."""
    return max(1, min(BLOCK_FRAMES, -(-BLOCK_FRAMES * rate // rate_hz)))


def speed_step(rate: int, channels: int, factor: float, workers: int) -> Resample:
    # A resample from rate x factor to rate, its output read at rate: factor times as fast.
    return Resample(
        "speed",
        rate,
        channels,
        (float(rate) * factor, float(rate)),
        1 / Fraction(factor),
        rate,
        workers,
    )
