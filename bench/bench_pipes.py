"""Time to first byte and spool size of `kavri process - -` over a long WAV.

    python bench/bench_pipes.py [--minutes 60] [--pythonpath DIR] [--out FILE]

Writes a float WAV of stereo noise at 48 kHz (1.4 GB for an hour) into a temporary folder,
then pipes it through ``cat FILE | python -m kavri process - - --effect gain:db=-3 --quiet``
into a reader that notes when the first byte arrives, and when the last. Meanwhile the
kavri process's open files are looked at every 20 ms: a spool is a deleted file it holds
open, and its largest size is reported. ``--pythonpath`` runs another copy of the package
(the one before a change, say); the same run with and without it gives before and after.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import soundfile as sf

RATE = 48_000


def make_input(path: str, minutes: float) -> None:
    rng = np.random.default_rng(1)
    piece = (0.1 * rng.standard_normal((RATE * 10, 2))).astype(np.float32)
    with sf.SoundFile(path, "w", RATE, 2, "FLOAT") as out:
        for _ in range(round(minutes * 6)):
            out.write(piece)


def largest_spool(pid: int, stop: threading.Event, found: list[int]) -> None:
    while not stop.is_set():
        try:
            for name in os.listdir(f"/proc/{pid}/fd"):
                link = f"/proc/{pid}/fd/{name}"
                try:
                    if os.readlink(link).endswith("(deleted)"):
                        found[0] = max(found[0], os.stat(link).st_size)
                except OSError:
                    continue
        except OSError:
            pass
        time.sleep(0.02)


def measure(path: str, pythonpath: str | None, extra: list[str]) -> dict[str, float]:
    environment = dict(os.environ)
    if pythonpath:
        environment["PYTHONPATH"] = pythonpath
    start = time.perf_counter()
    with open(path, "rb") as source:
        child = subprocess.Popen(
            [sys.executable, "-m", "kavri", "process", "-", "-", "--effect", "gain:db=-3"]
            + ["--quiet", *extra],
            stdin=source,
            stdout=subprocess.PIPE,
            env=environment,
        )
    assert child.stdout is not None
    stop, spool = threading.Event(), [0]
    watcher = threading.Thread(target=largest_spool, args=(child.pid, stop, spool))
    watcher.start()
    first = None
    total = 0
    while True:
        data = child.stdout.read1(1 << 20)
        if not data:
            break
        if first is None:
            first = time.perf_counter() - start
        total += len(data)
    child.wait()
    stop.set()
    watcher.join()
    return {
        "first_byte_s": first or float("nan"),
        "total_s": time.perf_counter() - start,
        "bytes_out": total,
        "spool_bytes": spool[0],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--pythonpath", help="run the package found here instead")
    parser.add_argument("--loudness", help="a loudness target, which needs a second pass")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "long.wav")
        make_input(path, args.minutes)
        extra = [] if args.loudness is None else ["--loudness", args.loudness]
        result = measure(path, args.pythonpath, extra)
    target = "" if args.loudness is None else f", --loudness {args.loudness}"
    print(
        f"{args.minutes:g} min{target}: first byte after {result['first_byte_s']:.2f} s, "
        f"all {result['bytes_out'] / 2**20:.0f} MiB after {result['total_s']:.1f} s, "
        f"largest spool {result['spool_bytes'] / 2**20:.0f} MiB"
    )


if __name__ == "__main__":
    main()
