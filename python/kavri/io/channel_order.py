"""Channel order by container.

Kavri holds the channels of 3 to 8 channel audio in the order of the WAVE channel mask,
as WAV and FLAC store them: L R C LFE and the surrounds (quad, 5.0, 5.1, 6.1, 7.1; the
loudness meter weighs them by that order). Vorbis and Opus store them in the order of
the Vorbis I layout: L C R, the surrounds, the LFE last. libsndfile passes frames through
in the codec's order, so they are put in order here, as they are read and as they are
written: without it the right surround of a 5.1 file went into the LFE's slot, where Opus
keeps only a low band, and a correct 5.1 Ogg file was metered with its LFE weighed as a
surround.

WAV output of those layouts is written with a WAVE_FORMAT_EXTENSIBLE header whose channel
mask names them: without it, readers guessed a layout from the count alone, and ffmpeg
took a quad file for L R C Cs and folded its back left into both sides.

An input may state another layout of its count: a WAV file's mask (3.1 is L R C LFE, where
Kavri's four channels are quad), a FLAC file's mask in a Vorbis comment (as FFmpeg keeps
it, and FLAC output of such a layout gets), or the layout FFmpeg decodes (2.1, 5.1 with side
surrounds), or no speakers at all (an extensible WAV of discrete channels, whose mask is
0). Such a layout is the input's ``layout`` (see :func:`stated_layout`): an output of the
same channel count is written with it, and the loudness meter weighs its channels by it.
Without that, a 3.1 file came out labelled quad, its LFE played as a back speaker, and six
discrete microphones were metered as 5.1, the fourth left out as an LFE.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import soundfile as sf

from . import fixups

__all__ = [
    "SoundFile",
    "codec_order",
    "lfe_slot_note",
    "LAYOUTS",
    "Layout",
    "SPEAKERS",
    "layout_numbers",
    "mask_layout",
    "FLAC_MASK_TAG",
    "source_layout",
    "stated_layout",
    "wave_mask",
]

# A layout: the speaker of each channel, in WAV's order; () for channels without speakers.
Layout = tuple[str, ...]

# The layouts of 3 to 8 channels, in WAV's order: front left, right and centre, the LFE,
# the back left, right and centre, the side left and right.
LAYOUTS: dict[int, tuple[str, ...]] = {
    3: ("FL", "FR", "FC"),
    4: ("FL", "FR", "BL", "BR"),  # quad
    5: ("FL", "FR", "FC", "BL", "BR"),  # 5.0
    6: ("FL", "FR", "FC", "LFE", "BL", "BR"),  # 5.1
    7: ("FL", "FR", "FC", "LFE", "BC", "SL", "SR"),  # 6.1
    8: ("FL", "FR", "FC", "LFE", "BL", "BR", "SL", "SR"),  # 7.1
}
# Every speaker a WAVE channel mask names, in the order of its bits (FFmpeg's names, and
# the order of its channel layouts).
SPEAKERS: Layout = (
    *("FL", "FR", "FC", "LFE", "BL", "BR", "FLC", "FRC", "BC", "SL", "SR"),
    *("TC", "TFL", "TFC", "TFR", "TBL", "TBC", "TBR"),
)
_MASK_BITS = {speaker: bit for bit, speaker in enumerate(SPEAKERS)}
# libsndfile's number for each speaker (its plain left, right and centre, which it reads a
# mask's first three bits as), and the speaker each of its numbers stands for.
_SNDFILE_NUMBERS = {"FL": 2, "FR": 3, "FC": 4, "BC": 8, "BL": 9, "BR": 10, "LFE": 11}
_SNDFILE_NUMBERS.update({"FLC": 12, "FRC": 13, "SL": 14, "SR": 15, "TC": 16, "TFL": 17})
_SNDFILE_NUMBERS.update({"TFR": 18, "TFC": 19, "TBL": 20, "TBR": 21, "TBC": 22})
_SNDFILE_SPEAKERS = {number: speaker for speaker, number in _SNDFILE_NUMBERS.items()}
_SNDFILE_SPEAKERS.update({5: "FL", 6: "FR", 7: "FC"})  # its "front" ones


def wave_mask(channels: int, layout: Layout | None = None) -> int:
    """The WAVE channel mask of ``layout``, by default Kavri's layout of ``channels``
    channels; 0 (no layout) for fewer than 3 or more than 8."""
    speakers = LAYOUTS.get(channels, ()) if layout is None else layout
    return sum(1 << _MASK_BITS[speaker] for speaker in speakers)


def layout_numbers(layout: Layout) -> list[int]:
    """libsndfile's numbers for the speakers of ``layout``."""
    return [_SNDFILE_NUMBERS[speaker] for speaker in layout]


def stated_layout(channels: int, speakers: Sequence[str] | None) -> Layout | None:
    """The layout an input states, where it is not the one Kavri takes its channel count to
    have: ``speakers`` is the speaker of each channel, () for none (a mask of 0), None where
    the input states nothing. None as well for what cannot be a layout (a speaker twice, or
    out of WAV's order), and for one or two channels, which are taken as they come."""
    if speakers is None or channels < 3:
        return None
    layout = tuple(speakers)
    if layout == LAYOUTS.get(channels):
        return None
    if not layout:
        return layout
    if len(layout) != channels or any(speaker not in _MASK_BITS for speaker in layout):
        return None
    bits = [_MASK_BITS[speaker] for speaker in layout]
    return layout if bits == sorted(set(bits)) else None


def mask_layout(channels: int, mask: int) -> Layout | None:
    """The layout a WAVE channel mask states (:func:`stated_layout`); a mask of 0 names no
    speakers, and one that does not name a speaker a channel, nothing."""
    speakers = [speaker for bit, speaker in enumerate(SPEAKERS) if mask >> bit & 1]
    return stated_layout(channels, speakers if len(speakers) == channels or not mask else None)


# The Vorbis comment in which FFmpeg keeps a FLAC file's layout where it is not FLAC's own
# for the count (3.1, hexagonal, discrete channels): the WAVE channel mask, in hex.
FLAC_MASK_TAG = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK"
# A FLAC file's metadata blocks looked through for it, and the largest comment block read.
_FLAC_BLOCKS = 64
_FLAC_COMMENTS_READ = 1 << 20


def _flac_mask(descriptor: int) -> int | None:
    """The channel mask a FLAC file's Vorbis comment states, or None. Read with pread, so
    that the position libsndfile reads from is left where it is."""
    import mutagen.flac

    try:
        if os.pread(descriptor, 4, 0) != b"fLaC":
            return None
        at = 4
        for _ in range(_FLAC_BLOCKS):
            head = os.pread(descriptor, 4, at)
            if len(head) < 4:
                return None
            kind, size = head[0] & 0x7F, int.from_bytes(head[1:], "big")
            if kind == mutagen.flac.VCFLACDict.code:
                if size > _FLAC_COMMENTS_READ:
                    return None
                comments = mutagen.flac.VCFLACDict(os.pread(descriptor, size, at + 4))
                for key, value in comments:
                    if key.upper() == FLAC_MASK_TAG:
                        return int(value.strip(), 0)
                return None
            if head[0] & 0x80:  # the last block
                return None
            at += 4 + size
    except (OSError, ValueError, mutagen.MutagenError):
        return None
    return None


def source_layout(source: Any) -> Layout | None:
    """The layout an opened input states (:func:`stated_layout`), None for Kavri's own."""
    layout = getattr(source, "layout", None)
    return None if layout is None else tuple(layout)


# For each channel count, the WAV channel that each Vorbis channel slot holds.
_VORBIS_SLOTS = {
    3: (0, 2, 1),  # L C R from L R C
    5: (0, 2, 1, 3, 4),  # L C R Ls Rs from L R C Ls Rs
    6: (0, 2, 1, 4, 5, 3),  # L C R Ls Rs LFE from L R C LFE Ls Rs
    7: (0, 2, 1, 5, 6, 4, 3),  # L C R Ls Rs Cs LFE from L R C LFE Cs Ls Rs
    8: (0, 2, 1, 6, 7, 4, 5, 3),  # L C R Ls Rs Lb Rb LFE from L R C LFE Lb Rb Ls Rs
}


def codec_order(container: str, subtype: str, channels: int) -> tuple[int, ...] | None:
    """The WAV channel each of the file's channel slots holds, or None where the file keeps
    WAV's order (every format but Vorbis and Opus, and those below 3 or above 8 channels,
    whose order has no layout)."""
    if container.upper() != "OGG" or subtype.upper() not in ("VORBIS", "OPUS"):
        return None
    return _VORBIS_SLOTS.get(channels)


class SoundFile(sf.SoundFile):
    """A libsndfile sound file whose frames are read and written in WAV's channel order."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        slots = codec_order(self.format, self.subtype, self.channels)
        self._slots = None if slots is None else list(slots)
        self._back = None if slots is None else list(np.argsort(slots))
        self.layout: Layout | None = None
        if self.mode == "r" and self.format in ("WAVEX", "RF64", "W64"):
            numbers = fixups.channel_map(self)
            speakers: Sequence[str] | None = None
            if numbers is not None:
                speakers = [_SNDFILE_SPEAKERS.get(number, "") for number in numbers]
            elif self.format == "WAVEX":
                speakers = ()  # a mask that names no speakers, or not one a channel
            self.layout = stated_layout(self.channels, speakers)
        elif self.mode == "r" and self.format == "FLAC" and isinstance(self.name, int):
            mask = _flac_mask(self.name)
            if mask is not None:
                self.layout = mask_layout(self.channels, mask)

    def buffer_read_into(
        self, buffer: Any, dtype: Literal["float64", "float32", "int32", "int16"]
    ) -> int:
        got = int(super().buffer_read_into(buffer, dtype))
        if self._back is not None and got:
            buffer[:got] = buffer[:got, self._back]
        return got

    def read(self, *args: Any, **kwargs: Any) -> Any:
        data = super().read(*args, **kwargs)
        if self._back is not None and data.shape[0]:
            data[:] = data[:, self._back]  # in place: the array may be the caller's ``out``
        return data

    def write(self, data: Any) -> None:
        if self._slots is not None:
            data = np.ascontiguousarray(np.asarray(data)[:, self._slots])
        super().write(data)


_LAYOUT_NAMES = {6: "5.1", 7: "6.1", 8: "7.1"}


def lfe_slot_note(
    label: str, container: str, subtype: str, channels: int, layout: Layout | None
) -> str | None:
    """A note for Ogg output whose layout slot for the LFE gets a channel that is no LFE (an
    input that stated discrete channels or another layout of its count): the encoders keep
    only the low band of that slot, so the channel comes back without its highs. None
    where the LFE's slot holds the LFE, or the file has no such slot."""
    order = codec_order(container, subtype, channels)
    if layout is None or order is None or channels not in _LAYOUT_NAMES:
        return None
    slot = order[-1]  # Vorbis I puts the LFE last
    speaker = layout[slot] if layout else ""
    if speaker == "LFE":
        return None
    held = f"its {speaker}" if speaker else "a channel without a speaker"
    return (
        f"{label}: {subtype.title()} stores {channels} channels as {_LAYOUT_NAMES[channels]}: "
        f"channel {slot} ({held}) is coded as the LFE, which keeps only its low frequencies; "
        "WAV keeps every channel whole"
    )
