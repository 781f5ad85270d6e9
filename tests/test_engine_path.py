"""One path into the engine: every entry point takes the same audio and refuses the same.

``process``, ``process_to_loudness``, ``Stream``, ``augment`` and ``process_file`` all convert
and check through the same module; fed the same inputs they give the same bits or the same
error.
"""

from __future__ import annotations

import numpy as np
import pytest
import soundfile as sf

import kavri

RATE = 16_000
CHAIN = [{"type": "highpass", "frequency_hz": 120.0}, {"type": "compressor"}]


def tone(frames: int = RATE, channels: int = 2) -> np.ndarray:
    t = np.arange(frames) / RATE
    return np.stack(
        [0.3 * np.sin(2 * np.pi * (200 + 50 * c) * t) for c in range(channels)], axis=1
    ).astype(np.float32)


def via_process(audio, rate):
    return kavri.process(audio, rate, CHAIN)


def via_loudness(audio, rate):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kavri.LoudnessWarning)
        out, result = kavri.process_to_loudness(audio, rate, CHAIN, -20.0)
    # The loudness target appends its gain (and limiter): undo nothing, replay it whole.
    replay = kavri.process(audio, rate, CHAIN)
    return out, kavri.process(replay, rate, result.specs) if result.specs else replay


def via_stream(audio, rate):
    # A stream is made for the channels the caller means: two for a channels-first pair.
    data = np.asarray(audio)
    channels = 1 if data.ndim != 2 else min(data.shape)
    stream = kavri.Stream(CHAIN, rate, channels)
    return np.concatenate([stream.process(audio), stream.flush()])


def via_augment(audio, rate):
    return kavri.augment(audio, rate, CHAIN, seed=1)[0]


ENTRIES = {"process": via_process, "stream": via_stream, "augment": via_augment}


def outcome(entry, audio, rate):
    try:
        return "ok", entry(audio, rate)
    except (TypeError, ValueError) as error:
        return type(error).__name__, str(error)


CASES = {
    "float32": tone(),
    "int16": (tone() * 32767).astype(np.int16),
    "uint8": (tone() * 127 + 128).astype(np.uint8),
    "int32": (tone() * 2**31).astype(np.int32),
    "mono 1-D": tone(channels=1)[:, 0],
    "list": tone(200).tolist(),
    "int64": np.zeros((RATE, 2), np.int64),
    "bool": np.zeros((RATE, 2), bool),
    "complex": np.zeros((RATE, 2), np.complex64),
    "channels-first": tone().T.copy(),
    "3-D": np.zeros((4, 4, 4), np.float32),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("rate", [RATE, float(RATE)])
def test_every_entry_takes_and_refuses_the_same_audio(case, rate):
    audio = CASES[case]
    results = {name: outcome(entry, audio, rate) for name, entry in ENTRIES.items()}
    kinds = {name: kind for name, (kind, _) in results.items()}
    assert len(set(kinds.values())) == 1, (case, results)
    kind, expected = results["process"]
    if kind == "ok":
        for name, (_, value) in results.items():
            assert value.shape == expected.shape and np.array_equal(value, expected), name
        if case in ("int16", "uint8", "int32"):
            assert np.max(np.abs(expected)) < 1.0  # scaled by its full scale, not as written
    else:
        assert len({message for _, message in results.values()}) == 1, results


@pytest.mark.parametrize("case", ["float32", "int16", "mono 1-D", "int64", "channels-first"])
def test_a_loudness_target_takes_and_refuses_the_same_audio(case):
    audio = CASES[case]
    plain = outcome(via_process, audio, RATE)
    targeted = outcome(via_loudness, audio, RATE)
    assert plain[0] == targeted[0]
    if plain[0] == "ok":
        out, replay = targeted[1]
        assert out.shape == plain[1].shape and np.array_equal(out, replay)
    else:
        assert plain[1] == targeted[1]


def test_a_file_gives_the_bits_of_its_samples(tmp_path):
    pcm = CASES["int16"]
    sf.write(tmp_path / "in.wav", pcm, RATE, subtype="PCM_16")
    kavri.process_file(tmp_path / "in.wav", tmp_path / "out.wav", CHAIN)
    written, _ = sf.read(tmp_path / "out.wav", dtype="float32")
    assert np.array_equal(written, kavri.process(pcm, RATE, CHAIN))


@pytest.mark.parametrize("rate", [48_000.5, float("nan"), True, "48000"])
def test_sample_rates_that_are_not_whole_are_refused_alike(rate):
    errors = {name: outcome(entry, tone(), rate) for name, entry in ENTRIES.items()}
    assert {kind for kind, _ in errors.values()} == {"TypeError"}, errors
