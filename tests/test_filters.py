"""The biquad filter types: their responses, the cascade, the clamps and the memory guard."""

import numpy as np
import pytest

from kavri import process_pipeline

SR = 48000
DB12, DB6 = 10 ** (12 / 20), 10 ** (6 / 20)


def impulse_response(spec, sample_rate=SR):
    """One second of the impulse response, so that FFT bin k lies at k Hz."""
    x = np.zeros((sample_rate, 1), np.float32)
    x[0, 0] = 1.0
    return process_pipeline(x, sample_rate, [spec])[:, 0].astype(np.float64)


def magnitude(spec):
    return np.abs(np.fft.rfft(impulse_response(spec)))


def noise(frames=4096, channels=2):
    return np.random.default_rng(1).standard_normal((frames, channels)).astype(np.float32)


LP, HP, BP, NOTCH = (
    {"type": t, "frequency_hz": 1000} for t in ("lowpass", "highpass", "bandpass", "notch")
)
PEAK, LOW, HIGH = (
    {"type": t, "frequency_hz": 1000, "gain_db": 12} for t in ("peak_eq", "low_shelf", "high_shelf")
)


# (spec, frequency in Hz, expected amplitude gain); 24000 Hz is Nyquist.
@pytest.mark.parametrize(
    "spec, hz, expected",
    [
        (LP, 0, 1),
        (LP, 1000, 0.70710678),
        (LP, 24000, 0),
        ({**LP, "q": 4}, 1000, 4),
        (HP, 0, 0),
        (HP, 1000, 0.70710678),
        (HP, 24000, 1),
        (BP, 0, 0),
        (BP, 1000, 1),
        (BP, 24000, 0),
        (NOTCH, 0, 1),
        (NOTCH, 1000, 0),
        (NOTCH, 24000, 1),
        (PEAK, 0, 1),
        (PEAK, 1000, DB12),
        (PEAK, 24000, 1),
        ({**PEAK, "gain_db": 0}, 1000, 1),
        (LOW, 0, DB12),
        (LOW, 1000, DB6),
        (LOW, 24000, 1),
        ({**LOW, "gain_db": -12}, 0, 1 / DB12),
        (HIGH, 0, 1),
        (HIGH, 1000, DB6),
        (HIGH, 24000, DB12),
        ({**HIGH, "gain_db": 0}, 24000, 1),
    ],
)
def test_design_response(spec, hz, expected):
    assert magnitude(spec)[hz] == pytest.approx(expected, rel=1e-3, abs=1e-4)


@pytest.mark.parametrize("spec", [LP, PEAK, HIGH])
def test_three_stages_cube_the_single_section(spec):
    np.testing.assert_allclose(
        magnitude({**spec, "stages": 3}), magnitude(spec) ** 3, rtol=1e-3, atol=1e-6
    )


# Pairs of specs that must design the same filter, bit for bit. At 8 Hz the 5 Hz design lies
# above Nyquist and blows up, so NaN is compared too.
@pytest.mark.parametrize(
    "sample_rate, spec, same_as",
    [
        (SR, {**LP, "frequency_hz": 1}, {**LP, "frequency_hz": 5}),
        (SR, {**LP, "frequency_hz": -300}, {**LP, "frequency_hz": 5}),
        (SR, {**LP, "frequency_hz": 30000}, {**LP, "frequency_hz": 0.499 * SR}),
        (8, {**LP, "frequency_hz": 1000}, {**LP, "frequency_hz": 5}),
        (SR, {**BP, "q": 0}, {**BP, "q": 0.001}),
        (SR, {**BP, "q": -2}, {**BP, "q": 0.001}),
        (SR, {**LOW, "slope": 0}, {**LOW, "slope": 0.001}),
        (SR, {**HIGH, "slope": -1}, {**HIGH, "slope": 0.001}),
        (SR, {**PEAK, "stages": 0}, PEAK),
        (SR, {**PEAK, "stages": -7}, PEAK),
    ],
)
def test_clamped_parameters(sample_rate, spec, same_as):
    x = noise()
    assert np.array_equal(
        process_pipeline(x, sample_rate, [spec]),
        process_pipeline(x, sample_rate, [same_as]),
        equal_nan=True,
    )


@pytest.mark.parametrize("spec", [{**s, "gain_db": g} for s in (LOW, HIGH) for g in (30, -30)])
def test_shelf_too_steep_for_its_gain_is_taken_at_slope_one(spec):
    h = impulse_response({**spec, "slope": 2})
    assert np.isfinite(h).all() and np.abs(h[-1000:]).max() < 1e-6  # rings out
    assert np.array_equal(h, impulse_response({**spec, "slope": 1}))


def test_a_slope_taken_as_one_is_warned_of_exactly_when_it_is():
    # The front end said nothing of it: slope 2 with 24 dB ran as slope 1 without a word.
    import warnings

    import kavri

    for spec in (LOW, HIGH):
        for gain in (-40.0, -23.0, -22.9, -20.0, 10.0, 22.8, 22.9, 23.0, 40.0):
            for slope in (1.2, 2.0, 5.0):
                given = {**spec, "gain_db": gain, "slope": slope}
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    kavri.validate_chain([given])
                    kavri.process(np.zeros(8, np.float32), 48000, [given])
                warned = any("the engine uses 1" in str(w.message) for w in caught)
                taken = np.array_equal(
                    impulse_response(given), impulse_response({**given, "slope": 1})
                )
                assert warned == taken, given


def test_every_key_is_read_in_order_even_if_unused():
    read = []

    class Logged(str):
        def __float__(self):
            read.append(str(self))
            return 1000.0

        def __index__(self):
            read.append(str(self))
            return 2

    keys = ["stages", "slope", "gain_db", "q", "frequency_hz"]
    process_pipeline(noise(), SR, [{"type": "lowpass", **{k: Logged(k) for k in reversed(keys)}}])
    assert read == keys


def test_cascade_too_large_for_memory_is_refused():
    x = noise(frames=8, channels=64)
    before = x.copy()
    with pytest.raises(MemoryError):
        process_pipeline(x, SR, [{"type": "lowpass", "stages": 2**31 - 1}])
    assert np.array_equal(x, before)
    assert np.isfinite(process_pipeline(x, SR, [{"type": "lowpass", "stages": 2}])).all()


@pytest.mark.parametrize(
    "spec", [{**LP, "stages": 3}, HP, BP, NOTCH, PEAK, {**LOW, "slope": 1.5}, {**HIGH, "stages": 2}]
)
def test_same_bits_for_every_worker_count_and_block_size(spec):
    x = noise(frames=3001, channels=3)
    reference = process_pipeline(x, SR, [spec])
    for workers in (1, 2, 3):
        for block_size in (1, 7, 2048):
            out = process_pipeline(x, SR, [spec], block_size=block_size, workers=workers)
            assert np.array_equal(out, reference), (workers, block_size)
    for ch in range(3):  # each channel is filtered on its own
        assert np.array_equal(
            process_pipeline(x[:, ch : ch + 1], SR, [spec])[:, 0], reference[:, ch]
        )
    silence = np.zeros_like(x)
    assert np.array_equal(process_pipeline(silence, SR, [spec]), silence)
