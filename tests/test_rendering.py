"""Rendering with a loudness target: the chain runs once, lossy outputs keep the ceiling as
decoded, one progress bar that never goes back, the temporary's bounds and clean-up, and
the warnings about values the engine clamps."""

from __future__ import annotations

import dataclasses
import math
import subprocess
import sys
import warnings

import numpy as np
import pyloudnorm
import pytest
import soundfile as sf
from scipy import signal

import kavri
from kavri import files, loudness, rendering
from kavri.report import meter_text, output_report

RATE = 48_000
# Speech-like: syllables of noise and sharp plosives far above them, so that a -16 LUFS
# target needs the limiter.
CHAIN = [{"type": "highpass", "frequency_hz": 80}]


def speech(seconds: float, seed: int = 5, plosives: int | None = None) -> np.ndarray:
    rng = np.random.default_rng(seed)
    frames = int(seconds * RATE)
    noise = signal.lfilter(
        *signal.butter(2, [150, 7000], "bandpass", fs=RATE), rng.standard_normal(frames)
    )
    t = np.arange(frames) / RATE
    voice = 0.05 * noise * np.maximum(np.sin(2 * np.pi * 4 * t), 0) ** 2
    voice *= np.sin(2 * np.pi * 0.3 * t) > -0.5
    for start in rng.integers(0, frames - 50, int(2 * seconds) if plosives is None else plosives):
        voice[start : start + 20] += 0.3 * np.hanning(20)
    return np.stack([voice, np.roll(voice, 37)], 1).astype(np.float32)


def independent_true_peak_db(audio: np.ndarray) -> float:
    upsampled = signal.resample_poly(np.asarray(audio, np.float64), 16, 1, axis=0)
    return 20 * math.log10(np.max(np.abs(upsampled)))


@pytest.fixture
def take(tmp_path):
    path = tmp_path / "take.wav"
    kavri.write(path, speech(12.0), RATE)
    return path


@pytest.mark.slow
@pytest.mark.parametrize(("plosives", "target"), [(None, -14), (6, -16)])
def test_the_chain_runs_once_and_the_bits_are_those_of_one_call(
    plosives, target, tmp_path, monkeypatch
):
    # Plosives twice a second: the limiter acts everywhere and passes measure it; six in
    # 30 s: it is tried on excerpts around them, and the temporary is read whole only to
    # write the output (and for the first's true peak, as the gain pushes 8 dB into the
    # limiter here).
    take = tmp_path / "take.wav"
    kavri.write(take, speech(12.0 if plosives is None else 30.0, plosives=plosives), RATE)
    runs = []
    real = files._passes
    monkeypatch.setattr(files, "_passes", lambda *a: (runs.append(1), real(*a))[1])
    reads = []
    chunks = rendering.FloatSpool.chunks

    def counted(self, frames, start=0, stop=None):
        reads.append((start, stop))
        return chunks(self, frames, start, stop)

    monkeypatch.setattr(rendering.FloatSpool, "chunks", counted)
    calls = []
    summary = kavri.process_file(
        take, tmp_path / "out.wav", CHAIN, loudness=target, progress=lambda *c: calls.append(c)
    )
    result = summary.loudness
    assert runs == [1] and result.limiter_ceiling_db is not None
    whole = reads.count((0, None))
    if plosives is None:
        # Whole passes, perhaps the first's true peak (the gain nears the most allowed),
        # and the writing pass.
        assert result.passes >= 2 and result.trials == 0
        assert result.passes + 1 <= whole <= result.passes + 2
    else:
        # Excerpts, perhaps the first's true peak, and the writing pass.
        assert result.passes == 0 and result.trials >= 1 and whole <= 2 and len(reads) > whole
    audio = kavri.read(take).audio
    written = kavri.read(tmp_path / "out.wav").audio
    assert np.array_equal(written, kavri.process(audio, RATE, CHAIN, loudness=target))
    assert pyloudnorm.Meter(RATE).integrated_loudness(written) == pytest.approx(target, abs=0.1)
    assert independent_true_peak_db(written) <= -1.0 + 0.05
    # One bar: its total known from the first call and never changed, done never going back.
    frames = audio.shape[0]
    assert {total for _, total in calls} == {3 * frames}
    assert all(a[0] < b[0] for a, b in zip(calls, calls[1:], strict=False))
    assert calls[-1] == (3 * frames, 3 * frames)


def test_audio_written_off_the_prediction_is_written_again(tmp_path, monkeypatch):
    take = tmp_path / "take.wav"
    kavri.write(take, speech(30.0, plosives=6), RATE)
    seen = []

    def first_passes_the_ceiling(result, written):
        seen.append(written)
        if len(seen) == 1:  # as if a peak between samples outside the excerpts passed it
            written = dataclasses.replace(written, true_peak=[p * 1.1 for p in written.true_peak])
        return loudness.corrected(result, written)

    monkeypatch.setattr(rendering, "corrected", first_passes_the_ceiling)
    summary = kavri.process_file(take, tmp_path / "out.wav", CHAIN, loudness=-16)
    result = summary.loudness
    assert len(seen) == 2 and result.passes == 1 and result.trials >= 1
    assert result.limiter_ceiling_db < seen[0].true_peak_db - 0.8  # lowered by the 0.83 dB
    audio = kavri.read(take).audio
    written = kavri.read(tmp_path / "out.wav").audio
    assert np.array_equal(written, kavri.process(audio, RATE, CHAIN + result.specs))
    assert result.lufs == pytest.approx(
        pyloudnorm.Meter(RATE).integrated_loudness(written), abs=0.01
    )
    # A correction that still passes the ceiling has the target planned again by whole
    # passes and written once more, with their bits.
    monkeypatch.setattr(rendering, "planned_again", lambda result, written, again_at: True)
    result = kavri.process_file(take, tmp_path / "out.wav", CHAIN, loudness=-16).loudness
    assert not result.predicted and result.trials == 0
    written = kavri.read(tmp_path / "out.wav").audio
    assert np.array_equal(written, kavri.process(audio, RATE, CHAIN + result.specs))


def test_the_temporary_is_bounded_and_goes_on_every_exit(take, tmp_path, monkeypatch):
    spool_folder = tmp_path / "spool"
    spool_folder.mkdir()
    monkeypatch.setattr("tempfile.tempdir", str(spool_folder))
    stop = kavri.StopFlag()
    with pytest.raises(kavri.Interrupted):
        kavri.process_file(
            take, tmp_path / "out.wav", CHAIN, loudness=-16, stop=stop,
            progress=lambda done, total: stop.set() if done > total // 2 else None,
        )  # fmt: skip
    assert list(spool_folder.iterdir()) == [] and not (tmp_path / "out.wav").exists()
    monkeypatch.setattr(rendering, "SPOOL_DISK_MARGIN", 1 << 62)
    with pytest.raises(kavri.AudioFileError, match="point TMPDIR at a folder with more room"):
        kavri.process_file(take, tmp_path / "out.wav", CHAIN, loudness=-16)
    assert list(spool_folder.iterdir()) == [] and not (tmp_path / "out.wav").exists()


@pytest.mark.slow
@pytest.mark.parametrize(("name", "options"), [("out.mp3", {"bitrate": 128}), ("out.ogg", {})])
def test_lossy_output_keeps_the_ceiling_as_decoded(take, tmp_path, name, options):
    summary = kavri.process_file(
        take, tmp_path / name, CHAIN, loudness=-16, peak_ceiling=-1.5, measure=True, **options
    )
    decoded, rate = sf.read(tmp_path / name, dtype="float64")
    # Checked by other meters than Kavri's: scipy's 16x polyphase and pyloudnorm.
    assert independent_true_peak_db(decoded) <= -1.5 + 0.05
    assert abs(pyloudnorm.Meter(rate).integrated_loudness(decoded) + 16) <= 0.5
    assert summary.decoded and summary.measurement.true_peak_db <= -1.5
    line, problems = output_report(summary)
    assert f"{name} (as decoded):" in line and "true peak -1." in line and problems == []


def test_a_lossy_output_reports_the_gains_it_was_written_with(tmp_path):
    # A float pass needed a trim after the limiter, which the encodings (a gain and a
    # limiter) left out: "then -0.14 dB" was reported of an Ogg file written without it.
    noise = 0.1 * np.random.default_rng(0).standard_normal((5 * 48_000, 2))
    sf.write(tmp_path / "noise.wav", noise.astype(np.float32), 48_000, "FLOAT")
    for name in ("out.wav", "out.ogg"):
        summary = kavri.process_file(tmp_path / "noise.wav", tmp_path / name, [], loudness=-5)
        result = summary.loudness
        trims = [spec["db"] for spec in result.specs[2:]]
        assert trims == ([round(result.trim_db, 4)] if result.trim_db else []), name
        assert ("then" in output_report(summary)[0]) == bool(trims)


def test_what_the_trial_cannot_see_is_planned_by_whole_passes(tmp_path):
    # Square-wave bursts in noise: their peaks between samples pass the ceiling outside the
    # trial's excerpts, and grow as a lower limiter clips them. Two corrections and a trim
    # left -10.4 LUFS at -11.1; whole passes find a gain up behind a lower limiter.
    rng = np.random.default_rng(5)
    t = np.arange(6 * RATE) / RATE
    audio = 0.05 * rng.standard_normal((6 * RATE, 2))
    square = 0.5 * np.sign(np.sin(2 * np.pi * 3000 * t))
    for k in range(6):
        burst = slice(k * RATE + RATE // 3, k * RATE + RATE // 3 + RATE // 20)
        audio[burst] += square[burst, None]
    sf.write(tmp_path / "bursts.wav", np.clip(audio, -1, 1).astype(np.float32), RATE, "FLOAT")
    summary = kavri.process_file(tmp_path / "bursts.wav", tmp_path / "out.wav", [], loudness=-10.4)
    written = kavri.measure_file(tmp_path / "out.wav")
    assert abs(written.integrated_lufs + 10.4) <= 0.5 and written.true_peak_db <= -1.0
    assert summary.warnings == ()
    # Lossy: the gain stays within 20 dB of what the peaks allow, as the passes keep it (it
    # climbed to +34 dB as the limiter came down).
    clicks = 0.03 * rng.standard_normal((6 * RATE, 2))
    clicks[RATE // 4 :: RATE // 2] = 0.9
    sf.write(tmp_path / "clicks.wav", clicks.astype(np.float32), RATE, "FLOAT")
    summary = kavri.process_file(tmp_path / "clicks.wav", tmp_path / "o.mp3", [], loudness=-4)
    assert summary.loudness.gain_db <= -1.0 - 20 * np.log10(0.9) + 20.0 + 0.01
    assert any("missed by" in note for note in summary.warnings)


@pytest.mark.slow
def test_clamped_values_and_loud_float_output_are_warned_about(take, tmp_path):
    done = subprocess.run(
        [
            sys.executable, "-m", "kavri", "process", "take.wav", "out.wav",
            "--effect", "compressor:ratio=0.5", "--effect", "lowpass:frequency_hz=30000",
            "--effect", "delay:feedback=1.5", "--effect", "gain:db=60",
        ],
        cwd=tmp_path, capture_output=True, text=True,
    )  # fmt: skip
    assert done.returncode == 0
    lines = [line for line in done.stderr.splitlines() if line.startswith("kavri: warning:")]
    assert lines[:3] == [
        "kavri: warning: effect 1 ('compressor'): ratio = 0.5 is outside its range (≥ 1); "
        "the engine uses 1",
        "kavri: warning: effect 2 ('lowpass'): frequency_hz = 30000 is outside its range "
        "(5 … 0.499 × rate = 23952 Hz at 48000 Hz); the engine uses 23952 Hz",
        "kavri: warning: effect 3 ('delay'): feedback = 1.5 is outside its range (-1 … 1); "
        "the engine uses 1",
    ]
    assert "above full scale" in lines[3] and len(lines) == 4


def test_values_within_range_are_not_warned_about():
    audio = speech(0.5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kavri.process(
            audio,
            RATE,
            [{"type": "lowpass", "frequency_hz": 23952}, {"type": "delay", "feedback": 1.0}],
        )
    with pytest.warns(kavri.ClampWarning, match="'noise_gate'.*attack_ms = 0 .*uses 0.001 ms"):
        kavri.process(audio, RATE, [{"type": "noise_gate", "attack_ms": 0}])


def test_levels_say_they_leave_out_infinite_samples(tmp_path):
    # A file of infinities read as silent (peak -inf dBFS) with nothing to say why. Written
    # as 16-bit it is at full scale, and the report reads the file's samples: it had given
    # the figures of the floats handed to the writer (+14 dBFS of a 16-bit file, clipped).
    audio = np.full((4800, 1), np.inf, np.float32)
    audio[::2] = -np.inf
    sf.write(tmp_path / "inf.wav", audio, 48_000, subtype="FLOAT")
    summary = kavri.process_file(tmp_path / "inf.wav", tmp_path / "o.wav", [], measure=True)
    assert "peak -inf dBFS of the finite samples" in output_report(summary)[0]
    audio[:10] = 5.0
    sf.write(tmp_path / "inf.wav", audio, 48_000, subtype="FLOAT")
    summary = kavri.process_file(
        tmp_path / "inf.wav", tmp_path / "o.wav", [], subtype="pcm16", measure=True
    )
    line, notes = output_report(summary)
    assert "peak 0.0 dBFS," in line and "finite" not in line
    assert summary.measurement.sample_peak == [1.0]  # -inf written as -32768
    assert notes == [
        "10 samples clipped at the 16-bit full scale",
        "4790 NaN or infinite samples written as 0 (NaN) or at full scale",
    ]
    text = meter_text("inf.wav", kavri.measure_file(tmp_path / "inf.wav"))
    assert text.endswith("(levels and loudness leave out the NaN and infinite samples)")
