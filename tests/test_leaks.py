"""Repeated calls, successful and failing, keep memory and reference counts flat."""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kavri import process_pipeline

AUDIO = np.random.default_rng(8).uniform(-1, 1, (4096, 2)).astype(np.float32)
GOOD = [
    {"type": "gain", "db": 2.0},
    {"type": "lowpass", "stages": 3},
    {"type": "chorus"},
    {"type": "compressor"},
    {"type": "dynamic_eq"},
    {"type": "ping_pong_delay"},
]
BAD = [{"type": "gain"}, {"type": "delay", "delay_ms": "long"}]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def call_both(times: int) -> None:
    for _ in range(times):
        process_pipeline(AUDIO, 48000, GOOD, 1000, 2)
        try:
            process_pipeline(AUDIO, 48000, BAD)
        except RuntimeError:
            pass


def test_reference_counts_are_unchanged():
    spec = GOOD[0]
    value = spec["db"]
    counts = (
        sys.getrefcount(AUDIO),
        sys.getrefcount(GOOD),
        sys.getrefcount(spec),
        sys.getrefcount(value),
    )
    call_both(50)
    assert (
        sys.getrefcount(AUDIO),
        sys.getrefcount(GOOD),
        sys.getrefcount(spec),
        sys.getrefcount(value),
    ) == counts


def test_resident_memory_stays_flat():
    call_both(30)
    before = resident_bytes()
    call_both(300)
    # Each call moves well over 64 KiB through its state and output; 300 leaking calls
    # would add tens of megabytes.
    assert resident_bytes() - before < 4 << 20


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
def test_no_native_leaks_or_faults_under_valgrind():
    script = Path(__file__).parent.parent / "scripts" / "leak_check.py"
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=600
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]


def stream_round(times: int) -> None:
    from kavri._kavri_stream import Stream

    for _ in range(times):
        stream = Stream(GOOD, 48000, 2, 1000, 2)
        stream.process(AUDIO[:1500])
        stream.reset()
        stream.process(AUDIO)
        stream.flush()
        try:
            Stream(BAD, 48000, 2)
        except RuntimeError:
            pass


def test_streams_keep_memory_and_references_flat():
    spec = GOOD[0]
    counts = (
        sys.getrefcount(AUDIO),
        sys.getrefcount(GOOD),
        sys.getrefcount(spec),
        sys.getrefcount(spec["db"]),
    )
    stream_round(30)
    before = resident_bytes()
    stream_round(300)
    assert resident_bytes() - before < 4 << 20
    assert (
        sys.getrefcount(AUDIO),
        sys.getrefcount(GOOD),
        sys.getrefcount(spec),
        sys.getrefcount(spec["db"]),
    ) == counts
