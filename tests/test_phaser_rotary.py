"""Phaser and rotary speaker: the all-pass phase law, the sweep, the rotors' gains and pan."""

import numpy as np
import pytest

from kavri import process_pipeline

FS = 48000
NOISE = np.random.default_rng(1).uniform(-0.5, 0.5, (4000, 3)).astype(np.float32)


def run(x, spec, sample_rate=FS, **kwargs):
    return process_pipeline(x, sample_rate, [spec], **kwargs)


def nyquist(frames, channels):
    """Alternating +1/-1: all treble for a crossover at 5 Hz."""
    signs = np.where(np.arange(frames) % 2 == 0, 1.0, -1.0)
    return np.repeat(signs[:, None], channels, axis=1).astype(np.float32)


@pytest.mark.parametrize(
    "stages, center_hz, break_hz, sample_rate",
    [
        (1, 2000.0, 700.0, FS),
        (3, 2000.0, 700.0, FS),
        (8, 2000.0, 700.0, FS),
        (0, 2000.0, 700.0, FS),  # below 1 runs one stage
        (2, 200.0, 80.0, FS),  # 0.35 * 200 is raised to 80 Hz
        (2, 10.0, 80.0, FS),  # center_hz itself is raised to 80 first
        (1, 70000.0, 0.45 * FS, FS),  # held at 0.45 * sample rate
        (1, 900.0, 80.0, 170),  # 0.45 * 170 is below 80: pinned at 80 Hz
    ],
)
def test_static_phaser_is_an_allpass_chain_with_minus_90_degrees_per_stage(
    stages, center_hz, break_hz, sample_rate
):
    impulse = np.zeros((8192, 1), np.float32)
    impulse[0] = 1.0
    spec = {
        "type": "phaser",
        "depth": 0.0,
        "feedback": 0.0,
        "mix": 1.0,
        "stages": stages,
        "center_hz": center_hz,
    }
    h = run(impulse, spec, sample_rate=sample_rate)[:, 0].astype(np.float64)
    assert np.allclose(np.abs(np.fft.rfft(h)), 1.0, atol=1e-4)
    at_break = np.sum(h * np.exp(-2j * np.pi * break_hz * np.arange(len(h)) / sample_rate))
    assert abs(at_break - (-1j) ** max(stages, 1)) < 1e-3


@pytest.mark.parametrize(
    "depth, frame, probe_hz",
    [
        (1.0, 12000, 2000.0),  # sine at its peak: 2.0 * center_hz
        (0.75, 12000, 1587.5),  # the default depth peaks at 1.5875 * center_hz
        (1.0, 36000, 350.0),  # sine at its trough: 0.35 * center_hz for any depth
    ],
)
def test_sweep_reaches_its_limits(depth, frame, probe_hz):
    # A 1 Hz sweep is slow next to the stage's memory, so around one frame the stage acts
    # like a fixed all-pass: a tone at the break frequency comes out 90 degrees late.
    n = np.arange(FS)
    x = np.sin(2 * np.pi * probe_hz * n / FS).astype(np.float32)[:, None]
    spec = {
        "type": "phaser",
        "stages": 1,
        "depth": depth,
        "center_hz": 1000.0,
        "rate_hz": 1.0,
        "feedback": 0.0,
        "mix": 1.0,
    }
    y = run(x, spec)[:, 0].astype(np.float64)
    width = int(round(7 * FS / probe_hz))
    window = slice(frame - width // 2, frame - width // 2 + width)
    projection = np.sum(y[window] * np.exp(-2j * np.pi * probe_hz * n[window] / FS))
    assert abs(np.degrees(np.angle(2j * projection)) + 90.0) < 0.5


@pytest.mark.parametrize(
    "effect_type, given, acting_as",
    [
        ("phaser", {"mix": 2.0}, {"mix": 1.0}),
        ("phaser", {"feedback": 3.0}, {"feedback": 1.0}),
        ("phaser", {"feedback": -3.0}, {"feedback": -1.0}),
        ("phaser", {"depth": 4.0}, {"depth": 1.0}),
        ("phaser", {"depth": -1.0}, {"depth": 0.0}),
        ("phaser", {"rate_hz": -2.0}, {"rate_hz": 0.01}),
        ("phaser", {"stages": -5}, {"stages": 1}),
        ("rotary_speaker", {"mix": 3.0}, {"mix": 1.0}),
        ("rotary_speaker", {"depth": -1.0}, {"depth": 0.0}),
        ("rotary_speaker", {"depth": 9.0}, {"depth": 1.0}),
        ("rotary_speaker", {"rate_hz": 0.0}, {"rate_hz": 0.01}),
        ("rotary_speaker", {"crossover_hz": 30000.0}, {"crossover_hz": 23952.0}),
        ("rotary_speaker", {"crossover_hz": 1.0}, {"crossover_hz": 5.0}),
        # Mix 0 leaves the audio unchanged.
        ("phaser", {"mix": -1.0}, None),
        ("rotary_speaker", {"mix": -1.0}, None),
    ],
)
def test_clamps_and_dry_mix(effect_type, given, acting_as):
    out = run(NOISE, dict(type=effect_type, **given))
    expected = NOISE if acting_as is None else run(NOISE, dict(type=effect_type, **acting_as))
    assert np.array_equal(out, expected)


def test_phaser_sweep_is_shared_by_every_channel():
    x = np.repeat(NOISE[:, :1], 3, axis=1)
    y = run(x, {"type": "phaser", "depth": 1.0, "rate_hz": 3.0})
    assert np.array_equal(y[:, 0], y[:, 1]) and np.array_equal(y[:, 0], y[:, 2])
    # Below about 178 Hz of sample rate the break frequency is pinned at 80 Hz.
    pinned = run(x, {"type": "phaser", "depth": 1.0, "rate_hz": 5.0}, sample_rate=170)
    assert np.all(np.isfinite(pinned))
    assert np.array_equal(pinned, run(x, {"type": "phaser", "depth": 0.0}, sample_rate=170))


def test_phaser_refuses_stages_that_cannot_fit_and_the_next_call_works():
    x = np.zeros((16, 64), dtype=np.float32)
    with pytest.raises(MemoryError):
        run(x, {"type": "phaser", "stages": 2**31 - 1})
    y = run(x + 0.25, {"type": "phaser", "stages": 12})
    assert y.shape == x.shape and np.all(np.isfinite(y))


TREBLE_ONLY = {"type": "rotary_speaker", "crossover_hz": 5.0, "mix": 1.0, "rate_hz": 1.0}


def test_rotary_treble_pan_and_swell():
    y = np.abs(run(nyquist(FS, 2), dict(TREBLE_ONLY, depth=1.0)).astype(np.float64))
    swell = np.hypot(y[:, 0], y[:, 1])  # the pan is constant-power, so this is the swell
    assert np.isclose(swell.min(), 0.56, atol=1e-4) and np.isclose(swell.max(), 1.0, atol=1e-4)
    left = y[:, 0] / swell
    assert np.isclose(left.min(), 0.0, atol=1e-4) and np.isclose(left.max(), 1.0, atol=1e-4)
    # Frame 0 is centred at full swell; a quarter turn later the treble is wholly in channel 1
    # and the swell is at its mean, 0.78.
    assert np.allclose(y[0], np.sqrt(0.5), atol=1e-5)
    assert np.allclose(y[FS // 4], [0.0, 0.78], atol=1e-4)
    # Depth 0 keeps the treble centred while it still swells.
    centred = np.abs(run(nyquist(FS, 2), dict(TREBLE_ONLY, depth=0.0)))
    assert np.array_equal(centred[:, 0], centred[:, 1])
    assert np.isclose(centred[FS // 2, 0], np.sqrt(0.5) * 0.56, atol=1e-4)


def test_rotary_mono_and_extra_channels_hear_the_mean_of_the_pan():
    mono = np.abs(run(nyquist(FS, 1), dict(TREBLE_ONLY, depth=1.0)))
    assert np.isclose(mono[FS // 4, 0], 0.5 * 0.78, atol=1e-4)
    spec = {"type": "rotary_speaker", "rate_hz": 7.0}
    three = run(NOISE, spec)
    assert np.array_equal(three[:, :2], run(np.ascontiguousarray(NOISE[:, :2]), spec))
    assert np.array_equal(three[:, 2:], run(np.ascontiguousarray(NOISE[:, 2:]), spec))


def test_rotary_bass_swell_follows_the_slower_rotor():
    # A crossover held at 0.499 * sample rate sends DC wholly to the bass band.
    y = run(
        np.ones((2 * FS, 1), np.float32),
        {"type": "rotary_speaker", "crossover_hz": 1e6, "mix": 1.0, "rate_hz": 1.0},
    )[:, 0]
    n = np.arange(100, 2 * FS)
    assert np.allclose(y[100:], 0.9 + 0.1 * np.sin(2 * np.pi * 0.62 * n / FS), atol=1e-3)


@pytest.mark.parametrize(
    "rate_hz, frames, atol", [(FS / 4, 1 << 20, 1e-4), (2.25 * FS, 50000, 0.05)]
)
def test_rotary_phase_stays_within_one_turn(rate_hz, frames, atol):
    # A quarter turn per frame must keep its four-frame pattern however long the buffer (the
    # phase never grows past a turn), and so must a step of two and a quarter turns, whose
    # float step is not exact and drifts slowly.
    y = np.abs(run(nyquist(frames, 2), dict(TREBLE_ONLY, depth=1.0, rate_hz=rate_hz)))
    phase = np.arange(8) * np.pi / 2
    theta = (np.sin(phase) + 1.0) * np.pi / 4
    swell = 0.78 + 0.22 * np.cos(phase)
    expected = np.stack([np.cos(theta) * swell, np.sin(theta) * swell], axis=1)
    assert np.allclose(y[8:16], expected, atol=1e-4)
    assert np.allclose(y[frames - 8 :], expected, atol=atol)
