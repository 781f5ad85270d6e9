"""What each output format holds: containers by suffix, sample formats, and the limits
that are checked before the first sample is written (channels, sample rates, bit rates,
the size a container's header can count, files of no frames)."""

from __future__ import annotations

import contextlib
import ctypes
import functools
import operator
import os
import tempfile
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import soundfile as sf

from .._audio import PCM_BITS
from .._paths import AnyPath, fs_name, shown
from ..catalogue import counted, quoted
from ..errors import AudioFileError
from .decoding import decoded_suffixes

__all__ = [
    "FORMATS",
    "STREAM_FORMATS",
    "SUBTYPES",
    "FLOAT_SUBTYPES",
    "MP3_BITRATES",
    "SIZE_FIELD_LIMIT",
    "DEFAULT_CHANNEL_LIMIT",
    "CHANNEL_LIMITS",
    "check_subtype_name",
    "check_format_name",
    "output_format",
    "max_channels",
    "check_channels",
    "check_output",
    "sample_bytes",
    "data_bytes",
    "fits_size_field",
    "size_refusal",
    "plan_container",
    "check_length",
    "RAW_SUBTYPES",
    "SNDFILE_READ",
    "readable_suffixes",
    "KEEP_SUBTYPE",
    "resolve_subtype",
    "writable",
    "VORBIS_MOST_RATE",
    "memory_file",
]

# Raw PCM (headerless, little-endian) holds these sample formats; see kavri.io.pipes.
RAW_SUBTYPES = ("PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE")
# The subtype setting that keeps the input's sample format where the output holds it.
KEEP_SUBTYPE = "same"
# Sample formats kept from an input, where the output's container can be written with them:
# integer PCM of 8 to 32 bits, float, the companded 8-bit formats and the lossy codecs.
# (The ADPCM and GSM sample formats are not kept: they would code the processed audio
# again with a few bits per sample.)
_KEPT_SUBTYPES = frozenset(
    {
        "PCM_S8",
        "PCM_U8",
        "PCM_16",
        "PCM_24",
        "PCM_32",
        "FLOAT",
        "DOUBLE",
        "ULAW",
        "ALAW",
        "VORBIS",
        "OPUS",
        "MPEG_LAYER_III",
    }
)

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
    ".raw": ("RAW", "FLOAT"),
    ".pcm": ("RAW", "FLOAT"),
}

# Formats by name, for output without a suffix (standard output): the suffix they stand for.
STREAM_FORMATS: dict[str, str] = {
    "wav": ".wav",
    "flac": ".flac",
    "ogg": ".ogg",
    "opus": ".opus",
    "mp3": ".mp3",
    "aiff": ".aiff",
    "caf": ".caf",
    "w64": ".w64",
    "raw": ".raw",
}

# Files libsndfile reads, by suffix, with what they hold.
SNDFILE_READ: tuple[tuple[str, str], ...] = (
    (".wav .wave .rf64 .bwf", "WAV, WAVE_FORMAT_EXTENSIBLE, RF64 and Broadcast WAV"),
    (".flac", "FLAC"),
    (".ogg .oga .opus", "Ogg Vorbis and Opus"),
    (".aif .aiff .aifc", "AIFF and AIFF-C"),
    (".caf", "Core Audio Format"),
    (".w64", "Sony Wave64"),
    (".au .snd", "Sun/NeXT"),
    (
        ".voc .paf .svx .iff .sf .ircam .nist .sph .mat .mat4 .mat5 .pvf .xi .htk .sds "
        ".avr .sd2 .wve .mpc",
        "the older formats libsndfile reads",
    ),
)


def readable_suffixes() -> frozenset[str]:
    """The suffixes of the audio files Kavri reads: libsndfile's and PyAV's."""
    found = {suffix for suffixes, _ in SNDFILE_READ for suffix in suffixes.split()}
    return frozenset(found | set(decoded_suffixes()))


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

FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})

# Constant MP3 bit rates (kbit/s) at sample rates of 32 kHz and above. libsndfile maps a
# compression level c to 320 - 288 c kbit/s in constant mode; the level for an exact rate
# is therefore (320 - rate) / 288.
MP3_BITRATES = (40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
_MP3_LOWEST_RATE = 32_000
_OPUS_RATES = (8_000, 12_000, 16_000, 24_000, 48_000)
# The rates of MPEG-1, 2 and 2.5 layer III; LAME refuses others once the audio is written.
_MP3_RATES = (8_000, 11_025, 12_000, 16_000, 22_050, 24_000, 32_000, 44_100, 48_000)
# libvorbis's encoder has setups up to this rate and crashes the process above it.
VORBIS_MOST_RATE = 200_000

# The most channels libsndfile writes into each container. Beyond 1,024 it refuses to open
# any file ("Format not recognised"); FLAC stops at 8, MP3 at 2; Ogg (Vorbis and Opus) at
# 255, and from 256 channels on its Vorbis encoder crashes the whole process, so the count
# is checked before libsndfile is called.
DEFAULT_CHANNEL_LIMIT = 1024
CHANNEL_LIMITS: dict[str, int] = {"FLAC": 8, "OGG": 255, "MP3": 2}

# Bytes per sample of the sample formats whose size is fixed.
_SAMPLE_BYTES: dict[str, int] = {
    **{name: bits // 8 for name, bits in PCM_BITS.items()},
    "FLOAT": 4,
    "DOUBLE": 8,
    "ULAW": 1,
    "ALAW": 1,
}

# WAV and AIFF count their bytes in 32-bit fields, so a file stops at 4 GiB. Past it, WAV
# output is written as RF64 (WAV with 64-bit sizes); AIFF has no such form and is refused.
SIZE_FIELD_LIMIT = 2**32 - 1
# Room left for the header and its chunks when the data's size is checked against the limit.
_HEADER_ALLOWANCE = 4096
_LARGE_FORMS = {"WAV": "RF64"}
_SIZE_COUNTED = {"WAV", "AIFF"}
# FLAC counts frames in 36 bits.
_FLAC_MOST_FRAMES = 2**36 - 1

# Formats that libsndfile writes with no frames but then cannot open: a FLAC or MP3 file of
# no frames, and an Opus stream without audio pages.
_NO_EMPTY_FILES = {"FLAC", "MP3"}
_NO_EMPTY_SUBTYPES = {"OPUS"}
_EMPTY_ALTERNATIVES = ".wav, .ogg, .aiff, .caf or .w64"


def check_subtype_name(subtype: str) -> str:
    """The libsndfile name of a subtype given by its short or full name; AudioFileError if
    it names none."""
    if not isinstance(subtype, str):
        raise AudioFileError(f"subtype must be a name, got {subtype!r}")
    chosen = SUBTYPES.get(subtype.lower(), subtype.upper())
    if chosen not in sf.available_subtypes():
        raise AudioFileError(f"unknown subtype {quoted(subtype)}; use one of {', '.join(SUBTYPES)}")
    return chosen


def check_format_name(file_format: str) -> str:
    """The suffix that a format name (wav, flac, mp3, ...) stands for."""
    if not isinstance(file_format, str):
        raise AudioFileError(f"file_format must be a name, got {file_format!r}")
    suffix = STREAM_FORMATS.get(file_format.lower().lstrip("."))
    if suffix is None:
        raise AudioFileError(
            f"unknown format {quoted(file_format)}; use one of {', '.join(STREAM_FORMATS)}"
        )
    return suffix


def _hold_libsndfile() -> ctypes.CDLL | None:
    """One more handle on the libsndfile that soundfile loaded, never given back. At exit
    the interpreter frees soundfile's own handle, the loader unmaps the library, and a
    daemon thread still inside it (a codec's round trip, which runs without the interpreter
    lock) crashed the process with SIGSEGV. A ctypes handle is never closed."""
    for name in (getattr(sf, "_full_path", None), getattr(sf, "_libname", None)):
        if name:
            with contextlib.suppress(OSError):
                return ctypes.CDLL(name)
    return None


_LIBSNDFILE = _hold_libsndfile()


def _renew_soundfile_lock() -> None:
    # soundfile opens every file under one class-level lock; a child forked while another
    # thread held it (a DataLoader worker forked during a read or a codec's round trip)
    # waited for ever on its first read or write.
    if isinstance(getattr(sf.SoundFile, "_sf_error_lock", None), type(threading.Lock())):
        sf.SoundFile._sf_error_lock = threading.Lock()


os.register_at_fork(after_in_child=_renew_soundfile_lock)


@contextlib.contextmanager
def memory_file() -> Iterator[int]:
    """A file in memory, as a descriptor that libsndfile reads and writes itself. Through a
    Python file object (BytesIO) every write is a Python callback, and a Ctrl-C inside one
    is swallowed by it: a codec's block came out half coded (34,385 frames of a minute
    wrong) and the call went on as if nothing had happened."""
    try:
        if hasattr(os, "memfd_create"):
            descriptor = os.memfd_create("kavri", os.MFD_CLOEXEC)
        else:
            with tempfile.TemporaryFile() as handle:
                descriptor = os.dup(handle.fileno())
    except OSError as error:  # no descriptor left (EMFILE): a bare OSError had escaped
        raise AudioFileError(f"cannot make a file in memory: {error.strerror or error}") from None
    try:
        yield descriptor
    finally:
        os.close(descriptor)


def _reads_back(frames: int, channels: int, **options: Any) -> bool:
    """Whether ``frames`` frames of silence, written with these SoundFile options into
    memory, read back as as many frames (a probe whose answer is kept, so written by
    descriptor: an interrupt swallowed in a callback would have kept a wrong one)."""
    try:
        with memory_file() as memory:
            with sf.SoundFile(memory, "w", channels=channels, closefd=False, **options) as probe:
                probe.write(np.zeros((frames, channels), np.float32))
            os.lseek(memory, 0, os.SEEK_SET)
            with sf.SoundFile(memory, closefd=False) as back:
                return int(back.frames) == frames
    except (sf.LibsndfileError, RuntimeError, ValueError, TypeError):
        return False


@functools.cache
def writable(container: str, subtype: str) -> bool:
    """Whether libsndfile writes ``container`` files of ``subtype`` samples that read back
    as the frames written. Its own check says yes to some it cannot encode (MP3 data in a
    WAV file), and the block coders (ADPCM, GSM) pad the last block or cannot be read back:
    such an output failed only after the whole render. So some frames are written into
    memory and read back to tell, once per pair."""
    if not sf.check_format(container, subtype):
        return False
    return _reads_back(1001, 2, samplerate=8000, subtype=subtype, format=container)


def _suffix(name: str, file_format: str | None) -> str:
    if file_format is not None:
        return check_format_name(file_format)
    if name == "-":
        return ".wav"
    return Path(name).suffix.lower()


def output_format(
    path: AnyPath, subtype: str | None = None, file_format: str | None = None
) -> tuple[str, str]:
    """The (container, subtype) that :func:`kavri.write` uses for a path, checked up front.

    The container follows ``file_format`` (a name from ``STREAM_FORMATS``) if given, else
    the path's suffix; "-" (standard output) is WAV unless ``file_format`` says otherwise.
    Raises :class:`AudioFileError` for an unknown suffix or a subtype the container cannot
    hold (for example float samples in FLAC).
    """
    name = fs_name(path)
    suffix = _suffix(name, file_format)
    own = "" if name == "-" else Path(name).suffix.lower()
    if (
        file_format is not None
        and own in readable_suffixes() | FORMATS.keys()
        and FORMATS.get(own) != FORMATS.get(suffix)
    ):
        # FLAC written under .wav: every reader that goes by the name was misled.
        raise AudioFileError(
            f"{shown(name)}: the name's suffix says {own[1:]} but the format asked for is "
            f"{file_format}; give the name the format's suffix, or leave the format out"
        )
    if suffix not in FORMATS:
        known = ", ".join(sorted(FORMATS))
        if not suffix:
            # Said outright: shown as an unknown format, an empty suffix read as four quotes.
            raise AudioFileError(
                f"{shown(name)}: the name has no suffix to tell the output format; "
                f"give it one of {known}, or a file format"
            )
        raise AudioFileError(
            f"{shown(name)}: unknown output format '{shown(suffix)}'; use one of {known}"
        )
    container, default_subtype = FORMATS[suffix]
    if subtype is None or subtype == KEEP_SUBTYPE:
        return container, default_subtype
    chosen = check_subtype_name(subtype)
    if container == "RAW":
        if chosen not in RAW_SUBTYPES:
            raise AudioFileError(
                f"{shown(name)}: raw output holds pcm16, pcm24, pcm32, float or double "
                f"samples, not '{subtype}'"
            )
        return container, chosen
    if chosen not in sf.available_subtypes(container) or not writable(container, chosen):
        allowed = [short for short, full in SUBTYPES.items() if writable(container, full)]
        raise AudioFileError(
            f"{shown(name)}: {container} files cannot hold subtype "
            f"'{subtype}'; use one of {', '.join(allowed)}"
        )
    if _opus_named(container, default_subtype) and chosen != "OPUS":
        # Vorbis written under .opus: players that go by the name expect Opus.
        raise AudioFileError(
            f"{shown(name)}: an .opus file holds Opus, not '{subtype}'; name it .ogg for "
            "Vorbis, or leave the subtype out"
        )
    return container, chosen


def _opus_named(container: str, default_subtype: str) -> bool:
    return container == "OGG" and default_subtype == "OPUS"


def resolve_subtype(
    subtype: str | None, input_subtype: str, container: str, default_subtype: str = ""
) -> str | None:
    """The subtype setting to write with: ``"same"`` becomes the input's sample format
    where ``container`` holds it (a 24-bit WAV stays 24-bit, a FLAC's 16 bits stay 16) and
    the container's default (None) where it does not, or where the output's name asks for
    its ``default_subtype`` (.opus: Opus, even from Vorbis); any other setting is kept."""
    if subtype != KEEP_SUBTYPE:
        return subtype
    if _opus_named(container, default_subtype) and input_subtype != "OPUS":
        return None
    if input_subtype in _KEPT_SUBTYPES and writable(container, input_subtype):
        if container == "RAW" and input_subtype not in RAW_SUBTYPES:
            return None
        return input_subtype
    return None


def max_channels(container: str) -> int:
    """The most channels libsndfile writes into a container ("WAV", "FLAC", "OGG", ...)."""
    return CHANNEL_LIMITS.get(container, DEFAULT_CHANNEL_LIMIT)


def check_channels(path: AnyPath, container: str, channels: int) -> None:
    """Raises :class:`AudioFileError` naming the limit when a container cannot hold
    ``channels`` channels."""
    limit = max_channels(container)
    if channels > limit:
        raise AudioFileError(
            f"{shown(path)}: {container} files hold at most {limit} "
            f"channels, the audio has {channels}"
        )


@functools.cache
def _mp3_keeps_length(sample_rate: int, channels: int, bitrate: int) -> bool:
    """Whether LAME at a fixed bit rate gives back as many frames as it took at this rate
    and channel count. At the lowest rates its frames are too small to hold the header that
    states its delay and padding: more frames came back, the audio 1,105 frames late (48
    kbit/s at 44.1 kHz; 40 to 56 kbit/s at 48 kHz). Found by coding a second of silence,
    once per combination."""
    return _reads_back(
        sample_rate + 17,
        channels,
        samplerate=sample_rate,
        subtype="MPEG_LAYER_III",
        format="MP3",
        compression_level=(320 - bitrate) / 288,
        bitrate_mode="CONSTANT",
    )


def mp3_bitrate(name: str, bitrate: Any) -> int:
    """A constant MP3 bit rate as a plain int, one of ``MP3_BITRATES`` (NumPy's whole
    numbers too: a 0-d array had met an unhashable-type error); AudioFileError otherwise."""
    try:
        rate = None if isinstance(bitrate, bool | np.bool_) else operator.index(bitrate)
    except TypeError:
        rate = None
    if rate is None or rate not in MP3_BITRATES:
        raise AudioFileError(
            f"{name}: MP3 bit rate {bitrate!r} kbit/s is not one of "
            f"{', '.join(map(str, MP3_BITRATES))}"
        )
    return rate


def check_bitrate_format(name: str, subtype: str, bitrate: int | None) -> None:
    """Refuses a bit rate for output that is not MP3."""
    if bitrate is not None and subtype != "MPEG_LAYER_III":
        raise AudioFileError(f"{name}: a bit rate applies to MP3 output only")


def check_output(
    name: str, sample_rate: int, subtype: str, bitrate: int | None, channels: int | None = None
) -> None:
    """Checks up front what only the sample rate (and channel count) decides: Opus and
    Vorbis rates, MP3 bit rates."""
    if subtype == "OPUS" and sample_rate not in _OPUS_RATES:
        raise AudioFileError(
            f"{name}: Opus holds sample rates of "
            f"{', '.join(map(str, _OPUS_RATES))} Hz only, got {sample_rate} Hz"
        )
    if subtype == "MPEG_LAYER_III" and sample_rate not in _MP3_RATES:
        raise AudioFileError(
            f"{name}: MP3 holds sample rates of {', '.join(map(str, _MP3_RATES))} Hz only, "
            f"got {sample_rate} Hz"
        )
    if subtype == "VORBIS" and sample_rate > VORBIS_MOST_RATE:
        raise AudioFileError(
            f"{name}: Ogg Vorbis holds sample rates up to {VORBIS_MOST_RATE} Hz, "
            f"got {sample_rate} Hz"
        )
    if bitrate is None:
        return
    check_bitrate_format(name, subtype, bitrate)
    bitrate = mp3_bitrate(name, bitrate)
    if sample_rate < _MP3_LOWEST_RATE:
        raise AudioFileError(
            f"{name}: a fixed MP3 bit rate needs a sample rate of "
            f"{_MP3_LOWEST_RATE} Hz or more, got {sample_rate} Hz"
        )
    if channels is not None and not _mp3_keeps_length(sample_rate, channels, bitrate):
        good = next(
            (
                r
                for r in MP3_BITRATES
                if r > bitrate and _mp3_keeps_length(sample_rate, channels, r)
            ),
            None,
        )
        raise AudioFileError(
            f"{name}: MP3 at {bitrate} kbit/s would shift the audio at {sample_rate} Hz "
            f"and {counted(channels, 'channel')} (its frames are too small for the header "
            f"that states the encoder's delay){f'; use {good} kbit/s or more' if good else ''}"
        )


def sample_bytes(subtype: str) -> int | None:
    """Bytes per sample of a fixed-size sample format; None for compressed ones."""
    return _SAMPLE_BYTES.get(subtype)


def _gib(size: int) -> str:
    return f"{size / 2**30:.1f} GiB"


def data_bytes(subtype: str, channels: int, frames: int) -> int:
    """The size of ``frames`` frames of sample data, 0 for compressed sample formats."""
    return frames * channels * (sample_bytes(subtype) or 0)


def fits_size_field(subtype: str, channels: int, frames: int) -> bool:
    """Whether a WAV or AIFF file of this many frames stays within its 32-bit size fields."""
    return data_bytes(subtype, channels, frames) + _HEADER_ALLOWANCE <= SIZE_FIELD_LIMIT


def counted_size(container: str, subtype: str, channels: int, frames: int) -> int | None:
    """The bytes that the 32-bit size fields of a WAV or AIFF output of this many frames
    must count (its header's allowance included); None for a container without them."""
    if container not in _SIZE_COUNTED:
        return None
    return data_bytes(subtype, channels, frames) + _HEADER_ALLOWANCE


def size_refusal(label: str, container: str, size: int) -> str:
    """The message for audio that a container's 32-bit size fields cannot count."""
    return (
        f"{label}: {_gib(size)} of audio is more than {container} files hold "
        f"({_gib(SIZE_FIELD_LIMIT)}); write .w64, .caf or .flac instead"
    )


def plan_container(
    label: str, container: str, subtype: str, channels: int, frames: int | None
) -> tuple[str, str | None]:
    """The container to write for ``frames`` frames (None: not known), and a note for the
    caller to show when it differs from the one asked for.

    WAV output too large for its 32-bit size fields becomes RF64; AIFF output of that size
    is refused, as is FLAC output past its 36-bit frame count, and output of no frames in a
    format libsndfile cannot read back empty. Raises :class:`AudioFileError`."""
    if frames is None:
        return container, None
    check_length(label, container, subtype, frames)
    if container in _SIZE_COUNTED and not fits_size_field(subtype, channels, frames):
        size = data_bytes(subtype, channels, frames)
        larger = _LARGE_FORMS.get(container)
        if larger is None:
            raise AudioFileError(size_refusal(label, container, size))
        return larger, (
            f"{label}: {_gib(size)} of audio is more than {container} files "
            f"hold ({_gib(SIZE_FIELD_LIMIT)}); written as {larger}, the WAV "
            "form with 64-bit sizes"
        )
    return container, None


def check_length(label: str, container: str, subtype: str, frames: int) -> None:
    """Refuses a frame count the format cannot hold: none at all for FLAC, MP3 and Opus
    (libsndfile writes such files but cannot open them), past 2**36 - 1 for FLAC."""
    if frames == 0 and (container in _NO_EMPTY_FILES or subtype in _NO_EMPTY_SUBTYPES):
        kind = "Opus" if subtype == "OPUS" else container
        raise AudioFileError(
            f"{label}: the audio has no frames, and an empty {kind} file "
            f"cannot be read back; write {_EMPTY_ALTERNATIVES} instead"
        )
    if container == "FLAC" and frames > _FLAC_MOST_FRAMES:
        raise AudioFileError(
            f"{label}: FLAC files hold at most {_FLAC_MOST_FRAMES} frames, the audio has {frames}"
        )
