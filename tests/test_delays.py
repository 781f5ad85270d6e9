"""Echo lines: delay, ping-pong delay and the swept delay of chorus, flanger and vibrato."""

import math
import os

import numpy as np
import pytest

from kavri import process_pipeline

MIX, FB = 0.3, 0.55


def run(buf, fs, spec, **kwargs):
    return process_pipeline(buf, fs, [spec], **kwargs)


def noise(frames, channels, seed=0):
    return np.random.default_rng(seed).standard_normal((frames, channels)).astype(np.float32)


# An impulse in channel 0 at frame 0; every non-zero output sample, per channel.
IMPULSE_ECHOES = [
    (
        "delay defaults",
        48000,
        1,
        22000,
        {"type": "delay"},
        {0: {0: 0.8, 7200: 0.2, 14400: 0.2 * 0.35, 21600: 0.2 * 0.35**2}},
    ),
    (
        "delay under half a sample",
        1000,
        1,
        4,
        {"type": "delay", "delay_ms": 0.004, "mix": 0.5, "feedback": 0.5},
        {0: {0: 0.5, 1: 0.5, 2: 0.25, 3: 0.125}},
    ),
    (
        "delay negative",
        1000,
        1,
        3,
        {"type": "delay", "delay_ms": -20, "mix": 1, "feedback": 0},
        {0: {1: 1}},
    ),
    (
        "feedback 1",
        1000,
        1,
        31,
        {"type": "delay", "delay_ms": 10, "mix": 1, "feedback": 1},
        {0: {10: 1, 20: 1, 30: 1}},
    ),
    (
        "feedback -5",
        1000,
        1,
        31,
        {"type": "delay", "delay_ms": 10, "mix": 1, "feedback": -5},
        {0: {10: 1, 20: -1, 30: 1}},
    ),
    (
        "ping-pong",
        1000,
        2,
        35,
        {"type": "ping_pong_delay", "delay_ms": 10, "mix": MIX, "feedback": FB},
        {0: {0: 1 - MIX, 20: MIX * FB}, 1: {10: MIX, 30: MIX * FB**2}},
    ),
    (
        "ping-pong defaults",
        48000,
        2,
        8700,
        {"type": "ping_pong_delay"},
        {0: {0: 0.7}, 1: {8640: 0.3}},
    ),
    (
        "ping-pong fractional",
        1000,
        2,
        15,
        {"type": "ping_pong_delay", "delay_ms": 10.25, "mix": 1, "feedback": 0},
        {1: {10: 0.75, 11: 0.25}},
    ),
    (
        "ping-pong shortest",
        1000,
        2,
        4,
        {"type": "ping_pong_delay", "delay_ms": 0.001, "mix": 1, "feedback": 0},
        {1: {1: 1}},
    ),
    (
        "flanger fixed",
        1000,
        1,
        40,
        {"type": "flanger", "depth_ms": 0, "delay_ms": 12, "mix": 1, "feedback": -5},
        {0: {12: 1, 24: -1, 36: 1}},
    ),
    (
        "chorus fixed fractional",
        1000,
        1,
        40,
        {"type": "chorus", "depth_ms": 0, "delay_ms": 12.25, "mix": 1, "feedback": 0},
        {0: {12: 0.75, 13: 0.25}},
    ),
]


@pytest.mark.parametrize(
    "fs, channels, frames, spec, echoes",
    [c[1:] for c in IMPULSE_ECHOES],
    ids=[c[0] for c in IMPULSE_ECHOES],
)
def test_impulse_echo_times_and_gains(fs, channels, frames, spec, echoes):
    buf = np.zeros((frames, channels), np.float32)
    buf[0, 0] = 1
    out = run(buf, fs, spec)
    for ch in range(channels):
        found = {int(i): float(out[i, ch]) for i in np.flatnonzero(out[:, ch])}
        assert found == pytest.approx(echoes.get(ch, {}), rel=1e-6), ch


def test_ping_pong_fractional_delay_is_a_linear_interpolation():
    buf = noise(200, 2)
    buf[:, 1] = 0
    out = run(buf, 1000, {"type": "ping_pong_delay", "delay_ms": 10.25, "mix": 1, "feedback": 0})
    x = buf[:, 0].astype(np.float64)
    expected = np.zeros(200)
    expected[10:] += 0.75 * x[:-10]
    expected[11:] += 0.25 * x[:-11]
    np.testing.assert_allclose(out[:, 1], expected, atol=1e-6)
    assert not out[:, 0].any()


def test_ping_pong_crosses_only_channels_0_and_1():
    spec = {"mix": 0.4, "feedback": -0.7, "delay_ms": 13}
    mono, quad = noise(400, 1, 1), noise(400, 4, 2)
    assert np.array_equal(
        run(mono, 1000, dict(spec, type="ping_pong_delay")),
        run(mono, 1000, dict(spec, type="delay")),
    )
    crossed = run(quad, 1000, dict(spec, type="ping_pong_delay"))
    assert np.array_equal(crossed[:, 2:], run(quad, 1000, dict(spec, type="delay"))[:, 2:])
    assert np.array_equal(
        run(quad[:, [1, 0, 2, 3]], 1000, dict(spec, type="ping_pong_delay")),
        crossed[:, [1, 0, 2, 3]],
    )


# Settings that must give the same bits on noise as their partner (None: the untouched input).
SAME_OUTPUT = [
    ({"type": "delay", "mix": 0}, None),
    ({"type": "delay", "mix": -0.5}, None),
    ({"type": "delay", "mix": 1.5}, {"type": "delay", "mix": 1}),
    ({"type": "ping_pong_delay", "feedback": 3}, {"type": "ping_pong_delay", "feedback": 1}),
    ({"type": "chorus", "mix": 0}, None),
    ({"type": "vibrato", "mix": 0}, {"type": "vibrato"}),
    ({"type": "flanger", "rate_hz": 0}, {"type": "flanger", "rate_hz": 0.01}),
    ({"type": "flanger", "rate_hz": -3}, {"type": "flanger", "rate_hz": 0.01}),
]


@pytest.mark.parametrize("spec, same_as", SAME_OUTPUT)
def test_clamped_and_neutral_settings(spec, same_as):
    buf = noise(3000, 2, 3)
    assert np.array_equal(run(buf, 8000, spec), buf if same_as is None else run(buf, 8000, same_as))


def test_modulated_delay_channels_start_a_quarter_cycle_apart_and_sweep_by_depth():
    # A ramp through a wet-only line comes out as ramp - delay, so the delay can be read off.
    fs, n = 48000, np.arange(200, 400)
    buf = np.repeat(np.arange(400, dtype=np.float32)[:, None], 4, axis=1)
    out = run(buf, fs, {"type": "vibrato", "rate_hz": 0.01, "depth_ms": 2, "delay_ms": 1})[200:]
    delays = n[:, None] - out.astype(np.float64)
    angle = n[:, None] / fs * 2 * math.pi * 0.01 + np.arange(4) * math.pi / 2
    np.testing.assert_allclose(delays, (np.sin(angle) + 1) * 0.5 * 96 + 48, atol=2e-3)
    assert delays[0] == pytest.approx([96, 144, 96, 48], abs=0.05)


def test_negative_depth_sweeps_below_the_base_but_never_below_one_sample():
    ramp = np.arange(3000, dtype=np.float32)[:, None]
    out = run(ramp, 1000, {"type": "vibrato", "rate_hz": 1, "depth_ms": -20, "delay_ms": 10})
    delays = (ramp - out)[100:].astype(np.float64)
    assert (delays.min(), delays.max()) == pytest.approx((1, 10), abs=1e-3)


LENGTH_KEYS = [
    ("delay", "delay_ms"),
    ("ping_pong_delay", "delay_ms"),
    ("chorus", "delay_ms"),
    ("flanger", "depth_ms"),
]


@pytest.mark.parametrize(
    "value, error", [(math.nan, RuntimeError), (math.inf, MemoryError), (1e30, MemoryError)]
)
@pytest.mark.parametrize("kind, key", LENGTH_KEYS)
def test_impossible_lengths_are_refused(kind, key, value, error):
    values = [value, -value] if key == "depth_ms" else [value]  # a depth's size counts
    for v in values:
        with pytest.raises(error, match=key if error is RuntimeError else None):
            run(np.zeros((4, 2), np.float32), 48000, {"type": kind, key: v})


@pytest.mark.parametrize(
    "kind, key", [("delay", "delay_ms"), ("ping_pong_delay", "delay_ms"), ("vibrato", "depth_ms")]
)
def test_lines_that_fit_only_one_at_a_time_are_refused_and_the_next_call_works(kind, key):
    # One line would take 60% of physical memory, the two channels' lines 120%.
    samples = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") * 0.6 / 4
    buf = np.ones((4, 2), np.float32)
    with pytest.raises(MemoryError):
        run(buf, 1000, {"type": kind, key: samples})
    out = run(buf, 1000, {"type": kind, "delay_ms": 2, "depth_ms": 0, "mix": 1, "feedback": 0})
    assert out[:, 0].tolist() == [0, 0, 1, 1]


ALL_SPECS = [
    {"type": "delay", "delay_ms": 3.3, "feedback": 0.6},
    {"type": "ping_pong_delay", "delay_ms": 4.7, "feedback": -0.8},
    {"type": "chorus"},
    {"type": "flanger", "feedback": 0.9},
    {"type": "vibrato", "rate_hz": 40},
    {"type": "tremolo", "rate_hz": 30, "depth": 0.9},
    {"type": "auto_pan", "rate_hz": 20},
    {"type": "pan", "position": 0.3},
    {"type": "stereo_width", "width": 1.7},
]


@pytest.mark.parametrize("spec", ALL_SPECS, ids=lambda s: s["type"])
def test_output_is_the_same_for_every_worker_count_and_block_size(spec):
    buf = noise(3001, 5, 4)
    reference = run(buf, 8000, spec)
    for workers in (1, 2, 3):
        for block_size in (1, 7, 2048):
            assert np.array_equal(
                run(buf, 8000, spec, workers=workers, block_size=block_size), reference
            )


@pytest.mark.parametrize("rate", [math.nan, math.inf])
def test_a_sweep_that_is_not_a_number_reads_one_sample_back(rate):
    buf = noise(50, 2, 5)
    out = run(buf, 1000, {"type": "vibrato", "rate_hz": rate})
    assert np.array_equal(out[1:], buf[:-1]) and not out[0].any()
