"""The Python API: process, chain loading and checking, presets, file round trips, the atomic
write, and the plot measurements."""

from __future__ import annotations

import json
import math
import os
import sys
import warnings

import numpy as np
import pytest
import soundfile as sf

import kavri
from kavri import AudioFileError, ChainError
from kavri.plot import magnitude_response, static_curve
from kavri.steps import plan_chain

RATE = 48_000
NOT_BUILT = "is not available in this build yet"


def stereo(frames: int = 24_000, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / RATE
    audio = np.stack([0.4 * np.sin(2 * np.pi * 440 * t), 0.3 * np.sin(2 * np.pi * 97 * t)], 1)
    return (audio + 0.05 * rng.standard_normal(audio.shape)).astype(np.float32)


SATURATE = [
    {"type": "gain", "db": 4},
    {"type": "distortion", "drive": 1.6},
    {"type": "clip", "threshold": 0.9},
    {"type": "gain", "db": -2},
]


# --- process -----------------------------------------------------------------------------


def test_every_chain_form_gives_the_engine_result(tmp_path):
    audio = stereo()
    expected = kavri.process_pipeline(audio, RATE, SATURATE)
    chain_file = tmp_path / "chain.json"
    chain_file.write_text(json.dumps({"description": "d", "chain": SATURATE}))
    list_file = tmp_path / "list.json"
    list_file.write_text(json.dumps(SATURATE))
    pairs = [list(spec.items()) for spec in SATURATE]
    for chain in (SATURATE, "saturate", str(chain_file), chain_file, list_file, pairs):
        assert np.array_equal(kavri.process(audio, RATE, chain), expected), chain


def test_mono_keeps_its_shape_and_gain_is_exact():
    mono = stereo()[:, 0]
    out = kavri.process(mono, RATE, [{"type": "gain", "db": -6}])
    assert out.shape == mono.shape and out.dtype == np.float32
    assert np.array_equal(out, mono * np.float32(0.5011872))
    two_d = kavri.process(mono[:, None], RATE, [{"type": "gain", "db": -6}])
    assert two_d.shape == (mono.size, 1)


def test_workers_do_not_change_the_bits():
    audio = np.tile(stereo(), (1, 3))
    one = kavri.process(audio, RATE, "saturate", workers=1)
    assert np.array_equal(one, kavri.process(audio, RATE, "saturate", workers=4))
    assert np.array_equal(one, kavri.process(audio, RATE, "saturate", block_size=7))


@pytest.mark.parametrize(
    ("chain", "message"),
    [
        ([{"type": "shimmer"}], r"effect 1: unknown effect type 'shimmer'"),
        (
            [{"type": "gain"}, {"type": "clipp"}],
            r"effect 2: unknown effect type 'clipp' \(did you mean 'clip'\?\)",
        ),
        ([{"db": 3}], r"effect 1 has no \"type\""),
        ([{"type": 5}], r"\"type\" must be a string, got 5"),
        (
            [{"type": "gain", "dbb": 3}],
            r"unknown parameter 'dbb' \(did you mean 'db'\?\); known: db",
        ),
        (
            [{"type": "gain", "db": "loud"}],
            r"\('gain'\): parameter 'db' must be a number, got \"loud\"",
        ),
        ([{"type": "gain", "db": None}], r"parameter 'db' must be a number, got null"),
        (
            [{"type": "phaser", "stages": 4.0}],
            r"parameter 'stages' must be a whole number, got 4.0",
        ),
        (
            [{"type": "phaser", "stages": 2**40}],
            r"parameter 'stages' = 1099511627776 is out of range",
        ),
        ([None], r"effect 1: expected an object"),
        (  # a 0-d array listed raised a bare TypeError
            [{"type": "mixdown", "weights": np.array(0.5)}],
            r"parameter 'weights' must be a list of numbers, got array\(0.5\)",
        ),
        ({"type": "gain"}, r"a chain must be a list"),
        ("no_such_preset", r"unknown preset 'no_such_preset'; presets: .*saturate"),
        ("missing/chain.json", r"missing/chain.json: no such chain file"),
        ("chain.json\x00", r"chain.json\\x00: no file can have that name"),  # a ValueError
    ],
)
def test_bad_chains_name_the_fault(chain, message):
    with pytest.raises(ChainError, match=message):
        kavri.process(stereo(16), RATE, chain)


def test_malformed_chain_file_reports_line_and_column(tmp_path):
    path = tmp_path / "bad.json"
    path.write_text('[\n  {"type": "gain", "db": 3},\n  {"type": "clip" "threshold": 1}\n]')
    with pytest.raises(ChainError, match=r"bad.json:3:19: malformed JSON: Expecting ',' delimiter"):
        kavri.load_chain(path)
    # A key given twice was read as its last value, without a word.
    path.write_text('[{"type": "gain", "db": 1, "db": 2}]')
    with pytest.raises(ChainError, match='malformed JSON: the key "db" appears twice'):
        kavri.load_chain(path)
    # So is one given twice in an effect written as pairs, which had run at the last one.
    path.write_text('[[["type", "gain"], ["db", 1], ["db", 30]]]')
    with pytest.raises(ChainError, match='effect 1: the key "db" appears twice'):
        kavri.load_chain(path)
    # Keys of a chain object beside "chain" were dropped without a word.
    path.write_text('{"chain": [], "type": "gain", "db": -20, "descripton": "quieter"}')
    with pytest.raises(ChainError, match='bad.json: unknown key "type"; a chain object holds'):
        kavri.load_chain(path)
    path.write_text('{"chain": [], "descripton": "quieter"}')
    with pytest.raises(ChainError, match="did you mean 'description'"):
        kavri.load_chain(path)
    # Notepad's byte-order mark was "malformed JSON: Unexpected UTF-8 BOM".
    path.write_text('\ufeff[{"type": "gain", "db": 1}]', encoding="utf-8")
    assert kavri.load_chain(path) == [{"type": "gain", "db": 1.0}]
    # PowerShell's `echo ... > chain.json` writes UTF-16 with its mark: "not a text file".
    path.write_text('\ufeff[{"type": "gain", "db": 1}]', encoding="utf-16-le")
    assert kavri.load_chain(path) == [{"type": "gain", "db": 1.0}]


@pytest.mark.parametrize(
    ("audio", "rate", "error"),
    [
        (np.zeros((4, 2, 2), np.float32), RATE, ValueError),
        (np.zeros((4, 2), np.float32), 44_100.5, TypeError),
    ],
)
def test_bad_arguments(audio, rate, error):
    with pytest.raises(error):
        kavri.process(audio, rate, [])


# --- presets -----------------------------------------------------------------------------


def test_every_entry_point_tells_a_clamp_once_at_the_callers_line():
    """A kavri.Stream told nothing, and the batch calls and a loudness target named a line
    inside kavri (or the caller's caller), where a filter by module cannot reach them."""
    chain = [{"type": "lowpass", "frequency_hz": 30000}]
    audio = np.full((48_000, 2), 0.1, np.float32)
    batch = np.zeros((2, 10), np.float32)
    staged = [{"type": "resample", "rate_hz": 16_000}, *chain]
    for call in (
        lambda: kavri.Stream(chain, 48_000, 2),
        lambda: kavri.process(audio, 48_000, chain, loudness=-20),
        lambda: kavri.process_to_loudness(audio, 48_000, chain, -20),
        lambda: kavri.process_batch(batch, 48_000, chain),
        lambda: kavri.process_batch(batch, 48_000, staged),
        lambda: kavri.augment_batch(batch[:1], 48_000, chain, seed=1),
    ):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        clamps = [w for w in caught if w.category is kavri.ClampWarning]
        assert len(clamps) == 1 and {w.filename for w in caught} == {__file__}, caught


@pytest.mark.parametrize("name", sorted(kavri.list_presets()))
def test_presets_load_and_run(name):
    assert kavri.list_presets()[name]
    chain = kavri.load_preset(name)
    assert chain and all(spec["type"] in kavri.EFFECTS for spec in chain)
    audio = stereo()
    try:
        out = kavri.process(audio, RATE, name)
    except RuntimeError as error:
        if NOT_BUILT in str(error):
            pytest.skip(str(error))
        raise
    # A preset with steps ends at the rate and channel count its plan says.
    plan = plan_chain(chain, RATE, audio.shape[1])
    assert out.shape == (plan.output_frames(len(audio)), plan.out_channels)
    assert np.isfinite(out).all() and not np.array_equal(out[:, :1], audio[: len(out), :1])


# --- files -------------------------------------------------------------------------------


def ramp(channels: int = 2, frames: int = 4000) -> np.ndarray:
    # Values on the 16-bit grid, between -1 and just under 1, different per channel.
    steps = np.arange(frames * channels).reshape(frames, channels) * 37 % 65536 - 32768
    return (steps / 32768.0).astype(np.float32)


@pytest.mark.parametrize(
    ("suffix", "subtype", "step"),
    [
        (".wav", None, 0.0),
        (".wav", "float", 0.0),
        (".wav", "pcm16", 0.0),
        (".wav", "pcm24", 0.0),
        (".flac", None, 0.0),
        (".flac", "pcm16", 0.0),
        (".aiff", "float", 0.0),
    ],
)
def test_lossless_round_trips_are_exact_on_the_grid(tmp_path, suffix, subtype, step):
    audio = ramp()
    path = tmp_path / f"x{suffix}"
    kavri.write(path, audio, 44_100, subtype=subtype)
    back, rate = kavri.read(path)
    assert rate == 44_100 and back.dtype == np.float32 and back.shape == audio.shape
    assert np.array_equal(back, audio)


@pytest.mark.parametrize(("subtype", "bits"), [("pcm16", 16), ("pcm24", 24)])
def test_pcm_rounds_to_its_grid_and_clips(tmp_path, subtype, bits):
    audio = np.array([[0.3, -0.7], [1.5, -2.0], [np.nan, 1 / 3]], dtype=np.float32)
    path = tmp_path / "x.wav"
    kavri.write(path, audio, RATE, subtype=subtype)
    back = kavri.read(path).audio
    assert sf.info(str(path)).subtype == f"PCM_{bits}"
    assert np.all(np.abs(back[[0, 2]] - np.nan_to_num(audio[[0, 2]])) <= 2.0 ** -(bits - 1))
    assert back[1, 0] == pytest.approx(1.0, abs=2.0 ** -(bits - 2)) and back[1, 1] == -1.0
    assert back[2, 0] == 0.0


def test_float_wav_keeps_every_bit_including_nan(tmp_path):
    audio = np.array([[np.nan, -0.0], [np.inf, 3.5], [1e-40, -1e30]], dtype=np.float32)
    kavri.write(tmp_path / "x.wav", audio, RATE)
    back = kavri.read(tmp_path / "x.wav").audio
    assert np.array_equal(back.view(np.uint32), audio.view(np.uint32))


def test_ogg_vorbis_round_trip_is_close(tmp_path):
    t = np.arange(RATE) / RATE
    audio = np.stack(
        [0.5 * np.sin(2 * np.pi * 440 * t), 0.5 * np.sin(2 * np.pi * 660 * t)], 1
    ).astype(np.float32)
    kavri.write(tmp_path / "x.ogg", audio, RATE)
    back, rate = kavri.read(tmp_path / "x.ogg")
    assert rate == RATE and back.shape == audio.shape
    assert sf.info(str(tmp_path / "x.ogg")).subtype == "VORBIS"
    error = np.sqrt(np.mean((back[2000:-2000] - audio[2000:-2000]) ** 2))
    assert error < 0.05 * np.sqrt(np.mean(audio**2))


def test_unreadable_files_name_the_file(tmp_path):
    (tmp_path / "text.wav").write_text("not audio")
    for path, message in [
        (tmp_path / "none.wav", "none.wav: no such file"),
        (tmp_path / "text.wav", r"text.wav: not a readable audio file \(Format not recognised\)"),
        (tmp_path, "is a directory"),
    ]:
        with pytest.raises(AudioFileError, match=message):
            kavri.read(path)


@pytest.mark.parametrize(
    ("name", "subtype", "message"),
    [
        (
            "x.flac",
            "float",
            r"x.flac: FLAC files cannot hold subtype 'float'; use one of pcm16, pcm24",
        ),
        ("x.mp9", None, r"x.mp9: unknown output format '.mp9'"),
        ("x.wav", "pcm12", r"unknown subtype 'pcm12'"),
        ("missing/x.wav", None, r"x.wav: cannot write: folder .*missing does not exist"),
    ],
)
def test_bad_outputs_are_refused(tmp_path, name, subtype, message):
    with pytest.raises(AudioFileError, match=message):
        kavri.write(tmp_path / name, ramp(), RATE, subtype=subtype)
    assert sorted(os.listdir(tmp_path)) == []


def test_an_output_folder_that_is_a_file_or_a_loop_is_said_to_be_so(tmp_path):
    # Both were said not to exist, which sent the user looking for a missing folder.
    (tmp_path / "take.wav").write_bytes(b"")
    (tmp_path / "loop").symlink_to("loop")
    for name, reason in (("take.wav", "Not a directory"), ("loop", "Too many levels")):
        with pytest.raises(AudioFileError, match=f"folder .*{name}: {reason}"):
            kavri.write(tmp_path / name / "x.wav", ramp(), RATE)
    # A file where temporaries go made every write fail with a bare "Not a directory".
    (tmp_path / "hidden").mkdir()
    (tmp_path / "hidden" / ".kavri-tmp.d").write_bytes(b"")
    with pytest.raises(AudioFileError, match="x.wav: cannot write: .kavri-tmp.d in its folder"):
        kavri.write(tmp_path / "hidden" / "x.wav", ramp(), RATE)
    (tmp_path / "hidden" / ".kavri-tmp.d").unlink()
    (tmp_path / "hidden" / ".kavri-tmp.d").symlink_to("gone")  # had been tried 20 times
    with pytest.raises(AudioFileError, match=r"\.kavri-tmp\.d in its folder is a link"):
        kavri.write(tmp_path / "hidden" / "x.wav", ramp(), RATE)
    (tmp_path / "gone").symlink_to("nowhere")
    with pytest.raises(AudioFileError, match="folder .*gone is a link that leads nowhere"):
        kavri.write(tmp_path / "gone" / "x.wav", ramp(), RATE)
    # A batch's output folder that is a link to nothing was said to exist.
    kavri.write(tmp_path / "in.wav", ramp(), RATE)
    (tmp_path / "nowhere").symlink_to("gone")
    with pytest.raises(kavri.KavriError, match="nowhere: .*a link that leads nowhere"):
        kavri.batch([tmp_path / "in.wav"], [], tmp_path / "nowhere")


@pytest.mark.parametrize("failure", [OSError("disk full"), KeyboardInterrupt()])
def test_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, failure):
    target = tmp_path / "out.wav"
    kavri.write(target, ramp(), RATE)
    before = target.read_bytes()
    real_write = sf.SoundFile.write

    def half_then_fail(self, data):
        real_write(self, data[: len(data) // 2])
        raise failure

    monkeypatch.setattr(sf.SoundFile, "write", half_then_fail)
    with pytest.raises(type(failure) if isinstance(failure, KeyboardInterrupt) else AudioFileError):
        kavri.write(target, ramp(frames=9000), RATE)
    assert target.read_bytes() == before
    assert os.listdir(tmp_path) == ["out.wav"]


def test_written_file_has_the_usual_permissions(tmp_path):
    mask = os.umask(0o022)
    os.umask(mask)
    kavri.write(tmp_path / "x.wav", ramp(), RATE)
    assert (tmp_path / "x.wav").stat().st_mode & 0o777 == 0o666 & ~mask


# --- plot measurements -------------------------------------------------------------------


def test_gain_response_is_flat_at_its_gain():
    frequencies, magnitude = magnitude_response([{"type": "gain", "db": 6}], RATE, 4096)
    assert frequencies[-1] == RATE / 2
    assert np.allclose(magnitude, 20 * np.log10(np.float32(1.9952624)), atol=1e-4)
    levels, out = static_curve([{"type": "gain", "db": -10}], RATE, [-40.0, -20.0], 0.1)
    assert np.allclose(out, levels[:, None] - 10.0, atol=1e-3)


def test_clip_level_curve_holds_the_ceiling():
    levels, out = static_curve([{"type": "clip", "threshold": 0.5}], RATE, [-30.0, 0.0], 0.1)
    assert out[0] == pytest.approx([-30.0, -30.0], abs=1e-3)
    # A full-scale sine clipped at half scale: mean square 1/3 - sqrt(3)/(4 pi).
    clipped = 10 * np.log10(2 * (1 / 3 - np.sqrt(3) / (4 * np.pi)))
    assert out[1] == pytest.approx([clipped, clipped], abs=0.05)


def test_plot_measurements_refuse_bad_arguments_before_making_anything():
    from kavri.plot import (
        decay,
        impulse_response,
        level_over_time,
        smoothed,
        stereo_impulse_responses,
    )

    gain = [{"type": "gain", "db": -6}]
    # A whole float rate is a rate, as everywhere else (it had met the binding's TypeError).
    assert np.array_equal(impulse_response(gain, 48000.0, 64), impulse_response(gain, 48000, 64))
    refused = [
        (lambda: impulse_response(gain, 48000, 0), ValueError, "length must be 1 or more"),
        (lambda: stereo_impulse_responses(gain, lead=-1), ValueError, "lead must be 0 or more"),
        (lambda: impulse_response(gain, 48000, 10**13), MemoryError, "a plot's responses needs"),
        (lambda: magnitude_response(gain, fft_length=10**13), MemoryError, "spectrum needs"),
        (lambda: impulse_response(gain, level_db=math.nan), ValueError, "level_db must be finite"),
        (lambda: level_over_time(gain, level_db=800), ValueError, "single precision holds"),
        (lambda: static_curve(gain, levels_db=[0.0, math.nan]), ValueError, "levels_db must be"),
        (lambda: static_curve(gain, seconds=0.001), ValueError, "seconds must be 0.01 or more"),
        (lambda: decay(gain, seconds=math.inf), ValueError, "seconds must be finite"),
        (lambda: level_over_time(gain, 10**12), kavri.KavriError, "plots are measured at"),
        (lambda: smoothed(*magnitude_response(gain), fraction=0), ValueError, "above 0"),
        (lambda: smoothed(*magnitude_response(gain), lowest=0), ValueError, "lowest must lie"),
        (lambda: smoothed(np.zeros(0), np.zeros((0, 2))), ValueError, "rising frequencies"),
    ]
    for call, kind, message in refused:
        with pytest.raises(kind, match=message):
            call()


def test_settings_and_names_of_the_wrong_kind_are_refused_by_name(tmp_path):
    audio = np.zeros((100, 2), np.float32)
    source = tmp_path / "in.wav"
    kavri.write(source, audio, RATE)
    write = kavri.write
    refused = [
        # An AttributeError ('int' object has no attribute 'lower'), "unknown dither ''",
        # "'int' object is not iterable", a size of 300 digits as each file was written,
        # and failures deep inside ("'dict' object has no attribute 'target'", "no len()").
        (lambda: write(tmp_path / "a.wav", audio, RATE, 0), "^subtype must be a name, got 0$"),
        (lambda: write(tmp_path / "a.wav", audio, RATE, dither=None), "unknown dither None"),
        (lambda: write(tmp_path / "a.wav", audio, RATE, tags=5), "^tags must be a mapping"),
        (lambda: kavri.RenderSettings(tail=1e300), "^tail must be at most 2,147,483,648"),
        (lambda: kavri.process_file(source, tmp_path / "b.wav", [], {"tail": 1}), "^settings must"),
        (lambda: kavri.read(source, raw=(RATE, 2)), "^raw must be a kavri.io.RawFormat"),
        (lambda: kavri.load_preset(None), "^a preset is named by text"),
    ]
    for call, message in refused:
        with pytest.raises((TypeError, ValueError, kavri.KavriError), match=message):
            call()
    # NumPy's whole numbers count, as they do for every other count.
    write(tmp_path / "c.mp3", audio, RATE, bitrate=np.array(128))
    kavri.batch([source], [], tmp_path / "out", jobs=np.int64(1), base_dir=tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["c.mp3", "in.wav", "out"]


@pytest.mark.slow
def test_plot_writes_a_png(tmp_path):
    from kavri.plot import plot_chain

    plot_chain(SATURATE, tmp_path / "chain.png")
    assert (tmp_path / "chain.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(TypeError, match="^title must be text or None, got -1$"):
        plot_chain(SATURATE, tmp_path / "titled.png", title=-1)
    assert os.listdir(tmp_path) == ["chain.png"]
    # A clamped value warns once, though every measurement of the plot meets it (the
    # command line showed the line 50 times).
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        plot_chain([{"type": "compressor", "ratio": 0.5}], tmp_path / "clamped.png")
    assert [str(w.message).split(":")[0] for w in caught] == ["effect 1 ('compressor')"]
    assert caught[0].filename == __file__
    # Told before anything is drawn: where warnings are errors, nothing is written (the
    # plot had caught them and given them again with the image in place).
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(kavri.ClampWarning):
            plot_chain([{"type": "compressor", "ratio": 0.5}], tmp_path / "never.png")
    assert not (tmp_path / "never.png").exists()


def test_plot_without_matplotlib_says_what_to_install(tmp_path, monkeypatch):
    from kavri.plot import MatplotlibMissing, plot_chain

    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(MatplotlibMissing, match=r"pip install 'kavri\[plot\]'"):
        plot_chain(SATURATE, tmp_path / "chain.png")
    assert os.listdir(tmp_path) == []
