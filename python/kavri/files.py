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
:func:`stop_on_signals` sets when SIGINT, SIGTERM or SIGHUP arrives). A stopped or failed run leaves
no file behind and the previous output, if any, untouched.

:func:`measure_file` meters a file the same way, chunk by chunk.
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any, Unpack

import numpy as np

from ._audio import check_callables, check_count
from ._engine import DEFAULT_BLOCK_SIZE, check_memory
from ._paths import AnyPath, fs_name
from ._paths import shown as show_name
from ._stop import StopRequest, stopping
from .catalogue import EFFECTS
from .chain import ChainLike, load_chain
from .errors import AudioFileError, Interrupted, KavriError, failure_text
from .io import (
    BlockReader,
    OpenedInput,
    RawFormat,
    ShortFileWarning,
    WriteStats,
    check_output,
    count_if_large,
    counted_size,
    open_source,
    output_format,
    output_target,
    resolve_subtype,
    source_layout,
)
from .io.tags import dropped_note
from .loudness import LevelMeter, LoudnessResult, Measurement, ceiling_passed, clip_level
from .rendering import LOSSY_SUBTYPES, ChunkStream, ProgressCallback, Rendered, Span, render
from .settings import RenderOptions, RenderSettings, tail_frames
from .steps import ChainStream, StepItem, plan_chain
from .steps.plan import measure_meter, measures_whole_input

__all__ = [
    "FileSummary",
    "process_file",
    "measure_file",
    "chunk_frames",
]


# Frames per chunk when the engine block would make a chunk larger than this: the stream
# then holds back what a dynamic EQ's partial block needs, and memory stays bounded.
MAX_CHUNK_FRAMES = 1 << 20


@dataclass(frozen=True)
class FileSummary:
    """What :func:`process_file` did: the format, the frames read and written, the time.

    ``sample_rate`` and ``channels`` are the output's (a chain's steps may change them),
    ``input_sample_rate`` and ``input_channels`` the input's. ``measurement`` holds the levels
    of the output as written when they were measured: of the file decoded back for lossy formats
    (``decoded`` true), else of the samples the file holds (for integer formats, rounded to the
    grid with the dither and clipped). ``stats`` says what the conversion clipped or found not
    finite, ``loudness`` what a loudness target did (its figures measured in the same way),
    ``peak`` the highest magnitude handed to the writer (above 1.0 a float file holds what most
    players clip), and ``warnings`` what else went wrong on the way (an input that ended before
    its header said it would)."""

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
    warnings: tuple[str, ...] = ()
    decoded: bool = False
    peak: float = 0.0
    input_sample_rate: int = 0
    input_channels: int = 0


def chunk_frames(sample_rate: int, block_size: int, requested: int | None = None) -> int:
    """Frames read and processed at a time: a whole number of engine blocks making about
    one second of audio, or ``requested`` frames rounded up to whole blocks, but never more
    than MAX_CHUNK_FRAMES (a larger block is collected by the stream over several chunks)."""
    block = block_size if block_size > 0 else DEFAULT_BLOCK_SIZE
    if block > MAX_CHUNK_FRAMES:
        return max(1, min(requested or sample_rate, MAX_CHUNK_FRAMES))
    if requested is not None:
        blocks = -(-max(requested, 1) // block)
    else:
        blocks = round(sample_rate / block)
    return min(max(blocks, 1), MAX_CHUNK_FRAMES // block) * block


def _engine_error(source: str, error: BaseException) -> KavriError:
    return KavriError(f"{source}: {failure_text(error)}")


def _passes(
    blocks: BlockReader,
    stream: ChunkStream,
    extra: int,
    name: str,
    check_stop: Callable[[], None],
) -> Iterator[tuple[int, np.ndarray]]:
    """Runs the whole input, then ``extra`` frames of silence, through ``stream``; yields
    (frames consumed so far, processed frames) per chunk, the stream's flush last."""
    consumed = 0
    # A chain stream gives what a chunk makes in pieces (a long pad's silence).
    pieces = getattr(stream, "process_pieces", None)
    flushed = getattr(stream, "flush_pieces", None)

    def run(block: np.ndarray) -> Iterator[np.ndarray]:
        try:
            if pieces is None:
                yield stream.process(block)
            else:
                for piece in pieces(block):
                    yield piece
                    # A step that makes much from little (a day's pad) stops between its
                    # pieces: a stop had waited for all of it, gigabytes of writing.
                    check_stop()
        except (RuntimeError, MemoryError) as error:
            raise _engine_error(name, error) from None

    for block in blocks:
        check_stop()
        consumed += block.shape[0]
        for piece in run(block):
            yield consumed, piece
    if extra:
        # In the blocks asked for: a file of one frame had its tail fed a frame at a time.
        silence = np.zeros((min(blocks.chunk_frames, extra), blocks.channels), np.float32)
        pending = extra
        while pending:
            check_stop()
            block = silence[: min(silence.shape[0], pending)]
            pending -= block.shape[0]
            consumed += block.shape[0]
            for piece in run(block):
                yield consumed, piece
    check_stop()
    try:
        if flushed is None:
            yield consumed, stream.flush()
        else:
            for piece in flushed():
                yield consumed, piece
                check_stop()
    except (RuntimeError, MemoryError) as error:
        raise _engine_error(name, error) from None


def process_file(
    source: AnyPath,
    output: AnyPath,
    chain: ChainLike,
    settings: RenderSettings | None = None,
    *,
    progress: ProgressCallback | None = None,
    stop: StopRequest | None = None,
    chunk: int | None = None,
    measure: bool = False,
    raw: RawFormat | None = None,
    **options: Unpack[RenderOptions],
) -> FileSummary:
    """Runs an effect chain over an audio file and writes the result, streaming.

    ``source`` is any file libsndfile reads or PyAV decodes (M4A/AAC, WMA, WebM, ...), or
    "-" for standard input (a WAV stream is read as it arrives unless a loudness target
    needs a second pass), or headerless PCM described by ``raw`` (a
    :class:`kavri.io.RawFormat`); ``output`` takes
    its container from its suffix (or from the ``file_format`` setting), or is "-" for
    standard output (WAV unless ``file_format`` says otherwise). ``chain`` is a list of
    effect specs, a chain file or a preset name. ``settings`` (a
    :class:`kavri.RenderSettings`), or the same names as keywords (``block_size``,
    ``workers``, ``subtype``, ``tail``, ``loudness``, ``peak_ceiling``, ``dither``,
    ``bitrate``, ``file_format``), say how it is rendered:

    - ``tail`` seconds of silence follow the input through the chain, so the output is
      longer by exactly ``tail_frames(tail, sample_rate)`` frames (the nearest whole frame).
      The output has the bits of ``kavri.process`` over the whole input (followed by the
      tail's zeros), for every ``workers`` count; ``block_size`` matters only for a
      "dynamic_eq", as it does there. ``subtype`` as :func:`kavri.write` takes it.
    - ``loudness`` (LUFS) adds a gain after the chain that brings the integrated loudness
      (ITU-R BS.1770-4) within 0.5 LU of it, and where that gain would push the true peak
      over ``peak_ceiling`` (dBTP), the engine's "limiter" after the gain; the summary's
      ``loudness`` says what was done, with the loudness and true peak measured on the
      output as written (decoded back for MP3, Vorbis and Opus, whose encoders move the
      peaks: their gain and limiter are corrected until the decoded file keeps the
      ceiling), and by how much a target was missed. The chain runs once, into a float32
      temporary file in ``TMPDIR`` (refused up front when it would leave less than 256
      MiB free there), from which the gain and limiter are found and written.
    - 16-bit (and 8-bit) output gets TPDF dither from a fixed seed unless
      ``dither="none"``; ``bitrate`` (kbit/s) makes MP3 output constant-rate.
    - The input's tags (title, artist, ...) are carried to the output where both formats
      hold them unless ``keep_tags=False``; ``tags`` adds or replaces some.

    - A chain's steps may change the rate, the channel count and the length: the output is
      opened at the rate and channel count the chain ends with, the tail's silence is
      counted at the input's rate before the chain, and a ``normalize`` gets a measuring
      pass of its own (the chain up to it, over the whole input) before the writing pass.
      A chain that cannot work with the file's channel count is refused before any audio
      is read.

    ``measure`` meters the written audio (peaks, loudness, clipped and non-finite samples)
    into the summary. The file is read and processed ``chunk`` frames at a time (default:
    whole engine blocks making about a second), so memory does not grow with the file's
    length. The output appears complete or not at all, by an atomic rename; it may be the
    input file itself. ``progress(done, total)`` is called after every chunk: one count
    over all passes, whose total is known before the first pass (it grows only if the input
    holds more frames than its header says) and whose done never goes back. ``stop`` (an
    object with ``is_set()``) is checked before every chunk; once it is set the run ends
    with :class:`kavri.Interrupted` and writes nothing. An
    input that ends before its header says it would is processed as far as it goes, and
    the summary's ``warnings`` say so.

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for a bad setting,
    :class:`kavri.AudioFileError` for a file that cannot be read or written, and
    :class:`kavri.KavriError` naming the source when the engine fails.
    """
    specs = load_chain(chain)
    chosen_settings = RenderSettings.of(settings, options)
    return render_file(
        source,
        output,
        specs,
        chosen_settings,
        progress=progress,
        stop=stop,
        chunk=chunk,
        measure=measure,
        raw=raw,
    )


def render_file(
    source: AnyPath,
    output: AnyPath,
    specs: list[dict[str, Any]],
    settings: RenderSettings,
    *,
    progress: ProgressCallback | None = None,
    stop: StopRequest | None = None,
    chunk: int | None = None,
    measure: bool = False,
    raw: RawFormat | None = None,
    one_of_many: bool = False,
) -> FileSummary:
    """:func:`process_file` for a checked chain and settings. ``one_of_many`` (a run's
    files) names the output in the warnings of values the engine will clamp at its rate."""
    target = settings.target
    source_name, output_name = fs_name(source), fs_name(output)
    check_callables(progress=progress)
    if chunk is not None:
        chunk = check_count("chunk", chunk)
    output_format(output_name, None, settings.file_format)
    if output_name != "-":
        try:
            output_target(output_name)  # refused before the work, not after it
        except KavriError as error:
            raise AudioFileError(str(error)) from None

    def check_stop() -> None:
        if stop is not None and stop.is_set():
            raise Interrupted(f"{source_name}: interrupted; {output_name} not written")

    check_stop()
    start = time.perf_counter()
    label = "standard input" if source_name == "-" else show_name(source_name)
    # The input is read once, and once more before that for each measuring pass (a
    # normalize's, a noise's at a ratio): a pipe is copied aside only when it is read more
    # than once.
    passes_over_input = 1 + sum(1 for spec in specs if measures_whole_input(spec))
    # A wait deep in the work (for a response named by a pipe, read as the chain's items
    # are built) looks at the stop too.
    with (
        stopping(stop),
        open_source(
            source_name, stop=stop, raw=raw, passes=passes_over_input, label=label
        ) as opened,
    ):
        reader = opened.reader
        rate, channels = int(reader.samplerate), int(reader.channels)
        extra = tail_frames(settings.tail, rate)
        # Planned before any audio is read: a chain that cannot work with this file's
        # channels is refused here, and the output takes the rate and channels it ends with.
        plan = plan_chain(specs, rate, channels, label)
        out_rate, out_channels = plan.out_rate, plan.out_channels
        chosen = _output_subtype(output_name, settings, reader.subtype)
        check_output(output_name, out_rate, chosen, settings.bitrate, out_channels)
        plan.warn_clamped(stacklevel=3, about=show_name(output_name) if one_of_many else "")
        if output_name != "-":
            container = output_format(output_name, chosen, settings.file_format)[0]
            count_if_large(
                reader,
                lambda frames: counted_size(
                    container, chosen, out_channels, plan.most_output_frames(frames + extra)
                ),
                stop,
            )
        blocks = BlockReader(reader, chunk_frames(rate, settings.block_size, chunk), label)
        # The read buffer, and as much again for the silence of a tail and the output (a
        # tail goes in the blocks asked for, which a short file's buffer may be below).
        tail_bytes = min(blocks.chunk_frames, extra) * blocks.channels * 4
        check_memory(
            3 * max(blocks.buffer_bytes, tail_bytes),
            f"{label}: reading in blocks of {blocks.block_frames} frames",
        )
        per_pass = blocks.frames_claimed + extra
        # A normalize's gain comes from the peak of its whole input, and a noise's at a
        # ratio from the power of its whole input, each measured by a pass of the chain up
        # to it (the steps measured before it already running as they go).
        normalizations = plan.measurements
        peaks: dict[int, Any] = {}

        # The streams of the writing passes, whose steps' notes the summary gives (those of
        # the measuring passes would say the same again).
        writing: list[ChainStream] = []

        def new_stream(stream_plan: Any) -> ChainStream:
            try:
                return ChainStream(
                    stream_plan,
                    settings.block_size,
                    settings.workers,
                    peaks=dict(peaks),
                    keep_notes=True,
                )
            except (RuntimeError, MemoryError) as error:
                raise _engine_error(source_name, error) from None

        def writing_stream() -> ChainStream:
            writing.append(new_stream(plan))
            return writing[-1]

        def passes(stream: ChunkStream) -> Iterator[tuple[int, np.ndarray]]:
            return _passes(blocks, stream, extra, source_name, check_stop)

        def measure_peaks(span: Span) -> None:
            for count, position in enumerate(normalizations):
                item = plan.segments[position]
                assert isinstance(item, StepItem)
                peak_meter = measure_meter(item)
                part = span.part(1.0 / (len(normalizations) - count))
                for consumed, processed in passes(new_stream(plan.before(position))):
                    peak_meter.add(processed)
                    part.frames(consumed, per_pass)
                peaks[position] = peak_meter.result()

        rendered = render(
            passes,
            per_pass,
            output_name,
            out_rate,
            out_channels,
            chosen,
            settings,
            writing_stream,
            chunk=blocks.block_frames,
            check_stop=check_stop,
            engine_error=lambda error: _engine_error(source_name, error),
            output_frames=plan.output_frames,
            tags=_tags(settings, opened),
            length_known=blocks.length_planned,
            layout=source_layout(reader) if out_channels == channels else None,
            progress=progress,
            # A lossy output of a chain that holds a true-peak ceiling is decoded and
            # measured whatever is asked, so that a ceiling its encoder passes is told (a
            # batch, which measures nothing, passed it without a word).
            measure=measure
            or target is not None
            or (chosen in LOSSY_SUBTYPES and _ceiling_of(specs) is not None),
            earlier_passes=len(normalizations),
            earlier=measure_peaks if normalizations else None,
        )
    notes = tuple(
        note
        for note in (
            blocks.shortfall(),
            rendered.notice,
            # A missed loudness target or a passed ceiling: process_to_loudness warns of
            # it, and so does this summary.
            rendered.loudness.problem(" after encoding" if rendered.decoded else "")
            if rendered.loudness is not None
            else None,
            _dropped_tags(settings, rendered),
            _ceiling_passed(specs, rendered if rendered.decoded else None),
            *dict.fromkeys(note for stream in writing for note in stream.notes()),
        )
        if note is not None
    )
    return FileSummary(
        source_name,
        output_name,
        out_rate,
        out_channels,
        rendered.consumed - extra,
        rendered.stats.frames,
        time.perf_counter() - start,
        rendered.measurement if measure else None,
        rendered.stats,
        rendered.loudness,
        chosen,
        notes,
        rendered.decoded,
        rendered.peak,
        rate,
        channels,
    )


def _ceiling_of(specs: list[dict[str, Any]]) -> float | None:
    """The true-peak ceiling a chain ends by holding (a normalize of the true peak "when
    above", as --peak-ceiling without a loudness target adds); None if it holds none."""
    if not specs:
        return None
    last = {**EFFECTS["normalize"].defaults(), **specs[-1]}
    if last["type"] != "normalize" or last["mode"] != "true" or last["when"] != "above":
        return None
    return float(last["peak_db"])


def _ceiling_passed(specs: list[dict[str, Any]], rendered: Rendered | None) -> str | None:
    """A note when a chain that holds a true-peak ceiling was written to a lossy format
    whose decoded output passes it: the encoder adds peaks of its own, and the ceiling was
    passed without a word."""
    ceiling = _ceiling_of(specs)
    if rendered is None or rendered.measurement is None or ceiling is None:
        return None
    peak = rendered.measurement.true_peak_db
    if not peak > ceiling:
        return None
    return f"{rendered.label}: {ceiling_passed(peak, ceiling, ' after encoding')}"


def _output_subtype(output_name: str, settings: RenderSettings, input_subtype: str) -> str:
    """The sample format the output is written in, "same" resolved against the input."""
    container, default = output_format(output_name, None, settings.file_format)
    subtype = resolve_subtype(settings.subtype, input_subtype, container, default)
    return output_format(output_name, subtype, settings.file_format)[1]


def _tags(settings: RenderSettings, opened: OpenedInput) -> dict[str, str]:
    """The output's tags: the input's where they are kept, with the ones given over them."""
    tags = dict(opened.tags()) if settings.keep_tags else {}
    tags.update(settings.tags_dict())
    return tags


def _dropped_tags(settings: RenderSettings, rendered: Rendered) -> str | None:
    """A note naming the tags given that the output's format cannot hold."""
    given = settings.tags_dict()
    dropped = [name for name in rendered.dropped_tags if name in given]
    return dropped_note(rendered.label, rendered.container, dropped)


def measure_file(
    path: AnyPath,
    chunk_frames: int = 1 << 16,
    *,
    stop: StopRequest | None = None,
    raw: RawFormat | None = None,
) -> Measurement:
    """Measures an audio file chunk by chunk, in memory that does not grow with its length.
    "-" reads standard input (a WAV stream as it arrives); ``raw`` describes headerless
    PCM. A file that ends before its header says gives a
    :class:`kavri.io.ShortFileWarning`. Raises :class:`kavri.AudioFileError` naming the
    file."""
    given = fs_name(path)
    name = "standard input" if given == "-" else show_name(given)
    chunk_frames = check_count("chunk_frames", chunk_frames)
    with open_source(given, stop=stop, raw=raw, label=name) as opened:
        reader = opened.reader
        meter = LevelMeter(
            reader.samplerate,
            reader.channels,
            clip_level(reader.subtype),
            layout=source_layout(reader),
        )
        blocks = BlockReader(reader, chunk_frames, name)
        # The meter works on float64 rows of each block, several at a time.
        check_memory(
            6 * blocks.buffer_bytes, f"{name}: metering in blocks of {blocks.block_frames} frames"
        )
        for block in blocks:
            meter.add(block)
    shortfall = blocks.shortfall()
    if shortfall is not None:
        warnings.warn(shortfall, ShortFileWarning, stacklevel=2)
    return meter.result()
