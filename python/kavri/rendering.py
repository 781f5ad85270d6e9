"""The passes of a streamed render: the chain over the input, a loudness target met as
measured, and the figures of the output as written.

Without a loudness target, one pass runs the chain and writes. With one, the chain runs
once, into a float32 temporary (:class:`FloatSpool`) while its output is metered; the gain,
and the limiter where the peaks need it, are then found from that measurement, each limiter
setting tried on excerpts of the temporary around its peaks (:class:`LimiterTrial`; whole
passes over the temporary where the limiter acts nearly everywhere), and applied in the
writing pass, which meters what it writes. Audio written off the trial's prediction (over
the ceiling, or off the target) is corrected and written again. The output has the bits the
chain followed by the same gain and limiter would give in one stream. Each pass's meter runs
on a thread of its own beside the chain and the writer (:class:`MeterThread`).

A lossy output (MP3, Vorbis, Opus) is decoded again and measured: its encoder moves the
peaks (by half a dB and more) and a little of the loudness. With a target, each encoding is
written to a private temporary, decoded and measured, and the gain and limiter corrected
until the decoded file keeps the ceiling and meets the target, within ENCODED_PASSES
encodings; the best one is then put in place. The figures reported are those of the file as
written, decoded back for lossy formats.

Progress is one bar over the whole job: its total is known before the first pass and never
shrinks, and what is done never goes back.
"""

from __future__ import annotations

import contextlib
import math
import os
import queue
import shutil
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np

from ._paths import free_bytes, shown, temporary_folder_shown
from .errors import AudioFileError, KavriError
from .io import (
    STREAM_FORMATS,
    AudioWriter,
    BlockReader,
    WriteStats,
    atomic_output,
    open_input,
    open_output,
)
from .io.atomic import scratch_folder
from .io.reading import SPOOL_DISK_MARGIN
from .io.streams import copy_out, standard_output
from .loudness import (
    AIM_LU,
    MAX_LIMITING_DB,
    TRUE_PEAK_MARGIN_DB,
    WRITE_TRIES,
    LevelMeter,
    LimiterTrial,
    LoudnessResult,
    LoudnessTarget,
    Measurement,
    corrected,
    gain_spec,
    limiter_spec,
    plan_loudness,
    planned_again,
    to_db,
    true_peaks_of,
)
from .settings import RenderSettings
from .stream import Stream

__all__ = [
    "LOSSY_SUBTYPES",
    "ENCODED_PASSES",
    "FloatSpool",
    "JobProgress",
    "Rendered",
    "render",
]

# Told (frames done, frames in all) as work goes on; what it returns is not looked at.
ProgressCallback = Callable[[int, int], object]


class ChunkStream(Protocol):
    """What a pass runs its chunks through: a stream of the chain."""

    def process(self, chunk: np.ndarray) -> np.ndarray: ...

    def flush(self) -> np.ndarray: ...


Passes = Callable[[ChunkStream], Iterator[tuple[int, np.ndarray]]]

LOSSY_SUBTYPES = frozenset({"VORBIS", "OPUS", "MPEG_LAYER_III"})
# Encodings tried for a lossy output with a loudness target.
ENCODED_PASSES = 5
# The trial encodings' folder in TMPDIR, named so that one left behind is found again.
ENCODE_FOLDER_PREFIX = ".kavri-encode-"
# Headroom added below the ceiling for each encoding that passed it.
ENCODED_MARGIN_DB = 0.1
_FLOAT_BYTES = 4


class JobProgress:
    """One progress bar over a job of several passes: ``callback(done, total)`` with a total
    fixed up front (it grows only if the input gives more frames than its header said) and
    a ``done`` that never goes back. Passes report through :class:`Span`."""

    def __init__(self, callback: ProgressCallback | None, total: int) -> None:
        self._callback = callback
        self.total = max(int(total), 0)
        self.done = 0

    def to(self, done: float) -> None:
        value = int(done)
        if value <= self.done:
            return
        self.done = value
        self.total = max(self.total, value)
        if self._callback is not None:
            self._callback(self.done, self.total)

    def finish(self) -> None:
        """Reports the whole job done."""
        self.to(self.total)

    def span(self, size: float) -> Span:
        """The next ``size`` units of the bar, for one pass or a group of them."""
        return Span(self, size)


class Span:
    """A stretch of a :class:`JobProgress` that a pass (or passes) fills."""

    def __init__(self, progress: JobProgress, size: float) -> None:
        self.progress = progress
        self.start = float(progress.done)
        self.size = float(size)

    def frames(self, done: int, expected: int) -> None:
        """A pass over ``expected`` frames has done ``done``."""
        share = min(done / expected, 1.0) if expected > 0 else 1.0
        self.progress.to(self.start + self.size * share)

    def part(self, share: float) -> Span:
        """A share of what is left of this span, for a pass of a group whose count is not
        known: each takes ``share`` of the rest."""
        left = self.start + self.size - self.progress.done
        return Span(self.progress, max(left, 0.0) * share)

    def end(self) -> None:
        self.progress.to(self.start + self.size)


class FloatSpool:
    """Rendered audio in a temporary file without a name, as raw float32 frames: written
    once, read any number of times. The file goes when the spool is closed, and with the
    process however it ends. Refused with :class:`AudioFileError` when the audio would leave
    less than SPOOL_DISK_MARGIN free on the temporary folder's disk (``TMPDIR``)."""

    def __init__(self, channels: int, expected_frames: int, label: str) -> None:
        self.channels = channels
        self.frames = 0
        self.label = label
        try:
            self._file = tempfile.TemporaryFile(dir=tempfile.gettempdir())
        except OSError as error:
            raise AudioFileError(
                f"{label}: cannot make a temporary file for the loudness target: {error.strerror}"
            ) from None
        self._check_room(expected_frames * channels * _FLOAT_BYTES)

    def _check_room(self, size: int) -> None:
        free = free_bytes(self._file.fileno())
        if free - size < SPOOL_DISK_MARGIN:
            self.close()
            raise AudioFileError(
                f"{self.label}: not processed: a loudness target keeps the rendered audio "
                f"({size / 2**20:.0f} MiB more) in {temporary_folder_shown()}, which "
                f"would leave less than {SPOOL_DISK_MARGIN >> 20} MiB free there; point "
                "TMPDIR at a folder with more room"
            )

    def write(self, frames: np.ndarray) -> None:
        data = np.ascontiguousarray(frames, dtype=np.float32)
        self._check_room(data.nbytes)
        try:
            self._file.write(data.tobytes())
        except OSError as error:
            raise AudioFileError(
                f"{self.label}: cannot keep the rendered audio: {error.strerror}"
            ) from None
        self.frames += data.shape[0]

    def chunks(self, frames: int, start: int = 0, stop: int | None = None) -> Iterator[np.ndarray]:
        """The frames written, from ``start`` (the first) to ``stop`` (the end), ``frames``
        at a time. Each chunk is the same buffer, refilled: a caller keeps what it needs."""
        stop = self.frames if stop is None else min(stop, self.frames)
        self._file.flush()
        self._file.seek(start * self.channels * _FLOAT_BYTES)
        buffer = np.empty((max(frames, 1), self.channels), np.float32)
        view = memoryview(buffer).cast("B")
        left = max(stop - start, 0)
        while left:
            count = min(left, buffer.shape[0])
            size = count * self.channels * _FLOAT_BYTES
            got = self._file.readinto(view[:size])
            if got != size:
                raise AudioFileError(f"{self.label}: the rendered audio could not be read back")
            left -= count
            yield buffer[:count]

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> FloatSpool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class MeterThread:
    """A :class:`LevelMeter` fed on a thread of its own, so that metering a pass overlaps
    with running and writing it (the native meter works with the interpreter lock
    released). Chunks are metered in the order given, so the figures are those of the
    meter fed directly; at most a few chunks wait at once. Used as a context manager: the
    thread ends with the block however it is left."""

    _DEPTH = 4

    def __init__(self, meter: LevelMeter) -> None:
        self.meter = meter
        self._queue: queue.Queue[np.ndarray | None] = queue.Queue(self._DEPTH)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="kavri-meter", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            chunk = self._queue.get()
            if chunk is None:
                return
            if self._error is None:
                try:
                    self.meter.add(chunk)
                except BaseException as error:  # handed to the caller by result()
                    self._error = error

    def add(self, chunk: np.ndarray) -> None:
        """Queues the next frames; a view of a buffer that its owner refills is copied."""
        if self._error is not None:
            raise self._error
        self._queue.put(chunk if chunk.base is None else chunk.copy())

    def _stop(self) -> None:
        if self._thread.is_alive():
            self._queue.put(None)
            self._thread.join()

    def result(self) -> Measurement:
        """The measurement of everything queued, once it has all been metered."""
        self._stop()
        if self._error is not None:
            raise self._error
        return self.meter.result()

    def __enter__(self) -> MeterThread:
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop()


@dataclass
class Rendered:
    """What :func:`render` did: the frames that went in (input and tail), what was written
    (``stats``, the container's ``notice``), the figures of the output as written (``decoded``
    when a lossy file was decoded back for them, else those of the samples handed to the
    writer), a loudness target's result, and the highest magnitude handed to the writer."""

    consumed: int
    stats: WriteStats
    notice: str | None
    measurement: Measurement | None
    loudness: LoudnessResult | None
    decoded: bool
    peak: float
    # The writer's name for the output, its container, and the tags it could not hold.
    label: str = ""
    container: str = ""
    dropped_tags: tuple[str, ...] = ()


@dataclass
class _Job:
    """What every pass of one render shares. ``rate`` and ``channels`` are the output's;
    ``output_frames`` says how many frames the chain makes of a number that went in (None
    when it cannot say before the end, as silence trimming)."""

    output: str
    rate: int
    channels: int
    subtype: str
    settings: RenderSettings
    chunk: int
    check_stop: Callable[[], None]
    engine_error: Callable[[BaseException], KavriError]
    output_frames: Callable[[int], int | None]
    tags: dict[str, str] | None = None
    # False for a stream whose header states no length: the frames expected are not known.
    length_known: bool = True
    # The layout the input states, where the output keeps its channels (see
    # :mod:`kavri.io.channel_order`): written in the header and weighed by the meters.
    layout: tuple[str, ...] | None = None

    def meter(self, *, true_peak: bool = True) -> LevelMeter:
        """A meter of the output: its rate, channels and layout."""
        return LevelMeter(self.rate, self.channels, true_peak=true_peak, layout=self.layout)

    @property
    def lossy(self) -> bool:
        return self.subtype in LOSSY_SUBTYPES

    def stream(self, specs: Sequence[dict[str, Any]]) -> Stream:
        try:
            return Stream(
                list(specs),
                self.rate,
                self.channels,
                block_size=self.settings.block_size,
                workers=self.settings.workers,
            )
        except (RuntimeError, MemoryError) as error:
            raise self.engine_error(error) from None

    def run(self, stream: ChunkStream, block: np.ndarray) -> np.ndarray:
        try:
            return stream.process(block)
        except (RuntimeError, MemoryError) as error:
            raise self.engine_error(error) from None

    def flush(self, stream: ChunkStream) -> np.ndarray:
        try:
            return stream.flush()
        except (RuntimeError, MemoryError) as error:
            raise self.engine_error(error) from None

    def over_spool(
        self, spool: FloatSpool, specs: Sequence[dict[str, Any]]
    ) -> Iterator[tuple[int, np.ndarray]]:
        """The spooled audio through ``specs`` (as it is, without any): (frames read so far,
        processed frames) per chunk, the stream's flush last."""
        stream = self.stream(specs) if specs else None
        done = 0
        for block in spool.chunks(self.chunk):
            self.check_stop()
            done += block.shape[0]
            yield done, block if stream is None else self.run(stream, block)
        self.check_stop()
        if stream is not None:
            yield done, self.flush(stream)

    def open(self, path: str, expected: int | None) -> Any:
        return open_output(
            path,
            self.rate,
            self.channels,
            self.subtype,
            file_format=self.settings.file_format,
            dither=self.settings.dither,
            bitrate=self.settings.bitrate,
            expected_frames=expected,
            tags=self.tags,
            label="standard output" if self.output == "-" else shown(self.output),
            layout=self.layout,
        )

    def measure_file(
        self, path: str, span: Span, expected: int, stoppable: bool = True
    ) -> Measurement:
        """Decodes a written file and measures it, true peak included; a stop request ends
        it unless not ``stoppable``."""
        with open_input(path, shown(self.output)) as reader:
            blocks = BlockReader(reader, self.chunk, shown(self.output))
            meter = LevelMeter(reader.samplerate, reader.channels, layout=self.layout)
            for block in blocks:
                if stoppable:
                    self.check_stop()
                meter.add(block)
                span.frames(blocks.frames_read, expected)
        return meter.result()


def render(
    passes: Passes,
    expected_frames: int,
    output: str,
    rate: int,
    channels: int,
    subtype: str,
    settings: RenderSettings,
    chain: Callable[[], ChunkStream],
    *,
    chunk: int,
    check_stop: Callable[[], None],
    engine_error: Callable[[BaseException], KavriError],
    output_frames: Callable[[int], int | None] = lambda frames: frames,
    tags: dict[str, str] | None = None,
    progress: ProgressCallback | None = None,
    measure: bool = False,
    earlier_passes: int = 0,
    earlier: Callable[[Span], None] | None = None,
    length_known: bool = True,
    layout: tuple[str, ...] | None = None,
) -> Rendered:
    """Renders the chain (``chain()`` makes a stream of it) over the input that
    ``passes(stream)`` runs through a stream ((frames consumed, processed frames) per chunk,
    the flush last; ``expected_frames`` of input and tail), and writes ``output`` at the
    ``rate`` and ``channels`` the chain ends with. See the module's notes for what a loudness
    target and a lossy output add. ``measure`` meters the output as written. ``earlier``,
    when given, runs ``earlier_passes`` passes over the input first (a normalize's
    measuring passes), in the first span of the one progress bar. ``layout`` is the one the
    input states, for an output with its channels."""
    job = _Job(
        output,
        rate,
        channels,
        subtype,
        settings,
        chunk,
        check_stop,
        engine_error,
        output_frames,
        tags,
        length_known,
        layout,
    )
    target = settings.target
    decode = job.lossy and output != "-"
    if target is not None:
        decode = job.lossy
        sections = 4 if decode else 3
    else:
        sections = 2 if measure and decode else 1
    bar = JobProgress(progress, expected_frames * (sections + earlier_passes))
    if earlier is not None:
        before = bar.span(expected_frames * earlier_passes)
        earlier(before)
        before.end()
    if target is None:
        return _plain(job, passes, chain, expected_frames, bar, measure, decode)
    expected_out = output_frames(expected_frames)
    # Room for what is expected is asked for up front, where the length is stated: an
    # estimate (a container's duration, one of 1e11 ms holding a second) is not trusted,
    # and each write asks for its own room as it comes.
    expected = (expected_out or expected_frames) if job.length_known else 0
    with FloatSpool(channels, expected, shown(output)) as spool:
        first_span = bar.span(expected_frames)
        consumed = 0
        # The true peak is measured later, over the temporary, only where it decides.
        with MeterThread(job.meter(true_peak=False)) as meter:
            for consumed, processed in passes(chain()):
                if processed.shape[0]:
                    spool.write(processed)
                    meter.add(processed)
                first_span.frames(consumed, expected_frames)
            first = meter.result()
        first_span.end()
        rendered = _targeted(job, spool, target, first, bar, expected_frames, decode)
    rendered.consumed = consumed
    bar.finish()
    return rendered


def _plain(
    job: _Job,
    passes: Passes,
    chain: Callable[[], ChunkStream],
    expected: int,
    bar: JobProgress,
    measure: bool,
    decode: bool,
) -> Rendered:
    span = bar.span(expected)
    metered = measure and not decode
    peak = 0.0
    consumed = 0
    expected_out = job.output_frames(expected)
    measured: Measurement | None = None
    with MeterThread(job.meter(true_peak=False)) if metered else contextlib.nullcontext() as meter:
        # A stream that states no length is not taken for one of no frames (which FLAC, MP3
        # and Opus outputs refuse up front): the container is planned for a length unknown.
        planned = expected_out if expected_out is not None else expected
        with job.open(job.output, planned if job.length_known else None) as writer:
            for consumed, processed in passes(chain()):
                if processed.shape[0]:
                    if meter is not None:
                        meter.add(writer.write_shown(processed))  # clipped, on its grid
                    else:
                        writer.write(processed)
                        peak = max(peak, _magnitude(processed))
                span.frames(consumed, expected)
            _check_frames(job, writer.stats.frames, job.output_frames(consumed), consumed)
        if meter is not None:
            measured = meter.result()
            # The meter's sample peaks are the highest finite magnitudes written (an
            # integer format's clipped ones: a peak of +14 dBFS was reported of 16-bit
            # output, whose file peaks at 0).
            peak = max(measured.sample_peak, default=0.0)
    span.end()
    if measure and decode:
        # The output is in place: a stop now would be told as "not written" of a file
        # written (a batch left it unrecorded), so the measure of it runs to its end.
        span = bar.span(expected)
        measured = job.measure_file(job.output, span, writer.stats.frames, stoppable=False)
    bar.finish()
    return Rendered(
        consumed, writer.stats, writer.notice, measured, None, decode, peak, *_written(writer)
    )


def _magnitude(frames: np.ndarray) -> float:
    """The highest finite magnitude in a chunk (NaN and infinity are counted elsewhere)."""
    magnitude = np.abs(frames)
    finite = magnitude[np.isfinite(magnitude)] if not np.isfinite(magnitude).all() else magnitude
    return float(finite.max()) if finite.size else 0.0


def _check_frames(job: _Job, written: int, due: int | None, consumed: int) -> None:
    """Refuses an output whose length is not what the chain makes of what went in (None:
    the chain cannot say before the end, and the length is what it is)."""
    if due is not None and written != due:
        raise KavriError(
            f"{shown(job.output)}: {written} frames came out of the chain where {due} were "
            f"due for {consumed} that went in; nothing written"
        )


def _targeted(
    job: _Job,
    spool: FloatSpool,
    target: LoudnessTarget,
    first: Measurement,
    bar: JobProgress,
    expected: int,
    decode: bool,
) -> Rendered:
    frames = spool.frames
    plan_span = bar.span(expected)
    last: tuple[list[dict[str, Any]], Measurement] | None = None

    def measure(extra: Sequence[dict[str, Any]]) -> Measurement:
        nonlocal last
        span = plan_span.part(0.5)
        with MeterThread(job.meter()) as meter:
            for done, processed in job.over_spool(spool, extra):
                meter.add(processed)
                span.frames(done, frames)
            last = (list(extra), meter.result())
        return last[1]

    def excerpt(start: int, stop: int) -> Iterator[np.ndarray]:
        for block in spool.chunks(job.chunk, start, stop):
            job.check_stop()
            yield block

    def true_peaks() -> list[float]:
        span = plan_span.part(0.5)

        def chunks() -> Iterator[np.ndarray]:
            for done, block in job.over_spool(spool, []):
                yield block
                span.frames(done, frames)

        return true_peaks_of(chunks(), job.rate, job.channels)

    result = plan_loudness(target, measure, first, LimiterTrial(first, excerpt), true_peaks)
    plan_span.end()
    if decode:
        # The most gain allowed, as the passes allow it (the first pass's sample peaks
        # stand for its true peaks where those were not measured: a little more).
        most = target.peak_ceiling_db - first.true_peak_db + MAX_LIMITING_DB
        return _encoded(job, spool, result, bar, expected, most)
    written = _write_targeted(job, spool, result, bar.span(expected), last)
    for again_at in range(1, WRITE_TRIES + 1):
        measured = written.measurement
        assert measured is not None
        if planned_again(result, measured, again_at):
            result = plan_loudness(target, measure, first, None, true_peaks)
            written = _write_targeted(job, spool, result, bar.span(0), last)
            break
        again = corrected(result, measured) if again_at < WRITE_TRIES else None
        if again is None:
            break
        # Written again with the correction; the bar has no room left for it and stays.
        result = again
        written = _write_targeted(job, spool, result, bar.span(0), None)
    assert written.measurement is not None
    result.measured(written.measurement)
    written.loudness = result
    return written


def _write_targeted(
    job: _Job,
    spool: FloatSpool,
    result: LoudnessResult,
    span: Span,
    last: tuple[list[dict[str, Any]], Measurement] | None,
) -> Rendered:
    """The writing pass of a loudness target: the spooled audio through its gain and
    limiter, metered as it is written unless the last measuring pass ran the very same."""
    frames = spool.frames
    known = last[1] if last is not None and last[0] == result.specs else None
    meter = None if known is not None else MeterThread(job.meter())
    try:
        with job.open(job.output, frames) as writer:
            for done, processed in job.over_spool(spool, result.specs):
                if processed.shape[0]:
                    if meter is not None:
                        meter.add(writer.write_shown(processed))
                    else:
                        writer.write(processed)
                span.frames(done, frames)
            _check_frames(job, writer.stats.frames, frames, frames)
        measured = known if known is not None else meter.result() if meter is not None else None
    finally:
        if meter is not None:
            meter.__exit__()
    assert measured is not None
    # The meter's sample peaks are the highest finite magnitudes handed to the writer.
    peak = max(measured.sample_peak, default=0.0)
    return Rendered(
        0, writer.stats, writer.notice, measured, result, False, peak, *_written(writer)
    )


@dataclass
class _Encoding:
    path: str
    specs: list[dict[str, Any]]
    gain_db: float
    limiter_db: float | None
    measured: Measurement
    stats: WriteStats
    notice: str | None
    peak: float
    written: tuple[str, str, tuple[str, ...]]


def _written(writer: AudioWriter) -> tuple[str, str, tuple[str, ...]]:
    """The writer's name for the output, its container and the tags it could not hold."""
    return writer.label, writer.container, tuple(writer.dropped_tags)


def _encoded(
    job: _Job,
    spool: FloatSpool,
    result: LoudnessResult,
    bar: JobProgress,
    expected: int,
    most: float,
) -> Rendered:
    """Encodes, decodes and measures, and corrects the gain and limiter until the decoded
    file keeps the ceiling and meets the target (see the module's notes); the gain stays
    at or under ``most`` dB, as the passes keep it (it had climbed to +34 dB, where 20 dB
    past the peaks is the most allowed, as the limiter came down)."""
    target = result.target
    frames = spool.frames
    span = bar.span(2 * expected)
    suffix = (
        STREAM_FORMATS[job.settings.file_format.lower().lstrip(".")]
        if job.settings.file_format
        else os.path.splitext(job.output)[1]
    )
    with scratch_folder(ENCODE_FOLDER_PREFIX) as folder:
        gain, limit = result.gain_db, result.limiter_ceiling_db
        best: _Encoding | None = None
        tries = 0
        for tries in range(1, ENCODED_PASSES + 1):
            specs = [gain_spec(gain)] + ([] if limit is None else [limiter_spec(limit)])
            attempt = span.part(0.7 if tries < ENCODED_PASSES else 1.0)
            path = os.path.join(folder, f"{tries}{suffix}")
            encoding = _encode(job, spool, specs, path, attempt.part(0.5))
            encoding.gain_db, encoding.limiter_db = gain, limit
            encoding.measured = job.measure_file(encoding.path, attempt.part(1.0), frames)
            if best is None or _better(encoding.measured, best.measured, target):
                best = encoding
            over = encoding.measured.true_peak_db - target.peak_ceiling_db
            miss = target.lufs - encoding.measured.integrated_lufs
            if not math.isfinite(miss) or (over <= 0 and abs(miss) <= AIM_LU):
                break
            if over > 0:
                # The encoder's overshoot, taken off the limiter's ceiling (or a limiter
                # added below the ceiling by as much), with a margin that grows with each
                # try: the encoder's noise does not follow the level one for one.
                start = target.peak_ceiling_db - TRUE_PEAK_MARGIN_DB if limit is None else limit
                # From where the samples peak, where that is below it: a limiter lowered
                # from its own ceiling, still above every sample, did nothing for three
                # encodings (as corrected() once did for the float passes).
                start = min(start, to_db(encoding.peak))
                limit = start - over - ENCODED_MARGIN_DB * tries
            gain = min(gain + miss, most)
        span.end()
        assert best is not None
        _publish(best.path, job.output)
    result.gain_db, result.limiter_ceiling_db = best.gain_db, best.limiter_db
    # The encodings are a gain and a limiter: a trim the float passes found is not in them
    # (and was reported as applied).
    result.specs, result.trim_db = best.specs, 0.0
    result.passes += tries
    result.measured(best.measured)
    return Rendered(
        0, best.stats, best.notice, best.measured, result, True, best.peak, *best.written
    )


def _better(candidate: Measurement, best: Measurement, target: LoudnessTarget) -> bool:
    """Whether a decoded encoding is closer to the target than the best so far: keeping the
    ceiling first, then the smaller miss."""
    keeps = candidate.true_peak_db <= target.peak_ceiling_db
    kept = best.true_peak_db <= target.peak_ceiling_db
    if keeps != kept:
        return keeps
    if not keeps:
        return candidate.true_peak_db < best.true_peak_db
    return abs(candidate.integrated_lufs - target.lufs) < abs(best.integrated_lufs - target.lufs)


def _encode(
    job: _Job, spool: FloatSpool, specs: list[dict[str, Any]], path: str, span: Span
) -> _Encoding:
    frames = spool.frames
    peak = 0.0
    with job.open(path, frames) as writer:
        for done, processed in job.over_spool(spool, specs):
            if processed.shape[0]:
                writer.write(processed)
                peak = max(peak, _magnitude(processed))
            span.frames(done, frames)
        _check_frames(job, writer.stats.frames, frames, frames)
    empty = Measurement(job.rate, job.channels, 0, math.nan, [], [], [], 0, 0, 0)
    return _Encoding(
        path, specs, 0.0, None, empty, writer.stats, writer.notice, peak, _written(writer)
    )


def _publish(encoded: str, output: str) -> None:
    """Puts a finished encoding in place of ``output`` in one step (or copies it to
    standard output)."""
    try:
        if output == "-":
            with open(encoded, "rb") as source:
                copy_out(source, standard_output())
            return
        with atomic_output(output) as temporary:
            shutil.copyfile(encoded, temporary)
    except BrokenPipeError:
        raise  # a reader gone from standard output: the command ends quietly
    except KavriError as error:
        raise AudioFileError(str(error)) from None
    except OSError as error:
        cause = os.strerror(error.errno) if error.errno else str(error)
        raise AudioFileError(f"{shown(output)}: cannot write: {cause}") from None
