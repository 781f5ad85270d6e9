"""The front end under hostile input: options and parameter values that can only give
garbage, channel counts a container cannot hold, channels-first arrays, file names that are
not UTF-8, a full disk and a header that lies about its length. Each is refused with one
clear message, before any audio is read, and nothing is left behind."""

from __future__ import annotations

import json
import os
import re
import resource
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import warnings

import numpy as np
import pytest
import soundfile as sf
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import kavri
import kavri._engine
import kavri.io.atomic
import kavri.runs.batch
from kavri import AudioFileError, ChainError, KavriError
from kavri.chain import parse_chain_text

RATE = 48_000
EXAMPLES = int(os.environ.get("KAVRI_FUZZ_EXAMPLES", "200"))


def noise(frames: int = 4800, channels: int = 2, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (0.2 * rng.standard_normal((frames, channels))).astype(np.float32)


def snapshot(folder) -> dict:
    return {p: p.stat().st_mtime_ns for p in folder.rglob("*")}


@pytest.fixture
def work(tmp_path):
    kavri.write(tmp_path / "in.wav", noise(), RATE)
    (tmp_path / "in").mkdir()
    kavri.write(tmp_path / "in" / "a.wav", noise(), RATE)
    (tmp_path / "text.wav").write_text("this is not audio")
    (tmp_path / "README.md").write_text("no reference section here\n")
    return tmp_path


# --- command-line options ----------------------------------------------------------------


@pytest.mark.slow
@pytest.mark.parametrize(
    ("args", "message"),
    [
        (
            ["process", "text.wav", "out.wav", "--effect", "gain", "--workers", "-1"],
            "--workers must be 0 or more, got -1",
        ),
        (
            ["process", "text.wav", "out.wav", "--effect", "gain", "--block-size", "-1"],
            "--block-size must be 0 or more frames, got -1",
        ),
        (
            ["process", "text.wav", "out.wav", "--effect", "gain", "--block-size", "1" + "0" * 25],
            "--block-size 1" + "0" * 25 + " is too large",
        ),
        (
            ["process", "text.wav", "out.wav", "--effect", "gain", "--tail", "-1"],
            "--tail must be a finite number of seconds, 0 or more; got -1.0",
        ),
        (
            ["process", "text.wav", "out.wav", "--loudness", "-16", "--peak-ceiling", "3"],
            "--peak-ceiling must be between -60 and 0, got 3.0",
        ),
        (
            ["batch", "in", "out", "--effect", "gain", "--workers", "-1"],
            "--workers must be 0 or more, got -1",
        ),
        (
            ["batch", "in", "out", "--effect", "gain", "--jobs", "0"],
            "--jobs must be a whole number of at least 1, got 0",
        ),
        (
            ["batch", "in", "out", "--effect", "gain", "--pattern", "/abs/*.wav"],
            "--pattern '/abs/*.wav': give a file name pattern relative to IN_DIR",
        ),
        (
            ["batch", "in", "out", "--effect", "gain", "--pattern", "../*.wav"],
            "--pattern '../*.wav'",
        ),
        (["batch", "in", "out", "--effect", "gain", "--pattern", ""], "--pattern '': give"),
        (  # a RecursionError traceback
            ["process", "in.wav", "o.wav", "--effect", "channels:matrix=" + "[" * 5000],
            "parameter 'matrix': nested more than 32 levels deep",
        ),
        (
            ["batch", "in", "README.md/out", "--effect", "gain"],
            "README.md/out: cannot create the folder: ",
        ),
        (
            ["plot", "--effect", "gain:db=700", "--effect", "gain:db=700", "--out", "x.png"],
            "gain: the output is not finite at 48000 Hz",
        ),
        (
            ["plot", "--preset", "vocal", "--sample-rate", "1", "--out", "x.png"],
            "sample rate 1 Hz: plots are measured at 8000 to 768000 Hz",
        ),
        (
            ["plot", "--effect", "gain", "--sample-rate", "3000000000", "--out", "x.png"],
            "sample rate 3000000000 Hz",
        ),
        (
            ["plot", "--effect", "highpass:frequency_hz=nan", "--out", "x.png"],
            "parameter 'frequency_hz' must be a finite number, got NaN",
        ),
        (
            ["demo", "--out-dir", "README.md/sub"],
            "--out-dir README.md/sub: cannot create the folder",
        ),
        (["demo", "--out-dir", "/proc/kavri-demo"], "--out-dir /proc/kavri-demo: cannot create"),
        (
            ["process", "in.wav", "out.wav", "--effect", "highpass:frequency_hz=nan"],
            "--effect 'highpass:frequency_hz=nan': effect 1 ('highpass'): parameter 'frequency_hz' "
            "must be a finite number, got NaN",
        ),
        (["process", "in.wav", "out.wav", "--effect", "gain:db=inf"], "got Infinity"),
        (["process", "in.wav", "out.wav", "--effect", "gain:db=1e39"], "is too large"),
        (["process", "in.wav", "out.wav", "--effect", "gain:db=1" + "0" * 400], "is too large"),
    ],
)
def test_bad_options_give_one_line_before_any_file_is_read(work, args, message, run_kavri):
    # Several cases name an input that is not audio: the option must be what is reported.
    before = snapshot(work)
    result = run_kavri(*args, cwd=work)
    assert result.returncode == 1, result.stdout
    assert result.stderr.startswith("kavri: error: ") and result.stderr.count("\n") == 1, (
        result.stderr
    )
    assert message in result.stderr
    assert result.stdout == ""
    assert snapshot(work) == before


@pytest.mark.slow
def test_worker_counts_beyond_the_cores_still_run(work, run_kavri):
    result = run_kavri(
        "process", "in.wav", "out.wav", "--effect", "tremolo", "--workers", "99999999999", cwd=work
    )
    assert result.returncode == 0, result.stderr
    audio = kavri.read(work / "in.wav").audio
    assert np.array_equal(
        kavri.read(work / "out.wav").audio, kavri.process(audio, RATE, [{"type": "tremolo"}])
    )


# --- parameter values --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("spec", "message"),
    [
        (
            {"type": "highpass", "frequency_hz": float("nan")},
            "'frequency_hz' must be a finite number, got NaN",
        ),
        ({"type": "gain", "db": float("inf")}, "'db' must be a finite number, got Infinity"),
        ({"type": "gain", "db": -np.float32("inf")}, "'db' must be a finite number"),
        ({"type": "gain", "db": 10**400}, "'db' = (an integer of 401 digits) is too large"),
        ({"type": "gain", "db": 10**5000}, "(an integer of 5001 digits) is too large"),
        ({"type": "delay", "delay_ms": -1e39}, "'delay_ms' = -1e+39 is too large"),
        # Just past the largest float32: the bound is shown in full, not rounded up to it.
        (
            {"type": "gain", "db": 3.4028235e38},
            "3.4028235e+38 is too large (the largest magnitude is 3.4028234663852886e+38)",
        ),
        ({"type": "phaser", "stages": 2**31}, "'stages' = 2147483648 is out of range"),
        # Gains whose linear value overflows inside the effect: every sample came out
        # infinite or NaN. A huge cut stays accepted where it only rounds to silence.
        ({"type": "gain", "db": 771.0}, "'db' = 771.0 is out of range (≤ 700 dB"),
        ({"type": "compressor", "makeup_db": 800}, "'makeup_db' = 800 is out of range"),
        ({"type": "high_shelf", "gain_db": 760.0}, "'gain_db' = 760.0 is out of range"),
        ({"type": "peak_eq", "gain_db": -1600}, "(-700 … 700 dB: past it the effect's gain"),
        ({"type": "dynamic_eq", "cut_db": -1e4}, "'cut_db' = -10000.0 is out of range"),
        ({"type": "upward_compression", "max_gain_db": 800.0}, "(≤ 700 dB: past it"),
        # LFO rates whose angle overflows: NaN on every sample (auto_pan from 5.4 s on at
        # 1e37 Hz, with its angle growing with the frame count).
        ({"type": "tremolo", "rate_hz": 1e38}, "(0.01 … 1e+30 Hz: past it the effect's LFO"),
        ({"type": "auto_pan", "rate_hz": 1e37}, "'rate_hz' = 1e+37 is out of range"),
        ({"type": "rotary_speaker", "rate_hz": 6e37}, "'rate_hz' = 6e+37 is out of range"),
    ],
)
def test_values_that_can_only_give_garbage_are_refused(tmp_path, spec, message):
    with pytest.raises(ChainError, match=f"effect 1 \\('{spec['type']}'\\): parameter") as caught:
        kavri.process(noise(), RATE, [spec])
    assert message in str(caught.value)
    # The same through a chain file, which the CLI and the stream front end load too.
    if isinstance(spec[next(k for k in spec if k != "type")], float):
        chain = tmp_path / "chain.json"
        chain.write_text(json.dumps([spec]))
        with pytest.raises(ChainError, match="chain.json: effect 1"):
            kavri.load_chain(chain)


def test_deeply_nested_chains_are_refused_as_chains(tmp_path):
    deep: list = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(ChainError, match=r"parameter 'db' must be a number, got \(a list nested"):
        kavri.process(noise(), RATE, [{"type": "gain", "db": deep}])
    chain = tmp_path / "chain.json"
    for depth in (33, 100_000):
        chain.write_text("[" * depth + "]" * depth)
        with pytest.raises(ChainError, match="chain.json: nested more than 32 levels deep"):
            kavri.load_chain(chain)
    result = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "in.wav", "out.wav", "--chain", str(chain)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1 and result.stderr.count("\n") == 1
    assert "nested more than 32 levels deep" in result.stderr


def test_limits_of_the_engine_are_still_accepted():
    biggest = float(np.finfo(np.float32).max)
    audio = noise()
    for spec, clamped in [
        ({"type": "highpass", "frequency_hz": biggest}, True),
        ({"type": "clip", "threshold": 10**30}, False),
        ({"type": "phaser", "stages": -(2**31)}, True),
        ({"type": "clip", "threshold": -biggest}, False),
    ]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out = kavri.process(audio, RATE, [spec])
        assert out.shape == audio.shape
        assert [w.category for w in caught] == [kavri.ClampWarning] * clamped, spec
    with pytest.raises(ChainError, match="long.json: malformed JSON: Exceeds the limit"):
        parse_chain_text('[{"type": "gain", "db": 1' + "0" * 5000 + "}]", "long.json")
    # The native function itself is left as it is: a NaN parameter still passes through it.
    raw = kavri.process_pipeline(audio, RATE, [{"type": "gain", "db": float("nan")}])
    assert np.isnan(raw).all()


# --- array orientation and worker counts -------------------------------------------------


@pytest.mark.parametrize("shape", [(2, 48_000), (64, 65), (0, 100)])
def test_channels_first_arrays_are_refused(shape):
    with pytest.raises(ValueError, match=r"looks channels-first .* pass audio\.T"):
        kavri.process(np.zeros(shape, np.float32), RATE, "saturate")


@pytest.mark.parametrize("shape", [(48_000, 2), (1, 2), (65, 65), (3, 64), (100, 1000)])
def test_plausible_shapes_are_processed(shape):
    audio = np.zeros(shape, np.float32)
    assert kavri.process(audio, RATE, [{"type": "gain"}]).shape == shape


def test_worker_count_is_capped_at_the_cores_and_keeps_the_bits(monkeypatch):
    audio = noise(frames=3000, channels=70)
    chain = [{"type": "tremolo"}, {"type": "compressor"}, {"type": "lowpass"}]
    one = kavri.process(audio, RATE, chain, workers=1)
    assert np.array_equal(one, kavri.process(audio, RATE, chain, workers=2**40))
    seen = []
    real = kavri._engine.process_pipeline

    def spy(*args, **kwargs):
        seen.append((kwargs["block_size"], kwargs["workers"]))
        return real(*args, **kwargs)

    monkeypatch.setattr(kavri._engine, "process_pipeline", spy)
    monkeypatch.setattr(kavri._engine, "_CORES", 3)
    # The cap alone: every requested worker taken as useful.
    monkeypatch.setattr(kavri._engine, "_useful_workers", lambda channels, frames, wanted: wanted)
    for workers in (0, 2, 3, 20_000):
        kavri.process(audio, RATE, chain, workers=workers, block_size=0)
    assert seen == [(0, 0), (0, 2), (0, 3), (0, 3)]
    # Then the rule: a chain of light effects alone, bound by memory speed, keeps one thread;
    # and the engine's own rule for the rest (whole channel groups, long enough buffers).
    monkeypatch.undo()
    monkeypatch.setattr(kavri._engine, "process_pipeline", spy)
    monkeypatch.setattr(kavri._engine, "_CORES", 2)
    seen.clear()
    kavri.process(audio, RATE, [{"type": "gain"}, {"type": "clip"}], workers=2)
    kavri.process(noise(frames=3000, channels=2), RATE, chain, workers=2)
    kavri.process(np.zeros((2**18, 64), np.float32), RATE, chain, workers=2)
    assert seen == [(2048, 1), (2048, 1), (2048, 2)]


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"workers": -1}, ValueError, "workers must be 0 or more, got -1"),
        ({"block_size": -5}, ValueError, "block_size must be 0 or more frames"),
        ({"block_size": 2**64}, ValueError, "block_size"),
        ({"workers": 1.5}, TypeError, "workers must be a whole number"),
        # True is an int to Python: it was taken as one worker or a block of one frame.
        ({"workers": True}, TypeError, "workers must be a whole number, got True"),
        ({"block_size": True}, TypeError, "block_size must be a whole number, got True"),
        ({"sample_rate": 0}, ValueError, "sample_rate must be between 1 and 2147483647 Hz"),
        ({"sample_rate": 2**31}, ValueError, "sample_rate must be between"),
    ],
)
def test_bad_engine_options_are_refused_in_python(options, error, message):
    rate = options.pop("sample_rate", RATE)
    with pytest.raises(error, match=message):
        kavri.process(noise(), rate, "saturate", **options)


def test_audio_that_is_not_numbers_is_refused_without_printing_it(tmp_path):
    for audio in (
        np.full((5000, 2), "a"),
        np.zeros((5000, 2), complex),
        np.array([[{}, 1.0]] * 5000),
    ):
        for call in (
            lambda a=audio: kavri.process(a, RATE, "saturate"),
            # Writing complex samples dropped their imaginary parts, with a warning at most.
            lambda a=audio: kavri.write(tmp_path / "x.wav", a, RATE),
        ):
            with pytest.raises(
                TypeError,
                match=r"^audio must be an array of real numbers, "
                r"got dtype \S+$",
            ):
                call()
        assert not (tmp_path / "x.wav").exists()
    numbers = np.array([[0.25, -0.5]] * 100, dtype=object)
    assert np.array_equal(
        kavri.process(numbers, RATE, "saturate"),
        kavri.process(numbers.astype(np.float32), RATE, "saturate"),
    )
    # None among objects came through as NaN; float64 past single precision leaked NumPy's
    # overflow warning (an exception under -W error) on its way to infinity.
    for holes in (np.array([[0.1, None]], dtype=object), [[0.1, None]]):
        with pytest.raises(TypeError, match="audio holds None where a sample should be"):
            kavri.process(holes, RATE, [])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isinf(kavri.process(np.full((10, 2), 1e300), RATE, [])).all()
    # Taken as something else without a word: a masked array lost its mask (one masked NaN
    # spread over the whole signal), a bytearray was 8-bit PCM, text and truth values among
    # objects were numbers, and 10**400 a bare OverflowError.
    masked = np.ma.masked_invalid(np.array([0.1, np.nan, 0.2], np.float32))
    refused = [
        (masked, "audio is a masked array"),
        (bytearray(16), "got bytearray"),
        (np.array([0.1, "0.5"], dtype=object), "audio holds str where a sample"),
        (np.array([0.1, True], dtype=object), "audio holds bool where a sample"),
        ([[0.1], [True]], "audio holds bool where a sample"),
        (np.array([0.1, 10**400], dtype=object), "got dtype object"),
    ]
    for audio, message in refused:
        for call in (
            lambda a=audio: kavri.process(a, RATE, [{"type": "highpass"}]),
            lambda a=audio: kavri.write(tmp_path / "x.wav", a, RATE),
            lambda a=audio: kavri.measure(a, RATE),
        ):
            with pytest.raises(TypeError, match=message):
                call()
    # An integer of 401 digits was printed whole.
    with pytest.raises(ValueError, match=r"got \(an integer of 401 digits\)$"):
        kavri.process(np.zeros(4, np.float32), 10**400, [])
    # A channel count past any int gave the binding's argument error with its signature.
    with pytest.raises(ValueError, match="channels must be at most 2147483647, got 1099511627776"):
        kavri.Stream("vocal", RATE, 2**40)
    # Rates the engine refuses were written truncated (48000.9 as 48000 Hz, True as 1 Hz).
    for rate in (48_000.9, True, "48000", float("nan"), None):
        with pytest.raises(AudioFileError, match="sample_rate must be a whole number"):
            kavri.write(tmp_path / "x.wav", np.zeros(10, np.float32), rate)
    for rate in (True, "48000", None):  # a meter takes any real rate, but only that
        with pytest.raises(TypeError, match="sample_rate must be a number"):
            kavri.measure(np.zeros(10, np.float32), rate)
    assert not (tmp_path / "x.wav").exists()


def test_settings_and_chains_take_numbers_of_any_kind_but_not_unordered_ones(tmp_path):
    # np.int64(128) as a bit rate failed every batch ("a chain holds a int64"), and -16
    # against -16.0 gave another digest: a rerun redid every file.
    plain = kavri.RenderSettings(loudness=-16, peak_ceiling=-2, bitrate=128, tail=1)
    given = kavri.RenderSettings(
        loudness=np.float32(-16), peak_ceiling=np.float64(-2.0), bitrate=np.int64(128), tail=1.0
    )
    assert given == plain and given.digest([]) == plain.digest([])
    assert type(given.bitrate) is int and type(given.loudness) is float
    with pytest.raises(kavri.SettingError, match="tail must be a finite number"):
        kavri.RenderSettings(tail=10**400)
    with pytest.raises(kavri.SettingError, match="got 'title' among them"):
        kavri.RenderSettings(tags={"title"})  # "too many values to unpack (expected 2)"
    # A set's order is its hash's: a row {0.0, 1.0} meant as a swap came out as [0.0, 1.0].
    for chain in (
        [{"type": "channels", "matrix": [{0.0, 1.0}, {1.0, 0.0}]}],
        [{"type": "mixdown", "weights": frozenset({0.2, 0.8})}],
    ):
        with pytest.raises(ChainError, match="must be a list"):
            kavri.validate_chain(chain)
    # Counts and levels of the meters and writers: a chunk of -5 frames measured nothing
    # and called it silence, 2.7 channels were written as 2, a set of indices or speakers
    # went in hash order, and 10**400 was a bare OverflowError.
    audio = noise(4800, 1)[:, 0]
    for call, error, message in (
        (lambda: kavri.measure(audio, RATE, -5), ValueError, "chunk_frames must be 1 or more"),
        (lambda: kavri.measure(audio, RATE, 2.5), TypeError, "chunk_frames must be a whole"),
        (lambda: kavri.measure(audio, 10**400), ValueError, "sample_rate is too large"),
        (lambda: kavri.RenderSettings(loudness=-(10**400)), ValueError, "got -inf"),
        (
            lambda: kavri.io.open_output(tmp_path / "x.wav", RATE, 2.7).__enter__(),
            AudioFileError,
            "channels must be a whole number, got 2.7",
        ),
        (
            lambda: kavri.augment_batch(
                np.zeros((3, 10), np.float32), RATE, [], seed=1, indices={7, 2, 5}
            ),
            TypeError,
            "indices must be a sequence",
        ),
        (
            lambda: kavri.augment_batch(
                np.zeros((3, 10), np.float32), RATE, [], seed=1, indices=np.array(5)
            ),
            TypeError,
            "indices must be a sequence, one per item, got ndarray",
        ),
        (
            lambda: kavri.loudness.LoudnessMeter(RATE, 2, layout={"FL", "FR"}),
            TypeError,
            "layout must be a sequence",
        ),
    ):
        with pytest.raises(error, match=message):
            call()
    assert not (tmp_path / "x.wav").exists()
    # A chain file named by bytes, as any file may be, was taken for a list of specs.
    (tmp_path / "chain.json").write_text('[{"type": "gain", "db": -3}]')
    assert kavri.load_chain(os.fsencode(tmp_path / "chain.json")) == [{"type": "gain", "db": -3}]
    # One path where a list of them belongs was taken letter by letter.
    with pytest.raises(TypeError, match="files must be a list of paths"):
        kavri.batch(str(tmp_path), "vocal", tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_writing_a_channels_first_array_says_so(tmp_path):
    with pytest.raises(
        AudioFileError,
        match=r"at most 1024 channels, the audio has 48000; "
        r"is the array \(channels, frames\)\? pass audio.T",
    ):
        kavri.write(tmp_path / "x.wav", np.zeros((2, 48_000), np.float32), RATE)
    assert os.listdir(tmp_path) == []


def test_batch_refuses_bad_workers_once_before_any_file(work):
    with pytest.raises(ValueError, match="workers must be 0 or more"):
        kavri.batch([work / "in" / "a.wav", work / "in.wav"], "saturate", work / "out", workers=-1)
    assert not (work / "out").exists()


# --- channel counts per container --------------------------------------------------------


def test_channel_limits_of_each_container(tmp_path):
    # Beyond its limit libsndfile crashes (Ogg) or fails obscurely: run the refusals in a
    # child process, so that a regression shows as a failure rather than killing the run.
    script = textwrap.dedent("""
        import json, os, sys, numpy as np, kavri
        results = {}
        for name, channels in [("x.ogg", 256), ("x.ogg", 1024), ("x.flac", 9),
                               ("x.wav", 1025), ("x.caf", 1025), ("x.aiff", 1025),
                               ("x.w64", 1025)]:
            try:
                kavri.write(name, np.zeros((100, channels), np.float32), 48000)
                results[f"{name}:{channels}"] = "written"
            except kavri.AudioFileError as error:
                results[f"{name}:{channels}"] = str(error)
        print(json.dumps({"results": results, "left": sorted(os.listdir("."))}))
    """)
    child = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    assert report["left"] == []
    results = report["results"]
    assert results["x.ogg:256"] == "x.ogg: OGG files hold at most 255 channels, the audio has 256"
    assert results["x.flac:9"] == "x.flac: FLAC files hold at most 8 channels, the audio has 9"
    for name in ("x.wav", "x.caf", "x.aiff", "x.w64"):
        assert results[f"{name}:1025"].endswith("hold at most 1024 channels, the audio has 1025")
    # And right at each limit the file is written and reads back.
    for name, channels in [("a.ogg", 255), ("a.flac", 8), ("a.wav", 1024), ("a.caf", 1024)]:
        audio = np.zeros((16, channels), np.float32)
        kavri.write(tmp_path / name, audio, RATE)
        assert kavri.read(tmp_path / name).audio.shape == (16, channels)


# --- file names that are not UTF-8 -------------------------------------------------------


@pytest.mark.parametrize("suffix", [".wav", ".flac", ".ogg", ".aiff", ".caf", ".w64"])
def test_names_that_are_not_utf8_round_trip(tmp_path, suffix):
    audio = noise(channels=3)
    as_str = os.path.join(tmp_path, os.fsdecode(b"take_\xff" + suffix.encode()))
    kavri.write(as_str, audio, RATE)
    as_bytes = os.fsencode(tmp_path) + b"/take_\xff" + suffix.encode()
    assert os.listdir(os.fsencode(tmp_path)) == [b"take_\xff" + suffix.encode()]
    back, rate = kavri.read(as_bytes)
    assert rate == RATE and back.shape == audio.shape
    if suffix not in (".flac", ".ogg"):
        assert np.array_equal(back, audio)
    kavri.write(os.fsencode(tmp_path) + b"/copy_\xfe" + suffix.encode(), back, RATE)
    copy = kavri.read(os.path.join(tmp_path, "copy_\udcfe" + suffix)).audio
    assert copy.shape == back.shape
    if suffix != ".ogg":  # every other format gives back exactly what it holds
        assert np.array_equal(copy, back)
    with pytest.raises(AudioFileError, match=r"nope_\\xff\.wav: no such file"):
        kavri.read(os.fsencode(tmp_path) + b"/nope_\xff.wav")


@pytest.mark.slow
def test_cli_with_names_that_are_not_utf8(work, run_kavri):
    kavri.write(os.path.join(work, "in", "b_\udcff.wav"), noise(), RATE)
    result = run_kavri(b"process", b"in/b_\xff.wav", b"out_\xfe.wav", "--effect", "gain", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("in/b_\\xff.wav -> out_\\xfe.wav: 4800 frames")
    batch = run_kavri("batch", "in", "out", "--effect", "gain", cwd=work)
    assert batch.returncode == 0, batch.stderr
    written = sorted(n for n in os.listdir(os.fsencode(work / "out")) if not n.startswith(b"."))
    assert written == [b"a.wav", b"b_\xff.wav"]
    missing = run_kavri(b"process", b"in/c_\xff.wav", b"out.wav", "--effect", "gain", cwd=work)
    assert missing.stderr == "kavri: error: in/c_\\xff.wav: no such file\n"


def test_an_output_folder_that_exists_but_cannot_be_written_is_named_so(work, monkeypatch):
    from kavri.runs.tasks import check_output_folder

    # Root passes permission bits; a read-only mount is what refuses it.
    monkeypatch.setattr(os, "access", lambda path, mode, **options: False)
    with pytest.raises(kavri.KavriError, match=r"in: cannot write into the folder: it is not wri"):
        check_output_folder(str(work / "in"))
    with pytest.raises(kavri.KavriError, match=r"in/new: cannot create the folder: .*in is not"):
        check_output_folder(str(work / "in" / "new"))
    # A run from Python refuses it as the command line does (it had named its record).
    chain = [{"type": "gain", "db": -1}]
    with pytest.raises(kavri.KavriError, match=r"in: cannot write into the folder: it is not wri"):
        kavri.batch([work / "in.wav"], chain, work / "in")
    with pytest.raises(kavri.KavriError, match=r"in: cannot write into the folder: it is not wri"):
        kavri.augment_files(
            [work / "in.wav"], chain, work / "in", variants=1, seed=1, base_dir=work
        )


def _write_until_closed(fd: int) -> None:
    try:
        while True:
            os.write(fd, b"y\n" * 32768)
    except BrokenPipeError:
        os.close(fd)


def test_devices_and_pipes_are_neither_replaced_nor_read_without_end(work, run_kavri, monkeypatch):
    # An output that was a device or a FIFO (or a link to one) was renamed over: as root,
    # "kavri process in.wav /dev/null" replaced /dev/null with a file. /dev/zero as an input
    # was copied to the temporary folder until its disk was all but full, and as a chain
    # file read until memory ran out.
    # A node of its own, not the system's /dev/null: a regression would replace it.
    os.mkfifo(work / "fifo.wav")
    (work / "link.png").symlink_to("fifo.wav")
    outputs = [("fifo.wav", "a pipe")]
    try:
        os.mknod(work / "null.wav", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        outputs.append(("null.wav", "a device"))
    except OSError:
        pass  # not root, or a container that allows no devices
    # /dev/stdout leads to a pipe no path names: "/proc/N/fd/pipe:[M]: No such file".
    outputs.append(("/dev/stdout", "a pipe"))
    for output, kind in outputs:
        run = run_kavri("process", "in.wav", output, "--effect", "gain", cwd=work)
        assert run.stderr == f"kavri: error: {output}: cannot write: it is {kind}, not a file\n"
        if output != "/dev/stdout":
            with pytest.raises(AudioFileError, match=f"cannot write: it is {kind}, not a file"):
                kavri.write(work / output, noise(), RATE)
    with pytest.raises(KavriError, match="link.png: cannot write: it is a pipe"):
        kavri.plot.plot_chain([{"type": "gain"}], work / "link.png", RATE)
    assert (work / "fifo.wav").is_fifo() and (work / "link.png").is_symlink()
    assert len(outputs) == 1 or (work / "null.wav").is_char_device()
    assert not (work / ".kavri-tmp.d").exists()
    # A folder in the output's place is found before the work, not after it.
    monkeypatch.setattr(kavri.files, "render", lambda *a, **k: pytest.fail("rendered"))
    (work / "dir.wav").mkdir()
    with pytest.raises(AudioFileError, match="dir.wav: cannot write: Is a directory"):
        kavri.process_file(work / "in.wav", work / "dir.wav", "vocal")
    # So is another user's file in a shared folder (/tmp's sticky bit), which the rename
    # refused with a bare "Operation not permitted" once the whole render was done.
    (work / "shared").mkdir()
    (work / "shared").chmod(0o1777)
    kavri.write(work / "shared" / "theirs.wav", noise(), RATE)
    monkeypatch.setattr(os, "geteuid", lambda: 4321)
    with pytest.raises(AudioFileError, match="theirs.wav: cannot write: it is another user's"):
        kavri.process_file(work / "in.wav", work / "shared" / "theirs.wav", "vocal")
    monkeypatch.undo()
    for args in (["process", "/dev/zero", "o.wav", "--effect", "gain"], ["meter", "/dev/zero"]):
        run = run_kavri(*args, cwd=work)
        assert (
            run.stderr
            == "kavri: error: /dev/zero: cannot read: it is a device, not a file or a pipe\n"
        )
    run = run_kavri("process", "-", "o.wav", "--effect", "gain", cwd=work, stdin=subprocess.DEVNULL)
    assert "standard input: cannot read: it is a device" in run.stderr
    run = run_kavri("process", "in.wav", "o.wav", "--chain", "/dev/zero", cwd=work)
    assert run.stderr == "kavri: error: /dev/zero: is a device, not a chain file\n"
    assert not (work / "o.wav").exists()
    # --chain <(yes) was read until memory ran out too.
    monkeypatch.setattr(kavri.chain, "_CHAIN_TEXT_LIMIT", 1 << 20)
    read_end, write_end = os.pipe()
    writer = threading.Thread(target=_write_until_closed, args=(write_end,))
    writer.start()
    try:
        with pytest.raises(ChainError, match=f"/dev/fd/{read_end}: larger than 1 MiB; not a"):
            kavri.process(noise(), RATE, f"/dev/fd/{read_end}")
    finally:
        os.close(read_end)
        writer.join()
    monkeypatch.undo()
    # A pipe is read as ever, from a FIFO's writer or standard input.
    source = (work / "in.wav").read_bytes()
    run = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "-", "o.wav", "--effect", "gain", "--quiet"],
        cwd=work,
        input=source,
        capture_output=True,
        timeout=300,
    )
    assert run.returncode == 0 and kavri.read(work / "o.wav").audio.shape[0] == 4800


def test_folders_that_cannot_be_listed_are_named_not_passed_over(work):
    # A glob passes over a folder it cannot list without a word: a batch over a tree with
    # one such folder said "1 processed, 0 failed" with exit 0, and a noise folder drew
    # from what was left.
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("root reads every folder, and setpriv is not here to drop that")
        prefix = ["setpriv", "--bounding-set=-all", "--inh-caps=-all"]
    else:
        prefix = []

    def kavri_cli(*args):
        command = [*prefix, sys.executable, "-m", "kavri", *args]
        return subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=300)

    # Each kind the glob passes over: a folder, a hidden one and a link to one that a
    # pattern names, and one that can be listed but not searched (a traceback).
    for name in ("locked", ".takes", "elsewhere", "unsearchable"):
        (work / "in" / name).mkdir()
        kavri.write(work / "in" / name / "b.wav", noise(), RATE)
    (work / "in" / "elsewhere").rename(work / "elsewhere")
    (work / "in" / "link").symlink_to(work / "elsewhere")
    (work / "in" / "nowhere.wav").symlink_to(work / "gone.wav")
    locked = [work / "in" / "locked", work / "in" / ".takes", work / "elsewhere"]
    for folder in locked:
        folder.chmod(0)
    (work / "in" / "unsearchable").chmod(0o444)
    try:
        patterns = ["--pattern", "*.wav", "--pattern", "link/*.wav", "--pattern", ".takes/*"]
        run = kavri_cli("batch", "in", "out", *patterns, "--effect", "gain")
        assert run.returncode == 1 and (work / "out" / "a.wav").exists()
        assert run.stdout.endswith("1 failed, 4 folders not read\n")  # "0 failed", exit 1
        assert run.stderr.splitlines() == [
            f"kavri: error: in/{name}: cannot read the folder (Permission denied); "
            "its files are left out"
            for name in (".takes", "link", "locked", "unsearchable")
        ] + ["kavri: error: in/nowhere.wav: cannot read: No such file or directory"]
        for pattern in ("**/*.wav", "*/*.wav", "**"):  # "**": every file below, unchecked
            drawn = f"background_noise:path=in,pattern={pattern},snr_db=10"
            run = kavri_cli("process", "in.wav", "o.wav", "--effect", drawn)
            assert run.stderr == (
                "kavri: error: background_noise: in/locked: cannot list: Permission denied\n"
            )
        # A folder the pattern does not reach is not looked at (the whole tree had been).
        (work / "in" / "fine").mkdir()
        kavri.write(work / "in" / "fine" / "n.wav", noise(), RATE)
        drawn = "background_noise:path=in,pattern=f*/*.wav,snr_db=10"
        run = kavri_cli("process", "in.wav", "o.wav", "--effect", drawn, "--quiet")
        assert run.returncode == 0, run.stderr
        run = kavri_cli("batch", "in/locked/deeper", "out", "--effect", "gain")
        assert run.stderr == (
            "kavri: error: in/locked/deeper: cannot read the folder: Permission denied\n"
        )
        # An output folder that can be written but not searched had been "not writable".
        (work / "blind").mkdir()
        (work / "blind").chmod(0o622)
        run = kavri_cli("batch", "in", "blind", "--effect", "gain")
        assert (
            run.stderr
            == "kavri: error: blind: cannot write into the folder: it is not searchable\n"
        )
    finally:
        for folder in [*locked, work / "in" / "unsearchable"]:
            folder.chmod(0o755)


def test_no_output_is_written_over_a_file_the_chain_reads(work, run_kavri):
    # "--effect convolution:ir=room.wav" with room.wav as OUT replaced the response (exit
    # 0); in a batch, the files after it were convolved with the output put in its place.
    response = np.zeros((64, 2), np.float32)
    response[0] = 1.0
    (work / "out").mkdir()
    for name in ("room.wav", "out/a.wav"):
        kavri.write(work / name, response, RATE)
    kept = (work / "room.wav").read_bytes()
    run = run_kavri(
        "process", "in.wav", "room.wav", "--effect", "convolution:ir=room.wav", cwd=work
    )
    assert run.stderr == (
        "kavri: error: room.wav: is a file the chain reads; pass --overwrite to replace it\n"
    )
    kavri.write(work / "in" / "b.wav", noise(), RATE)
    chain = [{"type": "convolution", "ir": str(work / "out" / "a.wav")}]
    report = kavri.batch(sorted((work / "in").iterdir()), chain, work / "out")
    assert [r.error for r in report.failed] == [
        f"{work}/in/a.wav: output would overwrite {work}/out/a.wav, a file the chain reads"
    ]
    assert (work / "room.wav").read_bytes() == kept == (work / "out" / "a.wav").read_bytes()
    want = kavri.process(noise(), RATE, [{"type": "convolution", "ir": response}])
    assert np.array_equal(kavri.read(work / "out" / "b.wav").audio, want)
    # The response as standard output, and a noise folder as the output folder (outputs
    # joined the draws as the run went on, and every rerun failed).
    shell = 'exec "$0" -m kavri process in.wav - --effect convolution:ir=room.wav 1<>room.wav'
    run = subprocess.run(
        ["/bin/sh", "-c", shell, sys.executable], cwd=work, capture_output=True, text=True
    )
    assert run.stderr == "kavri: error: standard output is room.wav, a file the chain reads\n"
    assert (work / "room.wav").read_bytes() == kept
    drawn = [{"type": "background_noise", "path": str(work / "out"), "seed": 5}]
    report = kavri.batch([work / "in" / "b.wav"], drawn, work / "out" / "more")
    assert [r.error for r in report.failed] == [
        f"{work}/in/b.wav: output would go into {work}/out, a folder the chain draws from"
    ]


def test_a_tree_a_thousand_folders_deep_is_walked_and_mirrored(work, run_kavri):
    # The walk for unreadable folders and the making of output folders recursed once a
    # level: a batch, an augment run or a noise folder of such a tree gave a RecursionError.
    deep = os.path.join("tree", *["a"] * 1000)
    for level in range(1001):
        os.mkdir(work / os.path.join("tree", *["a"] * level))
    shutil.copy(work / "in.wav", work / deep / "x.wav")
    try:
        files = kavri.runs.batch.find_files(work / "tree", "**/*.wav")
        kavri.batch(files, [{"type": "gain"}], work / "out", base_dir=work / "tree")
        assert (work / "out" / deep.split(os.sep, 1)[1] / "x.wav").is_file()
        spec = {"type": "background_noise", "path": str(work / "tree"), "pattern": "**/*.wav"}
        kavri.process(noise(), RATE, [{**spec, "offset_frames": 0}])
        # So deep in links that lead to links, the path is refused in a line of its own.
        os.symlink("o.wav", work / "l1500")
        for n in range(1500, 0, -1):
            os.symlink(f"l{n}", work / f"l{n - 1}")
        run = run_kavri("process", "in.wav", "l0", "--effect", "gain", "--format", "wav", cwd=work)
        assert run.stderr.startswith("kavri: error: something is nested too deeply to follow")
    finally:  # shutil.rmtree recurses too: pytest's clean-up of the folder would fail
        for top in ("tree", "out"):
            for folder, _, names in os.walk(work / top, topdown=False):
                for name in names:
                    os.remove(os.path.join(folder, name))
                os.rmdir(folder)


def test_names_with_a_newline_keep_each_message_on_one_line(work, run_kavri):
    (work / "in" / "new\nbad.wav").write_text("not audio\n")
    kavri.write(work / "in" / "ok\tname.wav", noise(), RATE)
    bad = run_kavri("process", "in/new\nbad.wav", "o.wav", "--effect", "gain", cwd=work)
    assert bad.stderr == "kavri: error: in/new\\nbad.wav: not a readable audio file " + (
        "(Format not recognised)\n"
    )
    good = run_kavri("process", "in/ok\tname.wav", "o\nx.wav", "--effect", "gain", cwd=work)
    assert good.stdout.startswith("in/ok\\tname.wav -> o\\nx.wav: 4800 frames")
    assert good.stderr.startswith("kavri: o\\nx.wav: peak ") and good.stderr.count("\n") == 1
    batch = run_kavri("batch", "in", "out", "--effect", "gain", cwd=work)
    assert batch.stderr.splitlines() == [bad.stderr.strip()]
    metered = run_kavri("meter", "o\nx.wav", cwd=work)
    assert metered.stdout.startswith("o\\nx.wav\n  duration ")
    # Names and texts given were printed raw: an escape sequence reached the terminal.
    for args, shown in (
        (["--subtype", "pcm\x1b[31m\nX", "--effect", "gain"], "'pcm\\x1b[31m\\nX'"),
        (["--effect", "mixdown:weights=[1\x1b[2J\nFAKE"], "got '[1\\x1b[2J\\nFAKE'"),
        (["--effect", "background_noise:path=in,pattern=z\x1b*.wav"], "'z\\x1b*.wav'"),
    ):
        run = run_kavri("process", "in.wav", "o.wav", *args, cwd=work)
        assert run.stderr.count("\n") == 1 and "\x1b" not in run.stderr and shown in run.stderr


# --- a full disk and a lying header ------------------------------------------------------


@pytest.mark.parametrize("name", ["full.wav", "full.flac", "full.ogg", "full.aiff"])
def test_full_disk_is_named_and_leaves_nothing(tmp_path, monkeypatch, name):
    # The temporary output is swapped for a link to /dev/full, where every write fails
    # with ENOSPC, as on a full disk. Ogg's writer ignores failed writes altogether.
    real_create = kavri.io.atomic._create

    def onto_dev_full(name, folder):
        handle, path = real_create(name, folder)
        os.unlink(path)
        os.symlink("/dev/full", path)
        return handle, path

    monkeypatch.setattr(kavri.io.atomic, "_create", onto_dev_full)
    with pytest.raises(
        AudioFileError, match=f"/{re.escape(name)}: cannot write: No space left on device$"
    ):
        kavri.write(tmp_path / name, noise(frames=48_000), RATE)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("subtype", ["pcm24", "pcm16"])
def test_a_file_size_limit_is_named(tmp_path, subtype):
    # Once libsndfile had gone back to its header, the write that asks the system why was
    # made over blocks the file had, succeeded, and the cause shown was "System error".
    kavri.write(tmp_path / "in.wav", noise(frames=200_000), RATE)
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (300_000, 300_000))  # noqa: E731
    done = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "in.wav", "out.wav", "--effect", "gain"]
        + ["--subtype", subtype],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        preexec_fn=limit,
        timeout=120,
    )
    assert done.returncode == 1
    assert done.stderr == "kavri: error: out.wav: cannot write: File too large\n"
    assert sorted(os.listdir(tmp_path)) == ["in.wav"]


def test_header_claiming_more_frames_than_the_file_holds(tmp_path):
    kavri.write(tmp_path / "small.flac", noise(frames=4000), RATE)
    data = bytearray((tmp_path / "small.flac").read_bytes())
    assert data[:4] == b"fLaC"
    # STREAMINFO: 20 bits rate, 3 bits channels, 5 bits depth, then 36 bits of frame count.
    fields = int.from_bytes(data[18:26], "big")
    assert fields & (2**36 - 1) == 4000
    data[18:26] = (fields & ~(2**36 - 1) | 2**33).to_bytes(8, "big")
    (tmp_path / "bomb.flac").write_bytes(data)
    assert sf.info(str(tmp_path / "bomb.flac")).frames == 2**33
    with pytest.raises(
        AudioFileError,
        match=r"bomb.flac: damaged header: it claims "
        r"8589934592 frames, more than a file of ",
    ):
        kavri.read(tmp_path / "bomb.flac")
    # A truthful header right next to it still reads.
    assert kavri.read(tmp_path / "small.flac").audio.shape == (4000, 2)


def test_plot_refuses_an_overflowing_chain_and_odd_rates(tmp_path):
    from kavri.plot import plot_chain

    with pytest.raises(KavriError, match="not finite"):
        plot_chain([{"type": "gain", "db": 700}] * 2, tmp_path / "x.png")
    for rate in (1, 7999, 768_001, True):
        with pytest.raises(KavriError, match="plots are measured at 8000 to 768000 Hz"):
            plot_chain("saturate", tmp_path / "x.png", sample_rate=rate)
    assert os.listdir(tmp_path) == []


# --- any value, any text -----------------------------------------------------------------


def any_value():
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True, width=64),
        st.floats(width=32).map(np.float32),
        st.integers(),
        st.integers(min_value=10**4000, max_value=10**4500),
        st.fractions(),
        st.decimals(),
        st.booleans(),
        st.none(),
        st.text(max_size=6),
        st.lists(st.integers(), max_size=2),
        st.just(1j),
    )


@pytest.mark.slow
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(effect=st.sampled_from(sorted(kavri.EFFECTS)), data=st.data())
def test_the_chain_checker_only_ever_raises_chain_errors(effect, data):
    keys = [p.key for p in kavri.EFFECTS[effect].params] + ["junk"]
    spec = {
        "type": effect,
        **data.draw(st.dictionaries(st.sampled_from(keys), any_value(), max_size=3)),
    }
    try:
        checked = kavri.validate_chain([spec])[0]
    except ChainError as error:
        assert "\n" not in str(error) and len(str(error)) < 400
        return
    # Whatever passes reaches the engine as a finite single-precision number or an int32.
    for key, value in checked.items():
        if key != "type" and kavri.EFFECTS[effect].param(key).kind == "number":
            assert np.isfinite(np.float32(float(value))) or kavri.EFFECTS[effect].param(key).integer


@settings(max_examples=EXAMPLES, deadline=None)
@example("gain:db=nan")
@example("gain:db=-1e999")
@example("gain:db=" + "9" * 5000)
@given(text=st.text(alphabet=st.sampled_from(list("gain:db=,.eE+-0123456789naifNI ")), max_size=30))
def test_effect_option_text_only_ever_raises_chain_errors(text):
    try:
        spec = kavri.chain.parse_effect_option(text)
    except ChainError:
        return
    # The alphabet spells "gain", and the steps "fade" and "pad" with their defaults.
    assert spec["type"] in ("gain", "fade", "pad")
    assert all(np.isfinite(v) for k, v in spec.items() if k != "type")


def test_outputs_that_cannot_be_written_are_refused_before_the_work(work, run_kavri):
    # A read-only file system, or an immutable file, was found out by the rename once all of
    # the work was done (a loudness target's passes, a plot's figure), in words that named
    # neither; an augment run made every output, then ended on its immutable manifest.
    from kavri._paths import temporary_folder_shown

    mounted = work / "ro"
    mounted.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mounted)]).returncode:
        pytest.skip("no read-only file system can be mounted here")
    try:
        kavri.write(mounted / "x.wav", noise(), RATE)
        subprocess.run(["mount", "-o", "remount,ro", str(mounted)], check=True)
        run = run_kavri("process", "in.wav", "ro/o.wav", "--loudness", "-16", cwd=work)
        assert run.stderr.endswith(f"folder {mounted} is on a read-only file system\n")
        run = run_kavri("batch", "in", "ro", "--effect", "gain", cwd=work)
        assert run.stderr.endswith(
            ": ro: cannot write into the folder: it is on a read-only file system\n"
        )
        with pytest.MonkeyPatch.context() as patch:
            patch.setenv("TMPDIR", str(mounted))
            patch.setattr(tempfile, "tempdir", None)
            assert temporary_folder_shown().endswith(
                f"(TMPDIR, {mounted}, is on a read-only file system)"
            )
    finally:
        subprocess.run(["umount", str(mounted)], check=True)
    flagged = []

    def chattr(flag, path):
        if subprocess.run(["chattr", flag, str(path)], capture_output=True).returncode:
            pytest.skip("this file system keeps no immutable or append-only flags")
        if flag.startswith("+"):
            flagged.append(path)

    try:
        before = (work / "in.wav").read_bytes()
        chattr("+i", work / "in.wav")
        run = run_kavri("process", "in.wav", "in.wav", "--overwrite", "--peak", "-1", cwd=work)
        assert run.stderr == "kavri: error: in.wav: cannot write: it is immutable (chattr +i)\n"
        chattr("-i", work / "in.wav")
        chattr("+a", work / "in")
        run = run_kavri("process", "in.wav", "in/a.wav", "--effect", "gain", cwd=work)
        assert run.stderr.endswith("is append-only (chattr +a): no file in it can be replaced\n")
        chattr("-a", work / "in")
        chain = work / "random.json"
        chain.write_text('[{"type": "gain", "db": {"uniform": [-6, 0]}}]')
        args = ["augment", "in", "aug", "--chain", str(chain), "--seed", "1", "--quiet"]
        assert run_kavri(*args, "--variants", "1", cwd=work).returncode == 0
        chattr("+i", work / "aug" / "augment.jsonl")
        run = run_kavri(*args, "--variants", "2", cwd=work)
        assert run.stderr.endswith("augment.jsonl: cannot write: it is immutable (chattr +i)\n")
        assert sorted(os.listdir(work / "aug")) == [
            ".kavri-batch.json",
            "a.v0.wav",
            "augment.jsonl",
        ]
    finally:
        for path in flagged:
            subprocess.run(["chattr", "-ia", str(path)])
    assert (work / "in.wav").read_bytes() == before
