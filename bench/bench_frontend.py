"""The front end's cost per call: ``kavri.process`` against ``process_pipeline`` itself.

Run with ``.venv/bin/python bench/bench_frontend.py [--out bench/results/frontend.md]``.

Method: one process; a one-second mono clip at 16 kHz (float32) and a short chain (a gain and
a high-pass filter). ``kavri.process`` takes the 1-D clip and the chain as a user gives them
(it checks the chain, the rate and the options, converts and reshapes); ``process_pipeline``
takes the (frames, 1) view and the same specs. The two are timed in alternating rounds, each
round a batch of calls timed together (so the clock's resolution does not matter), after a
warm-up; the overhead is the median of the per-round differences, with the spread of the
rounds beside it. An empty chain shows the overhead without the engine's work. The machine's
load is recorded, since the rounds share its two cores with whatever else runs.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from collections.abc import Callable

import numpy as np

import kavri
from kavri import process_pipeline

RATE = 16_000
CHAINS = {
    "gain + high-pass": [{"type": "gain", "db": -3.0}, {"type": "highpass", "frequency_hz": 80.0}],
    "empty chain": [],
}
CALLS_PER_ROUND = 500
ROUNDS = 41


def per_call(function: Callable[[], object]) -> float:
    start = time.perf_counter()
    for _ in range(CALLS_PER_ROUND):
        function()
    return (time.perf_counter() - start) / CALLS_PER_ROUND


def measure(chain: list[dict[str, float | str]]) -> dict[str, float]:
    clip = np.random.default_rng(0).standard_normal(RATE).astype(np.float32) * 0.1
    frames = clip[:, np.newaxis]

    def native() -> object:
        return process_pipeline(frames, RATE, chain)

    def front() -> object:
        return kavri.process(clip, RATE, chain)

    assert np.array_equal(front(), native()[:, 0])
    for _ in range(3):
        per_call(native), per_call(front)
    natives, fronts = [], []
    for _ in range(ROUNDS):
        natives.append(per_call(native))
        fronts.append(per_call(front))
    differences = sorted(f - n for f, n in zip(fronts, natives, strict=True))
    return {
        "native_us": statistics.median(natives) * 1e6,
        "front_us": statistics.median(fronts) * 1e6,
        "overhead_us": statistics.median(differences) * 1e6,
        "overhead_q1_us": differences[len(differences) // 4] * 1e6,
        "overhead_q3_us": differences[3 * len(differences) // 4] * 1e6,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="write the results as Markdown to this file")
    args = parser.parse_args()
    load = os.getloadavg()[0]
    lines = [
        "# The front end's cost per call",
        "",
        f"`bench/bench_frontend.py` (method in its docstring). Kavri {kavri.__version__}, "
        f"Python {platform.python_version()}, {os.cpu_count()} cores, load average "
        f"{load:.2f} at the start.",
        "",
        "| chain | process_pipeline µs | kavri.process µs | overhead µs (median) | "
        "overhead µs (quartiles) |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, chain in CHAINS.items():
        r = measure(chain)
        lines.append(
            f"| {name} | {r['native_us']:.2f} | {r['front_us']:.2f} | {r['overhead_us']:.2f} | "
            f"{r['overhead_q1_us']:.2f} … {r['overhead_q3_us']:.2f} |"
        )
    lines += ["", "Target: an overhead of at most 5 µs per call."]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as handle:
            handle.write(text)


if __name__ == "__main__":
    main()
