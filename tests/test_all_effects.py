"""Every effect type with its defaults on a busy signal, and every type's independence from the
worker count and the block size."""

import re

import numpy as np
import pytest

from kavri import process_pipeline
from kavri.catalogue import ENGINE_TYPES

FS = 48000

TYPES = list(ENGINE_TYPES)

# With their defaults these leave the audio as it is, up to rounding: no gain, width 1, and
# bell and shelves at 0 dB.
NEUTRAL_BY_DEFAULT = {"gain", "stereo_width", "peak_eq", "low_shelf", "high_shelf"}


def busy_signal(frames, channels, seed=0):
    """Tones low, mid and in the dynamic EQ's band, hiss and clicks past full scale, then a
    tail quiet and long enough for the slowest release to fall below the expander, gate and
    upward-compression thresholds; each channel a little different."""
    rng = np.random.default_rng(seed)
    n = np.arange(frames)
    columns = []
    for ch in range(channels):
        phase = 0.7 * ch
        x = (
            0.3 * np.sin(2 * np.pi * 60 * n / FS + phase)
            + 0.2 * np.sin(2 * np.pi * 1200 * n / FS + 2 * phase)
            + 0.2 * np.sin(2 * np.pi * 2800 * n / FS + 3 * phase)
            + 0.05 * rng.standard_normal(frames)
        )
        x[(n % 3000) == 1500 + 100 * ch] = 1.2
        tail = n >= frames * 7 // 20
        x[tail] = 0.002 * rng.standard_normal(int(tail.sum()))
        columns.append(x)
    return np.stack(columns, axis=1).astype(np.float32)


# A build of part of the effects names each missing family with this message.
NOT_BUILT = re.compile(r"Effect type '[^']*' is not available in this build yet\.")


def run_or_skip(x, spec, **kwargs):
    try:
        return process_pipeline(x, FS, [spec], **kwargs)
    except RuntimeError as error:
        if NOT_BUILT.fullmatch(str(error)):
            pytest.skip(f"{spec['type']} is not built here")
        raise


@pytest.mark.parametrize("effect_type", TYPES)
def test_every_type_runs_with_its_defaults(effect_type):
    x = busy_signal(FS, 2)
    y = run_or_skip(x, {"type": effect_type})
    assert y.dtype == np.float32 and y.shape == x.shape
    assert np.all(np.isfinite(y))
    if effect_type in NEUTRAL_BY_DEFAULT:
        assert np.allclose(y, x, atol=1e-5)
    else:
        assert np.abs(y - x).max() > 1e-3


@pytest.mark.parametrize("effect_type", TYPES)
def test_output_is_the_same_for_every_worker_count_and_block_size(effect_type):
    x = busy_signal(6000, 3, seed=1)
    spec = {"type": effect_type}
    reference = run_or_skip(x, spec)
    for block_size in (1, 7, 2048):
        if effect_type == "dynamic_eq":
            # Its gain is set once per block, so only the workers must not matter.
            reference = process_pipeline(x, FS, [spec], block_size=block_size)
        for workers in (1, 2, 3):
            y = process_pipeline(x, FS, [spec], block_size=block_size, workers=workers)
            assert np.array_equal(y, reference, equal_nan=True), (block_size, workers)


@pytest.mark.parametrize("effect_type", TYPES)
def test_a_first_effect_gives_the_bits_it_gives_after_another(effect_type):
    """Some effects, run first, read the input and write the output in one pass instead of
    working on a copy. Run after an effect that leaves every sample as it is, each works in
    place; both ways give the same bits, in one, two and three channels, and the input is never
    written."""
    for channels in (1, 2, 3):
        x = busy_signal(6000, channels, seed=2)
        kept = x.copy()
        first = run_or_skip(x, {"type": effect_type})
        after = process_pipeline(x, FS, [{"type": "gain", "db": 0.0}, {"type": effect_type}])
        assert np.array_equal(first.view(np.uint32), after.view(np.uint32)), channels
        assert np.array_equal(x.view(np.uint32), kept.view(np.uint32)), channels
