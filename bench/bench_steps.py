"""Steps that change the rate or the length: speed against their peers, and the resampler's
quality.

Speed: each case runs Kavri and its peers in alternating rounds in one process (a change of
clock or load falls on all of them), each peer in its best layout, and reports the best and
the median time of each; the ratio is peer time / Kavri time from the best times.

- Resampling 60 s of stereo from 48 kHz to 16 kHz: ``kavri.process`` with a ``resample``
  step (workers=1 and workers=2) against ``soxr.resample`` called directly on the whole
  (frames, channels) buffer at the same very-high quality.
- Speed perturbation by 1.1 of 60 s of mono at 16 kHz: Kavri's ``speed`` against
  audiomentations' ``Resample`` to 16000 / 1.1 Hz (librosa's soxr_hq, the clip then read at
  16 kHz) and pedalboard's ``StreamResampler`` from 17.6 kHz to 16 kHz.
- Time stretch by 1.25 of 60 s of mono at 16 kHz: Kavri's ``time_stretch`` against
  audiomentations' ``TimeStretch`` (its Signalsmith method, the same library, in one call,
  and its librosa phase vocoder) and pedalboard's ``time_stretch`` (Rubber Band).

Quality: sines through ``resample`` one at a time, each level read by a least-squares fit at
its own frequency over the steady middle of the output: the pass band's ripple (20 Hz to 90%
of the output's Nyquist frequency), the -3 dB point, and the stopband and aliasing (the
strongest output of any tone from 105% of the output's Nyquist frequency to the input's,
relative to the tone, which is all alias or leakage).

    .venv/bin/python -m pip install -r bench/requirements.txt
    .venv/bin/python bench/bench_steps.py          # writes bench/results/steps.md
"""

from __future__ import annotations

import datetime as dt
import os
import platform
import statistics
from collections.abc import Callable
from importlib.metadata import version
from pathlib import Path

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import numpy as np  # noqa: E402
import soxr  # noqa: E402
from run_bench import timed_rounds  # noqa: E402

import kavri  # noqa: E402

RESULTS = Path(__file__).parent / "results"
ROUNDS = 7


def signal(rate: int, seconds: float, channels: int) -> np.ndarray:
    rng = np.random.default_rng(2024)
    t = np.arange(int(rate * seconds)) / rate
    tones = sum(0.1 * np.sin(2 * np.pi * f * t) for f in (110.0, 440.0, 1234.0, 3000.0))
    audio = tones[:, None] + 0.05 * rng.standard_normal((t.size, channels))
    return audio.astype(np.float32)


def speed_table(title: str, times: dict[str, list[float]]) -> list[str]:
    """A table of best and median times, with each peer's best time over each of Kavri's."""
    best = {name: min(values) for name, values in times.items()}
    ours = [name for name in times if name.startswith("kavri")]
    lines = [
        f"### {title}",
        "",
        "| | best ms | median ms | " + " | ".join(f"peer / {name}" for name in ours) + " |",
        "|---|---:|---:|" + "---:|" * len(ours),
    ]
    for name, values in times.items():
        ratios = ["" if name in ours else f"{best[name] / best[mine]:.2f}x" for mine in ours]
        lines.append(
            f"| {name} | {best[name] * 1000:.1f} | {statistics.median(values) * 1000:.1f} | "
            + " | ".join(ratios)
            + " |"
        )
    return [*lines, ""]


def resample_speed() -> list[str]:
    audio = signal(48_000, 60.0, 2)
    chain = [{"type": "resample", "rate_hz": 16_000}]
    times = timed_rounds(
        {
            "kavri, workers=1": lambda: kavri.process(audio, 48_000, chain),
            "kavri, workers=2": lambda: kavri.process(audio, 48_000, chain, workers=2),
            "soxr.resample (VHQ), whole buffer": lambda: soxr.resample(
                audio, 48_000, 16_000, quality="VHQ"
            ),
        },
        15,
    )
    return speed_table("Resampling 60 s of stereo, 48 kHz to 16 kHz", times)


def speed_perturbation() -> list[str]:
    import audiomentations
    from pedalboard.io import StreamResampler

    audio = signal(16_000, 60.0, 1)
    flat = np.ascontiguousarray(audio[:, 0])
    chain = [{"type": "speed", "factor": 1.1}]
    to = 16_000 / 1.1
    peer = audiomentations.Resample(min_sample_rate=round(to), max_sample_rate=round(to), p=1.0)

    def pedalboard_speed() -> np.ndarray:
        resampler = StreamResampler(16_000 * 1.1, 16_000, 1)
        head = resampler.process(audio.T)
        return np.concatenate([head, resampler.process(None)], axis=1)

    times = timed_rounds(
        {
            "kavri speed": lambda: kavri.process(audio, 16_000, chain),
            "audiomentations Resample": lambda: peer(flat, sample_rate=16_000),
            "pedalboard StreamResampler": pedalboard_speed,
        },
        ROUNDS,
    )
    return speed_table("Speed perturbation by 1.1, 60 s of mono at 16 kHz", times)


def time_stretch() -> list[str]:
    import audiomentations
    import pedalboard

    audio = signal(16_000, 60.0, 1)
    flat = np.ascontiguousarray(audio[:, 0])
    rows = np.ascontiguousarray(audio.T)
    chain = [{"type": "time_stretch", "factor": 1.25}]

    def stretcher(method: str) -> Callable[[], object]:
        peer = audiomentations.TimeStretch(
            min_rate=1.25, max_rate=1.25, leave_length_unchanged=False, method=method, p=1.0
        )
        return lambda: peer(flat, sample_rate=16_000)

    times = timed_rounds(
        {
            "kavri time_stretch": lambda: kavri.process(audio, 16_000, chain),
            "audiomentations TimeStretch (signalsmith)": stretcher("signalsmith_stretch"),
            "audiomentations TimeStretch (librosa)": stretcher("librosa_phase_vocoder"),
            "pedalboard time_stretch (Rubber Band)": lambda: pedalboard.time_stretch(
                rows, 16_000, 1.25
            ),
        },
        5,
    )
    return speed_table("Time stretch by 1.25, 60 s of mono at 16 kHz", times)


def tone_level(out: np.ndarray, frequency: float, rate: int) -> float:
    """The amplitude of ``frequency`` in the steady middle of a mono output (least squares)."""
    data = out.astype(np.float64)[:, 0]
    middle = data[data.size // 4 : 3 * data.size // 4]
    t = (np.arange(middle.size) + data.size // 4) / rate
    basis = np.stack([np.sin(2 * np.pi * frequency * t), np.cos(2 * np.pi * frequency * t)], 1)
    coefficients, *_ = np.linalg.lstsq(basis, middle, rcond=None)
    return float(np.hypot(*coefficients))


def quality(source: int, target: int) -> list[str]:
    chain = [{"type": "resample", "rate_hz": target}]
    nyquist = min(source, target) / 2
    passband = np.geomspace(20.0, 0.9 * nyquist, 40)
    levels = []
    for frequency in passband:
        out = kavri.process(
            np.sin(2 * np.pi * frequency * np.arange(source // 2) / source)[:, None].astype(
                np.float32
            ),
            source,
            chain,
        )
        levels.append(20 * np.log10(tone_level(out, frequency, target)))
    # Short of the Nyquist frequency itself, where a sampled sine has no phase to fit.
    edge = np.linspace(0.9 * nyquist, 0.999 * nyquist, 41)
    edge_levels = []
    for frequency in edge:
        tone = np.sin(2 * np.pi * frequency * np.arange(source // 2) / source)
        out = kavri.process(tone[:, None].astype(np.float32), source, chain)
        edge_levels.append(20 * np.log10(tone_level(out, frequency, target) + 1e-30))
    below = [f for f, level in zip(edge, edge_levels, strict=True) if level > -3]
    worst = -np.inf
    if target < source:
        for frequency in np.linspace(1.05 * nyquist, 0.999 * source / 2, 60):
            tone = np.sin(2 * np.pi * frequency * np.arange(source // 2) / source)
            out = kavri.process(tone[:, None].astype(np.float32), source, chain)
            steady = out[out.shape[0] // 4 : 3 * out.shape[0] // 4].astype(np.float64)
            rms = np.sqrt(np.mean(np.square(steady))) * np.sqrt(2)
            worst = max(worst, 20 * np.log10(rms + 1e-30))
    stop = f"{worst:.1f} dB" if np.isfinite(worst) else "n/a (upsampling)"
    return [
        f"| {source} → {target} | {max(levels) - min(levels):.5f} dB "
        f"| {max(below):.0f} Hz ({max(below) / nyquist * 100:.1f}%) | {stop} |"
    ]


def main() -> None:
    started = dt.datetime.now(dt.UTC)
    lines = [
        "# Steps: rate, speed and time stretch",
        "",
        f"Measured {started:%Y-%m-%d %H:%M} UTC on {platform.machine()} with "
        f"{os.cpu_count()} cores (shared with other work), Python {platform.python_version()}, "
        f"NumPy {np.__version__}, kavri {kavri.__version__}, soxr {version('soxr')}, "
        f"python-stretch {version('python-stretch')}, audiomentations "
        f"{version('audiomentations')}, pedalboard {version('pedalboard')}. Command: "
        "`make bench-steps` (`bench/bench_steps.py`).",
        "",
        "Method: each case's peers run in alternating rounds in one process (15 rounds for "
        "the resampling, 7 for speed perturbation, 5 for the stretchers, after a warm-up), "
        "each in its best layout: soxr and Kavri on (frames, channels), audiomentations on a "
        "1-D clip, pedalboard on (channels, frames). The ratio is the peer's best time over "
        "Kavri's; above 1, Kavri is faster. Kavri's figures include the chain's checks and "
        "planning; a whole call resamples in one call of soxr (a stream feeds it in fixed "
        "blocks, with the same bits). Kavri with workers=2 runs soxr's channel groups on two "
        "threads (the same bits); that pays only while the machine's second core is free.",
        "",
        "## Speed",
        "",
        *resample_speed(),
        *speed_perturbation(),
        *time_stretch(),
        "## Resampling quality",
        "",
        "Sines through `resample`, one at a time, each read by a least-squares fit at its "
        "frequency over the steady middle half of the output. Ripple: the spread of the levels "
        "of 40 tones from 20 Hz to 90% of the lower Nyquist frequency. -3 dB: the highest of 41 "
        "tones from 90% to 99.9% of it still within 3 dB. Stopband and aliasing: the strongest "
        "output (RMS as a peak) of 60 tones from 105% of the output's Nyquist frequency to the "
        "input's, relative to the 0 dBFS tone; all of it is leakage or alias, since nothing of "
        "those tones belongs in the output.",
        "",
        "| rates (Hz) | pass-band ripple | -3 dB point (of Nyquist) | stopband and aliasing |",
        "|---|---:|---:|---:|",
        *quality(48_000, 16_000),
        *quality(44_100, 16_000),
        *quality(96_000, 44_100),
        *quality(44_100, 48_000),
        "",
    ]
    text = "\n".join(lines)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "steps.md").write_text(text, encoding="utf-8")
    print(text)


if __name__ == "__main__":
    main()
