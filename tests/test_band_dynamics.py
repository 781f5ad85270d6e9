"""De-esser, dynamic EQ and transient shaper: levels from the dynamics laws, identities, clamps."""

import numpy as np
import pytest

from kavri import process_pipeline

FS = 48000
N = np.arange(FS)
# Alternating +1/-1 sits at the Nyquist frequency, where the side-chain high-pass has gain 1,
# so the de-esser's envelope settles exactly on its amplitude.
NYQUIST = np.where(N % 2 == 0, 1.0, -1.0)


def run(x, spec, **kwargs):
    return process_pipeline(x, FS, [spec], **kwargs)


def column(values):
    return np.asarray(values, dtype=np.float32)[:, None]


def tone(frequency_hz, amplitude):
    return amplitude * np.sin(2 * np.pi * frequency_hz * N / FS)


def test_deesser_follows_the_compressor_law_on_high_frequencies_only():
    hiss = column(0.5 * NYQUIST)
    out = run(hiss, {"type": "deesser"})
    level_db = 20 * np.log10(0.5)
    assert np.isclose(20 * np.log10(abs(out[-1, 0])), -28 + (level_db + 28) / 4, atol=0.01)
    # A loud bass tone barely reaches the side chain: nothing is touched.
    bass = column(tone(100, 0.5))
    assert np.array_equal(run(bass, {"type": "deesser"}), bass)
    # Together, the bass is turned down by as much as the high band.
    both = column(tone(100, 0.5) + 0.5 * NYQUIST)
    gain = out[-1, 0] / hiss[-1, 0]
    assert np.allclose(run(both, {"type": "deesser"})[-2000:], both[-2000:] * gain, atol=1e-3)


@pytest.mark.parametrize(
    "effect_type, given, acting_as",
    [
        ("deesser", {"amount": 5.0}, {"amount": 1.0}),
        ("deesser", {"ratio": 0.2}, {"ratio": 1.0}),
        ("deesser", {"frequency_hz": 30000.0}, {"frequency_hz": 23952.0}),
        ("deesser", {"frequency_hz": -1.0}, {"frequency_hz": 5.0}),
        ("dynamic_eq", {"q": -1.0}, {"q": 0.001}),
        ("transient_shaper", {"attack": 5.0, "sustain": -3.0}, {"attack": 2.0, "sustain": -1.0}),
        # These leave the audio unchanged.
        ("deesser", {"amount": -2.0}, None),
        ("transient_shaper", {"attack": 0.0, "sustain": 0.0}, None),
    ],
)
def test_clamps_and_identities(effect_type, given, acting_as):
    bursts = np.random.default_rng(6).uniform(-1, 1, (FS, 2)) * (N[:, None] % 6000 < 1500)
    x = (bursts + np.stack([tone(7000, 0.3), tone(2800, 0.3)], axis=1)).astype(np.float32)
    out = run(x, dict(type=effect_type, **given))
    expected = x if acting_as is None else run(x, dict(type=effect_type, **acting_as))
    assert np.array_equal(out, expected)


@pytest.mark.parametrize("block_size", [1, 7, 2048])
def test_dynamic_eq_below_threshold_is_bit_exact_identity(block_size):
    # Quiet in the band, loud far from it: the envelope never passes -24 dB.
    x = column(tone(2800, 0.02) + tone(50, 0.5))
    assert np.array_equal(run(x, {"type": "dynamic_eq"}, block_size=block_size), x)


@pytest.mark.parametrize("cut_db, amplitude", [(-6.0, 0.5), (-12.0, 0.9), (6.0, 0.3)])
def test_dynamic_eq_gives_the_full_cut_at_twice_the_threshold_and_no_more(cut_db, amplitude):
    # Every amplitude here keeps the envelope past twice the threshold (about 0.126).
    out = run(column(tone(2800, amplitude)), {"type": "dynamic_eq", "cut_db": cut_db})
    settled = np.abs(out[FS // 2 :, 0]).max()
    assert np.isclose(20 * np.log10(settled / amplitude), cut_db, atol=0.01)


def test_dynamic_eq_depends_on_block_size():
    start = FS // 4
    x = column(tone(2800, 0.5) * (N >= start))
    per_sample = run(x, {"type": "dynamic_eq"}, block_size=1)
    per_block = run(x, {"type": "dynamic_eq"}, block_size=2048)
    assert not np.array_equal(per_sample, per_block)
    # One sample at a time, nothing before the loud passage is touched.
    assert np.array_equal(per_sample[:start], x[:start])


def test_transient_shaper_step_and_silence():
    out = run(np.ones((FS, 1), np.float32), {"type": "transient_shaper"})[:, 0]
    assert np.isclose(out[0], 1.66073, atol=2e-5)
    assert np.all(np.diff(out[: FS // 10]) < 0) and np.isclose(out[-1], 1.0, atol=1e-3)
    silence = np.zeros((4000, 2), np.float32)
    assert np.array_equal(run(silence, {"type": "transient_shaper"}), silence)


@pytest.mark.parametrize("sustain, limit", [(0.2, 4.0), (2.0, 4.0), (-1.0, 0.15)])
def test_transient_shaper_decay_gain_reaches_its_limits(sustain, limit):
    x = np.where(N < FS // 10, 1.0, 1e-3)
    out = run(column(x), {"type": "transient_shaper", "sustain": sustain})[:, 0]
    assert np.isclose(out[FS // 5] / x[FS // 5], limit, rtol=1e-6)
