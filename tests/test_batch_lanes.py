"""Batches: every item of process_batch and augment_batch is the bits of its own call, at
every lane width this processor runs and on the scalar path; the native draw is the Python
draw; batches take and refuse audio as process does, and memory they cannot have; arrays of
other libraries come back as their own kind; batches run beside other threads; a collate
function augments a whole batch in worker processes."""

from __future__ import annotations

import math
import multiprocessing
import pickle

import numpy as np
import pytest

import kavri
from kavri import _engine
from kavri.catalogue import EFFECTS, ENGINE_TYPES

# Some values lie outside their ranges (drawn so on purpose, or a preset's shelf above a
# 16 kHz rate's Nyquist): the engine clamps them, and a batch must clamp them as one call.
pytestmark = pytest.mark.filterwarnings("ignore::kavri.clamps.ClampWarning")

RATE = 16_000
WIDTHS = _engine.lane_widths()  # widest first, 1 (no lanes) last


def random_spec(rng: np.random.Generator, effect_type: str) -> dict:
    """A spec of the type with a random value for each key, inside its range mostly and
    sometimes outside it (a clamp), kept small where a key sets a size."""
    spec: dict = {"type": effect_type}
    for param in EFFECTS[effect_type].params:
        if rng.random() < 0.3:
            continue
        if param.integer:
            spec[param.key] = int(rng.integers(1, 7))
            continue
        low = param.minimum if param.minimum is not None else -24.0
        high = param.maximum if param.maximum is not None else (low + 1) * 8 + 40
        if param.maximum_rate_fraction is not None:
            high = param.maximum_rate_fraction * RATE
        if param.key.endswith("_ms"):
            high = min(high, 60.0)
        high = max(high, low + 1)
        value = float(rng.uniform(low, high))
        if rng.random() < 0.05:
            value = float(high) * 1.5 + 1
        spec[param.key] = value
    return spec


LANE_TYPES = ["gain", "clip", "distortion", "limiter", "compressor", "tremolo", "delay"] + [
    "lowpass",
    "highpass",
    "bandpass",
    "notch",
    "peak_eq",
    "low_shelf",
    "high_shelf",
]


def random_chain(rng: np.random.Generator) -> list[dict]:
    """Mostly chains the lanes run, some with any engine effect."""
    types = LANE_TYPES if rng.random() < 0.75 else sorted(ENGINE_TYPES)
    return [random_spec(rng, str(rng.choice(types))) for _ in range(int(rng.integers(0, 6)))]


def random_batch(rng: np.random.Generator) -> tuple[list[np.ndarray], list[list[dict]]]:
    channels = int(rng.integers(1, 4))
    count = int(rng.integers(1, 41))
    items, chains = [], []
    for _ in range(count):
        frames = int(rng.integers(0, 5001)) if rng.random() < 0.8 else int(rng.integers(0, 40))
        level = float(rng.uniform(0.01, 2.0))
        item = (level * rng.standard_normal((frames, channels))).astype(np.float32)
        if frames > 40 and rng.random() < 0.2:
            item[-7, 0], item[-20, -1], item[-30, 0] = np.nan, np.inf, 1e-41
        items.append(item)
        chains.append(random_chain(rng))
    return items, chains


def assert_items_equal(out: list[np.ndarray], expected: list[np.ndarray]) -> None:
    assert len(out) == len(expected)
    for got, want in zip(out, expected, strict=True):
        assert got.dtype == np.float32 and got.shape == want.shape
        assert np.array_equal(got, want, equal_nan=True)


def check_random_batches(seeds: range) -> None:
    for seed in seeds:
        rng = np.random.default_rng(seed)
        items, chains = random_batch(rng)
        expected = [
            kavri.process(item, RATE, chain) for item, chain in zip(items, chains, strict=False)
        ]
        for width in WIDTHS:
            with _engine.lane_width(width):
                for workers in (1, 2):
                    out = kavri.process_batch(items, RATE, chains, workers=workers)
                    assert_items_equal(out, expected)


def test_every_item_is_its_own_call_at_every_lane_width():
    check_random_batches(range(12))


@pytest.mark.slow
def test_every_item_is_its_own_call_over_many_random_batches():
    check_random_batches(range(100, 300))


def test_one_chain_for_all_and_arrays_of_one_length():
    rng = np.random.default_rng(7)
    mono = (0.4 * rng.standard_normal((33, 1500))).astype(np.float32)
    stereo = (0.4 * rng.standard_normal((9, 1200, 2))).astype(np.float32)
    before = mono.copy()
    chain = [
        {"type": "highpass", "frequency_hz": 200.0, "stages": 3},
        {"type": "compressor", "ratio": 3.0},
        {"type": "delay", "delay_ms": 3.0},
        {"type": "limiter", "ceiling_db": -3.0},
    ]
    for width in WIDTHS:
        with _engine.lane_width(width):
            out = kavri.process_batch(mono, RATE, chain)
            assert out.shape == mono.shape and out.dtype == np.float32
            # Writeable, contiguous, and on a cache line, where the kernels stream whole lines.
            assert out.flags.writeable and out.flags.c_contiguous and out.ctypes.data % 64 == 0
            assert np.array_equal(out, np.stack([kavri.process(x, RATE, chain) for x in mono]))
            out = kavri.process_batch(stereo, RATE, "vocal", block_size=512)
            want = [kavri.process(x, RATE, "vocal", block_size=512) for x in stereo]
            assert np.array_equal(out, np.stack(want))
    # The input is never written; a batch of no items gives one of no items.
    assert np.array_equal(mono, before)
    assert kavri.process_batch(np.zeros((0, 10), np.float32), RATE, chain).shape == (0, 10)
    assert kavri.process_batch([], RATE, chain) == []


def test_batches_take_and_refuse_audio_as_process_does():
    rng = np.random.default_rng(3)
    chain = [{"type": "peak_eq", "gain_db": 4.0}]
    pcm = rng.integers(-(2**15), 2**15, (4, 800), dtype=np.int16)
    out = kavri.process_batch(pcm, RATE, chain)
    assert np.array_equal(out, np.stack([kavri.process(x, RATE, chain) for x in pcm]))
    mixed = [pcm[0], rng.uniform(-1, 1, 300).astype(np.float64), [0.1, -0.2, 0.3]]
    out = kavri.process_batch(mixed, RATE, [chain, chain, []])
    assert [x.shape for x in out] == [(800,), (300,), (3,)]
    assert_items_equal(
        out, [kavri.process(x, RATE, c) for x, c in zip(mixed, [chain, chain, []], strict=False)]
    )
    with pytest.raises(ValueError, match="item 1 has 2 channels, item 0 has 1 channel: a batch"):
        kavri.process_batch([np.zeros(10), np.zeros((10, 2))], RATE, chain)
    with pytest.raises(ValueError, match="looks channels-first"):
        kavri.process_batch(np.zeros((3, 2, 48000), np.float32), RATE, chain)
    with pytest.raises(ValueError, match="^item 0: .*looks channels-first"):
        kavri.process_batch([np.zeros((2, 48000), np.float32)], RATE, chain)
    # A refused item is named, as a mismatched one is (the message was process's alone).
    with pytest.raises(TypeError, match="^item 2: audio of integer type int64"):
        kavri.process_batch([pcm[0], pcm[1], pcm[2].astype(np.int64)], RATE, chain)
    with pytest.raises(ValueError, match=r"\(items, frames\) or \(items, frames, channels\)"):
        kavri.process_batch(np.zeros(10, np.float32), RATE, chain)
    with pytest.raises(TypeError, match="no known full scale"):
        kavri.process_batch(np.zeros((2, 10), np.int64), RATE, chain)
    with pytest.raises(ValueError, match="2 chains for a batch of 3 items"):
        kavri.process_batch(np.zeros((3, 10), np.float32), RATE, [chain, chain])
    with pytest.raises(ValueError, match="has 1 chain for a batch of 2 items"):
        kavri.process_batch(np.zeros((2, 10), np.float32), RATE, ["vocal"])
    with pytest.raises(kavri.ChainError, match="unknown effect type"):
        kavri.process_batch(np.zeros((2, 10), np.float32), RATE, [[{"type": "gian"}], chain])
    with pytest.raises(ValueError, match="sample_rate"):
        kavri.process_batch(np.zeros((2, 10), np.float32), 0, chain)
    with pytest.raises(MemoryError, match="delay"):
        kavri.process_batch([np.zeros(4, np.float32)], RATE, [{"type": "delay", "delay_ms": 3e38}])
    with pytest.raises(ValueError, match="lane width 3"):
        with _engine.lane_width(3):
            pass


class Tensorish:
    """An array of another library: DLPack export over a NumPy buffer, and a class method
    that makes one from any DLPack exporter, as torch.from_dlpack does."""

    def __init__(self, data: np.ndarray) -> None:
        self.data = data

    def __dlpack__(self, **kwargs):
        return self.data.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.data.__dlpack_device__()

    @classmethod
    def from_dlpack(cls, other) -> Tensorish:
        return cls(np.from_dlpack(other))


def test_arrays_of_other_libraries_are_read_in_place_and_returned_as_their_kind():
    rng = np.random.default_rng(5)
    data = (0.3 * rng.standard_normal((6, 900))).astype(np.float32)
    chain = [{"type": "lowpass", "frequency_hz": 2000.0}]
    seen = []
    original = _engine._process_batch

    def spy(batch, *args):
        seen.append(batch)
        return original(batch, *args)

    _engine._process_batch = spy
    try:
        out = kavri.process_batch(Tensorish(data), RATE, chain)
    finally:
        _engine._process_batch = original
    assert np.shares_memory(seen[0], data)  # no copy on the way in
    assert type(out) is Tensorish and out.data.shape == data.shape
    assert np.array_equal(out.data, kavri.process_batch(data, RATE, chain))
    one = kavri.process(Tensorish(data[0]), RATE, chain)
    assert type(one) is Tensorish and np.array_equal(one.data, out.data[0])
    # With a loudness target too: it had come back as a NumPy array.
    second = (0.3 * rng.standard_normal(RATE)).astype(np.float32)
    louder = kavri.process(Tensorish(second), RATE, chain, loudness=-20)
    assert type(louder) is Tensorish
    assert np.array_equal(louder.data, kavri.process(second, RATE, chain, loudness=-20))
    listed = kavri.process_batch([Tensorish(data[0]), data[1]], RATE, chain)
    assert type(listed[0]) is Tensorish and type(listed[1]) is np.ndarray
    augmented, _ = kavri.augment_batch(Tensorish(data), RATE, [{"type": "gain"}], seed=1)
    assert type(augmented) is Tensorish


def test_torch_tensors_in_and_out():
    torch = pytest.importorskip("torch")
    data = torch.randn(4, 700, dtype=torch.float32) * 0.3
    chain = [{"type": "highpass", "frequency_hz": 100.0}]
    out = kavri.process_batch(data, RATE, chain)
    assert isinstance(out, torch.Tensor) and out.shape == data.shape
    assert np.array_equal(out.numpy(), kavri.process_batch(data.numpy(), RATE, chain))


# --- augment_batch and the native draw ------------------------------------------------------

DESCRIPTION = {
    "chain": [
        {"type": "gain", "db": {"uniform": [-6, 6]}, "p": 0.8},
        {
            "type": "highpass",
            "frequency_hz": {"log_uniform": [20, 400]},
            "stages": {"uniform": [1, 2]},
        },
        {
            "one_of": [
                {"type": "distortion", "drive": {"choice": [1.5, 3, 6]}},
                {"type": "clip", "threshold": {"uniform": [0.3, 0.9]}},
                {"type": "phaser", "stages": {"uniform": [2, 6]}},
            ],
            "weights": [2, 1, 1],
            "p": 0.7,
        },
        {
            "some_of": [
                {"type": "peak_eq", "gain_db": {"uniform": [-9, 9]}},
                {"type": "lowpass", "stages": {"log_uniform": [1, 3]}},
                {"type": "limiter", "ceiling_db": -1},
            ],
            "count": [1, 2],
        },
    ]
}


def test_augment_batch_is_a_loop_of_augment():
    rng = np.random.default_rng(11)
    stacked = (0.5 * rng.standard_normal((24, 2000))).astype(np.float32)
    listed = [(0.5 * rng.standard_normal((n, 2))).astype(np.float32) for n in (0, 5, 3000, 999)]
    random_chain = kavri.RandomChain(DESCRIPTION)
    for width in WIDTHS:
        with _engine.lane_width(width):
            out, chains = kavri.augment_batch(stacked, RATE, random_chain, seed=9)
            for i in range(len(stacked)):
                one, chain = kavri.augment(stacked[i], RATE, random_chain, seed=9, index=i)
                assert chains[i] == chain and np.array_equal(out[i], one)
            indices = [2**64 - 1, 0, 17, 17]
            out, chains = kavri.augment_batch(
                listed, RATE, DESCRIPTION, seed=2**64 - 1, indices=indices, workers=2
            )
            for item, index, got, chain in zip(listed, indices, out, chains, strict=True):
                one, drawn = kavri.augment(item, RATE, DESCRIPTION, seed=2**64 - 1, index=index)
                assert drawn == chain and np.array_equal(got, one)
    with pytest.raises(ValueError, match="2 indices for a batch of 4 items"):
        kavri.augment_batch(listed, RATE, DESCRIPTION, seed=1, indices=[1, 2])
    with pytest.raises(ValueError, match=r"within \[0, 2\*\*64\)"):
        kavri.augment_batch(listed, RATE, DESCRIPTION, seed=1, indices=[0, 1, 2, -1])


def test_the_native_draw_keeps_the_pinned_sample():
    from test_augment import DESCRIPTION as PINNED_DESCRIPTION
    from test_augment import PINNED

    chain = kavri.RandomChain(PINNED_DESCRIPTION)
    drawn = chain._sample_many(1234, [11])[0]
    assert drawn == PINNED
    assert [type(v) for s in drawn for v in s.values()] == [
        type(v) for s in PINNED for v in s.values()
    ]


def random_distribution(rng: np.random.Generator, integer: bool, most: float | None) -> object:
    kind = rng.choice(["uniform", "log_uniform", "choice"])
    if kind == "choice":
        values = [
            int(v) if integer or rng.random() < 0.3 else float(v) for v in rng.integers(1, 9, 3)
        ]
        return {"choice": values}
    if integer:
        lo = int(rng.integers(1, 5))
        return {str(kind): [lo, lo + int(rng.integers(1, 6))]}
    # Up to a quarter of the largest float32, or an eighth of the bound of a gain in dB.
    huge = 3e38 / 4 if most is None else most / 8
    lo = float(rng.choice([rng.uniform(0.001, 10), rng.integers(1, 20), 1e-30, huge]))
    hi = lo * float(rng.uniform(1.01, 4)) if rng.random() < 0.8 or lo > 1e6 else lo + 1
    if kind == "uniform" and rng.random() < 0.4:
        lo = -hi
    return {str(kind): [lo, hi]}


def random_item(rng: np.random.Generator, depth: int = 0) -> dict:
    roll = rng.random()
    if depth < 3 and roll < 0.2:
        items = [random_item(rng, depth + 1) for _ in range(int(rng.integers(1, 4)))]
        item: dict = {"one_of": items}
        if rng.random() < 0.5:
            item["weights"] = [float(w) for w in rng.choice([0.0, 0.5, 1.0, 3.0], len(items))]
            item["weights"][0] = 1.0
    elif depth < 3 and roll < 0.4:
        items = [random_item(rng, depth + 1) for _ in range(int(rng.integers(1, 5)))]
        lo = int(rng.integers(0, len(items) + 1))
        item = {"some_of": items, "count": [lo, int(rng.integers(lo, len(items) + 1))]}
    else:
        effect_type = str(rng.choice(sorted(ENGINE_TYPES)))
        item = {"type": effect_type}
        for param in EFFECTS[effect_type].params:
            if rng.random() < 0.5:
                item[param.key] = (
                    random_distribution(rng, param.integer, param.overflow)
                    if rng.random() < 0.7
                    else (int(rng.integers(1, 4)) if param.integer else float(rng.uniform(-3, 3)))
                )
    if rng.random() < 0.4:
        item["p"] = float(rng.choice([0.0, 0.3, 0.5, 1.0, rng.random()]))
    return item


def test_the_native_draw_is_the_python_draw_over_random_descriptions():
    for seed in range(150):
        rng = np.random.default_rng(seed)
        description = [random_item(rng) for _ in range(int(rng.integers(1, 6)))]
        chain = kavri.RandomChain(description)
        key = int(rng.integers(0, 2**63)) * 2 + 1 if seed % 2 else seed
        indices = [0, 1, 2**64 - 1, *map(int, rng.integers(0, 2**63, 20))]
        native = chain._sample_many(key, indices)
        for index, drawn in zip(indices, native, strict=True):
            python = chain.sample(key, index)
            assert drawn == python
            # The same numbers of the same Python types, bit for bit.
            assert repr(drawn) == repr(python)
    # A pickled chain draws as its original, natively too.
    copy = pickle.loads(pickle.dumps(chain))
    assert copy._sample_many(5, [3]) == chain._sample_many(5, [3]) == [chain.sample(5, 3)]
    assert math.isfinite(len(native))


# --- a collate function that augments the whole batch ---------------------------------------


def collate(items: list[tuple[int, np.ndarray]]) -> tuple[np.ndarray, list]:
    """What a DataLoader's collate_fn does in the docs' recipe: one call for the batch, each
    clip keyed by its dataset index."""
    indices = [index for index, _ in items]
    audio = np.stack([clip for _, clip in items])
    return kavri.augment_batch(audio, RATE, DESCRIPTION, seed=7, indices=indices)


@pytest.mark.slow
def test_a_collate_function_gives_the_same_batches_in_worker_processes():
    rng = np.random.default_rng(2)
    clips = [(i, (0.4 * rng.standard_normal(1600)).astype(np.float32)) for i in range(12)]
    batches = [clips[0:4], clips[4:8], clips[8:12]]
    here = [collate(batch) for batch in batches]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        there = pool.map(collate, batches)
    for (a, chains_a), (b, chains_b) in zip(here, there, strict=True):
        assert np.array_equal(a, b) and chains_a == chains_b
    for (index, clip), row in zip(clips[4:8], here[1][0], strict=True):
        assert np.array_equal(row, kavri.augment(clip, RATE, DESCRIPTION, seed=7, index=index)[0])


# --- memory, threads and the interpreter lock ------------------------------------------------


def test_a_batch_is_refused_before_it_allocates_when_it_cannot_fit(monkeypatch):
    # 64 MiB of outputs (and as much of input, already held) against 48 MiB available.
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(48 << 20))
    big = np.zeros((64, 1 << 18), np.float32)
    with pytest.raises(MemoryError, match="the batch of 64 items needs"):
        kavri.process_batch(big, RATE, [{"type": "gain"}])
    # One chain that cannot fit alone is named as a pipeline call names it.
    small = np.zeros((2, 100), np.float32)
    with pytest.raises(MemoryError, match='delay: "delay_ms" = 10000000 on 1 channel needs'):
        kavri.process_batch(small, RATE, [[{"type": "gain"}], [{"type": "delay", "delay_ms": 1e7}]])
    monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
    assert kavri.process_batch(small, RATE, [{"type": "gain"}]).shape == small.shape


def test_batches_from_several_threads_at_once_match_their_serial_results():
    rng = np.random.default_rng(21)
    batches = [random_batch(np.random.default_rng(seed)) for seed in range(6)]
    serial = [kavri.process_batch(items, RATE, chains) for items, chains in batches]

    def run(k: int) -> list[np.ndarray]:
        items, chains = batches[k]
        return kavri.process_batch(items, RATE, chains, workers=int(rng.integers(1, 3)))

    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(run, [k % 6 for k in range(18)]))
    for k, out in enumerate(results):
        assert_items_equal(out, serial[k % 6])


def test_other_threads_run_while_a_batch_runs(ticks_beside):
    clips = np.random.default_rng(6).uniform(-1, 1, (64, 200_000)).astype(np.float32)
    chain = [{"type": "distortion"}, {"type": "phaser"}]
    assert ticks_beside(lambda: kavri.process_batch(clips, RATE, chain)) >= 3


def test_arrays_of_other_libraries_in_other_types_and_layouts():
    rng = np.random.default_rng(8)
    chain = [{"type": "peak_eq", "gain_db": 3.0}]
    wide = (0.3 * rng.standard_normal((900, 5))).astype(np.float64)
    strided = Tensorish(np.ascontiguousarray(wide.T)[:, ::2])  # float64, not contiguous
    out = kavri.process_batch(strided, RATE, chain)
    assert type(out) is Tensorish and out.data.dtype == np.float32
    assert np.array_equal(out.data, kavri.process_batch(strided.data, RATE, chain))
    pcm = Tensorish((rng.standard_normal((3, 400)) * 3000).astype(np.int16))
    assert np.array_equal(
        kavri.process_batch(pcm, RATE, chain).data, kavri.process_batch(pcm.data, RATE, chain)
    )


def test_chains_with_steps_give_each_items_own_call():
    """Steps (which change the rate, length or channels, and run between the engine's
    effects), noise and rooms in a batch: every item is its own call, and a batch whose
    results differ in shape comes back as a list."""
    batch = np.random.default_rng(1).standard_normal((5, 3000, 2)).astype(np.float32) * 0.1
    chains = [
        [{"type": "gain", "db": 3}],
        [{"type": "resample", "rate_hz": 8000}],
        [{"type": "mixdown"}],
        [{"type": "noise", "colour": "pink", "snr_db": 10, "seed": 4}],
        [{"type": "lowpass"}, {"type": "reverb", "room_size": 0.3}],
    ]
    out = kavri.process_batch(batch, 16_000, chains)
    assert isinstance(out, list) and [o.shape for o in out][1:3] == [(1500, 2), (3000, 1)]
    for item, chain, got in zip(batch, chains, out, strict=True):
        assert np.array_equal(got, kavri.process(item, 16_000, chain))
    trimmed = kavri.process_batch(batch, 16_000, [{"type": "trim", "end_frames": 10}])
    assert isinstance(trimmed, np.ndarray) and trimmed.shape == (5, 2990, 2)
    description = [
        {"type": "noise", "colour": {"choice": ["white", "pink"]}, "snr_db": {"uniform": [5, 20]}},
        {"type": "gain", "db": {"uniform": [-3, 3]}},
    ]
    audio, drawn = kavri.augment_batch(batch, 16_000, description, seed=3)
    for index, item in enumerate(batch):
        one, chain = kavri.augment(item, 16_000, description, seed=3, index=index)
        assert chain == drawn[index] and np.array_equal(one, audio[index])


def test_a_batch_with_steps_is_planned_and_counted_whole_as_process_takes_items(monkeypatch):
    # With a step in a chain, each item ran alone: the outputs (and their stacked copy)
    # were never asked of the guard as a whole, a chain that could not work was found after
    # the items before it had run and named no item, no clamp was warned of, and an item
    # of no channels came back empty or was refused in soxr's words.
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(48 << 20))
    wide = np.zeros((100, 100_000), np.float32)
    with pytest.raises(MemoryError, match="^the outputs of a batch of 100 items needs"):
        kavri.process_batch(wide, RATE, [{"type": "gain"}, {"type": "polarity"}])
    monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
    items = np.zeros((3, 100, 2), np.float32)
    bad = [[{"type": "polarity"}]] * 2 + [[{"type": "channels", "matrix": [[1, 0, 0]]}]]
    with pytest.raises(kavri.ChainError, match="^item 2's chain: effect 1 .'channels'."):
        kavri.process_batch(items, RATE, bad)
    clamped = [{"type": "lowpass", "frequency_hz": 12_000}]
    for chain in (clamped, [*clamped, {"type": "polarity"}]):
        with pytest.warns(kavri.ClampWarning, match="frequency_hz = 12000"):
            kavri.process_batch(items, RATE, chain)
    with pytest.raises(ValueError, match="at least one channel"):
        kavri.process_batch([np.zeros((10, 0), np.float32)], RATE, [{"type": "polarity"}])
    # A view's copy is asked of the guard first: it had met NumPy's "Unable to allocate".
    view = np.broadcast_to(np.float32(0), (4, 10**12))
    with pytest.raises(MemoryError, match="^the float32 copy of a 4 x 10+ x 1 float32 array"):
        kavri.process_batch(view, RATE, [{"type": "gain"}])
    with pytest.raises(MemoryError, match="^a batch of 1,000,000,000 items' bookkeeping needs"):
        kavri.process_batch(np.broadcast_to(np.float32(0), (10**9, 2)), RATE, [])
    # A big-endian int16 is int16: it was refused as having no known full scale.
    assert np.array_equal(
        kavri.process(np.arange(4, dtype=">i2"), RATE, []), np.arange(4) / np.float32(32768)
    )
