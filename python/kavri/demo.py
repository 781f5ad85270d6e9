"""The demo: every preset over a generated stereo signal, with levels and timing."""

from __future__ import annotations

import os
import sys
import time
from itertools import zip_longest
from typing import TextIO

import numpy as np

from ._paths import make_folders, shown
from ._version import __version__
from .api import process
from .chain import chain_summary, list_presets, load_preset
from .io import write
from .steps import plan_chain

__all__ = ["demo_signal", "run_demo", "DEMO_FOLDER"]

DEMO_SAMPLE_RATE = 48_000
DEMO_SECONDS = 4.0
DEMO_FOLDER = "kavri-demo"
NOT_BUILT = "is not available in this build yet"


def demo_signal(sample_rate: int = DEMO_SAMPLE_RATE, seconds: float = DEMO_SECONDS) -> np.ndarray:
    """A stereo test signal: two chords of tones, a little noise and a few clicks."""
    rng = np.random.default_rng(7)
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    left = 0.35 * np.sin(2 * np.pi * 220.0 * t) + 0.2 * np.sin(2 * np.pi * 330.0 * t)
    right = 0.3 * np.sin(2 * np.pi * 277.2 * t) + 0.25 * np.sin(2 * np.pi * 440.0 * t)
    audio = np.stack([left, right], axis=1) + 0.02 * rng.standard_normal((t.size, 2))
    audio[:: sample_rate // 2] += 0.6
    return audio.astype(np.float32)


def _level_db(value: float) -> str:
    return f"{20 * np.log10(value):7.2f}" if value > 0 else "   -inf"


def _describe(audio: np.ndarray) -> list[tuple[str, str]]:
    peaks = np.max(np.abs(audio), axis=0)
    rms = np.sqrt(np.mean(np.square(audio, dtype=np.float64), axis=0))
    return [(_level_db(p), _level_db(r)) for p, r in zip(peaks, rms, strict=True)]


def _print_levels(before: np.ndarray, after: np.ndarray, out: TextIO) -> None:
    print(
        f"{'channel':>8} {'peak in':>9} {'rms in':>9} {'peak out':>9} {'rms out':>9}  (dBFS)",
        file=out,
    )
    # A chain with a mixdown or a channel map has another channel count out than in.
    blank = ("", "")
    for ch, (b, a) in enumerate(zip_longest(_describe(before), _describe(after))):
        b, a = b or blank, a or blank
        print(f"{ch:>8} {b[0]:>9} {b[1]:>9} {a[0]:>9} {a[1]:>9}", file=out)


def run_demo(
    out: TextIO | None = None, folder: str = DEMO_FOLDER, presets: list[str] | None = None
) -> int:
    """Runs presets over a generated signal, writes the input and every result as WAV files
    into ``folder`` and prints peak and RMS per channel before and after, with the time
    taken and the real-time factor. Presets whose effects this build lacks are skipped.
    Returns how many presets ran. ``out`` is standard output as it is at the call."""
    out = sys.stdout if out is None else out
    names = presets or list(list_presets())
    chains = {name: load_preset(name) for name in names}
    audio = demo_signal()
    make_folders(folder)
    source = os.path.join(folder, "input.wav")
    write(source, audio, DEMO_SAMPLE_RATE)
    seconds = audio.shape[0] / DEMO_SAMPLE_RATE
    print(
        f"kavri {__version__} demo: {audio.shape[0]} frames x {audio.shape[1]} channels "
        f"at {DEMO_SAMPLE_RATE} Hz; input written to {shown(source)}",
        file=out,
    )
    ran = 0
    for name, chain in chains.items():
        print(file=out)
        try:
            start = time.perf_counter()
            processed = process(audio, DEMO_SAMPLE_RATE, chain)
            elapsed = time.perf_counter() - start
        except RuntimeError as error:
            if NOT_BUILT not in str(error):
                raise
            print(f"preset {name}: skipped ({error})", file=out)
            continue
        target = os.path.join(folder, f"{name}.wav")
        # Written at the rate the chain ends with (a preset may resample).
        write(target, processed, plan_chain(chain, DEMO_SAMPLE_RATE, audio.shape[1]).out_rate)
        ran += 1
        print(f"preset {name}: {chain_summary(chain)}", file=out)
        print(f"written to {shown(target)}", file=out)
        _print_levels(audio, processed, out)
        realtime = seconds / elapsed if elapsed > 0 else float("inf")
        print(f"time: {elapsed * 1000:.2f} ms, real-time factor: {realtime:.0f}x", file=out)
    return ran
