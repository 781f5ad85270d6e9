"""Words and numbers about audio that was measured or written: the one-line report after
processing a file, and the meter's table and JSON."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence

from ._audio import PCM_BITS
from ._paths import shown
from .catalogue import counted
from .files import FileSummary
from .loudness import MIN_LOUDNESS_RATE, Measurement, above, to_db
from .rendering import LOSSY_SUBTYPES

__all__ = ["output_report", "meter_text", "meter_json"]


def _db(value: float, unit: str) -> str:
    if not math.isfinite(value):
        return f"-inf {unit}"
    return f"{value:.1f} {unit}".replace("-0.0 ", "0.0 ", 1)  # a hair below 0 is not "-0.0"


def _lufs(value: float) -> str:
    if math.isfinite(value):
        return f"{value:.1f} LUFS"
    if math.isnan(value):
        return f"not measured (loudness needs a sample rate of {MIN_LOUDNESS_RATE} Hz or more)"
    return "none (too short, silent, or below the -70 LUFS gate)"


def _range(value: float, measured: Measurement) -> str:
    if math.isfinite(value):
        return f"{value:.1f} LU"
    if math.isnan(measured.integrated_lufs):
        return "not measured"
    return "not measured (needs 3 s or more)"


def _level(value: float, measured: Measurement, shortest: str) -> str:
    if math.isfinite(value):
        return f"{value:.1f} LUFS"
    if math.isnan(measured.integrated_lufs):
        return "not measured"
    return f"none (silent or shorter than {shortest})"


def output_report(summary: FileSummary) -> tuple[str, list[str]]:
    """The report of one processed file: a line with the figures of the output as written
    (decoded back for lossy formats, and said to be): its peak, true peak where a target or
    a decoding measured it, and integrated loudness, and the gain a loudness target added;
    and the warnings: samples clipped by an integer or lossy format, NaN or infinite
    samples, a float output above full scale, a missed loudness target or ceiling."""
    parts = []
    measured = summary.measurement
    result = summary.loudness
    if measured is not None:
        # Levels leave out NaN and infinite samples (a file of infinities read as silent);
        # the warning below says how they were written.
        finite = " of the finite samples" if measured.nan or measured.inf else ""
        parts.append(f"peak {_db(measured.sample_peak_db, 'dBFS')}{finite}")
        if result is not None or summary.decoded:
            parts.append(f"true peak {_db(measured.true_peak_db, 'dBTP')}")
        parts.append(f"loudness {_lufs(measured.integrated_lufs)}")
    if result is not None and result.specs:
        gain = f"gain {result.gain_db:+.1f} dB"
        if result.limiter_ceiling_db is not None:
            gain += f", limiter at {result.limiter_ceiling_db:.2f} dBFS"
        if result.trim_db:
            gain += f", then {result.trim_db:+.2f} dB"
        parts.append(gain)
    name = shown(summary.output) if summary.output != "-" else "standard output"
    if measured is not None and summary.decoded:
        name += " (as decoded)"
    elif measured is not None and summary.subtype in LOSSY_SUBTYPES:
        name += " (before encoding)"
    line = f"{name}: " + ", ".join(parts)
    warnings = list(summary.warnings)
    if summary.subtype in ("FLOAT", "DOUBLE") and summary.peak > 1.0:
        warnings.append(
            f"the output peaks at {above(to_db(summary.peak), 0.0, 1)} dBFS, above full scale: the "
            "float file holds it, but most players and converters will clip it"
        )
    stats = summary.stats
    if stats.clipped:
        bits = PCM_BITS.get(summary.subtype)
        scale = f"{bits}-bit full scale" if bits else "full scale of the format"
        warnings.append(f"{counted(stats.clipped, 'sample')} clipped at the {scale}")
    if stats.nonfinite:
        kept = summary.subtype in ("FLOAT", "DOUBLE")
        warnings.append(
            f"{counted(stats.nonfinite, 'NaN or infinite sample')}"
            f"{' written as they are' if kept else ' written as 0 (NaN) or at full scale'}"
        )
    return line, warnings


def _channel_values(values: Sequence[float]) -> str:
    return " ".join(f"{to_db(v):7.2f}" if v > 0 else "   -inf" for v in values)


def meter_text(name: str, measured: Measurement) -> str:
    """A meter reading as a few lines of text."""
    minutes, seconds = divmod(measured.seconds, 60.0)
    lines = [
        f"{name}",
        f"  duration        {int(minutes)}:{seconds:06.3f} ({counted(measured.frames, 'frame')})",
        f"  sample rate     {measured.sample_rate:g} Hz, {counted(measured.channels, 'channel')}",
        f"  loudness        {_lufs(measured.integrated_lufs)}",
        f"  loudness range  {_range(measured.loudness_range, measured)}",
        f"  max momentary   {_level(measured.max_momentary_lufs, measured, '0.4 s')}",
        f"  max short-term  {_level(measured.max_short_term_lufs, measured, '3 s')}",
        f"  sample peak     {_channel_values(measured.sample_peak)} dBFS",
        f"  true peak       {_channel_values(measured.true_peak)} dBTP",
        f"  rms             {_channel_values(measured.rms)} dBFS",
        f"  clipped         {counted(measured.clipped, 'sample')}",
        f"  nan/inf         {measured.nan}/{counted(measured.inf, 'sample')}",
    ]
    if measured.nan or measured.inf:
        lines.append("  (levels and loudness leave out the NaN and infinite samples)")
    return "\n".join(lines)


def meter_json(readings: Sequence[tuple[str, Measurement]]) -> str:
    """Meter readings as a JSON list, one object with flat keys per file."""
    return json.dumps(
        [{"file": name, **measured.as_dict()} for name, measured in readings], indent=2
    )
