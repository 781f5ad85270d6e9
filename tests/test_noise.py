"""Noise and degradation: coloured noise's slopes measured by Welch, ratios measured on the
result, codec lengths and alignment, round-trip error bounds, background noise that reads
only what it mixes, and the bits of one call for any chunking, worker count and process."""

from __future__ import annotations

import json
import math
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
import scipy.signal
import soundfile as sf

import kavri
from kavri.catalogue import NOISE_COLOURS
from kavri.cli import main
from kavri.codecs import BLOCK, codec_available
from kavri.io import DecodedSource
from kavri.steps.noise import BLOCK as NOISE_BLOCK
from kavri.steps.noise import colour_filter, white_block

RATE = 48_000
CODECS = [name for name in ("mp3", "vorbis", "opus", "gsm") if codec_available(name)]


def tones(frames: int, channels: int = 2, rate: int = RATE) -> np.ndarray:
    t = np.arange(frames) / rate
    columns = [0.3 * np.sin(2 * np.pi * (220 + 110 * c) * t + c) for c in range(channels)]
    return np.stack(columns, axis=1).astype(np.float32)


def snr_db(dry: np.ndarray, wet: np.ndarray) -> float:
    signal = np.asarray(dry, np.float64)
    added = np.asarray(wet, np.float64) - signal
    return 10 * math.log10(np.mean(signal**2) / np.mean(added**2))


def noise_only(colour: str, frames: int, rate: int, seed: int = 1) -> np.ndarray:
    spec = {"type": "noise", "colour": colour, "mode": "level", "level_db": 0, "seed": seed}
    return kavri.process(np.zeros(frames, np.float32), rate, [spec]).astype(np.float64)


# --- coloured noise ---------------------------------------------------------------------------


@pytest.mark.parametrize("rate", [8000, 16000, 44100, 48000, 96000, 192000])
def test_colour_filters_follow_their_slope_at_every_rate(rate):
    """The designed filters' responses (computed by scipy, not by the design's own code)
    follow f**a from 20 Hz to 0.45 x the rate."""
    for colour, slope in NOISE_COLOURS.items():
        sos, gain, _ = colour_filter(colour, rate)
        f = np.geomspace(20, 0.45 * rate, 2000)
        if sos.shape[0]:
            _, h = scipy.signal.sosfreqz(sos, worN=f, fs=rate)
            db = 20 * np.log10(np.abs(h) * gain)
        else:
            db = np.zeros_like(f)
        error = db - 10 * slope * np.log10(f)
        assert np.ptp(error) < 0.3, (colour, rate, np.ptp(error))


@pytest.mark.parametrize(
    "colour, rate",
    [("brown", 85), ("brown", 100), ("brown", 1783), ("violet", 74), ("violet", 2673)],
)
def test_a_fit_that_puts_a_pole_on_the_unit_circle_is_mended(colour, rate):
    # At these rates a fit left a pole at 1 (a division by zero, or a run-in of hundreds of
    # TiB), or a hair inside -1: a resonance at half the rate that took the power from the
    # band. The band keeps its slope; the filter settles within seconds.
    sos, gain, warm = colour_filter(colour, rate)
    assert warm < 3 * rate
    f = np.geomspace(20, 0.45 * rate, 2000)
    _, h = scipy.signal.sosfreqz(sos, worN=f, fs=rate)
    error = 20 * np.log10(np.abs(h) * gain) - 10 * NOISE_COLOURS[colour] * np.log10(f)
    assert np.ptp(error) < 0.4, np.ptp(error)
    _, h = scipy.signal.sosfreqz(sos, worN=1 << 16, fs=rate)
    power = np.abs(h) ** 2
    above = power[np.linspace(0, rate / 2, 1 << 16, endpoint=False) > 0.45 * rate]
    assert np.sum(above) / np.sum(power) < 0.3  # f**2 puts 27% there
    out = noise_only(colour, 4 * rate, rate)
    assert np.all(np.isfinite(out))


def test_colours_are_scipys_designs_and_filters_without_loading_it():
    # The kept fits are what SciPy's least squares gives, the native sections give
    # scipy.signal.sosfilt's bits with their state carried, and noise loads no SciPy.
    from kavri._engine import filter_sections
    from kavri._filter_designs import NOISE_DESIGNS
    from kavri.steps.noise import design_fitted

    assert {(-1, 48000), (-2, 16000), (2, 44100)} <= NOISE_DESIGNS.keys()
    for (slope, rate), (poles, zeros) in NOISE_DESIGNS.items():
        assert (list(poles), list(zeros)) == design_fitted(slope, rate), (slope, rate)
    rng = np.random.default_rng(3)
    for colour in ("pink", "violet"):
        sos, _, _ = colour_filter(colour, 22050)
        x = rng.standard_normal((3000, 3))
        state = 0.1 * rng.standard_normal((sos.shape[0], 2, 3))
        want, want_state = scipy.signal.sosfilt(sos, x, axis=0, zi=state)
        got, got_state = x.copy(), state.copy()
        filter_sections(sos, got[:1234], got_state)  # two calls, the state carried
        filter_sections(sos, got[1234:], got_state)
        assert got.tobytes() == want.tobytes() and got_state.tobytes() == want_state.tobytes()
    with pytest.raises(ValueError, match="float64"):
        filter_sections(sos, x.astype(np.float32), state)
    loaded = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, numpy as np, kavri\n"
            "spec = {'type': 'noise', 'colour': 'pink', 'mode': 'level', 'level_db': -20}\n"
            "kavri.process(np.zeros(4800, np.float32), 48000, [spec])\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] == 'scipy'))",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert loaded.stdout.strip() == "[]"


def test_a_colour_is_fitted_alike_whatever_numpy_picks_for_the_processor():
    # NumPy picks vector versions of its functions by the processor as it loads; a fit that
    # leaned on them came out otherwise on another machine (and the kept fits with it). A
    # child with every such choice switched off must fit the very numbers fitted here.
    from numpy._core._multiarray_umath import (
        __cpu_baseline__,
        __cpu_dispatch__,
        __cpu_features__,
    )

    from kavri.steps.noise import design_fitted

    picked = [f for f in __cpu_dispatch__ if __cpu_features__.get(f) and f not in __cpu_baseline__]
    cases = [(-2, 48000), (-1, 37800), (2, 11025)]
    script = (
        "from kavri.steps.noise import design_fitted\n"
        f"print(repr([design_fitted(s, r) for s, r in {cases!r}]))"
    )
    child = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "NPY_DISABLE_CPU_FEATURES": " ".join(picked)},
    )
    assert child.stdout.strip() == repr([design_fitted(s, r) for s, r in cases])


@pytest.mark.slow
@pytest.mark.parametrize("rate", [16000, 48000])
def test_noise_slopes_measured_by_welch_within_half_a_db(rate):
    """Welch spectra of two minutes of each colour, averaged in third-octave bands from 20
    Hz to 0.45 x the rate, lie within 0.5 dB of the nominal power law (after the level).
    (A band's estimate has a standard error of about 0.1 dB at the lowest band.)"""
    frames = 120 * rate
    edges = 20 * 2 ** (np.arange(0, 40) / 3)
    edges = edges[edges <= 0.45 * rate]
    for colour, slope in NOISE_COLOURS.items():
        noise = noise_only(colour, frames, rate)
        f, power = scipy.signal.welch(noise, rate, nperseg=1 << 15)
        deviation = []
        for low, high in zip(edges[:-1], edges[1:], strict=True):
            band = (f >= low) & (f < high)
            deviation.append(10 * np.log10(np.mean(power[band]) / np.mean(f[band] ** slope)))
        deviation = np.array(deviation) - np.median(deviation)
        assert np.max(np.abs(deviation)) < 0.5, (colour, deviation)


def test_white_noise_is_its_counter_words_gaussian():
    """Frame n of channel c comes from the words of its block: a 3-channel call holds the
    blocks of each channel's key, and the samples are unit Gaussian."""
    frames = NOISE_BLOCK * 2 + 300
    spec = {"type": "noise", "colour": "white", "mode": "level", "level_db": 0, "seed": 9}
    out = kavri.process(np.zeros((frames, 3), np.float32), RATE, [spec])
    for channel in range(3):
        words = np.concatenate([white_block(9, channel, b) for b in range(3)])[:frames]
        assert np.array_equal(out[:, channel], words)
    assert abs(np.std(out) - 1) < 0.01 and abs(np.mean(out)) < 0.01
    # The same frames in a mono call, and another seed elsewhere.
    mono = kavri.process(np.zeros(frames, np.float32), RATE, [spec])
    assert np.array_equal(mono, out[:, 0])
    other = kavri.process(np.zeros(frames, np.float32), RATE, [{**spec, "seed": 10}])
    assert not np.any(other == mono)


def test_noise_level_and_ratio_are_measured():
    dry = tones(RATE * 2)
    for colour in NOISE_COLOURS:
        for ratio in (-5.0, 0.0, 12.5, 40.0):
            spec = {"type": "noise", "colour": colour, "snr_db": ratio, "seed": 3}
            assert abs(snr_db(dry, kavri.process(dry, RATE, [spec])) - ratio) < 0.1
    # The expected level: over a minute of white, blue and violet noise; pink and brown
    # wander (their power lies low), so their power is averaged over many seeds.
    for colour in ("white", "blue", "violet"):
        noise = noise_only(colour, 8000 * 60, 8000)
        assert abs(10 * math.log10(np.mean(noise**2))) < 0.1, colour
    for colour in ("pink", "brown"):
        power = [np.mean(noise_only(colour, 8000 * 20, 8000, seed) ** 2) for seed in range(16)]
        assert abs(10 * math.log10(np.mean(power))) < (0.1 if colour == "pink" else 0.5), colour
    # A silent input gets no noise at a ratio.
    silent = np.zeros((1000, 2), np.float32)
    assert np.array_equal(kavri.process(silent, RATE, [{"type": "noise"}]), silent)


# --- the bits of one call -------------------------------------------------------------------


def exact_chains(folder: Path) -> list[list[dict]]:
    noise_file = str(folder / "hum.wav")
    return [
        [{"type": "noise", "colour": "pink", "mode": "level", "level_db": -30, "seed": 4}],
        [{"type": "noise", "colour": "brown", "snr_db": 6, "seed": 5}],
        [{"type": "background_noise", "path": str(folder), "snr_db": 3, "seed": 2}],
        [{"type": "background_noise", "path": noise_file, "mode": "gain", "gain_db": -6}],
        *([{"type": "codec", "format": name, "quality": 0.3}] for name in CODECS),
        [{"type": "mu_law"}, {"type": "a_law"}],
        [{"type": "bitcrush", "bits": 5}, {"type": "sample_hold", "rate_hz": 7001}],
        [{"type": "polarity"}, {"type": "gain", "db": -3}],
    ]


@pytest.fixture
def noise_folder(tmp_path):
    """A folder of three noise files: mono at 44.1 kHz, stereo at 48 kHz, mono at 16 kHz."""
    folder = tmp_path / "noise"
    folder.mkdir()
    rng = np.random.default_rng(8)
    for name, rate, channels in [
        ("hum.wav", 44100, 1),
        ("cafe.flac", RATE, 2),
        ("x.wav", 16000, 1),
    ]:
        data = (0.2 * rng.standard_normal((int(rate * 1.5), channels))).astype(np.float32)
        kavri.write(folder / name, data, rate)
    (folder / "notes.txt").write_text("not audio")
    return folder


def stream_through(chain, audio, cuts, **options):
    stream = kavri.Stream(chain, RATE, audio.shape[1], **options)
    bounds = [0, *cuts, audio.shape[0]]
    pieces = [stream.process(audio[a:b]) for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    return np.concatenate([*pieces, stream.flush()])


@pytest.mark.slow
def test_any_chunking_and_worker_count_give_the_bits_of_one_call(noise_folder):
    audio = tones(BLOCK * 2 + 12_345)
    rng = np.random.default_rng(0)
    for chain in exact_chains(noise_folder):
        whole = kavri.process(audio, RATE, chain)
        assert whole.shape == audio.shape, chain
        assert np.array_equal(whole, kavri.process(audio, RATE, chain, workers=2))
        assert np.array_equal(whole, kavri.process(audio, RATE, chain, block_size=64))
        cuts = sorted(rng.integers(0, audio.shape[0], 7).tolist()) + [audio.shape[0]]
        for splits in ([1, 2, 2, 3], cuts, list(range(0, audio.shape[0], 40_000))):
            assert np.array_equal(stream_through(chain, audio, splits, workers=2), whole), chain


@pytest.mark.slow
def test_the_same_seed_gives_the_same_bits_in_another_process(noise_folder):
    audio = tones(30_000)
    chains = exact_chains(noise_folder)
    here = [kavri.process(audio, RATE, chain).tobytes().hex() for chain in chains]
    script = (
        "import json, sys, numpy as np, kavri\n"
        "given = json.loads(sys.stdin.read())\n"
        "audio = np.frombuffer(bytes.fromhex(given['audio']), np.float32).reshape(-1, 2)\n"
        "print(json.dumps([kavri.process(audio, 48000, c).tobytes().hex() "
        "for c in given['chains']]))\n"
    )
    child = subprocess.run(
        [sys.executable, "-c", script],
        input=json.dumps({"audio": audio.tobytes().hex(), "chains": chains}),
        capture_output=True,
        text=True,
        check=True,
        timeout=300,
    )
    assert json.loads(child.stdout) == here


# --- files -----------------------------------------------------------------------------------


def test_a_file_measures_its_ratio_in_a_pass_and_gives_the_call_bits(tmp_path, noise_folder):
    audio = tones(70_000)
    kavri.write(tmp_path / "in.wav", audio, RATE, subtype="FLOAT")
    chain = [
        {"type": "gain", "db": -2},
        {"type": "noise", "colour": "pink", "snr_db": 15, "seed": 1},
        {"type": "background_noise", "path": str(noise_folder), "snr_db": 9, "seed": 6},
        {"type": "bitcrush", "bits": 12},
    ]
    kavri.process_file(tmp_path / "in.wav", tmp_path / "out.wav", chain, subtype="FLOAT", chunk=999)
    assert np.array_equal(kavri.read(tmp_path / "out.wav").audio, kavri.process(audio, RATE, chain))


# --- background noise -----------------------------------------------------------------------


def read_bytes() -> int:
    for line in Path("/proc/self/io").read_text().splitlines():
        if line.startswith("rchar:"):
            return int(line.split()[1])
    raise AssertionError("no rchar")


@pytest.mark.skipif(not Path("/proc/self/io").exists(), reason="needs /proc/self/io")
def test_background_noise_reads_only_the_frames_it_mixes(tmp_path):
    long = (0.1 * np.random.default_rng(1).standard_normal((RATE * 60, 2))).astype(np.float32)
    sf.write(tmp_path / "long.wav", long, RATE, subtype="FLOAT")
    size = (tmp_path / "long.wav").stat().st_size
    clip = tones(RATE // 2)
    mixed_bytes = clip.shape[0] * 2 * 4
    # Once first, so that what the first call imports is not counted (run alone, it was).
    kavri.process(clip, RATE, [{"type": "background_noise", "path": str(tmp_path / "long.wav")}])
    for mode in ("gain", "snr"):
        spec = {"type": "background_noise", "path": str(tmp_path / "long.wav"), "mode": mode}
        spec["offset_frames"] = RATE * 30
        before = read_bytes()
        out = kavri.process(clip, RATE, [spec])
        read = read_bytes() - before
        assert read < mixed_bytes + 65_536 < size // 50, (mode, read)
        # The noise is the file's from the offset on.
        gain = 1.0 if mode == "gain" else None
        noise = long[RATE * 30 : RATE * 30 + clip.shape[0]]
        if gain is not None:
            assert np.array_equal(out, clip + noise)


def test_background_noise_loops_converts_and_maps_channels(tmp_path):
    short = np.linspace(-0.5, 0.5, 1000, dtype=np.float32)[:, None]
    sf.write(tmp_path / "short.wav", short, RATE, subtype="FLOAT")
    clip = np.zeros((2500, 2), np.float32)
    spec = {"type": "background_noise", "path": str(tmp_path / "short.wav"), "mode": "gain"}
    out = kavri.process(clip, RATE, [{**spec, "offset_frames": 700}])
    looped = np.tile(short[:, 0], 4)[700 : 700 + 2500]
    assert np.array_equal(out, np.stack([looped, looped], axis=1))
    # A file at another rate is converted: a 16 kHz tone of 1 kHz stays at 1 kHz.
    t = np.arange(16000 * 2) / 16000
    sf.write(tmp_path / "tone.wav", (0.5 * np.sin(2 * np.pi * 1000 * t)).astype(np.float32), 16000)
    tone = kavri.process(
        np.zeros(RATE, np.float32), RATE, [{**spec, "path": str(tmp_path / "tone.wav")}]
    )
    spectrum = np.abs(np.fft.rfft(tone[1000:-1000]))
    peak_hz = np.argmax(spectrum) * RATE / (tone.shape[0] - 2000)
    assert abs(peak_hz - 1000) < 2 and abs(np.max(np.abs(tone[1000:-1000])) - 0.5) < 0.01


def test_a_noise_file_at_a_low_rate_converts_about_what_is_mixed(tmp_path, monkeypatch):
    # The resampler took 65,536 file frames a turn: at 100 Hz, 31 million frames at 48 kHz
    # (530 MB) for a call of ten. It now takes a turn's worth of output, the bits alike for
    # any chunking.
    noise = np.random.default_rng(4).uniform(-0.5, 0.5, (3000, 1)).astype(np.float32)
    sf.write(tmp_path / "low.wav", noise, 100, subtype="FLOAT")
    spec = [{"type": "background_noise", "path": str(tmp_path / "low.wav"), "mode": "gain"}]
    clip = np.zeros((RATE // 2, 1), np.float32)
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(64 << 20))
    whole = kavri.process(clip, RATE, spec)
    assert np.array_equal(kavri.process(clip[:10], RATE, spec), whole[:10])
    stream = kavri.Stream(spec, RATE, 1)
    pieces = [stream.process(clip[a:b]) for a, b in ((0, 7), (7, 9000), (9000, RATE // 2))]
    assert np.array_equal(np.concatenate(pieces + [stream.flush()]), whole)


def test_a_short_noise_file_is_read_once_and_looped_in_memory(tmp_path, monkeypatch):
    short = np.random.default_rng(3).uniform(-0.5, 0.5, (100, 2)).astype(np.float32)
    sf.write(tmp_path / "click.wav", short, RATE, subtype="FLOAT")
    spec = {"type": "background_noise", "path": str(tmp_path / "click.wav"), "mode": "gain"}
    chain = [{**spec, "offset_frames": 37}]
    clip = tones(10_000)
    reads = []
    real_read = sf.SoundFile.read
    monkeypatch.setattr(
        sf.SoundFile, "read", lambda self, *a, **k: reads.append(1) or real_read(self, *a, **k)
    )
    whole = kavri.process(clip, RATE, chain)
    assert np.array_equal(whole, clip + np.tile(short, (101, 1))[37 : 37 + 10_000])
    assert len(reads) <= 8, len(reads)  # not one read per turn of the file
    # Chunks shorter and longer than the file, and a ratio, keep the bits of one call.
    assert np.array_equal(stream_through(chain, clip, [1, 100, 200, 450, 457, 3457]), whole)
    ratio = [{**chain[0], "mode": "snr", "snr_db": 6}]
    assert np.array_equal(stream_through(ratio, clip, [5, 5000]), kavri.process(clip, RATE, ratio))


def test_noise_near_the_least_float_mixes_at_its_ratio(tmp_path):
    # Its gain passes single precision: it was infinite, and the silent frames NaN.
    faint = np.zeros((1000, 1), np.float32)
    faint[::7] = 1e-40
    sf.write(tmp_path / "faint.wav", faint, RATE, subtype="FLOAT")
    clip = tones(4800, 1)
    spec = {"type": "background_noise", "path": str(tmp_path / "faint.wav"), "offset_frames": 0}
    for ratio in (20, -40):
        out = kavri.process(clip, RATE, [{**spec, "snr_db": ratio}])
        assert snr_db(clip, out) == pytest.approx(ratio, abs=0.01)
    # Silent noise cannot reach a ratio: the clip comes back clean, and that is said (an
    # augment record claimed noise at 0 dB over clips left as they were).
    sf.write(tmp_path / "silent.wav", np.zeros((1000, 1), np.float32), RATE, subtype="FLOAT")
    silent = {**spec, "path": str(tmp_path / "silent.wav"), "snr_db": 0}
    with pytest.warns(kavri.KavriWarning, match=r"silent\.wav from frame 0 is silent"):
        assert np.array_equal(kavri.process(clip, RATE, [silent]), clip)
    # A file's summary says it once, with the file's name in a run, though a normalize after
    # it measures the chain in a pass of its own (and a run's threads warned unnamed).
    kavri.write(tmp_path / "clip.wav", clip, RATE)
    chain = [silent, {"type": "normalize"}]
    summary = kavri.process_file(tmp_path / "clip.wav", tmp_path / "o.wav", chain)
    assert [w for w in summary.warnings if "is silent over" in w] == [
        f"background_noise: the noise of {tmp_path / 'silent.wav'} from frame 0 is silent "
        "over the frames mixed; nothing is added at 0 dB"
    ]
    with pytest.warns(kavri.KavriWarning, match="is silent over the frames mixed"):
        stream = kavri.Stream([silent], RATE, 1)
        streamed = np.concatenate([stream.process(clip[:100]), stream.process(clip[100:])])
        assert np.array_equal(np.concatenate([streamed, stream.flush()]), clip)


def test_background_noise_ratio_and_folder_draws(noise_folder):
    dry = tones(RATE)
    picked = set()
    for seed in range(12):
        spec = {"type": "background_noise", "path": str(noise_folder), "snr_db": 7.5, "seed": seed}
        wet = kavri.process(dry, RATE, [spec])
        assert abs(snr_db(dry, wet) - 7.5) < 0.1
        assert np.array_equal(wet, kavri.process(dry, RATE, [spec]))
        picked.add(wet.tobytes())
    assert len(picked) == 12
    only_flac = {"type": "background_noise", "path": str(noise_folder), "pattern": "*.flac"}
    drawn = kavri.RandomChain([only_flac]).sample(3, 4)[0]
    assert drawn["path"] == str(noise_folder / "cafe.flac")
    assert 0 <= drawn["offset_frames"] < int(RATE * 1.5)


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_noise_files_are_read_as_inputs_are_whatever_libsndfile_makes_of_them(
    tmp_path, monkeypatch
):
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", 0.0)  # files written just now kept
    # Noise files were read by libsndfile alone: float W64 (as ffmpeg writes it) came in as
    # full-scale noise, an MP3 without a Xing header looped at its estimated length, from
    # an offset taken modulo that length, and M4A was refused.
    rng = np.random.default_rng(3)
    recording = (0.2 * rng.standard_normal((10 * RATE, 2))).astype(np.float32)
    kavri.write(tmp_path / "noise.wav", recording, RATE, "pcm16")
    files = {"float.w64": ["-c:a", "pcm_f32le"], "speech.m4a": ["-c:a", "aac"]}
    files["vbr.mp3"] = ["-c:a", "libmp3lame", "-q:a", "4", "-write_xing", "0"]
    # Without a Xing header and quiet at first, libsndfile put the length at 4.5 times the
    # truth: most drawn offsets lay past the end, and the noise came from frame 0.
    recording[:RATE] = 0
    kavri.write(tmp_path / "quiet.wav", recording, RATE, "pcm16")
    files["quiet.mp3"] = ["-c:a", "libmp3lame", "-q:a", "0", "-write_xing", "0"]
    clip = np.zeros((RATE // 2, 2), np.float32)
    decoded: list[int] = []  # the frames FFmpeg decodes in each read
    original = DecodedSource.buffer_read_into

    def counted(source, buffer, dtype="float32"):
        decoded.append(original(source, buffer, dtype))
        return decoded[-1]

    for name, options in files.items():
        wav = "quiet.wav" if name == "quiet.mp3" else "noise.wav"
        source = [str(tmp_path / wav), *options, str(tmp_path / name)]
        subprocess.run(["ffmpeg", "-v", "error", "-i", *source], check=True)
        whole = kavri.read(tmp_path / name).audio
        offset = whole.shape[0] - RATE // 4  # past an MP3's estimate; loops at the real end
        spec = {"type": "background_noise", "path": str(tmp_path / name), "mode": "gain"}
        out = kavri.process(clip, RATE, [{**spec, "offset_frames": offset}])
        expected = np.concatenate([whole[offset:], whole[: RATE // 4]])
        assert np.array_equal(out, expected), name
        # A stream in small chunks reads the decoded file the same way, and its length,
        # counted by decoding it whole, is not counted again.
        decoded.clear()
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(DecodedSource, "buffer_read_into", counted)
            stream = kavri.Stream([{**spec, "offset_frames": offset}], RATE, 2)
            pieces = [stream.process(clip[i : i + 999]) for i in range(0, clip.shape[0], 999)]
            assert np.array_equal(np.concatenate([*pieces, stream.flush()]), out), name
        if name not in ("float.w64", "quiet.mp3"):  # libsndfile's, or read from the offset
            assert whole.shape[0] <= sum(decoded) < whole.shape[0] + 2 * clip.shape[0], name
    drawn = kavri.RandomChain([{"type": "background_noise", "path": str(tmp_path / "quiet.mp3")}])
    offsets = [drawn.sample(seed)[0]["offset_frames"] for seed in range(20)]
    whole = kavri.read(tmp_path / "quiet.mp3").audio
    assert max(offsets) < whole.shape[0] and max(offsets) > whole.shape[0] // 2


def test_a_folder_offers_its_audio_files_by_name(tmp_path):
    from kavri.io.folders import audio_files

    sound = np.zeros(100, np.float32)
    sf.write(tmp_path / "b.wav", sound, RATE)
    sf.write(tmp_path / "A.FLAC", sound, RATE)
    (tmp_path / "notes.txt").write_text("not audio")
    (tmp_path / "take.m4a").write_bytes(b"")  # a format FFmpeg decodes
    (tmp_path / "samples.raw").write_bytes(bytes(400))  # no header: not a noise file
    (tmp_path / "dir.wav").mkdir()
    (tmp_path / "sub").mkdir()
    sf.write(tmp_path / "sub" / "c.wav", sound, RATE)
    (tmp_path / "link.wav").symlink_to("b.wav")
    (tmp_path / "broken.wav").symlink_to("nowhere.wav")
    (tmp_path / "loop1.wav").symlink_to("loop2.wav")
    (tmp_path / "loop2.wav").symlink_to("loop1.wav")
    folder = str(tmp_path)
    named = lambda *names: [f"{folder}/{name}" for name in names]  # noqa: E731
    # Files and links to them, by suffix in any case; no folders, dead links or subfolders.
    assert audio_files(folder, "*", "noise") == named("A.FLAC", "b.wav", "link.wav", "take.m4a")
    assert audio_files(folder, "**/*.wav", "noise") == named("b.wav", "link.wav", "sub/c.wav")
    assert audio_files(folder + "/", "sub/*", "noise") == [f"{folder}/sub/c.wav"]
    with pytest.raises(kavri.ChainError, match="no files match 'x/\\*'"):
        audio_files(folder, "x/*", "noise")


def test_a_folder_is_listed_once_a_call_and_once_for_all_of_augment_s_draws(
    tmp_path, noise_folder, monkeypatch
):
    import kavri.io.folders as folders

    listed: list[str] = []
    scandir = folders.os.scandir
    rooms = tmp_path / "rooms"

    def counted(path):
        if str(path) in (str(noise_folder), str(rooms)):
            listed.append(str(path))
        return scandir(path)

    monkeypatch.setattr(folders.os, "scandir", counted)
    # Both folders count as just written, however long the calls take on a loaded machine.
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", 3600.0)
    rooms.mkdir()
    sf.write(rooms / "r.wav", np.r_[1.0, np.zeros(99)].astype(np.float32), RATE)
    chain = [
        {"type": "background_noise", "path": str(noise_folder), "snr_db": 10, "seed": 4},
        {"type": "convolution", "ir": str(rooms)},
    ]
    dry = tones(RATE // 2)
    first = kavri.process(dry, RATE, chain)
    assert sorted(listed) == sorted([str(noise_folder), str(rooms)])
    # Nothing is kept past the call: a file added since is seen by the next.
    sf.write(rooms / "s.wav", np.r_[0.5, np.zeros(99)].astype(np.float32), RATE)
    second = kavri.process(dry, RATE, chain)
    assert len(listed) == 4
    assert not np.array_equal(first, second)
    (tmp_path / "in").mkdir()
    for name in ("a.wav", "b.wav"):
        kavri.write(tmp_path / "in" / name, dry, RATE)
    listed.clear()
    random = [{**chain[0], "seed": {"choice": [1, 2, 3]}}, chain[1]]
    report = kavri.augment_files(
        sorted((tmp_path / "in").iterdir()),
        random,
        tmp_path / "out",
        variants=3,
        seed=7,
        base_dir=tmp_path / "in",
    )
    assert len(report.results) == 6 and not report.failed
    assert sorted(listed) == sorted([str(noise_folder), str(rooms)])
    # A folder unchanged for a while is listed once for many calls (a folder of 40,000 noise
    # files took 107 ms a call); a name added to it is seen by the next call.
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", 0.0)
    time.sleep(0.05)  # past a tick of the folder's clock
    listed.clear()
    for _ in range(3):
        assert np.array_equal(kavri.process(dry, RATE, chain), second)
    assert sorted(listed) == sorted([str(noise_folder), str(rooms)])
    os.remove(rooms / "s.wav")
    time.sleep(0.05)
    assert np.array_equal(kavri.process(dry, RATE, chain), first)
    # A link that leads nowhere yet is no file, but its target may come without the
    # folder's time changing: such a folder is listed again every call.
    (rooms / "t.wav").symlink_to(tmp_path / "later.wav")
    time.sleep(0.05)
    assert folders.audio_files(str(rooms), "*", "x") == [str(rooms / "r.wav")]
    sf.write(tmp_path / "later.wav", np.r_[0.5, np.zeros(99)].astype(np.float32), RATE)
    assert folders.audio_files(str(rooms), "*", "x") == [str(rooms / "r.wav"), str(rooms / "t.wav")]
    # A pattern within the folder is kept as "*" is ("*.wav" had been listed every call).
    within = [{**chain[0], "pattern": "*.wav"}]
    first = kavri.process(dry, RATE, within)
    listed.clear()
    assert np.array_equal(kavri.process(dry, RATE, within), first) and not listed
    # A batch lists a folder that holds a link once for the run (it had been once a file:
    # 38 ms a clip for a folder of 10,000 noise files), besides its look at the files read.
    (noise_folder / "again.wav").symlink_to(noise_folder / "hum.wav")
    clips = [tmp_path / "in" / f"{n}.wav" for n in range(6)]
    for clip in clips:
        kavri.write(clip, dry, RATE)
    listed.clear()
    assert kavri.batch(clips, chain[:1], tmp_path / "batched", jobs=2).ok
    assert listed == [str(noise_folder)] * 2
    # A link that leads nowhere yet keeps "*.wav" from being kept, as it does "*".
    os.remove(noise_folder / "again.wav")
    (noise_folder / "late.wav").symlink_to(tmp_path / "latest.wav")
    time.sleep(0.05)

    def names():
        return [os.path.basename(f) for f in folders.audio_files(str(noise_folder), "*.wav", "x")]

    before = names()
    sf.write(tmp_path / "latest.wav", np.zeros(100, np.float32), RATE)
    assert names() == sorted([*before, "late.wav"])


# --- random chains ----------------------------------------------------------------------------


def test_random_chains_draw_noise_after_their_keys_and_record_it(noise_folder):
    probe = kavri.RandomChain([{"type": "gain", "db": {"uniform": [0, 1]}}] * 3).sample(7, 1)
    u = [spec["db"] for spec in probe]
    # A noise with its seed written draws nothing; without, one u after its keys.
    fixed = kavri.RandomChain(
        [{"type": "noise", "seed": 1}, {"type": "gain", "db": {"uniform": [0, 1]}}]
    ).sample(7, 1)
    assert fixed[1]["db"] == u[0]
    free = kavri.RandomChain(
        [
            {"type": "noise", "snr_db": {"uniform": [0, 1]}},
            {"type": "gain", "db": {"uniform": [0, 1]}},
        ]
    ).sample(7, 1)
    assert free[0] == {"type": "noise", "snr_db": u[0], "seed": math.floor(u[1] * 2**31)}
    assert free[1]["db"] == u[2]
    # A folder draws the file, then the offset, from the sorted audio files.
    files = sorted(["cafe.flac", "hum.wav", "x.wav"])
    drawn = kavri.RandomChain([{"type": "background_noise", "path": str(noise_folder)}]).sample(
        7, 1
    )[0]
    name = files[math.floor(u[0] * 3)]
    frames = sf.info(str(noise_folder / name)).frames
    assert drawn == {
        "type": "background_noise",
        "path": str(noise_folder / name),
        "offset_frames": math.floor(u[1] * frames),
    }
    # The drawn chain replays as written: kavri.augment gives process's bits over it.
    dry = tones(5000)
    description = [
        {"type": "background_noise", "path": str(noise_folder), "snr_db": {"uniform": [0, 20]}},
        {"type": "noise", "colour": {"choice": list(NOISE_COLOURS)}},
        {"type": "codec", "format": {"choice": CODECS}, "quality": {"uniform": [0, 1]}},
        {"type": "bitcrush", "bits": {"uniform": [4, 16]}, "p": 0.5},
    ]
    for index in range(4):
        out, chain = kavri.augment(dry, RATE, description, seed=11, index=index)
        assert np.array_equal(out, kavri.process(dry, RATE, chain))


# --- codecs and round trips -----------------------------------------------------------------


@pytest.mark.parametrize("name", CODECS)
@pytest.mark.parametrize("rate", [8000, 16000, 44100, 48000])
def test_codec_keeps_the_length_and_the_alignment(name, rate):
    for frames in (1, 1151, 5000):
        out = kavri.process(tones(frames, rate=rate), rate, [{"type": "codec", "format": name}])
        assert out.shape == (frames, 2)
    # Band-limited noise with a syllable's rise and fall comes out where it went in.
    frames = rate
    band = scipy.signal.butter(4, [300, 2500], "bandpass", fs=rate, output="sos")
    noise = scipy.signal.sosfilt(band, np.random.default_rng(1).standard_normal(frames))
    envelope = 0.5 * (1 + np.sin(2 * np.pi * 3 * np.arange(frames) / rate))
    signal = (0.2 * noise * envelope).astype(np.float32)
    out = kavri.process(signal, rate, [{"type": "codec", "format": name, "quality": 0.8}])
    lag = np.argmax(np.correlate(out, signal, "full")) - (frames - 1)
    assert lag == 0, (name, rate, lag)
    # GSM codes speech, not noise: it keeps less of this signal.
    assert snr_db(signal, out) > (2 if name == "gsm" else 6), (name, rate)
    # The smallest file too: an MP3 whose frames could not hold LAME's header came out
    # 1,105 frames late. Opus's speech mode moves the phase by a few frames either way.
    out = kavri.process(signal, rate, [{"type": "codec", "format": name, "quality": 0.0}])
    lag = np.argmax(np.correlate(out, signal, "full")) - (frames - 1)
    assert abs(lag) <= (4 if name == "opus" else 0), (name, rate, lag)


@pytest.mark.parametrize("name", CODECS)
def test_codecs_take_samples_past_full_scale_without_wrapping(name):
    # A sine at 1.05 (and a full-scale square at 48 kHz, whose conversion to GSM's 8 kHz
    # overshoots): GSM's 16-bit input had wrapped the tops into spikes of the other sign.
    rate = 8000
    sine = (1.05 * np.sin(2 * np.pi * 200 * np.arange(rate) / rate)).astype(np.float32)
    square = np.where(np.sin(2 * np.pi * 100 * np.arange(48_000) / 48_000) >= 0, 1, -1)
    for signal, at in ((sine, rate), (square.astype(np.float32), 48_000)):
        out = kavri.process(signal, at, [{"type": "codec", "format": name}])
        assert snr_db(signal, out) > 5, (name, at)


@pytest.mark.slow
@pytest.mark.parametrize("name", CODECS)
def test_codec_blocks_keep_the_alignment_across_their_seams(name):
    """Over several blocks, a tone comes out with the codec's error alone: no seam or shift
    where one block hands over to the next."""
    audio = tones(BLOCK * 3 + 500)
    out = kavri.process(audio, RATE, [{"type": "codec", "format": name, "quality": 0.9}])
    assert out.shape == audio.shape
    for seam in (BLOCK, 2 * BLOCK, 3 * BLOCK):
        around = slice(seam - 2048, seam + 2048)
        assert snr_db(audio[around], out[around]) > 10, (name, seam)
    quieter = kavri.process(audio, RATE, [{"type": "codec", "format": name, "quality": 0.0}])
    if name != "gsm":  # GSM has one rate
        assert not np.array_equal(quieter, out)


def test_the_plot_measures_a_chain_without_its_noise_and_a_codec_without_its_idle_noise(
    tmp_path, monkeypatch
):
    import kavri.plot
    from kavri.plot import path_responses, plot_chain, without_added

    lowpass = [{"type": "lowpass", "frequency_hz": 2000}]
    noisy = [
        *lowpass,
        {"type": "noise", "colour": "pink", "mode": "level", "level_db": -50},
        {"type": "background_noise", "path": str(tmp_path / "n.wav"), "mode": "gain"},
    ]
    kavri.write(tmp_path / "n.wav", tones(RATE), RATE)
    # With the noise in, its spectrum read as the response: a pink slope for phone_line.
    clean, measured = path_responses(lowpass)[1], path_responses(without_added(noisy))[1]
    assert list(measured) == list(clean) == ["left and right"]
    assert np.array_equal(measured["left and right"], clean["left and right"])
    measured_chains = []

    def recorded(chain, rate):
        measured_chains.append(chain)
        return path_responses(chain, rate)

    monkeypatch.setattr(kavri.plot, "path_responses", recorded)
    plot_chain(noisy, tmp_path / "noisy.png")
    assert [spec["type"] for spec in measured_chains[0]] == ["lowpass"]
    # Left out of the panels, a noise is still part of the chain: one that cannot run
    # drew a plot all the same.
    missing = [{"type": "background_noise", "path": str(tmp_path / "nothere.wav")}]
    with pytest.raises(kavri.AudioFileError, match="no such file"):
        plot_chain(missing, tmp_path / "missing.png")
    assert not (tmp_path / "missing.png").exists()
    # GSM decodes silence as a steady noise at -66 dBFS: the other side's output answers no
    # input, and read as crosstalk until the output for silence was taken away.
    assert list(path_responses([{"type": "codec", "format": "gsm"}])[1]) == ["left and right"]


def test_mu_law_and_a_law_round_trips_keep_their_error_bounds():
    """G.711 keeps 8 bits: 3 of segment and 4 of step, so the error of a sample in [-1, 1]
    is at most a 32nd of its magnitude, and near 0 a step of the first segment (libsndfile
    rounds to 16 bits first); beyond full scale it is held."""
    x = np.concatenate([np.linspace(-1, 1, 400_001), [1.5, -2.0]]).astype(np.float32)
    for kind, levels in (("mu_law", 255), ("a_law", 256)):
        y = kavri.process(x, RATE, [{"type": kind}])
        inside = np.abs(x) <= 1
        error = np.abs(y - x)[inside]
        assert np.all(error <= np.abs(x[inside]) / 32 + 2**-10), kind
        assert len(np.unique(y)) == levels
        assert y[-2] == y[np.argmax(x[:-2])] and y[-1] == y[np.argmin(x[:-2])]


def test_bitcrush_sample_hold_and_polarity():
    x = np.linspace(-1.2, 1.2, 100_001, dtype=np.float32)
    for bits in (1, 4, 8, 16, 24):
        y = kavri.process(x, RATE, [{"type": "bitcrush", "bits": bits}])
        q = 2.0 ** (bits - 1)
        assert np.array_equal(y * q, np.round(y * q))  # on the grid
        inside = (x >= -1) & (x <= 1 - 1 / q)
        assert np.max(np.abs(y - x)[inside]) <= 2.0**-bits
        assert y.min() == -1 and y.max() == 1 - 1 / q
    # A 5 kHz tone held at 6 kHz folds to 1 kHz (and its images).
    t = np.arange(RATE) / RATE
    tone = np.sin(2 * np.pi * 5000 * t).astype(np.float32)
    held = kavri.process(tone, RATE, [{"type": "sample_hold", "rate_hz": 6000}])
    assert np.all(held[:8] == tone[0]) and held[8] == tone[8]
    spectrum = np.abs(np.fft.rfft(held))
    assert abs(np.argmax(spectrum[:3000]) - 1000) <= 1
    assert np.array_equal(
        kavri.process(tone, RATE, [{"type": "sample_hold", "rate_hz": RATE}]), tone
    )
    assert np.array_equal(kavri.process(tone, RATE, [{"type": "polarity"}]), -tone)


# --- the checked front end -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("spec", "message"),
    [
        ({"type": "noise", "colour": "purple"}, "'colour' must be one of white, pink"),
        ({"type": "noise", "snr_db": 500}, "'snr_db' = 500.0 is out of range"),
        ({"type": "noise", "seed": -1}, "'seed' = -1 is out of range"),
        # Past 32 bits, the key's own range is named, not the engine's integers'.
        ({"type": "noise", "seed": 2**40}, r"'seed' = 1099511627776 is out of range \(0 … "),
        ({"type": "bitcrush", "bits": 0}, "'bits' = 0 is out of range"),
        ({"type": "codec", "format": "aac"}, "'format' must be one of mp3, vorbis"),
        ({"type": "codec", "quality": 2}, "'quality' = 2.0 is out of range"),
        ({"type": "background_noise", "path": 3}, "'path' must be a text, got 3"),
        ({"type": "background_noise"}, "needs a 'path'"),
    ],
)
def test_bad_values_are_refused(spec, message):
    with pytest.raises(kavri.ChainError, match=message):
        kavri.process(np.zeros(10, np.float32), RATE, [spec])


def test_a_colour_at_gigahertz_is_refused_by_the_memory_guard():
    # Its filter's run-in outgrows memory: the guard says so, where NumPy asked for 828 GiB.
    with pytest.raises(MemoryError, match=r"noise: the pink filter's response at \d+ Hz needs"):
        kavri.process(np.zeros(10, np.float32), 2**31 - 1, [{"type": "noise", "colour": "pink"}])


def test_missing_noise_files_are_refused_on_one_line(tmp_path, capsys):
    with pytest.raises(kavri.AudioFileError, match="no such file"):
        kavri.process(
            np.zeros(10, np.float32),
            RATE,
            [{"type": "background_noise", "path": str(tmp_path / "none.wav")}],
        )
    with pytest.raises(kavri.ChainError, match="no audio files"):
        kavri.RandomChain([{"type": "background_noise", "path": str(tmp_path)}]).sample(1)
    kavri.write(tmp_path / "in.wav", np.zeros((100, 1), np.float32), RATE)

    def cli(effect):
        code = main(["process", str(tmp_path / "in.wav"), str(tmp_path / "out.wav"), *effect])
        return code, capsys.readouterr().err

    code, err = cli(["--effect", f"background_noise:path={tmp_path},pattern=*.flac"])
    assert code != 0 and "no files match '*.flac'" in err and len(err.strip().splitlines()) == 1
    # A float file with a NaN or an infinity in it, read in pieces or whole: they were mixed
    # into the output where they fell.
    spoiled = np.full((5000, 1), 0.1, np.float32)
    spoiled[4000] = np.nan
    sf.write(tmp_path / "spoiled.wav", spoiled, RATE, subtype="FLOAT")
    spec = {"type": "background_noise", "path": str(tmp_path / "spoiled.wav"), "mode": "gain"}
    for frames in (4500, 20000):
        with pytest.raises(kavri.AudioFileError, match="spoiled.wav: holds samples that are not"):
            kavri.process(np.zeros(frames, np.float32), RATE, [spec])
    code, err = cli(
        ["--effect", f"background_noise:path={tmp_path / 'spoiled.wav'},offset_frames=3950"]
    )
    assert code != 0 and "not finite" in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "out.wav").exists()


# --- augment end to end -----------------------------------------------------------------------


@pytest.mark.slow
def test_augment_with_noise_and_a_codec_replays_through_process(tmp_path, noise_folder):
    """kavri augment over a folder of clips with noise drawn from a folder, an impulse
    response drawn from a folder (one at another rate), a reverb and a codec; every
    augment.jsonl line replayed by kavri process --chain gives the same bytes."""
    rng = np.random.default_rng(3)
    (tmp_path / "clips").mkdir()
    for name, channels in (("a.wav", 2), ("b.wav", 1), ("c.wav", 2)):
        data = (0.3 * rng.standard_normal((int(RATE * 0.7), channels))).astype(np.float32)
        kavri.write(tmp_path / "clips" / name, data, RATE)
    (tmp_path / "rooms").mkdir()
    for k, rate in enumerate((RATE, 24_000, RATE)):
        decay = np.exp(-np.arange(6000) / 1000.0)
        response = rng.standard_normal(6000) * decay * 0.1
        response[0] = 1.0
        sf.write(tmp_path / "rooms" / f"room{k}.wav", response.astype(np.float32), rate)
    items = [
        {"type": "background_noise", "path": str(noise_folder), "snr_db": {"uniform": [0, 20]}},
        {
            "type": "noise",
            "colour": {"choice": list(NOISE_COLOURS)},
            "snr_db": {"uniform": [10, 30]},
        },
        {
            "type": "convolution",
            "ir": str(tmp_path / "rooms"),
            "mix": {"uniform": [0.3, 1]},
            "normalize": {"choice": ["none", "energy"]},
        },
        {
            "type": "reverb",
            "room_size": {"uniform": [0, 1]},
            "damping": {"uniform": [0, 1]},
            "pre_delay_ms": {"uniform": [0, 30]},
            "width": {"uniform": [0, 1]},
            "mix": {"uniform": [0, 0.5]},
        },
        {"type": "codec", "format": {"choice": CODECS}, "quality": {"uniform": [0, 1]}},
    ]
    (tmp_path / "r.json").write_text(json.dumps({"chain": items}))
    args = ["augment", str(tmp_path / "clips"), str(tmp_path / "out"), "--chain"]
    assert main([*args, str(tmp_path / "r.json"), "--variants", "2", "--seed", "4"]) == 0
    lines = (tmp_path / "out" / "augment.jsonl").read_text().splitlines()
    assert len(lines) == 6
    for line in lines:
        record = json.loads(line)
        types = [spec["type"] for spec in record["chain"]]
        assert types == ["background_noise", "noise", "convolution", "reverb", "codec"]
        assert Path(record["chain"][2]["ir"]).parent == tmp_path / "rooms"
        (tmp_path / "one.json").write_text(json.dumps(record["chain"]))
        replay = tmp_path / "replay.wav"
        source = str(tmp_path / "clips" / record["source"])
        assert main(["process", source, str(replay), "--chain", str(tmp_path / "one.json")]) == 0
        written = (tmp_path / "out" / record["output"]).read_bytes()
        assert replay.read_bytes() == written, record["output"]


def test_threads_that_start_noise_at_once_get_the_same_noise():
    # The quantile tables are made on first use; threads that all make the first noise at
    # once must neither see a half-made set of tables nor duplicate them.
    from kavri.steps import noise

    noise._quantile_tables.cache_clear()
    barrier = threading.Barrier(4)
    results: list[np.ndarray] = [None] * 4  # type: ignore[list-item]

    def make(i):
        barrier.wait()
        results[i] = noise.white_block(5, 0, 0)

    threads = [threading.Thread(target=make, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(r is not None and np.array_equal(r, results[0]) for r in results)
    assert len(noise._quantile_tables()) == 5
