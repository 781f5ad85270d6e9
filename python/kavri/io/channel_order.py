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
"""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import soundfile as sf

__all__ = ["SoundFile", "codec_order", "LAYOUTS", "wave_mask"]

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
# Each speaker's bit in a WAVE channel mask.
_MASK_BITS = {"FL": 0, "FR": 1, "FC": 2, "LFE": 3, "BL": 4, "BR": 5, "BC": 8, "SL": 9, "SR": 10}


def wave_mask(channels: int) -> int:
    """The WAVE channel mask of Kavri's layout of ``channels`` channels; 0 (no layout) for
    fewer than 3 or more than 8."""
    return sum(1 << _MASK_BITS[speaker] for speaker in LAYOUTS.get(channels, ()))


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
