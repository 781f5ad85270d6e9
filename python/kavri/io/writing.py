"""Writing audio files, whole or chunk by chunk, atomically.

The data goes to a hidden temporary file, which is renamed into place only when it is
complete (see :mod:`kavri.io.atomic`), so an interrupted or failed write never leaves a
half-written file and never damages a file that was there before.

Written files are reproducible: the same audio gives the same bytes on every run, however
it is cut into writes. Lossy encoders are handed blocks of a fixed size at fixed frame
positions (libsndfile's Vorbis encoder gives other samples for other cuts), the dither of
integer output comes from a fixed seed and runs on across writes, and the header fixes of
:mod:`kavri.io.fixups` take out time stamps and clock-drawn serial numbers. Integer samples
are quantised here rather than by libsndfile, with the same full scale that reading uses
(2**(bits-1)), so that a sample on the grid survives a round trip exactly and clipping can
be counted.

Standard output ("-") is a stream for WAV and raw PCM: the header (see :mod:`.pipes`) goes
out at once and each chunk as it is written, so the first byte leaves after the first
chunk, not after the whole file. Other formats need to seek back into what they wrote,
and are buffered through a temporary file as before. Tags are written into the temporary
file before it is put in place (see :mod:`.tags`).

What a container cannot hold is refused before the first sample: too many channels, a
sample rate or bit rate it does not take, no frames at all where libsndfile cannot read
such a file back, and, when the length is known up front, more bytes than a WAV or AIFF
header can count (WAV output then becomes RF64) or than the disk has room for.
"""

from __future__ import annotations

import os
import tempfile
import warnings
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .._audio import (
    PCM_BITS,
    as_frames,
    check_count,
    check_sample_rate,
    pcm_to_float,
    real_samples,
)
from .._engine import check_memory as guard_memory
from .._paths import AnyPath, free_bytes, fs_name, shown
from ..catalogue import counted, quoted
from ..errors import AudioFileError, KavriError, KavriWarning
from . import fixups
from .atomic import atomic_output
from .channel_order import (
    FLAC_MASK_TAG,
    LAYOUTS,
    Layout,
    SoundFile,
    layout_numbers,
    lfe_slot_note,
    wave_mask,
)
from .formats import (
    FLOAT_SUBTYPES,
    RAW_SUBTYPES,
    check_channels,
    check_length,
    check_output,
    data_bytes,
    fits_size_field,
    mp3_bitrate,
    output_format,
    plan_container,
    sample_bytes,
    size_refusal,
)
from .pipes import StreamSink
from .streams import copy_out, standard_output
from .tags import check_tags, dropped_note, set_soundfile_tags, writable_tags, write_tags

__all__ = [
    "AudioWriter",
    "ContainerWarning",
    "WriteStats",
    "DITHER_MODES",
    "ENCODER_BLOCK_FRAMES",
    "open_output",
    "write",
]

DITHER_MODES = ("tpdf", "none")
# Dither is applied to integer output of this many bits or fewer.
DITHER_MAX_BITS = 16
DITHER_SEED = 0x4B415652

# Frames handed to a lossy encoder at a time, at multiples of this from the first frame.
ENCODER_BLOCK_FRAMES = 4096
_BLOCKED_CONTAINERS = {"OGG", "MP3"}

# The size of the write that finds the cause of a failure: the failed write has used up
# whatever space was left.
_PROBE_BYTES = 65_536
# As in kavri.process: this few frames and more channels than the container holds is an
# array the wrong way round.
_CHANNELS_FIRST_LIMIT = 64
# The frames a write converts and quantises at a time.
_WRITE_PIECE = 1 << 16


class ContainerWarning(KavriWarning):
    """Audio written in another container than the one asked for (WAV as RF64)."""


@dataclass
class WriteStats:
    """What went into a file: frames written, finite samples clipped to the integer or
    lossy format's full scale, and NaN or infinite samples (where the format has no such
    values, NaN written as 0 and infinities at full scale)."""

    frames: int = 0
    clipped: int = 0
    nonfinite: int = 0


class _Quantiser:
    """Float samples to integer PCM of ``bits`` bits at full scale 2**(bits-1), rounding to
    the nearest step, with optional TPDF dither of one step peak drawn from a fixed seed.
    The dither sequence runs on across calls, so chunked and whole writes agree."""

    def __init__(self, bits: int, dither: bool) -> None:
        self.bits = bits
        self.scale = float(2 ** (bits - 1))
        self.rng = np.random.default_rng(DITHER_SEED) if dither else None

    def __call__(self, data: np.ndarray, stats: WriteStats) -> np.ndarray:
        scaled = data.astype(np.float64) * self.scale
        finite = np.isfinite(scaled)
        if not finite.all():
            stats.nonfinite += int(np.count_nonzero(~finite))
            scaled = np.where(finite, scaled, np.where(np.isnan(scaled), 0.0, scaled))
        top, bottom = self.scale - 1.0, -self.scale
        # An infinity is counted as not finite, not clipped too; it is written at full scale.
        over = (scaled > top) | (scaled < bottom)
        stats.clipped += int(np.count_nonzero(over & np.isfinite(scaled)))
        if self.rng is not None:
            # Triangular dither: the difference of two uniform draws, between -1 and 1 step.
            # Both draws of a sample are taken together, in frame order, so the sequence is
            # the same however the audio is cut into chunks.
            draws = self.rng.random((*scaled.shape, 2))
            scaled += draws[..., 0] - draws[..., 1]
        steps = np.clip(np.rint(scaled), bottom, top)
        if self.bits == 32:
            return steps.astype(np.int32)
        if self.bits == 8:
            return (steps.astype(np.int16) << 8).astype(np.int16)
        if self.bits == 16:
            return steps.astype(np.int16)
        # 24 bits travel in the top of a 32-bit word; libsndfile keeps the high 24 bits.
        return steps.astype(np.int32) << 8


class AudioWriter:
    """Writes audio into an open output, chunk by chunk (see :func:`open_output`).
    ``streamed`` is true when the output goes out as it is written (WAV or raw PCM to a
    pipe), and ``dropped_tags`` names the tags the output's format could not hold.

    ``write(chunk)`` takes float samples, (frames, channels) or 1-D for one channel, and
    converts them to the file's format: float formats keep every bit, NaN included;
    integer formats are quantised (with dither if asked) and clipped; lossy formats are
    clipped to [-1, 1] with NaN written as 0. ``stats`` counts what was clipped or
    not finite. ``container`` is the container written, and ``notice`` a one-line note
    for the user when it is not the one asked for (WAV written as RF64), else None.
    """

    def __init__(
        self,
        handle: sf.SoundFile | StreamSink,
        subtype: str,
        dither: str,
        *,
        container: str = "",
        label: str = "",
        notice: str | None = None,
    ) -> None:
        self._file = handle
        self.subtype = subtype
        self.container = container or handle.format
        self.channels = handle.channels
        self.sample_rate = handle.samplerate
        self.label = label
        self.notice = notice
        self.stats = WriteStats()
        bits = PCM_BITS.get(subtype)
        use_dither = dither == "tpdf" and bits is not None and bits <= DITHER_MAX_BITS
        self._quantise = _Quantiser(bits, use_dither) if bits is not None else None
        # WAV and AIFF count bytes in 32 bits: a write that would pass that is refused
        # before it reaches the file, not found out at the end.
        # A stream states no size at all.
        self._size_counted = self.container in ("WAV", "AIFF") and isinstance(handle, sf.SoundFile)
        # Tag names given to the output that its format cannot hold.
        self.dropped_tags: list[str] = []
        self.streamed = isinstance(handle, StreamSink)
        self._finished = False
        self._held: np.ndarray | None = None
        self._held_frames = 0
        if self.container in _BLOCKED_CONTAINERS:
            self._held = np.empty((ENCODER_BLOCK_FRAMES, self.channels), np.float32)

    def write(self, chunk: npt.ArrayLike) -> None:
        """Appends frames to the file."""
        # A long array goes in pieces: what each write makes beside it (its conversion, its
        # masks, the samples on the file's grid) is a piece's, not several times the array's
        # (a view of 10**9 frames met NumPy's "Unable to allocate"). Every format's bytes are
        # the same for any pieces.
        if (
            isinstance(chunk, np.ndarray)
            and chunk.ndim in (1, 2)
            and chunk.shape[0] > _WRITE_PIECE
            and (chunk.ndim == 1 or chunk.shape[1] == self.channels)
        ):
            for start in range(0, chunk.shape[0], _WRITE_PIECE):
                self._write(chunk[start : start + _WRITE_PIECE])
            return
        self._write(chunk)

    def write_shown(self, chunk: npt.ArrayLike) -> np.ndarray:
        """Appends frames to the file and returns them as the file holds them, as floats:
        an integer format's steps over its full scale (clipped, dithered, NaN as 0), a lossy
        format's samples clipped (before the encoder), a float format's as given; so that a
        meter of the output reads what was written."""
        data, out = self._write(chunk)
        if out is data:
            return data
        return pcm_to_float(out)

    def _write(self, chunk: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray]:
        """Writes frames; returns them as given and as handed to the file."""
        if self._finished:
            # After its block: an encoder's held frames had taken them, never to be written.
            raise AudioFileError(f"{self.label}: cannot write: the file is already complete")
        data, _ = as_frames(real_samples(chunk))
        if data.ndim != 2 or data.shape[1] != self.channels:
            raise AudioFileError(
                f"expected (frames, {self.channels}) audio, got shape {data.shape}"
            )
        total = self.stats.frames + data.shape[0]
        if self._size_counted and not fits_size_field(self.subtype, self.channels, total):
            raise AudioFileError(
                size_refusal(
                    self.label, self.container, data_bytes(self.subtype, self.channels, total)
                )
            )
        if self._quantise is not None:
            out: np.ndarray = self._quantise(data, self.stats)
        elif self.subtype in FLOAT_SUBTYPES:
            bad = ~np.isfinite(data)
            self.stats.nonfinite += int(np.count_nonzero(bad))
            out = data
        else:
            bad = ~np.isfinite(data)
            self.stats.nonfinite += int(np.count_nonzero(bad))
            self.stats.clipped += int(np.count_nonzero(np.abs(data[~bad]) > 1.0))
            # Lossy formats hold full scale at most; NaN would otherwise become a click.
            out = np.clip(np.nan_to_num(data, nan=0.0), -1.0, 1.0)
        if self._held is None:
            self._file.write(np.ascontiguousarray(out))
        else:
            self._write_blocks(out)
        self.stats.frames = total
        return data, out

    def _write_blocks(self, out: np.ndarray) -> None:
        """Hands the encoder whole blocks that start at multiples of the block size; the
        rest waits for the next write or the end."""
        held = self._held
        assert held is not None
        size = held.shape[0]
        start = 0
        if self._held_frames:
            take = min(size - self._held_frames, out.shape[0])
            held[self._held_frames : self._held_frames + take] = out[:take]
            self._held_frames += take
            start = take
            if self._held_frames < size:
                return
            self._file.write(held)
            self._held_frames = 0
        whole = start + (out.shape[0] - start) // size * size
        for begin in range(start, whole, size):
            self._file.write(np.ascontiguousarray(out[begin : begin + size]))
        rest = out.shape[0] - whole
        held[:rest] = out[whole:]
        self._held_frames = rest

    def finish(self) -> None:
        """Writes what is held back for the encoder; called once, before the file closes."""
        self._finished = True
        if self._held is not None and self._held_frames:
            self._file.write(self._held[: self._held_frames])
            self._held_frames = 0


def _check_written(temporary: str, frames: int, channels: int) -> None:
    """Reads back the header of a file just written. libsndfile's Ogg writer does not
    report failed writes at all, so a full disk would otherwise give a truncated file and
    no error."""
    try:
        with (
            open(temporary, "rb") as handle,
            sf.SoundFile(handle.fileno(), closefd=False) as written,
        ):
            found = (written.frames, written.channels)
    except sf.LibsndfileError as error:
        raise _IncompleteWrite(error.error_string.rstrip(".")) from None
    if found != (frames, channels):
        raise _IncompleteWrite(
            f"the file holds {found[0]} frames x {counted(found[1], 'channel')} "
            f"after writing {frames} x {channels}"
        )


class _IncompleteWrite(Exception):
    """A write that libsndfile reported as done but whose file is not complete."""


def _check_room(label: str, descriptor: int, size: int) -> None:
    """Refuses audio of a known size that the disk holding the temporary file has no room
    for, before the first byte: otherwise the write would fill the disk (for every other
    program on it too) and fail only then. Compressed output (``size`` 0) is not checked."""
    free = free_bytes(descriptor)
    if size > free:
        raise AudioFileError(
            f"{label}: not written: its {_size_text(size)} of audio would not fit in the "
            f"{_size_text(free)} free on its disk"
        )


def _size_text(size: int) -> str:
    units = ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB")
    scaled, unit = float(size), 0
    while scaled >= 1024 and unit < len(units) - 1:
        scaled, unit = scaled / 1024, unit + 1
    return f"{size} bytes" if unit == 0 else f"{scaled:.1f} {units[unit]}"


def _write_failure(descriptor: int, reported: str) -> str:
    """The cause of a failed write. libsndfile reports a failed system call as "System
    error." (or, from its FLAC encoder, as a failed initialisation, or not at all), so the
    file is written to once more to learn why: on a full disk that says "No space left on
    device". ``reported`` is the message when that write succeeds. It goes past the file's
    end: libsndfile may have gone back to its header, and a write over blocks the file has
    already succeeds on a full disk."""
    try:
        os.pwrite(descriptor, bytes(_PROBE_BYTES), os.fstat(descriptor).st_size)
    except OSError as failure:
        if failure.errno is not None:
            return os.strerror(failure.errno)
    return reported


def _open_soundfile(
    descriptor: int,
    sample_rate: int,
    channels: int,
    container: str,
    subtype: str,
    bitrate: int | None,
    layout: Layout | None,
) -> sf.SoundFile:
    mode = None if bitrate is None else "CONSTANT"
    level = None if bitrate is None else (320 - bitrate) / 288
    # libsndfile gets the open descriptor, never the name: no encoding of the name can fail.
    # WAV of 3 to 8 channels is written extensible, with the mask of its layout, and WAV
    # with the layout an input stated, with that one.
    speakers = LAYOUTS.get(channels) if layout is None else layout
    extensible = container in ("WAV", "RF64") and speakers is not None
    handle = SoundFile(
        descriptor,
        "w",
        sample_rate,
        channels,
        subtype,
        format="WAVEX" if extensible and container == "WAV" else container,
        closefd=False,
        compression_level=level,
        bitrate_mode=mode,
    )
    if subtype in FLOAT_SUBTYPES:
        fixups.disable_peak_chunk(handle)
    if extensible and speakers:
        fixups.set_channel_map(handle, layout_numbers(speakers))
    return handle


def _fix_up(
    temporary: str, container: str, subtype: str, frames: int, channels: int, layout: Layout | None
) -> None:
    if layout == () and container in ("WAV", "RF64"):
        fixups.clear_channel_mask(temporary)
    if container == "OGG":
        fixups.fix_ogg_serial(temporary)
    elif container == "WAV" and subtype in FLOAT_SUBTYPES:
        fixups.complete_float_wav_header(temporary)
    elif container == "RF64" and subtype in FLOAT_SUBTYPES:
        fixups.clear_rf64_peak_time(temporary)
    elif container == "AIFF" and (subtype in FLOAT_SUBTYPES or sample_bytes(subtype) == 1):
        fixups.trim_aiff(temporary, frames, channels * (sample_bytes(subtype) or 0))


@contextmanager
def _target(name: str) -> Iterator[str]:
    """The temporary file to write: beside the target (renamed into place on success), or
    for standard output a file without a name in the temporary folder (copied out on
    success)."""
    if name != "-":
        with atomic_output(name) as temporary:
            yield temporary
        return
    out = standard_output()
    try:
        spool = tempfile.TemporaryFile(dir=tempfile.gettempdir())
    except OSError as error:  # its reason alone read as standard output's own failure
        raise AudioFileError(
            "standard output: cannot make a temporary file to write the audio into before it "
            f"is copied out: {error.strerror or error}"
        ) from None
    with spool:
        yield f"/proc/self/fd/{spool.fileno()}"
        spool.seek(0)
        copy_out(spool, out)


@contextmanager
def open_output(
    path: AnyPath,
    sample_rate: int | float,
    channels: int,
    subtype: str | None = None,
    *,
    file_format: str | None = None,
    dither: str = "none",
    bitrate: int | None = None,
    expected_frames: int | None = None,
    tags: Mapping[str, str] | None = None,
    label: str | None = None,
    layout: Layout | None = None,
) -> Iterator[AudioWriter]:
    """Opens an audio file for writing in chunks, atomically; yields an :class:`AudioWriter`.

    The file appears complete when the block ends without an error, and not at all
    otherwise. "-" writes standard output (WAV unless ``file_format`` names another
    format): WAV and raw PCM as a stream, chunk by chunk, with a header that states no
    length (RIFF and data sizes of 0xFFFFFFFF); other formats once the file is complete.
    A failure part-way through a stream ends it short. ``tags`` ({name: value}, see
    :mod:`kavri.io.tags`) are written where the format holds them, before the file is put
    in place; the writer's ``dropped_tags`` names those it cannot hold. ``dither`` is
    "tpdf" or "none": TPDF dither applies to integer output of 16 bits or fewer.
    ``bitrate`` (kbit/s, one of ``MP3_BITRATES``) makes MP3 output constant-rate.
    ``layout`` is an input's stated layout (see :mod:`kavri.io.channel_order`), which WAV
    output of its channel count carries in its header instead of Kavri's.

    Checked before anything is written: the channel count against the container's limit
    (FLAC holds 8, MP3 2, Ogg 255, the others 1,024), the sample rate, and, when the caller
    gives ``expected_frames``, the length: WAV output past the 4 GiB its header can count
    is written as RF64 (the writer's ``notice`` says so, for the caller to show), AIFF
    output of that size is refused, and so is output of no frames in FLAC, MP3 or Opus,
    which libsndfile cannot read back. Without ``expected_frames`` the same limits end the
    write at the chunk that passes them. The file is read back before it is put in place,
    so that a full disk is reported ("No space left on device") even where libsndfile does
    not notice it. Raises :class:`AudioFileError` naming the file, or ``label`` for it (a
    trial encoding in a temporary folder is named as the output it stands for).
    """
    name = fs_name(path)
    if label is None:
        label = "standard output" if name == "-" else shown(name)
    if name == "-":
        standard_output()
    container, chosen = output_format(name, subtype, file_format)
    if not isinstance(dither, str) or dither not in DITHER_MODES:
        raise AudioFileError(
            f"unknown dither {quoted(dither)}; use one of {', '.join(DITHER_MODES)}"
        )
    try:
        count = check_count("channels", channels)  # 2.7 was written as 2 channels
    except (TypeError, ValueError) as error:
        raise AudioFileError(f"{label}: cannot write: {error}") from None
    try:
        # The rate as the engine takes it: 48000.9 and True had been written as 48000 and 1.
        rate = check_sample_rate(sample_rate)
    except ValueError:
        raise AudioFileError(
            f"{label}: cannot write at a sample rate of {sample_rate} Hz"
        ) from None
    except TypeError as error:
        raise AudioFileError(f"{label}: cannot write: {error}") from None
    check_channels(label, container, count)
    check_output(label, rate, chosen, bitrate, count)
    bitrate = None if bitrate is None else mp3_bitrate(label, bitrate)
    given_tags = check_tags(tags)
    if layout is not None and len(layout) not in (0, count):
        layout = None  # another count's: the output's channels are Kavri's layout of theirs
    if name == "-" and (container == "RAW" or (container == "WAV" and chosen in RAW_SUBTYPES)):
        with _streamed(label, rate, count, container, chosen, dither, given_tags, layout) as writer:
            yield writer
        return
    written, notice = plan_container(label, container, chosen, count, expected_frames)
    lfe = lfe_slot_note(label, container, chosen, count, layout)
    if lfe is not None:
        notice = lfe if notice is None else f"{notice}; {lfe}"
    held, dropped = writable_tags(written, given_tags)
    if written == "FLAC" and layout:
        # FLAC's layout is its count's; another, as FFmpeg keeps it, in a comment. (No
        # speakers at all it cannot say: FFmpeg refuses a mask of 0.)
        held = {**held, FLAC_MASK_TAG: f"{wave_mask(count, layout):#x}"}
    try:
        with _target(name) as temporary, open(temporary, "r+b") as stream:
            # FLAC holds PCM, but compressed: its size is not known before it is written.
            if expected_frames is not None and written != "FLAC":
                _check_room(label, stream.fileno(), data_bytes(chosen, count, expected_frames))
            try:
                if written == "RAW":
                    with _raw_file(stream, label, rate, count, chosen, dither) as writer:
                        writer.dropped_tags = list(given_tags)
                        yield writer
                    return
                handle = _open_soundfile(
                    stream.fileno(), rate, count, written, chosen, bitrate, layout
                )
                with handle:
                    writer = AudioWriter(
                        handle, chosen, dither, container=written, label=label, notice=notice
                    )
                    writer.dropped_tags = dropped
                    yield writer
                    writer.finish()
                    if written == "WAV":
                        set_soundfile_tags(handle, held)
                frames = writer.stats.frames
                check_length(label, written, chosen, frames)
                _fix_up(temporary, written, chosen, frames, count, layout)
                write_tags(temporary, written, chosen, held)
                _check_written(temporary, frames, count)
            except sf.LibsndfileError as error:
                cause = _write_failure(stream.fileno(), error.error_string.rstrip("."))
                raise AudioFileError(f"{label}: cannot write: {cause}") from None
            except _IncompleteWrite as error:
                cause = _write_failure(stream.fileno(), str(error))
                raise AudioFileError(f"{label}: cannot write: {cause}") from None
    except (AudioFileError, BrokenPipeError):
        raise  # a reader gone from standard output: the command ends quietly
    except KavriError as error:
        raise AudioFileError(str(error)) from None
    except OSError as error:
        cause = os.strerror(error.errno) if error.errno else str(error)
        raise AudioFileError(f"{label}: cannot write: {cause}") from None


@contextmanager
def _streamed(
    label: str,
    rate: int,
    channels: int,
    container: str,
    subtype: str,
    dither: str,
    tags: Mapping[str, str],
    layout: Layout | None,
) -> Iterator[AudioWriter]:
    """WAV or raw PCM straight to standard output, the header first."""
    out = standard_output()
    held, dropped = writable_tags(container, tags)
    try:
        sink = StreamSink(out, rate, channels, subtype, container, held, layout)
        writer = AudioWriter(sink, subtype, dither, container=container, label=label)
        writer.dropped_tags = dropped
        yield writer
        writer.finish()
    except BrokenPipeError:
        raise
    except OSError as error:
        cause = os.strerror(error.errno) if error.errno else str(error)
        raise AudioFileError(f"{label}: cannot write: {cause}") from None


@contextmanager
def _raw_file(
    stream: IO[bytes], label: str, rate: int, channels: int, subtype: str, dither: str
) -> Iterator[AudioWriter]:
    """Raw PCM into an open temporary file; its size is checked once it is written."""
    sink = StreamSink(stream, rate, channels, subtype, "RAW")
    writer = AudioWriter(sink, subtype, dither, container="RAW", label=label)
    yield writer
    writer.finish()
    stream.flush()
    expected = data_bytes(subtype, channels, writer.stats.frames)
    found = os.fstat(stream.fileno()).st_size
    if found != expected:
        raise AudioFileError(f"{label}: cannot write: {found} bytes written of {expected}")


def write(
    path: AnyPath,
    audio: npt.ArrayLike,
    sample_rate: int | float,
    subtype: str | None = None,
    *,
    file_format: str | None = None,
    dither: str = "none",
    bitrate: int | None = None,
    tags: Mapping[str, str] | None = None,
) -> WriteStats:
    """Writes audio to a file, atomically, and returns what was clipped or not finite.

    The container follows the suffix (.wav, .flac, .ogg, .opus, .mp3, .aiff, .caf, .w64),
    or ``file_format``; "-" is standard output. ``subtype`` is "float", "double", "pcm16",
    "pcm24", "pcm32", "vorbis", "opus" or "mp3" (or a libsndfile subtype name); the default
    is float for WAV, AIFF, CAF and W64, 24-bit PCM for FLAC, Vorbis for OGG. Integer
    output is rounded to its grid and clipped, lossy output clipped to [-1, 1], and NaN
    written as 0 in both. ``dither="tpdf"`` adds TPDF dither to 16-bit output (the default
    "none" keeps samples already on the grid exactly). Integer PCM arrays are scaled by
    their full scale first (see :func:`kavri.io.pcm_to_float`). The file appears complete
    or not at all; an existing file of that name is replaced only on success. What the
    format cannot hold (channels, an empty FLAC, MP3 or Opus file, an AIFF past 4 GiB) is
    refused before anything is written; a WAV past 4 GiB is written as RF64, with a
    :class:`ContainerWarning`. ``tags`` ({"title": ..., "artist": ...}) are written where
    the format holds them (see :mod:`kavri.io.tags`), and those it cannot hold are named in
    a :class:`ContainerWarning`. Raises :class:`AudioFileError` naming
    the file.
    """
    name = fs_name(path)
    container, _ = output_format(name, subtype, file_format)
    if isinstance(audio, np.ndarray) and audio.dtype != np.float32:
        guard_memory(audio.size * 4, f"the float32 copy of {audio.size:,} {audio.dtype} samples")
    data, _ = as_frames(real_samples(audio))
    if data.ndim != 2 or data.shape[1] < 1:
        raise AudioFileError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    try:
        check_channels(name, container, data.shape[1])
    except AudioFileError as error:
        if data.shape[0] <= _CHANNELS_FIRST_LIMIT:
            raise AudioFileError(
                f"{error}; is the array (channels, frames)? pass audio.T"
            ) from None
        raise
    with open_output(
        name,
        sample_rate,
        data.shape[1],
        subtype,
        file_format=file_format,
        dither=dither,
        bitrate=bitrate,
        expected_frames=data.shape[0],
        tags=tags,
    ) as writer:
        # Told before the audio goes in: where warnings are errors, the call then fails
        # with nothing written (it had raised with the file complete in its place).
        if writer.notice is not None:
            warnings.warn(writer.notice, ContainerWarning, stacklevel=2)
        dropped = dropped_note(writer.label, writer.container, writer.dropped_tags)
        if dropped is not None:
            warnings.warn(dropped, ContainerWarning, stacklevel=2)
        writer.write(data)
    return writer.stats
