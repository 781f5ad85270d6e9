"""Worker threads: whether workers=2 pays, with the engine's rule for how many workers a
buffer can use.

Run with `.venv/bin/python bench/bench_workers.py` (a few minutes on two cores). It writes
bench/results/workers.md. `--calibrate` adds the break-even table behind the rule.

Method
------
- Each comparison runs its two sides in alternating rounds in one process (workers=1, then
  workers=2, then workers=1 again, ...; at least seven rounds), so that a change of clock or
  of load on the other core falls on both sides. The figure is the ratio of the median times,
  workers=1 time / workers=2 time: above 1.0 two workers are faster. The ratio of the best
  times is printed beside it as a check.
- Inputs are 20 s at 48 kHz of noise in bursts (fixed seed), in stereo, 8 and 32 channels.
- Chains: the "mastering" preset (a filter cascade, the dynamic EQ, shelves, a compressor and
  a limiter: work on every sample) and a single gain (the least work per sample, where a
  thread's start and the split of the channels weigh most).
- process_pipeline is timed three ways: workers=1; workers=2 passed as it is (what a caller
  got before the rule, since process_pipeline always runs min(channels, workers) threads);
  and workers=useful_workers(channels, frames, 2), the rule the Python front end applies
  before its calls. Outputs are compared bit for bit.
- Two native Streams, workers=1 and workers=2, are fed the same 20 s in 256-frame blocks
  (5.3 ms each) in turn, block by block, the first of each pair alternating; the median time
  per block and the total over the signal (median of the rounds) are reported. The stream
  keeps its worker threads between chunks and applies the same rule per effect call.
- The break-even table (--calibrate) times raw workers=2 against workers=1 through
  process_pipeline on buffers of 2^15 to 2^25 samples for 4, 8, 16 and 32 channels and both
  chains. useful_workers gives a second worker only from the size where both chains gain,
  for the row width in question (see src/engine/worker_pool.cpp).
- `--before` runs the same measures on a build from before the rule and the stream's worker
  pool (put on PYTHONPATH), where workers=2 is passed as given, and writes
  bench/results/workers-before.md.
- The machine is shared with other work (two cores, other developers' builds and tests), so
  the other core is often busy: a second thread then waits for it, which is part of what the
  rule has to account for.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

from kavri import load_chain
from kavri._kavri_core import process_pipeline
from kavri._kavri_stream import Stream

try:
    from kavri._kavri_stream import useful_workers
except ImportError:  # a build from before the rule (--before): workers as given

    def useful_workers(channels: int, frames: int, workers: int) -> int:
        return workers


RATE = 48_000
SECONDS = 20
BLOCK = 256
RESULTS = Path(__file__).parent / "results"
CHAINS = {"mastering": list(load_chain("mastering")), "gain": [{"type": "gain", "db": -1.5}]}


def cpu_name() -> str:
    try:
        for line in open("/proc/cpuinfo"):
            if line.lower().startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def signal(frames: int, channels: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    level = np.repeat(rng.choice([0.01, 0.1, 0.5, 1.2], size=frames // 4800 + 1), 4800)[:frames]
    return (rng.standard_normal((frames, channels)) * 0.3 * level[:, None]).astype(np.float32)


def alternate(sides: list, rounds: int) -> list[list[float]]:
    """Times each callable in turn, round after round, for `rounds` rounds. A call shorter
    than 20 ms is repeated within its turn (the same count on every side) and the turn's time
    divided by the count, so that short calls are not timed at the clock's grain."""
    start = time.perf_counter()
    sides[0]()
    repeat = max(1, int(0.02 / max(time.perf_counter() - start, 1e-6)))
    times: list[list[float]] = [[] for _ in sides]
    for _ in range(rounds):
        for k, side in enumerate(sides):
            start = time.perf_counter()
            for _ in range(repeat):
                side()
            times[k].append((time.perf_counter() - start) / repeat)
    return times


def ratio(one: list[float], two: list[float]) -> tuple[float, float]:
    return statistics.median(one) / statistics.median(two), min(one) / min(two)


def pipeline_rows(rounds: int) -> list[str]:
    rows = []
    frames = SECONDS * RATE
    for name, chain in CHAINS.items():
        for channels in (2, 8, 32):
            audio = signal(frames, channels)
            rule = useful_workers(channels, frames, 2)
            outs = [process_pipeline(audio, RATE, chain, 2048, w) for w in (1, 2, rule)]
            assert all(np.array_equal(outs[0], o, equal_nan=True) for o in outs[1:])
            t1, t2, tr = alternate(
                [lambda w=w: process_pipeline(audio, RATE, chain, 2048, w) for w in (1, 2, rule)],
                rounds,
            )
            raw, raw_best = ratio(t1, t2)
            ruled, ruled_best = ratio(t1, tr)
            rows.append(
                f"| {name} | {channels} | {statistics.median(t1) * 1e3:.1f} ms | "
                f"{raw:.2f}x ({raw_best:.2f}x) | {rule} | {ruled:.2f}x ({ruled_best:.2f}x) |"
            )
            print(rows[-1], flush=True)
    return rows


def stream_rows(rounds: int) -> list[str]:
    rows = []
    frames = SECONDS * RATE
    for name, chain in CHAINS.items():
        for channels in (2, 8, 32):
            audio = signal(frames, channels)
            blocks = [audio[i : i + BLOCK] for i in range(0, frames, BLOCK)]
            per_block: dict[int, list[float]] = {1: [], 2: []}
            totals: dict[int, list[float]] = {1: [], 2: []}
            for _ in range(rounds):
                # Two streams take the same blocks in turn, the first of each pair alternating,
                # so that a change of load falls on both within microseconds.
                streams = {w: Stream(chain, RATE, channels, 2048, w) for w in (1, 2)}
                outs: dict[int, list[np.ndarray]] = {1: [], 2: []}
                spent = {1: 0.0, 2: 0.0}
                for k, block in enumerate(blocks):
                    for w in (1, 2) if k % 2 == 0 else (2, 1):
                        start = time.perf_counter()
                        outs[w].append(streams[w].process(block))
                        took = time.perf_counter() - start
                        per_block[w].append(took)
                        spent[w] += took
                for w in (1, 2):
                    outs[w].append(streams[w].flush())
                    totals[w].append(spent[w])
                assert np.array_equal(
                    np.concatenate(outs[1]), np.concatenate(outs[2]), equal_nan=True
                )
            m1, m2 = statistics.median(per_block[1]), statistics.median(per_block[2])
            total, total_best = ratio(totals[1], totals[2])
            rows.append(
                f"| {name} | {channels} | {m1 * 1e6:.1f} us | {m2 * 1e6:.1f} us | {m1 / m2:.2f}x | "
                f"{statistics.median(totals[1]) * 1e3:.0f} ms | {total:.2f}x ({total_best:.2f}x) |"
            )
            print(rows[-1], flush=True)
    return rows


def calibration_rows(rounds: int) -> list[str]:
    rows = []
    for name, chain in CHAINS.items():
        for channels in (4, 8, 16, 32):
            cells = []
            for exponent in range(15, 26, 2):
                frames = (1 << exponent) // channels
                audio = signal(frames, channels)
                t1, t2 = alternate(
                    [
                        lambda: process_pipeline(audio, RATE, chain, 2048, 1),
                        lambda: process_pipeline(audio, RATE, chain, 2048, 2),
                    ],
                    rounds,
                )
                cells.append(f"{ratio(t1, t2)[0]:.2f}")
            rows.append(f"| {name} | {channels} | " + " | ".join(cells) + " |")
            print(rows[-1], flush=True)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calibrate", action="store_true")
    parser.add_argument("--before", action="store_true")
    args = parser.parse_args()
    rounds = max(7, args.rounds)
    lines = [
        "# Worker threads"
        + (" before the rule and the stream's worker pool" if args.before else ""),
        "",
        f"`bench/bench_workers.py`, {dt.date.today()}, {cpu_name()}, {platform.machine()}, "
        f"Python {sys.version.split()[0]}, {rounds} alternating rounds (method in the script's "
        "docstring). Ratios are workers=1 time / workers=2 time (median; best in brackets): "
        "above 1.0 two workers are faster.",
        "",
        f"## process_pipeline, {SECONDS} s at {RATE} Hz",
        "",
        "| chain | channels | workers=1 | workers=2 as given | rule gives | workers=2 through the "
        "rule |",
        "|---|---|---|---|---|---|",
    ]
    load_before = os.getloadavg()[0]
    lines += pipeline_rows(rounds)
    lines += [
        "",
        f"## Stream fed {BLOCK}-frame blocks, {SECONDS} s at {RATE} Hz",
        "",
        "| chain | channels | per block, workers=1 | per block, workers=2 | ratio | whole signal, "
        "workers=1 | ratio |",
        "|---|---|---|---|---|---|---|",
    ]
    lines += stream_rows(max(3, rounds // 3))
    if args.calibrate:
        lines += [
            "",
            "## Break-even: raw workers=2 through process_pipeline, by buffer size in samples",
            "",
            "| chain | channels | 2^15 | 2^17 | 2^19 | 2^21 | 2^23 | 2^25 |",
            "|---|---|---|---|---|---|---|---|",
        ]
        lines += calibration_rows(rounds)
    lines += [
        "",
        f"Load average (1 min) of the machine, shared with other work: {load_before:.2f} when the "
        f"run began, {os.getloadavg()[0]:.2f} when it ended (2 cores). With the other core busy, a "
        "second worker first waits for it: the same buffer gives 1.0x to 1.8x between runs.",
        "",
        "Where the rule gives 1, both sides run the same code: their ratio shows the noise of the "
        "measure (calls of a fraction of a millisecond, such as the gain in stereo, move by ten "
        "per cent). The gain chain alone is bound by memory speed: a second worker gains it "
        "nothing at any size here, and from 2^23 samples, where the rule starts giving one, it "
        "costs it a few milliseconds at most, while chains with work on every sample save a "
        "third or more.",
    ]
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / ("workers-before.md" if args.before else "workers.md")).write_text(
        "\n".join(lines) + "\n"
    )


if __name__ == "__main__":
    main()
