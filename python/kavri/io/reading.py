"""Opening and reading audio files.

Audio formats need to seek, so an input that cannot (standard input "-", a pipe such as
``<(cat x.wav)``, a FIFO, a character device) is first copied ("spooled") to a temporary
file without a name, in pieces, never held in memory. A spool stops short of filling its
disk, goes away with the process however it ends, and both the copy and the wait for a
FIFO's writer end promptly when a stop is requested.

A WAV stream (and raw PCM) is not spooled when it is read once: :func:`open_source` reads it
front to back as the pipe delivers it (see :mod:`.pipes`), and spools only what a second
pass needs (a loudness target) or what cannot be read in order.

Formats libsndfile does not recognise (M4A/AAC, WMA, WebM, ...) are decoded through PyAV
(see :mod:`.decoding`), behind the same interface.

Long files are read in blocks by :class:`BlockReader`, whose one buffer is never larger
than the file's own frames, and which tells a file that ends before its header said.
"""

from __future__ import annotations

import io
import os
import re
import select
import stat
import tempfile
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import IO, Any, Literal, NamedTuple, Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .._engine import check_memory as guard_memory
from .._paths import AnyPath, free_bytes, fs_name, shown, temporary_folder_shown
from .._stop import StopRequest
from ..catalogue import counted
from ..errors import AudioFileError, Interrupted, KavriWarning
from .channel_order import SoundFile
from .decoding import DecodedSource, NoAudioStream, is_mpeg_audio, open_decoded
from .formats import SIZE_FIELD_LIMIT, sample_bytes
from .pipes import (
    WAVE_EXTENSIBLE,
    WAVE_FLOAT,
    ByteSource,
    RawFormat,
    StreamSource,
    WavHeader,
    parse_wav_header,
)
from .streams import standard_input
from .tags import read_tags

__all__ = [
    "AudioData",
    "AudioSource",
    "BlockReader",
    "OpenedInput",
    "open_source",
    "ShortFileWarning",
    "StopRequest",
    "SPOOL_DISK_MARGIN",
    "BLOCK_BYTES_LIMIT",
    "input_path",
    "open_input",
    "open_seekable",
    "read",
    "read_source",
    "is_complete_audio_file",
    "check_memory",
    "count_if_large",
]


class AudioData(NamedTuple):
    """What :func:`read` returns: the samples and the sample rate in hertz."""

    audio: npt.NDArray[np.float32]
    sample_rate: int


class AudioSource(Protocol):
    """What is read of an open input: a ``soundfile.SoundFile``, or a decoded file or a
    stream of the same shape. ``frames`` is what the header claims (0 when it claims
    nothing); a source without an exact length (decoded, or a stream) says
    ``exact_length = False``."""

    @property
    def samplerate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def frames(self) -> int: ...
    @property
    def format(self) -> str: ...
    @property
    def subtype(self) -> str: ...
    def seek(self, frames: int) -> int: ...
    def buffer_read_into(self, buffer: Any, dtype: Literal["float32"]) -> int: ...


def exact_length(source: AudioSource) -> bool:
    """Whether the source's ``frames`` is a length stated by its header, not an estimate."""
    return bool(getattr(source, "exact_length", True))


# libsndfile reads a WAV file that ends before its data chunk does as far as it goes, and
# counts only those frames; its log keeps what the header stated.
_WAV_DATA_LOG = re.compile(r"^data\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE)
# Data sizes that state no length: a WAV written to a pipe, before its writer knew it.
_UNSTATED_SIZES = (0, 0xFFFFFFFF, 0x7FFFFFFF)
# SoX (and espeak-ng --stdout) writes this size into a pipe, rounded down to whole frames:
# "espeak-ng --stdout ... > hello.wav" was said to end early, its header claiming 1 GiB.
_SOX_UNSTATED_SIZE = 0x7FFFF000


def stated_frames(source: AudioSource) -> int:
    """The frames the source's header states: its ``frames``, or for a WAV file cut short
    (whose ``frames`` counts what is there) the frames of the data chunk's stated size."""
    frames = max(int(source.frames), 0)
    if not isinstance(source, sf.SoundFile) or source.format not in ("WAV", "WAVEX"):
        return frames
    found = _WAV_DATA_LOG.search(source.extra_info)
    size = sample_bytes(source.subtype)
    if found is None or not size:
        return frames
    stated, frame_bytes = int(found.group(1)), size * int(source.channels)
    if stated in _UNSTATED_SIZES or 0 <= _SOX_UNSTATED_SIZE - stated < frame_bytes:
        return frames
    return max(frames, stated // frame_bytes)


class ShortFileWarning(KavriWarning):
    """A file that held fewer frames than its header claimed (damaged or cut short)."""


# Pieces in which an unseekable input is copied to its spool.
SPOOL_PIECE = 1 << 20
# Free space a spool leaves on its disk: the copy is refused before the disk gets fuller.
SPOOL_DISK_MARGIN = 256 << 20
# The most a block reader's buffer takes, whatever block the caller asks for: a header
# that compresses well may claim many frames, and a file may have 1,024 channels.
BLOCK_BYTES_LIMIT = 64 << 20
# libsndfile's code for a file whose format it does not know.
_SF_UNRECOGNISED_FORMAT = 1
# ... and for a format it knows holding an encoding it cannot decode (ALAC or Opus in CAF),
# which FFmpeg may.
_SF_UNSUPPORTED_ENCODING = 4
# ... and for a file of a format it knows that it cannot make sense of.
_SF_MALFORMED_FILE = 3
# The frame count libsndfile gives a FLAC stream whose header states none (its writer could
# not go back to fill it in: ffmpeg or flac writing to a pipe).
_SF_COUNT_MAX = 2**63 - 1
# The most channels FFmpeg's sample converter takes (SWR_CH_MAX).
_FFMPEG_MOST_CHANNELS = 64
# The rate FFmpeg decodes every Opus stream at, whatever rate its header states.
_OPUS_DECODED_RATE = 48_000
# How often a wait for input looks at the stop request.
POLL_SECONDS = 0.1

# Containers that compress whatever their subtype says (a FLAC file reports "PCM_24").
_COMPRESSED_CONTAINERS = {"FLAC", "OGG", "MPEG", "MP3"}
# For compressed formats, a bound no real file reaches: FLAC stores a block of 65,535
# silent frames in about 25 bytes, Opus and Vorbis need a byte or more per packet.
_MOST_FRAMES_PER_BYTE = 16_384
_FLOAT_BYTES = np.dtype(np.float32).itemsize


# A block of a file FFmpeg decodes, skipped or counted in one read.
_DECODE_BLOCK = 1 << 16


def _w64_float(handle: IO[bytes]) -> bool:
    """Whether a W64 file's format chunk says its samples are floats (the tag, or the
    sub-format of an extensible one). Chunks are a 16-byte GUID whose first four bytes
    name it, a 64-bit size that counts the 24 of the header, and data padded to 8 bytes."""
    descriptor, place = handle.fileno(), 40
    for _ in range(64):
        head = os.pread(descriptor, 24, place)
        if len(head) < 24:
            return False
        size = int.from_bytes(head[16:24], "little")
        if head[:4] == b"fmt ":
            body = os.pread(descriptor, 26, place + 24)
            tag = int.from_bytes(body[:2], "little")
            if tag == WAVE_EXTENSIBLE and len(body) >= 26:
                tag = int.from_bytes(body[24:26], "little")
            return tag == WAVE_FLOAT
        if size < 24:
            return False
        place += (size + 7) // 8 * 8
    return False


def _caf_of_unstated_size(handle: IO[bytes]) -> bool:
    """Whether a CAF file's audio data chunk has the size -1, which says that the samples
    run to the end of the file (ffmpeg writes it so to a pipe); libsndfile calls such a
    file malformed. Chunks are a 4-byte type and a 64-bit big-endian size after the
    8-byte file header."""
    descriptor, place = handle.fileno(), 8
    if os.pread(descriptor, 4, 0) != b"caff":
        return False
    end = os.fstat(descriptor).st_size
    for _ in range(64):
        if place >= end:
            return False
        head = os.pread(descriptor, 12, place)
        if len(head) < 12:
            return False
        size = int.from_bytes(head[4:12], "big", signed=True)
        if head[:4] == b"data":
            return size == -1
        if size < 0:
            return False
        place += 12 + size
    return False


def _opened_again(source: sf.SoundFile) -> sf.SoundFile:
    """The file of an open source opened again, at its start, with a decoder of its own."""
    name = source.name
    if isinstance(name, int):
        os.lseek(name, 0, os.SEEK_SET)
        return SoundFile(name, closefd=False)
    return SoundFile(name)


def _salvaged(
    source: sf.SoundFile, start: int, buffer: npt.NDArray[np.float32]
) -> Iterator[npt.NDArray[np.float32]]:
    """What a file damaged part way through (a FLAC cut short, whose decoder then loses
    sync) still gives from frame ``start``, in blocks of ``buffer``. A read that meets the
    damage gives nothing at all, so the reads shrink to one frame near it: where the file
    ends does not depend on the block size a caller asked for."""
    position, step = start, buffer.shape[0]
    while True:
        try:
            handle = _opened_again(source)
        except (sf.LibsndfileError, RuntimeError, OSError):
            return
        try:
            handle.seek(position)
            while True:
                got = handle.buffer_read_into(buffer[:step], dtype="float32")
                if got == 0:
                    return
                position += got
                yield buffer[:got]
        except (sf.LibsndfileError, RuntimeError):
            if step == 1:
                return
            step = max(1, step // 16)
        finally:
            handle.close()


class FileReads:
    """A seekable sound file read from any frame, in any count."""

    def __init__(self, handle: sf.SoundFile, label: str = "the file") -> None:
        self.handle = handle
        self.frames = int(handle.frames)
        self.samplerate = int(handle.samplerate)
        self.channels = int(handle.channels)
        self.counted = False  # libsndfile states every length it reads exactly
        if handle.format == "OGG" and self.frames > 0:
            # A damaged Vorbis stream can state a length and decode nothing; libsndfile's
            # seek into it then crashes the process. Its first frame is read first.
            if not handle.read(1, dtype="float32", always_2d=True).shape[0]:
                raise AudioFileError(
                    f"{label}: not a readable audio file (it decodes to nothing, though its "
                    f"header claims {counted(self.frames, 'frame')})"
                )
            handle.seek(0)

    def tell(self) -> int:
        return int(self.handle.tell())

    def seek(self, frame: int) -> None:
        self.handle.seek(frame)

    def read(self, count: int) -> npt.NDArray[np.float32]:
        """The next ``count`` frames (fewer at the end of the file)."""
        return np.asarray(self.handle.read(count, dtype="float32", always_2d=True), np.float32)

    def close(self) -> None:
        self.handle.close()


def _stop_requested(stop: StopRequest | None, label: str) -> None:
    if stop is not None and stop.is_set():
        raise Interrupted(f"{label}: interrupted while reading")


def _refuse_device(status: os.stat_result, label: str) -> None:
    """Raises :class:`AudioFileError` for a character device, which no audio is read from
    as from a file or a pipe: /dev/zero was copied to the temporary folder until its disk
    was all but full, and a terminal waited for typing. (A socket stays: one end of a
    socket pair is how some programs hand over standard input.)"""
    if stat.S_ISCHR(status.st_mode):
        raise AudioFileError(f"{label}: cannot read: it is a device, not a file or a pipe")


def _needs_spool(name: str) -> bool:
    """True for an existing input that cannot seek: a pipe, FIFO or socket (a character
    device is refused where it is opened). Missing files, folders and regular files are
    left to :func:`open_input`."""
    try:
        mode = os.stat(name).st_mode
    except (OSError, ValueError):
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISBLK(mode) or stat.S_ISDIR(mode))


def _wait_readable(descriptor: int, stop: StopRequest | None, label: str) -> None:
    """Waits until the descriptor has data or its end, looking at ``stop`` between short
    waits. A FIFO that no writer has opened yet is not readable, so this is also the wait
    for its writer."""
    poller = select.poll()
    poller.register(descriptor, select.POLLIN | select.POLLPRI)
    while not poller.poll(int(POLL_SECONDS * 1000)):
        _stop_requested(stop, label)


def _check_room(spool: IO[bytes], size: int, label: str) -> None:
    free = free_bytes(spool.fileno())
    if free - size < SPOOL_DISK_MARGIN:
        raise AudioFileError(
            f"{label}: not read: copying it to {temporary_folder_shown()} (it cannot seek) "
            f"would leave less than {SPOOL_DISK_MARGIN >> 20} MiB free there; point TMPDIR at a "
            "folder with more room, or give a file"
        )


@contextmanager
def _spooled(
    descriptor: int,
    label: str,
    stop: StopRequest | None,
    prefix: bytes = b"",
    whole: bool = False,
) -> Iterator[str]:
    """Copies ``prefix`` and then everything the descriptor gives to a temporary file
    without a name and yields a path that opens it. ``whole``: what is copied will be read
    into memory whole, and no more is copied than the memory guard lets it hold (an
    endless pipe given as a response had been copied until its disk was all but full)."""
    guarded = 0
    try:
        spool = tempfile.TemporaryFile(dir=tempfile.gettempdir())
    except OSError as error:
        raise AudioFileError(
            f"{label}: cannot copy it to the temporary folder: {error.strerror}"
        ) from None
    with spool:
        if prefix:
            _check_room(spool, len(prefix), label)
            spool.write(prefix)
        while True:
            _stop_requested(stop, label)
            _wait_readable(descriptor, stop, label)
            try:
                piece = os.read(descriptor, SPOOL_PIECE)
            except BlockingIOError:
                continue  # woken without data (a writer came and went): wait again
            except OSError as error:
                raise AudioFileError(f"{label}: cannot read: {error.strerror}") from None
            if not piece:
                break
            _check_room(spool, len(piece), label)
            copied = spool.tell() + len(piece)
            if whole and copied - guarded >= _WHOLE_CHECK_BYTES:
                check_memory_bytes(label, copied)
                guarded = copied
            try:
                spool.write(piece)
            except OSError as error:
                raise AudioFileError(
                    f"{label}: cannot copy it to the temporary folder: {error.strerror}"
                ) from None
        spool.flush()
        _stop_requested(stop, label)
        # The spool has no name; the process's own descriptor link opens it once more.
        yield f"/proc/self/fd/{spool.fileno()}"


def _standard_input_descriptor() -> int:
    try:
        descriptor = standard_input().fileno()
        status = os.fstat(descriptor)
    except (AttributeError, ValueError, OSError) as error:
        raise AudioFileError(f"standard input cannot be read ({error})") from None
    _refuse_device(status, "standard input")
    return descriptor


@contextmanager
def _pipe_descriptor(name: str, label: str, stop: StopRequest | None) -> Iterator[int]:
    """The descriptor to read an input that cannot seek from: standard input for "-", else
    the path opened without waiting for a FIFO's writer (closed after the block)."""
    if name == "-":
        yield _standard_input_descriptor()
        return
    _stop_requested(stop, label)
    try:
        _refuse_device(os.stat(name), label)  # before it is opened: opening a device acts
        # A FIFO opened without O_NONBLOCK would wait for its writer past any stop.
        descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror}") from None
    try:
        yield descriptor
    finally:
        os.close(descriptor)


@contextmanager
def input_path(
    path: AnyPath, stop: StopRequest | None = None, whole: bool = False
) -> Iterator[str]:
    """Yields a path that libsndfile can read and seek for an input: the path itself, or
    for "-" and for any input that cannot seek (a pipe such as ``<(cat x.wav)``, a FIFO, a
    ``/dev/fd`` path), a temporary copy without a name.

    The copy is made in pieces and refused with :class:`AudioFileError` before it would
    leave less than ``SPOOL_DISK_MARGIN`` bytes free on the temporary folder's disk (set
    by ``TMPDIR``). ``stop`` (anything with ``is_set()``) is looked at between pieces and
    every ``POLL_SECONDS`` while waiting for input, a FIFO's writer included; once it is
    set, :class:`kavri.Interrupted` is raised. The copy disappears with the block, or with
    the process however it ends. Raises :class:`AudioFileError` when standard input is
    closed or the input cannot be read. ``whole``: the input is to be read into memory
    whole, and a copy past what the memory guard would let it hold is refused as it grows.
    """
    name = fs_name(path)
    if name != "-" and not _needs_spool(name):
        yield name
        return
    label = "standard input" if name == "-" else shown(name)
    with (
        _pipe_descriptor(name, label, stop) as descriptor,
        _spooled(descriptor, label, stop, whole=whole) as spooled,
    ):
        yield spooled


def _check_claim(label: str, source: AudioSource, file_size: int) -> None:
    """Refuses a header whose frame count the file cannot hold, before memory is set aside
    for the frames it claims."""
    frames, channels = source.frames, source.channels
    size = None if source.format in _COMPRESSED_CONTAINERS else sample_bytes(source.subtype)
    if size is not None:
        possible = file_size // (size * channels)
    else:
        possible = file_size * _MOST_FRAMES_PER_BYTE
    if frames > possible:
        raise AudioFileError(
            f"{label}: damaged header: it claims {counted(frames, 'frame')}, "
            f"more than a file of {file_size} bytes can hold"
        )


# A copy of an input to be read whole is checked against the memory guard this often.
_WHOLE_CHECK_BYTES = 16 << 20


def check_memory_bytes(label: str, size: int) -> None:
    """Refuses an input of ``size`` bytes to be read whole when the memory guard says its
    samples (as many bytes at least) do not fit (AudioFileError in the guard's words)."""
    try:
        guard_memory(size, f"{label}: reading it whole ({size} bytes so far)")
    except MemoryError as error:
        raise AudioFileError(str(error)) from None


def check_memory(label: str, frames: int, channels: int) -> None:
    """Refuses to read ``frames`` x ``channels`` float32 samples at once when the memory
    guard says they do not fit (AudioFileError in the guard's words)."""
    try:
        guard_memory(
            frames * channels * _FLOAT_BYTES,
            f"{label}: {frames} frames x {counted(channels, 'channel')}",
        )
    except MemoryError as error:
        raise AudioFileError(str(error)) from None


def _not_readable(label: str, error: BaseException) -> AudioFileError:
    detail = error.error_string.rstrip(".") if isinstance(error, sf.LibsndfileError) else str(error)
    return AudioFileError(f"{label}: not a readable audio file ({detail})")


def _unrecognised(error: BaseException) -> bool:
    return isinstance(error, sf.LibsndfileError) and error.code in (
        _SF_UNRECOGNISED_FORMAT,
        _SF_UNSUPPORTED_ENCODING,
    )


def _ffmpeg_reads(error: BaseException, handle: IO[bytes]) -> bool:
    """Whether a file libsndfile refused is one FFmpeg reads: a CAF whose data runs to its
    end, or an Ogg stream (FLAC in Ogg, as ffmpeg writes it, which libsndfile's FLAC
    decoder fails on). Should FFmpeg fail too, libsndfile's words are the ones shown."""
    if not isinstance(error, sf.LibsndfileError):
        return False
    if os.pread(handle.fileno(), 4, 0) == b"OggS":
        return True
    return error.code == _SF_MALFORMED_FILE and _caf_of_unstated_size(handle)


def _open_binary(name: Any, label: str) -> io.BufferedReader:
    """``name`` opened for reading bytes, or :class:`AudioFileError` saying why not."""
    try:
        return open(name, "rb")
    except FileNotFoundError:
        raise AudioFileError(f"{label}: no such file") from None
    except IsADirectoryError:
        raise AudioFileError(f"{label}: is a directory, not an audio file") from None
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror}") from None


def _sniffed(label: str, probe: Callable[[IO[bytes]], bool], handle: IO[bytes]) -> bool:
    """A look at a file's first bytes, whose read error is the file's: /proc/self/mem, a
    failing disk or a network file had ended the command in a traceback."""
    try:
        return probe(handle)
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror or error}") from None


@contextmanager
def open_input(name: str, label: str | None = None) -> Iterator[AudioSource]:
    """Opens an audio file for reading and yields it; messages name it as ``label`` (by
    default the name, odd bytes escaped). libsndfile gets the open descriptor, never the
    name, so no encoding of the name can fail; a format it does not recognise is decoded
    through PyAV (M4A/AAC, WMA, WebM, ...; see :mod:`kavri.io.decoding`). The frame count
    of the header is checked against the file's size. Raises :class:`AudioFileError` when
    the file is missing, a folder, not audio, or claims more frames than it can hold."""
    label = shown(name) if label is None else label
    if _needs_spool(name):
        # Opening a FIFO would wait for its writer, and libsndfile cannot seek a pipe.
        raise AudioFileError(
            f"{label}: cannot be read in place: it is a pipe or device "
            "that cannot seek; pass it through input_path first"
        )
    with _open_binary(name, label) as handle:
        if _sniffed(label, is_mpeg_audio, handle):
            # Straight to FFmpeg (see below): libsndfile's mpg123 prints warnings on stderr
            # as it opens some files ("Xing stream size off" for files joined after one).
            with open_decoded(handle, label, "mp3") as decoded:
                yield decoded
            return
        try:
            reader = SoundFile(handle.fileno(), closefd=False)
        except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as error:
            if not (_unrecognised(error) or _ffmpeg_reads(error, handle)):
                raise _not_readable(label, error) from None
            # PyAV fails to seek in an empty file, and prints its traceback on stderr.
            if os.fstat(handle.fileno()).st_size == 0:
                raise AudioFileError(f"{label}: not a readable audio file (it is empty)") from None
            try:
                decoded = DecodedSource(handle, label)
            except NoAudioStream:
                raise  # what FFmpeg found says more than libsndfile's "not recognised"
            except AudioFileError:
                raise _not_readable(label, error) from None
            with decoded:
                yield decoded
            return
        # libsndfile's MPEG decoder (1.2) drops audio: a VBR file with frames of a low bit
        # rate (a steady tone, say) read in blocks had 50 to 70 ms of silence where every
        # block began (from 73,728 frames on, at 48 kHz), and other samples, by up to the
        # signal's full range, after a read or a seek off its 1,152-frame grid. It reads an
        # MP3 only as far as the length it works out, an estimate without a Xing header (4 s
        # of a 20 s file were lost), and its mpg123 prints "part2_3_length ... too large" on
        # stderr, many lines a file, for rates below 32 kHz. FFmpeg decodes every MP3, with
        # FFmpeg's own samples. And libsndfile takes the float samples of an extensible W64
        # header (as ffmpeg writes it) for integers: the file read as full-scale noise. A
        # FLAC stream that states no length is counted by decoding it, as a decoded file is:
        # libsndfile's count is the largest it has. And libsndfile fails on the last pages
        # of some multichannel Opus streams as FFmpeg writes them ("malformed"), where the
        # place moves with the size of the reads: a 5.1 file lost its last 30 to 40 ms, and
        # a noise file read near its end failed. Past 64 channels, which FFmpeg's converter
        # cannot take (an Opus file Kavri wrote of 65 could not be read back), libsndfile
        # reads them; and a stream stated at another rate than 48 kHz, which FFmpeg decodes
        # at 48 kHz (a 3-channel file written at 16 kHz came back at 48 kHz, 24 frames short,
        # where two channels came back at 16 kHz).
        if (
            str(reader.format) in ("MPEG", "MP3")
            or (reader.format == "FLAC" and reader.frames >= _SF_COUNT_MAX)
            or (
                reader.format == "OGG"
                and reader.subtype == "OPUS"
                and 2 < reader.channels <= _FFMPEG_MOST_CHANNELS
                and reader.samplerate == _OPUS_DECODED_RATE
            )
            or (
                reader.format == "W64"
                and reader.subtype.startswith("PCM")
                and _sniffed(label, _w64_float, handle)
            )
        ):
            layout = reader.layout  # a FLAC's own, in a comment FFmpeg's decoding drops
            known = "mp3" if str(reader.format) in ("MPEG", "MP3") else None
            reader.close()
            with open_decoded(handle, label, known) as decoded:
                decoded.layout = layout
                yield decoded
            return
        with reader:
            _check_claim(label, reader, os.fstat(handle.fileno()).st_size)
            yield reader


class DecodedReads:
    """A file FFmpeg decodes (see :class:`DecodedSource`) read from any frame, as
    :class:`FileReads` reads a sound file. A compressed format has no exact place to seek
    to, so a seek back goes to the start and a seek on decodes up to the frame; the length
    is counted by decoding the file once (its container states an estimate, at best)."""

    def __init__(
        self, source: DecodedSource, frames: int | None = None, stop: StopRequest | None = None
    ) -> None:
        self.handle = source
        self.samplerate = int(source.samplerate)
        self.channels = int(source.channels)
        self._stop = stop  # looked at between blocks: an hour of a file takes seconds
        self._at = 0
        if frames is None:
            frames = self._skip(-1)
            self.seek(0)
        self.frames = frames
        self.counted = True

    def _skip(self, count: int) -> int:
        """Decodes up to ``count`` frames (all that are left for -1) and leaves them out;
        returns how many there were."""
        block = min(_DECODE_BLOCK, BLOCK_BYTES_LIMIT // (self.channels * _FLOAT_BYTES))
        block = block if count < 0 else min(block, count)
        scratch = np.empty((block, self.channels), np.float32)
        skipped = 0
        while count < 0 or skipped < count:
            _stop_requested(self._stop, self.handle.label)
            want = scratch.shape[0] if count < 0 else min(scratch.shape[0], count - skipped)
            got = self.handle.buffer_read_into(scratch[:want], dtype="float32")
            if not got:
                break
            skipped += got
        self._at += skipped
        return skipped

    def tell(self) -> int:
        return self._at

    def seek(self, frame: int) -> None:
        if frame < self._at:
            self.handle.seek(0)
            self._at = 0
        self._skip(frame - self._at)

    def read(self, count: int) -> npt.NDArray[np.float32]:
        """The next ``count`` frames (fewer at the end of the file)."""
        out = np.empty((count, self.channels), np.float32)
        got = self.handle.buffer_read_into(out, dtype="float32")
        self._at += got
        return out if got == count else out[:got].copy()

    def close(self) -> None:
        self.handle.close()


# How far short of the truth a decoded file's stated duration may be: an MP3 without a Xing
# header is estimated from its first frame's bit rate, which a file may pass eight times.
_ESTIMATE_MARGIN = 8


def count_if_large(
    source: AudioSource,
    output_bytes: Callable[[int], int | None],
    stop: StopRequest | None = None,
) -> None:
    """Counts the frames of a file FFmpeg decodes by decoding it once, when its estimated
    length could make an output of ``output_bytes(frames)`` bytes (None: no limit to meet)
    pass the 4 GiB a WAV or AIFF header counts; the count is then its stated length. Without
    it, an hour-long WAV from an M4A was refused when its size passed the limit, the work
    till then lost, where a stated length makes it RF64 from the start. ``stop`` ends the
    count between blocks."""
    if not isinstance(source, DecodedSource) or (source.states_length and source.length_plausible):
        return
    estimate = int(source.frames)
    size = output_bytes(estimate * _ESTIMATE_MARGIN)
    if size is None or (estimate and size < SIZE_FIELD_LIMIT):
        return  # no 32-bit size to meet, or far below it (no duration stated: counted)
    source.frames = DecodedReads(source, None, stop).frames
    source.states_length = source.length_plausible = True


@contextmanager
def open_seekable(
    name: str, label: str, counted_frames: int | None = None, stop: StopRequest | None = None
) -> Iterator[FileReads | DecodedReads]:
    """An audio file opened as :func:`open_input` opens it, to be read from any frame:
    a sound file through :class:`FileReads`, a file FFmpeg decodes through
    :class:`DecodedReads`. A decoded file states no exact length (a container's duration,
    an MP3's estimate: a VBR file without a Xing header was said to be 4.5 times as long
    as it is), so its frames are counted by decoding it once, unless ``counted_frames``
    gives the count of an earlier opening; ``counted`` on what is yielded says whether the
    length was counted. ``stop`` ends the counting between blocks."""
    with open_input(name, label) as source:
        reads: FileReads | DecodedReads
        if isinstance(source, sf.SoundFile):
            reads = FileReads(source, label)
        else:
            assert isinstance(source, DecodedSource)
            reads = DecodedReads(source, counted_frames, stop)
        try:
            yield reads
        finally:
            reads.close()


def _cut_frame(label: str, source: AudioSource) -> str | None:
    """A one-line message when raw samples end with part of a frame (left out), else None."""
    partial = getattr(source, "partial_bytes", 0)
    if not partial:
        return None
    plural = "s" if partial != 1 else ""
    return f"{label}: ends with {partial} byte{plural} short of a whole frame, left out"


class BlockReader:
    """Reads an open input from its start in blocks of at most ``frames`` frames, into one
    buffer used again for every block; modelled on ``soundfile.SoundFile.blocks``.

    The buffer holds no more frames than the header claims (a claim :func:`open_input`
    has checked against the file's size), so a short file with many channels and an
    absurd sample rate costs what it holds, not "a second" of its rate; nor does it pass
    ``BLOCK_BYTES_LIMIT``. ``buffer_bytes``
    is the buffer's size, known before it is allocated, for a memory guard.

    ``source`` is an input just opened (see :func:`open_input`). Each pass
    (``for block in reader``) starts at the first frame; the blocks are views of
    the buffer, valid until the next one. After a pass, ``frames_read`` is what the file
    gave and ``frames_claimed`` what its header said: ``ended_early`` is true when the file
    gave fewer (a damaged or cut MP3, for one: MP3 headers estimate their length, and
    libsndfile counts what is really there for the other formats Kavri writes), and
    ``shortfall()`` words it for a warning. Read failures raise :class:`AudioFileError`
    naming ``label``.
    """

    def __init__(self, source: AudioSource, frames: int, label: str) -> None:
        self.source = source
        self.label = label
        self.channels = int(source.channels)
        self.frames_claimed = max(int(source.frames), 0)
        self.frames_stated = stated_frames(source)
        # A stream or a decoded file states no exact length: its claim (0, or an estimate)
        # neither bounds the buffer nor makes it end early.
        self.length_known = exact_length(source)
        # A decoded MP3 whose Xing header states its length: the frames it is due to hold,
        # for the output's plans and for saying that it ended early.
        self.length_stated = self.length_known or bool(getattr(source, "states_length", False))
        # ... and whether an output may be planned for it (see DecodedSource.length_plausible).
        self.length_planned = self.length_stated and bool(getattr(source, "length_plausible", True))
        # A decoded file's container duration: an estimate, told of only when far out.
        self._estimated = (
            isinstance(source, DecodedSource) and source.states_duration and not self.length_stated
        )
        most = BLOCK_BYTES_LIMIT // (self.channels * _FLOAT_BYTES)
        claim = self.frames_claimed if self.length_known else int(frames)
        self.block_frames = max(1, min(int(frames), claim, most))
        # The block asked for within the byte limit, whatever the file holds: what a tail of
        # silence after a short file is fed in.
        self.chunk_frames = max(1, min(int(frames), most))
        self.buffer_bytes = self.block_frames * self.channels * _FLOAT_BYTES
        self.frames_read = 0
        self.complete = False
        self._buffer: npt.NDArray[np.float32] | None = None
        # The source is taken as just opened, at its first frame: the first pass does not
        # seek, which a damaged file may refuse.
        self._passes = 0

    @property
    def ended_early(self) -> bool:
        """True after a whole pass that gave fewer frames than the header claimed (or, for
        a decoded MP3, than its Xing header states), or, for a file whose container states
        only a duration, less than half of it and more than a second short: a download cut
        part way, where an encoder's padding or a rounded duration is never that far out."""
        if not self.complete:
            return False
        if self.length_stated:
            return self.frames_read < self.frames_stated
        missing = self.frames_claimed - self.frames_read
        rate = int(getattr(self.source, "samplerate", 0) or 0)
        return self._estimated and 2 * self.frames_read < self.frames_claimed and missing > rate

    def _salvageable(self, source: AudioSource) -> bool:
        """Whether a read that failed short of the stated length ends the file there (the
        frames before the damage are read, and the pass ends early) rather than the pass."""
        return self.length_known and self.frames_read < self.frames_claimed

    def shortfall(self) -> str | None:
        """A one-line message when the file ended early (or raw samples with part of a frame
        at the end), else None."""
        cut = _cut_frame(self.label, self.source) if self.complete else None
        if cut is not None:
            return cut
        if not self.ended_early:
            return None
        if not self.length_stated:
            return (
                f"{self.label}: the file ends early: it holds "
                f"{counted(self.frames_read, 'frame')}, its container states about "
                f"{self.frames_claimed}"
            )
        return (
            f"{self.label}: the file ends early: it holds {counted(self.frames_read, 'frame')}, "
            f"its header claims {self.frames_stated}"
        )

    def __iter__(self) -> Iterator[npt.NDArray[np.float32]]:
        if self._buffer is None:
            self._buffer = np.empty((self.block_frames, self.channels), np.float32)
        buffer = self._buffer
        self.frames_read, self.complete = 0, False
        source = self.source
        try:
            if self._passes:
                source.seek(0)
            self._passes += 1
            while True:
                try:
                    got = source.buffer_read_into(buffer, dtype="float32")
                except (sf.LibsndfileError, RuntimeError):
                    if not (isinstance(source, sf.SoundFile) and self._salvageable(source)):
                        raise
                    for block in _salvaged(source, self.frames_read, buffer):
                        self.frames_read += block.shape[0]
                        yield block
                    break
                if got == 0:
                    break
                self.frames_read += got
                yield buffer[:got]
        except (RuntimeError, ValueError) as error:
            detail = error.error_string if isinstance(error, sf.LibsndfileError) else str(error)
            raise AudioFileError(f"{self.label}: cannot read: {detail}") from None
        self.complete = True


def _in_blocks(label: str, source: AudioSource) -> npt.NDArray[np.float32]:
    """Every frame of an open source, read in blocks, each shown to the memory guard
    before the whole is joined (for :func:`read_source`, whose caller a short file's
    warning names)."""
    pieces: list[npt.NDArray[np.float32]] = []
    total = 0
    reader = BlockReader(source, 1 << 16, label)
    check_memory(label, reader.block_frames, reader.channels)
    for block in reader:
        total += block.shape[0]
        # The pieces so far and the array they are joined into.
        check_memory(label, 2 * total, reader.channels)
        pieces.append(block.copy())
    if reader.ended_early:
        warnings.warn(str(reader.shortfall()), ShortFileWarning, stacklevel=4)
    if not pieces:
        return np.empty((0, reader.channels), np.float32)
    return np.concatenate(pieces)


def read_source(label: str, source: AudioSource) -> npt.NDArray[np.float32]:
    """Every frame of an open source, in one array: the claimed frames at once, then, for
    a source whose length is not exact, the rest in blocks, each shown to the memory
    guard before the whole is joined."""
    claimed, channels = max(int(source.frames), 0), int(source.channels)
    exact = exact_length(source)
    first = claimed if exact else 0
    check_memory(label, first, channels)
    try:
        audio = np.empty((first, channels), np.float32)
        try:
            got = source.buffer_read_into(audio, dtype="float32") if first else 0
        except (sf.LibsndfileError, RuntimeError):
            if not (exact and isinstance(source, sf.SoundFile)):
                raise
            # Damaged part way (a FLAC cut short): read as a stream is, up to the damage.
            del audio
            with _opened_again(source) as fresh:
                return _in_blocks(label, fresh)
        if exact:
            cut = _cut_frame(label, source)
            if cut is not None:
                warnings.warn(cut, ShortFileWarning, stacklevel=3)
            stated = stated_frames(source)
            if got < stated:
                warnings.warn(
                    f"{label}: the file ends early: it holds {counted(got, 'frame')}, "
                    f"its header claims {stated}",
                    ShortFileWarning,
                    stacklevel=3,
                )
                if got < claimed:
                    audio = audio[:got].copy()  # the claimed rows are not kept
            return audio
        return _in_blocks(label, source)
    except MemoryError:
        raise AudioFileError(f"{label}: not enough memory to read it") from None
    except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as error:
        raise _not_readable(label, error) from None


def read(
    path: AnyPath, *, stop: StopRequest | None = None, raw: RawFormat | None = None
) -> AudioData:
    """Reads an audio file as a (frames, channels) float32 array and its sample rate.

    Any format libsndfile reads (WAV, FLAC, OGG, MP3, AIFF, ...) is accepted, and the
    compressed formats PyAV decodes (M4A/AAC, WMA, WebM, ...); integer samples are scaled
    to [-1, 1). "-" reads standard input: a WAV stream as it arrives, anything else copied
    to a temporary file first (see :func:`input_path`, which ``stop`` interrupts), as is
    any other input that cannot seek. ``raw`` (a :class:`kavri.io.RawFormat`) reads
    headerless PCM. The path may be ``str``, ``bytes`` or path-like, and need not be UTF-8.
    A file that ends before the frames its header claims is read as far as it goes, with
    a :class:`ShortFileWarning`. Raises :class:`AudioFileError` naming the file when it is
    missing, unreadable, not audio, or has a header that claims more frames than the file
    or memory can hold.
    """
    with open_source(path, stop=stop, raw=raw) as opened:
        audio = read_source(opened.label, opened.reader)
        sample_rate = opened.reader.samplerate
    return AudioData(audio, int(sample_rate))


@dataclass
class OpenedInput:
    """An input opened by :func:`open_source`: ``reader`` for its samples, ``label`` for
    messages, and ``spooled`` when it was copied to a temporary file first."""

    reader: AudioSource
    label: str
    path: str | None = None
    spooled: bool = False
    _tags: dict[str, str] | None = field(default=None, repr=False)

    def tags(self) -> dict[str, str]:
        """The input's tags under common names (see :mod:`kavri.io.tags`); {} for raw
        PCM, and read only when asked for."""
        if self._tags is None:
            self._tags = read_tags(self.path, self.reader) if self.path is not None else {}
        return self._tags


@contextmanager
def _raw_source(
    name: str, label: str, raw: RawFormat, stop: StopRequest | None, passes: int
) -> Iterator[OpenedInput]:
    pipe = name == "-" or _needs_spool(name)
    if pipe and passes == 1:
        with _pipe_descriptor(name, label, stop) as descriptor:
            source = ByteSource(label, descriptor=descriptor, stop=stop)
            yield OpenedInput(
                StreamSource(source, raw.sample_rate, raw.channels, raw.subtype, None, "RAW"),
                label,
                _tags={},
            )
        return
    with input_path(name, stop) as readable:
        with _open_binary(readable, label) as handle:
            size = os.fstat(handle.fileno()).st_size
            yield OpenedInput(
                StreamSource(
                    ByteSource(label, file=handle, stop=stop),
                    raw.sample_rate,
                    raw.channels,
                    raw.subtype,
                    size,
                    "RAW",
                ),
                label,
                spooled=pipe,
                _tags={},
            )


@contextmanager
def _unsized_wav(
    name: str, label: str, stop: StopRequest | None
) -> Iterator[tuple[ByteSource, WavHeader] | None]:
    """For a WAV or RF64 file whose header states a data size of 0 with samples after it
    (a stream saved as it came), the file opened as a stream read to its end, at its
    samples, with its header; else None."""
    try:
        with open(name, "rb") as probe:
            head = probe.read(12)
    except OSError:
        head = b""  # open_input says why
    if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
        yield None
        return
    with _open_binary(name, label) as handle:
        source = ByteSource(label, file=handle, stop=stop)
        try:
            stated = parse_wav_header(source, pipe=False)
        except AudioFileError:
            stated = None
        if stated is None or stated.data_bytes != 0:
            yield None
            return
        if handle.tell() >= os.fstat(handle.fileno()).st_size:
            yield None  # truly empty
            return
        yield source, stated


@contextmanager
def open_source(
    path: AnyPath,
    *,
    stop: StopRequest | None = None,
    raw: RawFormat | None = None,
    passes: int = 1,
    label: str | None = None,
) -> Iterator[OpenedInput]:
    """Opens an input for ``passes`` passes and yields an :class:`OpenedInput`.

    A file is opened where it is (:func:`open_input`). Standard input ("-") and other
    inputs that cannot seek are read as they arrive when one pass is enough and they can
    be read in order: a WAV stream (its header parsed, then its samples block by block)
    or raw PCM (``raw``). Anything else, or a second pass, copies them to a temporary
    file first (see :func:`input_path`). ``stop`` interrupts the waits and the copy."""
    name = fs_name(path)
    if label is None:
        label = "standard input" if name == "-" else shown(name)
    if raw is not None and not isinstance(raw, RawFormat):
        # (A tuple had failed deep inside: "'tuple' object has no attribute 'sample_rate'".)
        raise TypeError(f"raw must be a kavri.io.RawFormat, got {type(raw).__name__}")
    if raw is not None:
        with _raw_source(name, label, raw, stop, passes) as opened:
            yield opened
        return
    if name != "-" and not _needs_spool(name):
        with _unsized_wav(name, label, stop) as unsized:
            if unsized is not None:
                # A WAV stream saved to a file as it came (ffmpeg's RF64 to a pipe states
                # sizes of 0): libsndfile counted no frames, and the output was empty.
                source, parsed = unsized
                yield OpenedInput(
                    StreamSource(
                        source,
                        parsed.sample_rate,
                        parsed.channels,
                        parsed.subtype,
                        None,
                        "WAV",
                        parsed.layout,
                    ),
                    label,
                    _tags=parsed.tags,
                )
                return
        with open_input(name, label) as reader:
            yield OpenedInput(reader, label, name)
        return
    with _pipe_descriptor(name, label, stop) as descriptor:
        source = ByteSource(label, descriptor=descriptor, stop=stop)
        header = parse_wav_header(source, pipe=True) if passes == 1 else None
        if header is not None:
            yield OpenedInput(
                StreamSource(
                    source,
                    header.sample_rate,
                    header.channels,
                    header.subtype,
                    header.data_bytes,
                    "WAV",
                    header.layout,
                ),
                label,
                _tags=header.tags,
            )
            return
        with (
            _spooled(descriptor, label, stop, bytes(source.kept)) as spooled,
            open_input(spooled, label) as reader,
        ):
            yield OpenedInput(reader, label, spooled, spooled=True)


def is_complete_audio_file(path: AnyPath) -> bool:
    """True if the path holds an audio file that libsndfile can open and that has frames
    or a valid empty header. Files are written atomically, so an existing readable file
    is a finished one. A pipe or device is not, and is not opened."""
    if _needs_spool(fs_name(path)):
        return False
    try:
        with open(fs_name(path), "rb") as handle, sf.SoundFile(handle.fileno(), closefd=False):
            pass
    except (sf.LibsndfileError, RuntimeError, OSError):
        return False
    return True
