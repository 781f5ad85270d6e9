"""Benchmark of the noise and degradation items; writes bench/results/noise.md.

1. Noise speed: Kavri's ``noise`` (white, pink, brown; 30 s of stereo at 48 kHz, a level, so
   no measuring) against NumPy's own normal generator on Philox and on PCG64 making the same
   number of float32 samples, and audiomentations' AddColorNoise where it is installed, in
   alternating rounds in one process; best and median of the rounds.
2. Bytes read by background noise: a folder of long noise files (16-bit WAV), clips mixed
   from it at drawn files and offsets; the bytes the process read (``rchar`` of
   /proc/self/io, every read() of the process) for each clip against the clip's frames in
   the noise file's bytes, and against the folder's size, after a warm-up call on another
   file (a first call also reads the modules it imports lazily).
3. Codec round trips: seconds of audio coded a second, whole calls over 30 s of stereo.
"""

from __future__ import annotations

import datetime
import platform
import statistics
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

import numpy as np
import soundfile as sf
from run_bench import timed_rounds

import kavri
from kavri.codecs import codec_available

RATE = 48_000
SECONDS = 30
OUT = Path(__file__).resolve().parent / "results" / "noise.md"


def noise_speed() -> list[str]:
    frames = RATE * SECONDS
    zeros = np.zeros((frames, 2), np.float32)
    samples = frames * 2
    philox = np.random.Generator(np.random.Philox(1))
    pcg = np.random.Generator(np.random.PCG64(1))
    cases: dict[str, Callable[[], object]] = {
        "numpy Philox standard_normal (float32)": lambda: philox.standard_normal(
            samples, np.float32
        ),
        "numpy PCG64 standard_normal (float32)": lambda: pcg.standard_normal(samples, np.float32),
    }
    for colour in ("white", "pink", "brown"):
        spec = {"type": "noise", "colour": colour, "mode": "level", "level_db": -20}
        cases[f"kavri noise, {colour}"] = lambda spec=spec: kavri.process(zeros, RATE, [spec])
    try:
        from audiomentations import AddColorNoise  # type: ignore[import-not-found]

        tone = (0.1 * np.sin(np.arange(frames) * 0.05)).astype(np.float32)
        signal = np.stack([tone, tone], axis=1)
        layout = signal.T.copy()
        for colour, decay in (("white", 0.0), ("pink", -3.01)):
            add = AddColorNoise(20, 20, decay, decay, p=1.0)
            cases[f"audiomentations AddColorNoise, {colour}, SNR 20 dB"] = lambda add=add: add(
                layout, RATE
            )
            spec = {"type": "noise", "colour": colour, "snr_db": 20}
            cases[f"kavri noise, {colour}, SNR 20 dB"] = lambda spec=spec: kavri.process(
                signal, RATE, [spec]
            )
    except ImportError:
        pass
    times = timed_rounds(cases, 7)
    lines = [
        f"### {SECONDS} s of stereo at 48 kHz ({samples:,} samples)",
        "",
        "| | best ms | median ms | ns a sample (best) |",
        "|---|---:|---:|---:|",
    ]
    for name, spent in times.items():
        best = min(spent)
        lines.append(
            f"| {name} | {best * 1e3:.1f} | {statistics.median(spent) * 1e3:.1f} | "
            f"{best * 1e9 / samples:.1f} |"
        )
    return lines


def read_bytes() -> int:
    for line in Path("/proc/self/io").read_text().splitlines():
        if line.startswith("rchar:"):
            return int(line.split()[1])
    raise RuntimeError("no rchar in /proc/self/io")


def bytes_read(scratch: Path) -> list[str]:
    minutes = 5
    rng = np.random.default_rng(4)
    folder = scratch / "long"
    folder.mkdir()
    for index in range(4):
        noise = (0.1 * rng.standard_normal((RATE * 60 * minutes, 1))).astype(np.float32)
        sf.write(folder / f"long{index}.wav", noise, RATE, subtype="PCM_16")
    total = sum(p.stat().st_size for p in folder.glob("*.wav"))
    clip = (0.2 * rng.standard_normal((RATE, 2))).astype(np.float32)
    mixed = clip.shape[0] * 2  # a mono 16-bit noise file: two bytes a frame
    # A first call loads the modules and libraries it reaches lazily (their reads count in
    # rchar too); made here, on a file of its own, it leaves the rows the noise alone.
    warm = scratch / "warm-up.wav"
    sf.write(warm, noise[:RATE], RATE, subtype="PCM_16")
    for mode in ("gain", "snr"):
        spec = {"type": "background_noise", "path": str(warm), "mode": mode}
        kavri.process(clip, RATE, [spec])
    rows = []
    for mode in ("gain", "snr"):
        for seed in range(5):
            spec = {"type": "background_noise", "path": str(folder), "mode": mode, "seed": seed}
            before = read_bytes()
            kavri.process(clip, RATE, [spec])
            rows.append((mode, seed, read_bytes() - before))
    lines = [
        f"A folder of 4 noise files of {minutes} minutes each (mono, 16-bit WAV at 48 kHz, "
        f"{total / 1e6:.1f} MB in all); each call mixes 1 s of stereo from a file and offset "
        f"drawn from its seed: {mixed:,} bytes of noise samples.",
        "",
        "| mode | seed | bytes read by the call | read / noise mixed | read / folder |",
        "|---|---:|---:|---:|---:|",
    ]
    for mode, seed, count in rows:
        lines.append(f"| {mode} | {seed} | {count:,} | {count / mixed:.2f} | {count / total:.5f} |")
    return lines


def codec_speed() -> list[str]:
    t = np.arange(RATE * SECONDS) / RATE
    audio = np.stack(
        [0.3 * np.sin(2 * np.pi * 220 * t), 0.2 * np.sin(2 * np.pi * 330 * t)], axis=1
    ).astype(np.float32)
    audio += (0.01 * np.random.default_rng(2).standard_normal(audio.shape)).astype(np.float32)
    cases: dict[str, Callable[[], object]] = {}
    for name in ("mp3", "vorbis", "opus", "gsm"):
        if codec_available(name):
            spec = {"type": "codec", "format": name, "quality": 0.5}
            cases[f"codec {name}"] = lambda spec=spec: kavri.process(audio, RATE, [spec])
    for kind in ("mu_law", "a_law", "bitcrush", "sample_hold"):
        cases[kind] = lambda kind=kind: kavri.process(audio, RATE, [{"type": kind}])
    times = timed_rounds(cases, 3)
    lines = [
        f"### {SECONDS} s of stereo at 48 kHz, one call",
        "",
        "| | best s | times real time |",
        "|---|---:|---:|",
    ]
    for name, spent in times.items():
        lines.append(f"| {name} | {min(spent):.3f} | {SECONDS / min(spent):.0f}x |")
    return lines


def main() -> None:
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    header = [
        "# Noise and degradation",
        "",
        f"Measured {stamp} on {platform.machine()} with 2 cores (shared with other work), "
        f"Python {platform.python_version()}, NumPy {np.__version__}, kavri "
        f"{kavri.__version__}, libsndfile {sf.__libsndfile_version__}. Command: "
        "`make bench-noise` (`bench/bench_noise.py`).",
        "",
        "Method: the cases of a table run in alternating rounds in one process after a "
        "warm-up (7 rounds for the noise, 3 for the codecs); best and median of the rounds. "
        "Kavri's figures are whole `kavri.process` calls, checks included. Bytes read are "
        "the process's `rchar` (every read() it made) around one call.",
        "",
        "## Noise speed",
        "",
        *noise_speed(),
        "",
        "## Background noise: bytes read",
        "",
    ]
    with tempfile.TemporaryDirectory(prefix="kavri-bench-noise-") as scratch:
        header += bytes_read(Path(scratch))
    header += ["", "## Codecs and round trips", "", *codec_speed(), ""]
    text = "\n".join(header)
    OUT.write_text(text, encoding="utf-8")
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
