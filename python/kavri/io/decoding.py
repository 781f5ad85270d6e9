"""Compressed inputs that libsndfile cannot read (M4A/AAC, WMA, WebM and Matroska with Opus
or Vorbis, ...), or reads badly (MP3), decoded through PyAV, whose wheels carry FFmpeg's
libraries.

:class:`DecodedSource` offers what :class:`kavri.io.BlockReader` and :func:`kavri.read` use
of a ``soundfile.SoundFile`` (``samplerate``, ``channels``, ``frames``, ``format``,
``subtype``, ``seek(0)``, ``buffer_read_into``), so a decoded file is streamed like any
other: in blocks, into one bounded buffer. FFmpeg's decoders are exact integer or
floating-point programs run on one thread here, so the same file gives the same samples on
every run. A container states its length only as a duration, so ``frames`` is an estimate
(``exact_length`` is False): the frames decoded are what count, and a file is said to end
early only when its container's header states the duration (MP4, Matroska, ASF) and it falls
far short of that (less than half, and by more than a second: a download cut part way).
"""

from __future__ import annotations

import os
import warnings
from typing import IO, Any, Literal

import numpy as np
import numpy.typing as npt

from .._audio import pcm_to_float
from .._engine import check_memory as guard_memory
from .._locks import ForkSafeLock
from ..catalogue import counted
from ..errors import AudioFileError, KavriWarning
from .channel_order import Layout


def _av() -> Any:
    """PyAV, imported when a file is first decoded through it: loading its codec libraries
    would take a sixth of every command's start-up. :class:`MemoryError` when its libraries
    cannot be mapped (under an address-space limit they take some 130 MiB), which had
    reached the command line as a traceback of the import."""
    try:
        import av
        import av.error
    except ImportError as error:
        if "failed to map segment" not in str(error) and "cannot allocate" not in str(error):
            raise
        raise MemoryError(f"FFmpeg's libraries cannot be loaded: {error}") from None
    return av


__all__ = ["DecodedSource", "DECODED_FORMATS", "is_mpeg_audio", "open_decoded"]

# What PyAV is relied on for, as (suffixes, description); libsndfile reads the rest.
DECODED_FORMATS: tuple[tuple[str, str], ...] = (
    (".mp3", "MP3 (MPEG layer III)"),
    (".m4a .mp4 .aac", "MPEG-4 audio: AAC and ALAC (phones, Zoom and other recorders)"),
    (".wma .asf", "Windows Media Audio"),
    (".webm .mka .mkv", "WebM and Matroska: Opus, Vorbis, AAC, FLAC"),
    (".ac3 .eac3", "Dolby Digital"),
    (".amr .3gp", "AMR speech (older phones)"),
)

# The demuxers a file may be opened with (FFmpeg's names), those of the formats above and of
# the files libsndfile misreads. FFmpeg knows a file by its content, and others among its
# demuxers read on from what a file says: an SDP description opened UDP ports and waited on
# them, an ffconcat list read the files it named. They never get the file.
_DEMUXERS = ",".join(
    ("mp3", "mov", "asf", "matroska", "ac3", "eac3", "amr", "amrnb", "amrwb", "aac")
    + ("flac", "ogg", "caf", "w64", "wav", "aiff")
)

# FFmpeg's sample formats read (planar or packed); all but s64 are converted by the rules
# for arrays, s64 by its own full scale.
_FORMATS = frozenset({"u8", "s16", "s32", "s64", "flt", "dbl"})
# PyAV (up to 19 at least) cannot always hand over a planar frame of this many channels or
# more ("plane index 8 out of range for 8 planes"): 7.1 AAC, Vorbis or Opus was unreadable.
_PLANES_MISREAD = 8


def _interleaved(frame: Any, converter: Any) -> npt.NDArray[Any]:
    """A planar frame's samples interleaved by FFmpeg's ``converter`` (see
    :func:`_interleaver`) into the packed form of the same sample format: the same values,
    only reordered. The converter at the same rate holds nothing back."""
    parts = [part.to_ndarray() for part in converter.resample(frame)]
    return np.concatenate(parts, axis=1) if parts else np.zeros((1, 0), np.float32)


def _interleaver(frame: Any) -> Any:
    """FFmpeg's converter of ``frame``'s planar format to its packed form, at its rate: made
    once a stream (a converter a frame took half a millisecond each)."""
    packed = frame.format.name.rstrip("p")
    return _av().AudioResampler(format=packed, layout=frame.layout, rate=frame.sample_rate)


# A decoded frame larger than this is shown to the memory guard before it is kept.
_GUARDED_FRAME_BYTES = 1 << 20


# The files whose refused packets were warned of, by label and identity (see _tell_once).
_TOLD: set[tuple[Any, ...]] = set()
_TOLD_KEPT = 4096
_TOLD_LOCK = ForkSafeLock()


class NoAudioStream(AudioFileError):
    """A file FFmpeg reads (a video, say) that holds no audio."""


def _stream_of(container: Any, label: str) -> Any:
    streams = container.streams.audio
    if not streams:
        raise NoAudioStream(f"{label}: not a readable audio file (it holds no audio stream)")
    stream = streams[0]
    context = stream.codec_context
    if context is None:  # a stream FFmpeg finds but has no decoder for (a damaged header)
        raise AudioFileError(
            f"{label}: not a readable audio file (FFmpeg has no decoder for its audio)"
        )
    # One thread: the samples then never depend on how work was shared out.
    context.thread_count = 1
    return stream


_DURATION_STATED = frozenset({"MOV", "MATROSKA", "ASF"})


class DecodedSource:
    """The first audio stream of a file that FFmpeg demuxes, decoded to float32 frames.

    ``handle`` is the open file (binary, seekable), which the caller closes after
    :meth:`close`. Raises :class:`AudioFileError` when FFmpeg finds no audio in it."""

    exact_length = False
    # Whether ``frames`` is a length the file states, which a file that gives fewer frames
    # is reported as falling short of: an MP3's Xing, Info or VBRI header.
    states_length = False
    length_plausible = True
    states_duration = False

    def __init__(self, handle: IO[bytes], label: str, demuxer: str | None = None) -> None:
        self._handle = handle
        self.label = label
        # The demuxer, where the file is known to be of one format: FFmpeg's guess from the
        # content took a short MP3 without a Xing header for an MPEG transport stream.
        self._demuxer = demuxer
        # The layout the file states where Kavri knows it otherwise (see channel_order).
        self.layout: Layout | None = None
        self._interleaver: Any = None
        self._container: Any = None
        self._frames: Any = None
        self._pending: npt.NDArray[np.float32] | None = None
        self._largest = 0
        stream = self._open()
        context = stream.codec_context
        self.samplerate = int(context.sample_rate)
        self.channels = int(context.layout.nb_channels or context.channels)
        if self.samplerate < 1 or self.channels < 1:
            self.close()
            raise AudioFileError(
                f"{label}: not a readable audio file (its audio stream states "
                f"{counted(self.channels, 'channel')} at {self.samplerate} Hz)"
            )
        container: Any = self._container
        self.format = str(container.format.name).split(",")[0].upper()
        self.subtype = str(context.name).upper()
        self.frames = self._estimate(stream)
        self.states_length = self.format == "MP3" and _mp3_states_length(handle)
        # A stated length more than the file could hold is damaged or forged: told of as
        # ever when the file ends early, but no output is planned for it (a count of 2**31
        # MPEG frames in a file of 48 KB had its output refused as 18 TiB).
        self.length_plausible = not self.states_length or self.frames <= (
            os.fstat(handle.fileno()).st_size * _MP3_FRAMES_PER_BYTE
        )
        # Whether the container's header states the duration (an MP4's movie header, a
        # Matroska segment's, an ASF file's) rather than FFmpeg estimating it from the
        # first frames' bit rate, which a variable-rate MP3 or AAC stream puts far out.
        self.states_duration = self.format in _DURATION_STATED and self.frames > 0

    def _open(self) -> Any:
        av = _av()
        self._handle.seek(0)
        self._interleaver = None
        try:
            self._container = av.open(
                self._handle,
                mode="r",
                format=self._demuxer,
                options={"format_whitelist": _DEMUXERS, "protocol_whitelist": "file"},
            )
        except (av.error.FFmpegError, ValueError, OSError) as error:
            raise AudioFileError(f"{self.label}: not a readable audio file ({error})") from None
        try:
            stream = _stream_of(self._container, self.label)
        except AudioFileError:
            self.close()
            raise
        self._frames = self._decoded(stream)
        self._pending = None
        return stream

    def _decoded(self, stream: Any) -> Any:
        """The stream's frames, packet by packet. A packet the decoder refuses is left out,
        as FFmpeg's own tools leave it, with one warning at the end: MP3 files joined end
        to end hold the second one's header frame there, and decoding stopped at it."""
        av = _av()
        refused = 0
        packets = self._container.demux(stream)
        try:
            for packet in packets:
                try:
                    yield from packet.decode()
                except (av.error.InvalidDataError, av.error.UndefinedError):
                    # The AC-3 and AAC decoders refuse a damaged packet with an error of
                    # their own number, which PyAV leaves undefined; the whole file had
                    # been refused.
                    refused += 1
        finally:
            # Closed while its container is open: a file read part way (a noise's excerpt)
            # had left FFmpeg's packet state behind, some 300 bytes a call for good.
            packets.close()
        if refused:
            self._tell_once(f"{self.label}: {counted(refused, 'undecodable packet')} left out")

    def _tell_once(self, text: str) -> None:
        """Warns of this file's refused packets once in the process for a file, not again at
        each opening, pass and loop through it (a noise file looped under five minutes gave
        22 lines). It counts as told once the warning is given: where a filter makes it an
        error, each call fails alike (the second had gone through without a word)."""
        status = os.fstat(self._handle.fileno())
        key = (self.label, status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)
        with _TOLD_LOCK:
            if key in _TOLD:
                return
            if len(_TOLD) >= _TOLD_KEPT:
                _TOLD.clear()
            _TOLD.add(key)  # taken before it is told, so that no other thread tells it too
        try:
            warnings.warn(text, KavriWarning, stacklevel=3)
        except BaseException:
            with _TOLD_LOCK:
                _TOLD.discard(key)
            raise

    def _estimate(self, stream: Any) -> int:
        """The length the container states, in frames; 0 when it states none."""
        if stream.duration is not None and stream.time_base is not None:
            seconds = float(stream.duration * stream.time_base)
        elif self._container.duration is not None:
            seconds = self._container.duration / _av().time_base
        else:
            return 0
        return max(0, round(seconds * self.samplerate))

    def seek(self, frames: int) -> int:
        """Back to the first frame (the only position asked for: a second pass)."""
        if frames != 0:
            raise AudioFileError(f"{self.label}: a decoded file is read from its start only")
        self.close()
        self._open()
        return 0

    def _next_frame(self) -> npt.NDArray[np.float32] | None:
        try:
            frame = next(self._frames)
        except StopIteration:
            return None
        except (_av().error.FFmpegError, ValueError, OSError) as error:
            raise AudioFileError(f"{self.label}: cannot read: {error}") from None
        if frame.sample_rate != self.samplerate or frame.layout.nb_channels != self.channels:
            raise AudioFileError(
                f"{self.label}: cannot read: the audio changes from "
                f"{counted(self.channels, 'channel')} at {self.samplerate} Hz "
                f"to {frame.layout.nb_channels} at {frame.sample_rate}"
            )
        size = frame.samples * self.channels * 8
        if size > max(self._largest, _GUARDED_FRAME_BYTES):
            try:
                guard_memory(size, f"{self.label}: a decoded frame of {frame.samples} frames")
            except MemoryError as refusal:
                raise AudioFileError(str(refusal)) from None
            self._largest = size
        name = frame.format.name
        if name.rstrip("p") not in _FORMATS:
            raise AudioFileError(f"{self.label}: cannot read samples of format {name}")
        samples: npt.NDArray[Any]
        if frame.format.is_planar and self.channels >= _PLANES_MISREAD:
            if self._interleaver is None:
                self._interleaver = _interleaver(frame)
            samples = _interleaved(frame, self._interleaver).reshape(-1, self.channels)
        elif frame.format.is_planar:
            samples = frame.to_ndarray().T
        else:
            samples = frame.to_ndarray().reshape(-1, self.channels)
        if samples.dtype == np.int64:
            return (samples.astype(np.float64) / 2.0**63).astype(np.float32)
        return np.ascontiguousarray(pcm_to_float(samples))

    def buffer_read_into(
        self, buffer: npt.NDArray[np.float32], dtype: Literal["float32"] = "float32"
    ) -> int:
        """Fills ``buffer`` ((frames, channels) float32) from the start with the next
        decoded frames; returns how many it filled, 0 at the end."""
        wanted, filled = buffer.shape[0], 0
        while filled < wanted:
            if self._pending is None or not self._pending.shape[0]:
                self._pending = self._next_frame()
                if self._pending is None:
                    break
            take = min(wanted - filled, self._pending.shape[0])
            buffer[filled : filled + take] = self._pending[:take]
            self._pending = self._pending[take:]
            filled += take
        return filled

    def close(self) -> None:
        if self._frames is not None:
            self._frames.close()  # its demuxer first, while the container is open
            self._frames = None
        if self._container is not None:
            self._container.close()
            self._container = None

    def __enter__(self) -> DecodedSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def open_decoded(handle: IO[bytes], label: str, demuxer: str | None = None) -> DecodedSource:
    """A :class:`DecodedSource` over an open file, read by ``demuxer`` (FFmpeg's name of a
    format, such as "mp3") where the format is known; :class:`AudioFileError` when FFmpeg
    cannot read audio from it."""
    return DecodedSource(handle, label, demuxer)


def _first_frame(handle: IO[bytes]) -> int:
    """Where the audio of a file begins: after an ID3v2 tag, whose size is syncsafe."""
    head = os.pread(handle.fileno(), 10, 0)
    if head[:3] == b"ID3" and len(head) == 10:
        return 10 + sum((byte & 0x7F) << (7 * (3 - i)) for i, byte in enumerate(head[6:]))
    return 0


def is_mpeg_audio(handle: IO[bytes]) -> bool:
    """Whether a file begins (after any ID3v2 tag) with an MPEG audio frame's sync and a
    layer (I, II or III): an MP3, which FFmpeg decodes. No other format libsndfile reads
    begins so (AAC's ADTS frames have layer 0)."""
    sync = os.pread(handle.fileno(), 2, _first_frame(handle))
    return len(sync) == 2 and sync[0] == 0xFF and sync[1] & 0xE0 == 0xE0 and sync[1] & 0x06 != 0


# The most frames an MP3 holds per byte: its densest stream (8 kbit/s at 24 kHz) holds 576
# in 24 bytes, 24 a byte; a header stating more than this allows is damaged or forged.
_MP3_FRAMES_PER_BYTE = 64


def _mp3_states_length(handle: IO[bytes]) -> bool:
    """Whether an MP3's first frame is a Xing, Info or VBRI header, which states its length
    (without one, the length is worked out from the size and the first frame's bit rate)."""
    first = os.pread(handle.fileno(), 2048, _first_frame(handle))
    return any(tag in first for tag in (b"Xing", b"Info", b"VBRI"))


def decoded_suffixes() -> list[str]:
    """The suffixes of the formats read through PyAV."""
    return [suffix for suffixes, _ in DECODED_FORMATS for suffix in suffixes.split()]
