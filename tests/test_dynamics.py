"""Compressor, upward compressor, limiter, expander and noise gate."""

import numpy as np
import pytest

from kavri import process_pipeline

SR = 48000
MS = SR // 1000
CEILING = 0.891251  # -1 dB
TYPES = ["compressor", "upward_compression", "limiter", "expander", "noise_gate"]


def held(level_db, frames=SR):
    """A constant signal, whose peak envelope settles exactly on its level."""
    return np.full((frames, 1), 10 ** (level_db / 20), np.float32)


def bursts(channels=3, frames=3000):
    """Noise whose level swings across every threshold used here, differently per channel."""
    swing = np.abs(np.sin(np.linspace(0, 9, frames)))[:, None] ** 3 * [2.0, 0.3, 0.02][:channels]
    return (np.random.default_rng(2).standard_normal((frames, channels)) * swing).astype(np.float32)


# Steady state: (spec, level in dB, level out dB) from the law of each effect.
@pytest.mark.parametrize(
    "spec, level_in, level_out",
    [
        ({"type": "compressor"}, -6, -18 + 12 / 4),
        (
            {"type": "compressor", "threshold_db": -30, "ratio": 2, "makeup_db": 6},
            -6,
            -30 + 24 / 2 + 6,
        ),
        ({"type": "compressor", "ratio": 0.5, "makeup_db": -3}, -6, -9),  # ratio raised to 1
        ({"type": "compressor"}, -24, -24),
        ({"type": "upward_compression"}, -60, -42 - 18 / 2),
        ({"type": "upward_compression"}, -80, -80 + 18),  # a lift of 19 dB is capped at 18
        ({"type": "upward_compression", "max_gain_db": -6}, -60, -66),
        ({"type": "upward_compression"}, -30, -30),
        ({"type": "expander"}, -50, -35 + 2 * -15),
        ({"type": "expander", "ratio": 3, "makeup_db": 6}, -50, -35 + 3 * -15 + 6),
        ({"type": "expander", "makeup_db": 2}, -20, -18),
        ({"type": "limiter"}, 6, -1),
        ({"type": "limiter", "ceiling_db": -12}, -6, -12),
        ({"type": "noise_gate"}, -20, -20),
        ({"type": "noise_gate"}, -60, -60 - 80),
    ],
)
def test_steady_state_law(spec, level_in, level_out):
    out = process_pipeline(held(level_in), SR, [spec])[-1, 0]
    assert 20 * np.log10(out) == pytest.approx(level_out, abs=0.01)


# Settings under which the output reveals the envelope e, with the default coefficients and
# times at 48000 Hz.
@pytest.mark.parametrize(
    "spec, envelope, attack, release, attack_ms, release_ms",
    [
        (
            {"type": "compressor", "threshold_db": -200, "ratio": 1e9},  # out = x * threshold / e
            lambda x, y: x * 1e-10 / y,
            0.997919,
            0.999740,
            10,
            80,
        ),
        (
            {"type": "upward_compression", "threshold_db": 0, "ratio": 1e9, "max_gain_db": 400},
            lambda x, y: x / y,
            0.998265,
            0.999826,
            12,
            120,
        ),  # out = x / e
        (
            {"type": "expander", "threshold_db": 0, "ratio": 2},
            lambda x, y: y / x,
            0.997399,
            0.999740,
            8,
            80,
        ),  # out = x * e
    ],
)
def test_envelope_follows_its_time_constants(
    spec, envelope, attack, release, attack_ms, release_ms
):
    x = np.concatenate([held(-6, SR // 2), held(-26, SR // 2)])
    e = envelope(x[:, 0].astype(np.float64), process_pipeline(x, SR, [spec])[:, 0])
    high, low = x[0, 0], x[-1, 0]
    assert 1 - e[0] / high == pytest.approx(attack, abs=2e-6)
    assert e[attack_ms * MS - 1] / high == pytest.approx(1 - np.exp(-1), abs=1e-3)
    fall = e[SR // 2 - 1 :] - low  # from the last loud sample on
    assert (fall[1000] / fall[0]) ** (1 / 1000) == pytest.approx(release, abs=2e-6)
    assert fall[release_ms * MS] / fall[0] == pytest.approx(np.exp(-1), abs=1e-3)


def test_limiter_ceiling_and_release():
    for ceiling_db in (-1, -6, 3):
        out = process_pipeline(bursts(1) * 4, SR, [{"type": "limiter", "ceiling_db": ceiling_db}])
        assert np.abs(out).max() <= np.float32(10 ** (ceiling_db / 20)) * (1 + 1e-6)
    quiet = (bursts(2) * 0.4).clip(-0.89, 0.89)
    assert np.array_equal(process_pipeline(quiet, SR, [{"type": "limiter"}]), quiet)
    spike = np.array([[0.0], [2.0], [0.0]], np.float32)  # only partly turned down: clamped
    assert process_pipeline(spike, SR, [{"type": "limiter"}])[1, 0] == pytest.approx(
        CEILING, abs=1e-6
    )
    # After a held 2.0 the gain sits at ceiling / 2 and recovers with the 60 ms release.
    x = np.concatenate([np.full((SR // 2, 1), 2.0, np.float32), held(-6, SR)])
    g = process_pipeline(x, SR, [{"type": "limiter"}])[SR // 2 :, 0] / x[-1, 0]
    assert (1 - g[60 * MS - 1]) / (1 - CEILING / 2) == pytest.approx(np.exp(-1), abs=1e-3)


def test_onsets_after_silence():
    one = held(0, 200)
    assert process_pipeline(one, SR, [{"type": "compressor"}])[0, 0] == 1.0  # envelope 0.00208
    gate = process_pipeline(one, SR, [{"type": "noise_gate"}])[:, 0]  # opens, fades in from floor
    assert gate[0] == pytest.approx(0.00702, abs=1e-5)
    assert gate[3 * MS - 1] == pytest.approx(1 - 0.9999 * np.exp(-1), abs=1e-3)


def test_gate_closes_once_the_envelope_falls_below_threshold():
    x = np.concatenate([held(0, SR // 2), held(-80, SR)])
    g = process_pipeline(x, SR, [{"type": "noise_gate"}])[SR // 2 :, 0] / x[-1, 0]
    # The envelope falls from 1 toward 1e-4 with the 60 ms release and crosses -45 dB after
    # this many samples; until then the gate stays open.
    assert g[0] == pytest.approx(1, abs=1e-5)
    crossing = int(np.argmax(g < g[0] - 1e-6))
    assert crossing == pytest.approx(np.log((10**-2.25 - 1e-4) / (1 - 1e-4)) * -60 * MS, abs=5)
    closing = g[crossing:] - 1e-4  # then the gain glides to the floor with the same 60 ms
    assert closing[60 * MS] / closing[0] == pytest.approx(np.exp(-1), abs=2e-3)


@pytest.mark.parametrize(
    "type_, keys",
    [
        ("compressor", ["makeup_db", "release_ms", "attack_ms", "ratio", "threshold_db"]),
        ("upward_compression", ["max_gain_db", "release_ms", "attack_ms", "ratio", "threshold_db"]),
        ("limiter", ["release_ms", "attack_ms", "ceiling_db"]),
        ("expander", ["makeup_db", "release_ms", "attack_ms", "ratio", "threshold_db"]),
        ("noise_gate", ["floor_db", "release_ms", "attack_ms", "threshold_db"]),
    ],
)
def test_keys_are_read_in_order(type_, keys):
    read = []

    class Logged(str):
        def __float__(self):
            read.append(str(self))
            return 1.0

    spec = {
        "type": type_,
        "threshold": Logged("threshold"),
        **{k: Logged(k) for k in reversed(keys)},
    }
    process_pipeline(np.zeros((4, 1), np.float32), SR, [spec])
    assert read == keys


@pytest.mark.parametrize(
    "spec, after_nan",
    [
        ({"type": "compressor", "makeup_db": 6}, [{"type": "gain", "db": 6}]),  # makeup only
        ({"type": "upward_compression"}, []),  # unchanged
        ({"type": "limiter"}, None),  # passes the NaN, keeps the ceiling elsewhere
    ],
)
def test_nan_sample(spec, after_nan):
    x = bursts(2) * 4
    x[100, 0] = np.nan
    out = process_pipeline(x, SR, [spec])
    assert np.isnan(out).sum() == 1 and np.isnan(out[100, 0])
    if after_nan is None:
        assert np.nanmax(np.abs(out)) <= CEILING * (1 + 1e-6)
    else:  # the channel's envelope is NaN from there on: every comparison fails
        assert np.array_equal(out[101:, :1], process_pipeline(x[101:, :1], SR, after_nan))
    assert np.array_equal(out[:, 1], process_pipeline(x[:, 1:], SR, [spec])[:, 0])


@pytest.mark.parametrize(
    "spec",
    [
        {"type": "compressor", "threshold_db": -30, "makeup_db": 3},
        {"type": "upward_compression", "threshold_db": -20},
        {"type": "limiter", "ceiling_db": -6},
        {"type": "expander", "threshold_db": -20, "ratio": 3},
        {"type": "noise_gate", "threshold_db": -25},
    ],
)
def test_same_bits_for_every_worker_count_and_block_size(spec):
    x = bursts()
    reference = process_pipeline(x, SR, [spec])
    assert not np.array_equal(reference, x)
    for workers in (1, 2, 3):
        for block_size in (1, 7, 2048):
            out = process_pipeline(x, SR, [spec], block_size=block_size, workers=workers)
            assert np.array_equal(out, reference), (workers, block_size)
    # Channels are never linked. One or two channels alone run their frames whole (in one
    # pass with the powers, where the processor allows); inside three they do not.
    for ch in range(3):
        assert np.array_equal(
            process_pipeline(x[:, ch : ch + 1], SR, [spec])[:, 0], reference[:, ch]
        )
    assert np.array_equal(process_pipeline(x[:, :2], SR, [spec]), reference[:, :2])
    silence = np.zeros_like(x)
    assert np.array_equal(process_pipeline(silence, SR, [spec]), silence)


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
@pytest.mark.parametrize("type_", ["compressor", "upward_compression", "expander"])
def test_a_first_effect_reading_the_input_gives_the_in_place_bits(type_, channels):
    """Run first, these effects read the input and write the output in one pass (whole frames
    of one, two or four channels in vector lanes); after another effect they run in place.
    Both give the same bits, NaN and infinities included, and the input is never written."""
    x = np.tile(bursts(), (1, 2))[:, :channels] * np.float32(4.0)
    x[-200::89] = np.nan  # an envelope that meets NaN or infinity keeps it: late ones
    x[-150::41] = np.inf
    kept = x.copy()
    first = process_pipeline(x, SR, [{"type": type_}], block_size=1000)
    after = process_pipeline(x, SR, [{"type": "gain", "db": 0.0}, {"type": type_}])
    assert np.array_equal(first.view(np.uint32), after.view(np.uint32))
    assert np.array_equal(x.view(np.uint32), kept.view(np.uint32))
    assert not np.array_equal(first, x, equal_nan=True)
