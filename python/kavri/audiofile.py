"""Reading and writing audio files through soundfile (libsndfile).

In memory, audio is a (frames, channels) float32 array. Files are written atomically: the
data goes to a hidden temporary file beside the target, which is renamed into place only
when it is complete, so an interrupted or failed write never leaves a half-written file and
never damages a file that was there before.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import NamedTuple

import numpy as np
import numpy.typing as npt
import soundfile as sf

from ._atomic import atomic_output
from ._paths import AnyPath, fs_name, shown
from .errors import AudioFileError, KavriError

__all__ = [
    "AudioData",
    "read",
    "write",
    "output_format",
    "check_subtype_name",
    "SUBTYPES",
    "FORMATS",
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
    ".aiff": ("AIFF", "FLOAT"),
    ".aif": ("AIFF", "FLOAT"),
    ".caf": ("CAF", "FLOAT"),
    ".w64": ("W64", "FLOAT"),
}

# Short names for the sample formats; libsndfile's own names are accepted as well.
SUBTYPES: dict[str, str] = {
    "float": "FLOAT",
    "double": "DOUBLE",
    "pcm16": "PCM_16",
    "pcm24": "PCM_24",
    "pcm32": "PCM_32",
    "vorbis": "VORBIS",
}

_FLOAT_SUBTYPES = {"FLOAT", "DOUBLE"}

# The most channels libsndfile writes into each container. Beyond 1,024 it refuses to open
# any file ("Format not recognised"); FLAC stops at 8; Ogg (Vorbis and Opus) at 255, and
# from 256 channels on its Vorbis encoder crashes the whole process, so the count is
# checked before libsndfile is called.
DEFAULT_CHANNEL_LIMIT = 1024
CHANNEL_LIMITS: dict[str, int] = {"FLAC": 8, "OGG": 255}

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


def check_subtype_name(subtype: str) -> str:
    """The libsndfile name of a subtype given by its short or full name; AudioFileError if
    it names none."""
    chosen = SUBTYPES.get(subtype.lower(), subtype.upper())
    if chosen not in sf.available_subtypes():
        raise AudioFileError(f"unknown subtype '{subtype}'; use one of {', '.join(SUBTYPES)}")
    return chosen


def output_format(path: AnyPath, subtype: str | None = None) -> tuple[str, str]:
    """The (container, subtype) that :func:`write` uses for a path, checked up front.

    Raises :class:`AudioFileError` for an unknown suffix or a subtype the container cannot
    hold (for example float samples in FLAC).
    """
    name = fs_name(path)
    suffix = Path(name).suffix.lower()
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


def read(path: AnyPath) -> AudioData:
    """Reads an audio file as a (frames, channels) float32 array and its sample rate.

    Any format libsndfile reads (WAV, FLAC, OGG, AIFF, ...) is accepted; integer samples are
    scaled to [-1, 1). The path may be ``str``, ``bytes`` or path-like, and need not be
    UTF-8. Raises :class:`AudioFileError` naming the file when it is missing, unreadable,
    not audio, or has a header that claims more frames than the file or memory can hold.
    """
    name = fs_name(path)
    try:
        handle = open(name, "rb")
    except FileNotFoundError:
        raise AudioFileError(f"{shown(name)}: no such file") from None
    except IsADirectoryError:
        raise AudioFileError(f"{shown(name)}: is a directory, not an audio file") from None
    except OSError as error:
        raise AudioFileError(f"{shown(name)}: cannot read: {error.strerror}") from None
    # libsndfile gets the open descriptor, never the name: no encoding of the name can fail.
    with handle:
        try:
            with sf.SoundFile(handle.fileno(), closefd=False) as source:
                _check_frame_count(name, source, os.fstat(handle.fileno()).st_size)
                audio = source.read(dtype="float32", always_2d=True)
                sample_rate = source.samplerate
        except sf.LibsndfileError as error:
            raise AudioFileError(f"{shown(name)}: not a readable audio file "
                                 f"({error.error_string.rstrip('.')})") from None
        except MemoryError:
            raise AudioFileError(f"{shown(name)}: not enough memory to read it") from None
        except (RuntimeError, ValueError, TypeError) as error:
            raise AudioFileError(f"{shown(name)}: not a readable audio file "
                                 f"({error})") from None
    return AudioData(np.ascontiguousarray(audio, dtype=np.float32), int(sample_rate))


def _prepare(audio: npt.ArrayLike, subtype: str) -> np.ndarray:
    data = np.asarray(audio, dtype=np.float32)
    if data.ndim == 1:
        data = data[:, np.newaxis]
    if data.ndim != 2 or data.shape[1] < 1:
        raise AudioFileError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    if subtype not in _FLOAT_SUBTYPES:
        # Integer and compressed formats hold full scale at most; NaN has no integer value
        # and would otherwise turn into a full-scale click.
        data = np.clip(np.nan_to_num(data, nan=0.0), -1.0, 1.0)
    return np.ascontiguousarray(data)


def _check_written(temporary: str, frames: int, channels: int) -> None:
    """Reads back the header of a file just written. libsndfile's Ogg writer does not
    report failed writes at all, so a full disk would otherwise give a truncated file and
    no error."""
    try:
        with open(temporary, "rb") as handle, \
                sf.SoundFile(handle.fileno(), closefd=False) as written:
            found = (written.frames, written.channels)
    except sf.LibsndfileError as error:
        raise _IncompleteWrite(error.error_string.rstrip(".")) from None
    if found != (frames, channels):
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


def write(path: AnyPath, audio: npt.ArrayLike, sample_rate: int,
          subtype: str | None = None) -> None:
    """Writes audio to a file, atomically.

    The container follows the suffix (.wav, .flac, .ogg, .aiff, .caf, .w64). ``subtype`` is
    "float", "double", "pcm16", "pcm24", "pcm32" or "vorbis" (or a libsndfile subtype
    name); the default is float for WAV, AIFF, CAF and W64, 24-bit PCM for FLAC and Vorbis
    for OGG. Integer and Vorbis output is clipped to [-1, 1] and NaN written as 0. The file
    appears complete or not at all; an existing file of that name is replaced only on
    success. The channel count is checked against the container's limit (FLAC holds 8,
    Ogg 255, the others 1,024) before anything is written. Raises :class:`AudioFileError`
    naming the file.
    """
    name = fs_name(path)
    container, chosen = output_format(name, subtype)
    data = _prepare(audio, chosen)
    try:
        check_channels(name, container, data.shape[1])
    except AudioFileError as error:
        if data.shape[0] <= _CHANNELS_FIRST_LIMIT:
            raise AudioFileError(f"{error}; is the array (channels, frames)? "
                                 f"pass audio.T") from None
        raise
    rate = int(sample_rate)
    if not 1 <= rate <= _MAX_SAMPLE_RATE:
        raise AudioFileError(f"{shown(name)}: cannot write at a sample rate of {rate} Hz")
    try:
        with atomic_output(name) as temporary, open(temporary, "r+b") as handle:
            try:
                sf.write(handle.fileno(), data, rate, subtype=chosen, format=container,
                         closefd=False)
                if data.shape[0]:  # libsndfile cannot read back a FLAC file of no frames
                    _check_written(temporary, data.shape[0], data.shape[1])
            except sf.LibsndfileError as error:
                cause = _write_failure(handle.fileno(), error.error_string.rstrip("."))
                raise AudioFileError(f"{shown(name)}: cannot write: {cause}") from None
            except _IncompleteWrite as error:
                cause = _write_failure(handle.fileno(), str(error))
                raise AudioFileError(f"{shown(name)}: cannot write: {cause}") from None
    except AudioFileError:
        raise
    except KavriError as error:
        raise AudioFileError(str(error)) from None
    except OSError as error:
        cause = os.strerror(error.errno) if error.errno else str(error)
        raise AudioFileError(f"{shown(name)}: cannot write: {cause}") from None


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
