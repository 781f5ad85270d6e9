"""Words and numbers about audio that was measured or written: the one-line report after
processing a file, and the meter's table and JSON."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence

from ._audio import PCM_BITS
from .files import FileSummary
from .loudness import MIN_LOUDNESS_RATE, Measurement, to_db

__all__ = ["output_report", "meter_text", "meter_json"]


def _db(value: float, unit: str) -> str:
    return f"{value:.1f} {unit}" if math.isfinite(value) else f"-inf {unit}"


def _lufs(value: float) -> str:
    if math.isfinite(value):
        return f"{value:.1f} LUFS"
    if math.isnan(value):
        return f"not measured (loudness needs a sample rate of {MIN_LOUDNESS_RATE} Hz or more)"
    return "no integrated loudness (too short or silent)"


def output_report(summary: FileSummary) -> tuple[str, list[str]]:
    """The report of one processed file: a line with the output's peak and integrated
    loudness (and the gain a loudness target added), and the warnings: samples clipped by
    an integer or lossy format, NaN or infinite samples, a missed loudness target."""
    parts = []
    measured = summary.measurement
    if measured is not None:
        parts.append(f"peak {_db(measured.sample_peak_db, 'dBFS')}")
        parts.append(f"loudness {_lufs(measured.integrated_lufs)}")
    result = summary.loudness
    if result is not None and result.specs:
        gain = f"gain {result.gain_db:+.1f} dB"
        if result.limiter_ceiling_db is not None:
            gain += f", limiter at {result.limiter_ceiling_db:.2f} dBFS"
        parts.append(gain)
    line = f"{summary.output if summary.output != '-' else 'standard output'}: " + ", ".join(parts)
    warnings = list(summary.warnings)
    stats = summary.stats
    if stats.clipped:
        bits = PCM_BITS.get(summary.subtype)
        scale = f"{bits}-bit full scale" if bits else "full scale of the format"
        warnings.append(f"{stats.clipped} samples clipped at the {scale}")
    if stats.nonfinite:
        kept = summary.subtype in ("FLOAT", "DOUBLE")
        warnings.append(
            f"{stats.nonfinite} NaN or infinite samples"
            f"{' written as they are' if kept else ' written as 0'}"
        )
    if result is not None:
        problem = result.problem()
        if problem:
            warnings.append(problem)
    return line, warnings


def _channel_values(values: Sequence[float]) -> str:
    return " ".join(f"{to_db(v):7.2f}" if v > 0 else "   -inf" for v in values)


def meter_text(name: str, measured: Measurement) -> str:
    """A meter reading as a few lines of text."""
    minutes, seconds = divmod(measured.seconds, 60.0)
    lines = [
        f"{name}",
        f"  duration        {int(minutes)}:{seconds:06.3f} ({measured.frames} frames)",
        f"  sample rate     {measured.sample_rate:g} Hz, {measured.channels} channels",
        f"  loudness        {_lufs(measured.integrated_lufs)}",
        f"  sample peak     {_channel_values(measured.sample_peak)} dBFS",
        f"  true peak       {_channel_values(measured.true_peak)} dBTP",
        f"  rms             {_channel_values(measured.rms)} dBFS",
        f"  clipped         {measured.clipped} samples",
        f"  nan/inf         {measured.nan}/{measured.inf} samples",
    ]
    return "\n".join(lines)


def meter_json(readings: Sequence[tuple[str, Measurement]]) -> str:
    """Meter readings as a JSON list, one object with flat keys per file."""
    return json.dumps(
        [{"file": name, **measured.as_dict()} for name, measured in readings], indent=2
    )
