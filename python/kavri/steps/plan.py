"""Planning a chain: the rate, channel count and length at every item, and the split into
runs of engine effects and the steps between them.

:func:`plan_chain` walks a checked chain with the input's rate and channel count. Each run
of consecutive engine effects becomes one :class:`EngineRun`, built for the rate and channel
count it will see (so a filter after a ``resample`` is designed for the new rate); each step
becomes a :class:`StepItem` with its input's and output's rate and channels. A chain that
cannot work is refused here, before any audio is read: a ``channels`` matrix whose columns
do not match the channels reaching it, ``mixdown`` weights of the wrong count, a channel
count no rule conforms to. (An engine effect for stereo after a mixdown is fine: the engine
leaves a mono buffer as it is for those.)

:func:`run_plan` runs a plan over a whole buffer: each engine run as one native call
(``process_pipeline`` through :mod:`kavri._engine`), each step over the whole buffer and
flushed. :class:`ChainStream` runs the same plan chunk by chunk: each engine run as one
native stream, each step fed chunk by chunk; flushing passes each stage's rest into the
next before flushing it. Every stage gives the same output for any chunking, so a stream
gives the bits of a whole call.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _engine
from .._providers import listed_once
from .._providers import load as load_providers
from ..catalogue import EFFECTS, NEEDED_KEYS, counted
from ..clamps import warn_clamped
from ..errors import ChainError
from .base import Frames, Identity, Step, empty, join, seconds_to_frames
from .channels import ChannelMatrix, Swap, count_matrix, mixdown_matrix
from .degrade import Bitcrush, Polarity, SampleHold
from .length import Fade, Normalize, Pad, PeakMeter, Trim, TrimPlaces, TrimSilence
from .noise import SquareMeter, noise_step
from .rate import resample_step, speed_step
from .rooms import convolution_step, reverb_step
from .stretch import pitch_shift_step, time_stretch_step

__all__ = [
    "EngineRun",
    "StepItem",
    "ChainPlan",
    "plan_chain",
    "has_steps",
    "run_plan",
    "ChainStream",
    "process_audio",
    "measure_meter",
]


def has_steps(specs: Sequence[Mapping[str, Any]]) -> bool:
    """True if any item of a checked chain is a step rather than an engine effect."""
    return any(EFFECTS[spec["type"]].step for spec in specs)


@dataclass(frozen=True)
class EngineRun:
    """Consecutive engine effects, run by one native call or one native stream."""

    specs: list[dict[str, Any]]
    rate: int
    channels: int
    first: int = 1  # the place of its first effect in the chain, from 1


# Builders of the steps that live in layers above this one (those that read files, say):
# each makes a step object from its item, its spec with the defaults filled in, the worker
# count, and what a measuring pass found (None without one). The module that holds such a
# step registers it when it is imported, which ``load_providers`` sees to.
StepBuilder = Callable[["StepItem", dict[str, Any], int, Any], "Step"]
_BUILDERS: dict[str, StepBuilder] = {}


def register_step(kind: str, builder: StepBuilder) -> None:
    """Makes ``kind`` (a step type of the catalogue) buildable by ``builder``."""
    _BUILDERS[kind] = builder


def measures_whole_input(spec: Mapping[str, Any]) -> bool:
    """Whether a step needs a measure of its whole input before it runs (a pass of the
    chain up to it): a normalize's peak, the power of the input a noise is mixed against
    at a ratio."""
    kind = spec["type"]
    if kind in ("normalize", "trim_silence"):  # (a trim's: where the sound begins and ends)
        return True
    return kind in ("noise", "background_noise") and spec.get("mode", "snr") == "snr"


@dataclass(frozen=True)
class StepItem:
    """One step: its place in the chain (from 1), its spec, and its input's and output's rate
    and channel count."""

    index: int
    spec: dict[str, Any]
    in_rate: int
    in_channels: int
    out_rate: int
    out_channels: int
    matrix: list[list[float]] | None = None

    @property
    def measures(self) -> bool:
        return measures_whole_input(self.spec)

    def build(self, workers: int, measured: Any = None) -> Step:
        """A new step object for this item; ``measured`` is what :func:`measure_meter`
        found over its whole input (a file's measuring pass), None without one."""
        spec, rate, channels = self.spec, self.in_rate, self.in_channels
        kind = spec["type"]
        value = {**EFFECTS[kind].defaults(), **spec}
        if kind == "resample":
            return resample_step(rate, channels, int(value["rate_hz"]), workers)
        if kind == "speed":
            return speed_step(rate, channels, float(value["factor"]), workers)
        # A stretch by exactly 1 and a shift of 0 leave the signal as it is (the stretcher
        # would still colour it); a resample or speed with nothing to do is soxr's identity.
        if kind == "time_stretch":
            factor = float(value["factor"])
            if factor == 1.0:
                return Identity(kind, rate, channels)
            return time_stretch_step(rate, channels, factor)
        if kind == "pitch_shift":
            semitones = float(value["semitones"])
            if semitones == 0.0:
                return Identity(kind, rate, channels)
            return pitch_shift_step(rate, channels, semitones)
        if kind in ("mixdown", "channels"):
            assert self.matrix is not None
            return ChannelMatrix(kind, rate, self.matrix)
        if kind == "swap":
            return Swap(rate, channels)
        if kind in ("trim", "pad"):
            start = seconds_to_frames(value["start_s"], rate) + int(value["start_frames"])
            end = seconds_to_frames(value["end_s"], rate) + int(value["end_frames"])
            if kind == "trim":
                limit = seconds_to_frames(value["duration_s"], rate)
                return Trim(rate, channels, start, end, limit if value["duration_s"] > 0 else None)
            return Pad(rate, channels, start, end, seconds_to_frames(value["to_s"], rate))
        if kind == "fade":
            return Fade(
                rate,
                channels,
                seconds_to_frames(value["in_s"], rate),
                seconds_to_frames(value["out_s"], rate),
                value["curve"],
            )
        if kind == "trim_silence":
            return TrimSilence(rate, channels, *_trim_settings(value, rate), places=measured)
        if kind == "normalize":
            return Normalize(
                rate, channels, value["peak_db"], value["mode"], value["when"], measured
            )
        if kind == "noise":
            return noise_step(rate, channels, value, measured)
        if kind == "bitcrush":
            return Bitcrush(rate, channels, int(value["bits"]))
        if kind == "sample_hold":
            return SampleHold(rate, channels, int(value["rate_hz"]))
        if kind == "polarity":
            return Polarity(rate, channels)
        if kind == "reverb":
            return reverb_step(rate, channels, value)
        if kind == "convolution" and not isinstance(value["ir"], str):
            where = f"convolution (effect {self.index})"
            return convolution_step(rate, channels, value["ir"], value, workers, where)
        load_providers()
        builder = _BUILDERS.get(kind)
        if builder is None:
            raise ChainError(f"unknown step '{kind}'")
        return builder(self, value, workers, measured)


class Meter:
    """What a measuring pass feeds: chunks in, the measure out."""

    def add(self, chunk: Frames) -> None:
        raise NotImplementedError

    def result(self) -> Any:
        raise NotImplementedError


class _Squares(Meter):
    def __init__(self, channels: int) -> None:
        self._meter = SquareMeter(channels)

    def add(self, chunk: Frames) -> None:
        self._meter.add(chunk)

    def result(self) -> Any:
        return self._meter.result()


class _Peaks(Meter):
    def __init__(self, channels: int, true_peak: bool) -> None:
        self._meter = PeakMeter(channels, true_peak)

    def add(self, chunk: Frames) -> None:
        self._meter.add(chunk)

    def result(self) -> Any:
        return self._meter.result()


class _Places(Meter):
    def __init__(self, item: StepItem) -> None:
        value = {**EFFECTS["trim_silence"].defaults(), **item.spec}
        self._places = TrimPlaces(item.in_rate, *_trim_settings(value, item.in_rate))

    def add(self, chunk: Frames) -> None:
        self._places.add(chunk)

    def result(self) -> Any:
        return self._places.result()


def _trim_settings(value: dict[str, Any], rate: int) -> tuple[float, int, str]:
    """A trim_silence's threshold (linear), least length (frames) and ends."""
    least = seconds_to_frames(value["min_duration_s"], rate)
    return 10.0 ** (value["threshold_db"] / 20.0), least, str(value["where"])


def measure_meter(item: StepItem) -> Meter:
    """The meter of a step that :attr:`StepItem.measures`, for a pass over its input: the
    peak (sample or true) for a normalize, where the sound begins and ends for a
    trim_silence, the sum of squares and the frame count for a noise at a ratio. The same
    for any chunking."""
    if item.spec["type"] == "normalize":
        return _Peaks(item.in_channels, item.spec.get("mode", "sample") == "true")
    if item.spec["type"] == "trim_silence":
        return _Places(item)
    return _Squares(item.in_channels)


Segment = EngineRun | StepItem


@dataclass(frozen=True)
class ChainPlan:
    """A chain planned for an input's rate and channel count: its segments in order, and
    the rate and channel count it ends with."""

    segments: tuple[Segment, ...]
    in_rate: int
    in_channels: int
    out_rate: int
    out_channels: int
    _probe: list[Step] = field(default_factory=list, compare=False, repr=False)
    # The folders its items drew from, listed once for every build of them (see listed_once).
    _seen: dict[Any, Any] = field(default_factory=dict, compare=False, repr=False)

    @property
    def has_steps(self) -> bool:
        return any(isinstance(s, StepItem) for s in self.segments)

    @property
    def measurements(self) -> list[int]:
        """Where the steps that measure their whole input are (normalize, noise at a
        ratio), as positions in ``segments``."""
        return [i for i, s in enumerate(self.segments) if isinstance(s, StepItem) and s.measures]

    def warn_clamped(self, stacklevel: int = 2, about: str = "") -> None:
        """Warns of every engine value that will be clamped, each at the rate its effect
        runs at (a frequency after a ``resample`` is held within the new rate); ``about``
        names the file, where a run processes many."""
        for segment in self.segments:
            if isinstance(segment, EngineRun):
                warn_clamped(
                    segment.specs,
                    segment.rate,
                    stacklevel=stacklevel + 1,
                    first=segment.first,
                    about=about,
                )

    def before(self, position: int) -> ChainPlan:
        """The plan of the segments before ``position``: the input of the step there."""
        kept = self.segments[:position]
        last = self.segments[position]
        rate = last.rate if isinstance(last, EngineRun) else last.in_rate
        channels = last.channels if isinstance(last, EngineRun) else last.in_channels
        return ChainPlan(kept, self.in_rate, self.in_channels, rate, channels, _seen=self._seen)

    def build(self, item: StepItem, workers: int, measured: Any = None) -> Step:
        """A new step object for one of its items (:meth:`StepItem.build`), the files it draws
        from a folder found as every other build of this plan's items found them."""
        with listed_once(self._seen):
            return item.build(workers, measured)

    def _steps(self) -> list[Step]:
        if not self._probe:
            self._probe.extend(
                self.build(s, 1, measured=1.0 if s.spec["type"] == "normalize" else None)
                for s in self.segments
                if isinstance(s, StepItem)
            )
        return self._probe

    def output_frames(self, frames: int) -> int | None:
        """The output's length for an input of ``frames``; None where it depends on the
        samples (after a trim_silence)."""
        known: int | None = frames
        for step in self._steps():
            if known is None:
                return None
            known = step.output_frames(known)
        return known

    def most_output_frames(self, frames: int) -> int:
        """At most this many frames come out for an input of ``frames``."""
        for step in self._steps():
            frames = step.most_output_frames(frames)
        return frames

    def largest_buffer(self, frames: int) -> int:
        """Bytes of the largest input and output of one stage together, for a whole call
        over ``frames``: what the memory guard is asked for before the call."""
        largest, current, steps = 0, frames, iter(self._steps())
        for segment in self.segments:
            if isinstance(segment, EngineRun):
                size = 2 * current * segment.channels * 4
            else:
                step = next(steps)
                after = step.most_output_frames(current)
                size = (current * segment.in_channels + after * segment.out_channels) * 4
                current = after
            largest = max(largest, size)
        return largest


def _matrix(where: str, spec: Mapping[str, Any], channels: int) -> list[list[float]]:
    kind = spec["type"]
    if kind == "mixdown":
        weights = list(spec.get("weights", ()))
        if weights and len(weights) != channels:
            raise ChainError(
                f"{where}: {counted(len(weights), 'weight')} for "
                f"{counted(channels, 'channel')}; give one per channel"
            )
        return mixdown_matrix(channels, weights)
    matrix = [list(row) for row in spec.get("matrix", ())]
    count = int(spec.get("count", 0))
    if matrix:
        if len(matrix[0]) != channels:
            raise ChainError(
                f"{where}: the matrix has {counted(len(matrix[0]), 'column')} (one per input "
                f"channel), but {counted(channels, 'channel')} reach it"
            )
        if count and count != len(matrix):
            raise ChainError(
                f"{where}: 'count' {count} differs from the matrix's {len(matrix)} rows"
            )
        return matrix
    if not count:
        count = channels
    conformed = count_matrix(channels, count)
    if conformed is None:
        raise ChainError(
            f"{where}: cannot make {count} channels from {channels}: only a mixdown to 1, "
            f"copies of a mono signal, or the same count are implied; give a 'matrix' to "
            f"choose the channels"
        )
    return conformed


# The stretcher steps its analysis by 3% of a second in whole frames: below 34 Hz that step
# is 0 frames, and it crashed the process or ran forever. Below 100 Hz it is refused.
STRETCH_LOWEST_RATE = 100
# The engine's filters keep a frequency at 5 Hz or more, which must lie below half the rate,
# and the phaser's sweep reaches up to 80 Hz at least: below these rates their designs are
# unstable (a lowpass at 8 Hz gave NaN on 83% of its samples, a phaser at 100 Hz on 98%).
ENGINE_LOWEST_RATES = {
    # Each designs biquads whose lowest frequency, 5 Hz, reaches half the rate below 11 Hz:
    # unstable, they gave infinities and NaN (an EQ or shelf with gain, a dynamic EQ) or
    # wrong levels (the de-esser's detector) without a word.
    **dict.fromkeys(
        "lowpass highpass bandpass notch peak_eq low_shelf high_shelf dynamic_eq deesser "
        "rotary_speaker".split(),
        11,
    ),
    "phaser": 161,
}


def _refuse_low_rate(where: str, effect_type: str, rate: int) -> None:
    lowest = ENGINE_LOWEST_RATES.get(effect_type, 1)
    if effect_type in ("time_stretch", "pitch_shift"):
        lowest = STRETCH_LOWEST_RATE
    if rate < lowest:
        raise ChainError(f"{where}: needs a sample rate of {lowest} Hz or more, got {rate} Hz")


def check_engine_rates(
    specs: Sequence[Mapping[str, Any]], rate: int, source: str = "chain"
) -> None:
    """Refuses an effect of a chain without steps at a rate below its lowest (as
    :func:`plan_chain` does for any chain)."""
    for index, spec in enumerate(specs, start=1):
        _refuse_low_rate(f"{source}: effect {index} ('{spec['type']}')", spec["type"], rate)


def plan_chain(
    specs: Sequence[Mapping[str, Any]], sample_rate: int, channels: int, source: str = "chain"
) -> ChainPlan:
    """Plans a checked chain for an input of ``sample_rate`` and ``channels``; raises
    :class:`kavri.ChainError` for a chain that cannot work with them."""
    segments: list[Segment] = []
    run: list[dict[str, Any]] = []
    rate, count = sample_rate, channels
    for index, raw in enumerate(specs, start=1):
        spec = dict(raw)
        info = EFFECTS[spec["type"]]
        where = f"{source}: effect {index} ('{info.type}')"
        _refuse_low_rate(where, info.type, rate)
        if not info.step:
            run.append(spec)
            continue
        if run:
            segments.append(EngineRun(run, rate, count, index - len(run)))
            run = []
        out_rate, out_count, matrix = rate, count, None
        if info.type == "resample":
            out_rate = int(spec.get("rate_hz", info.param("rate_hz").default))
        elif info.type in NEEDED_KEYS:
            key, names = NEEDED_KEYS[info.type]
            if isinstance(spec.get(key, ""), str) and not spec.get(key):
                article = "an" if key[0] in "aeiou" else "a"
                raise ChainError(f"{where}: needs {article} '{key}': {names}")
        elif info.type in ("mixdown", "channels"):
            matrix = _matrix(where, spec, count)
            out_count = len(matrix)
        segments.append(StepItem(index, spec, rate, count, out_rate, out_count, matrix))
        rate, count = out_rate, out_count
    if run:
        segments.append(EngineRun(run, rate, count, len(specs) - len(run) + 1))
    return ChainPlan(tuple(segments), sample_rate, channels, rate, count)


def _fit(frames: Frames, channels: int) -> Frames:
    return frames if frames.shape[0] else empty(channels)


def run_plan(
    plan: ChainPlan,
    data: npt.NDArray[np.float32],
    block_size: int,
    workers: int,
    peaks: Mapping[int, Any] | None = None,
    notes: list[str] | None = None,
) -> npt.NDArray[np.float32]:
    """Runs a plan over a whole (frames, channels) float32 buffer: each engine run in one
    native call, each step over the buffer and flushed. The memory guard is asked first for
    the largest input and output of a stage together. ``peaks`` holds what measuring
    passes found, by position (see :func:`measure_meter`). With ``notes``, what the steps
    say of the signal is added to it rather than warned."""
    _engine.check_memory(
        plan.largest_buffer(data.shape[0]),
        f"the chain's largest intermediate buffer ({data.shape[0]} frames in)",
    )
    known = peaks or {}
    for position, segment in enumerate(plan.segments):
        if isinstance(segment, EngineRun):
            data = _engine.run(data, segment.rate, segment.specs, block_size, workers)
            continue
        step = plan.build(segment, workers, known.get(position))
        if notes is not None:
            step.notes = notes
        data = _fit(step.run_whole(data), segment.out_channels)
    return data


class _EngineStage:
    """A run of engine effects as one native stream, with the step interface."""

    def __init__(self, run: EngineRun, block_size: int, workers: int) -> None:
        self._native = _engine.open_stream(run.specs, run.rate, run.channels, block_size, workers)
        self.out_channels = run.channels

    def process(self, chunk: Frames) -> Frames:
        out: Frames = self._native.process(chunk)
        return out

    def flush(self) -> Frames:
        out: Frames = self._native.flush()
        return out

    def reset(self) -> None:
        self._native.reset()

    @property
    def held_frames(self) -> int:
        return int(self._native.held_frames)

    @property
    def runs(self) -> int:
        return int(self._native.runs)


class ChainStream:
    """A planned chain run chunk by chunk: chunks are (frames, in_channels) float32 arrays,
    outputs (frames, out_channels). ``peaks`` holds what a file's measuring passes found
    for the steps that measure their whole input (a normalize's peak, the power a noise is
    mixed against) by their position in the plan; those steps then run as they go instead
    of holding the signal."""

    def __init__(
        self,
        plan: ChainPlan,
        block_size: int,
        workers: int,
        peaks: Mapping[int, Any] | None = None,
        keep_notes: bool = False,
    ) -> None:
        known = peaks or {}
        self.plan = plan
        self._stages: list[Step | _EngineStage] = [
            _EngineStage(s, block_size, workers)
            if isinstance(s, EngineRun)
            else plan.build(s, workers, known.get(i))
            for i, s in enumerate(plan.segments)
        ]
        self._entered = 0  # calls into the steps, each of which may have changed their state
        if keep_notes:  # a file's: its summary says them, once, naming the file
            for stage in self._stages:
                if isinstance(stage, Step):
                    stage.notes = []

    def notes(self) -> list[str]:
        """What the steps had to say of the signal, where ``keep_notes`` kept it."""
        return [note for s in self._stages if isinstance(s, Step) for note in s.notes or ()]

    @property
    def held_frames(self) -> int:
        """Frames held inside the stages, each counted at the rate of the stage holding it."""
        return sum(stage.held_frames for stage in self._stages)

    @property
    def runs(self) -> int:
        """A count that grows with every stage a call gets into: where a call raised and it
        has not moved, the call was refused before any stage changed, and can be tried
        again."""
        engine_runs = sum(s.runs for s in self._stages if isinstance(s, _EngineStage))
        return self._entered + engine_runs

    def check_chunk(self, frames: int) -> None:
        """Asks the guard, before any stage runs, for what the steps that hold the whole
        signal until the flush would hold with a chunk of ``frames``, and for each step's
        output: refused there, the chunk changes nothing, and what is held can still be
        flushed. (Asked for as each step took it, the flush failed after all of the input
        had been taken; and a chunk too large for a fade's output left the stream refusing
        until reset, its held frames lost.)"""
        for stage in self._stages:
            if isinstance(stage, Step):
                stage.check_hold(frames)
                most = stage.most_output_frames(frames)
                _ask_for_output(stage, frames, most)
                frames = most

    def process(self, chunk: Frames) -> Frames:
        for stage in self._stages:
            if isinstance(stage, Step):
                # A step's output for the chunk is asked of the guard before it is made, as
                # the native runs ask for theirs (a polarity made 763 MiB under 200 MiB);
                # what a step makes beyond it, and releases of what it held, it asks for
                # itself.
                _ask_for_output(stage, chunk.shape[0], stage.most_output_frames(chunk.shape[0]))
                self._entered += 1
            chunk = stage.process(chunk)
        return _fit(chunk, self.plan.out_channels)

    def check_flush(self) -> None:
        """Asks the guard, before any stage flushes, for what the steps' flushes need (see
        :meth:`Step.check_flush`), each with what the stages before it may release."""
        coming = 0
        for stage in self._stages:
            if isinstance(stage, Step):
                stage.check_flush(coming)
                coming = stage.most_flush_frames(coming)
            else:
                coming += stage.held_frames

    def flush(self) -> Frames:
        # Asked first, so that a stream refused can flush again (a file's flush, in pieces,
        # asks as it goes: a refusal there fails the file).
        self.check_flush()
        data = empty(self.plan.in_channels)
        for stage in self._stages:
            if isinstance(stage, Step):
                self._entered += 1
            head = stage.process(data) if data.shape[0] else None
            rest = stage.flush()
            data = rest if head is None else join([head, rest], "a flush")
        return _fit(data, self.plan.out_channels)

    def process_pieces(self, chunk: Frames) -> Iterator[Frames]:
        """What :meth:`process` gives for ``chunk``, in pieces, with the same bits: a file is
        written a piece at a time, so a step that makes much from little (a long pad) costs
        a piece, not all it makes."""
        return self._at_least_one(self._through(0, chunk))

    def flush_pieces(self) -> Iterator[Frames]:
        """What :meth:`flush` gives, in pieces (see :meth:`process_pieces`)."""
        return self._at_least_one(
            piece
            for index, stage in enumerate(self._stages)
            for rest in (self._step_flush(stage) if isinstance(stage, Step) else [stage.flush()])
            for piece in self._through(index + 1, rest)
        )

    def _step_flush(self, step: Step) -> Iterator[Frames]:
        self._entered += 1
        return step.flush_pieces()

    def _at_least_one(self, pieces: Iterator[Frames]) -> Iterator[Frames]:
        """The pieces, or one empty piece where there are none: a caller counts its
        progress by them."""
        given = False
        for piece in pieces:
            given = True
            yield piece
        if not given:
            yield empty(self.plan.out_channels)

    def _through(self, index: int, piece: Frames) -> Iterator[Frames]:
        """A piece run through the stages from ``index`` on."""
        if index == len(self._stages):
            if piece.shape[0]:
                yield _fit(piece, self.plan.out_channels)
            return
        stage = self._stages[index]
        if isinstance(stage, Step):
            _ask_for_output(stage, piece.shape[0], stage.most_piece_frames(piece.shape[0]))
            self._entered += 1
            outputs: Iterator[Frames] = stage.pieces(piece)
        else:
            outputs = iter([stage.process(piece)])
        for out in outputs:
            if out.shape[0]:
                yield from self._through(index + 1, out)

    def reset(self) -> None:
        for stage in self._stages:
            stage.reset()


def _ask_for_output(step: Step, frames_in: int, frames_out: int) -> None:
    """Asks the memory guard for a step's output before the step makes it."""
    _engine.check_memory(
        frames_out * step.out_channels * 4,
        f"{step.type}: the output of {counted(frames_in, 'frame')}",
    )


def require_channels(data: Frames) -> None:
    """Refuses audio of no channels as the engine refuses it: the steps each failed
    otherwise (a division by zero, soxr's own words) or gave back nothing."""
    if data.shape[1] == 0:
        raise RuntimeError("Audio buffers must have at least one channel.")


def process_audio(
    audio: npt.ArrayLike,
    sample_rate: Any,
    specs: Sequence[dict[str, Any]],
    block_size: Any = _engine.DEFAULT_BLOCK_SIZE,
    workers: Any = 1,
    *,
    warn_clamps: bool = False,
    notes: list[str] | None = None,
) -> npt.NDArray[np.float32]:
    """:func:`kavri._engine.process_audio` for any checked chain, steps included: without
    steps, the one native call; with them, the chain planned for the audio and run by
    :func:`run_plan`. A 1-D signal comes back 1-D while the chain ends in one channel.
    ``warn_clamps`` warns of the values the engine will clamp (see :mod:`kavri.clamps`);
    ``notes`` takes what the steps say, as :func:`run_plan` does."""
    if not has_steps(specs):
        check_engine_rates(specs, _engine.check_sample_rate(sample_rate))
        if warn_clamps:
            warn_clamped(specs, _engine.check_sample_rate(sample_rate), stacklevel=3)
        return _engine.process_audio(audio, sample_rate, specs, block_size, workers)
    rate = _engine.check_sample_rate(sample_rate)
    blocks, threads = _engine.check_engine_options(block_size, workers)
    data, flat = _engine.frames_of(audio)
    require_channels(data)
    plan = plan_chain(specs, rate, data.shape[1])
    if warn_clamps:
        plan.warn_clamped(stacklevel=3)
    out = run_plan(plan, data, blocks, threads, notes=notes)
    return out[:, 0] if flat and out.shape[1] == 1 else out
