"""Many Python threads calling at once: exact serial results, and the lock released while a
call runs."""

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


def test_other_threads_run_while_a_call_runs(ticks_beside):
    audio = np.random.default_rng(6).uniform(-1, 1, (1_500_000, 2)).astype(np.float32)
    chain = [{"type": "distortion"}] * 6
    assert ticks_beside(lambda: process_pipeline(audio, 48000, chain)) >= 3
