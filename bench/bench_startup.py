"""Start-up of the ``kavri`` command: writes bench/results/startup.md.

Method: each command runs as a child process (``kavri`` from this environment, its output
discarded), 20 times each, the commands alternating round by round so that a change of load
falls on all of them. The wall time of a run is from the spawn to the exit, the interpreter's
own start-up included; a bare ``python -c pass`` is timed in the same rounds as the floor.
Peak resident memory is the child's own (``ru_maxrss`` from ``wait4``). Best and median.
The two ``kavri process`` rows run a gain over a one-second stereo WAV, with the report of
the output's peak and loudness that the command prints by default and with ``--quiet``.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROUNDS = 20
TARGET_S = 0.2
KAVRI = str(Path(sys.executable).with_name("kavri"))
COMMANDS = {
    "python -c pass (the floor)": [sys.executable, "-c", "pass"],
    "kavri --version": [KAVRI, "--version"],
    "kavri --help": [KAVRI, "--help"],
    "kavri effects": [KAVRI, "effects"],
    "kavri effects compressor": [KAVRI, "effects", "compressor"],
    "kavri formats": [KAVRI, "formats"],
    "python -c 'import kavri; kavri.process'": [
        sys.executable,
        "-c",
        "import kavri; kavri.process",
    ],
}
TARGETS = ("kavri --version", "kavri effects")


# Writes the clip, in a child: NumPy loaded here would swell every later child's peak RSS
# (a child shares its parent's pages until it execs, and wait4 counts them).
WRITE_CLIP = """
import sys, numpy as np, soundfile as sf
rng = np.random.default_rng(0)
sf.write(sys.argv[1], (0.1 * rng.standard_normal((48_000, 2))).astype(np.float32), 48_000)
"""


def process_commands(folder: Path) -> dict[str, list[str]]:
    """``kavri process`` of a one-second stereo WAV written into ``folder``."""
    clip = folder / "clip.wav"
    subprocess.run([sys.executable, "-c", WRITE_CLIP, str(clip)], check=True)
    process = [KAVRI, "process", str(clip), str(folder / "out.wav"), "--effect", "gain:db=-3"]
    return {
        "kavri process of 1 s, with its report": [*process, "--overwrite"],
        "kavri process of 1 s, --quiet": [*process, "--overwrite", "--quiet"],
    }


def run_once(argv: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{argv} exited with {child.returncode}")
    return elapsed, usage.ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "startup.md"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kavri-startup-") as folder:
        commands = {**COMMANDS, **process_commands(Path(folder))}
        times, memory = timed(commands)
    lines = report(commands, times, memory)
    text = "\n".join(lines) + "\n"
    Path(args.out).write_text(text)
    print(text)


def timed(commands: dict[str, list[str]]) -> tuple[dict[str, list[float]], dict[str, float]]:
    """Every command's wall times over the rounds, and its peak resident MiB."""
    times: dict[str, list[float]] = {name: [] for name in commands}
    memory: dict[str, float] = {}
    for argv in commands.values():
        run_once(argv)  # warm the page cache
    for _ in range(ROUNDS):
        for name, argv in commands.items():
            elapsed, peak = run_once(argv)
            times[name].append(elapsed)
            memory[name] = max(memory.get(name, 0.0), peak)
    return times, memory


def report(
    commands: dict[str, list[str]], times: dict[str, list[float]], memory: dict[str, float]
) -> list[str]:
    lines = [
        "# Start-up of the kavri command",
        "",
        f"Run {datetime.date.today()} on {platform.machine()}, Python {platform.python_version()};"
        " `make bench-startup` (bench/bench_startup.py).",
        "",
        "## Method",
        "",
        *__doc__.split("\n\n", 1)[1].strip().splitlines(),
        "",
        "## Targets",
        "",
        "| target | measured (best / median) | met |",
        "|---|---|---|",
    ]
    for name in TARGETS:
        best, median = min(times[name]), statistics.median(times[name])
        met = "yes" if median < TARGET_S else "no"
        lines.append(f"| {name} under {TARGET_S} s | {best:.3f} s / {median:.3f} s | {met} |")
    lines += [
        "",
        "## All commands",
        "",
        "| command | best (s) | median (s) | peak RSS (MiB) |",
        "|---|---|---|---|",
    ]
    for name in commands:
        best, median = min(times[name]), statistics.median(times[name])
        lines.append(f"| {name} | {best:.3f} | {median:.3f} | {memory[name]:.0f} |")
    return lines


if __name__ == "__main__":
    main()
