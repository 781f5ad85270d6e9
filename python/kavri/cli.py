"""The ``kavri`` command line."""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from kavri import __version__, process_pipeline

DEMO_SAMPLE_RATE = 48_000
DEMO_SECONDS = 4.0
DEMO_CHAIN = [
    {"type": "gain", "db": 4.0},
    {"type": "distortion", "drive": 1.6},
    {"type": "clip", "threshold": 0.9},
    {"type": "gain", "db": -2.0},
]


def demo_signal(sample_rate: int = DEMO_SAMPLE_RATE, seconds: float = DEMO_SECONDS) -> np.ndarray:
    """A stereo test signal: two chords of tones, a little noise and a few clicks."""
    rng = np.random.default_rng(7)
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    left = 0.35 * np.sin(2 * np.pi * 220.0 * t) + 0.2 * np.sin(2 * np.pi * 330.0 * t)
    right = 0.3 * np.sin(2 * np.pi * 277.2 * t) + 0.25 * np.sin(2 * np.pi * 440.0 * t)
    audio = np.stack([left, right], axis=1) + 0.02 * rng.standard_normal((t.size, 2))
    audio[:: sample_rate // 2] += 0.6
    return audio.astype(np.float32)


def _level_db(values: np.ndarray) -> str:
    with np.errstate(divide="ignore"):
        return f"{20 * np.log10(values):7.2f}" if values > 0 else "   -inf"


def _describe(audio: np.ndarray) -> list[tuple[str, str]]:
    peaks = np.max(np.abs(audio), axis=0)
    rms = np.sqrt(np.mean(np.square(audio, dtype=np.float64), axis=0))
    return [(_level_db(p), _level_db(r)) for p, r in zip(peaks, rms)]


def run_demo(out=sys.stdout) -> int:
    audio = demo_signal()
    start = time.perf_counter()
    processed = process_pipeline(audio, DEMO_SAMPLE_RATE, DEMO_CHAIN)
    elapsed = time.perf_counter() - start
    chain = " -> ".join(spec["type"] for spec in DEMO_CHAIN)
    print(f"kavri {__version__} demo: {audio.shape[0]} frames x {audio.shape[1]} channels "
          f"at {DEMO_SAMPLE_RATE} Hz", file=out)
    print(f"chain: {chain}", file=out)
    print(f"{'channel':>8} {'peak in':>9} {'rms in':>9} {'peak out':>9} {'rms out':>9}  (dBFS)", file=out)
    for ch, (before, after) in enumerate(zip(_describe(audio), _describe(processed))):
        print(f"{ch:>8} {before[0]:>9} {before[1]:>9} {after[0]:>9} {after[1]:>9}", file=out)
    realtime = (audio.shape[0] / DEMO_SAMPLE_RATE) / elapsed if elapsed > 0 else float("inf")
    print(f"time: {elapsed * 1000:.2f} ms, real-time factor: {realtime:.0f}x", file=out)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kavri", description="Kavri audio-effects engine.")
    parser.add_argument("--version", action="version", version=f"kavri {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="process a generated test signal and print levels")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return run_demo()
    parser.error(f"unknown command {args.command}")
    return 2
