"""Opening and reading audio files.

Audio formats need to seek, so an input that cannot (standard input "-", a pipe such as
``<(cat x.wav)``, a FIFO, a character device) is first copied ("spooled") to a temporary
file without a name, in pieces, never held in memory. A spool stops short of filling its
disk, goes away with the process however it ends, and both the copy and the wait for a
FIFO's writer end promptly when a stop is requested.

Long files are read in blocks by :class:`BlockReader`, whose one buffer is never larger
than the file's own frames, and which tells a file that ends before its header said.
"""

from __future__ import annotations

import os
import select
import stat
import tempfile
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, NamedTuple

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .._engine import check_memory as guard_memory
from .._paths import AnyPath, fs_name, shown
from .._stop import StopRequest
from ..errors import AudioFileError, Interrupted, KavriWarning
from .formats import sample_bytes
from .streams import standard_input

__all__ = [
    "AudioData",
    "BlockReader",
    "ShortFileWarning",
    "StopRequest",
    "SPOOL_DISK_MARGIN",
    "BLOCK_BYTES_LIMIT",
    "input_path",
    "open_input",
    "read",
    "is_complete_audio_file",
    "check_memory",
]


class AudioData(NamedTuple):
    """What :func:`read` returns: the samples and the sample rate in hertz."""

    audio: npt.NDArray[np.float32]
    sample_rate: int


class ShortFileWarning(KavriWarning):
    """A file that held fewer frames than its header claimed (damaged or cut short)."""


# Pieces in which an unseekable input is copied to its spool.
SPOOL_PIECE = 1 << 20
# Free space a spool leaves on its disk: the copy is refused before the disk gets fuller.
SPOOL_DISK_MARGIN = 256 << 20
# The most a block reader's buffer takes, whatever block the caller asks for: a header
# that compresses well may claim many frames, and a file may have 1,024 channels.
BLOCK_BYTES_LIMIT = 64 << 20
# How often a wait for input looks at the stop request.
POLL_SECONDS = 0.1

# Containers that compress whatever their subtype says (a FLAC file reports "PCM_24").
_COMPRESSED_CONTAINERS = {"FLAC", "OGG", "MPEG", "MP3"}
# For compressed formats, a bound no real file reaches: FLAC stores a block of 65,535
# silent frames in about 25 bytes, Opus and Vorbis need a byte or more per packet.
_MOST_FRAMES_PER_BYTE = 16_384
_FLOAT_BYTES = np.dtype(np.float32).itemsize


def _stop_requested(stop: StopRequest | None, label: str) -> None:
    if stop is not None and stop.is_set():
        raise Interrupted(f"{label}: interrupted while reading")


def _needs_spool(name: str) -> bool:
    """True for an existing input that cannot seek: a pipe, FIFO, socket or character
    device. Missing files, folders and regular files are left to :func:`open_input`."""
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
    disk = os.fstatvfs(spool.fileno())
    free = disk.f_bavail * disk.f_frsize
    if free - size < SPOOL_DISK_MARGIN:
        folder = tempfile.gettempdir()
        raise AudioFileError(
            f"{label}: not read: copying it to {shown(folder)} (it cannot seek) would leave "
            f"less than {SPOOL_DISK_MARGIN >> 20} MiB free there; point TMPDIR at a "
            "folder with more room, or give a file"
        )


@contextmanager
def _spooled(descriptor: int, label: str, stop: StopRequest | None) -> Iterator[str]:
    """Copies everything the descriptor gives to a temporary file without a name and
    yields a path that opens it."""
    try:
        spool = tempfile.TemporaryFile(dir=tempfile.gettempdir())
    except OSError as error:
        raise AudioFileError(
            f"{label}: cannot copy it to the temporary folder: {error.strerror}"
        ) from None
    with spool:
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
        return standard_input().fileno()
    except (AttributeError, ValueError, OSError) as error:
        raise AudioFileError(f"standard input cannot be read ({error})") from None


@contextmanager
def input_path(path: AnyPath, stop: StopRequest | None = None) -> Iterator[str]:
    """Yields a path that libsndfile can read and seek for an input: the path itself, or
    for "-" and for any input that cannot seek (a pipe such as ``<(cat x.wav)``, a FIFO, a
    ``/dev/fd`` path), a temporary copy without a name.

    The copy is made in pieces and refused with :class:`AudioFileError` before it would
    leave less than ``SPOOL_DISK_MARGIN`` bytes free on the temporary folder's disk (set
    by ``TMPDIR``). ``stop`` (anything with ``is_set()``) is looked at between pieces and
    every ``POLL_SECONDS`` while waiting for input, a FIFO's writer included; once it is
    set, :class:`kavri.Interrupted` is raised. The copy disappears with the block, or with
    the process however it ends. Raises :class:`AudioFileError` when standard input is
    closed or the input cannot be read."""
    name = fs_name(path)
    if name == "-":
        label = "standard input"
        with _spooled(_standard_input_descriptor(), label, stop) as spooled:
            yield spooled
        return
    if not _needs_spool(name):
        yield name
        return
    label = shown(name)
    _stop_requested(stop, label)
    try:
        # A FIFO opened without O_NONBLOCK would wait for its writer past any stop.
        descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror}") from None
    try:
        with _spooled(descriptor, label, stop) as spooled:
            yield spooled
    finally:
        os.close(descriptor)


def _check_claim(label: str, source: sf.SoundFile, file_size: int) -> None:
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
            f"{label}: damaged header: it claims {frames} frames, "
            f"more than a file of {file_size} bytes can hold"
        )


def check_memory(label: str, frames: int, channels: int) -> None:
    """Refuses to read ``frames`` x ``channels`` float32 samples at once when the memory
    guard says they do not fit (AudioFileError in the guard's words)."""
    try:
        guard_memory(
            frames * channels * _FLOAT_BYTES, f"{label}: {frames} frames x {channels} channels"
        )
    except MemoryError as error:
        raise AudioFileError(str(error)) from None


def _not_readable(label: str, error: BaseException) -> AudioFileError:
    detail = error.error_string.rstrip(".") if isinstance(error, sf.LibsndfileError) else str(error)
    return AudioFileError(f"{label}: not a readable audio file ({detail})")


@contextmanager
def open_input(name: str, label: str | None = None) -> Iterator[sf.SoundFile]:
    """Opens an audio file for reading and yields it; messages name it as ``label`` (by
    default the name, odd bytes escaped). libsndfile gets the open descriptor, never the
    name, so no encoding of the name can fail. The frame count of the header is checked
    against the file's size. Raises :class:`AudioFileError` when the file is missing, a
    folder, not audio, or claims more frames than it can hold."""
    label = shown(name) if label is None else label
    if _needs_spool(name):
        # Opening a FIFO would wait for its writer, and libsndfile cannot seek a pipe.
        raise AudioFileError(
            f"{label}: cannot be read in place: it is a pipe or device "
            "that cannot seek; pass it through input_path first"
        )
    try:
        handle = open(name, "rb")
    except FileNotFoundError:
        raise AudioFileError(f"{label}: no such file") from None
    except IsADirectoryError:
        raise AudioFileError(f"{label}: is a directory, not an audio file") from None
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror}") from None
    with handle:
        try:
            reader = sf.SoundFile(handle.fileno(), closefd=False)
        except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as error:
            raise _not_readable(label, error) from None
        with reader:
            _check_claim(label, reader, os.fstat(handle.fileno()).st_size)
            yield reader


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

    def __init__(self, source: sf.SoundFile, frames: int, label: str) -> None:
        self.source = source
        self.label = label
        self.channels = int(source.channels)
        self.frames_claimed = max(int(source.frames), 0)
        most = BLOCK_BYTES_LIMIT // (self.channels * _FLOAT_BYTES)
        self.block_frames = max(1, min(int(frames), self.frames_claimed, most))
        self.buffer_bytes = self.block_frames * self.channels * _FLOAT_BYTES
        self.frames_read = 0
        self.complete = False
        self._buffer: npt.NDArray[np.float32] | None = None
        # The source is taken as just opened, at its first frame: the first pass does not
        # seek, which a damaged file may refuse.
        self._passes = 0

    @property
    def ended_early(self) -> bool:
        """True after a whole pass that gave fewer frames than the header claimed."""
        return self.complete and self.frames_read < self.frames_claimed

    def shortfall(self) -> str | None:
        """A one-line message when the file ended early, else None."""
        if not self.ended_early:
            return None
        return (
            f"{self.label}: the file ends early: it holds {self.frames_read} frames, "
            f"its header claims {self.frames_claimed}"
        )

    def __iter__(self) -> Iterator[npt.NDArray[np.float32]]:
        if self._buffer is None:
            self._buffer = np.empty((self.block_frames, self.channels), np.float32)
        buffer = self._buffer
        self.frames_read, self.complete = 0, False
        try:
            if self._passes:
                self.source.seek(0)
            self._passes += 1
            while True:
                got = self.source.buffer_read_into(buffer, dtype="float32")
                if got == 0:
                    break
                self.frames_read += got
                yield buffer[:got]
        except (RuntimeError, ValueError) as error:
            detail = error.error_string if isinstance(error, sf.LibsndfileError) else str(error)
            raise AudioFileError(f"{self.label}: cannot read: {detail}") from None
        self.complete = True


def read(path: AnyPath, *, stop: StopRequest | None = None) -> AudioData:
    """Reads an audio file as a (frames, channels) float32 array and its sample rate.

    Any format libsndfile reads (WAV, FLAC, OGG, MP3, AIFF, ...) is accepted; integer
    samples are scaled to [-1, 1). "-" reads standard input, and any input that cannot
    seek is copied to a temporary file first (see :func:`input_path`, which ``stop``
    interrupts). The path may be ``str``, ``bytes`` or path-like, and need not be UTF-8.
    A file that ends before the frames its header claims is read as far as it goes, with
    a :class:`ShortFileWarning`. Raises :class:`AudioFileError` naming the file when it is
    missing, unreadable, not audio, or has a header that claims more frames than the file
    or memory can hold.
    """
    given = fs_name(path)
    label = "standard input" if given == "-" else shown(given)
    with input_path(given, stop) as name, open_input(name, label) as source:
        claimed, channels = max(int(source.frames), 0), int(source.channels)
        check_memory(label, claimed, channels)
        try:
            audio = np.empty((claimed, channels), np.float32)
            got = source.buffer_read_into(audio, dtype="float32") if claimed else 0
        except MemoryError:
            raise AudioFileError(f"{label}: not enough memory to read it") from None
        except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as error:
            raise _not_readable(label, error) from None
        if got < claimed:
            warnings.warn(
                f"{label}: the file ends early: it holds {got} frames, its header claims {claimed}",
                ShortFileWarning,
                stacklevel=2,
            )
            audio = audio[:got].copy()  # the claimed rows are not kept
        sample_rate = source.samplerate
    return AudioData(audio, int(sample_rate))


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
