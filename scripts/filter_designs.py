"""Writes python/kavri/_filter_designs.py: the K-weighting stages pyloudnorm designs for the
common sample rates, the half-band taps SciPy designs for the true-peak meter, and the poles
and zeros SciPy's least squares fits for each noise colour at the common rates, so that a
command measuring loudness or making noise need not import them (importing pyloudnorm
imports scipy.signal, most of a second). Any other rate is designed with the libraries
themselves, and tests/test_loudness.py and tests/test_noise.py check that the kept designs
are still the libraries' own.

    .venv/bin/python scripts/filter_designs.py
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from kavri.catalogue import NOISE_COLOURS
from kavri.loudness import HALF_BAND_BETA, HALF_BAND_TAPS, half_band_designed, kweighting_designed
from kavri.steps.noise import design_fitted

RATES = (8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000)
TARGET = Path(__file__).resolve().parent.parent / "python" / "kavri" / "_filter_designs.py"


def floats(values: object) -> str:
    return "(" + ", ".join(repr(float(v)) for v in values) + ")"  # type: ignore[attr-defined]


def main() -> None:
    lines = [
        '"""Filter designs kept for the meters: written by scripts/filter_designs.py from',
        'pyloudnorm\'s K-weighting and SciPy\'s firwin; do not edit."""',
        "",
        "# (b0, b1, b2), (a0, a1, a2) and the passband gain of each K-weighting stage.",
        "Stage = tuple[tuple[float, ...], tuple[float, ...], float]",
        "",
        "KWEIGHTING: dict[float, tuple[Stage, ...]] = {",
    ]
    for rate in RATES:
        lines.append(f"    {float(rate)!r}: (")
        for b, a, gain in kweighting_designed(float(rate)):
            lines.append(f"        ({floats(b)}, {floats(a)}, {float(gain)!r}),")
        lines.append("    ),")
    lines += ["}", "", "HALF_BAND_PHASES: dict[tuple[int, float], tuple[float, ...]] = {"]
    for taps in HALF_BAND_TAPS:
        lines.append(f"    ({taps}, {HALF_BAND_BETA!r}): {floats(half_band_designed(taps))},")
    lines += [
        "}",
        "",
        "# The poles and zeros of each noise colour's slope at a rate, as fitted.",
        "NOISE_DESIGNS: dict[tuple[int, int], tuple[tuple[float, ...], tuple[float, ...]]] = {",
    ]
    for slope in sorted({s for s in NOISE_COLOURS.values() if s != 0}):
        for rate in RATES:
            poles, zeros = design_fitted(slope, rate)
            lines.append(f"    ({slope}, {rate}): ({floats(poles)}, {floats(zeros)}),")
    lines += ["}", ""]
    TARGET.write_text("\n".join(lines))
    subprocess.run([sys.executable, "-m", "ruff", "format", "--quiet", str(TARGET)], check=True)


if __name__ == "__main__":
    main()
