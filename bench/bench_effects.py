"""Single effects against their bounds and their pedalboard peers: the compressor against its
peak follower's recurrence, filter cascades on one channel against a biquad section's
dependent chain and a plain loop, and the compressor and chorus against pedalboard.

Inputs are run_bench's: 60 s of music at 48 kHz, its first channel for the mono figures.
The bounds come from bench/limits.cpp, compiled with the engine's floating-point flags:
`limits envelope` (the follower's recurrence alone, the compressor's defaults), `limits
chain` (one section's loop-carried multiply, subtraction and two additions per sample: with
the sections of a cascade overlapping, no exact cascade runs faster) and `limits cascade`
(the sections one after the other, as a direct loop writes them).

Method: Kavri's figures are the calling thread's CPU time of process_pipeline, best of
--repeat runs, less an empty call's (the copy into the output), so that they compare with
the bounds, which write one output too. The pedalboard pairs are run_bench's: both peers in
alternating rounds in one process, pedalboard in its faster layout, the ratio of the best
rounds with the median of the per-round ratios beside it; wall time, both allocating their
output. The load average is recorded.

    make bench-effects        # writes bench/results/effects.md
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import platform
import tempfile
import time
from pathlib import Path

import numpy as np
from run_bench import alternating, build_limits, music, pedalboard_pairs, run_limits, speedup

import kavri
from kavri import process_pipeline

RATE = 48_000
RESULTS = Path(__file__).parent / "results"


def cpu_best(fn, repeat: int) -> float:
    fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--out", default=str(RESULTS / "effects.md"))
    args = parser.parse_args()
    load_before = os.getloadavg()
    stereo = music(60, 2)
    mono = np.ascontiguousarray(stereo[:, :1])

    def own(chain, audio) -> float:
        call = cpu_best(lambda: process_pipeline(audio, RATE, chain), args.repeat)
        empty = cpu_best(lambda: process_pipeline(audio, RATE, []), args.repeat)
        return call - empty

    rows = []
    with tempfile.TemporaryDirectory() as workdir:
        exe = build_limits(Path(workdir))
        if exe is None:
            raise SystemExit("no C++ compiler for bench/limits.cpp")
        raw = Path(workdir) / "mono.f32"
        mono[:, 0].astype(np.float32).tofile(raw)
        envelope = run_limits(exe, "envelope", raw)
        chain_bound = run_limits(exe, "chain", len(mono))
        compressor = own([{"type": "compressor"}], mono)
        rows.append(("compressor, mono", compressor, "follower's recurrence", envelope, None))
        for sections in (1, 2, 3, 4):
            kavri_s = own([{"type": "lowpass", "stages": sections}], mono)
            plain = run_limits(exe, "cascade", raw, sections)
            rows.append(
                (f"{sections}-section cascade, mono", kavri_s, "section chain", chain_bound, plain)
            )

    import pedalboard as pb

    planar = np.ascontiguousarray(stereo.T)
    pairs = []
    for spec, plugin, _ in pedalboard_pairs(pb):
        if spec["type"] not in ("compressor", "chorus"):
            continue
        t = alternating(
            {
                "kavri": lambda: process_pipeline(stereo, RATE, [spec], 2048, 1),
                "planar": lambda: plugin(planar, RATE, reset=True),
                "interleaved": lambda: plugin(stereo, RATE, reset=True),
            },
            rounds=max(args.repeat, 5),
        )
        layout = "planar" if t["planar"]["best_s"] <= t["interleaved"]["best_s"] else "interleaved"
        s = speedup(t[layout], t["kavri"])
        pairs.append(
            (spec["type"], type(plugin).__name__, t["kavri"]["best_s"], t[layout]["best_s"], s)
        )
    load_after = os.getloadavg()

    lines = [
        "# Effects against their bounds and pedalboard",
        "",
        f"Measured {dt.datetime.now(dt.UTC):%Y-%m-%d %H:%M} UTC on {platform.machine()} with "
        f"{os.cpu_count()} cores shared with other work (load average "
        f"{', '.join(f'{x:.1f}' for x in load_before)} before, "
        f"{', '.join(f'{x:.1f}' for x in load_after)} after), kavri {kavri.__version__}, "
        f"pedalboard {pb.__version__}. Command: `make bench-effects` "
        "(`bench/bench_effects.py`; the method is in its docstring).",
        "",
        "60 s of music at 48 kHz; one channel for the bounds. An effect's own pass is its "
        "call's CPU time less an empty call's.",
        "",
        "| effect | own pass ms | bound | bound ms | own pass / bound | plain loop / bound |",
        "|---|---:|---|---:|---:|---:|",
    ]
    for name, ours, bound_name, bound, plain in rows:
        plain_text = "" if plain is None else f"{plain / bound:.2f}"
        lines.append(
            f"| {name} | {ours * 1e3:.2f} | {bound_name} | {bound * 1e3:.2f} | "
            f"{ours / bound:.2f} | {plain_text} |"
        )
    lines += [
        "",
        "Against pedalboard (60 s of stereo, alternating rounds, wall time, both allocating):",
        "",
        "| kavri | pedalboard | kavri ms | pedalboard ms | speed-up (median round) | target |",
        "|---|---|---:|---:|---:|---|",
    ]
    for kind, name, ours, theirs, s in pairs:
        met = "met" if s["best"] >= 2 else "not met"
        lines.append(
            f"| {kind} | {name} | {ours * 1e3:.1f} | {theirs * 1e3:.1f} | "
            f"{s['best']:.2f}x ({s['median_round']:.2f}x) | 2x: {met} |"
        )
    lines.append("")
    Path(args.out).write_text("\n".join(lines), encoding="utf-8")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
