"""Pictures of a chain: its magnitude response and, for dynamics, its static level curve;
for delays, the echoes in time, and for effects that move, a tone's level over time.

The measurements use the engine itself: the magnitude response is the spectrum of the
chain's impulse response, and the level curve is the steady output level of a 1 kHz sine
fed in at a range of levels. Drawing needs matplotlib (``pip install 'kavri[plot]'``); the
measurements do not.
"""

from __future__ import annotations

import math
import os
import textwrap
import warnings
from contextvars import ContextVar
from typing import Any

import numpy as np
import numpy.typing as npt

from . import steps
from ._audio import check_count, check_sample_rate, whole_number
from ._engine import check_memory
from ._paths import shown as display_name
from ._providers import listed_once
from .api import process
from .catalogue import EFFECTS
from .chain import Chain, ChainLike, chain_summary, load_chain
from .codecs import codec_rate
from .errors import ChainError, KavriError, KavriWarning
from .io import atomic_output
from .steps import StepItem, plan_chain

__all__ = [
    "impulse_response",
    "magnitude_response",
    "stereo_impulse_responses",
    "path_responses",
    "static_curve",
    "smoothed",
    "has_dynamics",
    "has_motion",
    "level_over_time",
    "has_room",
    "decay",
    "wet_rooms",
    "without_added",
    "has_echoes",
    "echoes_over_time",
    "plot_chain",
    "MatplotlibMissing",
    "check_plot_rate",
    "PLOT_RATES",
]

IMPULSE_LEVEL_DB = -12.0
CURVE_FREQUENCY_HZ = 1000.0
CURVE_LEAST_SECONDS = 0.01
# Sample rates a plot is measured at: the level curve's 1 kHz tone must lie well below
# half the rate, and the measurements' length grows with the rate.
PLOT_RATES = (8_000, 768_000)

# The impulse response runs this long (2.7 s at 48 kHz, room for long echoes) and its
# spectrum is taken over eight times as many points: bins of 0.05 Hz at 48 kHz, so that
# 1/24-octave smoothing averages several bins even at 10 Hz.
IMPULSE_FRAMES = 1 << 17
# Magnitudes are floored at 1e-12 (-240 dB): a response that never rises above this is none.
SILENT_DB = -239.0
FFT_FRAMES = 1 << 20


class MatplotlibMissing(KavriError):
    """Raised by :func:`plot_chain` when matplotlib is not installed."""


def check_plot_rate(sample_rate: int | float) -> int:
    """The sample rate as an int if a plot can be measured at it (a whole float, 48000.0,
    as everywhere else); :class:`KavriError` otherwise."""
    low, high = PLOT_RATES
    try:
        rate: int | None = check_sample_rate(sample_rate)
    except (TypeError, ValueError):
        rate = None
    if rate is None or not low <= rate <= high:
        raise KavriError(
            f"sample rate {sample_rate!r} Hz: plots are measured at {low} to {high} Hz"
        )
    return rate


# What the measurements below take from their caller is checked before anything is made: a
# length of 0 had raised an IndexError, 10**13 frames NumPy's own MemoryError for 73 TiB, a
# rate of 48000.0 the binding's TypeError, and a NaN level had given an array of NaN.
def _finite(name: str, value: Any) -> float:
    if isinstance(value, bool | np.bool_) or not isinstance(
        value, int | float | np.integer | np.floating
    ):
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return number


def _seconds(value: Any, least: float = 0.0) -> float:
    """A length in seconds: above 0, or at least ``least`` where one is given."""
    seconds = _finite("seconds", value)
    if not (seconds >= least if least else seconds > 0.0):
        bound = f"{least:g} or more" if least else "above 0"
        raise ValueError(f"seconds must be {bound}, got {value!r}")
    return seconds


def output_rate(chain: ChainLike, sample_rate: int) -> int:
    """The rate a chain's output has at an input rate (a ``resample`` changes it): the rate
    its spectrum is read at."""
    return plan_chain(load_chain(chain), sample_rate, 2).out_rate


def _impulse_scale(specs: Chain, sample_rate: int) -> float:
    """What an impulse's response is scaled by so that a steady tone's gain reads as it is:
    an impulse resampled spreads its energy over the new rate's frames, and one held by a
    sample_hold is repeated for a whole period, where a tone's samples are each held for
    one period in rate / rate_hz (the gain of the hold averaged over where the impulse
    falls in its period: 1 at 0 Hz). A speed is a resample played at the old rate: its
    impulse spreads over 1 / factor as many frames (a speed of 0.25 read +12 dB)."""
    scale = sample_rate / output_rate(specs, sample_rate)
    for index, spec in enumerate(specs):
        if spec["type"] == "speed":
            scale *= float(spec.get("factor", EFFECTS["speed"].param("factor").default))
        if spec["type"] == "sample_hold":
            rate = output_rate(specs[:index], sample_rate)
            hold = float(spec.get("rate_hz", EFFECTS["sample_hold"].param("rate_hz").default))
            scale *= min(1.0, hold / rate)
    return scale


# Steps that convert rates (soxr) answer an impulse with a symmetric ring, half of it before
# the impulse's own time: the one call aligns its output with the input, so the ring ahead of
# an impulse at frame 0 is cut, and the magnitude read low (a resample 48 to 384 kHz read
# -4.7 dB at 1 kHz). The impulse of the magnitude panel comes LEAD_PERIODS periods of the
# chain's lowest rate later, where the ring has died away (about 40 of them at 8 kHz). A
# codec converts to its own rate and back (GSM to 8 kHz read -14 dB at 3 kHz, and showed
# a band above 4 kHz that no tone passes).
CONVERTING_TYPES = frozenset({"resample", "speed", "pitch_shift", "codec"})
LEAD_PERIODS = 1024


def _lead(specs: Chain, sample_rate: int) -> int:
    """The input frames before the impulse of a magnitude measurement: none for a chain
    that converts no rate (an effect that moves would be caught at another phase)."""
    if not any(spec["type"] in CONVERTING_TYPES for spec in specs):
        return 0
    plan = plan_chain(specs, sample_rate, 2)
    rates = [sample_rate] + [
        segment.out_rate for segment in plan.segments if isinstance(segment, StepItem)
    ]
    lowest = min(rates)
    for index, spec in enumerate(specs):
        if spec["type"] == "speed":
            factor = float(spec.get("factor", EFFECTS["speed"].param("factor").default))
            lowest = min(lowest, int(lowest * min(1.0, factor)) or 1)
        if spec["type"] == "codec":
            name = str(spec.get("format", EFFECTS["codec"].param("format").default))
            lowest = min(lowest, codec_rate(name, output_rate(specs[:index], sample_rate)))
    return min(IMPULSE_FRAMES, -(-LEAD_PERIODS * sample_rate // lowest))


def _stereo(out: npt.NDArray[np.float32], frames: int) -> npt.NDArray[np.float64]:
    """A chain's output as (frames, 2) float64: a mono output (after a mixdown) on both
    sides, more channels than two cut to the first two, and a length its steps changed cut
    or padded with silence to ``frames``."""
    # (An output of no frames, from a chain that trims silence away, has no -1 to infer.)
    data = out.astype(np.float64)
    data = data[:, None] if data.ndim == 1 else data
    data = np.repeat(data, 2, axis=1) if data.shape[1] == 1 else data[:, :2]
    fitted = np.zeros((frames, 2))
    fitted[: min(frames, data.shape[0])] = data[:frames]
    return fitted


def has_dynamics(chain: Chain) -> bool:
    """True if any effect of the chain changes gain with the signal's level."""
    return any(EFFECTS[spec["type"]].dynamics for spec in chain)


def _answers(
    specs: Chain, sample_rate: int, length: int, height: float, places: list[tuple[int, Any]]
) -> list[npt.NDArray[np.float64]]:
    """The chain's output for each impulse, less its output for silence, as (frames, 2):
    ``length`` input frames' time at the output's rate. Each impulse is ``height`` at
    (frame, channels) of a place.
    What a chain gives out of silence (a codec's idle noise: GSM 6.10 decodes silence as a
    steady noise at -66 dBFS) answers no input, and would read as a response (on the other
    side, as crosstalk). A chain that keeps silence silent loses nothing (x - 0 is x)."""
    # As long in time as the input, at the output's rate: cut to the input's frames, a
    # resample after a room cut its tail (a reverb of 8 s read 5.9 s at 384 kHz).
    frames = max(1, -(-length * output_rate(specs, sample_rate) // sample_rate))
    # The answers and the output for silence, with an input at a time beside them.
    check_memory((frames * 2 * 8 + length * 2 * 4) * (len(places) + 1), "a plot's responses")
    silence = np.zeros((length, 2), dtype=np.float32)
    idle = _stereo(_run(silence, sample_rate, specs), frames)
    answers = []
    for frame, channels in places:
        impulse = np.zeros((length, 2), dtype=np.float32)
        impulse[frame, channels] = height
        answers.append(_stereo(_run(impulse, sample_rate, specs), frames) - idle)
    return answers


def impulse_response(
    chain: ChainLike,
    sample_rate: int | float = 48_000,
    length: int = 65_536,
    level_db: float = IMPULSE_LEVEL_DB,
) -> npt.NDArray[np.float64]:
    """The chain's response to a stereo impulse of ``level_db`` dBFS, less its output for
    silence, divided by its height: a (length, 2) array. For a linear chain the level does
    not matter."""
    rate = check_plot_rate(sample_rate)
    length = check_count("length", length)
    height = _peak("level_db", level_db)
    specs = load_chain(chain)
    (out,) = _answers(specs, rate, length, height, [(0, slice(None))])
    return out * _impulse_scale(specs, rate) / np.float64(np.float32(height))


def _peak(name: str, level_db: Any) -> float:
    """The peak of a measuring signal at ``level_db`` dBFS, which single precision must
    hold above 0 (a height of 0 was divided by; an infinite one gave NaN)."""
    level = _finite(name, level_db)
    peak = math.pow(10.0, level / 20.0) if level <= LOUDEST_DB else math.inf
    if not (peak <= FLOAT32_MOST and np.float32(peak) > 0.0):
        raise ValueError(f"{name} must give a level single precision holds, got {level_db!r}")
    return peak


FLOAT32_MOST = float(np.finfo(np.float32).max)
LOUDEST_DB = 20.0 * math.log10(FLOAT32_MOST)


def stereo_impulse_responses(
    chain: ChainLike,
    sample_rate: int | float = 48_000,
    length: int = IMPULSE_FRAMES,
    level_db: float = IMPULSE_LEVEL_DB,
    lead: int = 0,
) -> npt.NDArray[np.float64]:
    """The chain's four paths from input channel to output channel: an impulse on the left
    alone, then on the right alone, each less the chain's output for silence. Returns
    (frames, 2 inputs, 2 outputs), so that [:, 0, 1] is what the left input sends to the
    right output (what pan, width, ping-pong delay and the rotary speaker do). The impulse
    comes at input frame ``lead``, and the response is measured over ``length`` input frames
    after it: ``lead + length`` input frames' time at the output's rate."""
    rate = check_plot_rate(sample_rate)
    length = check_count("length", length)
    lead = whole_number("lead", lead)
    if lead < 0:
        raise ValueError(f"lead must be 0 or more, got {lead}")
    height = _peak("level_db", level_db)
    specs = load_chain(chain)
    answers = _answers(specs, rate, lead + length, height, [(lead, 0), (lead, 1)])
    paths = np.stack(answers, axis=1)
    return paths * _impulse_scale(specs, rate) / np.float64(np.float32(height))


def _spectrum_db(
    response: npt.NDArray[np.float64], sample_rate: int, fft_length: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    size = max(whole_number("fft_length", fft_length), response.shape[0])
    # The complex bins and their magnitudes, each channel's.
    check_memory((size // 2 + 1) * response[0].size * (16 + 8 + 8), "a plot's spectrum")
    spectrum = np.abs(np.fft.rfft(response, n=size, axis=0))
    with np.errstate(divide="ignore"):
        magnitude = 20.0 * np.log10(np.maximum(spectrum, 1e-12))
    return np.fft.rfftfreq(size, 1.0 / sample_rate), magnitude


def magnitude_response(
    chain: ChainLike, sample_rate: int | float = 48_000, length: int = 65_536, fft_length: int = 0
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Frequencies in hertz and the magnitude in dB of each output channel, (bins, 2), for
    an impulse on both channels. ``fft_length`` (above ``length``) pads the response with
    zeros for finer frequency steps."""
    rate = check_plot_rate(sample_rate)
    if whole_number("fft_length", fft_length) < 0:
        raise ValueError(f"fft_length must be 0 or more, got {fft_length}")
    return _spectrum_db(impulse_response(chain, rate, length), output_rate(chain, rate), fft_length)


def smoothed(
    frequencies: npt.NDArray[np.float64],
    magnitude_db: npt.NDArray[np.float64],
    fraction: float = 24.0,
    points: int = 800,
    lowest: float = 10.0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Fractional-octave smoothing for display: the power mean of the bins within 1/fraction
    of an octave around log-spaced frequencies. Delay and comb responses stay readable."""
    # (A fraction of 0 had divided by zero, a lowest of 0 met NumPy's geometric sequence,
    # and an empty or mismatched response an IndexError.)
    frequencies = np.asarray(frequencies, np.float64)
    magnitude_db = np.asarray(magnitude_db, np.float64)
    if (
        frequencies.ndim != 1
        or frequencies.size < 2
        or magnitude_db.ndim != 2
        or magnitude_db.shape[0] != frequencies.size
    ):
        raise ValueError(
            "smoothed takes rising frequencies (bins,) and magnitudes (bins, channels), "
            f"got shapes {frequencies.shape} and {magnitude_db.shape}"
        )
    if not np.all(np.diff(frequencies) > 0):
        raise ValueError("smoothed takes frequencies that rise from bin to bin")
    if not _finite("fraction", fraction) > 0.0:
        raise ValueError(f"fraction must be above 0, got {fraction!r}")
    if not 0.0 < _finite("lowest", lowest) < frequencies[-1]:
        raise ValueError(f"lowest must lie between 0 and {frequencies[-1]:g} Hz, got {lowest!r}")
    points = check_count("points", points)
    check_memory(points * 8 * (4 + 2 * magnitude_db.shape[1]), "a smoothed response")
    centres = np.geomspace(lowest, frequencies[-1], points)
    half = 2.0 ** (0.5 / fraction)
    power = 10.0 ** (magnitude_db / 10.0)
    running = np.concatenate([np.zeros((1, power.shape[1])), np.cumsum(power, axis=0)])
    lo = np.searchsorted(frequencies, centres / half, side="left")
    hi = np.maximum(np.searchsorted(frequencies, centres * half, side="right"), lo + 1)
    hi = np.minimum(hi, frequencies.size)
    lo = np.minimum(lo, hi - 1)
    mean = (running[hi] - running[lo]) / (hi - lo)[:, None]
    return centres, 10.0 * np.log10(np.maximum(mean, 1e-24))


def _level_db(value: npt.ArrayLike) -> npt.NDArray[np.float64]:
    with np.errstate(divide="ignore"):
        return 20.0 * np.log10(np.maximum(np.asarray(value, dtype=np.float64), 1e-12))


def static_curve(
    chain: ChainLike,
    sample_rate: int | float = 48_000,
    levels_db: npt.ArrayLike | None = None,
    seconds: float = 0.6,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The steady input-to-output level curve of a chain.

    For every input level (dBFS peak of a 1 kHz sine, by default -90 to 0 in 2 dB steps) the
    sine runs through the chain for ``seconds``; the output level is measured over the
    last third (whole cycles) as the peak of a sine of the same RMS. Returns the input
    levels and the output levels of each channel, (levels, 2).
    """
    sample_rate = check_plot_rate(sample_rate)
    # The level is read over whole cycles of the tone's last third: at least one of them.
    seconds = _seconds(seconds, least=CURVE_LEAST_SECONDS)
    levels = np.arange(-90.0, 0.5, 2.0) if levels_db is None else np.asarray(levels_db, float)
    if levels.ndim != 1:
        raise ValueError("levels_db must be a list of levels in dBFS")
    for level in levels:
        _peak("levels_db", float(level))
    specs = load_chain(chain)
    frames = int(sample_rate * seconds)
    # The tone's times and samples, its stereo input and the output, at a time.
    check_memory(frames * (8 + 8 + 4 + 8 + 2 * 8), "a plot's level curve")
    t = np.arange(frames) / sample_rate
    tone = np.sin(2.0 * np.pi * CURVE_FREQUENCY_HZ * t)
    out_levels = np.empty((levels.size, 2))
    rate = output_rate(specs, sample_rate)
    for row, level in enumerate(levels):
        sine = (10.0 ** (level / 20.0) * tone).astype(np.float32)
        raw = _run(np.stack([sine, sine], axis=1), sample_rate, specs)
        out = _stereo(raw, raw.shape[0])
        # Measured over a whole number of cycles of the output, so that the RMS of a sine
        # is exact.
        cycles = int(out.shape[0] // 3 * CURVE_FREQUENCY_HZ / rate)
        tail = slice(out.shape[0] - round(cycles * rate / CURVE_FREQUENCY_HZ), out.shape[0])
        rms = np.sqrt(np.mean(np.square(out[tail]), axis=0))
        out_levels[row] = _level_db(rms * np.sqrt(2.0))
    return levels, out_levels


IMAGE_FORMATS = ("png", "svg", "pdf")


def _image_format(name: str) -> str:
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    if not suffix:
        raise KavriError(
            f"{display_name(name)}: the name has no suffix to tell the image format; "
            "give it .png, .svg or .pdf"
        )
    if suffix not in IMAGE_FORMATS:
        raise KavriError(
            f"{display_name(name)}: unknown image format '.{suffix}'; use .png, .svg or .pdf"
        )
    return suffix


def _figure_class() -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise MatplotlibMissing("plotting needs matplotlib: pip install 'kavri[plot]'") from None
    except ValueError as error:
        # A setting matplotlib refuses as it loads (MPLBACKEND=abc): a traceback, though
        # drawing here needs no backend.
        raise KavriError(f"matplotlib cannot load: {error}") from None
    return Figure


def path_responses(
    chain: ChainLike, sample_rate: int | float = 48_000
) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
    """The magnitude responses worth drawing, by label: "left -> left", "right -> right",
    and the cross paths "left -> right", "right -> left" where they carry anything; a
    single "left and right" when both direct paths are the same and nothing crosses, and
    "each side to itself" and "each side to the other" when the two sides mirror each
    other. A chain that converts rates is measured with its impulse later (see
    CONVERTING_TYPES): the magnitude does not depend on when the impulse comes."""
    sample_rate = check_plot_rate(sample_rate)
    specs = load_chain(chain)
    paths = stereo_impulse_responses(specs, sample_rate, lead=_lead(specs, sample_rate))
    frequencies, magnitude = _spectrum_db(
        paths.reshape(paths.shape[0], 4), output_rate(specs, sample_rate), FFT_FRAMES
    )
    curves = {
        label: magnitude[:, source * 2 + target]
        for label, (source, target) in _drawn_paths(paths).items()
    }
    return frequencies, curves


# The paths from input to output channel, in the order every panel draws them, so that a
# path has the same colour in each (the level over time had drawn them in another order).
PATH_NAMES = {
    (0, 0): "left -> left",
    (1, 1): "right -> right",
    (0, 1): "left -> right",
    (1, 0): "right -> left",
}


def _drawn_paths(paths: npt.NDArray[np.float64]) -> dict[str, tuple[int, int]]:
    """The paths of (length, 2 inputs, 2 outputs) responses worth drawing, by label, as
    (input, output): see :func:`path_responses`."""
    drawn: dict[str, tuple[int, int]] = {}
    crossing = False
    for (source, target), label in PATH_NAMES.items():
        if source != target and not np.any(paths[:, source, target]):
            continue
        crossing |= source != target
        drawn[label] = (source, target)
    mirrored = np.array_equal(paths[:, 0, 0], paths[:, 1, 1]) and np.array_equal(
        paths[:, 0, 1], paths[:, 1, 0]
    )
    if mirrored and not crossing:
        return {"left and right": (0, 0)}
    if mirrored:
        # A side silent to itself (a swap) is no curve: it lay below the axis, in the legend.
        itself = {"each side to itself": (0, 0)} if np.any(paths[:, 0, 0]) else {}
        return {**itself, "each side to the other": (0, 1)}
    return drawn


# Effects that repeat what they hear after a delay: their plot adds the impulse response in
# time, where each echo stands apart. Their magnitude response is a comb of peaks and notches
# a few hertz apart, which the smoothed curve shows nearly flat.
ECHO_TYPES = frozenset({"delay", "ping_pong_delay"})
ECHO_WINDOW_SECONDS = 0.001
ECHO_FLOOR_DB = -60.0


def has_echoes(chain: Chain) -> bool:
    """True if any effect of the chain repeats the signal after a delay."""
    return any(spec["type"] in ECHO_TYPES for spec in chain)


def echoes_over_time(
    chain: ChainLike, sample_rate: int | float = 48_000
) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
    """The impulse response in time, path by path (labelled as in :func:`path_responses`):
    its peak magnitude in dB over 1 ms windows, relative to the impulse, floored at
    ECHO_FLOOR_DB. The direct sound and each echo show as a spike at its time."""
    sample_rate = check_plot_rate(sample_rate)
    specs = load_chain(chain)
    paths = stereo_impulse_responses(specs, sample_rate)
    rate = output_rate(specs, sample_rate)
    window = max(1, int(ECHO_WINDOW_SECONDS * rate))
    count = paths.shape[0] // window
    peaks = np.abs(paths[: count * window]).reshape(count, window, 2, 2).max(axis=1)
    levels = {
        label: np.maximum(_level_db(peaks[:, source, target]), ECHO_FLOOR_DB)
        for label, (source, target) in _drawn_paths(paths).items()
    }
    return np.arange(count) * window / rate, levels


# Effects whose sound moves with time (a low-frequency oscillator): their plot adds the
# level over time of a steady tone, which an impulse response taken at one instant hides.
MOVING_TYPES = frozenset(
    {"tremolo", "auto_pan", "rotary_speaker", "chorus", "flanger", "vibrato", "phaser"}
)
WINDOW_SECONDS = 0.01

# What the level of a steady tone over time shows for each moving effect: the caption under
# the panel.
MOTION_NOTES = {
    "chorus": "chorus and flanger mix the tone with a copy of it through a swept delay. As "
    "the delay moves, the copy drifts in and out of phase with the tone, so a steady tone's "
    "level rises and falls (comb filtering): the further the delay sweeps, the more ripples "
    "per sweep (many for a chorus at 1 kHz, a few for a flanger). Music hears this as "
    "shimmer or a whoosh, not as a change of volume.",
    "vibrato": "vibrato is the swept delay alone: it bends the pitch, and the level of a tone "
    "stays nearly flat.",
    "phaser": "phaser: its notches sweep up and down past the tone, which dips each time one "
    "crosses 1 kHz.",
    "tremolo": "tremolo: the level itself rises and falls at the rate.",
    "auto_pan": "auto-pan: the tone moves from side to side, each side dipping as the other rises.",
    "rotary_speaker": "rotary speaker: the turning horn and drum move the level (and the "
    "pitch) on each side.",
}
MOTION_NOTES["flanger"] = MOTION_NOTES["chorus"]


def has_motion(chain: Chain) -> bool:
    """True if any effect of the chain changes its sound over time by itself."""
    return any(spec["type"] in MOVING_TYPES for spec in chain)


def level_over_time(
    chain: ChainLike,
    sample_rate: int | float = 48_000,
    seconds: float = 2.0,
    level_db: float = IMPULSE_LEVEL_DB,
) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
    """The level (dB, RMS over 10 ms windows) of each output channel while a steady 1 kHz
    sine plays on the left input alone, then on the right alone; paths that carry nothing
    are left out, and two sides that move alike are one "left and right". Shows what
    auto-pan, tremolo and the rotary speaker do over time."""
    sample_rate = check_plot_rate(sample_rate)
    seconds = _seconds(seconds)
    peak = _peak("level_db", level_db)
    specs = load_chain(chain)
    frames = int(seconds * sample_rate)
    # The tone's times and samples, an input and its output, at a time.
    check_memory(frames * (8 + 8 + 2 * 4 + 2 * 8), "a plot's level over time")
    rate = output_rate(specs, sample_rate)
    window = max(1, int(WINDOW_SECONDS * rate))
    count = round(frames * rate / sample_rate) // window
    t = np.arange(frames) / sample_rate
    tone = peak * np.sin(2.0 * np.pi * CURVE_FREQUENCY_HZ * t)
    levels: dict[str, npt.NDArray[np.float64]] = {}
    for side in range(2):
        signal_in = np.zeros((frames, 2), dtype=np.float32)
        signal_in[:, side] = tone
        out = _stereo(_run(signal_in, sample_rate, specs), count * window)
        power = np.mean(np.square(out[: count * window]).reshape(count, window, 2), axis=1)
        for target in range(2):
            if side != target and not np.any(power[:, target]):
                continue
            levels[PATH_NAMES[(side, target)]] = 10.0 * np.log10(
                np.maximum(power[:, target] * 2.0, 1e-12)
            )
    levels = {name: levels[name] for name in PATH_NAMES.values() if name in levels}
    times = (np.arange(count) + 0.5) * window / rate
    if set(levels) == {"left -> left", "right -> right"} and np.array_equal(
        levels["left -> left"], levels["right -> right"]
    ):
        # One line where the two sides move alike, as for the magnitude response.
        levels = {"left and right": levels["left -> left"]}
    return times, levels


# Effects that add a room's tail: their plot adds the impulse response's level over time and
# its energy decay curve, from which the decay time is read.
ROOM_TYPES = frozenset({"reverb", "convolution"})
DECAY_SECONDS = 6.0
# A longer room is measured again over twice the window until its tail has died away within
# it (the energy of the window's last sixth 60 dB under the whole), up to this. Cut short,
# the energy decay curve falls early: a 20 s cathedral read as 8.7 s in a 6 s window.
DECAY_MOST_SECONDS = 30.0


def has_room(chain: Chain) -> bool:
    """True if any effect of the chain adds a room's tail."""
    return any(spec["type"] in ROOM_TYPES for spec in chain)


# Effects that add a signal of their own, no part of any response: every panel measures the
# chain without them (see without_added). Noise at a ratio follows the input's level, so
# it cannot be taken away as the output for silence is (_answers).
ADDED_TYPES = frozenset({"noise", "background_noise"})
# The decay panel leaves codecs out too: in a tail, a codec's idle noise (GSM 6.10 decodes
# silence as a steady noise at -66 dBFS, as libgsm does) is no longer the answer to silence
# that can be taken away, and it held a reverb's decay curve up and read its decay time
# half as long again.
ROOM_LEFT_OUT = ADDED_TYPES | {"codec"}


def without_added(chain: ChainLike) -> Chain:
    """The chain without the effects that add a signal of their own (its noise)."""
    return [spec for spec in load_chain(chain) if spec["type"] not in ADDED_TYPES]


def wet_rooms(chain: ChainLike) -> Chain:
    """The chain with every room at ``mix`` 1, its wet path alone, and without the noise it
    adds (its noise items, and its codecs, whose idle noise is one). A dry share is an
    impulse at time 0 that holds most of the energy at a low mix, so the energy decay curve
    falls past -5 dB at once and a decay time read from it would follow the mix, not the
    room; added noise holds the curve up at its own level, and the decay time read would
    follow the noise's length."""
    return [
        {**spec, "mix": 1.0} if spec["type"] in ROOM_TYPES else spec
        for spec in load_chain(chain)
        if spec["type"] not in ROOM_LEFT_OUT
    ]


def decay(
    chain: ChainLike, sample_rate: int | float = 48_000, seconds: float = DECAY_SECONDS
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], float]:
    """The chain's response to an impulse on both inputs, as seen from the left output:
    times in seconds, the response's level (dB re its peak), its energy decay curve (the
    Schroeder integral: the energy still to come, dB re the whole), and the decay time
    (60 dB) read from the curve's fall from -5 to -35 dB, doubled; NaN when it never falls
    that far. The response is measured over ``seconds``, or over a window doubled until its
    tail has died away in it (up to DECAY_MOST_SECONDS). The chain is measured as given; for
    a room's own decay time give it :func:`wet_rooms` of the chain, as :func:`plot_chain`
    does."""
    sample_rate = check_plot_rate(sample_rate)
    seconds = _seconds(seconds)
    specs = load_chain(chain)
    rate = output_rate(specs, sample_rate)
    while True:
        frames = max(1, int(seconds * sample_rate))
        check_memory(frames * 2 * (4 + 8 * 4), "a plot's decay")
        left = impulse_response(specs, sample_rate, frames)[:, 0]
        energy = np.cumsum(np.square(left)[::-1])[::-1]
        last_sixth = float(energy[left.shape[0] * 5 // 6]) if left.shape[0] else 0.0
        if seconds >= DECAY_MOST_SECONDS or not last_sixth > float(energy[0]) * 1e-6:
            break
        seconds = min(2.0 * seconds, DECAY_MOST_SECONDS)
    times = np.arange(left.shape[0]) / rate
    peak = float(np.max(np.abs(left))) or 1.0
    level = _level_db(np.abs(left) / peak)
    total = float(energy[0]) or 1.0
    curve = 10.0 * np.log10(np.maximum(energy / total, 1e-12))
    below_5, below_35 = np.flatnonzero(curve <= -5.0), np.flatnonzero(curve <= -35.0)
    seconds_60 = math.nan
    # A silent response has no decay (its flat curve would read 0 s).
    if energy.size and float(energy[0]) > 0.0 and below_5.size and below_35.size:
        seconds_60 = 2.0 * float(below_35[0] - below_5[0]) / rate
    return times, level, curve, seconds_60


def _legend(ax: Any) -> None:
    """A legend under the panel, in two columns, so that it never hides a curve."""
    ax.legend(
        loc="upper center",
        bbox_to_anchor=(0.5, -0.14),
        ncols=2,
        fontsize="small",
        frameon=False,
    )


def _draw_echoes(
    ax: Any, times: npt.NDArray[np.float64], levels: dict[str, npt.NDArray[np.float64]]
) -> None:
    """The impulse response in time, up to just after the last echo above the floor."""
    heard = np.zeros(times.shape, bool)
    for label, values in levels.items():
        ax.plot(times, values, label=label, linestyle="--" if _crosses(label) else "-", alpha=0.9)
        heard |= values > ECHO_FLOOR_DB + 1.0
    last = float(times[np.flatnonzero(heard)[-1]]) if heard.any() else 0.0
    end = min(max(1.15 * last, 0.05), float(times[-1]))
    # A little room before 0, so that the direct sound's spike clears the axis.
    ax.set_xlim(-0.02 * end, end)
    top = max(float(np.max(values)) for values in levels.values())
    ax.set_ylim(ECHO_FLOOR_DB, max(top, 0.0) + 6.0)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("peak level re impulse (dB)")
    ax.set_title("Impulse response in time: the echoes")
    ax.grid(True, alpha=0.3)
    if len(levels) > 1:
        _legend(ax)


def _motion_notes(chain: Chain) -> list[str]:
    """The captions of the moving effects in a chain, each once."""
    notes: list[str] = []
    for spec in chain:
        note = MOTION_NOTES.get(spec["type"])
        if note is not None and note not in notes:
            notes.append(note)
    return notes


def _caption(notes: list[str], panels: int) -> str:
    """The notes under a figure of ``panels`` panels, wrapped to its width."""
    width = 60 * panels
    text = "Level over time: " + " ".join(notes)
    return "\n".join(textwrap.wrap(text, width))


def _caption_lines(notes: list[str], panels: int) -> int:
    return _caption(notes, panels).count("\n") + 1 if notes else 0


def _crosses(label: str) -> bool:
    source, _, target = label.partition(" -> ")
    return label == "each side to the other" or (bool(target) and source != target)


def _measurement_bytes(sample_rate: int) -> int:
    """The most the measurements of a plot hold at once: the four paths' spectra (complex
    bins, and their magnitudes) or the signals of the level over time (float32 in and out,
    float64 levels), whichever is larger at this rate."""
    spectra = 4 * (FFT_FRAMES // 2 + 1) * (16 + 8) + 2 * IMPULSE_FRAMES * 4 * 8
    over_time = int(2.0 * sample_rate) * 2 * (4 + 4 + 8)
    return max(spectra, over_time)


def plot_chain(
    chain: ChainLike,
    out: str | os.PathLike[str],
    sample_rate: int = 48_000,
    title: str | None = None,
) -> None:
    """Draws the chain's magnitude response, and its static level curve when the chain has
    dynamics, into an image file (PNG by suffix), written atomically.

    The response is measured with an impulse on each input channel in turn, so that stereo
    effects show each path from an input to an output (left to left, left to right, ...),
    each less the chain's output for silence. The noise the chain adds (``noise``,
    ``background_noise``) is no part of its response: every panel measures the chain
    without it, and the title says so.

    Raises :class:`MatplotlibMissing` without matplotlib, :class:`kavri.ChainError` for a
    bad chain, :class:`KavriError` for a sample rate outside :data:`PLOT_RATES`, a chain
    whose output overflows or one that lets nothing of an impulse through (a trim or a
    fade that takes it away, a silent response), and ``RuntimeError`` from the engine;
    nothing is written then.
    A warning (a clamped value, a step's note) is given once, before anything is drawn,
    though every measurement meets it.
    """
    # Its measurements are calls of their own: a response from a named pipe, read once,
    # serves them all.
    quiet = _TOLD.set(True)
    try:
        with listed_once():
            _plot_chain(chain, out, sample_rate, title)
    finally:
        _TOLD.reset(quiet)


# Set while plot_chain runs, in its own thread's context: it tells the chain's clamps and
# notes once, before it draws, and its measurements tell nothing. (It had caught every
# warning of the process, other threads' too, and given them again after the image was
# written, over the error that ended it.)
_TOLD: ContextVar[bool] = ContextVar("told", default=False)


def _run(audio: npt.NDArray[np.float32], sample_rate: int, specs: Chain) -> Any:
    """The chain over a measuring signal: telling what a call tells, but in plot_chain."""
    if _TOLD.get():
        return steps.process_audio(audio, sample_rate, specs, notes=[])
    return process(audio, sample_rate, specs)


def _plot_chain(
    chain: ChainLike, out: str | os.PathLike[str], sample_rate: int, title: str | None
) -> None:
    figure_class = _figure_class()
    _image_format(os.fspath(out))
    given: object = title
    if given is not None and not isinstance(given, str):
        # (-1 had failed in the wrapping of the drawn figure, 0 drawn no title.)
        raise TypeError(f"title must be text or None, got {title!r}")
    sample_rate = check_plot_rate(sample_rate)
    whole = load_chain(chain)
    check_memory(_measurement_bytes(sample_rate), f"a plot at {sample_rate} Hz")
    # The chain as given runs first, over a frame: what it adds is left out of the panels
    # below, and a fault of it (a noise without a file, a file that is not there) drew a
    # plot of a chain that kavri process refuses.
    said: list[str] = []
    try:
        steps.process_audio(np.zeros((1, 2), np.float32), sample_rate, whole, notes=said)
    except ChainError as error:
        if "channel" not in str(error):
            raise
        # A chain for another count of channels: the message did not say that a plot
        # measures two.
        raise ChainError(f"{error} (a plot measures the chain over two channels)") from None
    plan_chain(whole, sample_rate, 2).warn_clamped(stacklevel=3)
    for note in said:
        warnings.warn(note, KavriWarning, stacklevel=3)
    # The noise the chain adds is no part of its response: every panel measures it without.
    specs = without_added(whole)
    dynamics = has_dynamics(specs)
    frequencies, curves = path_responses(specs, sample_rate)
    curve = static_curve(specs, sample_rate) if dynamics else None
    measured = list(curves.values()) + ([] if curve is None else [curve[1]])
    if not all(np.all(np.isfinite(values)) for values in measured):
        raise KavriError(
            f"{chain_summary(whole)}: the output is not finite at "
            f"{sample_rate} Hz (it overflows single precision); nothing to plot"
        )
    if max(float(np.max(values)) for values in measured) <= SILENT_DB:
        # A flat line at the floor read as a response.
        raise KavriError(
            f"{chain_summary(whole)}: nothing of an impulse comes through in the "
            f"{IMPULSE_FRAMES / sample_rate:.2g} s measured at {sample_rate} Hz (a trim, a "
            "fade or a pad may take it away, a silent response or a coarse bitcrush hide it); "
            "nothing to plot"
        )

    motion = level_over_time(specs, sample_rate) if has_motion(specs) else None
    echoes = echoes_over_time(specs, sample_rate) if has_echoes(specs) else None
    room = decay(wet_rooms(specs), sample_rate) if has_room(specs) else None
    panels = (
        1 + (curve is not None) + (echoes is not None) + (room is not None) + (motion is not None)
    )
    notes = _motion_notes(specs) if motion is not None else []
    figure = figure_class(
        figsize=(3.5 + 3.75 * panels, 5.0 + 0.25 * _caption_lines(notes, panels)),
        layout="constrained",
    )
    axes = figure.subplots(1, panels, squeeze=False)[0]
    ax = axes[0]
    labels = list(curves)
    centres, shown = smoothed(frequencies, np.stack([curves[k] for k in labels], axis=1))
    for index, label in enumerate(labels):
        ax.semilogx(
            centres,
            shown[:, index],
            label=label,
            linestyle="--" if _crosses(label) else "-",
            alpha=0.9,
        )
    if len(labels) > 1:
        _legend(ax)
    top = float(np.max(shown))
    low = min(max(float(np.min(shown)), top - 80.0), top - 24.0)
    ax.set_ylim(low - 3.0, top + 6.0)
    ax.set_xlim(10.0, output_rate(specs, sample_rate) / 2.0)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("magnitude (dB)")
    # On two lines beside other panels: on one it ran past the figure's left edge.
    join = "\n" if panels > 1 else " "
    ax.set_title(
        f"Magnitude response per path{join}(impulse at {IMPULSE_LEVEL_DB:g} dBFS, 1/24 octave)"
    )
    ax.grid(True, which="both", alpha=0.3)

    if curve is not None:
        levels, out_levels = curve
        ax = axes[1]
        ax.plot(levels, levels, color="0.7", linestyle="--", label="unity")
        ax.plot(
            levels,
            out_levels[:, 0],
            label="output" if np.array_equal(out_levels[:, 0], out_levels[:, 1]) else "left",
        )
        if not np.array_equal(out_levels[:, 0], out_levels[:, 1]):
            ax.plot(levels, out_levels[:, 1], label="right", alpha=0.8)
        ax.set_xlabel("input level (dBFS)")
        ax.set_ylabel("output level (dBFS)")
        ax.set_title(f"Static level curve ({CURVE_FREQUENCY_HZ:g} Hz sine)")
        lowest = max(float(np.min(out_levels)), -120.0)
        ax.set_ylim(lowest - 3.0, max(float(np.max(out_levels)), 0.0) + 3.0)
        ax.grid(True, alpha=0.3)
        _legend(ax)
    if echoes is not None:
        _draw_echoes(axes[1 + (curve is not None)], *echoes)
    if motion is not None:
        times, motion_levels = motion
        ax = axes[-1]
        for label, values in motion_levels.items():
            ax.plot(
                times,
                values - IMPULSE_LEVEL_DB,
                label=label,
                linestyle="--" if _crosses(label) else "-",
                alpha=0.9,
            )
        ax.set_xlabel("time (s)")
        ax.set_ylabel("level re input (dB)")
        ax.set_title(f"Level over time ({CURVE_FREQUENCY_HZ:g} Hz tone on one side)")
        ax.set_ylim(-40.0, 12.0)
        ax.grid(True, alpha=0.3)
        if len(motion_levels) > 1:
            _legend(ax)
        if notes:
            figure.supxlabel(_caption(notes, panels), fontsize="small", ha="left", x=0.01)
    if room is not None:
        times, level, energy, seconds_60 = room
        ax = axes[1 + (curve is not None) + (echoes is not None)]
        ax.plot(times, level, color="0.75", linewidth=0.5, label="impulse response (left)")
        known = "" if math.isnan(seconds_60) else f", T60 {seconds_60:.2f} s"
        ax.plot(times, energy, label=f"energy decay{known}")
        ax.set_xlabel("time (s)")
        ax.set_ylabel("level (dB)")
        ax.set_title("Impulse response and decay, wet")
        ax.set_ylim(-90.0, 3.0)
        ax.grid(True, alpha=0.3)
        _legend(ax)
    note = " (measured without the noise it adds)" if len(specs) < len(whole) else ""
    # Wrapped to the figure's width: a chain of eight effects lost both ends of its title.
    heading = title or chain_summary(whole) + note
    figure.suptitle("\n".join(textwrap.wrap(heading, 50 * panels)) or heading)

    name = os.fspath(out)
    try:
        with atomic_output(name) as temporary:
            figure.savefig(temporary, format=_image_format(name), dpi=110)
    except OSError as error:
        raise KavriError(f"{display_name(name)}: cannot write: {error.strerror or error}") from None
