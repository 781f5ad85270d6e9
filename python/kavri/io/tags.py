"""Tags: read from an input, carried to the output where both formats hold them, and
written into the output's temporary file before it is put in place.

Tags travel under common names (title, artist, album, albumartist, date, genre, comment,
tracknumber, composer, copyright), mapped by mutagen's tag types onto each format's own:

* Vorbis comments (FLAC, Ogg Vorbis, Opus): the name in capitals; other names as given.
* ID3 (MP3; WAV and AIFF files written by other tools): TIT2, TPE1, TALB, TPE2, TDRC, TCON,
  COMM, TRCK, TCOM, TCOP; other names, and a date that is no time stamp, as TXXX frames.
* MP4 atoms (M4A) and ASF attributes (WMA), read only.
* RIFF INFO (WAV): INAM, IART, IPRD, ICRD, IGNR, ICMT, ITRK, ICOP, written by libsndfile into
  WAV files (and by :mod:`.pipes` into WAV streams) and read through it.

AIFF output gets an ID3 chunk. CAF, W64, RF64 and raw output hold no tags; tags given for
them explicitly are reported as not written. Nothing here depends on the clock, so the same
input and tags give the same bytes.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import soundfile as sf

from .._engine import check_memory as guard_memory
from .._paths import shown
from ..catalogue import cut_short, quoted
from ..errors import AudioFileError
from .pipes import INFO_KEYS, info_tags

if TYPE_CHECKING:
    import mutagen.asf
    import mutagen.id3
    import mutagen.mp4


def _mutagen() -> Any:
    """mutagen with the formats it tags, imported when tags are first read or written (it
    takes a tenth of a quick command's start-up)."""
    import mutagen
    import mutagen.aiff
    import mutagen.asf
    import mutagen.flac
    import mutagen.id3
    import mutagen.mp4
    import mutagen.oggopus
    import mutagen.oggvorbis

    return mutagen


__all__ = [
    "COMMON_KEYS",
    "TAG_CONTAINERS",
    "check_tags",
    "dropped_note",
    "read_tags",
    "soundfile_tags",
    "write_tags",
    "writable_tags",
]

COMMON_KEYS = (
    "title",
    "artist",
    "album",
    "albumartist",
    "date",
    "genre",
    "comment",
    "tracknumber",
    "composer",
    "copyright",
)
_ID3_FRAMES = {
    "title": "TIT2",
    "artist": "TPE1",
    "album": "TALB",
    "albumartist": "TPE2",
    "date": "TDRC",
    "genre": "TCON",
    "tracknumber": "TRCK",
    "composer": "TCOM",
    "copyright": "TCOP",
}
_MP4_ATOMS = {
    "title": "\xa9nam",
    "artist": "\xa9ART",
    "album": "\xa9alb",
    "albumartist": "aART",
    "date": "\xa9day",
    "genre": "\xa9gen",
    "comment": "\xa9cmt",
    "composer": "\xa9wrt",
    "copyright": "cprt",
}
_ASF_NAMES = {
    "title": "Title",
    "artist": "Author",
    "album": "WM/AlbumTitle",
    "albumartist": "WM/AlbumArtist",
    "date": "WM/Year",
    "genre": "WM/Genre",
    "comment": "Description",
    "tracknumber": "WM/TrackNumber",
    "composer": "WM/Composer",
    "copyright": "Copyright",
}
_VORBIS_ALIASES = {"description": "comment"}
# Tags that describe the input's encoding or levels, which the output does not share:
# never carried.
_NOT_CARRIED = frozenset(
    {"encoder", "encoding", "encodersettings", "encoder_options", "software", "vendor"}
    # A FLAC file's layout (FFmpeg's): the output's own is written, for its channel count.
    | {"waveformatextensible_channel_mask"}
    | {"itunsmpb", "itunnorm", "itunpgap", "major_brand", "minor_version", "compatible_brands"}
)
_NOT_CARRIED_PREFIXES = ("replaygain_", "r128_")
# Pictures as Vorbis comments hold them (base64), and the containers with Vorbis comments.
_VORBIS_PICTURES = frozenset({"metadata_block_picture", "coverart", "coverartmime"})
_VORBIS_CONTAINERS = frozenset({"FLAC", "OGG"})
# Containers whose files hold tags, and which names: None for any.
TAG_CONTAINERS: dict[str, frozenset[str] | None] = {
    "FLAC": None,
    "OGG": None,
    "MP3": None,
    "AIFF": None,
    "WAV": frozenset(INFO_KEYS),
}
# A tag name: printable ASCII without "=" (the Vorbis comment rule), at most 64 characters.
_NAME = re.compile(r"[\x20-\x3c\x3e-\x7d]{1,64}")
_VALUE_LIMIT = 1 << 16
# The time stamps an ID3 date frame holds: yyyy, yyyy-MM, ... up to yyyy-MM-ddTHH:mm:ss.
_ID3_TIME = re.compile(r"\d{4}(-\d\d(-\d\d(T\d\d(:\d\d(:\d\d)?)?)?)?)?")
# The longest RIFF INFO value libsndfile stores, in bytes.
_INFO_BYTES = 2045
# Tags are read from at most this much of a file (an ID3 tag stops at 256 MiB).
_TAG_BYTES_LIMIT = 256 << 20


def _utf8_text(name: str, value: str) -> str:
    """A tag's value as text every format can store (as UTF-8, or asking for it). Bytes the
    locale left undecoded (a command line read in the C locale) are taken as the UTF-8 they
    are; :class:`AudioFileError` for bytes that are not UTF-8 (--tag title=$'\\xff') and
    for a lone surrogate (JSON's "\\ud800")."""
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError as error:
        try:
            return os.fsencode(value).decode("utf-8")
        except UnicodeError:
            raise AudioFileError(
                f"tag {name}: the value is not UTF-8 text (it holds "
                f"{quoted(value[error.start : error.end])})"
            ) from None


def check_tags(tags: Mapping[str, str] | Iterable[tuple[str, str]] | None) -> dict[str, str]:
    """Tags as {lower-case name: value}, checked: names of printable ASCII without "=",
    values text without NUL of at most 64 KiB; None is none. :class:`AudioFileError`
    otherwise."""
    if tags is None:
        return {}
    given: object = tags  # as the caller gave it, whatever its annotation says
    if not isinstance(given, Mapping) and (
        isinstance(given, str | bytes)
        or not isinstance(given, Iterable)
        or getattr(given, "ndim", 1) == 0  # a 0-d array: iterable in name only
    ):
        # 5 had been "'int' object is not iterable", and 0 no tags at all.
        raise AudioFileError(
            "tags must be a mapping of names to values, or (name, value) pairs; got "
            f"{cut_short(repr(tags), 60)}"
        )
    pairs = tags.items() if isinstance(tags, Mapping) else tags
    checked: dict[str, str] = {}
    for pair in pairs:
        if isinstance(pair, str | bytes) or not hasattr(pair, "__len__") or len(pair) != 2:
            # {"title"} had been "too many values to unpack (expected 2)".
            raise AudioFileError(
                f"tags must be a mapping of names to values, or (name, value) pairs; got "
                f"{cut_short(repr(pair), 60)} among them"
            )
        name, value = pair
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            given = quoted(name) if isinstance(name, str) else repr(name)
            raise AudioFileError(
                f"tag name {given}: use 1 to 64 printable ASCII characters without '='"
            )
        if not isinstance(value, str) or "\0" in value or len(value) > _VALUE_LIMIT:
            raise AudioFileError(f"tag {name}: the value must be text without NUL, up to 64 KiB")
        checked[name.lower()] = _utf8_text(name, value)
    return checked


def _first(values: Any) -> str | None:
    if isinstance(values, list | tuple):
        values = values[0] if values else None
    if values is None:
        return None
    text = str(values)
    return text if text and "\0" not in text else None


def _from_id3(tags: mutagen.id3.ID3) -> dict[str, str]:
    found: dict[str, str] = {}
    for name, frame_id in _ID3_FRAMES.items():
        frame = tags.get(frame_id)
        if frame is not None and (text := _first(list(frame.text))):
            found[name] = text
    for frame in tags.getall("COMM"):
        if frame.desc == "" and (text := _first(list(frame.text))):
            found["comment"] = text
            break
    for frame in tags.getall("TXXX"):
        if _NAME.fullmatch(frame.desc) and (text := _first(list(frame.text))):
            found.setdefault(frame.desc.lower(), text)
    return found


def _from_vorbis(tags: Any) -> dict[str, str]:
    found: dict[str, str] = {}
    for key, value in tags:
        name = _VORBIS_ALIASES.get(key.lower(), key.lower())
        if _NAME.fullmatch(name) and value and "\0" not in value:
            found.setdefault(name, value)
    return found


def _from_mp4(tags: mutagen.mp4.MP4Tags) -> dict[str, str]:
    found = {name: text for name, atom in _MP4_ATOMS.items() if (text := _first(tags.get(atom)))}
    track = tags.get("trkn")
    if track:
        number, total = track[0]
        found["tracknumber"] = f"{number}/{total}" if total else str(number)
    return found


def _from_asf(tags: mutagen.asf.ASFTags) -> dict[str, str]:
    found = {}
    for name, attribute in _ASF_NAMES.items():
        values = tags.get(attribute)
        if values and (text := _first(str(values[0].value))):
            found[name] = text
    return found


def soundfile_tags(reader: Any) -> dict[str, str]:
    """The RIFF INFO (or AIFF) strings libsndfile read from an open file."""
    found = {}
    for name in INFO_KEYS:
        try:
            value = getattr(reader, name)
        except (AttributeError, sf.LibsndfileError, RuntimeError):
            continue
        if isinstance(value, str) and value and "\0" not in value:
            found[name] = value
    return found


_CHUNKS_WALKED = 4096  # a RIFF file's chunks looked through for its INFO list
_INFO_LIMIT = 1 << 20


def _riff_info(path: str) -> dict[str, str]:
    """The INFO tags of a WAV or RF64 file, read from its chunks ({} when it has none, or
    is not one): libsndfile hands its strings on as UTF-8, and a title a Windows tool wrote
    in its code page came out with U+FFFD for every accented letter."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(12)
            if head[:4] not in (b"RIFF", b"RF64", b"BW64") or head[8:12] != b"WAVE":
                return {}
            data_size = None  # an RF64 file's, from its ds64 chunk
            for _ in range(_CHUNKS_WALKED):
                header = handle.read(8)
                if len(header) < 8:
                    return {}
                size = int.from_bytes(header[4:], "little")
                if header[:4] == b"ds64" and 16 <= size <= _INFO_LIMIT:
                    data_size = int.from_bytes(handle.read(size)[8:16], "little")
                    handle.seek(size & 1, os.SEEK_CUR)
                    continue
                if header[:4] == b"data" and size == 0xFFFFFFFF and data_size is not None:
                    size = data_size
                if header[:4] == b"LIST" and size <= _INFO_LIMIT:
                    body = handle.read(size)
                    if body[:4] == b"INFO":
                        return info_tags(body)
                    handle.seek(size & 1, os.SEEK_CUR)
                else:
                    handle.seek(size + (size & 1), os.SEEK_CUR)
    except OSError:
        pass
    return {}


def read_tags(path: str | os.PathLike[str], reader: Any = None) -> dict[str, str]:
    """The tags of an input file under common names; {} when it has none or they cannot
    be read (a damaged tag never stops the audio). Tags about the input's encoding or
    levels (encoder, ReplayGain, R128) are left out: they would be false of the output.
    When mutagen finds no tags, the RIFF INFO strings libsndfile reads count: those of
    ``reader``, the file already open in libsndfile, if given."""
    file_name = os.fspath(path)
    mutagen = _mutagen()
    found: dict[str, str] = {}
    try:
        size = os.path.getsize(file_name)
        guard_memory(min(size, _TAG_BYTES_LIMIT), f"{shown(file_name)}: reading its tags")
        with open(file_name, "rb") as handle:
            tagged = mutagen.File(handle)
    except (mutagen.MutagenError, OSError, MemoryError, ValueError, EOFError):
        tagged = None
    tags = getattr(tagged, "tags", None)
    if isinstance(tags, mutagen.id3.ID3):
        found = _from_id3(tags)
    elif isinstance(tags, mutagen.mp4.MP4Tags):
        found = _from_mp4(tags)
    elif isinstance(tags, mutagen.asf.ASFTags):
        found = _from_asf(tags)
    elif tags is not None and hasattr(tags, "__iter__") and hasattr(tags, "vendor"):
        found = _from_vorbis(tags)
    if not found:
        found = _riff_info(file_name)
    if not found and reader is not None:
        found = soundfile_tags(reader)
    elif not found:
        try:
            with (
                open(file_name, "rb") as handle,
                sf.SoundFile(handle.fileno(), closefd=False) as opened,
            ):
                found = soundfile_tags(opened)
        except (sf.LibsndfileError, RuntimeError, OSError):
            pass
    # A value longer than a tag given may be (a cover picture in a Vorbis comment) is left
    # behind: it had the whole file refused as a bad tag.
    return {
        name: value
        for name, value in found.items()
        if name not in _NOT_CARRIED
        and not name.startswith(_NOT_CARRIED_PREFIXES)
        and len(value) <= _VALUE_LIMIT
    }


def too_long_for(container: str, name: str) -> str | None:
    """Why a tag ``name`` a container holds was left out (its value too long for a WAV
    file's INFO), or None when the container does not hold that name at all."""
    names = TAG_CONTAINERS.get(container, frozenset())
    if container == "WAV" and names is not None and name in names:
        return f"longer than the {_INFO_BYTES:,} bytes a WAV file's INFO holds"
    return None


def dropped_note(label: str, container: str, dropped: Sequence[str]) -> str | None:
    """A note naming the tags ``dropped`` that a container could not hold (or not at their
    length); None when there are none."""
    long = [name for name in dropped if too_long_for(container, name)]
    unheld = [name for name in dropped if name not in long]
    notes = []
    if unheld:
        notes.append(
            f"{container} output cannot hold the tag{'s' if len(unheld) > 1 else ''} "
            f"{', '.join(unheld)}"
        )
    if long:
        reason = too_long_for(container, long[0])
        notes.append(f"the tag{'s' if len(long) > 1 else ''} {', '.join(long)}: {reason}")
    return f"{label}: {'; '.join(notes)}; not written" if notes else None


def writable_tags(container: str, tags: Mapping[str, str]) -> tuple[dict[str, str], list[str]]:
    """The tags a container holds, and the names it cannot hold: a WAV file's RIFF INFO
    holds its names with values of up to 2,045 bytes of UTF-8 (libsndfile refused a longer
    one without a word, and every string set after it). A picture kept as a Vorbis comment
    goes only where Vorbis comments go: into ID3 it became a text frame of base64."""
    names = TAG_CONTAINERS.get(container, frozenset())
    if names is None and container not in _VORBIS_CONTAINERS:
        names = frozenset(name for name in tags if name not in _VORBIS_PICTURES)
    if names is None:
        return dict(tags), []
    held = {
        name: value
        for name, value in tags.items()
        if name in names
        and (container != "WAV" or len(value.encode("utf-8", "surrogatepass")) <= _INFO_BYTES)
    }
    return held, [name for name in tags if name not in held]


def _to_id3(tags: Mapping[str, str], into: mutagen.id3.ID3) -> None:
    mutagen = _mutagen()
    for name, value in tags.items():
        frame_id = _ID3_FRAMES.get(name)
        if name == "date" and not _ID3_TIME.fullmatch(value):
            # TDRC holds a time stamp only: mutagen rewrote "05/01/2024" as "0005-01-2024"
            # and left "Spring 2024" out. Such a date is kept as written, in a TXXX frame.
            frame_id = None
        if frame_id is not None:
            into.setall(frame_id, [getattr(mutagen.id3, frame_id)(encoding=3, text=[value])])
        elif name == "comment":
            into.setall("COMM", [mutagen.id3.COMM(encoding=3, lang="eng", desc="", text=[value])])
        else:
            into.add(mutagen.id3.TXXX(encoding=3, desc=name, text=[value]))


def write_tags(path: str, container: str, subtype: str, tags: Mapping[str, str]) -> None:
    """Writes tags into a finished file of ``container`` (FLAC, OGG, MP3, AIFF) with
    mutagen; WAV files get theirs from libsndfile as they are written. Raises
    :class:`AudioFileError`."""
    mutagen = _mutagen()
    if not tags:
        return
    try:
        if container == "FLAC" or container == "OGG":
            kind = {
                "FLAC": mutagen.flac.FLAC,
                "OPUS": mutagen.oggopus.OggOpus,
            }.get(container if container == "FLAC" else subtype, mutagen.oggvorbis.OggVorbis)
            tagged = kind(path)
            if tagged.tags is None:
                tagged.add_tags()
            # Set as one list, not name by name: mutagen looks through every comment for
            # each name it sets, and 40,000 comments took 37 s.
            given = {name.upper(): value for name, value in tags.items()}
            comments = tagged.tags
            kept = [(key, value) for key, value in comments if key.upper() not in given]
            comments[:] = kept + list(given.items())
            tagged.save()
        elif container == "MP3":
            try:
                id3 = mutagen.id3.ID3(path)
            except mutagen.id3.ID3NoHeaderError:
                id3 = mutagen.id3.ID3()
            _to_id3(tags, id3)
            id3.save(path)
        elif container == "AIFF":
            aiff = mutagen.aiff.AIFF(path)
            if aiff.tags is None:
                aiff.add_tags()
            assert isinstance(aiff.tags, mutagen.id3.ID3)
            _to_id3(tags, aiff.tags)
            aiff.save()
    except (mutagen.MutagenError, OSError) as error:
        raise AudioFileError(f"cannot write the tags: {error}") from None


def set_soundfile_tags(handle: sf.SoundFile, tags: Mapping[str, str]) -> None:
    """Gives a WAV file open in libsndfile its RIFF INFO strings, after its last frame:
    libsndfile then writes them in a list after the data."""
    for name, value in tags.items():
        if name in INFO_KEYS:
            setattr(handle, name, value)
