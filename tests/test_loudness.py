"""Loudness and level measurement against pyloudnorm, ffmpeg and known signals (true peak
against a 16x oversampled reference on the EBU test signals), loudness targets in Python
checked by an independent meter, and the scaling of integer audio."""

from __future__ import annotations

import copy
import math
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyloudnorm
import pytest
import soundfile as sf
from scipy import signal

import kavri
from kavri import loudness
from kavri.api import LoudnessWarning, process_to_loudness
from kavri.loudness import (
    LevelMeter,
    LoudnessMeter,
    LoudnessResult,
    LoudnessTarget,
    TruePeakMeter,
    measure,
)

RATE = 48_000


def speech_like(
    seconds: float = 8.0,
    level: float = 0.05,
    rate: int = RATE,
    seed: int = 5,
    plosives: bool = True,
) -> np.ndarray:
    """Syllables of band-limited noise (about four a second) with pauses, and a few sharp
    plosive peaks: loudness far below the peaks, as in speech."""
    rng = np.random.default_rng(seed)
    frames = int(seconds * rate)
    noise = signal.lfilter(
        *signal.butter(2, [150, 4000], "bandpass", fs=rate), rng.standard_normal(frames)
    )
    t = np.arange(frames) / rate
    syllables = np.maximum(np.sin(2 * np.pi * 4.0 * t), 0.0) ** 2
    phrases = (np.sin(2 * np.pi * 0.3 * t) > -0.5).astype(float)
    voice = level * noise * syllables * phrases
    for start in rng.integers(0, frames - 50, 12 if plosives else 0):
        voice[start : start + 20] += 6 * level * np.hanning(20)
    return voice.astype(np.float32)


def true_peak_db(audio: np.ndarray) -> float:
    """True peak by polyphase resampling (scipy), independent of the meter's own filter."""
    upsampled = signal.resample_poly(np.asarray(audio, np.float64), 8, 1, axis=0)
    return 20 * math.log10(max(np.max(np.abs(upsampled)), np.max(np.abs(audio))))


# --- meters ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("rate", "channels", "seconds", "dtype"),
    [
        (48_000, 2, 7.3, np.float64),
        (48_000, 2, 7.3, np.float32),
        (44_100, 1, 2.05, np.float32),
        (22_050, 5, 1.0, np.float64),
        (48_000, 2, 0.45, np.float32),
        (32_000.0, 1, 3.0, np.float64),
    ],
)
def test_chunked_loudness_agrees_with_pyloudnorm(rate, channels, seconds, dtype):
    rng = np.random.default_rng(channels)
    frames = int(seconds * rate)
    audio = rng.standard_normal((frames, channels)) * np.linspace(0.01, 0.4, frames)[:, None]
    audio[frames // 3 : frames // 2] *= 1e-3  # a quiet stretch the gates must drop
    audio = audio.astype(dtype)
    expected = pyloudnorm.Meter(rate).integrated_loudness(audio.astype(np.float64))
    for chunk in (frames, 4800, 777):
        meter = LoudnessMeter(rate, channels)
        for start in range(0, frames, chunk):
            meter.add(audio[start : start + chunk])
        assert meter.integrated() == pytest.approx(expected, abs=0.01), chunk


def test_kept_filter_designs_are_the_libraries_own():
    # The meters keep the common rates' K-weighting and the true peak's half-band taps, so
    # that a command need not import pyloudnorm and SciPy: they must still be what those
    # libraries design (scripts/filter_designs.py writes them again if not).
    from kavri._filter_designs import HALF_BAND_PHASES, KWEIGHTING

    assert {48_000.0, 44_100.0, 16_000.0} <= KWEIGHTING.keys()
    for rate in KWEIGHTING:
        kept = loudness._kweighting(rate)
        for (b, a, gain), (wb, wa, wgain) in zip(
            kept, loudness.kweighting_designed(rate), strict=True
        ):
            assert b.tobytes() == wb.tobytes() and a.tobytes() == wa.tobytes() and gain == wgain
    assert len(HALF_BAND_PHASES) == len(loudness.HALF_BAND_TAPS)
    for taps in loudness.HALF_BAND_TAPS:
        assert loudness._half_band_phase(taps) == loudness.half_band_designed(taps)
    # A rate not kept is designed when first used, with the same bits as the library's.
    odd = loudness._kweighting(12_345.0)
    assert [b.tobytes() for b, _, _ in odd] == [
        np.asarray(stage.b, np.float64).tobytes()
        for stage in pyloudnorm.Meter(12_345.0)._filters.values()
    ]


def test_silence_and_signals_shorter_than_a_block_have_no_loudness():
    reference = pyloudnorm.Meter(RATE)
    silence = np.zeros((2 * RATE, 2))
    assert reference.integrated_loudness(silence) == -math.inf
    assert measure(silence, RATE).integrated_lufs == -math.inf
    # Below -70 LUFS everything is gated away.
    hum = 1e-5 * np.sin(2 * np.pi * 100 * np.arange(2 * RATE) / RATE)
    assert reference.integrated_loudness(hum) == -math.inf == measure(hum, RATE).integrated_lufs
    # pyloudnorm refuses a signal shorter than one 400 ms block; it has no loudness.
    short = np.random.default_rng(1).standard_normal((int(0.39 * RATE), 2)) * 0.1
    with pytest.raises(ValueError, match="greater than the block size"):
        reference.integrated_loudness(short)
    measured = measure(short, RATE)
    assert measured.integrated_lufs == -math.inf and measured.max_momentary_lufs == -math.inf
    assert measured.sample_peak_db == pytest.approx(20 * math.log10(np.abs(short).max()))
    from kavri.report import meter_text

    # It read "loudness        no integrated loudness (...)".
    assert "  loudness        none (too short, silent" in meter_text("short.wav", measured)


@pytest.mark.slow
def test_the_native_meter_has_the_same_bits_however_the_signal_is_cut():
    rng = np.random.default_rng(4)
    audio = speech_like(seconds=5.3, level=0.1)[:, None] * np.array([1.0, -0.7])
    audio[1000:1003] = [[np.nan, np.inf], [-np.inf, 0.5], [2.0, np.nan]]
    for data in (audio.astype(np.float32), audio):
        figures = []
        for chunk in (len(data), 1, 777, 4096 * 2 + 3, 65_536, int(rng.integers(2, 9000))):
            meter = LevelMeter(RATE, 2)
            for start in range(0, len(data), chunk):
                meter.add(data[start : start + chunk])
            native = meter.loudness.native
            figures.append(
                (
                    native.blocks()[1],
                    *native.segments()[1:],
                    np.array(native.sample_peaks() + native.squares() + native.true_peaks()),
                    np.array(native.counts()),
                )
            )
        for other in figures[1:]:
            for a, b in zip(figures[0], other, strict=True):
                assert np.array_equal(a, b)
        assert tuple(figures[0][-1]) == (3, 2, 2)  # clipped (2.0 and the infinities), NaN, inf


def test_peaks_rms_and_faults_of_known_signals():
    # A sine at a quarter of the rate, sampled 45 degrees off its crests: the samples peak at
    # -3.01 dBFS, the wave itself at 0 dBTP.
    t = np.arange(RATE)
    quarter = np.sin(np.pi / 2 * t + np.pi / 4)
    measured = measure(np.stack([quarter, 0.5 * quarter], 1), RATE)
    assert measured.sample_peak_db == pytest.approx(-3.01, abs=0.01)
    assert measured.true_peak_db == pytest.approx(0.0, abs=0.1)
    assert 20 * np.log10(measured.rms[0]) == pytest.approx(-3.01, abs=0.01)
    assert measured.clipped == 0 and measured.nonfinite == 0

    meter = LevelMeter(RATE, 1)
    meter.add(np.array([0.5, np.nan, 1.0, -1.5, np.inf, -np.inf, 0.0]))
    result = meter.result()
    assert (result.nan, result.inf, result.clipped) == (1, 2, 4)
    assert result.sample_peak == [1.5] and not math.isfinite(result.integrated_lufs)


# --- loudness targets -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("plosives", "target", "limited"),
    [
        (False, -20.0, False),  # even speech: one gain reaches the target below the ceiling
        (True, -16.0, True),  # the gain would push the plosives over -1 dBTP: limiter
    ],
)
def test_loudness_target_is_reached_under_the_ceiling(plosives, target, limited):
    speech = speech_like(level=0.02, plosives=plosives)
    out, result = process_to_loudness(speech, RATE, "vocal", target, peak_ceiling=-1.0)
    measured = pyloudnorm.Meter(RATE).integrated_loudness(out.astype(np.float64))
    assert abs(measured - target) <= 0.5
    assert true_peak_db(out) <= -1.0 + 0.1
    assert (result.limiter_ceiling_db is not None) == limited
    assert [s["type"] for s in result.specs] == ["gain", "limiter"][: 1 + limited]
    assert np.array_equal(
        out, kavri.process(speech, RATE, kavri.load_preset("vocal") + result.specs)
    )
    assert np.array_equal(out, kavri.process(speech, RATE, "vocal", loudness=target))


def test_peaks_between_samples_that_the_limiter_leaves_are_trimmed_after_it():
    # Bursts of full-band noise at 22.05 kHz: under the limiter their true peaks stay above
    # the ceiling however low it is set. Every pass overshot, and the gain alone at the
    # ceiling was taken: -16 LUFS came out at -28.2.
    rate = 22_050
    rng = np.random.default_rng(4)
    frames = rate * 6
    envelope = np.sin(np.arange(frames) / rate * 2 * np.pi * 1.5) ** 8
    bursts = (0.05 * rng.standard_normal(frames) * envelope).astype(np.float32)
    bursts[::997] *= 8
    out, result = process_to_loudness(bursts, rate, [], -16.0, peak_ceiling=-1.0)
    assert [s["type"] for s in result.specs][:2] == ["gain", "limiter"]
    reached = measure(out, rate)
    assert abs(reached.integrated_lufs + 16.0) <= 0.5 and reached.true_peak_db <= -1.0 + 0.01
    with pytest.warns(LoudnessWarning, match="missed"):
        louder, _ = process_to_loudness(bursts, rate, [], -12.0, peak_ceiling=-1.0)
    assert measure(louder, rate).integrated_lufs > reached.integrated_lufs
    # A peak a hair over the ceiling is not shown as equal to it.
    assert loudness.ceiling_passed(-0.9997, -1.0).startswith("true peak -0.9997 dBTP is above")
    # Nor a float output's peak a hair above full scale as at it ("+0.0 dBFS, above").
    assert [loudness.above(db, 0.0, 1) for db in (0.04, 0.0004, 6.02)] == [
        "+0.04",
        "+0.0004",
        "+6.0",
    ]


def test_a_target_the_limiter_can_reach_is_reached_however_far_peaks_overshoot():
    # Plucked triads with tremolo: bright attacks whose peaks between samples pass the
    # ceiling by up to 3 dB under the limiter. The passes went on lowering the limiter at
    # one gain, and ran out: -12 LUFS came out at -13.1 and -11 at -12.6, though -9.1 was
    # reachable. A target beyond reach gives the loudest seen, not something quieter.
    t = np.arange(RATE * 8) / RATE
    chord = np.zeros_like(t)
    for root in (130.8, 164.8, 196.0):
        for k in range(1, 30):
            chord += np.sin(2 * np.pi * root * k * t) * np.exp(-(t % 0.5) * (3 + k)) / k
    chord *= 1 + 0.6 * np.sin(2 * np.pi * 3 * t)
    chord = (0.05 * chord / np.abs(chord).max()).astype(np.float32)
    reached = []
    for target in (-12.0, -10.0):
        out, _ = process_to_loudness(chord, RATE, [], target, peak_ceiling=-1.0)
        reached.append(measure(out, RATE))
        assert abs(reached[-1].integrated_lufs - target) <= 0.5
        assert reached[-1].true_peak_db <= -1.0 + 0.01
    with pytest.warns(LoudnessWarning, match="missed"):
        beyond, _ = process_to_loudness(chord, RATE, [], -5.0, peak_ceiling=-1.0)
    assert measure(beyond, RATE).integrated_lufs > reached[-1].integrated_lufs
    # A tone in noise whose peaks between samples pass the ceiling by 1.1 dB: the gain raised
    # for the trimmed candidate stayed once the lower limiter held them, and -8 LUFS came
    # out at -7.0.
    rng = np.random.default_rng(0)
    tone = 0.3 * np.sin(2 * np.pi * 440 * np.arange(RATE * 3) / RATE)[:, None]
    noisy = (tone + 0.05 * rng.standard_normal((RATE * 3, 2))).astype(np.float32)
    out, _ = process_to_loudness(noisy, RATE, "vocal", -8.0)
    assert abs(measure(out, RATE).integrated_lufs + 8.0) <= 0.5
    # Clicks over faint noise: behind the limiter the loudness moves a tenth of the gain,
    # and steps of the miss one for one ran out of passes 1.3 LU short of -31; and it
    # steepens, so steps along the last slope overshot, and -33.5 came out at -34.5.
    clicks = 0.002 * np.random.default_rng(1).standard_normal(3 * RATE)
    clicks[:: RATE // 10] = 0.9
    # A burst at a quarter of the rate whose true peak is 3 dB over its samples, outside
    # the trial's excerpts: the corrections lowered the limiter from its own ceiling, still
    # above every sample, and a trim at the last left -11 at -12.
    t = np.arange(6 * RATE) / RATE
    burst = 0.1 * np.sin(2 * np.pi * 220 * t)
    burst[3 * RATE : 3 * RATE + RATE // 5] = 0.3 * np.sin(
        np.pi / 2 * np.arange(RATE // 5) + np.pi / 4
    )
    for audio, target in ((clicks, -33.5), (clicks, -31.0), (burst, -11.0)):
        out, result = process_to_loudness(audio.astype(np.float32), RATE, [], target)
        assert abs(measure(out, RATE).integrated_lufs - target) <= 0.5, result
        assert measure(out, RATE).true_peak_db <= -1.0


def test_the_limiter_is_tried_on_excerpts_and_predicts_what_a_pass_measures(monkeypatch):
    voice = speech_like(seconds=40.0, level=0.02)  # a dozen plosives reach the limiter
    chained = np.stack([voice, np.roll(voice, 37)], 1)
    first = measure(chained, RATE)
    gain = -16.0 - first.integrated_lufs
    specs = [loudness.gain_spec(gain), loudness.limiter_spec(-1.05)]
    actual = measure(kavri.process(chained, RATE, specs), RATE)
    assert actual.true_peak_db < first.true_peak_db + gain - 3  # the limiter acts

    def trial(sample_seconds: float) -> tuple[loudness.Measurement, int]:
        monkeypatch.setattr(loudness, "TRIAL_SAMPLE_SECONDS", sample_seconds)
        tried = loudness.LimiterTrial(first, lambda start, stop: [chained[start:stop]])
        predicted = tried(specs)
        assert predicted is not None and predicted.predicted
        return predicted, tried.frames_run

    # Every excerpt metered in full, and the loudest alone with the others' peaks.
    for predicted, run in (trial(1e9), trial(0.5)):
        assert run < 0.4 * len(chained)
        assert predicted.integrated_lufs == pytest.approx(actual.integrated_lufs, abs=0.01)
        assert predicted.true_peak_db == pytest.approx(actual.true_peak_db, abs=0.001)
        assert predicted.sample_peak_db == pytest.approx(actual.sample_peak_db, abs=0.001)


@pytest.mark.slow
@pytest.mark.parametrize("dense", [False, True])
def test_targets_through_the_trial_and_through_passes(dense):
    # A dozen plosives reach the limiter; without them, at a louder target, every syllable
    # does, and a trial would cover most of the signal: whole passes measure it.
    voice = speech_like(seconds=40.0, level=0.02, plosives=not dense)
    voice = np.stack([voice, np.roll(voice, 37)], 1)
    target = -14.0 if dense else -16.0
    out, result = process_to_loudness(voice, RATE, [], target, peak_ceiling=-1.0)
    assert (result.trials > 0, result.passes > 0) == ((False, True) if dense else (True, False))
    measured = pyloudnorm.Meter(RATE).integrated_loudness(out.astype(np.float64))
    assert abs(measured - target) <= 0.5 and abs(measured - result.lufs) < 0.01
    assert true_peak_db(out) <= -1.0 + 0.1 and result.true_peak_db <= -1.0
    assert result.limiter_ceiling_db is not None


def test_audio_written_off_the_prediction_is_corrected():
    target = LoudnessTarget(-16.0, -1.0)
    planned = LoudnessResult(target, -20.0, 4.0, -1.05, -16.0, -1.01, 0, [], 2, predicted=True)

    def written(lufs: float, true_peak_db: float) -> loudness.Measurement:
        peak = 10 ** (true_peak_db / 20)
        return loudness.Measurement(RATE, 1, RATE * 60, lufs, [peak], [peak], [0.1], 0, 0, 0)

    # On target (or as predicted) and under the ceiling: it stands.
    assert loudness.corrected(planned, written(-16.05, -1.02)) is None
    # A peak between samples over the ceiling: the limiter's ceiling comes down by as much.
    again = loudness.corrected(planned, written(-16.02, -0.7))
    assert again is not None and again.gain_db == 4.0
    assert again.limiter_ceiling_db == pytest.approx(-1.05 - 0.3 - 0.05)
    assert [s["type"] for s in again.specs] == ["gain", "limiter"] and again.passes == 1
    # Off the target and off the prediction: the gain moves by the miss.
    again = loudness.corrected(planned, written(-16.3, -1.2))
    assert again is not None and again.gain_db == pytest.approx(4.3)
    # A correction that still passes the ceiling is planned again by whole passes.
    assert not loudness.planned_again(planned, written(-16.02, -0.7), 1)
    assert loudness.planned_again(planned, written(-16.02, -0.7), 2)
    assert not loudness.planned_again(planned, written(-16.02, -1.2), 2)
    # A plan measured by whole passes stands as written.
    planned.predicted = False
    assert loudness.corrected(planned, written(-16.3, -0.5)) is None


def test_a_ceiling_is_held_where_the_trial_mispredicted_and_a_pass_is_told(tmp_path):
    # Clipped pink noise (half a second, 16-bit) whose first write passed the ceiling the
    # trial predicted it would keep by 2 dB; two more writes with the limiter lower still
    # passed it (-0.74 dBTP), and only the command line said so.
    data = Path(__file__).parent / "data" / "overshoot.flac"
    audio = np.repeat(kavri.read(data).audio, 2, axis=1)
    out, result = process_to_loudness(audio, 48_000, "vocal", -16.0)
    assert result.passes >= 2 and result.reached and result.ceiling_held
    assert true_peak_db(out) <= -1.0
    kavri.write(tmp_path / "in.wav", audio, 48_000, "pcm16")
    summary = kavri.process_file(tmp_path / "in.wav", tmp_path / "o.wav", "vocal", loudness=-16)
    assert summary.warnings == () and summary.loudness.true_peak_db <= -1.0
    # A ceiling that is passed is told by the call, as a missed target is.
    passed = LoudnessResult(LoudnessTarget(-16.0), -20.0, 4.0, None, -16.0, -0.4, 1)
    assert passed.problem(" after encoding") == (
        "true peak -0.40 dBTP after encoding is above the -1 dBTP ceiling"
    )
    # A miss past the promised 0.5 LU reads past it ("missed by 0.5 LU" read as reached).
    short = LoudnessResult(LoudnessTarget(-29.2), -40.0, 10.0, None, -29.719, -2.0, 1)
    assert "missed by 0.52 LU" in short.problem()


def test_unreachable_targets_warn_with_the_miss(tmp_path):
    speech = speech_like(seconds=3.0)
    with pytest.warns(LoudnessWarning, match=r"loudness target -5 LUFS missed by \d+\.\d LU"):
        out, result = process_to_loudness(speech, RATE, [], -5.0, peak_ceiling=-30.0)
    assert not result.reached and result.miss_lu < -0.5
    assert np.max(np.abs(out)) <= 10 ** (-30 / 20)
    # From a file, the summary's warnings say so too (they said nothing).
    kavri.write(tmp_path / "speech.wav", speech, RATE)
    summary = kavri.process_file(
        tmp_path / "speech.wav", tmp_path / "o.wav", [], loudness=-5.0, peak_ceiling=-30.0
    )
    assert [w for w in summary.warnings if "missed by" in w] == [result.problem()]
    with pytest.warns(LoudnessWarning, match="silent or shorter than 0.4 s"):
        kavri.process(np.zeros(RATE, np.float32), RATE, [], loudness=-16)
    # With no loudness to aim at, the ceiling still holds (it had been dropped).
    with pytest.warns(LoudnessWarning, match="silent or shorter than 0.4 s"):
        short = kavri.process(speech[: RATE // 5], RATE, [], loudness=-16, peak_ceiling=-30.0)
    assert true_peak_db(short) <= -30.0
    with pytest.raises(ValueError, match="loudness target must be between -70 and 0"):
        kavri.process(speech, RATE, [], loudness=3)
    # Samples near the largest float overflow the true-peak meter: the gain worked out was
    # -inf (a bare "must be a finite number" about a gain), and a peak ceiling let them
    # through untouched.
    huge = (np.float32(3e38) * np.sin(np.arange(RATE) / RATE * 2 * np.pi * 440)).astype(np.float32)
    ceiling = {"type": "normalize", "mode": "true", "peak_db": -1.0, "when": "above"}
    for attempt in (
        lambda: kavri.process(huge, RATE, [], loudness=-16),
        lambda: kavri.process(huge, RATE, [ceiling]),
    ):
        with pytest.raises(ValueError, match="true peak passes the largest single-precision"):
            attempt()
    # A ceiling without a target went unheeded: +30 dBFS came out at +30 dBFS.
    with pytest.raises(ValueError, match="peak_ceiling applies to a loudness target"):
        kavri.process(30 * speech, RATE, [], peak_ceiling=-1.0)
    with pytest.raises(kavri.SettingError, match="peak_ceiling applies to a loudness target"):
        kavri.RenderSettings(peak_ceiling=-1.0)


# --- integer audio and sample rates -----------------------------------------------------------


def test_integer_pcm_is_scaled_by_its_full_scale():
    steps = np.array([-32768, -16384, 0, 16384, 32767], np.int16)
    expected = steps.astype(np.float32) / 32768
    chain = [{"type": "gain", "db": 0}]
    assert np.array_equal(kavri.process(steps, RATE, chain), expected)
    assert np.array_equal(kavri.process(steps.astype(np.int32) << 16, RATE, chain), expected)
    assert np.array_equal(
        kavri.process((steps >> 8).astype(np.int8), RATE, chain),
        (steps >> 8).astype(np.float32) / 128,
    )
    assert np.array_equal(
        kavri.process(np.array([0, 64, 128, 255], np.uint8), RATE, chain),
        np.array([-1.0, -0.5, 0.0, 127 / 128], np.float32),
    )
    with pytest.raises(TypeError, match="int64 has no known full scale"):
        kavri.process(steps.astype(np.int64), RATE, chain)
    # A plain list holds sample values as written.
    assert np.array_equal(kavri.process([0, 1, -2], RATE, chain), np.array([0, 1, -2], np.float32))


def test_whole_float_sample_rates_are_accepted():
    audio = speech_like(seconds=0.2)
    chain = [{"type": "lowpass", "frequency_hz": 1000}]
    assert np.array_equal(kavri.process(audio, 48_000.0, chain), kavri.process(audio, RATE, chain))
    assert np.array_equal(
        kavri.process(audio, np.float64(48_000), chain), kavri.process(audio, RATE, chain)
    )
    for bad in (48_000.5, float("nan"), "48000"):
        with pytest.raises(TypeError, match="whole number of hertz"):
            kavri.process(audio, bad, chain)


@pytest.mark.parametrize(
    "rate, first_frame, message",
    [
        (1e20, 0, "up to 2147483647 Hz"),
        (48_000, 2**62, "first frame"),
        (48_000.5, 2**64 - 1, "first frame"),
    ],
)
def test_a_meter_refuses_bounds_past_64_bits(rate, first_frame, message):
    # Their first block's bounds overflowed, and the search for it spun for good, holding
    # the interpreter lock past Ctrl-C.
    with pytest.raises(ValueError, match=message):
        LoudnessMeter(rate, 1, first_frame=first_frame)
    if not first_frame:
        with pytest.raises(ValueError, match=message):
            kavri.measure(np.zeros(100, np.float32), rate)


@pytest.mark.parametrize("target", [-65.0, -45.0, -23.0])
def test_quiet_targets_are_reached_as_measured(target):
    # Loud phrases, then quieter ones within the relative gate: at a quiet target the quiet
    # blocks fall under the -70 LUFS gate, which raises the loudness of what is left.
    voice = speech_like(seconds=12.0, level=0.1, plosives=False)
    voice[len(voice) // 3 :] *= 0.4
    out, result = process_to_loudness(np.stack([voice, voice], axis=1), RATE, [], target)
    measured = pyloudnorm.Meter(RATE).integrated_loudness(out.astype(np.float64))
    assert abs(measured - result.lufs) < 0.01  # what is reported is what was measured
    assert abs(measured - target) <= 0.5 and result.reached


def test_loudness_below_its_rates_is_not_measured_and_says_so():
    rate = 2_000
    t = np.arange(5 * rate) / rate
    tone = (10 ** (-10 / 20) * np.sin(2 * np.pi * 250 * t)).astype(np.float32)
    measured = measure(tone, rate)  # no warnings from an unstable filter (they are errors here)
    assert math.isnan(measured.integrated_lufs) and measured.as_dict()["loudness_measured"] is False
    assert measured.sample_peak_db == pytest.approx(-10.0, abs=0.01)
    with pytest.warns(LoudnessWarning, match="not measured at sample rates below 8000 Hz"):
        out, result = process_to_loudness(tone, rate, [], -16.0)
    assert not result.specs and np.array_equal(out, tone)
    from kavri.report import meter_text

    assert "not measured (loudness needs a sample rate of 8000 Hz or more)" in meter_text(
        "tone.wav", measured
    )


# --- true peak, loudness range and the loudest moments ------------------------------------------


def faded(audio: np.ndarray, frames: int = 2000) -> np.ndarray:
    """The signal with raised-cosine ends, so that neither the meter nor a periodic reference
    sees a step from silence."""
    ramp = 0.5 - 0.5 * np.cos(np.pi * np.arange(frames) / frames)
    out = audio.copy()
    out[:frames] *= ramp
    out[-frames:] *= ramp[::-1]
    return out


def reference_true_peak(audio: np.ndarray) -> float:
    """The peak of the signal oversampled 16 times by FFT: exact band-limited interpolation
    of a signal that is silent at both ends."""
    return float(np.max(np.abs(signal.resample(audio, 16 * len(audio)))))


@pytest.mark.parametrize("rate", [48_000, 44_100])
def test_true_peak_of_inter_sample_test_signals_against_a_16x_reference(rate):
    # The true-peak test signals of EBU Tech 3341: sines at a quarter of the rate at phases
    # that put the samples off the crests (-6 dBTP, and +3 dBTP from samples at full scale),
    # and bright sines near the top of the band, where a short interpolation filter reads low.
    t = np.arange(rate) / rate
    cases = [(0.5, rate / 4, phase) for phase in (0.0, 45.0, 60.0, 67.5)]
    cases += [(1.41, rate / 4, 45.0), (0.5, 15_000, 30.0), (0.5, 19_000, 10.0), (0.5, 997, 60.0)]
    for amplitude, frequency, phase in cases:
        tone = faded(amplitude * np.sin(2 * np.pi * round(frequency) * t + np.deg2rad(phase)))
        measured = measure(tone, rate).true_peak_db
        expected = 20 * math.log10(reference_true_peak(tone))
        assert measured == pytest.approx(expected, abs=0.05), (amplitude, frequency, phase)
    # The same bits however the signal is cut.
    noise = np.random.default_rng(2).standard_normal((rate, 2)) * 0.3
    whole = measure(noise, rate).true_peak
    for chunk in (1, 777, 4096 * 3 + 5):
        assert measure(noise, rate, chunk_frames=chunk).true_peak == whole


def swelling_noise(seconds: float, rate: int = RATE) -> np.ndarray:
    """Speech-band noise whose level swells over 20 dB, slowly and quickly: a wide range."""
    rng = np.random.default_rng(3)
    frames = int(seconds * rate)
    noise = signal.lfilter(
        *signal.butter(2, [200, 6000], "bandpass", fs=rate), rng.standard_normal((frames, 2)), 0
    )
    t = np.arange(frames) / rate
    level = -12 + 10 * np.sin(2 * np.pi * t / 17) + 4 * np.sin(2 * np.pi * t / 3.1)
    return (0.3 * noise * 10 ** (level / 20)[:, None]).astype(np.float32)


def test_loudness_range_and_loudest_moments_agree_with_pyloudnorm():
    audio = swelling_noise(40.0)
    measured = measure(audio, RATE, chunk_frames=3333)
    reference = pyloudnorm.Meter(RATE)
    assert measured.loudness_range == pytest.approx(
        reference.loudness_range(audio.astype(np.float64)), abs=0.15
    )
    # pyloudnorm keeps the loudness of each 400 ms block (the momentary loudness), and with
    # 3 s blocks every 100 ms gives the short-term loudness.
    reference.integrated_loudness(audio.astype(np.float64))
    assert measured.max_momentary_lufs == pytest.approx(max(reference.blockwise_loudness), abs=0.01)
    windows = pyloudnorm.Meter(RATE, block_size=3.0, overlap=1 - 0.1 / 3.0)
    windows.integrated_loudness(audio.astype(np.float64))
    assert measured.max_short_term_lufs == pytest.approx(max(windows.blockwise_loudness), abs=0.02)
    keys = measured.as_dict()
    assert keys["loudness_range_lu"] == round(measured.loudness_range, 3)
    assert len(keys["rms_dbfs_per_channel"]) == 2
    # Under 3 s there is no short-term loudness; silence has no range.
    short = measure(audio[: 2 * RATE], RATE)
    assert math.isnan(short.loudness_range) and short.max_short_term_lufs == -math.inf
    assert short.as_dict()["max_short_term_lufs"] is None
    assert measure(np.zeros((4 * RATE, 2)), RATE).loudness_range == 0.0


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_meter_agrees_with_ffmpegs_ebur128(tmp_path):
    """ffmpeg's ebur128 filter as a second opinion, on a 48 kHz file: integrated loudness,
    loudness range, the loudest momentary and short-term loudness, and true peak (ffmpeg
    oversamples four times without refining, so it may read lower, never higher)."""
    audio = swelling_noise(30.0)
    path = tmp_path / "swell.wav"
    sf.write(path, audio, RATE, subtype="FLOAT")
    meta = tmp_path / "meta.txt"
    done = subprocess.run(
        [
            "ffmpeg", "-nostats", "-hide_banner", "-i", str(path), "-af",
            f"asetnsamples=n={RATE // 10},ebur128=peak=true:metadata=1,"
            f"ametadata=mode=print:file={meta}",
            "-f", "null", "-",
        ],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    summary = done.stderr[done.stderr.rindex("Summary:") :]

    def figure(name: str) -> float:
        return float(re.search(rf"{name}:\s+(-?[\d.]+)", summary).group(1))

    text = meta.read_text()
    momentary = [float(v) for v in re.findall(r"lavfi\.r128\.M=(-?[\d.]+)", text)]
    short_term = [float(v) for v in re.findall(r"lavfi\.r128\.S=(-?[\d.]+)", text)]
    measured = kavri.measure_file(path)
    assert measured.integrated_lufs == pytest.approx(figure("I"), abs=0.1)
    assert measured.loudness_range == pytest.approx(figure("LRA"), abs=0.15)
    assert measured.max_momentary_lufs == pytest.approx(max(momentary), abs=0.1)
    assert measured.max_short_term_lufs == pytest.approx(max(short_term), abs=0.1)
    assert figure("Peak") - 0.1 <= measured.true_peak_db <= figure("Peak") + 0.3


def test_reading_a_meter_while_another_thread_feeds_it_is_refused_not_a_crash():
    # The readers copied what a running add() was reallocating: malloc aborted the process.
    script = """
import threading, numpy as np
from kavri.loudness import LoudnessMeter, TruePeakMeter
audio = (np.random.default_rng(0).standard_normal((96000, 2)) * 0.1).astype(np.float32)
for meter, read in ((TruePeakMeter(2), lambda m: m.true_peak),
                    (LoudnessMeter(48000, 2), lambda m: (m.short_term(), m.segment_peaks()))):
    feeder = threading.Thread(target=lambda: [meter.add(audio) for _ in range(20)])
    feeder.start()
    while feeder.is_alive():
        try:
            read(meter)
        except RuntimeError as error:
            assert str(error) == "meter is in use by another thread", error
    feeder.join()
    read(meter)
"""
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr


def test_surround_channels_are_weighted_by_their_place_and_the_lfe_left_out():
    # Read in channel order as 1, 1, 1, 1.41, 1.41: a 5.1 file counted its LFE at +1.5 dB
    # and its right surround at 1, and a quad file its two surrounds unlike each other.
    rng = np.random.default_rng(1)
    noise = 0.1 * rng.standard_normal(RATE * 4)
    for channels, lfe, surrounds in ((6, 3, (4, 5)), (4, None, (2, 3))):
        levels = []
        for channel in range(channels):
            audio = np.zeros((noise.size, channels), np.float32)
            audio[:, channel] = noise
            levels.append(measure(audio, RATE).integrated_lufs)
        front = levels[0]
        assert levels[1] == pytest.approx(front, abs=1e-6)
        for channel in surrounds:
            assert levels[channel] == pytest.approx(front + 10 * math.log10(1.41), abs=1e-6)
        if lfe is not None:
            assert levels[lfe] == -math.inf


def test_measure_takes_samples_as_process_does():
    # An int16 array was metered as counts (+76 LUFS for noise at -14), a channels-first
    # one as 48,000 channels, and a complex one without its imaginary part.
    noise = (0.1 * np.random.default_rng(0).standard_normal((RATE, 2))).astype(np.float32)
    counts = np.round(noise * 32768).astype(np.int16)
    assert measure(counts, RATE).integrated_lufs == pytest.approx(
        measure(noise, RATE).integrated_lufs, abs=0.01
    )
    with pytest.raises(ValueError, match="looks channels-first"):
        measure(noise.T.copy(), RATE)
    with pytest.raises(TypeError, match="real numbers"):
        measure(noise.astype(complex), RATE)
    # Clipped as a file of them counts: at 32,767 too (only -32,768 had counted).
    clipped = np.array([[32767, -32768], [32767, 100]], np.int16)
    assert measure(clipped, RATE).clipped == 3
    # The chunked meters took them as their counts too (+80 LUFS), and a copy of one shared
    # its native state with it: feeding the copy fed the original.
    with pytest.raises(TypeError, match="cannot be copied; make another"):
        copy.copy(TruePeakMeter(2))  # its copy had gone on with the original's peaks
    for meter in (LoudnessMeter(RATE, 2), LevelMeter(RATE, 2)):
        meter.add(counts)
        with pytest.raises(TypeError, match="cannot be copied; make another"):
            copy.copy(meter)
        with pytest.raises(TypeError, match="real numbers"):
            meter.add(noise.astype(complex))
    assert meter.result().integrated_lufs == measure(counts, RATE).integrated_lufs


def test_measuring_under_a_memory_limit_never_ends_the_process(tmp_path):
    # The channels were summed by a matrix product, and OpenBLAS, unable to have its own
    # buffer under an address-space limit, ended the whole process with exit status 1: no
    # exception, no finally. Summed channel by channel, the measurement runs, or raises.
    rng = np.random.default_rng(8)
    sf.write(tmp_path / "long.wav", 0.1 * rng.standard_normal((180 * 48_000, 2)), 48_000)
    code = (
        "import resource, sys, kavri\n"
        "kavri.measure_file\n"
        "size = int(next(l for l in open('/proc/self/status') if l.startswith('VmSize'))"
        ".split()[1]) << 10\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20),) * 2)\n"
        "try:\n"
        "    kavri.measure_file(sys.argv[1])\n"
        "except MemoryError:\n"
        "    pass\n"
        "print('still here')\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path / "long.wav")], capture_output=True, text=True
    )
    assert done.stdout == "still here\n", done.stderr


# --- what the meters take ---------------------------------------------------------------------


def test_the_true_peak_meter_takes_chunks_as_the_level_meter_does():
    # It took int16 as counts (a peak of 16,723 for 0.51), complex without its imaginary
    # part, and a 1-D chunk met NumPy's IndexError; channels=np.array(2) met a hash.
    noise = (0.1 * np.random.default_rng(2).standard_normal((RATE, 2))).astype(np.float32)
    counts = np.round(noise * 32768).astype(np.int16)
    level, meter = LevelMeter(RATE, np.array(2)), loudness.TruePeakMeter(np.int64(2))
    level.add(counts)
    meter.add(counts)
    assert meter.sample_peak.tolist() == level.result().sample_peak
    assert meter.true_peak.tolist() == level.result().true_peak
    with pytest.raises(TypeError, match="real numbers"):
        meter.add(noise.astype(complex))
    with pytest.raises(ValueError, match=r"expected \(frames, 2\)"):
        meter.add(noise[:, 0])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: loudness.TruePeakMeter(-1), ValueError, "needs at least one channel, got -1"),
        (lambda: loudness.TruePeakMeter(10**12), MemoryError, "^a true-peak meter of 10+ chan"),
        (lambda: loudness.TruePeakMeter(2, "no"), TypeError, "oversample must be True or False"),
        (lambda: LoudnessMeter(RATE, 2**64), MemoryError, "^a loudness meter of 18446744073"),
        (lambda: LoudnessMeter(RATE, 2, first_frame=-1), ValueError, "first frame .* 2\\^60"),
        (lambda: LoudnessMeter(RATE, 1, first_frame=np.float32(2.5)), TypeError, "first_frame"),
        (lambda: measure([0.0], RATE, true_peak=None), TypeError, "true_peak must be True or"),
        (lambda: LevelMeter(RATE, 1, 0), ValueError, "clip_level must be a finite level above"),
        (lambda: LevelMeter(RATE, 2, layout="FR"), TypeError, "layout must be a sequence of"),
        (lambda: LevelMeter(RATE, 2, layout=["FL"]), ValueError, "a speaker for each of 2 ch"),
        (lambda: measure([0.0], RATE).loudness_with_gain(None), TypeError, "gain_db must be"),
    ],
)
def test_meters_refuse_their_arguments_by_name(call, error, message):
    # The binding's argument error, NumPy's "negative dimensions" or "Unable to allocate
    # 7.28 TiB", an operand's TypeError, or nothing at all: switches were taken by their
    # truth, a clip level of 0 counted every sample, and a layout of another count weighed
    # nothing.
    with pytest.raises(error, match=message):
        call()


def test_a_chunk_is_counted_by_the_memory_guard_before_it_is_copied(monkeypatch):
    # NumPy's own MemoryError had come first (7.28 TiB for 10**12 frames), or the copy was
    # made whatever the process had left.
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(256 << 20))
    view = np.broadcast_to(np.float32(0.0), (10**9, 2))
    for meter in (LoudnessMeter(RATE, 2), LevelMeter(RATE, 2), loudness.TruePeakMeter(2)):
        with pytest.raises(MemoryError, match="^a meter's copy of 2000000000 samples needs"):
            meter.add(view)
    with pytest.raises(MemoryError, match="^a meter's copy of 2000000000 samples needs"):
        measure(np.broadcast_to(np.int16(0), (10**9, 2)), RATE)


def test_loudness_with_a_gain_past_any_float_is_infinite():
    # 1e300 dB met OverflowError, and silence at +inf dB was NaN.
    noise = 0.1 * np.random.default_rng(3).standard_normal((RATE, 6))
    measured, silent = measure(noise, RATE), measure(np.zeros((RATE, 6)), RATE)
    assert measured.loudness_with_gain(1e300) == measured.loudness_with_gain(10**12) == math.inf
    assert measured.loudness_with_gain(-1e300) == silent.loudness_with_gain(math.inf) == -math.inf
    # Powers past the largest float, gated against their infinite mean, had given -inf.
    assert measure(1e150 * noise, RATE).loudness_with_gain(3000.0) == math.inf
