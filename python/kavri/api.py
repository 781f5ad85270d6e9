"""The array API: :func:`process` runs a chain over an array in one native call (one per
run of engine effects, with the steps between them),
:func:`process_to_loudness` brings the result to a loudness target, and :func:`augment` runs
a chain drawn from a random chain; :func:`process_batch` and :func:`augment_batch` do the
same for a whole batch of items in one native call. All of them convert and check audio
through the one path into the engine, so they take the same arrays and refuse the same ones
alike."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Mapping, Sequence
from collections.abc import Set as AbstractSet
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from . import _engine, steps
from ._engine import SupportsDLPack
from .catalogue import counted
from .chain import Chain, ChainLike, load_chain
from .clamps import warn_clamped
from .errors import KavriWarning
from .loudness import (
    WRITE_TRIES,
    LimiterTrial,
    LoudnessResult,
    LoudnessTarget,
    Measurement,
    corrected,
    measure,
    plan_loudness,
    planned_again,
    target_of,
    true_peaks_of,
)
from .random_chain import RandomChain, RandomChainLike

__all__ = [
    "process",
    "process_to_loudness",
    "augment",
    "process_batch",
    "augment_batch",
    "LoudnessWarning",
]


class LoudnessWarning(KavriWarning):
    """A loudness target that could not be reached within 0.5 LU."""


@overload
def process(
    audio: npt.NDArray[Any],
    sample_rate: int | float,
    chain: ChainLike,
    *,
    block_size: int = ...,
    workers: int = ...,
    loudness: float | None = ...,
    peak_ceiling: float | None = ...,
) -> npt.NDArray[np.float32]: ...


@overload
def process[Foreign: SupportsDLPack](
    audio: Foreign,
    sample_rate: int | float,
    chain: ChainLike,
    *,
    block_size: int = ...,
    workers: int = ...,
    loudness: float | None = ...,
    peak_ceiling: float | None = ...,
) -> Foreign: ...


@overload
def process(
    audio: npt.ArrayLike,
    sample_rate: int | float,
    chain: ChainLike,
    *,
    block_size: int = ...,
    workers: int = ...,
    loudness: float | None = ...,
    peak_ceiling: float | None = ...,
) -> npt.NDArray[np.float32]: ...


def process(
    audio: Any,  # as the overloads above say
    sample_rate: int | float,
    chain: ChainLike,
    *,
    block_size: int = _engine.DEFAULT_BLOCK_SIZE,
    workers: int = 1,
    loudness: float | None = None,
    peak_ceiling: float | None = None,
) -> Any:
    """Runs an effect chain over audio and returns the processed float32 array.

    ``audio`` is a (frames, channels) array or a 1-D mono signal; the result has the shape
    the audio came in, unless the chain's steps change it: a ``resample`` or ``speed``
    changes the length and a ``resample`` the rate (effects after it run at the new rate), a
    ``mixdown`` or ``channels`` the channel count (1-D in, 1-D out while the chain ends in
    one channel), and the length steps the length. Float samples are taken as they are (full
    scale is 1.0); integer PCM arrays are scaled by their full scale into [-1, 1): int16 by
    32768, int32 by 2**31, int8 by 128, and uint8 centred on 128 and divided by 128. Other
    integer arrays, booleans and complex numbers are refused (``TypeError``); a plain list
    holds sample values as written. An array with at most 64 frames and more than 64
    channels is taken for a channels-first array and refused (transpose it). ``sample_rate``
    is in hertz, an int or a float with a whole value (48000.0). ``chain`` is a list of
    effect specs (dicts with a "type" and that effect's keys), the path of a JSON chain
    file, or a preset name (see :func:`kavri.list_presets`). The chain is checked against
    the effect catalogue first (NaN, infinite and out-of-range values are refused), then the
    whole buffer goes through the engine in one call of ``process_pipeline``, with the
    interpreter lock released. ``workers`` is capped at the number of cores, and lowered
    where more threads would not pay off (a short buffer, or fewer channels than make a
    group per worker). The output is the same for every ``workers`` count, and for every
    ``block_size`` unless the chain has a "dynamic_eq". A value outside its effect's range,
    which the engine holds at the bound, gives a :class:`kavri.clamps.ClampWarning` naming it
    and what it became.

    ``loudness`` (LUFS) brings the integrated loudness (ITU-R BS.1770-4) of the result
    within 0.5 LU of that target with a gain after the chain, followed by the engine's
    "limiter" where the gain would push the true peak over ``peak_ceiling`` (dBTP, -1 by
    default; refused without a target); a target that cannot be reached gives a
    :class:`LoudnessWarning` saying by how much it was missed. :func:`process_to_loudness`
    returns the details as well.

    Raises :class:`kavri.ChainError` for a bad chain, ``ValueError`` for audio of the wrong
    shape, an out-of-range sample rate, block size or worker count, or a loudness target out
    of range, ``TypeError`` for a sample rate, block size or worker count that is not a
    whole number or audio that is not real numbers or of an unknown integer type, and
    ``RuntimeError`` or ``MemoryError`` from the engine.
    """
    target = target_of(loudness, peak_ceiling)
    if target is not None:
        return _to_loudness(audio, sample_rate, chain, target, block_size, workers)[0]
    specs: list[Any] = load_chain(chain)
    return steps.process_audio(audio, sample_rate, specs, block_size, workers, warn_clamps=True)


@overload
def process_to_loudness(
    audio: npt.NDArray[Any],
    sample_rate: int | float,
    chain: ChainLike,
    loudness: float,
    *,
    peak_ceiling: float = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[npt.NDArray[np.float32], LoudnessResult]: ...


@overload
def process_to_loudness[Foreign: SupportsDLPack](
    audio: Foreign,
    sample_rate: int | float,
    chain: ChainLike,
    loudness: float,
    *,
    peak_ceiling: float = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[Foreign, LoudnessResult]: ...


@overload
def process_to_loudness(
    audio: npt.ArrayLike,
    sample_rate: int | float,
    chain: ChainLike,
    loudness: float,
    *,
    peak_ceiling: float = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[npt.NDArray[np.float32], LoudnessResult]: ...


def process_to_loudness(
    audio: Any,  # as the overloads above say
    sample_rate: int | float,
    chain: ChainLike,
    loudness: float,
    *,
    peak_ceiling: float = -1.0,
    block_size: int = _engine.DEFAULT_BLOCK_SIZE,
    workers: int = 1,
) -> tuple[Any, LoudnessResult]:
    """:func:`process` with a loudness target: returns the processed audio and a
    :class:`kavri.loudness.LoudnessResult` with the gain added, the limiter ceiling if one
    was needed, and the loudness and true peak measured on the result. Warns with
    :class:`LoudnessWarning` when the target was missed by more than 0.5 LU or the true peak
    passed the ceiling."""
    target = LoudnessTarget(loudness, peak_ceiling)
    return _to_loudness(audio, sample_rate, chain, target, block_size, workers)


def _to_loudness(
    audio: npt.ArrayLike,
    sample_rate: int | float,
    chain: ChainLike,
    target: LoudnessTarget,
    block_size: int,
    workers: int,
) -> tuple[npt.NDArray[np.float32], LoudnessResult]:
    """The work of :func:`process_to_loudness`, for it and for :func:`process`: its
    warnings name the line that called either."""
    specs: list[Any] = load_chain(chain)
    rate = _engine.check_sample_rate(sample_rate)
    blocks, threads = _engine.check_engine_options(block_size, workers)
    data, flat = _engine.frames_of(audio)
    plan = steps.plan_chain(specs, rate, data.shape[1])
    plan.warn_clamped(stacklevel=3)
    rate = plan.out_rate

    def run(source: npt.NDArray[np.float32], extra: list[Any]) -> npt.NDArray[np.float32]:
        return _engine.run(source, rate, extra, blocks, threads) if extra else source

    # The gain and limiter come after the chain, at the rate it ends with, so they can run
    # over its output.
    chained = steps.run_plan(plan, data, blocks, threads)
    first = measure(chained, rate, true_peak=False)

    def passed(extra: Sequence[Any]) -> Measurement:
        return measure(run(chained, list(extra)), rate)

    trial = LimiterTrial(first, lambda start, stop: [chained[start:stop]])
    channels = chained.shape[1]
    result = plan_loudness(
        target, passed, first, trial, lambda: true_peaks_of([chained], rate, channels)
    )
    final = run(chained, result.specs)
    written = measure(final, rate)
    for again_at in range(1, WRITE_TRIES + 1):
        # Corrected as a streamed file is (kavri.rendering).
        if planned_again(result, written, again_at):
            result = plan_loudness(
                target, passed, first, None, lambda: true_peaks_of([chained], rate, channels)
            )
            final = run(chained, result.specs)
            written = measure(final, rate)
            break
        again = corrected(result, written) if again_at < WRITE_TRIES else None
        if again is None:
            break
        result = again
        final = run(chained, result.specs)
        written = measure(final, rate)
    result.measured(written)
    problem = result.problem()
    if problem:
        warnings.warn(problem, LoudnessWarning, stacklevel=3)
    shaped = final[:, 0] if flat and final.shape[1] == 1 else final
    make = _engine.result_maker(audio)  # as the caller's kind of array, as process gives it
    return (shaped if make is None else make(shaped)), result


@overload
def augment(
    audio: npt.NDArray[Any],
    sample_rate: int | float,
    random_chain: RandomChainLike,
    *,
    seed: SupportsIndex,
    index: SupportsIndex = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[npt.NDArray[np.float32], Chain]: ...


@overload
def augment[Foreign: SupportsDLPack](
    audio: Foreign,
    sample_rate: int | float,
    random_chain: RandomChainLike,
    *,
    seed: SupportsIndex,
    index: SupportsIndex = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[Foreign, Chain]: ...


@overload
def augment(
    audio: npt.ArrayLike,
    sample_rate: int | float,
    random_chain: RandomChainLike,
    *,
    seed: SupportsIndex,
    index: SupportsIndex = ...,
    block_size: int = ...,
    workers: int = ...,
) -> tuple[npt.NDArray[np.float32], Chain]: ...


def augment(
    audio: Any,  # as the overloads above say
    sample_rate: int | float,
    random_chain: RandomChainLike,
    *,
    seed: SupportsIndex,
    index: SupportsIndex = 0,
    block_size: int = _engine.DEFAULT_BLOCK_SIZE,
    workers: int = 1,
) -> tuple[Any, Chain]:
    """Draws the chain for (seed, index) and runs it over the audio.

    Returns the augmented float32 audio, in the shape it came in (a 1-D mono signal
    stays 1-D), and the concrete chain that ran; ``kavri.process(audio, sample_rate,
    chain)`` gives the same bits, and takes and refuses the same audio. ``random_chain``
    is a :class:`RandomChain` or anything it accepts.
    """
    chain = RandomChain(random_chain).sample(seed, index)
    # The drawn chain is valid by construction, so it goes to the engine unchecked; a
    # description's range may still run past an engine key's clamp, which is told.
    out = steps.process_audio(audio, sample_rate, chain, block_size, workers, warn_clamps=True)
    return out, chain


def _per_item(chains: Any) -> bool:
    """Whether ``chains`` is a list of chains, one per item, rather than one chain: a list or
    tuple whose every element is itself a chain (a list or tuple of specs, a path or a
    preset name) and not a spec."""
    return (
        isinstance(chains, (list, tuple))
        and len(chains) > 0
        and all(not isinstance(chain, Mapping) for chain in chains)
        and all(isinstance(chain, (list, tuple, str, os.PathLike)) for chain in chains)
    )


def process_batch(
    batch: Any,
    sample_rate: int | float,
    chains: ChainLike | Sequence[ChainLike],
    *,
    block_size: int = _engine.DEFAULT_BLOCK_SIZE,
    workers: int = 1,
) -> Any:
    """Runs every item of a batch through its chain in one native call.

    ``batch`` is a (items, frames) array of mono items, a (items, frames, channels) array,
    or a list of items of any lengths (each 1-D or (frames, channels), all with the same
    channel count); another library's array (a torch tensor on the CPU) is taken without a
    copy when it is float32 and contiguous. ``chains`` is one chain for every item (a list
    of specs, a chain file or a preset name) or a list of one chain per item. Returns the
    batch's structure: an array of the same shape, or a list of arrays each in the shape its
    item came in, as the caller's kind of array (a tensor in, a tensor out).

    Item i is exactly the bits of ``kavri.process(batch[i], sample_rate, chains[i],
    block_size=block_size)``, and each item is taken or refused as ``process`` takes or
    refuses it. The whole batch runs with the interpreter lock released: items whose chains
    hold only gain, clip, distortion, the seven filters, limiter, compressor, tremolo and
    delay run side by side in vector lanes (16 with AVX-512, 8 with AVX2, 4 elsewhere), a
    lane per channel of an item; items with any other effect run one at a time through the
    engine as ``process`` runs them. ``workers`` threads (capped at the cores) share the
    groups of items; the output is the same for every count.
    """
    prepared = _engine.batch_audio(batch)
    count = len(prepared)
    if _per_item(chains):
        listed = list(chains)  # type: ignore[arg-type]
        if len(listed) != count:
            raise ValueError(
                f"chains has {counted(len(listed), 'chain')} for a batch of "
                f"{counted(count, 'item')}"
            )
        # A chain object given for many items is checked once and read once.
        checked: dict[int, list[Any]] = {}
        per_item: list[list[Any]] = []
        for chain in listed:
            specs = checked.get(id(chain))
            if specs is None:
                specs = checked[id(chain)] = load_chain(chain)  # type: ignore[arg-type]
            per_item.append(specs)
    else:
        per_item = [load_chain(chains)] * count  # type: ignore[arg-type]
    return _run_batch(prepared, sample_rate, per_item, block_size, workers, warn_clamps=True)


def _told_items(chains: list[list[Any]]) -> list[tuple[int, str]]:
    """The items whose chains a batch tells the clamps of, with the name each is told by:
    a chain object given for many items once, unnamed; chains of their own (drawn ones,
    say), each named by its item (a clamp told for each had named none of them)."""
    first: dict[int, int] = {}
    for index, chain in enumerate(chains):
        first.setdefault(id(chain), index)
    named = len(first) > 1
    return [(index, f"item {index}" if named else "") for index in first.values()]


def augment_batch(
    batch: Any,
    sample_rate: int | float,
    random_chain: RandomChainLike,
    *,
    seed: SupportsIndex,
    indices: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
    block_size: int = _engine.DEFAULT_BLOCK_SIZE,
    workers: int = 1,
) -> tuple[Any, list[Chain]]:
    """Augments every item of a batch with its own draw of a random chain, in one native
    call for the draws and one for the audio.

    Item i is drawn and processed exactly as ``kavri.augment(batch[i], sample_rate,
    random_chain, seed=seed, index=indices[i])``: the same chain and the same bits.
    ``indices`` defaults to 0 .. items - 1. Returns the augmented batch (in the structure
    and kind ``process_batch`` returns) and the list of concrete chains, one per item.
    """
    prepared = _engine.batch_audio(batch)
    count = len(prepared)
    # A set's or a mapping's order is not the items': a set's {7, 2, 5} gave item 0 index 2.
    if (
        isinstance(indices, AbstractSet | Mapping)
        or not isinstance(indices, Iterable | None)
        or getattr(indices, "ndim", 1) == 0  # a 0-d array: iterable in name only
    ):
        raise TypeError(f"indices must be a sequence, one per item, got {type(indices).__name__}")
    keys = range(count) if indices is None else list(indices)
    if len(keys) != count:
        raise ValueError(
            f"indices has {counted(len(keys), 'index', 'indices')} "
            f"for a batch of {counted(count, 'item')}"
        )
    chains = RandomChain(random_chain)._sample_many(seed, keys)
    # The drawn chains are valid by construction, so they go to the engine unchecked (their
    # clamps told, as in augment).
    return _run_batch(prepared, sample_rate, chains, block_size, workers, warn_clamps=True), chains


def _run_batch(
    prepared: _engine.Batch,
    sample_rate: int | float,
    chains: list[list[Any]],
    block_size: int,
    workers: int,
    warn_clamps: bool = False,
) -> Any:
    """The batch in one native call, or, when a chain holds steps (which change the rate,
    the length or the channels, and run in Python between the engine's effects), every item
    through its planned chain in turn: the bits of ``process`` either way. ``warn_clamps``
    warns of the values the engine will clamp, as ``process`` does."""
    if not any(steps.has_steps(chain) for chain in chains):
        rate = _engine.check_sample_rate(sample_rate)
        for index, chain in enumerate(chains):
            steps.check_engine_rates(chain, rate, f"item {index}'s chain")
        if warn_clamps:
            for index, about in _told_items(chains):
                warn_clamped(chains[index], rate, stacklevel=3, about=about)
        return _engine.run_batch(prepared, sample_rate, chains, block_size, workers)
    rate = _engine.check_sample_rate(sample_rate)
    blocks, threads = _engine.check_engine_options(block_size, workers)
    # Every item is planned, and the outputs together asked of the memory guard, before
    # any audio runs: a chain that cannot work with its item was found after the items
    # before it had run, and the outputs (then stacked, a second copy) were never counted.
    plans, total = [], 0
    for index, (item, chain) in enumerate(zip(prepared.items(), chains, strict=True)):
        steps.require_channels(item)
        plan = steps.plan_chain(chain, rate, item.shape[1], f"item {index}'s chain")
        total += plan.most_output_frames(item.shape[0]) * plan.out_channels * 4
        plans.append(plan)
    _engine.check_memory(2 * total, f"the outputs of a batch of {counted(len(plans), 'item')}")
    if warn_clamps:
        for index, about in _told_items(chains):
            plans[index].warn_clamped(stacklevel=3, about=about)
    outputs = [
        steps.run_plan(plan, item, blocks, threads)
        for plan, item in zip(plans, prepared.items(), strict=True)
    ]
    return _engine.batch_results(prepared, outputs)
