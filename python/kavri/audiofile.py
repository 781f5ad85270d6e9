"""Reading and writing audio files through soundfile (libsndfile).

In memory, audio is a (frames, channels) float32 array. Files are written atomically: the
data goes to a hidden temporary file beside the target, which is renamed into place only
when it is complete, so an interrupted or failed write never leaves a half-written file and
never damages a file that was there before.

Written files are reproducible: the same audio gives the same bytes on every run. Float WAV
and AIFF files carry no PEAK chunk (libsndfile stamps it with the time of writing), Ogg
streams get a fixed serial number instead of a random one, and the dither of integer output
comes from a fixed seed. Float WAV files get a complete format chunk (with its extension
size), which every tool reads without complaint. Integer samples are quantised here rather
than by libsndfile, with the same full scale that reading uses (2**(bits-1)), so that a
sample on the grid survives a round trip exactly and clipping can be counted.

The path "-" stands for standard input or standard output. Both are buffered through a
temporary file, so that any format can be read from a pipe and written to one.
"""

from __future__ import annotations

import os
import shutil
import struct
import sys
import tempfile
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, NamedTuple

import numpy as np
import numpy.typing as npt
import soundfile as sf

from ._atomic import atomic_output
from ._paths import AnyPath, fs_name, shown
from .errors import AudioFileError, KavriError

__all__ = [
    "AudioData",
    "AudioWriter",
    "WriteStats",
    "read",
    "write",
    "open_output",
    "input_path",
    "open_input",
    "output_format",
    "check_subtype_name",
    "check_format_name",
    "check_output",
    "pcm_to_float",
    "SUBTYPES",
    "FORMATS",
    "STREAM_FORMATS",
    "DITHER_MODES",
    "MP3_BITRATES",
    "is_complete_audio_file",
    "max_channels",
    "check_channels",
]

# Container chosen by file suffix, with the subtype written when none is asked for. Float
# where the container holds it, so that the engine's bits reach the file unchanged.
FORMATS: dict[str, tuple[str, str]] = {
    ".wav": ("WAV", "FLOAT"),
    ".flac": ("FLAC", "PCM_24"),
    ".ogg": ("OGG", "VORBIS"),
    ".oga": ("OGG", "VORBIS"),
    ".opus": ("OGG", "OPUS"),
    ".mp3": ("MP3", "MPEG_LAYER_III"),
    ".aiff": ("AIFF", "FLOAT"),
    ".aif": ("AIFF", "FLOAT"),
    ".caf": ("CAF", "FLOAT"),
    ".w64": ("W64", "FLOAT"),
}

# Formats by name, for output without a suffix (standard output): the suffix they stand for.
STREAM_FORMATS: dict[str, str] = {
    "wav": ".wav", "flac": ".flac", "ogg": ".ogg", "opus": ".opus", "mp3": ".mp3",
    "aiff": ".aiff", "caf": ".caf", "w64": ".w64",
}

# Short names for the sample formats; libsndfile's own names are accepted as well.
SUBTYPES: dict[str, str] = {
    "float": "FLOAT",
    "double": "DOUBLE",
    "pcm16": "PCM_16",
    "pcm24": "PCM_24",
    "pcm32": "PCM_32",
    "vorbis": "VORBIS",
    "opus": "OPUS",
    "mp3": "MPEG_LAYER_III",
}

_FLOAT_SUBTYPES = {"FLOAT", "DOUBLE"}
# Integer subtypes by their bits; 8-bit files are fed as 16-bit words whose low byte is 0.
_PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}

DITHER_MODES = ("tpdf", "none")
# Dither is applied to integer output of this many bits or fewer.
DITHER_MAX_BITS = 16
DITHER_SEED = 0x4B415652

# Constant MP3 bit rates (kbit/s) at sample rates of 32 kHz and above. libsndfile maps a
# compression level c to 320 - 288 c kbit/s in constant mode; the level for an exact rate
# is therefore (320 - rate) / 288.
MP3_BITRATES = (40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
_MP3_LOWEST_RATE = 32_000

# libsndfile command that turns the PEAK chunk of float WAV and AIFF files on or off.
_SFC_SET_ADD_PEAK_CHUNK = 0x1050
_OGG_SERIAL = 0x4B415652


# The most channels libsndfile writes into each container. Beyond 1,024 it refuses to open
# any file ("Format not recognised"); FLAC stops at 8, MP3 at 2; Ogg (Vorbis and Opus) at 255, and
# from 256 channels on its Vorbis encoder crashes the whole process, so the count is
# checked before libsndfile is called.
DEFAULT_CHANNEL_LIMIT = 1024
CHANNEL_LIMITS: dict[str, int] = {"FLAC": 8, "OGG": 255, "MP3": 2}

# Bits per sample of the sample formats whose size is fixed. A header that claims more
# frames than the file can hold is refused before memory is set aside for them.
_BITS_PER_SAMPLE: dict[str, int] = {
    "PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32,
    "FLOAT": 32, "DOUBLE": 64, "ULAW": 8, "ALAW": 8,
}
# Containers that compress whatever their subtype says (a FLAC file reports "PCM_24").
_COMPRESSED_CONTAINERS = {"FLAC", "OGG", "MPEG"}
# For compressed formats, a bound no real file reaches: FLAC stores a block of 65,535
# silent frames in about 25 bytes, Opus and Vorbis need a byte or more per packet.
_MOST_FRAMES_PER_BYTE = 16_384


class AudioData(NamedTuple):
    """What :func:`read` returns: the samples and the sample rate in hertz."""

    audio: npt.NDArray[np.float32]
    sample_rate: int


def pcm_to_float(audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """Audio as float32, integer PCM scaled by its full scale into [-1, 1).

    int8, int16 and int32 samples are divided by 2**7, 2**15 and 2**31; uint8 samples are
    centred on 128 and divided by 128. Float input is converted to float32 unchanged in
    value. Other integer types (int64, uint16, ...) have no agreed full scale and are
    refused with ``TypeError``. Anything that is not a NumPy array (a list of numbers, say)
    holds sample values as written, in float32.
    """
    if not isinstance(audio, np.ndarray):
        return np.asarray(audio, dtype=np.float32)
    data = audio
    kind = data.dtype
    if kind == np.uint8:
        return ((data.astype(np.float32) - np.float32(128.0)) / np.float32(128.0))
    if kind in (np.int8, np.int16, np.int32):
        scale = np.float32(2.0 ** (8 * kind.itemsize - 1))
        # int32 does not fit a float32 mantissa: scale in float64, then round once.
        work = np.float64 if kind == np.int32 else np.float32
        scaled: npt.NDArray[np.floating[Any]] = np.divide(data.astype(work), scale, dtype=work)
        return scaled.astype(np.float32)
    if kind.kind in "iu":
        raise TypeError(f"integer audio of type {kind} has no known full scale; "
                        "use int8, int16, int32 or uint8 PCM, or float samples")
    if kind.kind in "bO":
        raise TypeError(f"audio must be numbers, got an array of {kind}")
    return np.asarray(data, dtype=np.float32)


def check_subtype_name(subtype: str) -> str:
    """The libsndfile name of a subtype given by its short or full name; AudioFileError if
    it names none."""
    chosen = SUBTYPES.get(subtype.lower(), subtype.upper())
    if chosen not in sf.available_subtypes():
        raise AudioFileError(f"unknown subtype '{subtype}'; use one of {', '.join(SUBTYPES)}")
    return chosen


def check_format_name(file_format: str) -> str:
    """The suffix that a format name (wav, flac, mp3, ...) stands for."""
    suffix = STREAM_FORMATS.get(file_format.lower().lstrip("."))
    if suffix is None:
        raise AudioFileError(f"unknown format '{file_format}'; use one of "
                             f"{', '.join(STREAM_FORMATS)}")
    return suffix


def _suffix(name: str, file_format: str | None) -> str:
    if file_format is not None:
        return check_format_name(file_format)
    if name == "-":
        return ".wav"
    return Path(name).suffix.lower()


def output_format(path: AnyPath, subtype: str | None = None,
                  file_format: str | None = None) -> tuple[str, str]:
    """The (container, subtype) that :func:`write` uses for a path, checked up front.

    The container follows ``file_format`` (a name from ``STREAM_FORMATS``) if given, else
    the path's suffix; "-" (standard output) is WAV unless ``file_format`` says otherwise.
    Raises :class:`AudioFileError` for an unknown suffix or a subtype the container cannot
    hold (for example float samples in FLAC).
    """
    name = fs_name(path)
    suffix = _suffix(name, file_format)
    if suffix not in FORMATS:
        known = ", ".join(sorted(FORMATS))
        raise AudioFileError(f"{shown(name)}: unknown output format "
                             f"'{shown(suffix) or '(no suffix)'}'; use one of {known}")
    container, default_subtype = FORMATS[suffix]
    if subtype is None:
        return container, default_subtype
    chosen = check_subtype_name(subtype)
    if chosen not in sf.available_subtypes(container) or not sf.check_format(container, chosen):
        allowed = [short for short, full in SUBTYPES.items() if sf.check_format(container, full)]
        raise AudioFileError(f"{shown(name)}: {container} files cannot hold subtype "
                             f"'{subtype}'; use one of {', '.join(allowed)}")
    return container, chosen


def max_channels(container: str) -> int:
    """The most channels libsndfile writes into a container ("WAV", "FLAC", "OGG", ...)."""
    return CHANNEL_LIMITS.get(container, DEFAULT_CHANNEL_LIMIT)


def check_channels(path: AnyPath, container: str, channels: int) -> None:
    """Raises :class:`AudioFileError` naming the limit when a container cannot hold
    ``channels`` channels."""
    limit = max_channels(container)
    if channels > limit:
        raise AudioFileError(f"{shown(path)}: {container} files hold at most {limit} "
                             f"channels, the audio has {channels}")


def _check_frame_count(name: str, info: sf.SoundFile, file_size: int) -> None:
    """Refuses a header whose frame count the file cannot hold or memory cannot take,
    before an array of that size is allocated."""
    frames, channels = info.frames, info.channels
    bits = None if info.format in _COMPRESSED_CONTAINERS else _BITS_PER_SAMPLE.get(info.subtype)
    if bits is not None:
        possible = file_size * 8 // (bits * channels)
    else:
        possible = file_size * _MOST_FRAMES_PER_BYTE
    if frames > possible:
        raise AudioFileError(f"{shown(name)}: damaged header: it claims {frames} frames, "
                             f"more than a file of {file_size} bytes can hold")
    needed = frames * channels * np.dtype(np.float32).itemsize
    try:
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return
    if memory > 0 and needed > memory:
        raise AudioFileError(f"{shown(name)}: {frames} frames x {channels} channels need "
                             f"{needed / 2**30:.1f} GiB, more than this machine's memory")


_OPUS_RATES = (8_000, 12_000, 16_000, 24_000, 48_000)


def check_output(name: str, sample_rate: int, subtype: str, bitrate: int | None) -> None:
    """Checks up front what only the sample rate decides: Opus rates and MP3 bit rates."""
    if subtype == "OPUS" and sample_rate not in _OPUS_RATES:
        raise AudioFileError(f"{name}: Opus holds sample rates of "
                             f"{', '.join(map(str, _OPUS_RATES))} Hz only, got {sample_rate} Hz")
    _check_bitrate(name, subtype, bitrate, sample_rate)


def _check_bitrate(name: str, subtype: str, bitrate: int | None, sample_rate: int) -> None:
    if bitrate is None:
        return
    if subtype != "MPEG_LAYER_III":
        raise AudioFileError(f"{name}: a bit rate applies to MP3 output only")
    if bitrate not in MP3_BITRATES:
        raise AudioFileError(f"{name}: MP3 bit rate {bitrate} kbit/s is not one of "
                             f"{', '.join(map(str, MP3_BITRATES))}")
    if sample_rate < _MP3_LOWEST_RATE:
        raise AudioFileError(f"{name}: a fixed MP3 bit rate needs a sample rate of "
                             f"{_MP3_LOWEST_RATE} Hz or more, got {sample_rate} Hz")


@contextmanager
def input_path(path: AnyPath) -> Iterator[str]:
    """Yields a readable path for an input: the path itself, or for "-" a temporary copy of
    standard input, removed afterwards. Audio formats need to seek, so a pipe is copied to
    disk first, in pieces, without holding it in memory."""
    name = fs_name(path)
    if name != "-":
        yield name
        return
    handle, temporary = tempfile.mkstemp(prefix="kavri-stdin-", suffix=".audio")
    try:
        with os.fdopen(handle, "wb") as spool:
            shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
        yield temporary
    finally:
        os.unlink(temporary)


@contextmanager
def open_input(name: str, label: str | None = None) -> Iterator[sf.SoundFile]:
    """Opens an audio file for reading and yields it; messages name it as ``label`` (by
    default the name, odd bytes escaped). libsndfile gets the open descriptor, never the
    name, so no encoding of the name can fail. Raises :class:`AudioFileError` when the file
    is missing, a folder or not audio."""
    label = shown(name) if label is None else label
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
        except sf.LibsndfileError as error:
            raise AudioFileError(f"{label}: not a readable audio file "
                                 f"({error.error_string.rstrip('.')})") from None
        except (RuntimeError, ValueError, TypeError) as error:
            raise AudioFileError(f"{label}: not a readable audio file ({error})") from None
        with reader:
            yield reader


def read(path: AnyPath) -> AudioData:
    """Reads an audio file as a (frames, channels) float32 array and its sample rate.

    Any format libsndfile reads (WAV, FLAC, OGG, MP3, AIFF, ...) is accepted; integer
    samples are scaled to [-1, 1). "-" reads standard input. The path may be ``str``,
    ``bytes`` or path-like, and need not be UTF-8. Raises :class:`AudioFileError` naming the
    file when it is missing, unreadable, not audio, or has a header that claims more frames
    than the file or memory can hold.
    """
    given = fs_name(path)
    label = "standard input" if given == "-" else shown(given)
    with input_path(given) as name, open_input(name, label) as source:
        try:
            _check_frame_count(label, source, os.fstat(source.name).st_size)
            audio = source.read(dtype="float32", always_2d=True)
        except sf.LibsndfileError as error:
            raise AudioFileError(f"{label}: not a readable audio file "
                                 f"({error.error_string.rstrip('.')})") from None
        except MemoryError:
            raise AudioFileError(f"{label}: not enough memory to read it") from None
        except (RuntimeError, ValueError, TypeError) as error:
            raise AudioFileError(f"{label}: not a readable audio file ({error})") from None
        sample_rate = source.samplerate
    return AudioData(np.ascontiguousarray(audio, dtype=np.float32), int(sample_rate))


@dataclass
class WriteStats:
    """What went into a file: frames written, samples clipped to the integer or lossy
    format's full scale, and NaN or infinite samples (written as 0 where the format has no
    such values)."""

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
        stats.clipped += int(np.count_nonzero((scaled > top) | (scaled < bottom)))
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

    ``write(chunk)`` takes float samples, (frames, channels) or 1-D for one channel, and
    converts them to the file's format: float formats keep every bit, NaN included;
    integer formats are quantised (with dither if asked) and clipped; lossy formats are
    clipped to [-1, 1] with NaN written as 0. ``stats`` counts what was clipped or
    not finite.
    """

    def __init__(self, handle: sf.SoundFile, subtype: str, dither: str) -> None:
        self._file = handle
        self.subtype = subtype
        self.channels = handle.channels
        self.sample_rate = handle.samplerate
        self.stats = WriteStats()
        bits = _PCM_BITS.get(subtype)
        use_dither = dither == "tpdf" and bits is not None and bits <= DITHER_MAX_BITS
        self._quantise = _Quantiser(bits, use_dither) if bits is not None else None

    def write(self, chunk: npt.ArrayLike) -> None:
        """Appends frames to the file."""
        data = pcm_to_float(chunk)
        if data.ndim == 1:
            data = data[:, np.newaxis]
        if data.ndim != 2 or data.shape[1] != self.channels:
            raise AudioFileError(f"expected (frames, {self.channels}) audio, got shape "
                                 f"{data.shape}")
        if self._quantise is not None:
            out: np.ndarray = self._quantise(data, self.stats)
        elif self.subtype in _FLOAT_SUBTYPES:
            bad = ~np.isfinite(data)
            self.stats.nonfinite += int(np.count_nonzero(bad))
            out = data
        else:
            bad = ~np.isfinite(data)
            self.stats.nonfinite += int(np.count_nonzero(bad))
            self.stats.clipped += int(np.count_nonzero(np.abs(data[~bad]) > 1.0))
            # Lossy formats hold full scale at most; NaN would otherwise become a click.
            out = np.clip(np.nan_to_num(data, nan=0.0), -1.0, 1.0)
        self._file.write(np.ascontiguousarray(out))
        self.stats.frames += data.shape[0]


def _ogg_crc(page: bytes) -> int:
    """The CRC of an Ogg page (polynomial 0x04C11DB7, not reflected, no initial or final
    inversion), computed with zlib's reflected CRC-32 on bit-reversed bytes."""
    reflected = _BIT_REVERSED[np.frombuffer(page, np.uint8)].tobytes()
    raw = zlib.crc32(reflected) ^ zlib.crc32(bytes(len(reflected)))
    return int(f"{raw:032b}"[::-1], 2)


_BIT_REVERSED = np.array([int(f"{i:08b}"[::-1], 2) for i in range(256)], dtype=np.uint8)


def _fix_ogg_serial(path: str) -> None:
    """Gives every page of an Ogg file the same fixed stream serial number and recomputes
    the page checksums. libsndfile draws the serial from the clock, which would make every
    run's file differ. Pages are rewritten in place, one at a time."""
    with open(path, "r+b") as stream:
        position = 0
        while True:
            stream.seek(position)
            header = stream.read(27)
            if len(header) < 27:
                break
            if header[:4] != b"OggS":
                raise AudioFileError(f"{path}: unexpected data in the Ogg stream")
            table = stream.read(header[26])
            size = 27 + len(table) + sum(table)
            stream.seek(position)
            page = bytearray(stream.read(size))
            struct.pack_into("<I", page, 14, _OGG_SERIAL)
            struct.pack_into("<I", page, 22, 0)
            struct.pack_into("<I", page, 22, _ogg_crc(bytes(page)))
            stream.seek(position)
            stream.write(page)
            position += size


def _complete_float_wav_header(path: str) -> None:
    """Gives a float WAV file's format chunk the two-byte extension size (0) that every
    format but integer PCM carries. libsndfile writes a bare 16-byte format chunk, which
    sox, for one, warns about on every read; its extensible header draws the same warning.
    The two bytes are taken from the padding chunk libsndfile puts before the data, so the
    header keeps its length and the samples stay where they are."""
    with open(path, "r+b") as stream:
        head = bytearray(stream.read(80))
        if (head[:4] != b"RIFF" or head[8:16] != b"WAVEfmt " or head[16:20] != b"\x10\0\0\0"
                or head[20:22] != b"\x03\0" or head[36:40] != b"fact"
                or head[48:52] != b"PAD "):
            return
        padding = struct.unpack_from("<I", head, 52)[0]
        if padding < 2:
            return
        fact = bytes(head[36:48])
        patched = (b"fmt " + struct.pack("<I", 18) + bytes(head[20:36]) + b"\0\0" + fact
                   + b"PAD " + struct.pack("<I", padding - 2))
        stream.seek(12)
        stream.write(patched)


def _check_written(temporary: str, frames: int, channels: int,
                   exact_length_unknown: bool = False) -> None:
    """Reads back the header of a file just written. libsndfile's Ogg writer does not
    report failed writes at all, so a full disk would otherwise give a truncated file and
    no error. MP3 files do not record their exact length, so only their channels are
    compared."""
    try:
        with open(temporary, "rb") as handle, \
                sf.SoundFile(handle.fileno(), closefd=False) as written:
            found = (written.frames, written.channels)
    except sf.LibsndfileError as error:
        raise _IncompleteWrite(error.error_string.rstrip(".")) from None
    if found[1] != channels or (found[0] != frames and not exact_length_unknown):
        raise _IncompleteWrite(f"the file holds {found[0]} frames x {found[1]} channels "
                               f"after writing {frames} x {channels}")


class _IncompleteWrite(Exception):
    """A write that libsndfile reported as done but whose file is not complete."""


def _write_failure(descriptor: int, reported: str) -> str:
    """The cause of a failed write. libsndfile reports a failed system call as "System
    error." (or, from its FLAC encoder, as a failed initialisation, or not at all), so the
    file is written to once more to learn why: on a full disk that says "No space left on
    device". ``reported`` is the message when that write succeeds."""
    try:
        os.write(descriptor, bytes(_PROBE_BYTES))
    except OSError as failure:
        if failure.errno is not None:
            return os.strerror(failure.errno)
    return reported


# The size of the write that finds the cause of a failure: the failed write has used up
# whatever space was left.
_PROBE_BYTES = 65_536
_MAX_SAMPLE_RATE = 2**31 - 1
# As in kavri.process: this few frames and more channels than the container holds is an
# array the wrong way round.
_CHANNELS_FIRST_LIMIT = 64


def _open_soundfile(descriptor: int, sample_rate: int, channels: int, container: str,
                    subtype: str, bitrate: int | None) -> sf.SoundFile:
    mode = None if bitrate is None else "CONSTANT"
    level = None if bitrate is None else (320 - bitrate) / 288
    # libsndfile gets the open descriptor, never the name: no encoding of the name can fail.
    handle = sf.SoundFile(descriptor, "w", sample_rate, channels, subtype, format=container,
                          closefd=False, compression_level=level, bitrate_mode=mode)
    # No PEAK chunk: it holds the time of writing. The call fails harmlessly (returns
    # false) for formats that never have one.
    sf._snd.sf_command(handle._file, _SFC_SET_ADD_PEAK_CHUNK,
                       sf._ffi.NULL, 0)  # type: ignore[attr-defined]
    return handle


@contextmanager
def _target(name: str) -> Iterator[str]:
    """The temporary file to write: beside the target (renamed into place on success), or
    for standard output in the temporary folder (copied out on success)."""
    if name != "-":
        with atomic_output(name) as temporary:
            yield temporary
        return
    handle, temporary = tempfile.mkstemp(prefix="kavri-stdout-", suffix=".audio")
    os.close(handle)
    try:
        yield temporary
        out: BinaryIO = sys.stdout.buffer
        with open(temporary, "rb") as written:
            shutil.copyfileobj(written, out, 1 << 20)
        out.flush()
    finally:
        os.unlink(temporary)


@contextmanager
def open_output(path: AnyPath, sample_rate: int, channels: int,
                subtype: str | None = None, *, file_format: str | None = None,
                dither: str = "none", bitrate: int | None = None) -> Iterator[AudioWriter]:
    """Opens an audio file for writing in chunks, atomically; yields an :class:`AudioWriter`.

    The file appears complete when the block ends without an error, and not at all
    otherwise. "-" writes standard output once the file is complete (WAV unless
    ``file_format`` names another format). ``dither`` is "tpdf" or "none": TPDF dither
    applies to integer output of 16 bits or fewer. ``bitrate`` (kbit/s, one of
    ``MP3_BITRATES``) makes MP3 output constant-rate. The channel count is checked against
    the container's limit (FLAC holds 8, MP3 2, Ogg 255, the others 1,024) before anything is
    written, and the file is read back before it is put in place, so that a full disk is
    reported ("No space left on device") even where libsndfile does not notice it. Raises
    :class:`AudioFileError` naming the file.
    """
    name = fs_name(path)
    label = "standard output" if name == "-" else shown(name)
    container, chosen = output_format(name, subtype, file_format)
    if dither not in DITHER_MODES:
        raise AudioFileError(f"unknown dither '{dither}'; use one of {', '.join(DITHER_MODES)}")
    rate = int(sample_rate)
    if not 1 <= rate <= _MAX_SAMPLE_RATE:
        raise AudioFileError(f"{label}: cannot write at a sample rate of {rate} Hz")
    check_channels(label, container, int(channels))
    check_output(label, rate, chosen, bitrate)
    try:
        with _target(name) as temporary, open(temporary, "r+b") as stream:
            try:
                handle = _open_soundfile(stream.fileno(), rate, int(channels), container,
                                         chosen, bitrate)
                with handle:
                    writer = AudioWriter(handle, chosen, dither)
                    yield writer
                if writer.stats.frames:  # libsndfile cannot read back a FLAC of no frames
                    _check_written(temporary, writer.stats.frames, int(channels),
                                   exact_length_unknown=container == "MP3")
            except sf.LibsndfileError as error:
                cause = _write_failure(stream.fileno(), error.error_string.rstrip("."))
                raise AudioFileError(f"{label}: cannot write: {cause}") from None
            except _IncompleteWrite as error:
                cause = _write_failure(stream.fileno(), str(error))
                raise AudioFileError(f"{label}: cannot write: {cause}") from None
            if container == "OGG":
                _fix_ogg_serial(temporary)
            elif container == "WAV" and chosen in _FLOAT_SUBTYPES:
                _complete_float_wav_header(temporary)
    except AudioFileError:
        raise
    except KavriError as error:
        raise AudioFileError(str(error)) from None
    except OSError as error:
        cause = os.strerror(error.errno) if error.errno else str(error)
        raise AudioFileError(f"{label}: cannot write: {cause}") from None


def write(path: AnyPath, audio: npt.ArrayLike, sample_rate: int,
          subtype: str | None = None, *, file_format: str | None = None,
          dither: str = "none", bitrate: int | None = None) -> WriteStats:
    """Writes audio to a file, atomically, and returns what was clipped or not finite.

    The container follows the suffix (.wav, .flac, .ogg, .opus, .mp3, .aiff, .caf, .w64),
    or ``file_format``; "-" is standard output. ``subtype`` is "float", "double", "pcm16",
    "pcm24", "pcm32", "vorbis", "opus" or "mp3" (or a libsndfile subtype name); the default
    is float for WAV, AIFF, CAF and W64, 24-bit PCM for FLAC, Vorbis for OGG. Integer
    output is rounded to its grid and clipped, lossy output clipped to [-1, 1], and NaN
    written as 0 in both. ``dither="tpdf"`` adds TPDF dither to 16-bit output (the default
    "none" keeps samples already on the grid exactly). Integer PCM arrays are scaled by
    their full scale first (see :func:`pcm_to_float`). The file appears complete or not at
    all; an existing file of that name is replaced only on success. The channel count is
    checked against the container's limit before anything is written. Raises
    :class:`AudioFileError` naming the file.
    """
    name = fs_name(path)
    container, _ = output_format(name, subtype, file_format)
    data = pcm_to_float(audio)
    if data.ndim == 1:
        data = data[:, np.newaxis]
    if data.ndim != 2 or data.shape[1] < 1:
        raise AudioFileError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    try:
        check_channels(name, container, data.shape[1])
    except AudioFileError as error:
        if data.shape[0] <= _CHANNELS_FIRST_LIMIT:
            raise AudioFileError(f"{error}; is the array (channels, frames)? "
                                 f"pass audio.T") from None
        raise
    with open_output(name, sample_rate, data.shape[1], subtype, file_format=file_format,
                     dither=dither, bitrate=bitrate) as writer:
        writer.write(data)
    return writer.stats


def is_complete_audio_file(path: AnyPath) -> bool:
    """True if the path holds an audio file that libsndfile can open and that has frames
    or a valid empty header. Files are written atomically, so an existing readable file
    is a finished one."""
    try:
        with open(fs_name(path), "rb") as handle, sf.SoundFile(handle.fileno(), closefd=False):
            pass
    except (sf.LibsndfileError, RuntimeError, OSError):
        return False
    return True
