"""A loudness target against a plain run over an hour, the meters' cost, and peak memory.

Run with `.venv/bin/python bench/bench_loudness.py [--minutes 60] [--rounds 3] [--input
FILE] [--before SITE]`. Without `--input`, an hour of speech-like stereo at 48 kHz (float
WAV, about 1.4 GB) is made in a temporary folder. Then `kavri process IN OUT.wav --preset
vocal --quiet` and the same with `--loudness -16` run in alternating rounds, each under
/usr/bin/time for its wall time and peak resident memory; with `--before SITE` (a build of an
earlier version installed with `pip install --target SITE`), that build's two runs join each
round too, so that both builds see the same load. The best time of each is reported, with
the median beside it. The meters are timed on a minute of stereo in this process (best of
five) and scaled to an hour. The tables are printed; bench/results/loudness.md records a
run with its method.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import soundfile as sf
from scipy import signal

from kavri.loudness import LevelMeter, LimiterTrial, TruePeakMeter, gain_spec, limiter_spec

RATE = 48_000


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


def timed(args: list[str], cwd: Path, site: str | None) -> tuple[float, float]:
    """Wall seconds and peak resident MB of one command (``site``: the build to run)."""
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = site
    done = subprocess.run(
        ["/usr/bin/time", "-f", "%e %M", sys.executable, "-m", "kavri", *args, "--quiet"],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    seconds, kilobytes = done.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(kilobytes) / 1024


def per_hour(work: Callable[[], object]) -> float:
    """Seconds ``work`` (a minute of stereo) takes for an hour, from the best of five."""
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best * 60


def meters() -> list[tuple[str, float]]:
    """Each meter over an hour of stereo, and a limiter's trial per hour of excerpts."""
    audio = np.random.default_rng(1).standard_normal((60 * RATE, 2)).astype(np.float32) * 0.1

    def fed(make: Callable[[], object]) -> Callable[[], object]:
        def run() -> object:
            meter = make()
            for start in range(0, len(audio), 65_536):
                meter.add(audio[start : start + 65_536])  # type: ignore[attr-defined]
            return meter.result() if hasattr(meter, "result") else meter.true_peak  # type: ignore[attr-defined]

        return run

    first = LevelMeter(RATE, 2)
    first.add(audio)
    trial = LimiterTrial(first.result(), lambda start, stop: [audio[start:stop]])
    specs = [gain_spec(12.0), limiter_spec(-1.05)]  # acts everywhere: every excerpt run
    return [
        ("true peak alone (4x, two half-band stages)", per_hour(fed(lambda: TruePeakMeter(2)))),
        (
            "loudness, peaks, RMS (what a plain run meters)",
            per_hour(fed(lambda: LevelMeter(RATE, 2, true_peak=False))),
        ),
        ("all of it, true peak included", per_hour(fed(lambda: LevelMeter(RATE, 2)))),
        (
            "a limiter's trial, per hour of excerpts",
            per_hour(lambda: trial._run(specs, [(0, len(audio))])),
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--input", type=Path, help="a file to run instead of the made one")
    parser.add_argument("--before", help="site folder of an earlier build to run beside")
    args = parser.parse_args()
    builds: list[tuple[str, str | None]] = [("this build", None)]
    if args.before:
        builds.insert(0, ("before", args.before))
    runs: dict[tuple[str, str], list[tuple[float, float]]] = {}
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as folder:
        work = Path(folder)
        source = args.input.resolve() if args.input else work / "take.wav"
        if not args.input:
            speech(source, args.minutes)
        info = sf.info(str(source))
        plain = ["process", str(source), "out.wav", "--preset", "vocal"]
        for _ in range(args.rounds):
            for build, site in builds:
                for name, extra in (("plain", []), ("--loudness -16", ["--loudness", "-16"])):
                    found = timed(plain + extra, work, site)
                    runs.setdefault((build, name), []).append(found)
    rows = []
    for (build, name), found in runs.items():
        times = [seconds for seconds, _ in found]
        rows.append((build, name, min(times), statistics.median(times), max(m for _, m in found)))
    lines = [
        f"# A loudness target over {info.duration / 60:.0f} minutes of "
        f"{info.channels}-channel {info.samplerate} Hz {info.subtype}",
        "",
        f"{dt.date.today()}, {platform.machine()}, {os.cpu_count()} cores (shared), "
        f"Python {platform.python_version()}; {args.rounds} alternating rounds; load average "
        f"{os.getloadavg()[0]:.1f} at the end.",
        "",
        "| build | run | best wall time (s) | median (s) | peak resident memory (MB) |",
        "|---|---|---|---|---|",
        *(
            f"| {build} | {name} | {best:.1f} | {median:.1f} | {memory:.0f} |"
            for build, name, best, median, memory in rows
        ),
        "",
    ]
    for build, _ in builds:
        plain_best = min(
            s for (b, n), f in runs.items() if b == build and n == "plain" for s, _ in f
        )
        target_best = min(
            s for (b, n), f in runs.items() if b == build and n != "plain" for s, _ in f
        )
        lines.append(f"{build}: the target costs {target_best / plain_best:.2f}x a plain run.")
    lines += ["", "| meter, over an hour of stereo | seconds |", "|---|---|"]
    lines += [f"| {name} | {seconds:.1f} |" for name, seconds in meters()]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
