"""Sine-LFO level effects: tremolo and auto-pan."""

import math

import numpy as np
import pytest

from kavri import process_pipeline

CENTRE = np.float32(0.70710677)


def ones(frames, channels):
    return np.ones((frames, channels), np.float32)


def test_tremolo_defaults_start_at_three_quarters_and_swing_between_half_and_full():
    gains = process_pipeline(ones(8820, 3), 44100, [{"type": "tremolo"}], workers=3)
    assert gains[0].tolist() == [0.75] * 3
    assert (gains == gains[:, :1]).all()  # every channel the same sequence
    n = np.arange(8820)
    np.testing.assert_allclose(
        gains[:, 0], 0.75 + 0.25 * np.sin(2 * math.pi * 5 * n / 44100), atol=1e-3
    )
    assert gains.max() <= 1 and (gains.min(), gains.max()) == pytest.approx((0.5, 1), abs=1e-6)
    full = process_pipeline(ones(8000, 1), 8000, [{"type": "tremolo", "depth": 1}])
    assert full[0, 0] == 0.5 and full.min() == pytest.approx(0, abs=1e-6)


SAME_OUTPUT = [
    ({"type": "tremolo", "depth": 0}, None),
    ({"type": "tremolo", "depth": -1}, None),
    ({"type": "tremolo", "depth": 3}, {"type": "tremolo", "depth": 1}),
    ({"type": "tremolo", "rate_hz": 0}, {"type": "tremolo", "rate_hz": 0.01}),
    ({"type": "auto_pan", "rate_hz": -2}, {"type": "auto_pan", "rate_hz": 0.01}),
]


@pytest.mark.parametrize("spec, same_as", SAME_OUTPUT)
def test_clamped_and_neutral_settings(spec, same_as):
    buf = np.random.default_rng(1).standard_normal((3000, 2)).astype(np.float32)
    expected = buf if same_as is None else process_pipeline(buf, 100, [same_as])
    assert np.array_equal(process_pipeline(buf, 100, [spec]), expected)


def test_auto_pan_starts_centred_and_is_hard_right_a_quarter_cycle_later():
    out = process_pipeline(ones(24001, 2), 48000, [{"type": "auto_pan", "rate_hz": 1, "depth": 1}])
    assert out[0].tolist() == [CENTRE, CENTRE]
    assert out[12000, 0] == pytest.approx(-4.371139e-08, rel=1e-3) and out[
        12000, 1
    ] == pytest.approx(1, abs=1e-7)
    assert (out[1:24000, 1] > out[1:24000, 0]).all()  # towards channel 1 first, for half a cycle
    np.testing.assert_allclose((out.astype(np.float64) ** 2).sum(axis=1), 1, atol=1e-6)


def test_auto_pan_leaves_mono_and_channels_beyond_the_pair_alone():
    rng = np.random.default_rng(2)
    mono, quad = (
        rng.standard_normal((500, 1)).astype(np.float32),
        rng.standard_normal((500, 4)).astype(np.float32),
    )
    assert np.array_equal(process_pipeline(mono, 1000, [{"type": "auto_pan"}]), mono)
    assert np.array_equal(
        process_pipeline(quad, 1000, [{"type": "auto_pan", "rate_hz": 3}])[:, 2:], quad[:, 2:]
    )
    still = process_pipeline(ones(500, 2), 1000, [{"type": "auto_pan", "depth": 0, "rate_hz": 3}])
    assert (still == CENTRE).all()
