"""Loudness and level measurement against pyloudnorm and known signals, loudness targets in
Python checked by an independent meter, and the scaling of integer audio."""

from __future__ import annotations

import math

import numpy as np
import pyloudnorm
import pytest
from scipy import signal

import kavri
from kavri.api import LoudnessWarning, process_to_loudness
from kavri.loudness import LevelMeter, LoudnessMeter, measure

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
    ("rate", "channels", "seconds"),
    [
        (48_000, 2, 7.3),
        (44_100, 1, 2.05),
        (22_050, 5, 1.0),
        (48_000, 2, 0.45),
    ],
)
def test_chunked_loudness_agrees_with_pyloudnorm(rate, channels, seconds):
    rng = np.random.default_rng(channels)
    frames = int(seconds * rate)
    audio = rng.standard_normal((frames, channels)) * np.linspace(0.01, 0.4, frames)[:, None]
    audio[frames // 3 : frames // 2] *= 1e-3  # a quiet stretch the gates must drop
    expected = pyloudnorm.Meter(rate).integrated_loudness(audio)
    for chunk in (frames, 4800, 777):
        meter = LoudnessMeter(rate, channels)
        for start in range(0, frames, chunk):
            meter.add(audio[start : start + chunk])
        assert meter.integrated() == pytest.approx(expected, abs=0.01), chunk


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


def test_unreachable_targets_warn_with_the_miss():
    speech = speech_like(seconds=3.0)
    with pytest.warns(LoudnessWarning, match=r"loudness target -5 LUFS missed by \d+\.\d LU"):
        out, result = process_to_loudness(speech, RATE, [], -5.0, peak_ceiling=-30.0)
    assert not result.reached and result.miss_lu < -0.5
    assert np.max(np.abs(out)) <= 10 ** (-30 / 20)
    with pytest.warns(LoudnessWarning, match="silent or shorter than 0.4 s"):
        kavri.process(np.zeros(RATE, np.float32), RATE, [], loudness=-16)
    with pytest.raises(ValueError, match="loudness target must be between -70 and 0"):
        kavri.process(speech, RATE, [], loudness=3)


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
