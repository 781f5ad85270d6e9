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


def output_format(path: str | os.PathLike[str], subtype: str | None = None) -> tuple[str, str]:
    """The (container, subtype) that :func:`write` uses for a path, checked up front.

    Raises :class:`AudioFileError` for an unknown suffix or a subtype the container cannot
    hold (for example float samples in FLAC).
    """
    name = os.fspath(path)
    suffix = Path(name).suffix.lower()
    if suffix not in FORMATS:
        known = ", ".join(sorted(FORMATS))
        raise AudioFileError(f"{name}: unknown output format '{suffix or '(no suffix)'}'; "
                             f"use one of {known}")
    container, default_subtype = FORMATS[suffix]
    if subtype is None:
        return container, default_subtype
    chosen = check_subtype_name(subtype)
    if chosen not in sf.available_subtypes(container) or not sf.check_format(container, chosen):
        allowed = [short for short, full in SUBTYPES.items() if sf.check_format(container, full)]
        raise AudioFileError(f"{name}: {container} files cannot hold subtype '{subtype}'; "
                             f"use one of {', '.join(allowed)}")
    return container, chosen


def read(path: str | os.PathLike[str]) -> AudioData:
    """Reads an audio file as a (frames, channels) float32 array and its sample rate.

    Any format libsndfile reads (WAV, FLAC, OGG, AIFF, ...) is accepted; integer samples are
    scaled to [-1, 1). Raises :class:`AudioFileError` naming the file when it is missing,
    unreadable or not audio.
    """
    name = os.fspath(path)
    try:
        with open(name, "rb"):
            pass
    except FileNotFoundError:
        raise AudioFileError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise AudioFileError(f"{name}: is a directory, not an audio file") from None
    except OSError as error:
        raise AudioFileError(f"{name}: cannot read: {error.strerror}") from None
    try:
        audio, sample_rate = sf.read(name, dtype="float32", always_2d=True)
    except sf.LibsndfileError as error:
        raise AudioFileError(f"{name}: not a readable audio file "
                             f"({error.error_string.rstrip('.')})") from None
    except (RuntimeError, ValueError, TypeError) as error:
        raise AudioFileError(f"{name}: not a readable audio file ({error})") from None
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


def write(path: str | os.PathLike[str], audio: npt.ArrayLike, sample_rate: int,
          subtype: str | None = None) -> None:
    """Writes audio to a file, atomically.

    The container follows the suffix (.wav, .flac, .ogg, .aiff, .caf, .w64). ``subtype`` is
    "float", "double", "pcm16", "pcm24", "pcm32" or "vorbis" (or a libsndfile subtype
    name); the default is float for WAV, AIFF, CAF and W64, 24-bit PCM for FLAC and Vorbis
    for OGG. Integer and Vorbis output is clipped to [-1, 1] and NaN written as 0. The file
    appears complete or not at all; an existing file of that name is replaced only on
    success. Raises :class:`AudioFileError` naming the file.
    """
    name = os.fspath(path)
    container, chosen = output_format(name, subtype)
    data = _prepare(audio, chosen)
    try:
        with atomic_output(name) as temporary:
            sf.write(temporary, data, int(sample_rate), subtype=chosen, format=container)
    except KavriError as error:
        raise AudioFileError(str(error)) from None
    except sf.LibsndfileError as error:
        raise AudioFileError(f"{name}: cannot write: {error.error_string}") from None
    except OSError as error:
        raise AudioFileError(f"{name}: cannot write: {error.strerror or error}") from None


def is_complete_audio_file(path: str | os.PathLike[str]) -> bool:
    """True if the path holds an audio file that libsndfile can open and that has frames
    or a valid empty header. Files are written atomically, so an existing readable file
    is a finished one."""
    try:
        sf.info(os.fspath(path))
    except (sf.LibsndfileError, RuntimeError, OSError):
        return False
    return True
