"""Audio through pipes as a stream: WAV read and written front to back, and raw PCM.

Reading: a WAV stream is parsed chunk by chunk up to its sample data, which is then read
block by block as the pipe delivers it, with no copy to disk. Its header bytes are kept (at
most ``HEADER_LIMIT``), so that a WAV that cannot be read front to back (a sample format
other than 8-, 16-, 24- or 32-bit PCM or 32- or 64-bit float, or chunks before the data
too large to hold) is spooled as before, header included. In a pipe, a data size of 0 or
0xFFFFFFFF, or one past ``UNKNOWN_DATA_SIZE`` (SoX writes about 2 GiB into a pipe), means
"until the stream ends". Raw PCM (``RawFormat``) is read the same way, its rate, channels
and encoding given by the caller.

Writing: :class:`StreamSink` takes what :class:`kavri.io.AudioWriter` hands it and writes
the bytes out at once. A WAV stream starts with a header whose RIFF and data sizes are
0xFFFFFFFF, as FFmpeg writes into a pipe (its length is not known until the end, and a pipe
cannot go back to fix it); its tags, if any, go into a RIFF INFO list before the data.
"""

from __future__ import annotations

import io
import os
import select
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from typing import IO, Literal

import numpy as np
import numpy.typing as npt

from .._audio import MAX_SAMPLE_RATE, check_count, pcm_to_float
from .._engine import check_memory as guard_memory
from .._stop import StopRequest
from ..catalogue import counted
from ..errors import AudioFileError, Interrupted
from .channel_order import Layout, mask_layout, wave_mask
from .formats import DEFAULT_CHANNEL_LIMIT
from .streams import write_all

__all__ = [
    "ENCODINGS",
    "HEADER_LIMIT",
    "UNKNOWN_DATA_SIZE",
    "RawFormat",
    "ByteSource",
    "StreamSource",
    "StreamSink",
    "WavHeader",
    "parse_wav_header",
    "wav_stream_header",
    "encoding_of_subtype",
]

# Raw encodings by name: the libsndfile subtype they match and the bytes of one sample.
ENCODINGS: dict[str, tuple[str, int]] = {
    "s16le": ("PCM_16", 2),
    "s24le": ("PCM_24", 3),
    "s32le": ("PCM_32", 4),
    "f32le": ("FLOAT", 4),
    "f64le": ("DOUBLE", 8),
}
_SUBTYPE_ENCODINGS = {subtype: name for name, (subtype, _) in ENCODINGS.items()}

# The most header bytes before the sample data that a streamed WAV may have.
HEADER_LIMIT = 1 << 20
# Data sizes from here up mean "until the end" in a pipe.
UNKNOWN_DATA_SIZE = 0x7FFF0000
_UNKNOWN_SIZE = 0xFFFFFFFF
# How long a wait for input on a pipe lasts between looks at the stop request (ms).
_POLL_MS = 100
# WAVE format tags: integer PCM, float, and extensible (the tag then in its sub-format).
WAVE_PCM, WAVE_FLOAT, WAVE_EXTENSIBLE = 1, 3, 0xFFFE
# An extensible header's sub-format is a GUID: the format tag, then these 14 bytes.
_SUB_FORMAT_TAIL = bytes.fromhex("000000001000800000aa00389b71")
# What the RIFF INFO list holds, by common tag name.
INFO_KEYS: dict[str, bytes] = {
    "title": b"INAM",
    "artist": b"IART",
    "album": b"IPRD",
    "date": b"ICRD",
    "genre": b"IGNR",
    "comment": b"ICMT",
    "tracknumber": b"ITRK",
    "copyright": b"ICOP",
}
_INFO_NAMES = {chunk: name for name, chunk in INFO_KEYS.items()}


def encoding_of_subtype(subtype: str) -> str | None:
    """The raw encoding that holds a libsndfile subtype, or None."""
    return _SUBTYPE_ENCODINGS.get(subtype)


@dataclass(frozen=True)
class RawFormat:
    """Headerless PCM: ``sample_rate`` in hertz, ``channels``, and ``encoding``, one of
    ``ENCODINGS`` (s16le, s24le, s32le, f32le, f64le). Checked when made
    (:class:`AudioFileError`)."""

    sample_rate: int
    channels: int
    encoding: str = "f32le"

    def __post_init__(self) -> None:
        if self.encoding not in ENCODINGS:
            raise AudioFileError(
                f"unknown raw encoding '{self.encoding}'; use one of {', '.join(ENCODINGS)}"
            )
        for field, name, value, top in (
            ("sample_rate", "sample rate", self.sample_rate, MAX_SAMPLE_RATE),
            ("channels", "channel count", self.channels, DEFAULT_CHANNEL_LIMIT),
        ):
            # Whole numbers as everywhere else: NumPy's, and a whole float (48000.0).
            try:
                number = check_count(name, value)
            except (TypeError, ValueError):
                number = 0
            if not 1 <= number <= top:
                raise AudioFileError(f"raw audio needs a {name} from 1 to {top}, got {value!r}")
            object.__setattr__(self, field, number)

    @property
    def subtype(self) -> str:
        return ENCODINGS[self.encoding][0]


class ByteSource:
    """Reads bytes in order from a pipe's descriptor or an open file. A pipe is waited on
    in short polls that look at ``stop`` (:class:`kavri.Interrupted` once it is set), so a
    writer that never comes does not hold a stop up."""

    def __init__(
        self,
        label: str,
        *,
        descriptor: int | None = None,
        file: io.BufferedIOBase | None = None,
        stop: StopRequest | None = None,
        prefix: bytes = b"",
    ) -> None:
        self.label = label
        self.descriptor = descriptor
        self.file = file
        self.stop = stop
        self._prefix = prefix
        self.kept = bytearray()  # the header bytes, while ``keep`` is set
        self.keep = False

    @property
    def seekable(self) -> bool:
        return self.file is not None

    def _wait(self, descriptor: int) -> None:
        poller = select.poll()
        poller.register(descriptor, select.POLLIN | select.POLLPRI)
        while not poller.poll(_POLL_MS):
            self._check_stop()

    def _check_stop(self) -> None:
        if self.stop is not None and self.stop.is_set():
            raise Interrupted(f"{self.label}: interrupted while reading")

    def read_into(self, view: memoryview) -> int:
        """Fills ``view`` as far as the input goes; returns the bytes read, fewer only at
        the end of the input."""
        filled = 0
        if self._prefix:
            take = min(len(self._prefix), len(view))
            view[:take] = self._prefix[:take]
            self._prefix = self._prefix[take:]
            filled = take
        while filled < len(view):
            got = self._read_some(view[filled:])
            if got == 0:
                break
            filled += got
        if self.keep:
            self.kept += view[:filled]
        return filled

    def _read_some(self, view: memoryview) -> int:
        if self.file is not None:
            self._check_stop()
            try:
                return self.file.readinto(view) or 0
            except OSError as error:
                raise AudioFileError(f"{self.label}: cannot read: {error.strerror}") from None
        assert self.descriptor is not None
        while True:
            self._check_stop()
            self._wait(self.descriptor)
            try:
                return os.readv(self.descriptor, [view])
            except BlockingIOError:
                continue  # woken without data (a writer came and went): wait again
            except OSError as error:
                raise AudioFileError(f"{self.label}: cannot read: {error.strerror}") from None

    def read(self, size: int) -> bytes:
        buffer = bytearray(size)
        got = self.read_into(memoryview(buffer))
        return bytes(buffer[:got])

    def skip(self, size: int) -> int:
        """Reads past ``size`` bytes in pieces; returns how many there were."""
        piece = bytearray(min(size, 1 << 16))
        skipped = 0
        while skipped < size:
            view = memoryview(piece)[: min(len(piece), size - skipped)]
            got = self.read_into(view)
            skipped += got
            if got < len(view):
                break
        return skipped


@dataclass
class WavHeader:
    """What :func:`parse_wav_header` found: the sample format, the data size in bytes
    (None: until the end), the RIFF INFO tags and the layout an extensible header states
    (see :func:`kavri.io.channel_order.stated_layout`)."""

    sample_rate: int
    channels: int
    subtype: str
    data_bytes: int | None
    tags: dict[str, str]
    layout: Layout | None = None


class _NotStreamable(Exception):
    """A WAV stream that cannot be read front to back; it is spooled instead."""


def _sample_format(tag: int, bits: int, extension: bytes) -> str:
    # The extension (after its size) holds the valid bits (2 bytes), the channel mask (4)
    # and the sub-format GUID, whose first two bytes are the format's tag. They were read
    # two bytes late, so every extensible stream (24-bit, more than 2 channels, from ffmpeg)
    # was copied to the disk before any audio came out, instead of streamed.
    if tag == WAVE_EXTENSIBLE and len(extension) >= 8:
        tag = struct.unpack_from("<H", extension, 6)[0]
    if tag == WAVE_PCM and bits in (8, 16, 24, 32):
        return "PCM_U8" if bits == 8 else f"PCM_{bits}"
    if tag == WAVE_FLOAT and bits in (32, 64):
        return "FLOAT" if bits == 32 else "DOUBLE"
    raise _NotStreamable(f"format {tag:#06x} of {bits} bits")


def _mask_layout(tag: int, channels: int, extension: bytes) -> Layout | None:
    """The layout an extensible header's channel mask states; a mask of 0 names no
    speakers, and one that does not name a speaker a channel, nothing."""
    if tag != WAVE_EXTENSIBLE or len(extension) < 8:
        return None
    return mask_layout(channels, struct.unpack_from("<I", extension, 2)[0])  # after valid bits


def info_tags(body: bytes) -> dict[str, str]:
    """The tags of a RIFF LIST INFO chunk's body (from its "INFO"). A value that is not
    UTF-8 is taken as Windows' western code page, in which the tools that write INFO
    without UTF-8 write it: "caf\\xe9" is "café", where it had become "caf\ufffd"."""
    tags: dict[str, str] = {}
    position = 4
    while position + 8 <= len(body):
        chunk, size = body[position : position + 4], struct.unpack_from("<I", body, position + 4)[0]
        value = body[position + 8 : position + 8 + size].split(b"\0", 1)[0]
        name = _INFO_NAMES.get(chunk)
        if name is not None and value:
            tags[name] = _info_text(value)
        position += 8 + size + (size & 1)
    return tags


def _info_text(value: bytes) -> str:
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        pass
    try:
        return value.decode("cp1252")
    except UnicodeDecodeError:  # the five bytes the code page leaves out
        return value.decode("latin-1")


def parse_wav_header(source: ByteSource, pipe: bool) -> WavHeader | None:
    """Reads a WAV header up to its sample data. None when the input is not WAV (RIFF or
    RF64) or cannot be read front to back; ``source.kept`` then holds every byte read, for
    a spool. :class:`AudioFileError` for a WAV header that ends before its data."""
    source.keep = True
    head = source.read(12)
    if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
        return None
    fmt: tuple[int, int, int, int, bytes] | None = None
    tags: dict[str, str] = {}
    large_data: int | None = None
    try:
        while True:
            chunk = source.read(8)
            if len(chunk) < 8:
                raise AudioFileError(f"{source.label}: the WAV header ends before its data")
            name, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if name == b"data":
                break
            if len(source.kept) + size > HEADER_LIMIT:
                raise _NotStreamable("chunks before the data too large")
            body = source.read(size + (size & 1))
            if len(body) < size:
                raise AudioFileError(f"{source.label}: the WAV header ends before its data")
            if name == b"fmt " and size >= 16:
                tag, channels, rate = struct.unpack_from("<HHI", body)
                align, bits = struct.unpack_from("<HH", body, 12)
                fmt = (tag, channels, rate, bits, body[18:size])
            elif name == b"ds64" and size >= 16:
                large_data = struct.unpack_from("<Q", body, 8)[0]
            elif name == b"LIST" and body[:4] == b"INFO":
                tags = info_tags(body[:size])
        if fmt is None:
            raise AudioFileError(f"{source.label}: not a readable audio file (no format chunk)")
        tag, channels, rate, bits, extension = fmt
        subtype = _sample_format(tag, bits, extension)
        if channels and align != _sample_bytes(subtype) * channels:
            # Samples in wider slots (24 bits in 32): read from the spool by libsndfile, as
            # from a file; read here they came out as noise.
            raise _NotStreamable("a block align other than the samples'")
    except _NotStreamable:
        source.keep = True
        return None
    source.keep = False
    source.kept.clear()
    if not 1 <= channels <= DEFAULT_CHANNEL_LIMIT or rate < 1:
        raise AudioFileError(
            f"{source.label}: not a readable audio file "
            f"({counted(channels, 'channel')} at {rate} Hz)"
        )
    data: int | None = size
    if head[:4] == b"RF64" and size == _UNKNOWN_SIZE:
        data = large_data
        # An RF64 stream written to a pipe states no size in its ds64 chunk either: it was
        # taken as empty, and gave a file of no frames with exit status 0.
        if pipe and (not data or data >= 1 << 63):
            data = None
    elif pipe and (size in (0, _UNKNOWN_SIZE) or size >= UNKNOWN_DATA_SIZE):
        data = None
    return WavHeader(rate, channels, subtype, data, tags, _mask_layout(tag, channels, extension))


def _sample_bytes(subtype: str) -> int:
    return (
        1
        if subtype == "PCM_U8"
        else {"PCM_16": 2, "PCM_24": 3}.get(subtype, 0) or (8 if subtype == "DOUBLE" else 4)
    )


def _to_float(raw: memoryview, subtype: str, channels: int) -> npt.NDArray[np.floating]:
    """Little-endian samples as floats scaled to [-1, 1), as libsndfile scales them."""
    if subtype == "FLOAT":
        return np.frombuffer(raw, "<f4").reshape(-1, channels)
    if subtype == "DOUBLE":
        return np.frombuffer(raw, "<f8").reshape(-1, channels)
    if subtype in _WORDS:
        return pcm_to_float(np.frombuffer(raw, _WORDS[subtype]))
    # 24-bit samples become the top three bytes of int32 words, on int32's full scale.
    triples = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
    return pcm_to_float((triples[:, 0] << 8) | (triples[:, 1] << 16) | (triples[:, 2] << 24))


_WORDS: dict[str, np.dtype[np.integer]] = {
    "PCM_U8": np.dtype(np.uint8),
    "PCM_16": np.dtype("<i2"),
    "PCM_32": np.dtype("<i4"),
}


class StreamSource:
    """Interleaved little-endian samples read in order from a :class:`ByteSource`, with
    the part of a ``soundfile.SoundFile`` that :class:`kavri.io.BlockReader` uses.

    ``data_bytes`` is the size of the sample data, None for "until the end"; then
    ``frames`` is 0 and ``exact_length`` False. ``seek(0)`` works on a file only (a second
    pass); a pipe is read once."""

    def __init__(
        self,
        source: ByteSource,
        sample_rate: int,
        channels: int,
        subtype: str,
        data_bytes: int | None,
        container: str,
        layout: Layout | None = None,
    ) -> None:
        self._source = source
        self.layout = layout
        self.samplerate = sample_rate
        self.channels = channels
        self.subtype = subtype
        self.format = container
        self._frame_bytes = _sample_bytes(subtype) * channels
        self._data_bytes = data_bytes
        self.exact_length = data_bytes is not None
        self.frames = 0 if data_bytes is None else data_bytes // self._frame_bytes
        self._start = source.file.tell() if source.file is not None else 0
        self._consumed = 0
        self._bytes = bytearray()
        # Bytes at the end too few for a whole frame, left out (known once they are met).
        self.partial_bytes = 0 if data_bytes is None else data_bytes % self._frame_bytes

    def seek(self, frames: int) -> int:
        if frames != 0 or self._source.file is None:
            raise AudioFileError(
                f"{self._source.label}: a pipe can be read only once; give a file, or "
                "read it for one pass only"
            )
        self._source.file.seek(self._start)
        self._consumed = 0
        return 0

    def buffer_read_into(
        self, buffer: npt.NDArray[np.float32], dtype: Literal["float32"] = "float32"
    ) -> int:
        wanted = buffer.shape[0] * self._frame_bytes
        if self._data_bytes is not None:
            wanted = min(wanted, self._data_bytes - self._consumed)
            wanted -= wanted % self._frame_bytes
        if wanted <= 0:
            return 0
        if len(self._bytes) < wanted:
            try:
                guard_memory(wanted, f"{self._source.label}: reading {wanted} bytes at a time")
            except MemoryError as refusal:
                raise AudioFileError(str(refusal)) from None
            self._bytes = bytearray(wanted)
        view = memoryview(self._bytes)[:wanted]
        got = self._source.read_into(view)
        self._consumed += got
        frames = got // self._frame_bytes
        if got % self._frame_bytes:  # fewer than asked for: the end of the input
            self.partial_bytes = got % self._frame_bytes
        if frames:
            samples = _to_float(view[: frames * self._frame_bytes], self.subtype, self.channels)
            buffer[:frames] = samples.reshape(frames, self.channels)
        return frames


def _info_list(tags: Mapping[str, str]) -> bytes:
    body = b"INFO"
    for name, chunk in INFO_KEYS.items():
        value = tags.get(name)
        if value:
            data = value.encode("utf-8") + b"\0"
            body += chunk + struct.pack("<I", len(data)) + data + b"\0" * (len(data) & 1)
    return b"LIST" + struct.pack("<I", len(body)) + body if len(body) > 4 else b""


def wav_stream_header(
    sample_rate: int,
    channels: int,
    subtype: str,
    tags: Mapping[str, str] | None = None,
    layout: Layout | None = None,
) -> bytes:
    """The header of a WAV stream of unknown length: RIFF and data sizes of 0xFFFFFFFF, a
    16-byte format chunk for integer PCM or an 18-byte one for float (an extensible one
    with the layout's mask for 3 to 8 channels, or with the mask of ``layout``, a stated
    one), and the tags WAV holds in a RIFF INFO list."""
    width = _sample_bytes(subtype)
    block = width * channels
    if sample_rate * block > 0xFFFFFFFF:
        raise AudioFileError(
            f"{counted(channels, 'channel')} at {sample_rate} Hz: more bytes a second than a "
            "WAV header can state"
        )
    tag = WAVE_FLOAT if subtype in ("FLOAT", "DOUBLE") else WAVE_PCM
    mask = wave_mask(channels, layout)
    extensible = bool(mask) or layout == ()
    fmt = struct.pack(
        "<HHIIHH",
        WAVE_EXTENSIBLE if extensible else tag,
        channels,
        sample_rate,
        sample_rate * block,
        block,
        width * 8,
    )
    if extensible:  # the layout's mask, and the format as a sub-format
        fmt += struct.pack("<HHIH", 22, width * 8, mask, tag) + _SUB_FORMAT_TAIL
    elif tag == WAVE_FLOAT:
        fmt += struct.pack("<H", 0)
    return (
        b"RIFF"
        + struct.pack("<I", _UNKNOWN_SIZE)
        + b"WAVE"
        + b"fmt "
        + struct.pack("<I", len(fmt))
        + fmt
        + _info_list(tags or {})
        + b"data"
        + struct.pack("<I", _UNKNOWN_SIZE)
    )


class StreamSink:
    """Takes what :class:`kavri.io.AudioWriter` writes (int16, int32 or float32 arrays, as
    it hands libsndfile) and writes it as little-endian PCM to a binary stream, at once.
    ``container`` is "WAV" (a header first, see :func:`wav_stream_header`) or "RAW"."""

    def __init__(
        self,
        out: IO[bytes],
        sample_rate: int,
        channels: int,
        subtype: str,
        container: str,
        tags: Mapping[str, str] | None = None,
        layout: Layout | None = None,
    ) -> None:
        if subtype not in _SUBTYPE_ENCODINGS:
            raise AudioFileError(
                f"a stream holds samples of {', '.join(ENCODINGS)} only, not {subtype}"
            )
        self._out = out
        self.samplerate = sample_rate
        self.channels = channels
        self.subtype = subtype
        self.format = container
        self.bytes_written = 0
        if container == "WAV":
            self._put(wav_stream_header(sample_rate, channels, subtype, tags, layout))

    def _put(self, data: bytes | memoryview) -> None:
        write_all(self._out, data)
        self._out.flush()
        self.bytes_written += len(data)

    def write(self, data: np.ndarray) -> None:
        if self.subtype == "PCM_24":
            # 24 bits arrive in the top of a 32-bit word: its upper three bytes.
            words = np.ascontiguousarray(data, "<i4").view(np.uint8).reshape(-1, 4)
            self._put(np.ascontiguousarray(words[:, 1:]).tobytes())
            return
        kind = {"PCM_16": "<i2", "PCM_32": "<i4", "FLOAT": "<f4", "DOUBLE": "<f8"}[self.subtype]
        self._put(np.ascontiguousarray(data, kind).tobytes())
