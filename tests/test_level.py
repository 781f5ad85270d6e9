"""Gain, clip and distortion: their listed values, NaN rules and clamps."""

import numpy as np
import pytest

from kavri import process_pipeline

f32 = np.float32


def apply(spec, values):
    column = np.asarray(values, dtype=np.float32).reshape(-1, 1)
    return process_pipeline(column, 44100, [spec])[:, 0]


def test_gain_factors():
    values = [1.0, -0.0, np.nan, 0.25]
    out = apply({"type": "gain"}, values)
    assert np.array_equal(out, np.array(values, np.float32), equal_nan=True)
    assert np.signbit(out[1])
    assert apply({"type": "gain", "db": -6}, [1.0])[0] == f32(0.5011872)
    assert apply({"type": "gain", "db": 6}, [1.0])[0] == f32(1.9952624)
    with np.errstate(invalid="ignore"):
        huge = apply({"type": "gain", "db": 1000}, [1.0, 0.0, -2.0])
    assert np.array_equal(huge, [np.inf, np.nan, -np.inf], equal_nan=True)


@pytest.mark.parametrize("threshold, level", [(None, 0.98), (0, 0.0001), (-0.5, 0.5), (2, 2.0)])
def test_clip_levels(threshold, level):
    spec = {"type": "clip"} if threshold is None else {"type": "clip", "threshold": threshold}
    out = apply(spec, [3.0, -3.0, 0.4 * level, level, np.nan, 1.9])
    lv = f32(level)
    assert out[0] == lv and out[1] == -lv
    assert out[2] == f32(0.4 * level) and out[3] == lv and np.isnan(out[4])
    assert out[5] == min(f32(1.9), lv)


def test_clip_with_nan_threshold_passes_everything():
    values = [5.0, -5.0, 0.5]
    assert np.array_equal(apply({"type": "clip", "threshold": float("nan")}, values), values)


@pytest.mark.parametrize(
    "drive, inputs, expected",
    [
        (None, [1.0, 0.5, -0.5, 0.0, -1.0], [1.0, 0.7900128, -0.7900128, 0.0, -1.0]),
        (0, [1.0], [0.01312991]),
        (0.5, [1.0], [0.6067761]),
    ],
)
def test_distortion_curve(drive, inputs, expected):
    spec = {"type": "distortion"} if drive is None else {"type": "distortion", "drive": drive}
    assert np.allclose(apply(spec, inputs), expected, rtol=1e-6, atol=0)
    if drive is None:
        # With a drive of at least 1, full scale maps to exactly full scale.
        assert apply(spec, [1.0, -1.0]).tolist() == [1.0, -1.0]


def test_distortion_peak_bound():
    out = apply({"type": "distortion"}, np.linspace(-100, 100, 4001))
    # No output exceeds 1 / tanh(2) = 1.0373147...
    assert f32(1.0373) < np.max(np.abs(out)) <= f32(1.0373148)


@pytest.mark.parametrize(
    "spec",
    [
        {"type": "gain", "db": -3.3},
        {"type": "clip", "threshold": 0.3},
        {"type": "distortion", "drive": 7.0},
    ],
)
def test_channels_are_treated_alike_on_every_worker_count(spec):
    column = np.random.default_rng(3).uniform(-2, 2, (257, 1)).astype(np.float32)
    audio = np.repeat(column, 5, axis=1)
    single = process_pipeline(audio, 48000, [spec])
    for workers in (2, 3, 5, 16):
        assert np.array_equal(process_pipeline(audio, 48000, [spec], 13, workers), single)
    assert all(np.array_equal(single[:, ch], single[:, 0]) for ch in range(5))
