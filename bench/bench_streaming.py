"""Streaming files: peak memory by file length, streamed against whole-buffer speed, and the
time from a stop signal to the end of the process.

Run with `make bench-streaming` (or `.venv/bin/python bench/bench_streaming.py`). Inputs are
generated in a temporary folder (about 1.5 GB for the hour-long file, removed as it goes)
and the table is written to bench/results/streaming.md. Takes a few minutes on two cores.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import soundfile as sf

import kavri

RATE = 48_000
RESULTS = Path(__file__).parent / "results"
# A chain with every kind of state: envelopes, a delay line, a biquad and the dynamic EQ
# (whose held-back blocks are the one place a stream keeps frames).
CHAIN = [
    {"type": "compressor", "threshold_db": -20, "ratio": 3},
    {"type": "delay", "delay_ms": 250, "feedback": 0.4, "mix": 0.25},
    {"type": "lowpass", "frequency_hz": 12_000},
    {"type": "dynamic_eq", "threshold_db": -30},
]


def cpu_name() -> str:
    try:
        for line in open("/proc/cpuinfo"):
            if line.lower().startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def write_music(path: Path, minutes: float) -> int:
    """Stereo tones, noise and hits at 48 kHz, float WAV, written ten seconds at a time."""
    rng = np.random.default_rng(2024)
    piece = 10 * RATE
    t = np.arange(piece)[:, None] / RATE
    tones = 0.2 * np.sin(2 * np.pi * np.array([220.0, 221.5]) * t)
    frames = int(minutes * 60 * RATE)
    with sf.SoundFile(path, "w", RATE, 2, "FLOAT", format="WAV") as handle:
        for start in range(0, frames, piece):
            n = min(piece, frames - start)
            hits = (rng.random((n // 2400 + 1, 1)) < 0.1).repeat(2400, axis=0)[:n]
            noise = rng.standard_normal((n, 2)) * (0.02 + 0.4 * hits)
            handle.write((tones[:n] + noise).astype(np.float32))
    return frames


def kavri_command(*args: str) -> list[str]:
    return [sys.executable, "-m", "kavri", *args]


def peak_of_child(command: list[str]) -> tuple[int, float, int]:
    """Runs a command as the only child of a fresh interpreter and returns its peak resident
    memory (KiB, from RUSAGE_CHILDREN), its wall time and its exit status."""
    script = textwrap.dedent(f"""
        import resource, subprocess, time
        start = time.perf_counter()
        status = subprocess.run({command!r}, stdout=subprocess.DEVNULL).returncode
        elapsed = time.perf_counter() - start
        print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, elapsed, status)
    """)
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    ).stdout.split()
    return int(out[0]), float(out[1]), int(out[2])


def bench_memory(folder: Path, chain_file: Path, lengths: list[float]) -> list[dict]:
    rows = []
    for minutes in lengths:
        source, output = folder / f"{minutes:g}min.wav", folder / "out.wav"
        frames = write_music(source, minutes)
        peak, elapsed, status = peak_of_child(
            kavri_command(
                "process", str(source), str(output), "--chain", str(chain_file), "--quiet"
            )
        )
        assert status == 0, f"kavri process failed on {source}"
        assert sf.info(str(output)).frames == frames
        rows.append(
            {
                "minutes": minutes,
                "frames": frames,
                "peak_mb": peak / 1024,
                "seconds": elapsed,
                "realtime": minutes * 60 / elapsed,
            }
        )
        print(f"memory: {minutes:g} min: {peak / 1024:.1f} MB peak, {elapsed:.2f} s", flush=True)
        source.unlink()
        output.unlink()
    return rows


def best_of_pair(first, second, repeat: int) -> tuple[float, float]:
    """Best times of two functions run in turns (first, second, second, first, ...), so that
    load from other work on a shared machine falls on both alike."""
    times: tuple[list[float], list[float]] = ([], [])
    for round_ in range(repeat):
        order = (0, 1) if round_ % 2 == 0 else (1, 0)
        for which in order:
            start = time.perf_counter()
            (first, second)[which]()
            times[which].append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


def bench_speed(folder: Path, minutes: float, repeat: int) -> dict:
    source, output = folder / "speed.wav", folder / "speed-out.wav"
    write_music(source, minutes)

    def whole_file() -> None:
        audio, rate = kavri.read(source)
        kavri.write(output, kavri.process(audio, rate, CHAIN), rate)

    def streamed_file() -> None:
        kavri.process_file(source, output, CHAIN)

    whole_file()  # warm the page cache for both
    result: dict = {"minutes": minutes, "repeat": repeat}
    result["file_whole"], result["file_streamed"] = best_of_pair(whole_file, streamed_file, repeat)
    audio, rate = kavri.read(source)
    chunk = kavri.files.chunk_frames(rate, 2048)

    def engine_whole() -> None:
        kavri.process(audio, rate, CHAIN)

    def engine_streamed() -> None:
        stream = kavri.Stream(CHAIN, rate, 2)
        for start in range(0, len(audio), chunk):
            stream.process(audio[start : start + chunk])
        stream.flush()

    result["engine_whole"], result["engine_streamed"] = best_of_pair(
        engine_whole, engine_streamed, repeat
    )
    source.unlink()
    output.unlink()
    print(f"speed: {json.dumps(result)}", flush=True)
    return result


def wait_for_temporary(folder: Path, child: subprocess.Popen, count: int = 1) -> bool:
    while len(list(folder.rglob("*.kavri-tmp"))) < count:
        if child.poll() is not None:
            return False
        time.sleep(0.005)
    return True


def bench_stop(folder: Path, minutes: float, repeat: int) -> list[dict]:
    """Time from the signal to the process's exit, sent a moment into a long run."""
    source = folder / "in" / "long.wav"
    source.parent.mkdir()
    write_music(source, minutes)
    write_music(folder / "in" / "long2.wav", minutes)
    rows = []
    for command, label, count in [
        (["process", str(source), str(folder / "out.wav")], "process", 1),
        (["batch", str(folder / "in"), str(folder / "out"), "--jobs", "2"], "batch, 2 jobs", 2),
    ]:
        for signum in (signal.SIGINT, signal.SIGTERM):
            delays = []
            for _ in range(repeat):
                child = subprocess.Popen(
                    kavri_command(*command, "--chain", str(folder / "chain.json"), "--quiet"),
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.PIPE,
                    text=True,
                )
                started = wait_for_temporary(folder, child, count)
                if started:
                    time.sleep(0.5)
                    sent = time.perf_counter()
                    child.send_signal(signum)
                child.communicate()
                if started and child.returncode != 0:  # not finished before the signal
                    delays.append(time.perf_counter() - sent)
                    assert child.returncode == 128 + signum, child.returncode
                    assert not list(folder.rglob("*.kavri-tmp"))
                    assert not (folder / "out.wav").exists()
                shutil.rmtree(folder / "out", ignore_errors=True)
                (folder / "out.wav").unlink(missing_ok=True)
            rows.append(
                {
                    "command": label,
                    "signal": signal.Signals(signum).name,
                    "runs": len(delays),
                    "median_ms": statistics.median(delays) * 1000 if delays else 0.0,
                    "max_ms": max(delays) * 1000 if delays else 0.0,
                }
            )
            print(f"stop: {rows[-1]}", flush=True)
    for path in (folder / "in").iterdir():
        path.unlink()
    return rows


def markdown(report: dict) -> str:
    lines = [
        "# Streaming files",
        "",
        f"- date: {report['date']}",
        f"- machine: {report['machine']}",
        f"- cpu: {report['cpu']}; load average {report['load']:.1f} when the run began "
        "(the machine is shared: absolute times vary, the ratios less)",
        f"- versions: kavri {report['kavri']}, numpy {np.__version__}, "
        f"python {platform.python_version()}, libsndfile {sf.__libsndfile_version__}",
        f"- chain: {' -> '.join(spec['type'] for spec in CHAIN)}; stereo float WAV at {RATE} Hz",
        "",
        "## Peak resident memory of `kavri process`",
        "",
        "| input | frames | peak RSS (MB) | wall time (s) | real time x |",
        "|---|---:|---:|---:|---:|",
    ]
    for row in report["memory"]:
        lines.append(
            f"| {row['minutes']:g} min | {row['frames']} | {row['peak_mb']:.1f} | "
            f"{row['seconds']:.2f} | {row['realtime']:.0f} |"
        )
    peaks = [row["peak_mb"] for row in report["memory"]]
    speed = report["speed"]
    lines += [
        "",
        f"Spread of the peaks: {max(peaks) - min(peaks):.1f} MB (target: within 40 MB, every "
        f"peak under 250 MB).",
        "",
        f"## Streamed against one whole-buffer call ({speed['minutes']:g} min, best of "
        f"{speed['repeat']})",
        "",
        "| path | whole buffer (s) | streamed (s) | streamed speed / whole |",
        "|---|---:|---:|---:|",
        f"| file to file (read, process, write) | {speed['file_whole']:.2f} | "
        f"{speed['file_streamed']:.2f} | {speed['file_whole'] / speed['file_streamed']:.2f} |",
        f"| engine only, audio in memory | {speed['engine_whole']:.2f} | "
        f"{speed['engine_streamed']:.2f} | {speed['engine_whole'] / speed['engine_streamed']:.2f} "
        "|",
        "",
        "Streamed speed / whole at 1 or more means streaming is as fast or faster (target: "
        "0.95 or more).",
        "",
        f"## Time from the signal to exit ({report['stop_minutes']:g}-minute inputs, signal sent "
        "0.5 s into the run)",
        "",
        "| command | signal | runs | median (ms) | max (ms) |",
        "|---|---|---:|---:|---:|",
    ]
    for row in report["stop"]:
        lines.append(
            f"| {row['command']} | {row['signal']} | {row['runs']} | "
            f"{row['median_ms']:.0f} | {row['max_ms']:.0f} |"
        )
    lines += [
        "",
        "Every stopped run exited 130 (SIGINT) or 143 (SIGTERM) and left neither an "
        "output nor a temporary file (runs that finished before the signal are not "
        "counted).",
        "",
    ]
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--lengths",
        type=float,
        nargs="+",
        default=[2, 20, 60],
        metavar="MINUTES",
        help="input lengths for the memory table",
    )
    parser.add_argument("--speed-minutes", type=float, default=10)
    parser.add_argument("--stop-minutes", type=float, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--out", type=Path, default=RESULTS / "streaming.md")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kavri-stream-bench-") as work:
        folder = Path(work)
        chain_file = folder / "chain.json"
        chain_file.write_text(json.dumps(CHAIN))
        report = {
            "date": dt.datetime.now(dt.UTC).isoformat(timespec="seconds"),
            "machine": f"{platform.system()} {platform.machine()}, {os.cpu_count()} cores",
            "cpu": cpu_name(),
            "kavri": kavri.__version__,
            "load": os.getloadavg()[0],
            "memory": bench_memory(folder, chain_file, args.lengths),
            "speed": bench_speed(folder, args.speed_minutes, args.repeat),
            "stop": bench_stop(folder, args.stop_minutes, args.repeat),
            "stop_minutes": args.stop_minutes,
        }
    text = markdown(report)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
