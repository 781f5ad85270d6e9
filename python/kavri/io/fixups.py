"""Corrections made to files libsndfile has written, so that the same audio always gives
the same bytes and every reader accepts the result.

* Ogg streams get a fixed serial number (libsndfile draws one from the clock).
* Float WAV files carry no PEAK chunk (it holds the time of writing), and their format
  chunk gets the extension size that every format but integer PCM carries.
* RF64 files keep the PEAK chunk that libsndfile writes whatever it is told, with the
  time stamp set to 0.
* WAV files of 3 to 8 channels name their layout in a channel mask, or carry the input's
  (a mask of 0 where it names no speakers).
* Float AIFF files carry no PEAK chunk either; libsndfile leaves the space it had kept for
  one inside the data of a short file, which is cut away here.
"""

from __future__ import annotations

import struct
import zlib
from typing import Any

import numpy as np
import soundfile as sf

from ..errors import AudioFileError

__all__ = [
    "OGG_SERIAL",
    "disable_peak_chunk",
    "channel_map",
    "set_channel_map",
    "fix_ogg_serial",
    "complete_float_wav_header",
    "clear_rf64_peak_time",
    "clear_channel_mask",
    "trim_aiff",
]

OGG_SERIAL = 0x4B415652

# libsndfile's commands that turn the PEAK chunk of float WAV, AIFF and CAF files on or
# off, and that get and set the channel layout a WAVEX, RF64 or W64 header's mask states.
# soundfile has no call for them, so they are sent through soundfile's own binding.
_SFC_SET_ADD_PEAK_CHUNK = 0x1050
_SFC_GET_CHANNEL_MAP_INFO = 0x1100
_SFC_SET_CHANNEL_MAP_INFO = 0x1101


def _command(handle: sf.SoundFile, code: int, data: object, size: int) -> bool:
    """Sends libsndfile a command that soundfile has no call for, through soundfile's own
    binding: the one place that reaches into it. A soundfile that no longer has it is
    reported, not silently written without what the command was for."""
    try:
        command = sf._snd.sf_command
        native = handle._file
    except AttributeError as missing:
        raise AudioFileError(
            f"soundfile {sf.__version__} no longer exposes libsndfile's sf_command "
            f"({missing}); Kavri needs updating for this soundfile"
        ) from None
    return bool(command(native, code, data, size))


def disable_peak_chunk(handle: sf.SoundFile) -> None:
    """Leaves the PEAK chunk out of a float file just opened for writing (before any
    frame is written). The command is refused harmlessly by formats that never have one."""
    _command(handle, _SFC_SET_ADD_PEAK_CHUNK, sf._ffi.NULL, 0)  # type: ignore[attr-defined]


def channel_map(handle: sf.SoundFile) -> list[int] | None:
    """libsndfile's speaker number for each channel of a file opened for reading, as its
    header's mask states them; None where it states none (or not one for each channel)."""
    speakers = sf._ffi.new("int[]", handle.channels)  # type: ignore[attr-defined]
    if not _command(handle, _SFC_GET_CHANNEL_MAP_INFO, speakers, 4 * handle.channels):
        return None
    return list(speakers)


def set_channel_map(handle: sf.SoundFile, numbers: list[int]) -> None:
    """Gives a WAVEX or RF64 file just opened for writing the channel mask of the speakers
    ``numbers`` (libsndfile's, one a channel; see :mod:`kavri.io.channel_order`)."""
    speakers = sf._ffi.new("int[]", numbers)  # type: ignore[attr-defined]
    _command(handle, _SFC_SET_CHANNEL_MAP_INFO, speakers, 4 * len(numbers))


def _ogg_crc(page: bytes) -> int:
    """The CRC of an Ogg page (polynomial 0x04C11DB7, not reflected, no initial or final
    inversion), computed with zlib's reflected CRC-32 on bit-reversed bytes."""
    reflected = _BIT_REVERSED[np.frombuffer(page, np.uint8)].tobytes()
    raw = zlib.crc32(reflected) ^ zlib.crc32(bytes(len(reflected)))
    return int(f"{raw:032b}"[::-1], 2)


_BIT_REVERSED = np.array([int(f"{i:08b}"[::-1], 2) for i in range(256)], dtype=np.uint8)


def fix_ogg_serial(path: str) -> None:
    """Gives every page of an Ogg file the same fixed stream serial number and recomputes
    the page checksums. Pages are rewritten in place, one at a time."""
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
            struct.pack_into("<I", page, 14, OGG_SERIAL)
            struct.pack_into("<I", page, 22, 0)
            struct.pack_into("<I", page, 22, _ogg_crc(bytes(page)))
            stream.seek(position)
            stream.write(page)
            position += size


def complete_float_wav_header(path: str) -> None:
    """Gives a float WAV file's format chunk the two-byte extension size (0) that every
    format but integer PCM carries. libsndfile writes a bare 16-byte format chunk, which
    sox, for one, warns about on every read; its extensible header draws the same warning.
    The two bytes are taken from the padding chunk libsndfile puts before the data, so the
    header keeps its length and the samples stay where they are."""
    with open(path, "r+b") as stream:
        head = bytearray(stream.read(80))
        if (
            head[:4] != b"RIFF"
            or head[8:16] != b"WAVEfmt "
            or head[16:20] != b"\x10\0\0\0"
            or head[20:22] != b"\x03\0"
            or head[36:40] != b"fact"
            or head[48:52] != b"PAD "
        ):
            return
        padding = struct.unpack_from("<I", head, 52)[0]
        if padding < 2:
            return
        fact = bytes(head[36:48])
        patched = (
            b"fmt "
            + struct.pack("<I", 18)
            + bytes(head[20:36])
            + b"\0\0"
            + fact
            + b"PAD "
            + struct.pack("<I", padding - 2)
        )
        stream.seek(12)
        stream.write(patched)


def _wave_chunk(stream: Any, name: bytes) -> tuple[int, int] | None:
    """The place of the body of a WAV or RF64 file's chunk ``name`` before its data, and its
    size; None where there is none."""
    stream.seek(0)
    if stream.read(12)[8:12] != b"WAVE":
        return None
    position = 12
    while True:
        stream.seek(position)
        chunk = stream.read(8)
        if len(chunk) < 8 or chunk[:4] == b"data":
            return None
        size = struct.unpack("<I", chunk[4:])[0]
        if chunk[:4] == name:
            return position + 8, size
        position += 8 + size + (size & 1)


def clear_rf64_peak_time(path: str) -> None:
    """Sets the time stamp in the PEAK chunk of an RF64 file to 0. libsndfile writes the
    chunk into float RF64 files even when told not to, and stamps it with the time of
    writing. The chunks before the data are walked; nothing moves."""
    with open(path, "r+b") as stream:
        found = _wave_chunk(stream, b"PEAK")
        if found is not None and found[1] >= 8:
            stream.seek(found[0] + 4)  # after the chunk's version
            stream.write(bytes(4))


def clear_channel_mask(path: str) -> None:
    """Sets the channel mask of an extensible WAV or RF64 header to 0: channels without
    speakers. libsndfile writes the mask of a layout it picks by the count when given none."""
    with open(path, "r+b") as stream:
        found = _wave_chunk(stream, b"fmt ")
        if found is not None and found[1] >= 40:
            stream.seek(found[0])
            if struct.unpack("<H", stream.read(2))[0] == 0xFFFE:
                stream.seek(found[0] + 20)
                stream.write(bytes(4))


def trim_aiff(path: str, frames: int, frame_bytes: int) -> None:
    """Makes an AIFF file end with its last frame and count exactly ``frames`` frames.

    libsndfile writes a float AIFF header with room for a PEAK chunk; once the chunk is
    turned off it writes the shorter header, but the file keeps its first length. When the
    data is shorter than the space given up (fewer than about five frames), the stale
    bytes are read as extra frames of garbage. And it counts the pad byte after an odd
    number of 8-bit samples as a frame. The sound data chunk and the frame count are set to
    the frames written and the file is cut after them (and the pad byte)."""
    with open(path, "r+b") as stream:
        head = stream.read(12)
        if head[:4] != b"FORM" or head[8:12] not in (b"AIFF", b"AIFC"):
            return
        position, comm, ssnd = 12, -1, -1
        while ssnd < 0:
            stream.seek(position)
            chunk = stream.read(8)
            if len(chunk) < 8:
                return
            size = struct.unpack(">I", chunk[4:])[0]
            if chunk[:4] == b"COMM":
                comm = position
            elif chunk[:4] == b"SSND":
                ssnd = position
            position += 8 + size + (size & 1)
        if comm < 0:
            return
        stream.seek(ssnd + 4)
        size, offset = struct.unpack(">II", stream.read(8))
        stream.seek(comm + 10)
        counted = struct.unpack(">I", stream.read(4))[0]
        data = frames * frame_bytes
        end = ssnd + 16 + offset + data
        stream.seek(0, 2)
        if stream.tell() == end + (data & 1) and size == 8 + offset + data and counted == frames:
            return  # libsndfile got it right
        stream.seek(ssnd + 4)
        stream.write(struct.pack(">I", 8 + offset + data))
        stream.seek(comm + 10)
        stream.write(struct.pack(">I", frames))
        total = end + (data & 1)  # chunks are padded to an even size
        stream.seek(4)
        stream.write(struct.pack(">I", total - 8))
        stream.truncate(total)
        if data & 1:
            stream.seek(end)
            stream.write(b"\0")
