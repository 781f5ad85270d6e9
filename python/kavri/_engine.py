"""The one path into the native engine.

Every entry point that hands audio to native code (``process``, ``process_to_loudness``,
``Stream``, ``augment``, plots, streamed files) converts and checks it here, so that each
rule is written once and holds everywhere:

- samples: float arrays are taken as float32; int8, int16 and int32 PCM is divided by its
  full scale (2**7, 2**15, 2**31) and uint8 is centred on 128 and divided by 128; other
  integer types, booleans, complex numbers and text are refused with ``TypeError``. A plain
  list or tuple holds sample values as written.
- shape: a 1-D signal is one channel and comes back 1-D; a 2-D array is (frames, channels);
  an array of at most 64 frames and more than 64 channels is taken for channels-first and
  refused with a hint to transpose it.
- the sample rate is a whole number of hertz (an int, or a float with a whole value) between
  1 and 2,147,483,647; the block size and worker count are whole numbers of 0 or more.

This module knows nothing of files, chains or loudness; it takes checked specs, and reads of
the catalogue only which effects are light enough that a second thread cannot pay off.
"""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _kavri_stream as _native_stream
from ._audio import as_frames, pcm_to_float
from ._kavri_core import process_pipeline
from .catalogue import EFFECTS

__all__ = [
    "CHANNELS_FIRST_LIMIT",
    "MAX_SAMPLE_RATE",
    "check_sample_rate",
    "check_engine_options",
    "check_orientation",
    "check_memory",
    "frames_of",
    "run",
    "process_audio",
    "NativeStream",
    "NativeTruePeak",
    "open_stream",
]

# An array with at most this many frames and more channels than that is taken to be
# channels-first, (channels, frames): real recordings have few channels and many frames.
CHANNELS_FIRST_LIMIT = 64
MAX_SAMPLE_RATE = 2**31 - 1
_MAX_BLOCK_SIZE = 2**64 - 1

# The machine's core count does not change while the process runs, and os.cpu_count()
# reads a file of the system's on every call.
_CORES = os.cpu_count() or 1

NativeStream = _native_stream.Stream
# The true-peak meter's oversampling, run in native code (see kavri.loudness).
NativeTruePeak = _native_stream.TruePeak
# Asks the memory guard whether a buffer of the front end's own fits: check_memory(bytes,
# what) raises MemoryError in the guard's words when it does not.
check_memory = _native_stream.check_memory
_useful_workers = _native_stream.useful_workers


def _whole_number(name: str, value: Any) -> int:
    if type(value) is int:
        return value
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None


def check_sample_rate(sample_rate: Any) -> int:
    """A sample rate as a whole number of hertz: an int, or a float with a whole value
    (48000.0). ``TypeError`` for anything else, ``ValueError`` unless it lies between 1 and
    2,147,483,647 Hz."""
    if type(sample_rate) is int:
        rate = sample_rate
    elif isinstance(sample_rate, (bool, np.bool_)):
        raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
    elif isinstance(sample_rate, (float, np.floating)):
        value = float(sample_rate)
        if not (math.isfinite(value) and value.is_integer()):
            raise TypeError(f"sample_rate must be a whole number of hertz, got {sample_rate!r}")
        rate = int(value)
    else:
        try:
            rate = operator.index(sample_rate)
        except TypeError:
            raise TypeError(
                f"sample_rate must be a whole number of hertz, got {sample_rate!r}"
            ) from None
    if not 1 <= rate <= MAX_SAMPLE_RATE:
        raise ValueError(f"sample_rate must be between 1 and {MAX_SAMPLE_RATE} Hz, got {rate}")
    return rate


def check_engine_options(block_size: Any, workers: Any) -> tuple[int, int]:
    """Checks ``block_size`` and ``workers`` and returns them as the engine gets them.

    Both are whole numbers of 0 or more (0 means the engine's default: 2048 frames, one
    thread). The worker count is capped at the number of cores: more threads than cores
    only add start-up cost, and the output is the same for any count.
    """
    blocks = _whole_number("block_size", block_size)
    threads = _whole_number("workers", workers)
    if blocks < 0:
        raise ValueError(f"block_size must be 0 or more frames, got {blocks}")
    if blocks > _MAX_BLOCK_SIZE:
        raise ValueError(f"block_size {blocks} is too large (at most 2**64 - 1 frames)")
    if threads < 0:
        raise ValueError(f"workers must be 0 or more, got {threads}")
    return blocks, threads if threads <= _CORES else _CORES


def _channels_first(shape: tuple[int, ...]) -> ValueError:
    return ValueError(
        f"audio of shape {shape} looks channels-first ({shape[0]} channels of "
        f"{shape[1]} frames); kavri takes (frames, channels): pass audio.T"
    )


def check_orientation(shape: tuple[int, ...]) -> None:
    """Refuses a 2-D shape that is plainly (channels, frames): at most
    :data:`CHANNELS_FIRST_LIMIT` frames and more channels than that."""
    if len(shape) == 2 and shape[0] <= CHANNELS_FIRST_LIMIT < shape[1]:
        raise _channels_first(shape)


def _samples(audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The audio as float32 samples by the rules above, in the shape it came in."""
    if type(audio) is np.ndarray and audio.dtype == np.float32:
        return audio
    if isinstance(audio, (list, tuple)):
        # Sample values as written; an object array of numbers converts, anything else
        # is refused below by its dtype.
        data = np.asarray(audio)
        if data.dtype.kind in "iuO":
            try:
                data = data.astype(np.float32)
            except (TypeError, ValueError):
                pass
    else:
        data = np.asarray(audio)
        if data.dtype.kind == "O":
            try:
                data = data.astype(np.float32)
            except (TypeError, ValueError):
                pass
    if data.dtype.kind not in "fiu":
        raise TypeError(f"audio must be an array of real numbers, got dtype {data.dtype}")
    return pcm_to_float(data)


def frames_of(audio: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], bool]:
    """The audio as a (frames, channels) float32 array, and whether it came as a 1-D signal.

    Raises ``TypeError`` for samples that are not real numbers or integers without a known
    full scale, and ``ValueError`` for a shape that is neither 1-D nor 2-D or that looks
    channels-first."""
    data, flat = as_frames(_samples(audio))
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    if not flat:
        check_orientation(data.shape)
    return data, flat


def useful_workers(channels: int, frames: int, workers: int) -> int:
    """The worker count that pays off for a buffer: whole groups of channels per worker,
    and one worker where the buffer is too small for threads to gain. Never changes bits."""
    if workers <= 1:
        return workers
    return int(_useful_workers(channels, frames, workers))


def run(
    data: npt.NDArray[np.float32],
    sample_rate: int,
    specs: Sequence[Any],
    block_size: int,
    workers: int,
) -> npt.NDArray[np.float32]:
    """Runs checked specs over a (frames, channels) float32 array in one native call.
    A chain of light effects alone (a gain, a clip) runs on one thread: it is bound by memory
    speed, and a second thread only competes for it."""
    threads = workers
    if workers > 1:
        light = all(EFFECTS[spec["type"]].light for spec in specs)
        threads = 1 if light else useful_workers(data.shape[1], data.shape[0], workers)
    chain: list[Any] = specs if isinstance(specs, list) else list(specs)
    return process_pipeline(data, sample_rate, chain, block_size=block_size, workers=threads)


def process_audio(
    audio: npt.ArrayLike,
    sample_rate: Any,
    specs: Sequence[Any],
    block_size: Any = 2048,
    workers: Any = 1,
) -> npt.NDArray[np.float32]:
    """Checks and converts audio and options, runs checked specs over it, and returns the
    result in the shape the audio came in."""
    rate = check_sample_rate(sample_rate)
    blocks, threads = check_engine_options(block_size, workers)
    data, flat = frames_of(audio)
    out = run(data, rate, specs, blocks, threads)
    return out[:, 0] if flat else out


def open_stream(
    specs: Sequence[Any], sample_rate: Any, channels: Any, block_size: Any = 2048, workers: Any = 1
) -> _native_stream.Stream:
    """A native stream for checked specs, its arguments checked as for a whole call."""
    rate = check_sample_rate(sample_rate)
    count = _whole_number("channels", channels)
    blocks, threads = check_engine_options(block_size, workers)
    return NativeStream(list(specs), rate, count, blocks, threads)


def stream_frames(chunk: npt.ArrayLike, channels: int) -> tuple[npt.NDArray[np.float32], bool]:
    """A chunk for a stream of ``channels`` channels as (frames, channels) float32, and
    whether it came 1-D; converted by the same rules as whole calls. A chunk whose channel
    count fits only when transposed is refused with the channels-first hint."""
    data, flat = as_frames(_samples(chunk))
    if flat:
        if channels != 1:
            raise ValueError(f"a 1-D chunk is mono, but the stream has {channels} channels")
        return data, True
    if data.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    if data.shape[1] != channels:
        if data.shape[0] == channels:
            raise _channels_first(data.shape)
        raise ValueError(f"the chunk has {data.shape[1]} channels, the stream has {channels}")
    return data, False
