"""Whole batches in one call: augment_batch and process_batch against their peers.

1. augment_batch over 200 one-second mono clips at 16 kHz with bench_augment's random chain
   (gain, high-pass, peaking EQ, tanh distortion, limiter, each with a probability), against
   a loop of kavri.augment over the same clips and audiomentations' Compose over each clip
   (audiomentations' limiter needs cylimiter, which has no build for this interpreter: where
   it is missing its chain runs without the limiter, less work for it). Drawing is timed on
   every side.
2. process_batch of 256 one-second mono clips at 16 kHz, each with its own chain of three
   biquad filters (a high-pass of one or two sections, a peaking EQ, a low-pass), against a
   loop of kavri.process: at the lane width chosen for this processor, and forced to 8 lanes
   (the AVX2 kernels), 4 lanes and no lanes.

Method: every peer of a table runs once per round, in turn, for --rounds rounds in this one
process, so that a change of clock or of load on the shared machine falls on all of them;
the figure of a peer is its best round, and a speed-up is the ratio of two peers' best
rounds, with the median of the per-round ratios beside it as a check. Times are the calling
thread's CPU time (one thread; the batch calls run on the calling thread with workers=1),
which other load sways less than wall time; wall times are shown too. The load average is
recorded.

    .venv/bin/python -m pip install -r bench/requirements.txt
    make bench-batch        # writes bench/results/batch.md
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import statistics
import time
from collections.abc import Callable
from importlib.metadata import version
from pathlib import Path

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import numpy as np  # noqa: E402
from bench_augment import CLIPS, KAVRI_CHAIN, RATE, SEED, audiomentations_chain, clips  # noqa: E402

import kavri  # noqa: E402
from kavri import _engine  # noqa: E402

RESULTS = Path(__file__).parent / "results"
FILTER_CLIPS = 256


def filter_chains(count: int) -> list[list[dict]]:
    """Each clip's own three filters, drawn from a fixed seed."""
    rng = np.random.default_rng(SEED)
    chains = []
    for _ in range(count):
        chains.append(
            [
                {
                    "type": "highpass",
                    "frequency_hz": float(rng.uniform(20, 400)),
                    "stages": int(rng.integers(1, 3)),
                },
                {
                    "type": "peak_eq",
                    "frequency_hz": float(rng.uniform(200, 4000)),
                    "gain_db": float(rng.uniform(-9, 9)),
                    "q": float(rng.uniform(0.5, 2)),
                },
                {"type": "lowpass", "frequency_hz": float(rng.uniform(2000, 7000))},
            ]
        )
    return chains


def rounds(peers: dict[str, Callable[[], object]], count: int) -> dict[str, list[float]]:
    """CPU and wall seconds of every peer in every round, the peers in turn."""
    cpu: dict[str, list[float]] = {name: [] for name in peers}
    wall: dict[str, list[float]] = {name: [] for name in peers}
    for fn in peers.values():
        fn()  # warm-up
    for _ in range(count):
        for name, fn in peers.items():
            start_wall, start_cpu = time.perf_counter(), time.thread_time()
            fn()
            cpu[name].append(time.thread_time() - start_cpu)
            wall[name].append(time.perf_counter() - start_wall)
    return {**{f"{n}": v for n, v in cpu.items()}, **{f"{n} wall": v for n, v in wall.items()}}


def speedup(times: dict[str, list[float]], slow: str, fast: str) -> tuple[float, float]:
    best = min(times[slow]) / min(times[fast])
    median = statistics.median(a / b for a, b in zip(times[slow], times[fast], strict=True))
    return best, median


def with_width(width: int, fn: Callable[[], object]) -> Callable[[], object]:
    def run() -> object:
        with _engine.lane_width(width):
            return fn()

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--out", default=str(RESULTS / "batch.md"))
    args = parser.parse_args()
    load_before = os.getloadavg()

    # 1. augmentation
    data = clips()
    stacked = np.stack(data)
    random_chain = kavri.RandomChain(KAVRI_CHAIN)
    compose, has_limiter = audiomentations_chain()

    def augment_loop() -> None:
        for i in range(CLIPS):
            kavri.augment(data[i], RATE, random_chain, seed=SEED, index=i)

    def augment_batch() -> None:
        kavri.augment_batch(stacked, RATE, random_chain, seed=SEED)

    def audiomentations() -> None:
        for i in range(CLIPS):
            compose(samples=data[i], sample_rate=RATE)

    peers = {
        "augment_batch": augment_batch,
        "augment_batch, 8 lanes": with_width(8, augment_batch),
        "loop of augment": augment_loop,
        "audiomentations": audiomentations,
    }
    augment_times = rounds(peers, args.rounds)
    print({k: round(min(v) / CLIPS * 1e6, 1) for k, v in augment_times.items()})

    # 2. filters
    filter_data = stacked[:FILTER_CLIPS] if FILTER_CLIPS <= CLIPS else np.stack(clips(FILTER_CLIPS))
    chains = filter_chains(len(filter_data))

    def process_loop() -> None:
        for clip, chain in zip(filter_data, chains, strict=True):
            kavri.process(clip, RATE, chain)

    def process_batch() -> None:
        kavri.process_batch(filter_data, RATE, chains)

    widths = [w for w in _engine.lane_widths() if w != _engine.lane_widths()[0]]
    filter_peers: dict[str, Callable[[], object]] = {
        f"process_batch, {_engine.lane_widths()[0]} lanes": process_batch
    }
    for width in widths:
        name = "process_batch, no lanes" if width == 1 else f"process_batch, {width} lanes"
        filter_peers[name] = with_width(width, process_batch)
    filter_peers["loop of process"] = process_loop
    filter_times = rounds(filter_peers, args.rounds)
    print({k: round(min(v) / len(filter_data) * 1e6, 1) for k, v in filter_times.items()})
    load_after = os.getloadavg()

    def table(times: dict[str, list[float]], names: list[str], per: int, base: str) -> list[str]:
        lines = [
            f"| peer | CPU µs per clip | wall µs per clip | speed-up over {base} (median round) |",
            "|---|---:|---:|---:|",
        ]
        for name in names:
            best, median = speedup(times, base, name)
            lines.append(
                f"| {name} | {min(times[name]) / per * 1e6:.1f} | "
                f"{min(times[name + ' wall']) / per * 1e6:.1f} | {best:.2f}x ({median:.2f}x) |"
            )
        return lines

    aug_names = list(peers)
    vs_loop = speedup(augment_times, "loop of augment", "augment_batch")
    vs_am = speedup(augment_times, "audiomentations", "augment_batch")
    vs_am_8 = speedup(augment_times, "audiomentations", "augment_batch, 8 lanes")
    vs_loop_8 = speedup(augment_times, "loop of augment", "augment_batch, 8 lanes")
    widest = f"process_batch, {_engine.lane_widths()[0]} lanes"
    f_widest = speedup(filter_times, "loop of process", widest)
    f_avx2 = (
        speedup(filter_times, "loop of process", "process_batch, 8 lanes")
        if "process_batch, 8 lanes" in filter_times
        else (float("nan"), float("nan"))
    )

    def met(value: float, target: float) -> str:
        return "met" if value >= target else "not met"

    limiter_note = (
        ""
        if has_limiter
        else " audiomentations' Limiter needs cylimiter, which has no build for CPython 3.12:"
        " its chain ran **without** the limiter, four effects against Kavri's five, which "
        "favours it."
    )
    lines = [
        "# Batches in one call",
        "",
        f"Measured {dt.datetime.now(dt.UTC):%Y-%m-%d %H:%M} UTC on {platform.machine()} with "
        f"{os.cpu_count()} cores shared with other work (load average "
        f"{', '.join(f'{x:.1f}' for x in load_before)} before, "
        f"{', '.join(f'{x:.1f}' for x in load_after)} after), Python "
        f"{platform.python_version()}, NumPy {np.__version__}, kavri {kavri.__version__}, "
        f"audiomentations {version('audiomentations')}. Lane widths here: "
        f"{', '.join(map(str, _engine.lane_widths()))} (1 = no lanes). Command: "
        "`make bench-batch` (`bench/bench_batch.py`).",
        "",
        "Method: the peers of a table run in turn, once per round, for "
        f"{args.rounds} rounds in one process; a peer's figure is its best round and a "
        "speed-up the ratio of best rounds (the median of the per-round ratios in "
        "brackets). CPU time of the calling thread; every batch call runs on it "
        "(workers=1).",
        "",
        f"## augment_batch: {CLIPS} one-second clips at {RATE // 1000} kHz",
        "",
        "bench_augment's random chain: gain (p 0.8), high-pass of one or two sections "
        "(p 0.5), peaking EQ (p 0.5), tanh distortion (p 0.5), limiter (p 0.5); every "
        f"clip its own draw, the draw timed on every side.{limiter_note}",
        "",
        *table(augment_times, aug_names, CLIPS, "audiomentations"),
        "",
        f"- against audiomentations: **{vs_am[0]:.1f}x** (median round {vs_am[1]:.1f}x; "
        f"8 lanes {vs_am_8[0]:.1f}x); target 12x: {met(vs_am[0], 12)}",
        f"- against a loop of `kavri.augment`: **{vs_loop[0]:.2f}x** (median round "
        f"{vs_loop[1]:.2f}x; 8 lanes {vs_loop_8[0]:.2f}x); target 2x: {met(vs_loop[0], 2)}",
        "",
        f"## process_batch: {len(filter_data)} one-second clips, three filters per clip",
        "",
        "Each clip its own high-pass (one or two sections), peaking EQ and low-pass, "
        "parameters drawn once from a fixed seed.",
        "",
        *table(filter_times, list(filter_peers), len(filter_data), "loop of process"),
        "",
        f"- {widest} (AVX-512) against the loop: **{f_widest[0]:.1f}x** (median round "
        f"{f_widest[1]:.1f}x); target 8x: {met(f_widest[0], 8)}",
        f"- 8 lanes (the AVX2 kernels, forced) against the loop: **{f_avx2[0]:.1f}x** "
        f"(median round {f_avx2[1]:.1f}x); target 4x: {met(f_avx2[0], 4)}",
        "",
    ]
    Path(args.out).write_text("\n".join(lines), encoding="utf-8")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
