"""The cost of an atomic write by the number of files beside its target.

Run with `.venv/bin/python bench/bench_atomic_write.py` (about a minute; `--out` writes the
table to bench/results/atomic_write.md). Two folders are made on the same disk, under the
temporary folder or `--dir`: one empty and one holding 100,000 empty files named like a
batch's outputs. Each round writes one short file (0.1 s of stereo float WAV, `kavri.write`)
into each folder and times it with `time.perf_counter`; the order of the two alternates
from round to round, so a change of clock or of load on the shared cores falls on both.
The first rounds warm the caches and are not counted. The figures are the median and the
best write time per folder, and the ratio of the medians (large / empty); an atomic write
should cost the same in both, within 1.2x.

A write removes the temporaries that killed writers left, so each round also leaves one
such temporary (an unlocked file in the hidden folder) in each folder before it writes;
the write has to find and remove it.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kavri

RESULTS = Path(__file__).parent / "results"
RATE = 48_000


def fill(folder: Path, count: int) -> None:
    folder.mkdir()
    for index in range(count):
        with open(folder / f"take_{index:06d}.wav", "wb"):
            pass


def leave_stale(folder: Path) -> None:
    """A temporary as a writer killed by SIGKILL leaves it: in the hidden folder, unlocked.
    Earlier versions kept temporaries beside the target; one is left there too, which the
    current version leaves alone and an earlier one finds by scanning the folder."""
    hidden = folder / ".kavri-tmp.d"
    hidden.mkdir(exist_ok=True)
    (hidden / ".out.wav.deadbeef.kavri-tmp").write_bytes(b"killed")
    (folder / ".out.wav.deadbeef.kavri-tmp").write_bytes(b"killed")


def run(base: Path, files: int, rounds: int, warmup: int) -> dict[str, list[float]]:
    folders = {"empty": base / "empty", "large": base / "large"}
    fill(folders["empty"], 0)
    fill(folders["large"], files)
    audio = (0.1 * np.random.default_rng(1).standard_normal((RATE // 10, 2))).astype(np.float32)
    times: dict[str, list[float]] = {name: [] for name in folders}
    for index in range(warmup + rounds):
        order = list(folders) if index % 2 == 0 else list(reversed(folders))
        for name in order:
            leave_stale(folders[name])
            start = time.perf_counter()
            kavri.write(folders[name] / "out.wav", audio, RATE)
            elapsed = time.perf_counter() - start
            if index >= warmup:
                times[name].append(elapsed)
    return times


def table(times: dict[str, list[float]], files: int) -> str:
    medians = {name: statistics.median(values) for name, values in times.items()}
    lines = [
        "| folder | files beside the target | median ms | best ms | writes |",
        "| --- | ---: | ---: | ---: | ---: |",
    ]
    for name, values in times.items():
        count = 0 if name == "empty" else files
        lines.append(
            f"| {name} | {count:,} | {medians[name] * 1000:.2f} | "
            f"{min(values) * 1000:.2f} | {len(values)} |"
        )
    lines.append("")
    lines.append(f"Ratio of the medians, large / empty: {medians['large'] / medians['empty']:.2f}")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--warmup", type=int, default=20)
    parser.add_argument("--dir", type=Path, default=None, help="where to make the folders")
    parser.add_argument("--out", type=Path, default=None, help="write the table here")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="kavri-bench-") as base:
        times = run(Path(base), args.files, args.rounds, args.warmup)
    result = table(times, args.files)
    print(result)
    if args.out is not None:
        stamp = dt.datetime.now().strftime("%Y-%m-%d %H:%M")
        header = (
            f"Kavri {kavri.__version__}, Python {platform.python_version()}, "
            f"{platform.system()} {platform.release()}, {os.cpu_count()} cores, "
            f"{stamp}; `{' '.join([Path(sys.argv[0]).name, *sys.argv[1:]])}`\n\n"
        )
        args.out.write_text(header + result + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
