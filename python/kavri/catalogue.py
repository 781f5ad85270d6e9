"""The effect catalogue: every effect type with its parameter keys, defaults, units and ranges.

This table is the one place the Python side learns what the engine accepts. The chain
loader checks specs against it, ``kavri effects`` prints it, and the documentation's
effect pages are generated from it. Defaults are the single-precision values the engine uses,
and ranges are the clamps each effect applies when it is built.

Besides the engine's effects it lists the steps (:data:`STEP_TYPES`, the family "steps"):
chain items that change the rate, the length or the channel count, which the front end runs
between the engine's runs of effects (:mod:`kavri.steps`), and the noise and degradation
items (:data:`NOISE_TYPES`, the family "noise") and the rooms (:data:`ROOM_TYPES`, the family
"rooms": convolution and reverb, native but fed by the front end), run in the same way.
A step's range is a limit, not a clamp: a value outside it is refused when the chain is
checked. Some of their keys hold a name from a short list (``choices``), a list of numbers,
a matrix or a text (a path, a pattern), not a number.
"""

from __future__ import annotations

import difflib
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._paths import shown

__all__ = [
    "Param",
    "EffectInfo",
    "EFFECTS",
    "FAMILIES",
    "effect_types",
    "get_effect",
    "suggest",
    "markdown_reference",
    "format_number",
    "ENGINE_TYPES",
    "STEP_TYPES",
    "NOISE_TYPES",
    "ROOM_TYPES",
    "NEEDED_KEYS",
]


def _f32(value: float) -> float:
    """The value as the engine holds it: rounded to the nearest single-precision float."""
    return float(np.float32(value))


def format_number(value: float | int) -> str:
    """Shortest text that reads back as the same single-precision value (ints as ints)."""
    if isinstance(value, int):
        return str(value)
    if abs(value) >= 1e16:  # 1e+30, not its 31 digits
        return np.format_float_scientific(np.float32(value), trim="-")
    return np.format_float_positional(np.float32(value), trim="-")


# The kinds of value a key holds: a number (every engine key), a name from ``choices``, a
# list of numbers, a matrix (a list of rows of numbers, every row as long), or a text (a
# file or folder, a file name pattern), or audio (a file or folder, or in Python an array of
# samples).
KINDS = ("number", "choice", "list", "matrix", "text", "audio")


# Share of the sample rate above which a design frequency is held.
DESIGN_FREQUENCY_FRACTION = 0.499


@dataclass(frozen=True)
class Param:
    """One key of an effect spec.

    ``minimum`` and ``maximum`` are the bounds the effect clamps the value into (None where
    it has none); ``maximum_rate_fraction`` marks an upper bound that is that share of the
    sample rate. ``inert`` keys are read (a non-number still fails) but change nothing for
    this type. ``overflow`` bounds a value on both sides (or above alone, with
    ``overflow_above_only``): past it the effect's ``overflow_of`` (its gain, its LFO)
    leaves single precision and the samples come out infinite or NaN, so the chain checker
    refuses the value.
    """

    key: str
    default: float | int | str | tuple[Any, ...]
    unit: str = ""
    summary: str = ""
    minimum: float | int | None = None
    maximum: float | int | None = None
    maximum_rate_fraction: float | None = None
    integer: bool = False
    absolute: bool = False
    inert: bool = False
    kind: str = "number"
    choices: tuple[str, ...] = ()
    overflow: float | None = None
    overflow_above_only: bool = False
    overflow_of: str = "gain"

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"parameter {self.key!r}: unknown kind {self.kind!r}")

    def overflows(self, number: float) -> bool:
        """True if a number lies past the key's overflow bound."""
        bound = self.overflow
        if bound is None:
            return False
        return number > bound or (not self.overflow_above_only and number < -bound)

    def range_text(self) -> str:
        """The accepted range as a short text, e.g. ``0 … 1`` or ``≥ 0.01``."""
        if self.kind == "choice":
            return " | ".join(self.choices)
        if self.kind == "list":
            return "list of numbers"
        if self.kind == "matrix":
            return "rows of numbers"
        if self.kind == "text":
            return "text"
        if self.kind == "audio":
            return "path, or array"
        if self.overflow is not None and self.minimum is None and self.maximum is None:
            bound = format_number(self.overflow)
            return f"≤ {bound}" if self.overflow_above_only else f"-{bound} … {bound}"
        low = None if self.minimum is None else format_number(self.minimum)
        if self.overflow is not None and self.overflow_above_only and self.maximum is None:
            high: str | None = format_number(self.overflow)
        elif self.maximum_rate_fraction is not None:
            high = f"{format_number(self.maximum_rate_fraction)} × rate"
        elif self.maximum is not None:
            high = format_number(self.maximum)
        else:
            high = None
        if low is not None and high is not None:
            text = f"{low} … {high}"
        elif low is not None:
            text = f"≥ {low}"
        elif high is not None:
            text = f"≤ {high}"
        else:
            text = "any"
        if self.absolute:
            text = f"|value| {text}"
        return text

    def upper_bound(self, sample_rate: int) -> float | None:
        """The upper clamp at a given sample rate, as the engine computes it in float32."""
        if self.maximum_rate_fraction is not None:
            bound = np.float32(self.maximum_rate_fraction) * np.float32(sample_rate)
            return float(max(bound, np.float32(self.minimum or 0)))
        return None if self.maximum is None else float(self.maximum)

    def default_text(self) -> str:
        """The default as printed in tables."""
        if isinstance(self.default, str):
            return self.default
        if isinstance(self.default, tuple):
            return "[]"
        return format_number(self.default)


@dataclass(frozen=True)
class EffectInfo:
    """One effect type: its name, family, a one-line description and its parameters."""

    type: str
    family: str
    summary: str
    params: tuple[Param, ...] = field(default_factory=tuple)
    dynamics: bool = False
    # A multiply or a comparison per sample: bound by memory speed, so that a second thread
    # only competes for it.
    light: bool = False
    # A step the front end runs (kavri.steps), not an effect of the engine.
    step: bool = False
    # The parameters by key, for the chain checker's look-ups.
    by_key: dict[str, Param] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "by_key", {p.key: p for p in self.params})

    def param(self, key: str) -> Param:
        """The parameter with this key; KeyError if the type has none."""
        return self.by_key[key]

    @property
    def keys(self) -> tuple[str, ...]:
        """The parameter keys in catalogue order."""
        return tuple(p.key for p in self.params)

    def defaults(self) -> dict[str, Any]:
        """A spec body holding every key at its default."""
        return {p.key: p.default for p in self.params}


FAMILIES = {
    "level": "Level, shaping and stereo",
    "filters": "Filters, delays and modulation",
    "dynamics": "Dynamics",
    "steps": "Rate, length and channels",
    "noise": "Noise and degradation",
    "rooms": "Rooms and reverb",
}


def _mix(default: float) -> Param:
    return Param("mix", _f32(default), "fraction", "wet share: 0 dry only, 1 wet only", 0.0, 1.0)


def _feedback(default: float) -> Param:
    return Param("feedback", _f32(default), "fraction", "share of the echo fed back", -1.0, 1.0)


def _time(key: str, default: float, summary: str) -> Param:
    return Param(key, _f32(default), "ms", summary, _f32(0.001))


# A gain in decibels past this overflows single precision inside the effects that apply
# it: 10^(700/20) is 1e35, and a shelf's coefficients hold about the square of its gain
# (a high shelf at 760 dB with a low corner gives NaN already). Far beyond any use; the
# checker refuses it rather than let every sample come out infinite or NaN.
GAIN_OVERFLOW_DB = 700.0


# An LFO rate past this overflows single precision inside the effects it drives: their
# angle is 2 pi times the rate (NaN on every sample from 5.4e37 Hz) times the seconds since
# the start (at 1e37 Hz, NaN from 5.4 s on). At this bound the angle stays finite for more
# than a year of audio.
LFO_OVERFLOW_HZ = 1e30


def _lfo_rate(default: float, summary: str) -> Param:
    return Param(
        "rate_hz",
        _f32(default),
        "Hz",
        summary,
        _f32(0.01),
        overflow=LFO_OVERFLOW_HZ,
        overflow_above_only=True,
        overflow_of="LFO",
    )


def _level(key: str, default: float, summary: str, *, overflow: str = "") -> Param:
    """A level key in dB; ``overflow`` "above" or "both" marks a gain that can overflow."""
    return Param(
        key,
        _f32(default),
        "dB",
        summary,
        overflow=GAIN_OVERFLOW_DB if overflow else None,
        overflow_above_only=overflow == "above",
    )


def _ratio(default: float) -> Param:
    return Param("ratio", _f32(default), ":1", "level ratio below or above the threshold", 1.0)


def _frequency(default: float, summary: str, *, key: str = "frequency_hz") -> Param:
    return Param(
        key, _f32(default), "Hz", summary, 5.0, maximum_rate_fraction=DESIGN_FREQUENCY_FRACTION
    )


_FILTER_SUMMARIES = {
    "lowpass": ("Second-order low-pass: keeps what lies below the corner.", 8000.0, 0.70710677),
    "highpass": ("Second-order high-pass: keeps what lies above the corner.", 120.0, 0.70710677),
    "bandpass": ("Band-pass with 0 dB at the centre frequency.", 1200.0, 0.70710677),
    "notch": ("Notch: removes a narrow band around the centre frequency.", 1200.0, 0.70710677),
    "peak_eq": ("Peaking EQ: boosts or cuts around the centre frequency.", 1000.0, 1.0),
    "low_shelf": ("Low shelf: boosts or cuts everything below the corner.", 120.0, 0.70710677),
    "high_shelf": ("High shelf: boosts or cuts everything above the corner.", 8000.0, 0.70710677),
}


def _filter(kind: str) -> EffectInfo:
    summary, frequency, q = _FILTER_SUMMARIES[kind]
    uses_gain = kind in ("peak_eq", "low_shelf", "high_shelf")
    uses_slope = kind in ("low_shelf", "high_shelf")
    return EffectInfo(
        kind,
        "filters",
        summary,
        (
            _frequency(frequency, "corner or centre frequency"),
            Param(
                "q",
                _f32(q),
                "",
                "unused by this type (the slope shapes the shelf)"
                if uses_slope
                else "quality factor: higher is narrower or more resonant",
                _f32(0.001),
                inert=uses_slope,
            ),
            Param(
                "gain_db",
                0.0,
                "dB",
                "boost (positive) or cut (negative)" if uses_gain else "unused by this type",
                inert=not uses_gain,
                overflow=GAIN_OVERFLOW_DB if uses_gain else None,
            ),
            Param(
                "slope",
                1.0,
                "",
                "shelf steepness, 1 the steepest without overshoot"
                if uses_slope
                else "unused by this type",
                _f32(0.001),
                inert=not uses_slope,
            ),
            Param("stages", 1, "", "identical sections in series", 1, integer=True),
        ),
    )


def _modulated_delay(
    kind: str, summary: str, feedback: float, mix: float, rate: float, depth: float, delay: float
) -> EffectInfo:
    mix_param = _mix(mix)
    if kind == "vibrato":
        mix_param = Param(
            "mix",
            _f32(mix),
            "fraction",
            "read but unused: vibrato is wet only",
            0.0,
            1.0,
            inert=True,
        )
    return EffectInfo(
        kind,
        "filters",
        summary,
        (
            _lfo_rate(rate, "sweep rate"),
            Param("depth_ms", _f32(depth), "ms", "sweep width (negative sweeps below the delay)"),
            Param(
                "delay_ms", _f32(delay), "ms", "delay at the short end of the sweep", _f32(0.001)
            ),
            _feedback(feedback),
            mix_param,
        ),
    )


_ENTRIES: tuple[EffectInfo, ...] = (
    # Level, shaping and stereo.
    EffectInfo(
        "gain",
        "level",
        "Fixed gain in decibels.",
        (_level("db", 0.0, "gain", overflow="above"),),
        light=True,
    ),
    EffectInfo(
        "clip",
        "level",
        "Hard clipper at a symmetric level.",
        (
            Param(
                "threshold",
                _f32(0.98),
                "linear",
                "clipping level (sign ignored)",
                _f32(0.0001),
                absolute=True,
            ),
        ),
        light=True,
    ),
    EffectInfo(
        "distortion",
        "level",
        "tanh soft clipper; full scale stays at full scale.",
        (Param("drive", 2.0, "×", "input gain into the curve", _f32(0.01)),),
    ),
    EffectInfo(
        "tremolo",
        "level",
        "Level wobble from a sine LFO, every channel alike.",
        (
            _lfo_rate(5.0, "LFO rate"),
            Param("depth", 0.5, "fraction", "how far the level dips", 0.0, 1.0),
        ),
    ),
    EffectInfo(
        "auto_pan",
        "level",
        "Sweeps channels 0 and 1 between left and right.",
        (
            _lfo_rate(0.35, "LFO rate"),
            Param("depth", 1.0, "fraction", "how far the image swings", 0.0, 1.0),
        ),
    ),
    EffectInfo(
        "pan",
        "level",
        "Constant-power pan of channels 0 and 1 (centre is -3 dB).",
        (Param("position", 0.0, "", "-1 full left, 0 centre, 1 full right", -1.0, 1.0),),
    ),
    EffectInfo(
        "stereo_width",
        "level",
        "Mid/side width of channels 0 and 1.",
        (Param("width", 1.0, "×", "0 mono, 1 unchanged, above 1 wider", 0.0),),
    ),
    # Filters, delays and modulation.
    *(_filter(kind) for kind in _FILTER_SUMMARIES),
    EffectInfo(
        "delay",
        "filters",
        "Feedback echo per channel, whole-sample delay time.",
        (
            Param("delay_ms", 150.0, "ms", "echo time (rounded to samples, at least one)"),
            _feedback(0.35),
            _mix(0.2),
        ),
    ),
    EffectInfo(
        "ping_pong_delay",
        "filters",
        "Echoes that alternate between channels 0 and 1; any other channel echoes on its own.",
        (
            Param("delay_ms", 180.0, "ms", "echo time (at least one sample)", _f32(0.001)),
            _feedback(0.55),
            _mix(0.3),
        ),
    ),
    _modulated_delay(
        "chorus", "Swept short delay mixed with the dry sound.", 0.12, 0.35, 0.9, 7.5, 18.0
    ),
    _modulated_delay(
        "flanger", "Very short swept delay with feedback.", 0.35, 0.45, 0.25, 1.8, 2.5
    ),
    _modulated_delay("vibrato", "Pitch wobble: the swept delay alone.", 0.0, 1.0, 5.0, 3.5, 5.5),
    EffectInfo(
        "phaser",
        "filters",
        "Swept all-pass chain with feedback, mixed with the dry.",
        (
            _lfo_rate(0.35, "sweep rate"),
            Param("depth", _f32(0.75), "fraction", "sweep depth", 0.0, 1.0),
            Param("center_hz", 900.0, "Hz", "sweep reference frequency", 80.0),
            _feedback(0.2),
            _mix(0.5),
            Param("stages", 4, "", "all-pass stages", 1, integer=True),
        ),
    ),
    EffectInfo(
        "rotary_speaker",
        "filters",
        "Two-rotor speaker: wobbling bass, treble panned across channels 0 and 1.",
        (
            _lfo_rate(0.8, "treble rotor speed (bass turns at 0.62×)"),
            Param("depth", _f32(0.7), "fraction", "treble pan depth", 0.0, 1.0),
            _frequency(900.0, "crossover between bass and treble", key="crossover_hz"),
            _mix(0.65),
        ),
    ),
    # Dynamics.
    EffectInfo(
        "compressor",
        "dynamics",
        "Turns down what lies above the threshold.",
        (
            _level("threshold_db", -18.0, "level where compression starts"),
            _ratio(4.0),
            _time("attack_ms", 10.0, "envelope rise time"),
            _time("release_ms", 80.0, "envelope fall time"),
            _level("makeup_db", 0.0, "gain applied to everything after", overflow="above"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "upward_compression",
        "dynamics",
        "Turns up what lies below the threshold.",
        (
            _level("threshold_db", -42.0, "level below which the signal is lifted"),
            _ratio(2.0),
            _time("attack_ms", 12.0, "envelope rise time"),
            _time("release_ms", 120.0, "envelope fall time"),
            _level("max_gain_db", 18.0, "largest lift", overflow="above"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "limiter",
        "dynamics",
        "Keeps every sample within the ceiling.",
        (
            _level("ceiling_db", -1.0, "highest output level"),
            _time("attack_ms", 1.0, "gain fall time"),
            _time("release_ms", 60.0, "gain recovery time"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "expander",
        "dynamics",
        "Turns quiet material down further.",
        (
            _level("threshold_db", -35.0, "level below which the signal is pushed down"),
            _ratio(2.0),
            _time("attack_ms", 8.0, "envelope rise time"),
            _time("release_ms", 80.0, "envelope fall time"),
            _level("makeup_db", 0.0, "gain applied to everything after", overflow="above"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "noise_gate",
        "dynamics",
        "Closes to the floor gain below the threshold.",
        (
            _level("threshold_db", -45.0, "level that opens the gate"),
            _level("floor_db", -80.0, "gain while closed", overflow="above"),
            _time("attack_ms", 3.0, "opening time"),
            _time("release_ms", 60.0, "closing time"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "deesser",
        "dynamics",
        "Turns the whole signal down when its highs are loud.",
        (
            _frequency(6500.0, "side-chain high-pass corner"),
            _level("threshold_db", -28.0, "side-chain level where reduction starts"),
            _ratio(4.0),
            _time("attack_ms", 2.0, "envelope rise time"),
            _time("release_ms", 60.0, "envelope fall time"),
            Param("amount", 1.0, "fraction", "share of the reduction applied", 0.0, 1.0),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "dynamic_eq",
        "dynamics",
        "Peaking band whose cut follows the band's level, set once per block.",
        (
            _frequency(2800.0, "band centre (side chain and EQ)"),
            Param("q", _f32(1.2), "", "band width: higher is narrower", _f32(0.001)),
            _level("threshold_db", -24.0, "band level where the cut starts"),
            _level("cut_db", -6.0, "cut at twice the threshold (positive boosts)", overflow="both"),
            _time("attack_ms", 10.0, "envelope rise time"),
            _time("release_ms", 120.0, "envelope fall time"),
        ),
        dynamics=True,
    ),
    EffectInfo(
        "transient_shaper",
        "dynamics",
        "Shapes onsets and decays, no threshold.",
        (
            Param("attack", _f32(0.7), "", "onset weight (negative softens)", -1.0, 2.0),
            Param("sustain", _f32(0.2), "", "decay weight (negative shortens)", -1.0, 2.0),
            _time("attack_ms", 18.0, "slow envelope rise time"),
            _time("release_ms", 120.0, "slow envelope fall time"),
        ),
        dynamics=True,
    ),
)


def _seconds(key: str, summary: str) -> Param:
    return Param(key, 0.0, "s", summary, 0.0, 86_400.0)


def _frames(key: str, summary: str) -> Param:
    return Param(key, 0, "frames", summary, 0, 2**31 - 1, integer=True)


_STEPS: tuple[EffectInfo, ...] = (
    EffectInfo(
        "resample",
        "steps",
        "Converts to another sample rate (soxr, very high quality); effects after it run there.",
        (Param("rate_hz", 48_000, "Hz", "the new sample rate", 1, 2**31 - 1, integer=True),),
        step=True,
    ),
    EffectInfo(
        "speed",
        "steps",
        "Tempo and pitch together, as a tape played faster: a resample played at the old rate.",
        (Param("factor", 1.0, "×", "speed: 1.1 is 10% faster and higher, and shorter", 0.25, 4.0),),
        step=True,
    ),
    EffectInfo(
        "time_stretch",
        "steps",
        "Tempo alone: shorter or longer at the same pitch (Signalsmith Stretch; at 100 Hz or "
        "more).",
        (Param("factor", 1.0, "×", "tempo: 2 is twice as fast (half as long)", 0.25, 4.0),),
        step=True,
    ),
    EffectInfo(
        "pitch_shift",
        "steps",
        "Pitch alone: higher or lower at the same length (Signalsmith Stretch; at 100 Hz or more).",
        (Param("semitones", 0.0, "st", "shift: 12 is an octave up", -24.0, 24.0),),
        step=True,
    ),
    EffectInfo(
        "mixdown",
        "steps",
        "Mixes every channel into one: equal gain (1/channels each) or the weights given.",
        (
            Param(
                "weights",
                (),
                "",
                "one gain per channel; empty for 1/channels each",
                kind="list",
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "channels",
        "steps",
        "Maps channels with a matrix (select, duplicate, reorder, mix), or conforms to a count.",
        (
            Param(
                "matrix",
                (),
                "",
                "one row per output channel, one gain per input channel; empty for none",
                kind="matrix",
            ),
            Param(
                "count",
                0,
                "channels",
                "without a matrix: 1 mixes down, N from mono copies it, "
                "N from N keeps it; 0 leaves the count",
                0,
                1024,
                integer=True,
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "swap",
        "steps",
        "Swaps channels 0 and 1; a mono signal is left as it is.",
        (),
        step=True,
    ),
    EffectInfo(
        "trim",
        "steps",
        "Cuts time off the start and the end, and can cap the length.",
        (
            _seconds("start_s", "cut from the start"),
            _seconds("end_s", "cut from the end"),
            _frames("start_frames", "cut from the start, added to start_s"),
            _frames("end_frames", "cut from the end, added to end_s"),
            _seconds("duration_s", "keep at most this much after the cut start; 0 for all"),
        ),
        step=True,
    ),
    EffectInfo(
        "pad",
        "steps",
        "Adds silence before and after, and can pad the end to a length.",
        (
            _seconds("start_s", "silence before the signal"),
            _seconds("end_s", "silence after the signal"),
            _frames("start_frames", "silence before, added to start_s"),
            _frames("end_frames", "silence after, added to end_s"),
            _seconds("to_s", "then silence at the end until the signal lasts this long"),
        ),
        step=True,
    ),
    EffectInfo(
        "fade",
        "steps",
        "Fades in from silence at the start and out to silence at the end.",
        (
            _seconds("in_s", "fade-in length"),
            _seconds("out_s", "fade-out length"),
            Param(
                "curve",
                "linear",
                "",
                "gain over the fade: linear, log (-100 dB to 0 dB, even in dB) or "
                "equal_power (a quarter sine)",
                kind="choice",
                choices=("linear", "log", "equal_power"),
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "trim_silence",
        "steps",
        "Removes silence at both ends, as SoX's silence effect does; gaps within stay.",
        (
            Param(
                "threshold_db",
                -60.0,
                "dBFS",
                "a frame is loud where a channel reaches this; quiet gaps under 20 ms "
                "(zero crossings) do not break a run of sound",
                -200.0,
                0.0,
            ),
            Param(
                "min_duration_s",
                _f32(0.1),
                "s",
                "sound must last this long to end leading silence (an input with no such "
                "run comes back empty, where the start is trimmed); trailing silence this "
                "long or longer is removed",
                0.0,
                86_400.0,
            ),
            Param(
                "where",
                "both",
                "",
                "which end: both, start or end",
                kind="choice",
                choices=("both", "start", "end"),
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "normalize",
        "steps",
        "One gain that brings the peak (sample or true) to a level; needs the whole signal.",
        (
            Param("peak_db", -1.0, "dBFS", "the peak after the gain", -200.0, 0.0),
            Param(
                "mode",
                "sample",
                "",
                "sample peak, or true peak (4x oversampled, dBTP)",
                kind="choice",
                choices=("sample", "true"),
            ),
            Param(
                "when",
                "always",
                "",
                "always, or only above (a ceiling: never raised)",
                kind="choice",
                choices=("always", "above"),
            ),
        ),
        step=True,
    ),
)

# Noise colours: the power spectrum goes as f to this power (pink falls 3.01 dB an octave).
NOISE_COLOURS = {"white": 0, "pink": -1, "brown": -2, "blue": 1, "violet": 2}
CODEC_FORMATS = ("mp3", "vorbis", "opus", "gsm")


def _seed(summary: str) -> Param:
    return Param("seed", 0, "", summary, 0, 2**31 - 1, integer=True)


def _snr() -> Param:
    return Param(
        "snr_db",
        20.0,
        "dB",
        "with mode snr: the input's RMS over the noise's, both over the whole input",
        -40.0,
        120.0,
    )


_NOISE: tuple[EffectInfo, ...] = (
    EffectInfo(
        "noise",
        "noise",
        "Adds white, pink, brown, blue or violet noise, at a signal-to-noise ratio or a level.",
        (
            Param(
                "colour",
                "white",
                "",
                "the power spectrum: white flat, pink -3 dB an octave, brown -6, blue +3, "
                "violet +6",
                kind="choice",
                choices=tuple(NOISE_COLOURS),
            ),
            Param(
                "mode",
                "snr",
                "",
                "snr: a ratio to the input's RMS over the whole input; level: an absolute RMS",
                kind="choice",
                choices=("snr", "level"),
            ),
            _snr(),
            Param(
                "level_db",
                -40.0,
                "dBFS",
                "with mode level: the noise's expected RMS (an RMS of 1.0 is 0 dBFS)",
                -200.0,
                20.0,
            ),
            _seed("the noise drawn: each sample is a function of the seed, channel and frame"),
        ),
        step=True,
    ),
    EffectInfo(
        "background_noise",
        "noise",
        "Mixes in noise read from a file, or from one file of a folder drawn from the seed.",
        (
            Param("path", "", "", "a noise file, or a folder of them", kind="text"),
            Param(
                "pattern",
                "*",
                "",
                "in a folder: the file names to draw from (a glob; ** goes into subfolders); "
                "* takes every audio file",
                kind="text",
            ),
            Param(
                "offset_frames",
                -1,
                "frames",
                "where in the noise file to start (its own frames, modulo its length); "
                "-1 draws it from the seed",
                -1,
                2**63 - 1,
                integer=True,
            ),
            Param(
                "mode",
                "snr",
                "",
                "snr: a ratio to the input's RMS over the whole input; gain: the file's own "
                "level times gain_db",
                kind="choice",
                choices=("snr", "gain"),
            ),
            _snr(),
            Param(
                "gain_db", 0.0, "dB", "with mode gain: the gain on the file's samples", -200.0, 40.0
            ),
            _seed("with a folder or no offset: draws the file and the offset"),
        ),
        step=True,
    ),
    EffectInfo(
        "codec",
        "noise",
        "Round trip through a lossy codec (MP3, Vorbis, Opus, GSM 6.10), aligned to the input.",
        (
            Param(
                "format",
                "mp3",
                "",
                "the codec: mp3, vorbis, opus, or gsm (GSM 6.10 at 8 kHz, as on a phone line)",
                kind="choice",
                choices=CODEC_FORMATS,
            ),
            Param(
                "quality",
                0.5,
                "fraction",
                "0 the smallest file, 1 the best (libsndfile's compression level, inverted); "
                "unused by gsm",
                0.0,
                1.0,
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "mu_law",
        "noise",
        "Round trip through 8-bit mu-law (G.711), as on a North American phone line.",
        (),
        step=True,
    ),
    EffectInfo(
        "a_law",
        "noise",
        "Round trip through 8-bit A-law (G.711), as on a European phone line.",
        (),
        step=True,
    ),
    EffectInfo(
        "bitcrush",
        "noise",
        "Rounds every sample to a grid of 2^bits levels over [-1, 1).",
        (Param("bits", 8, "bits", "the sample depth kept", 1, 24, integer=True),),
        step=True,
    ),
    EffectInfo(
        "sample_hold",
        "noise",
        "Holds a sample for each period of a lower rate: the aliasing of a crude converter.",
        (
            Param(
                "rate_hz",
                8000,
                "Hz",
                "the rate samples are taken at (at or above the input's rate: unchanged)",
                1,
                2**31 - 1,
                integer=True,
            ),
        ),
        step=True,
    ),
    EffectInfo(
        "polarity",
        "noise",
        "Inverts the polarity: every sample negated.",
        (),
        step=True,
    ),
)

_ROOMS: tuple[EffectInfo, ...] = (
    EffectInfo(
        "convolution",
        "rooms",
        "Convolves with an impulse response (a file, one file of a folder drawn from the seed, "
        "or an array): a room, a hall, a cabinet.",
        (
            Param(
                "ir",
                "",
                "",
                "the impulse response: a file, or a folder of them (one drawn from the seed); "
                "in Python also a (frames, channels) array at the signal's rate. 1 channel for "
                "every channel, one per channel, or 4 on stereo: true stereo LL, LR, RL, RR",
                kind="audio",
            ),
            Param(
                "pattern",
                "*",
                "",
                "in a folder: the file names to draw from (a glob; ** goes into subfolders); "
                "* takes every audio file",
                kind="text",
            ),
            Param("mix", 1.0, "fraction", "wet share: 0 dry only, 1 wet only", 0.0, 1.0),
            Param(
                "normalize",
                "none",
                "",
                "none, or energy: one gain giving the paths into each output channel a total "
                "energy of 1 on average",
                kind="choice",
                choices=("none", "energy"),
            ),
            _seed("with a folder: draws the file"),
        ),
        step=True,
    ),
    EffectInfo(
        "reverb",
        "rooms",
        "Algorithmic reverb: eight feedback delay lines, a room's tail without a recording.",
        (
            Param(
                "room_size",
                0.5,
                "fraction",
                "size and decay: longer lines and a decay of 0.2 s x 40^room_size (0.2 to 8 s)",
                0.0,
                1.0,
            ),
            Param(
                "damping",
                0.5,
                "fraction",
                "how much sooner high frequencies die away: 0 none, 1 the most",
                0.0,
                1.0,
            ),
            Param("pre_delay_ms", 0.0, "ms", "silence before the reverb begins", 0.0, 500.0),
            Param("width", 1.0, "fraction", "stereo width of the tail: 0 mono, 1 full", 0.0, 1.0),
            Param("mix", _f32(0.3), "fraction", "wet share: 0 dry only, 1 wet only", 0.0, 1.0),
        ),
        step=True,
    ),
)

EFFECTS: dict[str, EffectInfo] = {
    info.type: info for info in (*_ENTRIES, *_STEPS, *_NOISE, *_ROOMS)
}
# The engine's own effect types, which process_pipeline runs, and the steps the front end runs:
# those of rate, length and channels, those of noise and degradation, and the rooms.
ENGINE_TYPES: tuple[str, ...] = tuple(info.type for info in _ENTRIES)
STEP_TYPES: tuple[str, ...] = tuple(info.type for info in _STEPS)
NOISE_TYPES: tuple[str, ...] = tuple(info.type for info in _NOISE)
ROOM_TYPES: tuple[str, ...] = tuple(info.type for info in _ROOMS)
# The keys a type cannot run without (they have no default), and what they name.
NEEDED_KEYS: dict[str, tuple[str, str]] = {
    "background_noise": ("path", "a noise file or a folder of them"),
    "convolution": ("ir", "an impulse response file, a folder of them, or an array"),
}


def effect_types(family: str | None = None) -> list[str]:
    """The effect type names, in catalogue order, optionally of one family."""
    return [t for t, info in EFFECTS.items() if family is None or info.family == family]


_QUOTED_LENGTH = 60


def cut_short(text: str, most: int) -> str:
    """A text for a message, its middle left out when it is longer than ``most``."""
    if len(text) <= most:
        return text
    return f"{text[: most - 30]}...{text[-20:]} ({len(text)} characters)"


def counted(count: int, noun: str, plural: str = "") -> str:
    """``count`` and its noun, for a message: "1 channel", "2 channels" (``plural`` where
    the noun does not take an s)."""
    return f"{count} {noun if count == 1 else plural or noun + 's'}"


def quoted(word: object) -> str:
    """A name the user gave, for a message: quoted, on one line (control characters and
    odd bytes escaped), cut short when long (a megabyte of key was a megabyte of message).
    Anything but text is shown as its repr (None had read as '')."""
    if not isinstance(word, str):
        return cut_short(repr(word), _QUOTED_LENGTH)
    return f"'{cut_short(shown(word), _QUOTED_LENGTH)}'" if word else "''"


def suggest(word: str, candidates: Iterable[str]) -> str:
    """A ' (did you mean ...?)' hint for a misspelt name, or an empty string."""
    if len(word) > _QUOTED_LENGTH:
        return ""
    close = difflib.get_close_matches(word, list(candidates), n=1, cutoff=0.6)
    return f" (did you mean '{close[0]}'?)" if close else ""


def get_effect(effect_type: str) -> EffectInfo:
    """The catalogue entry of a type; KeyError with a hint for an unknown name."""
    if not isinstance(effect_type, str):
        raise TypeError(f"an effect type is named by text, got {effect_type!r}")
    try:
        return EFFECTS[effect_type]
    except KeyError:
        raise KeyError(
            f"unknown effect type {quoted(effect_type)}{suggest(effect_type, EFFECTS)}"
        ) from None


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def markdown_reference() -> str:
    """The effect reference as Markdown: one table per family, generated from the catalogue."""
    lines: list[str] = []
    for family, title in FAMILIES.items():
        lines += [
            f"### {title}",
            "",
            "| type | key | default | unit | range | meaning |",
            "|---|---|---|---|---|---|",
        ]
        for effect_type in effect_types(family):
            info = EFFECTS[effect_type]
            if not info.params:  # listed all the same, with what it does
                lines.append(f"| `{effect_type}` | (none) | | | | {_cell(info.summary)} |")
            for index, p in enumerate(info.params):
                name = f"`{effect_type}`" if index == 0 else ""
                lines.append(
                    f"| {name} | `{p.key}` | {p.default_text()} | {_cell(p.unit)} | "
                    f"{_cell(p.range_text())} | {_cell(p.summary)} |"
                )
        lines.append("")
    lines.append(
        "Ranges of effects are clamps: a value outside is held at the nearest bound, with a "
        "warning. "
        "Ranges of the steps (rate, length and channels; noise and degradation; rooms) are "
        "limits: "
        "a value outside is refused. "
        '"rate" is the sample rate.'
    )
    return "\n".join(lines) + "\n"
