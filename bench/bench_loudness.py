"""A loudness target against a plain run over an hour, the meters' cost, and peak memory.

Run with `.venv/bin/python bench/bench_loudness.py [--minutes 60] [--rounds 2]`. An hour of
speech-like stereo at 48 kHz (float WAV, about 1.4 GB) is made in a temporary folder, then
`kavri process IN OUT.wav --preset vocal` and the same with `--loudness -16` run in
alternating rounds, each under /usr/bin/time for its wall time and peak resident memory; the
table goes to bench/results/loudness.md. The meters are timed on a minute of stereo in this
process (best of five) and scaled to an hour.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf
from scipy import signal

from kavri.loudness import LevelMeter, TruePeakMeter

RATE = 48_000
RESULTS = Path(__file__).parent / "results" / "loudness.md"


def speech(path: Path, minutes: int) -> None:
    """Syllables of band-limited noise with pauses and plosives, written a minute at a time."""
    rng = np.random.default_rng(5)
    sos = signal.butter(2, [150, 7000], "bandpass", fs=RATE, output="sos")
    state = np.zeros((sos.shape[0], 2))
    with sf.SoundFile(path, "w", RATE, 2, "FLOAT") as out:
        for minute in range(minutes):
            frames = 60 * RATE
            noise, state = signal.sosfilt(sos, rng.standard_normal(frames), zi=state)
            t = (np.arange(frames) + minute * frames) / RATE
            voice = 0.05 * noise * np.maximum(np.sin(2 * np.pi * 4 * t), 0) ** 2
            voice *= np.sin(2 * np.pi * 0.3 * t) > -0.5
            for start in rng.integers(0, frames - 50, 120):
                voice[start : start + 20] += 0.3 * np.hanning(20)
            out.write(np.stack([voice, np.roll(voice, 37)], 1).astype(np.float32))


def timed(args: list[str], cwd: Path) -> tuple[float, float]:
    """Wall seconds and peak resident MB of one command."""
    start = time.perf_counter()
    done = subprocess.run(
        ["/usr/bin/time", "-f", "%M", sys.executable, "-m", "kavri", *args, "--quiet"],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=True,
    )
    seconds = time.perf_counter() - start
    return seconds, int(done.stderr.strip().splitlines()[-1]) / 1024


def meter_hour(make: object) -> float:
    """Seconds a meter takes over an hour of stereo, from the best of five minutes."""
    audio = np.random.default_rng(1).standard_normal((60 * RATE, 2)).astype(np.float32) * 0.1
    best = float("inf")
    for _ in range(5):
        meter = make()  # type: ignore[operator]
        start = time.perf_counter()
        meter.add(audio)
        if hasattr(meter, "result"):
            meter.result()
        best = min(best, time.perf_counter() - start)
    return best * 60


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as folder:
        work = Path(folder)
        speech(work / "take.wav", args.minutes)
        runs: dict[str, list[tuple[float, float]]] = {"plain": [], "target": []}
        for _ in range(args.rounds):
            runs["plain"].append(
                timed(["process", "take.wav", "out.wav", "--preset", "vocal"], work)
            )
            runs["target"].append(
                timed(
                    ["process", "take.wav", "out.wav", "--preset", "vocal", "--loudness", "-16"],
                    work,
                )
            )
        for name, found in runs.items():
            rows.append((name, min(s for s, _ in found), max(m for _, m in found)))
    plain, target = rows[0][1], rows[1][1]
    tp = meter_hour(lambda: TruePeakMeter(2))
    level = meter_hour(lambda: LevelMeter(RATE, 2))
    plain_meter = meter_hour(lambda: LevelMeter(RATE, 2, true_peak=False))
    lines = [
        f"# A loudness target over {args.minutes} minutes of stereo",
        "",
        f"{dt.date.today()}, {platform.machine()}, {os.cpu_count()} cores (shared), "
        f"Python {platform.python_version()}; {args.rounds} alternating rounds, best time.",
        "",
        "| run | wall time (s) | peak resident memory (MB) |",
        "|---|---|---|",
        *(f"| {name} | {seconds:.1f} | {memory:.0f} |" for name, seconds, memory in rows),
        "",
        f"The target costs {target / plain:.2f}x a plain run.",
        "",
        "| meter over an hour of stereo | seconds |",
        "|---|---|",
        f"| true peak (4x, two half-band stages, native) | {tp:.1f} |",
        f"| loudness, peaks, RMS (what a plain run meters) | {plain_meter:.1f} |",
        f"| all of it, true peak included | {level:.1f} |",
        "",
    ]
    RESULTS.write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
