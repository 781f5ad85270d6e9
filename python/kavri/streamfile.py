"""Processing one audio file as a stream: read a chunk, run it through the chain, write it.

:func:`process_file` reads the input about a second at a time (a whole number of engine
blocks), passes each chunk through one :class:`kavri.Stream`, which carries every effect's
state from chunk to chunk, and writes what comes out to the hidden temporary file of an
atomic write. Memory therefore depends on the chunk and the chain, never on the file's
length, and the result has the same bits as one :func:`kavri.process` call over the whole
file. After the input, the chain can run on over ``tail`` seconds of silence so that echoes
and releases ring out.

Long work reports progress through a callback and stops between chunks when asked, through
any object with an ``is_set()`` method (a ``threading.Event``, or the :class:`StopFlag` that
:func:`stop_on_signals` sets when SIGINT or SIGTERM arrives). A stopped or failed run leaves
no file behind and the previous output, if any, untouched.
"""

from __future__ import annotations

import math
import numbers
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np
import soundfile as sf

from ._paths import fs_name
from ._paths import shown as show_name
from .audiofile import (
    WriteStats,
    check_output,
    input_path,
    open_input,
    open_output,
    output_format,
)
from .chain import ChainLike, load_chain
from .errors import AudioFileError, Interrupted, KavriError
from .loudness import LevelMeter, LoudnessResult, LoudnessTarget, Measurement, plan_loudness
from .stream import Stream

__all__ = [
    "FileSummary",
    "StopFlag",
    "process_file",
    "stop_on_signals",
    "check_tail",
    "tail_frames",
    "chunk_frames",
]

ProgressCallback = Callable[[int, int], None]

# Frames per chunk when the engine block would make a chunk larger than this: the stream
# then holds back what a dynamic EQ's partial block needs, and memory stays bounded.
MAX_CHUNK_FRAMES = 1 << 20


class StopRequest(Protocol):
    def is_set(self) -> bool: ...


@dataclass(frozen=True)
class FileSummary:
    """What :func:`process_file` did: the format, the frames read and written, the time.

    ``measurement`` holds the levels of the audio written (before it was converted to the
    file's sample format) when they were measured, ``stats`` what the conversion clipped
    or found not finite, and ``loudness`` what a loudness target did."""

    source: str
    output: str
    sample_rate: int
    channels: int
    input_frames: int
    output_frames: int
    seconds: float
    measurement: Measurement | None = None
    stats: WriteStats = field(default_factory=WriteStats)
    loudness: LoudnessResult | None = None
    subtype: str = ""


class StopFlag:
    """A request to stop, set by hand or by a signal; work checks it between chunks.

    ``signal`` is the number of the signal that set it, or None.
    """

    def __init__(self) -> None:
        self._event = threading.Event()
        self.signal: int | None = None

    def is_set(self) -> bool:
        return self._event.is_set()

    def set(self, signum: int | None = None) -> None:
        if not self._event.is_set():
            self.signal = signum
            self._event.set()

    def exit_status(self) -> int:
        """The shell's status for a run ended by this flag: 128 + the signal number (130
        for SIGINT, 143 for SIGTERM), 130 when it was set by hand."""
        return 128 + (self.signal if self.signal is not None else signal.SIGINT)


@contextmanager
def stop_on_signals(signals: tuple[int, ...] = (signal.SIGINT, signal.SIGTERM)
                    ) -> Iterator[StopFlag]:
    """While the block runs, SIGINT and SIGTERM set the yielded :class:`StopFlag` instead
    of ending the process, so that work stops cleanly at its next chunk; a second signal
    raises ``KeyboardInterrupt`` at once, for work that does not reach a chunk boundary.
    The previous handlers come back afterwards. Outside the main thread, where Python
    cannot handle signals, the flag is yielded without handlers."""
    flag = StopFlag()
    if threading.current_thread() is not threading.main_thread():
        yield flag
        return

    def handler(signum: int, frame: object) -> None:
        if flag.is_set():
            raise KeyboardInterrupt
        flag.set(signum)

    previous = {}
    try:
        for number in signals:
            previous[number] = signal.signal(number, handler)
        yield flag
    finally:
        for number, old in previous.items():
            signal.signal(number, old)


def check_tail(seconds: object) -> float:
    """The tail length as a float; ``ValueError`` unless it is a finite number >= 0."""
    given: object = seconds  # checked as whatever the caller passed
    if isinstance(given, bool) or not isinstance(given, numbers.Real):
        raise ValueError(f"tail must be a number of seconds, got {given!r}")
    value = float(given)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"tail must be a finite number of seconds, 0 or more; got {value}")
    return value


def tail_frames(seconds: float, sample_rate: int) -> int:
    """Frames of silence a tail of ``seconds`` adds: seconds x sample_rate (computed in double
    precision) rounded to the nearest whole frame, an exact half to the even one, as Python's
    ``round`` does."""
    return round(check_tail(seconds) * sample_rate)


def chunk_frames(sample_rate: int, block_size: int, requested: int | None = None) -> int:
    """Frames read and processed at a time: a whole number of engine blocks making about
    one second of audio, or ``requested`` frames rounded up to whole blocks, but never more
    than MAX_CHUNK_FRAMES (a larger block is collected by the stream over several chunks)."""
    block = block_size if block_size > 0 else 2048
    if block > MAX_CHUNK_FRAMES:
        return max(1, min(requested or sample_rate, MAX_CHUNK_FRAMES))
    if requested is not None:
        blocks = -(-max(requested, 1) // block)
    else:
        blocks = round(sample_rate / block)
    return min(max(blocks, 1), MAX_CHUNK_FRAMES // block) * block


def _read(reader: sf.SoundFile, buffer: np.ndarray, name: str) -> np.ndarray:
    try:
        return reader.read(dtype="float32", always_2d=True, out=buffer)
    except (RuntimeError, ValueError) as error:
        detail = error.error_string if isinstance(error, sf.LibsndfileError) else str(error)
        raise AudioFileError(f"{name}: cannot read: {detail}") from None


def _engine_error(source: str, error: BaseException) -> KavriError:
    return KavriError(f"{source}: {error or type(error).__name__}")


def _passes(reader: sf.SoundFile, stream: Stream, step: int, extra: int, name: str,
            check_stop: Callable[[], None]) -> Iterator[tuple[int, np.ndarray]]:
    """Runs the whole input, then ``extra`` frames of silence, through ``stream``; yields
    (frames consumed so far, processed frames) per chunk, the stream's flush last."""
    reader.seek(0)
    buffer = np.empty((step, reader.channels), np.float32)
    consumed = 0
    pending = extra
    while True:
        check_stop()
        block = _read(reader, buffer, name)
        if block.shape[0] == 0:
            if pending == 0:
                break
            block = buffer[:min(step, pending)]
            block.fill(0.0)
            pending -= block.shape[0]
        consumed += block.shape[0]
        try:
            processed = stream.process(block)
        except (RuntimeError, MemoryError) as error:
            raise _engine_error(name, error) from None
        yield consumed, processed
    check_stop()
    try:
        yield consumed, stream.flush()
    except (RuntimeError, MemoryError) as error:
        raise _engine_error(name, error) from None


def process_file(source: str | os.PathLike[str], output: str | os.PathLike[str],
                 chain: ChainLike, *, block_size: int = 2048, workers: int = 1,
                 subtype: str | None = None, tail: float = 0.0,
                 progress: ProgressCallback | None = None,
                 stop: StopRequest | None = None,
                 chunk: int | None = None,
                 loudness: float | None = None, peak_ceiling: float = -1.0,
                 dither: str = "tpdf", bitrate: int | None = None,
                 file_format: str | None = None, measure: bool = False) -> FileSummary:
    """Runs an effect chain over an audio file and writes the result, streaming.

    ``source`` is any file libsndfile reads, or "-" for standard input; ``output`` takes
    its container from its suffix (or from ``file_format``), or is "-" for standard output
    (WAV unless ``file_format`` says otherwise), and ``subtype`` as :func:`kavri.write`
    does. ``chain`` is a list of effect specs, a chain file or a preset name. ``tail``
    seconds of silence follow the input through the chain, so the output is longer by
    exactly ``tail_frames(tail, sample_rate)`` frames (the nearest whole frame). The output
    has the bits of ``kavri.process`` over the whole input (followed by the tail's zeros),
    for every ``workers`` count; ``block_size`` matters only for a "dynamic_eq", as it
    does there.

    ``loudness`` (LUFS) adds a gain after the chain that brings the integrated loudness
    (ITU-R BS.1770-4) within 0.5 LU of it, and where that gain would push the true peak
    over ``peak_ceiling`` (dBTP), the engine's "limiter" after the gain; the summary's
    ``loudness`` says what was done and by how much a target was missed. This takes a
    measuring pass over the file before the writing pass, and a pass more for each
    limiter setting tried, each in bounded memory.

    16-bit (and 8-bit) output gets TPDF dither from a fixed seed unless ``dither="none"``;
    ``bitrate`` (kbit/s) makes MP3 output constant-rate. ``measure`` meters the written
    audio (peaks, loudness, clipped and non-finite samples) into the summary.

    The file is read and processed ``chunk`` frames at a time (default: whole engine
    blocks making about a second), so memory does not grow with the file's length. The
    output appears complete or not at all, by an atomic rename; it may be the input file
    itself. ``progress(frames_done, frames_total)`` is called after every chunk, over all
    passes. ``stop`` (an object with ``is_set()``) is checked before every chunk; once it
    is set the run ends with :class:`kavri.Interrupted` and writes nothing.

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for a bad tail or
    loudness target, :class:`kavri.AudioFileError` for a file that cannot be read or
    written, and :class:`kavri.KavriError` naming the source when the engine fails.
    """
    specs = load_chain(chain)
    tail_seconds = check_tail(tail)
    target = LoudnessTarget(loudness, peak_ceiling) if loudness is not None else None
    source_name, output_name = fs_name(source), fs_name(output)
    _, chosen = output_format(output_name, subtype, file_format)
    if output_name != "-":
        folder = os.path.dirname(os.path.abspath(output_name))
        if not os.path.isdir(folder):
            raise AudioFileError(f"{show_name(output_name)}: cannot write: folder "
                                 f"{show_name(folder)} does not exist")

    def check_stop() -> None:
        if stop is not None and stop.is_set():
            raise Interrupted(f"{source_name}: interrupted; {output_name} not written")

    check_stop()
    start = time.perf_counter()
    label = "standard input" if source_name == "-" else show_name(source_name)
    with input_path(source_name) as readable, open_input(readable, label) as reader:
        rate, channels = int(reader.samplerate), int(reader.channels)
        check_output(output_name, rate, chosen, bitrate)
        extra = tail_frames(tail_seconds, rate)
        step = chunk_frames(rate, block_size, chunk)
        per_pass = max(int(reader.frames), 0) + extra
        done_before = 0
        planned = 2 if target is not None else 1

        def new_stream(extra_specs: list[dict[str, Any]]) -> Stream:
            try:
                return Stream(specs + extra_specs, rate, channels, block_size=block_size,
                              workers=workers)
            except (RuntimeError, MemoryError) as error:
                raise _engine_error(source_name, error) from None

        def report(consumed: int) -> None:
            if progress is not None:
                done = done_before + consumed
                progress(done, max(per_pass * planned, done))

        def render(extra_specs: Sequence[dict[str, Any]]) -> Measurement:
            # One measuring pass: the chain and the extra specs over the whole input.
            nonlocal done_before, planned
            if done_before:
                planned += 1  # a pass more than the measuring one and the writing one
            meter = LevelMeter(rate, channels, true_peak=True)
            for consumed, processed in _passes(reader, new_stream(list(extra_specs)), step,
                                               extra, source_name, check_stop):
                meter.add(processed)
                report(consumed)
            done_before += per_pass
            return meter.result()

        result = None
        added: list[dict[str, Any]] = []
        if target is not None:
            result = plan_loudness(target, render)
            added = result.specs
        meter = LevelMeter(rate, channels, true_peak=False) if measure else None
        consumed = 0
        with open_output(output_name, rate, channels, subtype, file_format=file_format,
                         dither=dither, bitrate=bitrate) as writer:
            for consumed, processed in _passes(reader, new_stream(added), step, extra,
                                               source_name, check_stop):
                if processed.shape[0]:
                    writer.write(processed)
                    if meter is not None:
                        meter.add(processed)
                report(consumed)
            if writer.stats.frames != consumed:
                raise KavriError(f"{source_name}: {writer.stats.frames} frames came out of "
                                 f"the chain for {consumed} that went in; nothing written")
    if progress is not None:
        progress(done_before + consumed, done_before + consumed)
    return FileSummary(source_name, output_name, rate, channels, consumed - extra,
                       writer.stats.frames, time.perf_counter() - start,
                       meter.result() if meter is not None else None, writer.stats, result,
                       chosen)
