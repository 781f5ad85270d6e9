"""Codec steps: ``codec`` (a round trip through MP3, Vorbis, Opus or GSM 6.10) and ``mu_law``
and ``a_law`` (through G.711), each encoded and decoded in memory by libsndfile through
soundfile, the well-kept library for these formats; no codec is written here.

``mu_law`` and ``a_law`` code each sample alone, so each chunk goes through on its own. The
input is first held within [-1, 1] (libsndfile wraps what lies beyond) and NaN taken as 0.

``codec`` takes NaN as 0 too, and holds the input within [-256, 256] (48 dB above full
scale; an infinity at the bound it passes): far beyond it the encoders break down, LAME by
aborting the whole process (an assertion in its psychoacoustic model) and Vorbis and Opus
by giving silence. What lies within it goes through as the encoder takes it, except for GSM
6.10, which codes 16-bit samples: its input is held within [-1, 1] at 8 kHz (libsndfile
would wrap what lies beyond into the opposite sign).

``codec``: libsndfile removes the encoder's delay and padding as it decodes (the LAME
header's for MP3, Opus's pre-skip, Vorbis's granule positions), so a decoded segment has
the length of the segment encoded and lines up with it; an MP3 at the lowest bit rates,
whose frames cannot hold LAME's header, has its delay (1,105 frames) cut here; GSM 6.10
codes frames of 160 samples and its decoded padding is cut. So that the output does not
depend on how the signal is cut, the codec is fed fixed blocks: block k covers frames
[65,536 k, 65,536 (k + 1)) counted from the signal's first, and is encoded as the segment
from 8,192 frames before it to 8,192 frames after it (cut at the signal's start and end),
so that the encoder has settled when the block begins; its decoded frames are the block's
output. Over the first 1,024 frames of each block the output crosses linearly from the
decode of the block before (which runs on into its context) to the block's own, so that no
step marks the seam. A call encodes the blocks of the whole signal; a stream holds the
frames of a block and its context (up to 73,728 frames a channel) until they are all in,
or until the flush ends the signal, and so gives the bits of one call for any chunking.

Channels go through the codec in pairs (0 and 1, 2 and 3, ...; an odd last one alone),
GSM's one at a time. A rate the codec does not take is converted for it (soxr, very high
quality) to the next rate it takes, or its highest: MP3 takes 8 to 48 kHz (the MPEG rates),
Opus 8, 12, 16, 24 and 48 kHz, Vorbis any rate up to 200 kHz (libvorbis has no setup
beyond it, and its encoder crashes there: higher rates are coded at 192 kHz), and GSM 6.10
always runs at 8 kHz, as on a phone line. A segment so short that it has no frame at the
codec's rate (a frame or two of 192 kHz coded at 48 kHz) comes back silent. ``quality`` q
sets libsndfile's compression level to 1 - q (for MP3, at most 0.999, at a constant bit
rate): 0 is the smallest file, 1 the best.

What the bits depend on: LAME, libvorbis, libopus and libgsm are deterministic for the
same input and settings, so one machine always gives the same bits; another build of them
(another libsndfile) may not.
"""

from __future__ import annotations

import os
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
import soundfile as sf
import soxr  # type: ignore[import-untyped]

from ._audio import check_sample_rate
from ._engine import check_memory
from .catalogue import counted
from .errors import ChainError, KavriError
from .io.channel_order import SoundFile
from .io.formats import VORBIS_MOST_RATE, memory_file
from .steps import StepItem, register_step
from .steps.base import Frames, Step, empty
from .steps.rate import off_daemon

__all__ = ["CodecRoundTrip", "G711", "roundtrip", "BLOCK", "CONTEXT", "FADE", "codec_available"]

BLOCK = 1 << 16
CONTEXT = 8192
FADE = 1024

# Container, subtype and the rates each codec takes (None: any).
_CODECS: dict[str, tuple[str, str, tuple[int, ...] | None]] = {
    "mp3": (
        "MP3",
        "MPEG_LAYER_III",
        (8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000),
    ),
    "vorbis": ("OGG", "VORBIS", None),
    "opus": ("OGG", "OPUS", (8000, 12000, 16000, 24000, 48000)),
    "gsm": ("WAV", "GSM610", (8000,)),
}


# Above the most libvorbis's encoder takes, the codec runs at 192 kHz.
_VORBIS_ABOVE = 192_000
# LAME's encoder delay (576 frames) and the MP3 decoder's (529), at every rate.
_MP3_DELAY = 576 + 529
# The magnitude the codecs' input is held within (see the module's text).
_LIMIT = np.float32(256.0)


def _known(name: Any) -> tuple[str, str, tuple[int, ...] | None]:
    if not isinstance(name, str) or name not in _CODECS:
        raise ChainError(f"codec: unknown format {name!r}; use one of {', '.join(_CODECS)}")
    return _CODECS[name]


def codec_available(name: str) -> bool:
    """Whether the linked libsndfile encodes and decodes this codec."""
    container, subtype, _ = _known(name)
    return subtype in sf.available_subtypes(container)


def _group(name: str) -> int:
    """Channels coded together: GSM is mono, the others take a pair."""
    return 1 if name == "gsm" else 2


def codec_rate(name: str, rate: int) -> int:
    """The rate a codec runs at for a signal at ``rate`` (the signal is converted to it and
    back where they differ)."""
    rates = _known(name)[2]
    if rates is None:
        return rate if rate <= VORBIS_MOST_RATE else _VORBIS_ABOVE
    higher = [r for r in rates if r >= rate]
    return higher[0] if higher else rates[-1]


def _encode_decode(
    data: npt.NDArray[np.float32], rate: int, name: str, quality: float
) -> npt.NDArray[np.float32]:
    container, subtype, _ = _CODECS[name]
    if not data.shape[0]:
        # Nothing to code (libsndfile cannot read back an MP3 or Opus stream of no frames).
        return np.zeros((0, data.shape[1]), np.float32)
    options: dict[str, Any] = {}
    if name != "gsm":
        level = 1.0 - quality
        options["compression_level"] = min(level, 0.999) if name == "mp3" else level
    if name == "mp3":
        options["bitrate_mode"] = "CONSTANT"
    try:
        with memory_file() as memory:
            with SoundFile(
                memory,
                "w",
                rate,
                data.shape[1],
                subtype,
                format=container,
                closefd=False,
                **options,
            ) as encoder:
                encoder.write(data)
            os.lseek(memory, 0, os.SEEK_SET)
            with SoundFile(memory, closefd=False) as decoder:
                # An MP3 whose frames are too small for LAME's header (the lowest bit rates)
                # decodes with its delay and padding: more frames than went in, the audio
                # late by the encoder's and the decoder's delay, which are cut here.
                skip = _MP3_DELAY if name == "mp3" and decoder.frames != data.shape[0] else 0
                # GSM in WAV cannot seek, so its length is asked for: the decoded padding is
                # cut.
                decoded = np.asarray(
                    decoder.read(data.shape[0] + skip, dtype="float32", always_2d=True),
                    np.float32,
                )[skip:]
    except (sf.LibsndfileError, RuntimeError) as error:
        detail = error.error_string if isinstance(error, sf.LibsndfileError) else str(error)
        raise KavriError(
            f"codec: {name} failed on {data.shape[0]} frames x {counted(data.shape[1], 'channel')} "
            f"at {rate} Hz ({detail})"
        ) from None
    return decoded


def _fit(data: npt.NDArray[np.float32], frames: int) -> npt.NDArray[np.float32]:
    if data.shape[0] >= frames:
        return data[:frames]
    return np.concatenate([data, np.zeros((frames - data.shape[0], data.shape[1]), np.float32)])


def roundtrip(
    segment: npt.NDArray[np.float32], rate: int, name: str, quality: float
) -> npt.NDArray[np.float32]:
    """One segment through the codec and back, as many frames and lined up."""
    rate = check_sample_rate(rate)  # libsndfile's encoders end the process at a rate of 0
    if not 0.0 <= quality <= 1.0:
        raise ChainError(f"codec: quality must be from 0 to 1, got {quality!r}")
    frames, channels = segment.shape
    out = np.empty_like(segment)
    if not frames:
        return out
    clean = np.clip(np.nan_to_num(segment, nan=0.0), -_LIMIT, _LIMIT)
    step = _group(name)
    coded = codec_rate(name, rate)
    for first in range(0, channels, step):
        group = np.ascontiguousarray(clean[:, first : first + step])
        if coded != rate:
            resampled = off_daemon(partial(soxr.resample, group, rate, coded, "VHQ"))
            group = np.asarray(resampled, np.float32)
        if name == "gsm":
            # GSM codes 16-bit samples, and libsndfile wraps a float past full scale into
            # the opposite sign: held within it after the conversion to 8 kHz, whose
            # overshoot would otherwise wrap a signal that was itself within full scale.
            group = np.clip(group, -1.0, 1.0)
        decoded = _encode_decode(group, coded, name, quality)
        if coded != rate:
            resampled = off_daemon(partial(soxr.resample, decoded, coded, rate, "VHQ"))
            decoded = np.asarray(resampled, np.float32)
        out[:, first : first + step] = _fit(decoded, frames)
    return out


_RAMP = ((np.arange(FADE, dtype=np.float64) + 0.5) / FADE).astype(np.float32)[:, None]


class CodecRoundTrip(Step):
    """The codec over fixed blocks with context (see the module's text)."""

    type = "codec"

    def __init__(self, rate: int, channels: int, name: str, quality: float) -> None:
        super().__init__(rate, channels)
        if not codec_available(name):
            raise ChainError(f"codec: this libsndfile ({sf.__libsndfile_version__}) has no {name}")
        self._name, self._quality = name, quality
        self.reset()

    def reset(self) -> None:
        self._parts: list[Frames] = []
        self._start = 0  # the absolute frame of the first frame held
        self._seen = 0
        self._block = 0  # the next block to give
        self._tail: Frames | None = None  # the block before's decode over the next fade

    @property
    def held_frames(self) -> int:
        return self._seen - self._block * BLOCK

    def _held(self, begin: int, end: int) -> Frames:
        if len(self._parts) > 1:
            self._parts = [np.concatenate(self._parts)]
        return self._parts[0][begin - self._start : end - self._start]

    def _ready(self, end_of_signal: bool) -> int:
        """How many blocks, from the next, have all their frames in."""
        k = self._block
        while True:
            begin, stop = k * BLOCK, (k + 1) * BLOCK
            if begin >= self._seen or (not end_of_signal and self._seen < stop + CONTEXT):
                return k - self._block
            k += 1

    def _give(self, end_of_signal: bool) -> Frames:
        blocks = self._ready(end_of_signal)
        if not blocks:
            return empty(self.out_channels)
        # The blocks' output is written into one buffer, asked of the guard first: a call
        # gives the whole signal at once.
        origin = self._block * BLOCK
        total = min((self._block + blocks) * BLOCK, self._seen) - origin
        check_memory(total * self.in_channels * 4, f"codec: an output of {total} frames")
        out = np.empty((total, self.in_channels), np.float32)
        for k in range(self._block, self._block + blocks):
            begin, stop = k * BLOCK, (k + 1) * BLOCK
            first, last = max(0, begin - CONTEXT), min(self._seen, stop + CONTEXT)
            # The block and its decode, and a group of channels at the codec's rate (its
            # conversion there, the codec's output, and the conversion back): from a rate
            # far below the codec's, thousands of times the block.
            coded = -(-(last - first) * codec_rate(self._name, self.in_rate) // self.in_rate)
            group = min(self.in_channels, _group(self._name))
            check_memory(
                (last - first) * self.in_channels * 8 + 3 * (coded + 1024) * group * 4,
                f"codec: a block of {last - first} frames",
            )
            decoded = roundtrip(self._held(first, last), self.in_rate, self._name, self._quality)
            block = out[begin - origin : min(stop, self._seen) - origin]
            block[...] = decoded[begin - first : min(stop, self._seen) - first]
            if self._tail is not None:
                count = min(FADE, block.shape[0], self._tail.shape[0])
                ramp = _RAMP[:count]
                block[:count] = self._tail[:count] * (np.float32(1.0) - ramp) + block[:count] * ramp
            self._tail = decoded[stop - first : stop + FADE - first].copy()
            del decoded
            self._block = k + 1
            # Frames before the next block's context are no longer needed.
            keep = max(0, stop - CONTEXT) - self._start
            if keep > 0:
                whole = self._held(self._start, self._seen)
                self._parts = [whole[keep:]]
                self._start += keep
        return out

    def process(self, chunk: Frames) -> Frames:
        if chunk.shape[0]:
            # All that is held with this chunk, and its copy when the parts are joined.
            held = self._seen - self._start + chunk.shape[0]
            check_memory(2 * held * self.in_channels * 4, "codec: the frames held for a block")
            self._parts.append(chunk.copy())
            self._seen += chunk.shape[0]
        return self._give(False)

    def flush(self) -> Frames:
        out = self._give(True)
        self.reset()
        return out


class G711(Step):
    """mu-law or A-law, 8 bits a sample, and back."""

    def __init__(self, kind: str, rate: int, channels: int) -> None:
        super().__init__(rate, channels)
        self.type = kind
        self._subtype = "ULAW" if kind == "mu_law" else "ALAW"

    def process(self, chunk: Frames) -> Frames:
        if not chunk.shape[0]:
            return empty(self.out_channels)
        # The cleaned copies (NaN out, then clipped), the coded bytes and the decode.
        check_memory(chunk.size * 13, f"{self.type}: a chunk of {chunk.shape[0]} frames")
        clean = np.clip(np.nan_to_num(chunk, nan=0.0), -1.0, 1.0)
        # Each sample is coded alone, so every channel goes through as one: libsndfile takes
        # at most 1,024 channels.
        options: dict[str, Any] = {
            "samplerate": self.in_rate,
            "channels": 1,
            "subtype": self._subtype,
            "format": "RAW",
            "closefd": False,
        }
        with memory_file() as memory:
            with sf.SoundFile(memory, "w", **options) as encoder:
                encoder.write(clean.reshape(-1, 1))
            os.lseek(memory, 0, os.SEEK_SET)
            with sf.SoundFile(memory, "r", **options) as decoder:
                decoded = np.asarray(decoder.read(dtype="float32", always_2d=True), np.float32)
        return decoded.reshape(chunk.shape)

    def flush(self) -> Frames:
        return empty(self.out_channels)

    def reset(self) -> None:
        pass


def _codec(item: StepItem, value: dict[str, Any], workers: int, measured: Any) -> Step:
    return CodecRoundTrip(
        item.in_rate, item.in_channels, str(value["format"]), float(value["quality"])
    )


def _g711(item: StepItem, value: dict[str, Any], workers: int, measured: Any) -> Step:
    return G711(str(value["type"]), item.in_rate, item.in_channels)


register_step("codec", _codec)
register_step("mu_law", _g711)
register_step("a_law", _g711)
