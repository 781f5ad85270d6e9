"""Degradation faults found by hand: inputs and rates that crashed the codecs' libraries (an
abort or a segfault takes the whole process, so those run in a child), very short signals
through a rate conversion, and noise files and patterns that gave a traceback."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest
import soundfile as sf

import kavri
from kavri.codecs import codec_available
from kavri.errors import AudioFileError, ChainError

CODECS = [name for name in ("mp3", "vorbis", "opus", "gsm") if codec_available(name)]

_CHILD = """
import json, sys
import numpy as np
import kavri

out = {}
for name in sys.argv[1:]:
    # A sample far beyond full scale (LAME aborted on it) and a loud tone (Vorbis and Opus
    # gave silence for it).
    spike = np.zeros((4000, 1), np.float32)
    spike[300], spike[900], spike[1500] = np.inf, -1e30, np.nan
    coded = kavri.process(spike, 16000, [{"type": "codec", "format": name}])
    tone = (1e4 * np.sin(np.arange(16000) * 0.17)).astype(np.float32)[:, None]
    loud = kavri.process(tone, 16000, [{"type": "codec", "format": name}])
    out[name] = [bool(np.isfinite(coded).all()), float(np.abs(coded).max()),
                 float(np.sqrt(np.mean(loud[2000:-2000] ** 2)))]
# A round trip or step made by hand at a rate of 0 ended the process in the encoder.
from kavri.codecs import CodecRoundTrip, roundtrip
refused = []
name = "vorbis" if "vorbis" in sys.argv[1:] else sys.argv[1]
for make in (lambda: roundtrip(np.zeros((4800, 2), np.float32), 0, name, 0.5),
             lambda: CodecRoundTrip(0, 2, name, 0.5)):
    try:
        make()
    except ValueError as error:
        refused.append(str(error))
out["rate_0"] = refused
# Above 200 kHz libvorbis has no setup and crashed.
if "vorbis" in sys.argv[1:]:
    rate = 256000
    sine = (0.3 * np.sin(2 * np.pi * 1000 * np.arange(rate) / rate)).astype(np.float32)
    coded = kavri.process(sine[:, None], rate, [{"type": "codec", "format": "vorbis"}])
    out["vorbis_256k"] = [coded.shape[0], float(np.sqrt(np.mean((coded[:, 0] - sine) ** 2)))]
print(json.dumps(out))
"""


def test_codecs_hold_hostile_input_and_rates_their_libraries_cannot_take():
    run = subprocess.run(
        [sys.executable, "-c", _CHILD, *CODECS], capture_output=True, text=True, timeout=300
    )
    assert run.returncode == 0, run.stderr[-2000:]
    result = json.loads(run.stdout)
    for name in CODECS:
        finite, peak, loud_rms = result[name]
        assert finite and peak < 400, (name, peak)
        if name != "gsm":  # GSM codes 16-bit samples: it clips at full scale
            assert loud_rms > 100, (name, loud_rms)
    assert result["rate_0"] == ["sample_rate must be between 1 and 2147483647 Hz, got 0"] * 2
    if "vorbis" in CODECS:
        frames, error = result["vorbis_256k"]
        assert frames == 256000 and error < 0.01


@pytest.mark.parametrize("name", [n for n in CODECS if n in ("mp3", "opus")])
def test_a_frame_too_short_for_the_codec_rate_comes_back_silent(name):
    # One frame of 192 kHz is no frame at 48 kHz: libsndfile could not read it back.
    chain = [{"type": "codec", "format": name}]
    one = np.full((1, 2), 0.25, np.float32)
    assert np.array_equal(kavri.process(one, 192000, chain), np.zeros((1, 2), np.float32))
    stream = kavri.Stream(chain, 192000, 2)
    assert np.array_equal(np.concatenate([stream.process(one), stream.flush()]), 0 * one)


def test_bad_patterns_and_noise_files_cut_short_are_refused_by_name(tmp_path):
    folder = tmp_path / "noise"
    folder.mkdir()
    noise = (0.1 * np.random.default_rng(0).standard_normal((20000, 1))).astype(np.float32)
    sf.write(folder / "a.wav", noise, 16000)
    signal = np.zeros((3000, 1), np.float32)
    sf.write(tmp_path / "outside.wav", noise, 16000)
    for pattern in ("", str(tmp_path / "*"), "../*.wav", ".", "./", "./."):
        for spec in (
            {"type": "background_noise", "path": str(folder), "pattern": pattern},
            {"type": "convolution", "ir": str(folder), "pattern": pattern},
        ):
            with pytest.raises(ChainError, match="not a glob relative to the folder"):
                kavri.process(signal, 16000, [spec])
    # A FLAC whose data ends a third of the way: its header still promises 20,000 frames.
    sf.write(tmp_path / "full.flac", noise, 16000)
    data = (tmp_path / "full.flac").read_bytes()
    (tmp_path / "cut.flac").write_bytes(data[: len(data) // 3])
    spec = {"type": "background_noise", "path": str(tmp_path / "cut.flac"), "offset_frames": 12000}
    with pytest.raises(AudioFileError, match=r"cut\.flac: cannot seek to frame 12000"):
        kavri.process(signal, 16000, [spec])


def test_companding_takes_more_channels_than_libsndfile_does():
    # libsndfile refused more than 1,024 channels; each sample is coded alone, so a wide
    # signal gives every channel's bits as a mono one does.
    wide = (0.3 * np.random.default_rng(1).standard_normal((1200, 1100))).astype(np.float32)
    for kind in ("mu_law", "a_law"):
        out = kavri.process(wide, 8000, [{"type": kind}])
        for channel in (0, 1099):
            alone = kavri.process(wide[:, channel : channel + 1], 8000, [{"type": kind}])
            assert np.array_equal(out[:, channel : channel + 1], alone)


def test_the_plot_reads_a_sample_hold_s_gain_as_a_tone_meets_it():
    from kavri.plot import path_responses

    # The held impulse is repeated for a whole period: read as it was, the passband stood
    # 20 log10(rate / rate_hz) above the 0 dB a tone meets (+15.6 dB for 8 kHz at 48 kHz).
    for hold, expected in ((8000, 0.0), (1000, -0.14)):
        frequencies, curves = path_responses([{"type": "sample_hold", "rate_hz": hold}], 48000)
        at_100 = int(np.argmin(np.abs(frequencies - 100)))
        assert next(iter(curves.values()))[at_100] == pytest.approx(expected, abs=0.05)


def test_coders_never_call_back_into_python(monkeypatch):
    # Coded through a Python file object, every write was a callback in which a Ctrl-C was
    # swallowed: the block came out half coded and the call carried on. The coders now get
    # a descriptor of a file in memory.
    def no_callbacks(self, file):
        raise AssertionError("a coder wrote through Python callbacks")

    monkeypatch.setattr(sf.SoundFile, "_init_virtual_io", no_callbacks)
    audio = (0.3 * np.random.default_rng(3).standard_normal((5000, 2))).astype(np.float32)
    for spec in ({"type": "codec", "format": "mp3"}, {"type": "codec", "format": "gsm"}):
        assert kavri.process(audio, 8000, [spec]).shape == audio.shape
    for kind in ("mu_law", "a_law"):
        assert kavri.process(audio, 8000, [{"type": kind}]).shape == audio.shape
