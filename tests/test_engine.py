"""What every call guarantees: a new float32 array, the input untouched, exact blocks and
workers."""

import numpy as np
import pytest

from kavri import process_pipeline

rng = np.random.default_rng(1)
AUDIO = rng.uniform(-1.5, 1.5, size=(1000, 3)).astype(np.float32)
CHAIN = [
    {"type": "gain", "db": 4.0},
    {"type": "distortion", "drive": 3.0},
    {"type": "clip", "threshold": 0.7},
]


def test_empty_chain_returns_a_new_equal_array():
    out = process_pipeline(AUDIO, 48000, [])
    assert out is not AUDIO and not np.shares_memory(out, AUDIO)
    assert out.dtype == np.float32 and out.flags.c_contiguous and out.flags.owndata
    assert out.strides == (3 * 4, 4)
    assert np.array_equal(out, AUDIO)


def test_input_is_never_modified():
    before = AUDIO.copy()
    process_pipeline(AUDIO, 48000, CHAIN, workers=3)
    assert np.array_equal(AUDIO, before)


def test_other_dtypes_and_layouts_are_read_logically():
    wide = rng.standard_normal((64, 2))
    assert np.array_equal(
        process_pipeline(wide, 48000, CHAIN),
        process_pipeline(wide.astype(np.float32), 48000, CHAIN),
    )
    transposed = np.ascontiguousarray(AUDIO.T).T  # Fortran order
    sliced = np.repeat(AUDIO, 2, axis=0)[::2]  # strided rows
    for view in (transposed, sliced, AUDIO.tolist()):
        assert np.array_equal(
            process_pipeline(view, 48000, CHAIN), process_pipeline(AUDIO, 48000, CHAIN)
        )


def test_zero_frames():
    empty = np.zeros((0, 2), np.float32)
    out = process_pipeline(empty, 48000, CHAIN, workers=4)
    assert out.shape == (0, 2) and out.dtype == np.float32


@pytest.mark.parametrize("block_size, workers", [(1, 1), (7, 2), (2048, 3), (10**9, 64), (0, 0)])
def test_blocks_and_workers_do_not_change_the_bits(block_size, workers):
    reference = process_pipeline(AUDIO, 48000, CHAIN)
    assert np.array_equal(process_pipeline(AUDIO, 48000, CHAIN, block_size, workers), reference)


def test_effects_apply_in_order():
    twice = process_pipeline(
        AUDIO, 48000, [{"type": "gain", "db": 6.0}, {"type": "gain", "db": 6.0}]
    )
    assert np.array_equal(twice, (AUDIO * np.float32(1.9952624)) * np.float32(1.9952624))
    clip_then_gain = process_pipeline(
        AUDIO, 48000, [{"type": "clip", "threshold": 0.5}, {"type": "gain", "db": 6.0}]
    )
    assert np.max(np.abs(clip_then_gain)) == np.float32(0.5) * np.float32(1.9952624)
