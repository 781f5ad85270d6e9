"""Random chains: draws inside their distributions and at their rates, one fixed sample, the
same chain in other processes, refusals with their place, and the augment command's
variants, manifest replay and independence from the file set, the job count and Dask."""

from __future__ import annotations

import json
import multiprocessing
import pickle
import random
import threading
import time
import warnings
from concurrent.futures import Executor, ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import kavri
from kavri.cli import main
from kavri.runs.augment import MANIFEST_NAME, read_manifest, variant_index

RATE = 16_000

DESCRIPTION = {
    "chain": [
        {"type": "gain", "db": {"uniform": [-6, 6]}, "p": 0.3},
        {"type": "highpass", "frequency_hz": {"log_uniform": [20, 400]}, "q": 0.7},
        {
            "one_of": [
                {"type": "distortion", "drive": {"choice": [1.5, 3, 6]}},
                {"type": "clip", "threshold": {"uniform": [0.3, 0.9]}},
                {"type": "phaser", "stages": {"uniform": [2, 6]}},
            ],
            "weights": [2, 1, 1],
        },
        {
            "some_of": [
                {"type": "peak_eq", "gain_db": {"uniform": [-9, 9]}},
                {
                    "type": "lowpass",
                    "frequency_hz": {"log_uniform": [2000, 7000]},
                    "stages": {"log_uniform": [1, 3]},
                },
                {"type": "limiter", "ceiling_db": -1},
            ],
            "count": [1, 2],
        },
    ]
}
ONE_OF = ("distortion", "clip", "phaser")
SOME_OF = ("peak_eq", "lowpass", "limiter")


def test_draws_stay_inside_their_distributions_and_follow_p_and_weights():
    chain = kavri.RandomChain(DESCRIPTION)
    n = 4000
    gains = picks = 0
    firsts = {name: 0 for name in ONE_OF}
    for index in range(n):
        specs = chain.sample(99, index)
        types = [s["type"] for s in specs]
        if types[0] == "gain":
            gains += 1
            assert -6 <= specs.pop(0)["db"] <= 6
        highpass, chosen, *rest = specs
        assert highpass["type"] == "highpass" and highpass["q"] == 0.7
        assert 20 <= highpass["frequency_hz"] <= 400
        assert chosen["type"] in ONE_OF
        firsts[chosen["type"]] += 1
        if chosen["type"] == "distortion":
            assert chosen["drive"] in (1.5, 3, 6)
        elif chosen["type"] == "clip":
            assert 0.3 <= chosen["threshold"] <= 0.9
        else:
            assert type(chosen["stages"]) is int and 2 <= chosen["stages"] <= 6
        names = [s["type"] for s in rest]
        assert 1 <= len(names) <= 2 and names == sorted(names, key=SOME_OF.index)
        assert len(set(names)) == len(names)
        for spec in rest:
            if spec["type"] == "lowpass":
                assert 2000 <= spec["frequency_hz"] <= 7000
                assert type(spec["stages"]) is int and 1 <= spec["stages"] <= 3
            elif spec["type"] == "peak_eq":
                assert -9 <= spec["gain_db"] <= 9
        picks += len(names) == 2
        assert all(type(v) in (str, int, float) for s in specs for v in s.values())
    # Binomial counts: the bounds are over five standard deviations wide.
    assert abs(gains / n - 0.3) < 0.04
    assert abs(firsts["distortion"] / n - 0.5) < 0.04
    assert abs(firsts["clip"] / n - 0.25) < 0.035
    assert abs(picks / n - 0.5) < 0.04
    never_first = kavri.RandomChain(
        [{"one_of": [{"type": "gain"}, {"type": "clip"}], "weights": [0, 1]}]
    )
    assert all(never_first.sample(1, i) == [{"type": "clip"}] for i in range(300))


PINNED = [
    {"type": "gain", "db": 5.96401407119968},
    {"type": "highpass", "frequency_hz": 24.827724061005615, "q": 0.7},
    {"type": "distortion", "drive": 1.5},
    {"type": "lowpass", "frequency_hz": 3647.9086965245906, "stages": 2},
    {"type": "limiter", "ceiling_db": -1},
]


def test_a_sample_is_pinned_and_depends_only_on_seed_and_index():
    chain = kavri.RandomChain(DESCRIPTION)
    # Fixed values: a change here means every augmentation made so far would change.
    assert chain.sample(1234, 11) == PINNED
    # The first two draws as the format states them: Philox-4x64 keyed (seed, index),
    # u = (word >> 11) / 2**53; the gain's p, then its uniform range.
    words = np.random.Philox(key=np.array([1234, 11], dtype=np.uint64)).random_raw(2)
    u = [int(w >> np.uint64(11)) / 2.0**53 for w in words]
    assert u[0] < 0.3 and PINNED[0]["db"] == -6 + 12 * u[1]
    random.seed(0)
    np.random.seed(0)
    again = chain.sample(1234, 11)
    np.random.seed(1)
    assert again == chain.sample(1234, 11) == PINNED
    assert chain.sample(1234, 12) != PINNED and chain.sample(1235, 11) != PINNED
    assert chain.sample(0) == chain.sample(0, 0)
    assert chain.sample(2**64 - 1, 2**64 - 1)
    for bad in (-1, 2**64):
        with pytest.raises(ValueError, match=r"within \[0, 2\*\*64\)"):
            chain.sample(bad)
    with pytest.raises(TypeError, match="whole number"):
        chain.sample(1.5)


def _draw_in_child(args):
    blob, seed, indices = args
    chain = pickle.loads(blob)
    return [chain.sample(seed, i) for i in indices]


@pytest.mark.slow
def test_the_same_chain_in_other_threads_and_processes():
    chain = kavri.RandomChain(DESCRIPTION)
    copy = pickle.loads(pickle.dumps(chain))
    assert copy == chain and copy.description == chain.description
    assert kavri.RandomChain(chain.description) == chain
    indices = list(range(20))
    with ThreadPoolExecutor(4) as pool:
        for _ in range(5):
            assert (
                list(pool.map(lambda i: chain.sample(5, i), indices * 10))
                == [chain.sample(5, i) for i in indices] * 10
            )
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        remote = pool.map(
            _draw_in_child,
            [(pickle.dumps(chain), 5, indices[:10]), (pickle.dumps(chain), 5, indices[10:])],
        )
    assert remote[0] + remote[1] == [chain.sample(5, i) for i in indices]


@pytest.mark.parametrize("shape", [(3000,), (3000, 2)])
def test_augment_is_process_pipeline_over_the_chain_it_returns(shape):
    rng = np.random.default_rng(3)
    audio = (0.5 * rng.standard_normal(shape)).astype(np.float32)
    before = audio.copy()
    for index in range(6):
        out, chain = kavri.augment(
            audio, RATE, DESCRIPTION, seed=11, index=index, block_size=512, workers=2
        )
        assert out.shape == audio.shape and out.dtype == np.float32
        assert chain == kavri.RandomChain(DESCRIPTION).sample(11, index)
        frames = audio.reshape(shape[0], -1)
        direct = kavri.process_pipeline(frames, RATE, chain).reshape(shape)
        assert np.array_equal(out, direct)
    assert np.array_equal(audio, before)


def nested(depth: int) -> dict:
    """A one_of inside a one_of, ``depth`` groups deep."""
    item: dict = {"type": "clip"}
    for _ in range(depth):
        item = {"one_of": [item]}
    return item


def nested_list(depth: int) -> list:
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("item", "message"),
    [
        ({"type": "gian"}, "chain[0]: unknown effect type 'gian' (did you mean 'gain'?)"),
        (
            {"type": "gain", "dbb": 1},
            "chain[0]: \"gain\": unknown parameter 'dbb' (did you mean 'db'?)",
        ),
        (
            {"one_of": [{"type": "clip"}, {"type": "gain", "db": {"uniform": [3, 1]}}]},
            'chain[0].one_of[1]: "gain": "db": uniform range [3, 1] is reversed',
        ),
        ({"type": "gain", "db": {"uniform": [2, 2]}}, "uniform range [2, 2] is empty"),
        ({"type": "gain", "db": {"uniform": [1]}}, "uniform needs a list [lo, hi]"),
        (
            {"type": "gain", "db": {"unifrom": [0, 1]}},
            "unknown distribution 'unifrom' (did you mean 'uniform'?)",
        ),
        ({"type": "lowpass", "frequency_hz": {"log_uniform": [0, 900]}}, "[0, 900] reaches 0"),
        ({"type": "gain", "db": {"log_uniform": [-9, -1]}}, "[-9, -1] is not above 0"),
        ({"type": "gain", "db": {"choice": []}}, "choice needs a non-empty list"),
        ({"type": "gain", "db": {"uniform": [0, float("inf")]}}, '"db": uniform: must be finite'),
        ({"type": "gain", "db": float("nan")}, '"db": must be finite'),
        ({"type": "phaser", "stages": {"uniform": [1.5, 4]}}, "must be a whole number, got 1.5"),
        ({"type": "gain", "p": 1.5}, '"gain": "p" must be within [0, 1], got 1.5'),
        ({"some_of": [{"type": "clip"}], "count": [0, 2]}, '"count" [0, 2] is beyond the 1 item'),
        ({"some_of": [{"type": "clip"}, {"type": "gain"}], "count": [2, 1]}, "[2, 1] is reversed"),
        ({"some_of": [{"type": "clip"}]}, 'needs a "count"'),
        ({"one_of": []}, '"one_of" must be a non-empty list'),
        ({"one_of": [{"type": "clip"}], "weights": [1, 2]}, "must be a list of 1 numbers"),
        ({"one_of": [{"type": "clip"}], "count": [1, 1]}, "unknown key 'count' in one_of"),
        ({"one_of": [{"type": "clip"}], "p": -0.1}, 'chain[0]: "p" must be within [0, 1]'),
        ({"db": 3}, 'chain[0]: needs a "type", a "one_of" or a "some_of"'),
        ("gain", "chain[0]: expected an effect spec"),
        # Integers too long to print are described, not printed.
        ({"type": "phaser", "stages": 10**5000}, "(an integer of 5001 digits) is out of range"),
        (
            {"type": "phaser", "stages": {"uniform": [1, 2**40]}},
            "range (-2147483648 to 2147483647)",
        ),
        (
            {"type": "gain", "db": {"choice": [[10**5000]]}},
            "must be a number, got (a list holding an integer too long to print)",
        ),
        # Every accepted description draws as written: sums and spans stay finite.
        (
            {"one_of": [{"type": "clip"}, {"type": "gain"}], "weights": [1e308, 1e308]},
            '"weights" add up to more than 3.4028235e+38',
        ),
        # u times a subnormal total rounds unevenly: equal weights drew 37.5% and 62.5%.
        (
            {"one_of": [{"type": "clip"}, {"type": "gain"}], "weights": [1e-323, 1e-323]},
            '"weights" add up to less than 1.1754944e-38',
        ),
        ({"type": "gain", "db": {"uniform": [-1e308, 1e308]}}, "-1e+308 is too large"),
        ({"type": "gain", "db": 1e39}, '"db": 1e+39 is too large'),
        ({"type": "low_shelf", "gain_db": {"uniform": [-900, 0]}}, "-900 is out of range"),
        # Nesting has a documented limit, refused like any other fault.
        (nested(9), "groups nested more than 8 levels deep"),
        (nested(600), "groups nested more than 8 levels deep"),
        ({"type": "gain", "db": {"choice": nested_list(2000)}}, "nested more than 32 levels deep"),
        # A drawn chain that could never run was accepted, and every output failed later.
        ({"type": "convolution"}, 'chain[0]: "convolution": needs "ir"'),
        ({"type": "background_noise", "path": {"choice": ["n", ""]}}, 'needs "path"'),
        ({"type": "convolution", "ir": "irs", "pattern": "../*"}, "not a glob relative"),
        (
            {"type": "background_noise", "path": "n", "pattern": {"choice": ["*", "a**"]}},
            '"pattern": choice: "a**" is not a glob relative',
        ),
    ],
)
def test_bad_descriptions_are_refused_with_their_place(item, message):
    with pytest.raises(kavri.ChainError) as caught:
        kavri.RandomChain([item])
    assert message in str(caught.value)


def test_file_descriptions_and_their_faults(tmp_path):
    good = tmp_path / "good.json"
    good.write_text(json.dumps(DESCRIPTION))
    assert kavri.RandomChain(good) == kavri.RandomChain(str(good)) == kavri.RandomChain(DESCRIPTION)
    bad = tmp_path / "bad.json"
    bad.write_text('{"chain": [\n  {"type": "gain",}]}')
    with pytest.raises(kavri.ChainError, match=r"bad.json:2:19: malformed JSON"):
        kavri.RandomChain(bad)
    bad.write_text(
        json.dumps({"chain": [{"type": "clip"}, {"some_of": [{"type": "gian"}], "count": [1, 1]}]})
    )
    with pytest.raises(kavri.ChainError, match=r"bad.json: chain\[1\]\.some_of\[0\]: unknown"):
        kavri.RandomChain(bad)
    with pytest.raises(kavri.ChainError, match="unknown key 'chian' in a random chain"):
        kavri.RandomChain({"chian": []})
    with pytest.raises(kavri.ChainError, match="no such random chain file"):
        kavri.RandomChain(tmp_path / "missing.json")
    for depth in (40, 100_000):
        bad.write_text('{"chain": ' + "[" * depth + "]" * depth + "}")
        with pytest.raises(kavri.ChainError, match="bad.json: nested more than 32 levels"):
            kavri.RandomChain(bad)
    # At the limit it is accepted, and pickles.
    deepest = kavri.RandomChain([nested(8)])
    assert pickle.loads(pickle.dumps(deepest)) == deepest


def test_drawn_chains_pass_the_checker_and_their_clamps_are_told(tmp_path):
    # A noise file past 2**31 frames (sparse: a header of 3e9 unsigned 8-bit frames, whose
    # zero bytes read as -1): offsets drawn past 32 bits were refused when replayed.
    frames = 3_000_000_000
    noise = tmp_path / "long.wav"
    with noise.open("wb") as file:
        file.write(b"RIFF" + (36 + frames).to_bytes(4, "little") + b"WAVEfmt ")
        file.write(bytes.fromhex("10000000 0100 0100 401f0000 401f0000 0100 0800"))
        file.write(b"data" + frames.to_bytes(4, "little"))
        file.truncate(44 + frames)
    description = [{"type": "background_noise", "path": str(noise), "mode": "gain", "gain_db": -20}]
    chains = [kavri.RandomChain(description).sample(1, index) for index in range(8)]
    assert max(chain[0]["offset_frames"] for chain in chains) > 2**31
    for chain in chains:
        out = kavri.process(np.zeros(50, np.float32), 8000, chain)
        assert np.allclose(out, -0.1)
    # A range past an engine key's clamp is told as process tells it, item by item.
    clamped = [{"type": "phaser", "depth": {"uniform": [2, 5]}}]
    with pytest.warns(kavri.ClampWarning, match="depth = .* the engine uses 1"):
        kavri.augment(np.zeros(100, np.float32), RATE, clamped, seed=1)
    with pytest.warns(kavri.ClampWarning) as caught:  # each item's draw, named
        kavri.augment_batch(np.zeros((2, 100), np.float32), RATE, clamped, seed=1)
    assert [str(w.message)[:25] for w in caught] == [
        f"item {i}: effect 1 ('phaser'"[:25] for i in (0, 1)
    ]


def test_unpickling_checks_as_loading_does():
    chain = kavri.RandomChain(DESCRIPTION)
    assert pickle.loads(pickle.dumps(chain)) == chain
    forged = pickle.dumps(chain).replace(b"uniform", b"unifrom")
    with pytest.raises(kavri.ChainError, match="unknown distribution 'unifrom'"):
        pickle.loads(forged)
    broken = kavri.RandomChain.__new__(kavri.RandomChain)
    for state in (
        {"chain": [{"type": "gain", "db": {"uniform": [float("nan"), 1]}}]},
        {"not": "a chain"},
        42,
        ((), 7),
    ):
        with pytest.raises(kavri.ChainError):
            broken.__setstate__(state)
    # The state older versions pickled (the checked nodes) is checked the same way.
    items, text = chain._items, chain._text
    assert pickle.loads(pickle.dumps(chain)) == chain
    broken.__setstate__((items, text))
    assert broken == chain


# --- files and the command line -------------------------------------------------------------

FILE_CHAIN = [
    {"type": "gain", "db": {"uniform": [-6, 3]}, "p": 0.8},
    {
        "type": "peak_eq",
        "frequency_hz": {"log_uniform": [200, 4000]},
        "gain_db": {"uniform": [-8, 8]},
    },
    {"type": "distortion", "drive": {"log_uniform": [1, 8]}, "p": 0.5},
    {"type": "limiter", "ceiling_db": {"uniform": [-3, -0.5]}},
]


@pytest.fixture
def corpus(tmp_path):
    """in/a.wav (stereo), in/sub/b.wav (mono) and the chain file r.json."""
    rng = np.random.default_rng(5)
    (tmp_path / "in" / "sub").mkdir(parents=True)
    for name, channels in [("a.wav", 2), ("sub/b.wav", 1)]:
        kavri.write(
            tmp_path / "in" / name,
            (0.4 * rng.standard_normal((4000, channels))).astype(np.float32),
            RATE,
        )
    (tmp_path / "r.json").write_text(json.dumps({"chain": FILE_CHAIN}))
    return tmp_path


def augment_cli(corpus, out, *extra):
    return main(
        [
            "augment",
            str(corpus / "in"),
            str(corpus / out),
            "--chain",
            str(corpus / "r.json"),
            "--variants",
            "2",
            *extra,
        ]
    )


def samples(folder):
    """Every WAV file's samples as bytes. The files' own bytes differ between runs only in
    the time stamp libsndfile puts in the float WAV header's peak chunk."""
    return {
        p.relative_to(folder).as_posix(): kavri.read(p).audio.tobytes()
        for p in sorted(folder.rglob("*.wav"))
    }


def test_cli_variants_manifest_replay_and_independence(corpus, capsys):
    assert augment_cli(corpus, "out", "--seed", "5", "--jobs", "1") == 0
    assert "4 written, 0 skipped (already complete), 0 failed" in capsys.readouterr().out
    first = samples(corpus / "out")
    assert sorted(first) == ["a.v0.wav", "a.v1.wav", "sub/b.v0.wav", "sub/b.v1.wav"]
    records = read_manifest(corpus / "out" / MANIFEST_NAME)
    assert [r["output"] for r in records] == sorted(first)
    for record in records:
        assert set(record) == {"source", "output", "seed", "variant", "index", "chain"}
        assert record["seed"] == 5
        assert record["index"] == variant_index(record["source"], record["variant"])
        assert record["chain"] == kavri.RandomChain(corpus / "r.json").sample(5, record["index"])
        # Replaying the recorded chain with the process command gives the same file.
        (corpus / "one.json").write_text(json.dumps(record["chain"]))
        replay = corpus / "replay.wav"
        assert (
            main(
                [
                    "process",
                    str(corpus / "in" / record["source"]),
                    str(replay),
                    "--chain",
                    str(corpus / "one.json"),
                ]
            )
            == 0
        )
        assert kavri.read(replay).audio.tobytes() == first[record["output"]]
    assert first["a.v0.wav"] != first["a.v1.wav"]

    # Another file in the input and two jobs change none of the existing outputs.
    kavri.write(corpus / "in" / "c.wav", np.zeros((100, 1), np.float32), RATE)
    assert augment_cli(corpus, "out2", "--seed", "5", "--jobs", "2") == 0
    second = samples(corpus / "out2")
    assert len(second) == 6 and {k: second[k] for k in first} == first
    assert records == [
        r for r in read_manifest(corpus / "out2" / MANIFEST_NAME) if not r["source"].startswith("c")
    ]

    # A rerun keeps what it recorded; another seed is redone, not kept as stale files.
    capsys.readouterr()
    assert augment_cli(corpus, "out", "--seed", "5", "--pattern", "[ab].wav") == 0
    assert "0 written, 4 skipped" in capsys.readouterr().out
    assert augment_cli(corpus, "out", "--seed", "6", "--pattern", "[ab].wav") == 0
    assert "4 written, 0 skipped" in capsys.readouterr().out
    reseeded = read_manifest(corpus / "out" / MANIFEST_NAME)
    assert len(reseeded) == 4 and {r["seed"] for r in reseeded} == {6}
    assert samples(corpus / "out")["a.v0.wav"] != first["a.v0.wav"]
    # Fewer variants leave the others' files and lines, which the summary had not told.
    args = ["--variants", "1", "--seed", "6", "--pattern", "[ab].wav"]
    assert (
        main(
            [
                "augment",
                str(corpus / "in"),
                str(corpus / "out"),
                "--chain",
                str(corpus / "r.json"),
                *args,
            ]
        )
        == 0
    )
    assert "(2 outputs of earlier runs among them)" in capsys.readouterr().out

    # --format names every output in it, with the draws of the run without it (augment had
    # no --format, and an M4A corpus could not be augmented at all: no output is M4A).
    capsys.readouterr()
    assert augment_cli(corpus, "flac", "--seed", "5", "--format", "flac") == 0
    assert "chains in" in capsys.readouterr().out
    flac = read_manifest(corpus / "flac" / MANIFEST_NAME)
    assert [r["output"] for r in flac] == [
        name.replace(".wav", ".flac") for name in ["a.v0.wav", "a.v1.wav", "c.v0.wav", "c.v1.wav"]
    ] + ["sub/b.v0.flac", "sub/b.v1.flac"]
    assert [r["chain"] for r in flac] == [
        r["chain"] for r in read_manifest(corpus / "out2" / MANIFEST_NAME)
    ]
    kavri.write(corpus / "in" / "a.flac", np.zeros((100, 1), np.float32), RATE)
    patterns = ["--pattern", "*.wav", "--pattern", "*.flac"]
    assert augment_cli(corpus, "both", "--seed", "5", *patterns, "--format", "wav") == 1
    said = capsys.readouterr().err
    assert (
        "both/a.v0.wav: both " in said and "in/a.flac and " in said and "would be written" in said
    )


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--variants", "0", "--seed", "1"], "--variants must be at least 1"),
        (["--variants", "1", "--seed", "-1"], "--seed must be within"),
        # Every output's chain is drawn before the first is written: a count past memory is
        # refused at once, not after filling it.
        (["--variants", str(10**11), "--seed", "1"], "000,000 outputs needs"),
    ],
)
def test_cli_refuses_bad_arguments(corpus, capsys, args, message):
    (corpus / "bad.json").write_text('[{"type": "gain", "db": {"uniform": [1, 0]}}]')
    code = main(
        [
            "augment",
            str(corpus / "in"),
            str(corpus / "out"),
            "--chain",
            str(corpus / "r.json"),
            *args,
        ]
    )
    assert code == 1 and message in capsys.readouterr().err
    code = main(
        [
            "augment",
            str(corpus / "in"),
            str(corpus / "out"),
            "--chain",
            str(corpus / "bad.json"),
            "--variants",
            "1",
            "--seed",
            "1",
        ]
    )
    assert (
        code == 1
        and 'chain[0]: "gain": "db": uniform range [1, 0] is reversed' in capsys.readouterr().err
    )
    assert not (corpus / "out").exists()


@pytest.mark.slow
def test_dask_cluster_gives_the_local_bytes(corpus, dask_client):
    files = sorted((corpus / "in").rglob("*.wav"))
    kavri.augment_files(
        files, corpus / "r.json", corpus / "local", variants=2, seed=9, base_dir=corpus / "in"
    )
    report = kavri.augment_files(
        files,
        corpus / "r.json",
        corpus / "dask",
        variants=2,
        seed=9,
        base_dir=corpus / "in",
        executor=dask_client.get_executor(),
    )
    assert report.ok and len(report.done) == 4
    assert samples(corpus / "local") == samples(corpus / "dask")
    assert (corpus / "local" / MANIFEST_NAME).read_bytes() == (
        corpus / "dask" / MANIFEST_NAME
    ).read_bytes()


# --- the batch machinery under augmentation ---------------------------------------------------


def test_stop_rerun_progress_and_tail_follow_the_batch_record(corpus):
    files = sorted((corpus / "in").rglob("*.wav"))
    out = corpus / "out"
    options = {"variants": 2, "seed": 3, "base_dir": corpus / "in", "jobs": 1}

    class AfterFirstOutput:
        def is_set(self):
            return (out / "a.v0.wav").exists()

    with pytest.raises(kavri.BatchInterrupted) as caught:
        kavri.augment_files(files, corpus / "r.json", out, stop=AfterFirstOutput(), **options)
    assert [r.status for r in caught.value.report.results] == ["done"]
    assert sorted(p.name for p in out.rglob("*") if p.is_file()) == [
        ".kavri-batch.json",
        "a.v0.wav",
        MANIFEST_NAME,
    ]
    assert [r["output"] for r in read_manifest(out / MANIFEST_NAME)] == ["a.v0.wav"]

    calls = []
    rerun = kavri.augment_files(
        files,
        corpus / "r.json",
        out,
        on_progress=lambda done, total: calls.append((done, total)),
        **options,
    )
    assert [r.status for r in rerun.results] == ["skipped", "done", "done", "done"]
    assert calls[-1] == (4 * 4000, 4 * 4000)
    assert len(read_manifest(out / MANIFEST_NAME)) == 4

    # A tail and a block size are settings of every output: all are redone, and the
    # manifest says how to replay them (the block size was left out of it).
    again = kavri.augment_files(files, corpus / "r.json", out, tail=0.01, block_size=512, **options)
    assert [r.status for r in again.results] == ["done"] * 4
    record = read_manifest(out / MANIFEST_NAME)[0]
    assert (record["tail"], record["block_size"]) == (0.01, 512)
    kavri.process_file(
        corpus / "in" / record["source"],
        corpus / "replay.wav",
        record["chain"],
        tail=record["tail"],
        block_size=record["block_size"],
    )
    replayed, made = kavri.read(corpus / "replay.wav").audio, kavri.read(out / "a.v0.wav").audio
    assert replayed.shape[0] == 4000 + 160 and np.array_equal(replayed, made)


def test_lines_of_outputs_left_running_on_other_workers_are_dropped_at_a_stop(corpus):
    # A stop cannot reach tasks on other processes' workers: they finish after the run has
    # written its manifest, which kept an earlier run's line for their outputs (seed 1 said,
    # seed 2 written).
    files = sorted((corpus / "in").rglob("*.wav"))
    out = corpus / "out"
    options = {"variants": 3, "base_dir": corpus / "in"}
    kavri.augment_files(files, corpus / "r.json", out, seed=1, **options)

    stop = threading.Event()

    class Remote(Executor):
        """A worker this process's stop flag does not reach; the stop comes as its second
        task begins, which then runs on after the run has ended."""

        def __init__(self):
            self.pool, self.count = ThreadPoolExecutor(1), 0

        def submit(self, fn, /, *args, **kwargs):
            self.count += 1

            def run(index=self.count):
                if index == 2:
                    stop.set()
                    time.sleep(1.0)
                return fn(*args, **kwargs)

            return self.pool.submit(run)

        def shutdown(self, wait=True, **kwargs):
            self.pool.shutdown(wait)

    remote = Remote()
    # One or two in flight: the run may hand out the third task as the second starts.
    with pytest.raises(kavri.BatchInterrupted, match="[12] in flight abandoned"):
        kavri.augment_files(
            files, corpus / "r.json", out, seed=2, executor=remote, stop=stop, **options
        )
    remote.shutdown()  # the abandoned task has now written its file
    lines = read_manifest(out / MANIFEST_NAME)
    assert 1 <= len(lines) < 6
    for line in lines:
        audio, rate = kavri.read(corpus / "in" / line["source"])
        assert np.array_equal(
            kavri.read(out / line["output"]).audio, kavri.process(audio, rate, line["chain"])
        )


def test_a_run_that_dies_part_way_leaves_no_line_of_other_bits(corpus, monkeypatch):
    # The manifest was written only at the end: a rerun with a new seed killed part-way
    # left the old seed's lines beside outputs already written with the new one.
    import kavri.runs.augment as augment

    files = sorted((corpus / "in").rglob("*.wav"))
    out = corpus / "out"
    options = {"variants": 2, "base_dir": corpus / "in", "jobs": 1}
    kavri.augment_files(files, corpus / "r.json", out, seed=1, **options)
    first = kavri.read(out / "a.v0.wav").audio.tobytes()
    real, dead = augment._write_manifest, []

    def unless_dead(path, records):  # a process killed writes nothing more
        if not dead:
            real(path, records)

    class Killed(BaseException):
        pass

    def kill(result):
        dead.append(result)
        raise Killed

    monkeypatch.setattr(augment, "_write_manifest", unless_dead)
    with pytest.raises(Killed):
        kavri.augment_files(files, corpus / "r.json", out, seed=2, on_result=kill, **options)
    assert kavri.read(out / "a.v0.wav").audio.tobytes() != first
    for line in read_manifest(out / MANIFEST_NAME):
        audio, rate = kavri.read(corpus / "in" / line["source"])
        made = kavri.read(out / line["output"]).audio
        assert np.array_equal(made, kavri.process(audio, rate, line["chain"])), line["output"]

    # A stop whose manifest cannot be written says so, and not where the chains are.
    monkeypatch.setattr(augment, "_write_manifest", _refuse_manifest)
    stop = threading.Event()
    with pytest.raises(kavri.BatchInterrupted, match="augment.jsonl: cannot write") as caught:
        kavri.augment_files(
            files,
            corpus / "r.json",
            corpus / "o2",
            seed=3,
            stop=stop,
            on_result=lambda result: stop.set(),
            **options,
        )
    assert not caught.value.recorded


def _refuse_manifest(path, records):
    raise kavri.KavriError(f"{path.name}: cannot write: No space left on device")


def test_inputs_are_never_overwritten_and_odd_names_are_drawn(corpus, capsys):
    source = corpus / "in"
    kavri.write(source / "c_\udcff.wav", np.full((500, 1), 0.25, np.float32), RATE)
    inside = source / "aug"
    inside.mkdir()
    original = np.full((300, 2), 0.5, np.float32)
    kavri.write(inside / "a.v1.wav", original, RATE)  # an original that looks like an output
    files = [source / "a.wav", source / "sub" / "b.wav", source / "c_\udcff.wav"]
    report = kavri.augment_files(
        files, corpus / "r.json", inside, variants=2, seed=1, base_dir=source
    )
    failed = [(r.output, r.error) for r in report.failed]
    assert len(failed) == 1 and failed[0][0] == str(inside / "a.v1.wav")
    assert "output would overwrite" in failed[0][1] and "kavri did not write" in failed[0][1]
    assert np.array_equal(kavri.read(inside / "a.v1.wav").audio, original)
    assert (inside / "c_\udcff.v1.wav").is_file()
    records = {r["output"]: r for r in read_manifest(inside / MANIFEST_NAME)}
    assert "a.v1.wav" not in records and records["c_\udcff.v0.wav"]["source"] == "c_\udcff.wav"
    # A file outside base_dir was recorded by its name alone, which named another file
    # there (sub/b.wav as b.wav): a replay from base_dir/source took other audio, or none.
    kavri.augment_files(
        [source / "sub" / "b.wav"],
        corpus / "r.json",
        corpus / "o",
        variants=1,
        seed=1,
        base_dir=source / "aug",
    )
    (record,) = read_manifest(corpus / "o" / MANIFEST_NAME)
    assert record["source"] == str(source / "sub" / "b.wav") and record["output"] == "b.v0.wav"
    # On a rerun the outputs inside the input folder are not taken as inputs, while the
    # original there is one (and is still refused as an output).
    capsys.readouterr()
    assert (
        main(
            [
                "augment",
                str(source),
                str(inside),
                "--chain",
                str(corpus / "r.json"),
                "--variants",
                "2",
                "--seed",
                "1",
            ]
        )
        == 1
    )
    assert "2 written, 5 skipped (already complete), 1 failed" in capsys.readouterr().out
    assert sorted(p.name for p in (inside / "aug").iterdir()) == ["a.v1.v0.wav", "a.v1.v1.wav"]
    assert np.array_equal(kavri.read(inside / "a.v1.wav").audio, original)


def test_a_damaged_record_inside_the_input_folder_does_not_make_outputs_inputs(corpus):
    # With the record of an output folder inside IN_DIR damaged, a rerun took the outputs
    # its manifest lists as inputs: augmented copies of augmented copies. (The outputs
    # themselves, no longer known as this tool's, are refused, not written over.)
    args = ["augment", str(corpus / "in"), str(corpus / "in" / "aug"), "--chain"]
    args += [str(corpus / "r.json"), "--variants", "1", "--seed", "3", "--quiet"]
    assert main(args) == 0
    (corpus / "in" / "aug" / ".kavri-batch.json").write_text("{bad")
    main(args)
    assert not (corpus / "in" / "aug" / "aug").exists()


def test_draws_and_records_do_not_depend_on_the_locale(tmp_path):
    # In a locale whose names are not UTF-8, a file's name was hashed, and a folder's
    # names sorted, as the locale decoded them: every non-ASCII input drew another chain
    # and another response, and a batch record's keys crashed the run in the next locale.
    import os
    import subprocess
    import sys

    inputs, responses = tmp_path / "in", tmp_path / "irs"
    inputs.mkdir()
    responses.mkdir()
    for name in ("café.wav", "take\udcff.wav"):
        kavri.write(inputs / name, np.full((800, 1), 0.25, np.float32), RATE)
    for name, at in (("\U0001f600.wav", 0), ("\udcff.wav", 90)):
        kavri.write(responses / name, np.eye(1, 100, at, dtype=np.float32).T, RATE)
    chain = {
        "chain": [
            {"type": "gain", "db": {"uniform": [-6, 6]}},
            {"type": "convolution", "ir": str(responses)},
        ]
    }
    (tmp_path / "r.json").write_text(json.dumps(chain))
    ascii_names = {**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0"}
    made = []
    for out, env in (("utf8", None), ("ascii", ascii_names), ("ascii", None)):
        args = ["augment", "in", out, "--chain", "r.json", "--variants", "2", "--seed", "4"]
        done = subprocess.run(
            [sys.executable, "-m", "kavri", *args, "--quiet"],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            timeout=300,
        )
        assert done.returncode == 0, done.stderr
        folder = os.fsencode(tmp_path / out)
        made.append(
            {n: Path(os.fsdecode(os.path.join(folder, n))).read_bytes() for n in os.listdir(folder)}
        )
    outputs = [n for n in made[0] if n.endswith(b".wav")]
    assert len(outputs) == 4 and all(made[0][n] == made[1][n] for n in outputs)
    # The rerun in the other locale kept the outputs and one manifest line each (each
    # non-ASCII output had a second line).
    assert {n: made[2][n] for n in outputs} == {n: made[1][n] for n in outputs}
    assert made[2][b"augment.jsonl"].count(b"\n") == 4
    # A batch run in one locale skips, in the other, what the first wrote.
    for env, skipped in ((None, "0 skipped"), (ascii_names, "2 skipped")):
        done = subprocess.run(
            [sys.executable, "-m", "kavri", "batch", "in", "b", "--effect", "gain", "--quiet"],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0 and skipped in done.stdout, done.stderr


def test_damaged_manifest_lines_are_set_aside_and_nothing_is_lost(corpus, capsys):
    out = corpus / "out"
    assert augment_cli(corpus, "out", "--seed", "5", "--pattern", "*") == 0
    manifest = out / MANIFEST_NAME
    lines = manifest.read_text().splitlines()
    damaged = [
        '{"output": "a.v0.wav", "chain": [{"type": "gain", "db": NaN}]}',
        "[" * 5000,
        "not json",
        '{"output": 3}',
        '{"output": "\\ud800.wav", "chain": []}',  # no name: every later run crashed on it
    ]
    manifest.write_text("\n".join(damaged + lines[1:]) + "\n")
    capsys.readouterr()
    # A second run into a folder inside the inputs, with a pattern that matches everything:
    # the manifest, the record and what was set aside are never inputs.
    assert augment_cli(corpus, "out", "--seed", "5", "--pattern", "*", "--force") == 0
    err = capsys.readouterr().err
    assert f"kavri: warning: {manifest}: 5 damaged lines moved to {manifest}.damaged" in err
    assert (out / (MANIFEST_NAME + ".damaged")).read_text().splitlines() == damaged
    rebuilt = read_manifest(manifest)
    assert [r["output"] for r in rebuilt] == [r["output"] for r in map(json.loads, lines)]
    for _ in range(2):
        assert augment_cli(corpus, "in/aug", "--seed", "5", "--pattern", "*") == 0
    assert "0 written, 4 skipped" in capsys.readouterr().out
    # Where warnings are errors, the manifest is rebuilt before it is told: every run had
    # stopped with it as it was, and set the same line aside again.
    manifest.write_text("not json\n" + manifest.read_text())
    files = [corpus / "in" / "a.wav", corpus / "in" / "sub" / "b.wav"]
    run = {"variants": 2, "seed": 5, "base_dir": corpus / "in"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(kavri.KavriWarning, match="1 damaged line moved"):
            kavri.augment_files(files, corpus / "r.json", out, **run)
        assert kavri.augment_files(files, corpus / "r.json", out, **run).ok
    assert (out / (MANIFEST_NAME + ".damaged")).read_text().count("not json") == 2


def test_cli_interrupted_exits_with_the_signal_and_writes_nothing(corpus, capsys, monkeypatch):
    import contextlib
    import signal

    import kavri.cli._common

    @contextlib.contextmanager
    def stopped():
        flag = kavri.StopFlag()
        flag.set(signal.SIGTERM)
        yield flag

    monkeypatch.setattr(kavri.cli._common, "stop_on_signals", stopped)
    assert augment_cli(corpus, "out", "--seed", "5", "--quiet") == 143
    err = capsys.readouterr().err
    assert err.startswith("kavri: interrupted: 0 processed") and err.count("\n") == 1
    assert not [p for p in (corpus / "out").rglob("*") if p.is_file()]


# --- the DataLoader recipe ------------------------------------------------------------------
# Persistent DataLoader workers keep the copy of the dataset they were started with, so an
# epoch set on the main process's dataset never reaches them. The epoch travels with each
# index instead: the sampler, which runs in the main process, yields (epoch, item) keys.


class EpochSampler:
    """Yields (epoch, item) keys; ``set_epoch`` before each epoch."""

    def __init__(self, size: int) -> None:
        self.size, self.epoch = size, 0

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def __iter__(self):
        return ((self.epoch, item) for item in range(self.size))

    def __len__(self) -> int:
        return self.size


class Augmented:
    """A dataset of clips, each drawn anew every epoch and replayable from (seed, key)."""

    def __init__(self, clips, random_chain, seed: int) -> None:
        self.clips, self.seed = clips, seed
        self.random_chain = kavri.RandomChain(random_chain)

    def __len__(self) -> int:
        return len(self.clips)

    def __getitem__(self, key):
        epoch, item = key
        out, _ = kavri.augment(
            self.clips[item],
            RATE,
            self.random_chain,
            seed=self.seed,
            index=epoch * len(self.clips) + item,
        )
        return out


def _persistent_worker(dataset, keys, results):
    # Started once, with its own copy of the dataset, as a persistent DataLoader worker is.
    for key in iter(keys.get, None):
        results.put((key, dataset[key]))


@pytest.mark.slow
def test_each_epoch_reaches_persistent_workers():
    rng = np.random.default_rng(3)
    clips = [(0.3 * rng.standard_normal(2000)).astype(np.float32) for _ in range(4)]
    dataset, sampler = Augmented(clips, DESCRIPTION, seed=7), EpochSampler(len(clips))
    context = multiprocessing.get_context("spawn")
    keys, results = context.Queue(), context.Queue()
    workers = [
        context.Process(target=_persistent_worker, args=(dataset, keys, results)) for _ in range(2)
    ]
    for worker in workers:
        worker.start()
    epochs = []
    for epoch in range(2):
        sampler.set_epoch(epoch)
        for key in sampler:
            keys.put(key)
        got = dict(results.get(timeout=60) for _ in range(len(sampler)))
        epochs.append([got[(epoch, item)] for item in range(len(clips))])
    for _ in workers:
        keys.put(None)
    for worker in workers:
        worker.join(timeout=60)
    for epoch, outputs in enumerate(epochs):
        for item, out in enumerate(outputs):
            assert np.array_equal(out, dataset[(epoch, item)])
    assert not all(np.array_equal(a, b) for a, b in zip(*epochs, strict=True))


def test_the_recipe_with_a_real_data_loader():
    torch = pytest.importorskip("torch")
    clips = [np.full(1600, 0.1 * (i + 1), np.float32) for i in range(4)]
    dataset, sampler = Augmented(clips, DESCRIPTION, seed=7), EpochSampler(len(clips))
    loader = torch.utils.data.DataLoader(
        dataset, sampler=sampler, batch_size=2, num_workers=2, persistent_workers=True
    )
    seen = []
    for epoch in range(2):
        sampler.set_epoch(epoch)
        seen.append(torch.cat(list(loader)).numpy())
    for epoch, batch in enumerate(seen):
        assert np.array_equal(batch, np.stack([dataset[(epoch, i)] for i in range(4)]))


def test_a_file_a_chain_draws_that_cannot_be_read_fails_only_its_outputs(tmp_path, monkeypatch):
    from kavri._stop import StopFlag
    from kavri.runs.augment import augment_files

    clips, noise = tmp_path / "in", tmp_path / "noise"
    clips.mkdir()
    noise.mkdir()
    kavri.write(clips / "take.wav", np.full((16000, 1), 0.1, np.float32), 16000)
    kavri.write(noise / "a.wav", np.full((32000, 1), 0.01, np.float32), 16000)
    (noise / "b.wav").write_bytes(b"x")
    chain = [{"type": "background_noise", "path": str(noise), "snr_db": 10}]
    files = [clips / "take.wav"]

    def run(seed, out, **more):
        return augment_files(files, chain, out, variants=4, seed=seed, base_dir=clips, **more)

    # Seed 5: every output draws a.wav, but the draw that sized the run drew b.wav and
    # stopped it before anything was written.
    assert len(run(5, tmp_path / "o5").done) == 4
    # Seed 1: two outputs draw b.wav. The whole run stopped, with nothing written.
    report = run(1, tmp_path / "o1")
    assert len(report.done) == 2 and len(report.failed) == 2
    assert all("b.wav: not a readable audio file" in r.error for r in report.failed)
    # Named by their variant, as those that fail as they are drawn are: failures found as
    # an output is made (a fixed response that is no audio) had named only the clip.
    (tmp_path / "room.wav").write_bytes(b"x")
    room = [{"type": "convolution", "ir": str(tmp_path / "room.wav")}]
    failed = augment_files(files, room, tmp_path / "o4", variants=2, seed=1, base_dir=clips)
    assert [r.error.split(": convolution: ")[0] for r in failed.failed] == [
        f"{clips / 'take.wav'} (variant {n})" for n in (0, 1)
    ]
    assert {r["output"] for r in read_manifest(tmp_path / "o1" / MANIFEST_NAME)} == {
        r.output.rsplit("/", 1)[-1] for r in report.done
    }
    # A stop set while the chains are drawn ends the run before any is processed (a run of
    # many outputs went on drawing for seconds).
    stop = StopFlag()
    stop.set()
    drawn = []
    sample = kavri.RandomChain.sample
    monkeypatch.setattr(kavri.RandomChain, "sample", lambda *a: drawn.append(a) or sample(*a))
    with pytest.raises(kavri.BatchInterrupted, match="^interrupted: 0 processed"):
        run(1, tmp_path / "o2", stop=stop)
    assert len(drawn) <= 1  # the draw that sizes the run, no more
    # A single path is not a list of files (a string was taken character by character).
    with pytest.raises(TypeError, match="must be a list of paths"):
        augment_files(str(files[0]), chain, tmp_path / "o3", variants=1, seed=1, base_dir=clips)
