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

- arrays of other libraries: anything with ``__dlpack__`` (a torch tensor on the CPU, say) is
  read through ``numpy.from_dlpack``, without a copy when it is float32 and contiguous, and
  the result goes back through the ``from_dlpack`` of the caller's library (a tensor in, a
  tensor out), found on the input's type or its top-level module; anything else with the
  array interface is read through NumPy, again without a copy, and comes back as NumPy.
- batches: a (items, frames) or (items, frames, channels) array is items of one length, a
  list or tuple holds items of any lengths with one channel count; each item is checked as
  one buffer is, and the result has the batch's structure.

This module knows nothing of files, chains or loudness; it takes checked specs, and reads of
the catalogue only which effects are light enough that a second thread cannot pay off.
"""

from __future__ import annotations

import inspect
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any, NoReturn, Protocol, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _kavri_stream as _native_stream
from ._audio import (
    MAX_SAMPLE_RATE,
    as_frames,
    check_sample_rate,
    pcm_to_float,
    real_samples,
    shown_integer,
    whole_number,
)
from ._kavri_core import process_pipeline
from .catalogue import EFFECTS, counted

__all__ = [
    "CHANNELS_FIRST_LIMIT",
    "DEFAULT_BLOCK_SIZE",
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
    "NativeConvolver",
    "NativeReverb",
    "NativeLevelMeter",
    "open_stream",
    "RandomDraw",
    "Batch",
    "batch_audio",
    "run_batch",
    "lane_widths",
    "lane_width",
    "result_maker",
    "SupportsDLPack",
    "NativeState",
]


class SupportsDLPack(Protocol):
    """An array of another library that NumPy reads in place (a torch tensor, say): a
    result comes back as its kind (see :func:`result_maker`)."""

    def __dlpack__(self, *args: Any, **kwargs: Any) -> Any: ...


class NativeState:
    """A base for objects whose state lives in a native object, which a copy would share
    (both would go on with one signal): copies and pickles are refused, with what to do
    instead (``INSTEAD``)."""

    INSTEAD = "make another"

    def __copy__(self) -> NoReturn:
        raise TypeError(f"a {type(self).__name__} cannot be copied; {self.INSTEAD}")

    def __deepcopy__(self, memo: dict[int, Any]) -> NoReturn:
        raise TypeError(f"a {type(self).__name__} cannot be copied; {self.INSTEAD}")

    def __reduce_ex__(self, protocol: SupportsIndex) -> NoReturn:
        raise TypeError(f"a {type(self).__name__} cannot be pickled; {self.INSTEAD}")


# An array with at most this many frames and more channels than that is taken to be
# channels-first, (channels, frames): real recordings have few channels and many frames.
CHANNELS_FIRST_LIMIT = 64
_MAX_BLOCK_SIZE = 2**64 - 1
# The most channels a stream is opened for (far past any memory: the guard refuses long
# before); beyond it the native constructor's own argument error came with its signature.
# Below 1 the engine refuses them in its own words, as for a whole call.
_MOST_CHANNELS = 2**31 - 1


def usable_cores() -> int:
    """The cores this process may run on: those its CPU affinity allows (taskset, a
    container's or a cluster job's cpuset), else the machine's. Thread counts are capped at
    it and defaults follow it: the machine's count put two threads on one allowed core."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# Read once: os.cpu_count() and the affinity are system calls on every call.
_CORES = usable_cores()

NativeStream = _native_stream.Stream
# The true-peak meter's oversampling, run in native code (see kavri.loudness).
NativeTruePeak = _native_stream.TruePeak
# The level meter's walk over the samples: peaks, counts, true peak and the K-weighted sums
# of gating blocks and segments (see kavri.loudness).
NativeLevelMeter = _native_stream.LevelMeter
# Asks the memory guard whether a buffer of the front end's own fits: check_memory(bytes,
# what) raises MemoryError in the guard's words when it does not.
check_memory = _native_stream.check_memory
# Second-order sections in double precision, in place, as scipy.signal.sosfilt runs them
# (the noise colours, kavri.steps.noise).
filter_sections = _native_stream.filter_sections
_useful_workers = _native_stream.useful_workers
# The rooms: partitioned convolution and the reverb (kavri.steps.rooms runs them).
NativeConvolver = _native_stream.Convolver
NativeReverb = _native_stream.Reverb
# A random chain description compiled for the native draw (kavri.random_chain uses it).
RandomDraw = _native_stream.RandomDraw
_process_batch = _native_stream.process_batch
# The lane width of batches run in this context: 0 for the widest the processor has.
_LANE_WIDTH: ContextVar[int] = ContextVar("kavri_lane_width", default=0)


# Frames per block where a caller gives none, and what the engine takes 0 to mean.
DEFAULT_BLOCK_SIZE = 2048


def check_engine_options(block_size: Any, workers: Any) -> tuple[int, int]:
    """Checks ``block_size`` and ``workers`` and returns them as the engine gets them.

    Both are whole numbers of 0 or more (0 means the engine's default: 2048 frames, one
    thread). The worker count is capped at the number of cores: more threads than cores
    only add start-up cost, and the output is the same for any count.
    """
    blocks = whole_number("block_size", block_size)
    threads = whole_number("workers", workers)
    if blocks < 0:
        raise ValueError(f"block_size must be 0 or more frames, got {shown_integer(blocks)}")
    if blocks > _MAX_BLOCK_SIZE:
        raise ValueError(
            f"block_size {shown_integer(blocks)} is too large (at most 2**64 - 1 frames)"
        )
    if threads < 0:
        raise ValueError(f"workers must be 0 or more, got {shown_integer(threads)}")
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


def result_maker(audio: Any) -> Callable[[Any], Any] | None:
    """How a result goes back to the caller's kind of array: the ``from_dlpack`` of the
    input's library for an input with ``__dlpack__`` that is not a NumPy array (a
    ``from_dlpack`` class or static method of its type, else a function of that name in its
    top-level module), or None to return NumPy arrays."""
    kind = type(audio)
    if isinstance(audio, np.ndarray) or not hasattr(kind, "__dlpack__"):
        return None
    own = inspect.getattr_static(kind, "from_dlpack", None)
    if isinstance(own, (classmethod, staticmethod)):
        make: Any = kind.from_dlpack
    else:
        make = getattr(sys.modules.get(kind.__module__.partition(".")[0]), "from_dlpack", None)
    return make if callable(make) else None


def _dlpack(audio: Any) -> npt.NDArray[Any]:
    """An array of another library as NumPy, sharing its memory."""
    try:
        return np.from_dlpack(audio)
    except (BufferError, RuntimeError, TypeError, ValueError) as error:
        raise TypeError(
            f"audio of type {type(audio).__name__} cannot be read as a CPU array: {error}"
        ) from None


def _samples(audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The audio as float32 samples by the rules above, in the shape it came in."""
    if type(audio) is np.ndarray and audio.dtype == np.float32:
        return audio
    if not isinstance(audio, np.ndarray) and hasattr(type(audio), "__dlpack__"):
        return pcm_to_float(_dlpack(audio))
    return real_samples(audio)


def frames_of(audio: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], bool]:
    """The audio as a (frames, channels) float32 array, and whether it came as a 1-D signal.

    Raises ``TypeError`` for samples that are not real numbers or integers without a known
    full scale, and ``ValueError`` for a shape that is neither 1-D nor 2-D or that looks
    channels-first."""
    return shaped_frames(_samples(audio))


def shaped_frames[T: np.generic](data: npt.NDArray[T]) -> tuple[npt.NDArray[T], bool]:
    """Samples already converted, as (frames, channels), and whether they came 1-D;
    ``ValueError`` for a shape that is neither 1-D nor 2-D or that looks channels-first."""
    shaped, flat = as_frames(data)
    if shaped.ndim != 2:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {shaped.shape}")
    _check_channels(shaped.shape)
    if not flat:
        check_orientation(shaped.shape)
    return shaped, flat


def _check_channels(shape: tuple[int, ...]) -> None:
    # (The engine's RuntimeError had said it, where a shape is refused with ValueError.)
    if shape[-1] < 1:
        raise ValueError(f"audio must have at least one channel, got shape {shape}")


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
    block_size: Any = DEFAULT_BLOCK_SIZE,
    workers: Any = 1,
) -> npt.NDArray[np.float32]:
    """Checks and converts audio and options, runs checked specs over it, and returns the
    result in the shape the audio came in."""
    rate = check_sample_rate(sample_rate)
    blocks, threads = check_engine_options(block_size, workers)
    data, flat = frames_of(audio)
    out = run(data, rate, specs, blocks, threads)
    result = out[:, 0] if flat else out
    make = result_maker(audio)
    return result if make is None else make(result)


def open_stream(
    specs: Sequence[Any],
    sample_rate: Any,
    channels: Any,
    block_size: Any = DEFAULT_BLOCK_SIZE,
    workers: Any = 1,
) -> _native_stream.Stream:
    """A native stream for checked specs, its arguments checked as for a whole call."""
    rate = check_sample_rate(sample_rate)
    count = whole_number("channels", channels)
    if count < 1:
        raise ValueError(f"channels must be 1 or more, got {shown_integer(count)}")
    if count > _MOST_CHANNELS:
        raise ValueError(f"channels must be at most {_MOST_CHANNELS}, got {shown_integer(count)}")
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
        raise ValueError(
            f"the chunk has {counted(data.shape[1], 'channel')}, "
            f"the stream has {counted(channels, 'channel')}"
        )
    return data, False


# ---------------------------------------------------------------------------------------
# Batches.


def lane_widths() -> list[int]:
    """The lane widths batches can run on this processor, widest first: 16 with AVX-512, 8
    with AVX2, 4 everywhere, and 1 for no lanes (every item through its own effects)."""
    return [int(width) for width in _native_stream.lane_widths()]


@contextmanager
def lane_width(width: int) -> Iterator[None]:
    """Runs the batches of this context (thread or task) at ``width`` lanes (1: no lanes)
    instead of the widest: for tests and benchmarks. The bits never depend on it."""
    if width not in lane_widths():
        raise ValueError(f"lane width {width!r} is not one of {lane_widths()} on this processor")
    token = _LANE_WIDTH.set(width)
    try:
        yield
    finally:
        _LANE_WIDTH.reset(token)


@dataclass
class Batch:
    """A batch as the engine takes it: one (items, frames, channels) float32 array, or a
    list of (frames, channels) float32 arrays; and how to hand results back."""

    data: npt.NDArray[np.float32] | list[npt.NDArray[np.float32]]
    flat: list[bool]
    makers: list[Callable[[Any], Any] | None]
    stacked: bool
    mono: bool = False  # a stacked batch of (items, frames)

    def __len__(self) -> int:
        return len(self.flat)

    def items(self) -> list[npt.NDArray[np.float32]]:
        """Each item as a (frames, channels) float32 array."""
        return list(self.data)


# What a batch keeps of each item beside its samples: its entries in the lists of shapes,
# chains and results, and its plan.
_ITEM_BYTES = 256


def batch_audio(batch: Any) -> Batch:
    """Converts and checks a batch: each item by the rules of one buffer. An array (or
    another library's array) is (items, frames) of mono items or (items, frames, channels);
    a list or tuple holds items of any lengths, each 1-D or (frames, channels), all with the
    same channel count."""
    if isinstance(batch, (list, tuple)):
        items: list[npt.NDArray[np.float32]] = []
        flat: list[bool] = []
        for k, item in enumerate(batch):
            try:
                data, one = frames_of(item)
            except (TypeError, ValueError, MemoryError) as error:
                if type(error) not in (TypeError, ValueError, MemoryError):
                    raise
                # The refusal process gives, naming the item it is about.
                raise type(error)(f"item {k}: {error}") from None
            if items and data.shape[1] != items[0].shape[1]:
                raise ValueError(
                    f"item {k} has {counted(data.shape[1], 'channel')}, item 0 has "
                    f"{counted(items[0].shape[1], 'channel')}: "
                    "a batch's items have one channel count"
                )
            items.append(data)
            flat.append(one)
        return Batch(items, flat, [result_maker(item) for item in batch], False)
    maker = result_maker(batch)
    data = _samples(batch)
    if data.ndim == 2:
        stacked, mono = data[:, :, np.newaxis], True
    elif data.ndim == 3:
        _check_channels(data.shape)
        check_orientation(data.shape[1:])
        stacked, mono = data, False
    else:
        raise ValueError(
            "a batch must be (items, frames) or (items, frames, channels), "
            f"or a list of items; got shape {data.shape}"
        )
    # A view of 10**9 items of two frames met the lists' allocation unasked.
    check_memory(len(stacked) * _ITEM_BYTES, f"a batch of {len(stacked):,} items' bookkeeping")
    return Batch(stacked, [mono] * len(stacked), [maker], True, mono)


def run_batch(
    batch: Batch, sample_rate: Any, chains: list[list[Any]], block_size: Any, workers: Any
) -> Any:
    """Runs each item through its checked chain (``chains[i]``; one list object given for
    many items is read once) in one native call, and returns the results in the batch's
    structure and kind."""
    rate = check_sample_rate(sample_rate)
    blocks, threads = check_engine_options(block_size, workers)
    out = _process_batch(batch.data, rate, chains, blocks, threads, _LANE_WIDTH.get())
    return batch_results(batch, out)


def batch_results(batch: Batch, out: Any) -> Any:
    """Results in the batch's structure and kind: a stacked array for a stacked batch (a
    list when its items' results came out of different shapes, as steps may make them),
    else a list with each item in the shape it came in."""
    if batch.stacked:
        shapes = {item.shape for item in out}
        if isinstance(out, np.ndarray) or len(shapes) == 1:
            stacked = np.asarray(out) if isinstance(out, np.ndarray) else np.stack(out)
            result = stacked[:, :, 0] if batch.mono and stacked.shape[2] == 1 else stacked
            make = batch.makers[0]
            return result if make is None else make(result)
        flat = [batch.mono] * len(out)
        makers = batch.makers * len(out)
    else:
        flat, makers = batch.flat, batch.makers
    results = []
    for item, one, make in zip(out, flat, makers, strict=True):
        shaped = item[:, 0] if one and item.shape[1] == 1 else item
        results.append(shaped if make is None else make(shaped))
    return results
