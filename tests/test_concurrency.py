"""Many Python threads calling at once: exact serial results, and the lock released while a
call runs."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from kavri import process_pipeline

CHAINS = [
    [{"type": "gain", "db": 3.0}, {"type": "distortion"}],
    [{"type": "lowpass", "frequency_hz": 900.0, "stages": 2}, {"type": "compressor"}],
    [{"type": "chorus"}, {"type": "limiter"}],
    [{"type": "delay", "delay_ms": 3.0}, {"type": "stereo_width", "width": 1.5}],
    [{"type": "dynamic_eq"}, {"type": "phaser"}, {"type": "transient_shaper"}],
]


def test_concurrent_calls_match_serial_results():
    rng = np.random.default_rng(5)
    jobs = [
        (
            rng.uniform(-1, 1, (3000, 1 + k % 4)).astype(np.float32),
            CHAINS[k % len(CHAINS)],
            1 + k % 3,
        )
        for k in range(24)
    ]
    serial = [process_pipeline(audio, 44100, chain, 512) for audio, chain, _ in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        futures = [
            pool.submit(process_pipeline, audio, 44100, chain, 512, workers)
            for audio, chain, workers in jobs
        ]
        results = [f.result() for f in futures]
    for got, expected in zip(results, serial, strict=True):
        assert np.array_equal(got, expected)


def test_other_threads_run_while_a_call_runs():
    audio = np.random.default_rng(6).uniform(-1, 1, (1_500_000, 2)).astype(np.float32)
    chain = [{"type": "distortion"}] * 6
    stamps: list[float] = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.01)
    start = time.perf_counter()
    process_pipeline(audio, 48000, chain)
    end = time.perf_counter()
    stop.set()
    thread.join()
    # Holding the lock for the whole call would leave the middle of the call without a tick.
    middle = [t for t in stamps if start + 0.25 * (end - start) < t < end - 0.25 * (end - start)]
    assert len(middle) >= 3
