"""Rooms: convolution against scipy's double-precision fftconvolve (mono, per channel, true
stereo), alignment and tails, the reverb's decay time against room_size, and the bits of one
call for any chunking, worker count and process; refusals, and impulse responses drawn from
a folder that replay."""

from __future__ import annotations

import io
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
import scipy.signal
import soundfile as sf

import kavri
from kavri import _kavri_stream
from kavri.cli import main

RATE = 48_000


def noise(frames: int, channels: int, seed: int = 0, level: float = 0.2) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (level * rng.standard_normal((frames, channels))).astype(np.float32)


def room_response(frames: int, channels: int, seed: int = 1) -> np.ndarray:
    """A decaying noise burst with a direct sound, as a measured room's response looks."""
    rng = np.random.default_rng(seed)
    decay = np.exp(-np.arange(frames) / (frames / 6))[:, None]
    response = rng.standard_normal((frames, channels)) * decay * 0.05
    response[0] += 0.8
    return response.astype(np.float32)


def reference(x: np.ndarray, h: np.ndarray, paths, channels: int, mix: float = 1.0):
    """The convolution in double precision by scipy, each output the sum of its paths."""
    out = np.zeros((x.shape[0], channels))
    for source, response, target in paths:
        full = scipy.signal.fftconvolve(x[:, source].astype(np.float64), h[:, response])
        out[:, target] += full[: x.shape[0]]
    return x.astype(np.float64) * (1 - mix) + out * mix


def relative_rms(error: np.ndarray, wanted: np.ndarray) -> float:
    return float(np.sqrt(np.mean((error - wanted) ** 2) / np.mean(wanted**2)))


MONO = [(0, 0, 0), (1, 0, 1)]
PER_CHANNEL = [(0, 0, 0), (1, 1, 1), (2, 2, 2)]
TRUE_STEREO = [(0, 0, 0), (0, 1, 1), (1, 2, 0), (1, 3, 1)]


@pytest.mark.parametrize(
    "channels, response_channels, paths, response_frames",
    [
        (2, 1, MONO, 100),  # shorter than the smallest partition
        (2, 1, MONO, 24_000),  # three partitions of 8,192
        (3, 3, PER_CHANNEL, 5_000),
        (2, 4, TRUE_STEREO, 70_000),
    ],
)
def test_convolution_agrees_with_fftconvolve(channels, response_channels, paths, response_frames):
    x = noise(60_000, channels)
    h = room_response(response_frames, response_channels)
    for mix in (1.0, 0.4):
        out = kavri.process(x, RATE, [{"type": "convolution", "ir": h, "mix": mix}])
        assert out.shape == x.shape and out.dtype == np.float32
        assert relative_rms(out, reference(x, h, paths, channels, mix)) < 1e-5


def test_output_lines_up_with_the_input():
    # A click at frame 1000 through a response that starts with its direct sound comes out
    # at frame 1000: nothing is added in front.
    x = np.zeros((20_000, 1), np.float32)
    x[1000] = 1.0
    h = np.zeros(3000, np.float32)
    h[0], h[2000] = 0.5, 0.25
    out = kavri.process(x, RATE, [{"type": "convolution", "ir": h}])[:, 0]
    assert np.flatnonzero(np.abs(out) > 1e-4).tolist() == [1000, 3000]
    assert out[1000] == pytest.approx(0.5, abs=1e-6) and out[3000] == pytest.approx(0.25, abs=1e-6)


def test_energy_normalisation_gives_the_paths_into_each_output_unit_energy():
    h = room_response(4000, 4)
    spec = {"type": "convolution", "ir": h, "normalize": "energy"}
    total = 0.0
    for side in range(2):  # an impulse into each input in turn
        click = np.zeros((8192, 2), np.float32)
        click[0, side] = 1.0
        total += float(np.sum(kavri.process(click, RATE, [spec]).astype(np.float64) ** 2))
    assert total / 2 == pytest.approx(1.0, rel=1e-5)
    mono = {"type": "convolution", "ir": h[:, :1] * 7, "normalize": "energy"}
    click = np.zeros(8192, np.float32)
    click[0] = 1.0
    assert np.sum(kavri.process(click, RATE, [mono]).astype(np.float64) ** 2) == pytest.approx(
        1.0, rel=1e-5
    )
    # Responses near the least and the greatest float normalise alike: their gain is far
    # from 1 (a subnormal response's overflowed the float scale into NaN).
    for size in (1e-45, 1e-40, 3e38):
        tiny = {
            "type": "convolution",
            "ir": h[:50, :1] / np.abs(h[:50, :1]).max() * np.float32(size),
        }
        out = kavri.process(click, RATE, [{**tiny, "normalize": "energy"}]).astype(np.float64)
        assert np.sum(out**2) == pytest.approx(1.0, rel=1e-5), size


def test_a_file_takes_its_tail_from_the_tail_option(tmp_path):
    x = noise(30_000, 2)
    h = room_response(20_000, 1)
    kavri.write(tmp_path / "in.wav", x, RATE, subtype="FLOAT")
    sf.write(tmp_path / "ir.wav", h, RATE, subtype="FLOAT")
    effect = f"convolution:ir={tmp_path / 'ir.wav'}"
    args = ["process", str(tmp_path / "in.wav"), str(tmp_path / "out.wav"), "--effect", effect]
    assert main([*args, "--tail", "0.5"]) == 0
    out = kavri.read(tmp_path / "out.wav").audio
    assert out.shape == (30_000 + 24_000, 2)
    padded = np.concatenate([x, np.zeros((24_000, 2), np.float32)])
    assert relative_rms(out, reference(padded, h, MONO, 2)) < 1e-5
    # The response rings out within the tail; after it, only the transforms' rounding.
    assert np.max(np.abs(out[30_000:50_000])) > 0.01 and np.max(np.abs(out[50_000:])) < 1e-6


def test_a_file_response_used_again_gives_the_bits_of_a_fresh_one(tmp_path):
    # A file's response is transformed once and shared by later chain items, each with its
    # own state: two streams at once, and calls after them, give the bits of the array.
    h = room_response(9000, 1)
    sf.write(tmp_path / "ir.wav", h, RATE, subtype="FLOAT")
    x = noise(30_000, 2)
    chain = [{"type": "convolution", "ir": str(tmp_path / "ir.wav"), "mix": 0.6}]
    want = kavri.process(x, RATE, [{**chain[0], "ir": h}])
    first, second = kavri.Stream(chain, RATE, 2), kavri.Stream(chain, RATE, 2)
    parts: list[list[np.ndarray]] = [[], []]
    for start in range(0, 30_000, 7000):
        for stream, out in zip((first, second), parts, strict=True):
            out.append(stream.process(x[start : start + 7000]))
    for stream, out in zip((first, second), parts, strict=True):
        assert np.array_equal(np.concatenate([*out, stream.flush()]), want)
    assert np.array_equal(kavri.process(x, RATE, chain), want)
    # Rewritten with another response of its size and its old time (cp -p, an archive's
    # files): the next call reads it again, where the kept one was used.
    stamp = os.stat(tmp_path / "ir.wav")
    sf.write(tmp_path / "ir.wav", -h, RATE, subtype="FLOAT")
    os.utime(tmp_path / "ir.wav", ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    assert np.array_equal(
        kavri.process(x, RATE, chain), kavri.process(x, RATE, [{**chain[0], "ir": -h}])
    )


def test_response_and_noise_files_whose_names_are_not_utf8_are_read(tmp_path):
    # A file name may hold any byte but / and NUL; one from an old archive in Latin-1 is no
    # UTF-8, and was refused as "not a readable audio file", alone or drawn from a folder.
    h, hum = room_response(4000, 1), noise(20_000, 1, seed=5)
    for folder, data in (("rooms", h), ("noise", hum)):
        os.makedirs(os.fsencode(tmp_path / folder))
        sf.write(os.fsencode(tmp_path / folder) + b"/caf\xe9.wav", data, RATE, subtype="FLOAT")
    odd = os.fsdecode(b"caf\xe9.wav")
    x = noise(20_000, 1)
    want = kavri.process(x, RATE, [{"type": "convolution", "ir": h}])
    for ir in (str(tmp_path / "rooms" / odd), str(tmp_path / "rooms")):
        assert np.array_equal(kavri.process(x, RATE, [{"type": "convolution", "ir": ir}]), want)
    for path in (str(tmp_path / "noise" / odd), str(tmp_path / "noise")):
        spec = {"type": "background_noise", "path": path, "offset_frames": 0, "mode": "gain"}
        assert np.array_equal(kavri.process(x, RATE, [spec]), x + hum)


def test_an_array_response_is_known_by_its_bits():
    # Arrays in chains are kept transformed by their bits: one that differs from a kept one
    # in a single sample is transformed anew, and the kept one still gives its own bits.
    h = room_response(5000, 1)
    changed = h.copy()
    changed[1234] += 0.5  # not among the samples that first tell kept responses apart
    x = noise(20_000, 1)
    for response in (h, changed, h):
        out = kavri.process(x, RATE, [{"type": "convolution", "ir": response}])
        fresh = _kavri_stream.Convolver(response, 1, [(0, 0, 0)]).run_whole(x)
        assert np.array_equal(out.view(np.uint32), fresh.view(np.uint32))


def test_kept_responses_are_bounded_by_their_bytes(tmp_path, monkeypatch):
    # Four responses were kept whatever their size: four of a minute in four channels at
    # 96 kHz held about 1 GB after the calls were done. The newest stays, whatever its size.
    from kavri.steps import rooms as steps_rooms

    monkeypatch.setattr(kavri.rooms._KEPT, "_budget", 100_000)
    monkeypatch.setattr(steps_rooms._SHARED, "_budget", 300_000)
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", 0.0)  # files written just now kept
    kavri.rooms._KEPT.clear()
    steps_rooms._SHARED.clear()
    x = noise(2000, 1)
    for name, frames in (("a", 20_000), ("b", 20_000), ("c", 1000), ("d", 1000)):
        sf.write(tmp_path / f"{name}.wav", room_response(frames, 1), RATE, subtype="FLOAT")
        kavri.process(x, RATE, [{"type": "convolution", "ir": str(tmp_path / f"{name}.wav")}])
    for kept in (kavri.rooms._KEPT, steps_rooms._SHARED):
        sizes = [size for _, size in kept._kept.values()]
        assert sizes == [sizes[1] * 20, sizes[1], sizes[1]]  # a went when c came; b stays
    big = room_response(200_000, 1)  # past the budget alone: the newest is kept
    kavri.process(x, RATE, [{"type": "convolution", "ir": big}])
    assert [size for _, size in steps_rooms._SHARED._kept.values()][-1] == 3 * big.nbytes


def test_an_array_response_of_pcm_or_a_path_object_gives_the_file_s_bits(tmp_path):
    # int16 samples are counts of full scale, as audio's are: taken as written they made a
    # response 32,768 times a file's. A pathlib path names the file as its text does.
    h = (0.5 * room_response(3000, 2)).astype(np.float32)
    sf.write(tmp_path / "h.wav", h, RATE, subtype="PCM_16")
    counts = sf.read(tmp_path / "h.wav", dtype="int16")[0]
    x = noise(5000, 2)
    outs = [
        kavri.process(x, RATE, [{"type": "convolution", "ir": ir}])
        for ir in (counts, tmp_path / "h.wav", str(tmp_path / "h.wav"))
    ]
    for out in outs[1:]:
        assert np.array_equal(outs[0], out)


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_response_files_are_read_as_inputs_are(tmp_path):
    # Responses were read by libsndfile alone: float W64 (as ffmpeg writes it) came in as
    # full-scale noise, ALAC in CAF and M4A were refused.
    h = (0.5 * room_response(3000, 2)).astype(np.float32)
    kavri.write(tmp_path / "h.wav", h, RATE, "pcm16")
    x = noise(5000, 2)
    for name, codec in (("h.w64", "pcm_f32le"), ("h.caf", "alac"), ("h.m4a", "aac")):
        source = [str(tmp_path / "h.wav"), "-c:a", codec, str(tmp_path / name)]
        subprocess.run(["ffmpeg", "-v", "error", "-i", *source], check=True)
        out = kavri.process(x, RATE, [{"type": "convolution", "ir": str(tmp_path / name)}])
        ir = kavri.read(tmp_path / name).audio
        assert np.array_equal(out, kavri.process(x, RATE, [{"type": "convolution", "ir": ir}]))
        if name != "h.m4a":  # lossless
            assert np.array_equal(ir, kavri.read(tmp_path / "h.wav").audio), name
    # A container's duration is an estimate: one stating days (a damaged header) had a
    # second of response refused by the memory guard as terabytes.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(kavri.io.DecodedSource, "_estimate", lambda self, stream: 10**13)
        kavri.rooms._KEPT.clear()  # read afresh
        with pytest.warns(kavri.KavriWarning, match="h.m4a: the file ends early"):
            stated = kavri.process(
                x, RATE, [{"type": "convolution", "ir": str(tmp_path / "h.m4a")}]
            )
    assert np.array_equal(stated, out)


def test_an_impulse_response_at_another_rate_is_converted():
    # A click recorded at 24 kHz, converted to 48 kHz, keeps the gain of low frequencies.
    h = np.zeros(2000, np.float32)
    h[10] = 1.0
    path = Path(__file__).parent / "_click_24k.wav"
    try:
        sf.write(path, h, 24_000, subtype="FLOAT")
        t = np.arange(RATE) / RATE
        tone = (0.5 * np.sin(2 * np.pi * 440 * t)).astype(np.float32)
        out = kavri.process(tone, RATE, [{"type": "convolution", "ir": str(path)}])
    finally:
        path.unlink()
    steady = slice(RATE // 4, RATE - RATE // 4)
    gain_db = 20 * np.log10(np.std(out[steady]) / np.std(tone[steady]))
    assert abs(gain_db) < 0.05
    lag = np.argmax(scipy.signal.correlate(out[steady], tone[steady], "full")) - (
        steady.stop - steady.start - 1
    )
    assert lag == 20  # 10 frames at 24 kHz


# --- exactness -------------------------------------------------------------------------------


def chains(h4: np.ndarray, h1: np.ndarray) -> list[list[dict]]:
    return [
        [{"type": "convolution", "ir": h4, "mix": 0.7}],
        [{"type": "convolution", "ir": h1, "normalize": "energy"}, {"type": "lowpass"}],
        [{"type": "reverb", "room_size": 0.6, "pre_delay_ms": 12, "width": 0.7}],
        [{"type": "gain", "db": -3}, {"type": "convolution", "ir": h1}, {"type": "reverb"}],
    ]


def streamed(chain, audio, cuts, workers=1):
    stream = kavri.Stream(chain, RATE, audio.shape[1], workers=workers)
    parts, start = [], 0
    for cut in [*cuts, audio.shape[0]]:
        parts.append(stream.process(audio[start:cut]))
        assert stream.held_frames < 8192
        start = cut
    parts.append(stream.flush())
    return np.concatenate(parts)


def test_any_chunking_and_worker_count_give_the_bits_of_one_call():
    x = noise(50_000, 2, seed=5)
    for chain in chains(room_response(30_000, 4), room_response(9000, 1)):
        whole = kavri.process(x, RATE, chain)
        assert whole.shape == x.shape
        for cuts, workers in (([1, 2, 8191, 8192, 8193, 20_000], 1), ([333, 40_000], 2)):
            assert np.array_equal(streamed(chain, x, cuts, workers), whole)
        assert np.array_equal(kavri.process(x, RATE, chain, workers=2), whole)
    # A mono chunk's whole blocks are read where they lie, the last kept for the next chunk.
    mono = noise(50_000, 1, seed=6)
    for mix in (1.0, 0.4):
        chain = [{"type": "convolution", "ir": room_response(9000, 1), "mix": mix}]
        whole = kavri.process(mono, RATE, chain)
        for cuts in ([4096, 8192, 8193, 20_000], [1, 12_289, 12_290], [4095, 45_000]):
            assert np.array_equal(streamed(chain, mono, cuts), whole)


def test_a_stream_holds_less_than_a_partition_and_the_flush_returns_it():
    h = room_response(1000, 1)  # partitions of 256
    native = _kavri_stream.Convolver(h, 1, [(0, 0, 0)])
    assert native.partition == 256
    stream = kavri.Stream([{"type": "convolution", "ir": h}], RATE, 1)
    assert stream.process(np.ones(300, np.float32)).shape == (256,)
    assert stream.held_frames == 44
    assert stream.flush().shape == (44,)


REVERB_SCRIPT = """
import hashlib, sys, numpy as np, kavri
x = (0.2 * np.random.default_rng(7).standard_normal((30000, 2))).astype(np.float32)
h = (np.random.default_rng(8).standard_normal((20000, 4)) * 0.01).astype(np.float32)
chain = [{"type": "reverb", "room_size": 0.8, "damping": 0.3, "pre_delay_ms": 20},
         {"type": "convolution", "ir": h}]
sys.stdout.write(hashlib.sha256(kavri.process(x, 48000, chain).tobytes()).hexdigest())
"""


@pytest.mark.slow
def test_the_same_settings_give_the_same_bits_in_another_process():
    namespace: dict = {}
    exec(REVERB_SCRIPT.replace("sys.stdout.write(", "digest = ("), namespace)
    child = subprocess.run(
        [sys.executable, "-c", REVERB_SCRIPT], capture_output=True, text=True, check=True
    )
    assert child.stdout == namespace["digest"]


# --- the reverb ------------------------------------------------------------------------------


def decay_time(response: np.ndarray, rate: int) -> float:
    """T60 from the Schroeder integral's fall from -5 dB to -35 dB, doubled."""
    energy = np.cumsum(response[::-1].astype(np.float64) ** 2)[::-1]
    level = 10 * np.log10(np.maximum(energy / energy[0], 1e-30))
    return 2 * (np.argmax(level <= -35) - np.argmax(level <= -5)) / rate


def test_decay_time_follows_room_size():
    sizes = [0.0, 0.25, 0.5, 0.75, 1.0]
    click = np.zeros((RATE * 11, 2), np.float32)
    click[0] = 1.0
    for damping in (0.0, 0.5, 1.0):
        times = []
        for size in sizes:
            spec = {"type": "reverb", "room_size": size, "damping": damping, "mix": 1}
            out = kavri.process(click, RATE, [spec])
            times.append(decay_time(out[:, 0], RATE))
            if damping == 0:  # undamped, the lines are set for 0.2 s x 40^room_size
                for channel in (0, 1):
                    ratio = decay_time(out[:, channel], RATE) / (0.2 * 40**size)
                    assert 0.97 <= ratio <= (1.17 if size == 0 else 1.03), (size, channel)
                energy = np.sum(out.astype(np.float64) ** 2, axis=0)
                assert np.all((energy >= 0.93) & (energy <= 1.13)), energy  # as documented
        assert all(a < b for a, b in zip(times[:-1], times[1:], strict=True)), (damping, times)
    # Over steps of 0.1 too, where short rooms measure least evenly (8 kHz; finer steps below
    # 0.6 fall back by up to 12%, as documented).
    click = np.zeros((8000 * 11, 1), np.float32)
    click[0] = 1.0
    for damping in (0.0, 0.5, 1.0):
        times = [
            decay_time(kavri.process(click, 8000, [{"type": "reverb", "room_size": size / 10,
                                                   "damping": damping, "mix": 1}])[:, 0], 8000)
            for size in range(11)
        ]  # fmt: skip
        assert all(a < b for a, b in zip(times[:-1], times[1:], strict=True)), (damping, times)


def test_the_plot_reads_a_room_s_decay_from_its_wet_path(tmp_path):
    from kavri.plot import decay, plot_chain, wet_rooms

    h = room_response(20_000, 1)
    for room in ({"type": "reverb", "room_size": 0.8}, {"type": "convolution", "ir": h}):
        read = [decay(wet_rooms([{**room, "mix": mix}]))[3] for mix in (0.1, 0.3, 1.0)]
        assert read[0] == read[1] == read[2], (room["type"], read)
    # As given, a low mix's dry impulse holds most of the energy and the reading follows it.
    reverb = [{"type": "lowpass"}, {"type": "reverb", "room_size": 0.8, "mix": 0.1}]
    assert decay(reverb)[3] < 0.5 * decay(wet_rooms(reverb))[3]
    assert wet_rooms(reverb)[0] == {"type": "lowpass"} and reverb[1]["mix"] == 0.1
    # Noise the chain adds is no part of the room: with it, the curve held up at the
    # noise's level read a decay time of several seconds.
    noisy = [*reverb, {"type": "noise", "colour": "pink", "snr_db": 30}]
    assert decay(wet_rooms(noisy))[3] == decay(wet_rooms(reverb))[3]
    # So is a codec's idle noise: GSM's read 3.2 s for a reverb of 2.1 s.
    phone = [*reverb, {"type": "codec", "format": "gsm"}]
    assert decay(wet_rooms(phone))[3] == decay(wet_rooms(reverb))[3]
    plot_chain(reverb, tmp_path / "room.png")
    assert (tmp_path / "room.png").stat().st_size > 10_000
    # A long room is read over a window its tail dies away in: a 6 s window cut the
    # curve short and read a 20 s response as 8.7 s.
    rate = 8000
    t = np.arange(rate * 30) / rate
    for t60 in (2.0, 20.0):
        tail = np.random.default_rng(1).standard_normal(t.shape[0]) * 10 ** (-3 * t / t60)
        sf.write(tmp_path / "long.wav", tail.astype(np.float32), rate, subtype="FLOAT")
        read = decay([{"type": "convolution", "ir": str(tmp_path / "long.wav")}], rate)[3]
        assert read == pytest.approx(t60, rel=0.01)
    # Measured at the output's rate over the same time: a resample after the room had the
    # response cut to the input's frames, and an 8 s room read 5.9 s at 384 kHz.
    room = [{"type": "reverb", "room_size": 1.0, "damping": 0.0}]
    resampled = decay(wet_rooms([*room, {"type": "resample", "rate_hz": 384_000}]))[3]
    assert resampled == pytest.approx(decay(wet_rooms(room))[3], rel=0.02)
    # A silent room has no decay time: its flat curve read "T60 0.00 s".
    silent = [{"type": "convolution", "ir": np.zeros((100, 1), np.float32)}]
    with pytest.warns(kavri.KavriWarning, match="the impulse response is all zeros"):
        assert math.isnan(decay(silent)[3])


def test_a_reverb_tail_falls_to_exact_silence_alike_in_any_pieces():
    # The lines run four frames at a time in one call and frame by frame in pieces of a few
    # frames: both must give the same bits, through the point where the tail's values
    # become too small to keep and are set to zero.
    x = np.zeros((RATE * 2, 2), np.float32)
    x[:1000] = noise(1000, 2, seed=9, level=1.0)
    chain = [{"type": "reverb", "room_size": 0.0, "damping": 1.0, "mix": 1.0, "width": 0.3}]
    whole = kavri.process(x, RATE, chain)
    last = np.nonzero(whole[:, 0])[0][-1]
    assert 1000 < last < RATE * 2 - 1000  # the tail ends in zeros
    sizes = np.random.default_rng(4).integers(1, 10, 800)
    cuts = [*np.cumsum(sizes[:200]), *(last - 1500 + np.cumsum(sizes[200:]))]
    assert np.array_equal(streamed(chain, x, [int(c) for c in cuts]), whole)


def test_reverb_keys_shape_the_tail():
    click = np.zeros((RATE, 2), np.float32)
    click[0] = 1.0
    base = {"type": "reverb", "mix": 1.0}
    late = kavri.process(click, RATE, [{**base, "pre_delay_ms": 50}])
    wide = kavri.process(click, RATE, [base])
    assert not np.any(late[:2400]) and np.array_equal(late[2400:], wide[:-2400])
    narrow = kavri.process(click, RATE, [{**base, "width": 0.0}])
    assert np.array_equal(narrow[:, 0], narrow[:, 1])
    assert abs(np.corrcoef(wide[:, 0], wide[:, 1])[0, 1]) < 0.2
    dry = noise(5000, 2)
    assert np.array_equal(kavri.process(dry, RATE, [{**base, "mix": 0.0}]), dry)

    # Damping darkens the tail: from 0.3 s on, what lies above 4 kHz falls far below what
    # lies under 1 kHz, where undamped the two stay level.
    def tilt_db(damping):
        out = kavri.process(click, RATE, [{**base, "damping": damping}])[int(0.3 * RATE) :, 0]
        f, p = scipy.signal.welch(out, RATE, nperseg=2048)
        return 10 * np.log10(np.mean(p[f > 4000]) / np.mean(p[(f > 50) & (f < 1000)]))

    assert abs(tilt_db(0.0)) < 1.0 and tilt_db(1.0) < -30.0


# --- refusals --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, message",
    [
        ({"type": "reverb", "room": 0.5}, r"unknown parameter 'room' \(did you mean 'room_size'"),
        ({"type": "reverb", "mix": 1.5}, r"'mix' = 1\.5 is out of range \(0 … 1\)"),
        (
            {"type": "reverb", "pre_delay_ms": 600},
            r"'pre_delay_ms' = 600\.0 is out of range \(0 … 500\)",
        ),
        ({"type": "convolution"}, r"needs an 'ir'"),
        ({"type": "convolution", "ir": "x.wav", "normalize": "peak"}, r"none, energy"),
        ({"type": "convolution", "ir": np.zeros((2, 500))}, r"looks channels-first"),
        ({"type": "convolution", "ir": np.array([1.0, np.nan])}, r"not finite"),
        ({"type": "convolution", "ir": np.array([1.0, 1e300])}, r"beyond single precision"),
        ({"type": "convolution", "ir": np.zeros((3, 2))}, r"has 2 channels; a signal of 3"),
        ({"type": "convolution", "ir": np.zeros((3, 3))[:, :0]}, r"a frame or more"),
        # An impulse response is samples as audio is: neither flags nor complex numbers
        # (whose imaginary part was dropped), nor integers without a full scale.
        ({"type": "convolution", "ir": np.ones(8, bool)}, r"real numbers, got dtype bool"),
        ({"type": "convolution", "ir": np.ones(8, np.complex64)}, r"got dtype complex64"),
        ({"type": "convolution", "ir": np.ones(8, np.int64)}, r"int64 has no known full scale"),
        # A number was a response of one frame (a gain), and None was called not finite.
        ({"type": "convolution", "ir": 3.5}, r"must be a path or an array of samples, got 3.5"),
        ({"type": "convolution", "ir": None}, r"must be a path or an array of samples, got null"),
    ],
)
def test_bad_values_are_refused(spec, message):
    with pytest.raises(kavri.ChainError, match=message):
        kavri.process(np.zeros((100, 3), np.float32), RATE, [spec])


def test_bad_impulse_response_files_are_refused_on_one_line(tmp_path, capsys):
    (tmp_path / "notes.wav").write_text("not audio")
    sf.write(tmp_path / "three.wav", np.zeros((100, 3), np.float32), RATE)
    cases = {
        "notes.wav": "not a readable audio file",
        "missing.wav": "no such file",
        "three.wav": "the impulse response has 3 channels; a signal of 2 channels takes 1, 2 or 4",
        "two.wav": "the impulse response has 2 channels; a signal of 1 channel takes 1\n",
    }
    sf.write(tmp_path / "two.wav", np.zeros((100, 2), np.float32), RATE)
    kavri.write(tmp_path / "in.wav", noise(1000, 2), RATE)
    kavri.write(tmp_path / "mono.wav", noise(1000, 1), RATE)
    for name, message in cases.items():
        source = "mono.wav" if name == "two.wav" else "in.wav"
        args = ["process", str(tmp_path / source), str(tmp_path / "o.wav")]
        assert main([*args, "--effect", f"convolution:ir={tmp_path / name}"]) != 0
        err = capsys.readouterr().err
        assert message in err and len(err.strip().splitlines()) == 1, err
    # A device would be copied aside as a pipe is, without end.
    args = ["process", str(tmp_path / "in.wav"), str(tmp_path / "o.wav")]
    assert main([*args, "--effect", "convolution:ir=/dev/zero"]) != 0
    assert "/dev/zero: is a device, not a file or a pipe" in capsys.readouterr().err
    with pytest.raises(kavri.ChainError, match="must be a path in a random chain"):
        kavri.RandomChain([{"type": "convolution", "ir": [1.0, 0.5]}])
    # A path object is a path (it was refused as not one), recorded as its text.
    drawn = kavri.RandomChain([{"type": "convolution", "ir": tmp_path / "in.wav"}]).sample(0)
    assert drawn == [{"type": "convolution", "ir": str(tmp_path / "in.wav")}]
    # A response of zeros (a silent file in a folder of rooms) gave silence without a word.
    silent = {"type": "convolution", "ir": str(tmp_path / "two.wav")}
    with pytest.warns(kavri.KavriWarning, match="two.wav: the impulse response is all zeros"):
        kavri.process(noise(1000, 2), RATE, [silent])
    # Where warnings are errors, a stream reset after the first call fails alike: the note
    # had counted as said, and the retry went through without a word.
    stream = kavri.Stream([silent], RATE, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(2):
            with pytest.raises(kavri.KavriWarning, match="all zeros"):
                stream.process(noise(1000, 2))
            stream.reset()


def test_a_response_from_a_pipe_is_read_whole_once_by_threads_side_by_side(tmp_path):
    from kavri.rooms import read_response

    h = room_response(30_000, 1)
    encoded = io.BytesIO()
    sf.write(encoded, h, RATE, format="WAV", subtype="FLOAT")
    data = encoded.getvalue()
    read_end, write_end = os.pipe()

    def write() -> None:
        with os.fdopen(write_end, "wb") as out:
            for at in range(0, len(data), 4096):
                out.write(data[at : at + 4096])
                out.flush()
                time.sleep(0.0005)

    start = threading.Barrier(3)
    found: list = []

    def read() -> None:
        start.wait()
        try:
            found.append(read_response(f"/dev/fd/{read_end}", RATE))
        except kavri.KavriError as error:
            found.append(error)

    threads = [threading.Thread(target=write)] + [threading.Thread(target=read) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert len(found) == 3
    assert all(isinstance(r, np.ndarray) and np.array_equal(r, h) for r in found), found
    # Files' responses read since do not push it out: it cannot be read again, and the
    # files of a batch after them met an empty pipe.
    for n in range(5):
        sf.write(tmp_path / f"r{n}.wav", room_response(100, 1, seed=n), RATE)
        read_response(str(tmp_path / f"r{n}.wav"), RATE)
    assert np.array_equal(read_response(f"/dev/fd/{read_end}", RATE), h)
    os.close(read_end)


def test_a_named_pipe_is_read_once_for_a_call_and_again_for_the_next(tmp_path):
    """A call builds its chain's items more than once (to size its buffers, to run, and for
    a normalize's measuring pass) and a plot makes several calls: each reads the pipe's one
    writing; the next call reads the next writing."""
    from kavri.plot import plot_chain

    def waited_too_long(signum, frame):
        raise TimeoutError("a second read of the pipe waited for a writer that never comes")

    pipe = tmp_path / "room"
    os.mkfifo(pipe)
    x = noise(5000, 1)
    previous = signal.signal(signal.SIGALRM, waited_too_long)
    signal.alarm(120)
    try:
        for first in (3, 7):
            h = np.zeros((64, 1), np.float32)
            h[first] = 1.0
            encoded = io.BytesIO()
            sf.write(encoded, h, RATE, format="WAV", subtype="FLOAT")
            for run in ("process", "plot"):
                writer = threading.Thread(target=pipe.write_bytes, args=(encoded.getvalue(),))
                writer.start()
                chain = [{"type": "convolution", "ir": str(pipe)}, {"type": "normalize"}]
                if run == "process":
                    wanted = kavri.process(x, RATE, [{**chain[0], "ir": h}, chain[1]])
                    assert np.array_equal(kavri.process(x, RATE, chain), wanted)
                else:
                    plot_chain(chain[:1], tmp_path / "room.png")
                writer.join(30)
                assert not writer.is_alive()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def _holds_open(pid: int, path: Path) -> bool:
    """Whether the process has ``path`` open."""
    folder = Path(f"/proc/{pid}/fd")
    try:
        links = [os.readlink(entry) for entry in folder.iterdir()]
    except OSError:
        return False
    return str(path) in links


@pytest.mark.slow
def test_pipes_without_a_writer_neither_hang_nor_pass_for_errors(tmp_path):
    """Noise from a pipe is refused at once (it is read from an offset and looped); a
    response from a pipe that no one writes waits as cat would, and a signal then ends the
    command as interrupted, not as an unreadable file, also where the files run on worker
    threads, which a signal does not reach."""
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    kavri.write(tmp_path / "in.wav", noise(1000, 1), RATE)
    command = [sys.executable, "-m", "kavri", "process", str(tmp_path / "in.wav")]
    command.append(str(tmp_path / "o.wav"))
    refused = subprocess.run(
        [*command, "--effect", f"background_noise:path={pipe}"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert refused.returncode == 1 and "not a regular file" in refused.stderr
    (tmp_path / "in" / "more").mkdir(parents=True)
    kavri.write(tmp_path / "in" / "a.wav", noise(1000, 1), RATE)
    kavri.write(tmp_path / "in" / "more" / "b.wav", noise(1000, 1), RATE)
    batch = [sys.executable, "-m", "kavri", "batch", str(tmp_path / "in"), str(tmp_path / "out")]
    for run in (command, [*batch, "--jobs", "2"]):
        waiting = subprocess.Popen(
            [*run, "--effect", f"convolution:ir={pipe}"], stderr=subprocess.PIPE, text=True
        )
        try:
            # Signalled once it holds the pipe open, waiting for its writer.
            deadline = time.monotonic() + 60
            while not _holds_open(waiting.pid, pipe) and time.monotonic() < deadline:
                time.sleep(0.05)
            waiting.send_signal(signal.SIGINT)
            _, err = waiting.communicate(timeout=30)
        finally:
            waiting.kill()
        assert waiting.returncode == 130, err
        assert "interrupted" in err and "not a readable" not in err
    assert not (tmp_path / "o.wav").exists()
    assert not any((tmp_path / "out").rglob("*.wav"))


def test_an_endless_pipe_as_a_response_is_copied_only_while_it_could_be_held(tmp_path, monkeypatch):
    # A response is read whole, and an endless pipe (ir=<(yes)) was copied to the
    # temporary folder until its disk was all but full.
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(48 << 20))
    read_end, write_end = os.pipe()

    def write_until_closed():
        try:
            while True:
                os.write(write_end, bytes(1 << 20))
        except BrokenPipeError:
            os.close(write_end)

    writer = threading.Thread(target=write_until_closed)
    writer.start()
    try:
        with pytest.raises(kavri.KavriError, match=r"reading it whole \(\d+ bytes so far\)"):
            kavri.process(
                noise(100, 1), RATE, [{"type": "convolution", "ir": f"/dev/fd/{read_end}"}]
            )
    finally:
        os.close(read_end)
        writer.join()


def test_the_memory_guard_counts_a_long_response(monkeypatch):
    h = room_response(1_000_000, 2)
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(16 << 20))
    with pytest.raises(MemoryError, match="impulse response of 1000000 frames x 2 channels"):
        kavri.process(noise(1000, 2), RATE, [{"type": "convolution", "ir": h}])
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(256 << 20))
    assert kavri.process(noise(1000, 2), RATE, [{"type": "convolution", "ir": h}]).shape == (
        1000,
        2,
    )


# --- impulse responses from a folder ---------------------------------------------------------


@pytest.fixture
def ir_folder(tmp_path):
    folder = tmp_path / "rooms"
    (folder / "halls").mkdir(parents=True)
    for k, (name, rate) in enumerate(
        [("a.wav", RATE), ("b.flac", 24_000), ("halls/c.wav", RATE), ("halls/d.wav", 44_100)]
    ):
        sf.write(folder / name, room_response(3000 + 1000 * k, 1, seed=k), rate)
    (folder / "readme.txt").write_text("not a response")
    return folder


def test_folder_draws_record_the_file_and_replay(ir_folder):
    x = noise(20_000, 2)
    top = sorted(str(ir_folder / n) for n in ("a.wav", "b.flac"))
    deep = sorted(str(ir_folder / n) for n in ("halls/c.wav", "halls/d.wav"))
    # A hand-written chain draws the file from its seed: the same output as naming the file.
    for seed in range(4):
        spec = {"type": "convolution", "ir": str(ir_folder), "seed": seed}
        out = kavri.process(x, RATE, [spec])
        matches = [
            f for f in top if np.array_equal(out, kavri.process(x, RATE, [{**spec, "ir": f}]))
        ]
        assert len(matches) == 1
    # A random chain draws it from (seed, index), after its keys, and records it.
    description = [
        {"type": "convolution", "ir": str(ir_folder), "pattern": "halls/*.wav",
         "mix": {"uniform": [0.5, 1]}},
        {"type": "reverb", "room_size": {"uniform": [0, 1]}, "damping": {"uniform": [0, 1]},
         "pre_delay_ms": {"uniform": [0, 50]}, "width": {"uniform": [0, 1]},
         "mix": {"uniform": [0, 0.5]}},
    ]  # fmt: skip
    random_chain = kavri.RandomChain(description)
    drawn = {random_chain.sample(9, i)[0]["ir"] for i in range(12)}
    assert drawn == set(deep)
    chain = random_chain.sample(9, 3)
    assert set(chain[1]) == {"type", "room_size", "damping", "pre_delay_ms", "width", "mix"}
    replay = kavri.RandomChain(json.loads(json.dumps(chain))).sample(0, 0)
    assert replay == chain
    augmented, used = kavri.augment(x, RATE, random_chain, seed=9, index=3)
    assert used == chain and np.array_equal(augmented, kavri.process(x, RATE, replay))
    with pytest.raises(kavri.ChainError, match="no files match"):
        kavri.RandomChain(
            [{"type": "convolution", "ir": str(ir_folder), "pattern": "*.aiff"}]
        ).sample(0)


def test_the_native_rooms_refuse_settings_outside_the_catalogue():
    # The native classes make whole frames from these numbers: a NaN or a value past its
    # bound is refused there too, not only by the chain's checks.
    keys = ("room_size", "damping", "pre_delay_ms", "width", "mix")
    params = {key: kavri.catalogue.get_effect("reverb").param(key) for key in keys}
    for key, param in params.items():
        settings = {name: float(p.default) for name, p in params.items()}
        for good in (param.minimum, param.maximum):
            _kavri_stream.Reverb(RATE, 2, **{**settings, key: float(good)})
        for bad in (np.nan, np.inf, float(param.maximum) * 1.01 + 0.01, -0.01, 1e30):
            with pytest.raises(ValueError, match=f"reverb: {key} must be within"):
                _kavri_stream.Reverb(RATE, 2, **{**settings, key: bad})
    convolver = _kavri_stream.Convolver(room_response(300, 1), 1, [(0, 0, 0)])
    for bad in (np.nan, -0.5, 1.5):
        with pytest.raises(ValueError, match="convolution: mix must be within 0 and 1"):
            convolver.fresh(bad)
        with pytest.raises(ValueError, match="convolution: mix must be within 0 and 1"):
            _kavri_stream.Convolver(room_response(300, 1), 1, [(0, 0, 0)], mix=bad)


def test_held_frames_asked_during_another_thread_s_chunk_is_a_count_between_chunks():
    # The convolver's count moves block by block while a chunk runs with the lock released;
    # read at once it gave the partition itself, a count no chunk leaves.
    rng = np.random.default_rng(0)
    response = (rng.standard_normal((2000, 4)) * 0.05).astype(np.float32)  # true stereo
    stream = kavri.Stream([{"type": "convolution", "ir": response}], 48000, 2)
    audio = rng.standard_normal((1_000_003, 2)).astype(np.float32)
    stream.process(audio[:100])
    before = stream.held_frames
    seen = set()
    runner = threading.Thread(target=stream.process, args=(audio,))
    runner.start()
    while runner.is_alive():
        seen.add(stream.held_frames)
    runner.join()
    assert seen <= {before, stream.held_frames}


def test_a_response_file_changed_within_seconds_is_read_again_not_kept(tmp_path, monkeypatch):
    # A file rewritten in place while a call read it was kept torn: its times are set as a
    # write begins, so the torn samples were kept under the write's final times and every
    # later call got them.
    path = tmp_path / "room.wav"
    response = np.random.default_rng(4).uniform(-0.5, 0.5, (300, 1)).astype(np.float32)
    sf.write(path, response, 48000, "FLOAT")
    decoded = []
    read = kavri.rooms._decode
    monkeypatch.setattr(kavri.rooms, "_decode", lambda *args: decoded.append(1) or read(*args))
    chain = [{"type": "convolution", "ir": str(path)}]
    audio = np.ones((1000, 1), np.float32)
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", 3600.0)  # however slow the machine
    kavri.process(audio, 48000, chain)
    kavri.process(audio, 48000, chain)
    assert len(decoded) == 2  # just written: read by each call
    monkeypatch.setattr(kavri._paths, "SETTLED_SECONDS", -60.0)  # as if written long ago
    decoded.clear()
    kavri.process(audio, 48000, chain)
    kavri.process(audio, 48000, chain)
    assert len(decoded) == 1
