"""Steps that change the rate, the length or the channel count: each one's defining property,
chunk invariance, planning, and the paths that run them (streams, files, the command line,
random chains)."""

from __future__ import annotations

import subprocess
import sys
import threading
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavri
from kavri import ChainError, Stream
from kavri._engine import usable_cores
from kavri.cli import main
from kavri.steps import plan_chain
from kavri.steps.length import fade_curve
from kavri.steps.rate import BLOCK_FRAMES

RATES = (8_000, 11_025, 16_000, 22_050, 32_000, 44_100, 48_000, 88_200, 96_000, 192_000)


def sine(frequency, rate, seconds, level=0.5, channels=1):
    t = np.arange(round(rate * seconds)) / rate
    tone = (level * np.sin(2 * np.pi * frequency * t)).astype(np.float32)
    return np.repeat(tone[:, None], channels, axis=1)


def noise(frames, channels, seed=0, level=0.3):
    rng = np.random.default_rng(seed)
    return (level * rng.standard_normal((frames, channels))).astype(np.float32)


def tone_of(signal, rate):
    """The frequency (Hz, to a small fraction of a bin) and the peak level of the strongest
    tone of a mono signal: a Hann-windowed spectrum, zero-padded, with a parabola through the
    peak bin's log magnitudes."""
    data = np.asarray(signal, np.float64).reshape(len(signal), -1)[:, 0]
    window = np.hanning(data.size)
    size = 1 << (data.size * 8 - 1).bit_length()
    spectrum = np.abs(np.fft.rfft(data * window, size))
    k = int(np.argmax(spectrum[1:-1])) + 1
    a, b, c = np.log(spectrum[k - 1 : k + 2])
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    return (k + shift) * rate / size, 2 * np.exp(b - 0.25 * (a - c) * shift) / window.sum()


def cents(measured, expected):
    return 1200 * np.log2(measured / expected)


def stream_in_chunks(chain, audio, rate, sizes, **options):
    stream = Stream(chain, rate, audio.shape[1], **options)
    outputs, start = [], 0
    for size in sizes:
        outputs.append(stream.process(audio[start : start + size]))
        start += size
    outputs.append(stream.process(audio[start:]))
    outputs.append(stream.flush())
    assert stream.held_frames == 0
    return np.concatenate(outputs)


# --- rate ------------------------------------------------------------------------------------


def test_every_rate_pair_gives_the_exact_length():
    for a in RATES:
        for b in RATES:
            for frames in (0, 1, 4801):
                out = kavri.process(noise(frames, 1), a, [{"type": "resample", "rate_hz": b}])
                # round(N x b / a), an exact half rounded up.
                expected = int(Fraction(frames * b, a) + Fraction(1, 2))
                assert out.shape == (expected, 1), (a, b, frames)


def test_a_whole_call_and_a_stream_in_blocks_give_the_same_resampled_bits():
    # A whole call resamples in one call of soxr; a stream feeds it in fixed blocks. The
    # two agree only because soxr's output does not depend on how its input is cut: hold it
    # to that across block boundaries for rate pairs up, down and between the families,
    # and for speed factors (rates that are not whole numbers).
    audio = noise(2 * BLOCK_FRAMES + 4321, 2)
    rng = np.random.default_rng(5)
    sizes = [int(rng.choice([1, 999, 40_000, 70_000])) for _ in range(6)]
    chains = [[{"type": "resample", "rate_hz": b}] for b in (8000, 44_100, 192_000)]
    chains += [[{"type": "speed", "factor": f}] for f in (0.9, 1.1)]
    for chain in chains:
        for workers in (1, 2):
            whole = kavri.process(audio, 48_000, chain, workers=workers)
            streamed = stream_in_chunks(chain, audio, 48_000, sizes, workers=workers)
            assert np.array_equal(streamed, whole), chain


def test_channel_groups_run_once_and_settle_when_no_thread_can_start(monkeypatch):
    # Under a memory limit the pool's submit, unable to start a thread, had queued its work
    # all the same: a thread ran it later on streams the caller had given up (SIGSEGV), or
    # after a reset (channel groups out of step). The groups now run here instead.
    from kavri.steps import rate

    audio = noise(3000, 8)
    chain = [{"type": "resample", "rate_hz": 44_100}]
    whole = kavri.process(audio, 48_000, chain, workers=2)
    late: list = []

    class Starved:
        def submit(self, work, *args):
            late.append((work, args))  # queued, to run after the caller has gone on
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(rate, "_pool", lambda: Starved())
    assert np.array_equal(kavri.process(audio, 48_000, chain, workers=2), whole)
    stream = kavri.Stream(chain, 48_000, 8, workers=2)
    first = stream.process(audio[:1000])
    for work, args in late:
        work(*args)  # the queued work, run late, finds its group done
    rest = stream.process(audio[1000:])
    assert np.array_equal(np.concatenate([first, rest, stream.flush()]), whole)


def test_interrupts_as_groups_are_handed_out_leave_no_group_running_nor_thread_lost():
    # A Ctrl-C while the groups were handed out ended the call with a group still running
    # (252 times in 300), on streams the caller then reset; on a pool not yet started, a
    # Ctrl-C in its first submits left threads it had lost track of (36 for a pool of 2), and
    # the interpreter waited for them at exit for good. It runs in a child of its own: in
    # this process a session's Dask scheduler hooks the garbage collector, and an interrupt
    # that lands in its hook is swallowed there, never reaching the call.
    script = (
        "import _thread, threading, time\n"
        "from kavri.steps.rate import each_group\n"
        "running = set()\n"
        "def run(index):\n"
        "    running.add(index)\n"
        "    try:\n"
        "        if index == 1:\n"
        "            _thread.interrupt_main()\n"
        "            time.sleep(0.003)\n"
        "        return index\n"
        "    finally:\n"
        "        running.discard(index)\n"
        "stopped = 0\n"
        "for _ in range(40):\n"
        "    try:\n"
        "        each_group(run, 4)\n"
        "    except KeyboardInterrupt:\n"
        "        stopped += 1\n"
        "    assert not running, running\n"
        "print(stopped, sum(t.name.startswith('kavri-steps') for t in threading.enumerate()))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    stopped, threads = map(int, done.stdout.split())
    assert stopped == 40 and threads <= usable_cores()


def test_a_resampled_sine_keeps_its_frequency_and_level():
    # A resample to the same rate, or speed by 1, is the identity, bit for bit.
    audio = noise(5000, 2)
    for spec in ({"type": "resample", "rate_hz": 44_100}, {"type": "speed", "factor": 1}):
        assert np.array_equal(kavri.process(audio, 44_100, [spec]), audio)
    for a, b, frequency in ((44_100, 16_000, 1_000.0), (8_000, 48_000, 3_100.0)):
        out = kavri.process(sine(frequency, a, 1.0), a, [{"type": "resample", "rate_hz": b}])
        measured, level = tone_of(out[2000:-2000], b)
        assert abs(cents(measured, frequency)) < 0.5
        assert abs(20 * np.log10(level / 0.5)) < 0.01


def test_aliasing_stays_below_minus_120_db():
    # 48 kHz to 16 kHz: tones above the new Nyquist frequency (8 kHz) would fold back to
    # 16 kHz minus their frequency; the very-high-quality filter leaves nothing of them.
    for frequency in (8_800.0, 12_000.0, 15_000.0):
        out = kavri.process(
            sine(frequency, 48_000, 1.0), 48_000, [{"type": "resample", "rate_hz": 16_000}]
        )
        residue = np.sqrt(np.mean(np.square(out[2000:-2000].astype(np.float64))))
        assert 20 * np.log10(residue / (0.5 / np.sqrt(2)) + 1e-30) < -120, frequency


def test_speed_changes_tempo_and_pitch_together():
    audio = sine(440.0, 16_000, 1.5)
    out = kavri.process(audio, 16_000, [{"type": "speed", "factor": 1.25}])
    assert out.shape[0] == round(audio.shape[0] / 1.25)
    measured, _ = tone_of(out[1000:-1000], 16_000)
    assert abs(cents(measured, 440.0 * 1.25)) < 0.5


def test_effects_after_a_resample_are_built_for_the_new_rate():
    chain = [{"type": "resample", "rate_hz": 16_000}, {"type": "lowpass", "frequency_hz": 6_000}]
    audio = noise(48_000, 2)
    resampled = kavri.process(audio, 48_000, chain[:1])
    assert np.array_equal(
        kavri.process(audio, 48_000, chain), kavri.process_pipeline(resampled, 16_000, chain[1:])
    )
    # A clamp after a step is named by its place in the whole chain (it read "effect 1").
    clamped = [{"type": "gain"}, *chain[:1], {"type": "lowpass", "frequency_hz": 9_000}]
    with pytest.warns(kavri.ClampWarning, match=r"effect 3 \('lowpass'\)"):
        kavri.process(audio, 48_000, clamped)


def test_the_plot_reads_a_rate_conversion_s_passband_as_a_tone_meets_it():
    from kavri.plot import path_responses

    # An impulse at frame 0 lost the converter's ring ahead of it (48 to 384 kHz read
    # -4.7 dB at 1 kHz), and a speed's impulse spreads over 1 / factor as many frames
    # (0.25 read +7.9 dB); a tone meets 0 dB through each.
    for rate, spec in (
        (48_000, {"type": "resample", "rate_hz": 384_000}),
        (44_100, {"type": "resample", "rate_hz": 48_000}),
        (48_000, {"type": "speed", "factor": 0.25}),
        (48_000, {"type": "speed", "factor": 4.0}),
    ):
        frequencies, curves = path_responses([spec], rate)
        for hz in (100, 1000):
            at = int(np.argmin(np.abs(frequencies - hz)))
            assert next(iter(curves.values()))[at] == pytest.approx(0.0, abs=0.01), (spec, hz)
    # A codec converts to its own rate and back: GSM's read -13 dB at 3 kHz, and showed a
    # band above 4 kHz that no tone passes.
    frequencies, curves = path_responses([{"type": "codec", "format": "gsm"}], 48_000)
    magnitude = next(iter(curves.values()))
    assert abs(magnitude[np.argmin(np.abs(frequencies - 3000))]) < 1.5
    assert magnitude[(frequencies > 5000) & (frequencies < 20000)].max() < -100
    # A chain that gives no frames for silence failed to reshape its empty output; drawn,
    # it made a flat line at the floor, and now says there is nothing to plot.
    for chain in ([{"type": "trim_silence"}], [{"type": "trim", "start_s": 1000}]):
        assert set(path_responses(chain, 48_000)[1]) == {"left and right"}
    from kavri.plot import plot_chain

    for chain in ([{"type": "trim", "start_s": 10}], [{"type": "fade", "in_s": 0.01}]):
        with pytest.raises(kavri.KavriError, match="nothing of an impulse comes through"):
            plot_chain(chain, "never.png")
    # A chain for six channels is sound, and failed with no word that a plot measures two.
    six = [{"type": "channels", "matrix": [[1, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 0]]}]
    with pytest.raises(kavri.ChainError, match="a plot measures the chain over two channels"):
        plot_chain(six, "never.png")


# --- stretch ---------------------------------------------------------------------------------


def test_time_stretch_keeps_pitch_and_pitch_shift_keeps_length():
    rate = 16_000
    audio = sine(440.0, rate, 5.0, channels=2)  # past two 2-second blocks and their seams
    for factor in (0.8, 1.25):
        out = kavri.process(audio, rate, [{"type": "time_stretch", "factor": factor}])
        assert out.shape == (int(Fraction(audio.shape[0]) / Fraction(factor) + Fraction(1, 2)), 2)
        measured, _ = tone_of(out[rate // 2 : -rate // 2, 0], rate)
        assert abs(cents(measured, 440.0)) < 5, factor
    out = kavri.process(audio, rate, [{"type": "pitch_shift", "semitones": 3}])
    assert out.shape == audio.shape
    # The tone runs to the last frame: a signal of more than a block ended in up to 12 ms
    # of exact silence, taken from past what the stretcher had rendered.
    for spec in ({"type": "time_stretch", "factor": 4.0}, {"type": "pitch_shift", "semitones": 2}):
        ending = kavri.process(audio, rate, [spec])[-rate // 200 :]
        assert np.sqrt(np.mean(ending.astype(np.float64) ** 2)) > 0.1, spec
    # Nothing to do leaves the signal as it is.
    for spec in ({"type": "time_stretch", "factor": 1}, {"type": "pitch_shift"}):
        assert np.array_equal(kavri.process(audio, rate, [spec]), audio)
    measured, _ = tone_of(out[rate // 2 : -rate // 2, 0], rate)
    assert abs(cents(measured, 440.0 * 2 ** (3 / 12))) < 8
    # A tone of 1 kHz lands within 5 cents of every interval; lower ones less exactly (at
    # 220 Hz, a fifth of a semitone down came out 8 cents off: the docs said 5).
    rate = 48_000
    for tone, bound in ((1000.0, 5), (220.0, 10)):
        audio = sine(tone, rate, 3.0)
        for semitones in (-12, -1, 3, 12):
            out = kavri.process(audio, rate, [{"type": "pitch_shift", "semitones": semitones}])
            measured, _ = tone_of(out[rate // 2 : -rate // 2, 0], rate)
            assert abs(cents(measured, tone * 2 ** (semitones / 12))) < bound, (tone, semitones)


def test_the_stretchers_take_any_level_and_refuse_rates_they_cannot_run_at():
    # The stretcher's analysis is single precision about full scale: a tone at 4,000 came
    # out 4 dB low and one at 1e10 as NaN. Its analysis step is 3% of a second in frames:
    # at 8 Hz it crashed the process, at 20 Hz it never returned.
    rate = 16_000
    audio = sine(440.0, rate, 2.5, level=0.9, channels=2)
    for spec in ({"type": "time_stretch", "factor": 1.25}, {"type": "pitch_shift", "semitones": 3}):
        plain = kavri.process(audio, rate, [spec])
        for scale in (2.0**-40, 2.0**20, 2.0**100):
            scaled = kavri.process((audio * scale).astype(np.float32), rate, [spec])
            assert np.array_equal(scaled, (plain * np.float32(scale)).astype(np.float32)), scale
        for low in (8, 20, 99):
            with pytest.raises(
                ChainError, match=f"needs a sample rate of 100 Hz or more, got {low}"
            ):
                kavri.process(audio[:100], low, [spec])
        chain = [{"type": "resample", "rate_hz": 20}, spec]
        with pytest.raises(ChainError, match="effect 2 .* got 20 Hz"):
            kavri.process(audio[:100], rate, chain)


def test_engine_effects_that_are_unstable_at_low_rates_refuse_them():
    # A filter's lowest frequency (5 Hz) at or above half the rate, and a phaser's sweep
    # past it, gave NaN without a word: a lowpass at 8 Hz on 83% of its samples, a phaser
    # at 100 Hz on 98%. Every way in refuses them; the rate just above works.
    noise = np.random.default_rng(0).standard_normal((1000, 1)).astype(np.float32) * 0.1
    # An EQ, a shelf or a dynamic EQ at 7 Hz gave infinities on three samples in four.
    low_rated = ("lowpass", "peak_eq", "high_shelf", "dynamic_eq", "deesser", "rotary_speaker")
    for effect, lowest in (*((name, 11) for name in low_rated), ("phaser", 161)):
        chain = [{"type": "gain"}, {"type": effect}]
        message = rf"effect \d \('{effect}'\): needs a sample rate of {lowest} Hz or more"
        low = lowest - 1
        resampled = [{"type": "resample", "rate_hz": low}, *chain]
        for call, *arguments in (
            (kavri.process, noise, low, chain),
            (kavri.process_batch, [noise], low, chain),
            (kavri.Stream, chain, low, 1),
            (kavri.process, noise, 48_000, resampled),
        ):
            with pytest.raises(ChainError, match=message):
                call(*arguments)
        assert np.isfinite(kavri.process(noise, lowest, chain)).all()


# --- channels --------------------------------------------------------------------------------


def test_channel_maps_against_numpy():
    audio = noise(1000, 3, seed=4)
    matrix = [[0.5, -0.25, 2.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0], [0.0, 1.0, 0.0]]
    out = kavri.process(audio, 8000, [{"type": "channels", "matrix": matrix}])
    assert np.allclose(out, audio.astype(np.float64) @ np.array(matrix).T, rtol=1e-6, atol=1e-7)
    # Selecting, duplicating and reordering move samples bit for bit.
    assert np.array_equal(out[:, 1:], audio[:, [0, 2, 1]])
    mono = kavri.process(audio, 8000, [{"type": "mixdown"}])
    assert mono.shape == (1000, 1) and np.allclose(mono[:, 0], audio.mean(axis=1), atol=1e-7)
    weighted = kavri.process(audio, 8000, [{"type": "mixdown", "weights": [1, 0, 0]}])
    assert np.array_equal(weighted[:, 0], audio[:, 0])
    swapped = kavri.process(audio, 8000, [{"type": "swap"}])
    assert np.array_equal(swapped, audio[:, [1, 0, 2]])
    # A 1-D signal stays 1-D while the chain ends in one channel.
    assert kavri.process(audio[:, 0], 8000, [{"type": "swap"}]).ndim == 1
    assert kavri.process(audio[:, 0], 8000, [{"type": "channels", "count": 2}]).shape == (1000, 2)


def test_channel_counts_conform_or_are_refused_before_any_audio():
    stereo = noise(100, 2)
    assert kavri.process(stereo, 8000, [{"type": "channels", "count": 1}]).shape == (100, 1)
    both = kavri.process(stereo[:, :1], 8000, [{"type": "channels", "count": 2}])
    assert np.array_equal(both, stereo[:, [0, 0]])
    assert np.array_equal(kavri.process(stereo, 8000, [{"type": "channels", "count": 2}]), stereo)
    with pytest.raises(ChainError, match="cannot make 3 channels from 2"):
        Stream([{"type": "channels", "count": 3}], 8000, 2)
    with pytest.raises(ChainError, match="the matrix has 3 columns .* but 2 channels reach it"):
        plan_chain(kavri.validate_chain([{"type": "channels", "matrix": [[1, 0, 0]]}]), 8000, 2)
    # Planning follows the count through the chain: after a mixdown, one channel reaches it.
    with pytest.raises(ChainError, match="2 weights for 1 channel"):
        plan_chain(
            kavri.validate_chain([{"type": "mixdown"}, {"type": "mixdown", "weights": [1, 1]}]),
            8000,
            2,
        )
    # A stereo effect after a mixdown is fine: the engine leaves a mono buffer as it is.
    kavri.process(stereo, 8000, [{"type": "mixdown"}, {"type": "pan", "position": 1}])
    # No channels at all is refused as a shape (a mixdown divided by zero, a fade gave back
    # nothing; the engine's RuntimeError had said it).
    for step in ({"type": "mixdown"}, {"type": "fade"}, {"type": "resample", "rate_hz": 16_000}):
        with pytest.raises(ValueError, match="^audio must have at least one channel"):
            kavri.process(np.zeros((10, 0), np.float32), 8000, [step])


# --- length ----------------------------------------------------------------------------------


def test_fade_curves_at_their_points():
    frames = 8
    ones = np.ones((3 * frames, 1), np.float32)
    position = np.arange(frames) / frames
    for curve, expected in (
        ("linear", position),
        ("equal_power", np.sin(np.pi / 2 * position)),
        ("log", 10.0 ** (5 * (position - 1))),
    ):
        out = kavri.process(ones, frames, [{"type": "fade", "in_s": 1, "out_s": 1, "curve": curve}])
        assert np.array_equal(out[:frames, 0], expected.astype(np.float32)), curve
        assert np.array_equal(out[-frames:, 0], expected[::-1].astype(np.float32)), curve
        assert np.all(out[frames:-frames] == 1)
    assert fade_curve("equal_power", np.array([0.5]))[0] == pytest.approx(np.sqrt(0.5))
    assert fade_curve("log", np.array([0.5]))[0] == pytest.approx(10 ** (-50 / 20))
    # A fade far longer than the signal costs what the signal does: a day's fade of 100
    # frames asked for a table of 46 GiB and was refused. Across its pieces of 65,536
    # gains, a long fade meets every frame as its formula says.
    day = 86_400
    short = kavri.process(ones[:5], 48_000, [{"type": "fade", "in_s": day, "out_s": day}])
    expected = (np.arange(5) / (day * 48_000)).astype(np.float32)
    assert np.array_equal(short[:, 0], expected * expected[::-1])
    long = np.ones((200_000, 1), np.float32)
    out = kavri.process(long, 48_000, [{"type": "fade", "out_s": 4, "curve": "equal_power"}])
    position = np.arange(191_999, -1, -1) / 192_000
    assert np.array_equal(out[8000:, 0], np.sin(np.pi / 2 * position).astype(np.float32))


def test_trim_silence_against_a_constructed_signal():
    rate = 1000  # one frame a millisecond
    parts = [
        ("silence", 300),
        ("click", 5),  # shorter than min_duration_s: still leading silence
        ("silence", 200),
        ("sound", 1000),
        ("silence", 50),  # a short gap inside is kept
        ("sound", 500),
        ("silence", 400),  # trailing, longer than min_duration_s: removed
    ]
    rng = np.random.default_rng(1)
    pieces = [
        (0.5 if kind != "silence" else 0.0005) * rng.uniform(0.5, 1, (n, 2)).astype(np.float32)
        for kind, n in parts
    ]
    audio = np.concatenate(pieces)
    chain = [{"type": "trim_silence", "threshold_db": -40, "min_duration_s": 0.1}]
    out = kavri.process(audio, rate, chain)
    assert np.array_equal(out, audio[505:2055])
    start_only = kavri.process(audio, rate, [{**chain[0], "where": "start"}])
    assert np.array_equal(start_only, audio[505:])
    end_only = kavri.process(audio, rate, [{**chain[0], "where": "end"}])
    assert np.array_equal(end_only, audio[:2055])
    # Trailing silence shorter than the minimum stays; a signal of silence alone goes.
    short = kavri.process(audio[:2100], rate, chain)
    assert np.array_equal(short, audio[505:2100])
    assert kavri.process(audio[:300], rate, chain).shape == (0, 2)


def test_a_streamed_file_finds_its_trim_in_a_pass_and_holds_nothing(tmp_path, monkeypatch):
    # A file held the silence since the last sound: a 6-minute gap took 318 MB. It now finds
    # where the sound begins and ends in a pass of its own, to the bits of a whole call.
    from kavri.steps.length import TrimSilence

    held = []
    real = TrimSilence.process

    def counted(step, chunk):
        out = real(step, chunk)
        held.append(step.held_frames)
        return out

    monkeypatch.setattr(TrimSilence, "process", counted)
    rng = np.random.default_rng(5)
    rate = 1000
    for trial in range(12):
        # Runs and gaps about the minimum length and the 20 frames a gap may last inside a
        # run, so that the search ends in every way.
        pieces = [
            rng.choice([0.5, 0.0, 0.005]) * rng.uniform(0.5, 1, (int(n), 2))
            for n in rng.choice([5, 19, 21, 99, 101, 400], size=12)
        ]
        audio = np.concatenate(pieces).astype(np.float32)
        kavri.write(tmp_path / "in.wav", audio, rate)
        for where in ("both", "start", "end"):
            chain = [{"type": "trim_silence", "threshold_db": -30, "min_duration_s": 0.1}]
            chain[0]["where"] = where
            whole = kavri.process(audio, rate, chain)
            held.clear()
            chunk = int(rng.choice([1, 7, 100, 5000]))
            kavri.process_file(tmp_path / "in.wav", tmp_path / "out.wav", chain, chunk=chunk)
            written = kavri.read(tmp_path / "out.wav").audio
            assert np.array_equal(written, whole), (trial, where)
            assert max(held, default=0) == 0


def test_trim_silence_keeps_a_waveform_through_its_zero_crossings():
    # Samples near each zero crossing fall under the threshold; the run of sound goes on
    # through them, and through any gap under 20 ms, whatever the chunking.
    rate = 44_100
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(rate) / rate)
    gap = np.zeros(rate // 100)
    x = np.concatenate([np.zeros(10_000), tone, gap, tone, np.zeros(10_000)]).astype(np.float32)
    loud = np.flatnonzero(np.abs(x) >= np.float32(10 ** (-60 / 20)))
    chain = [{"type": "trim_silence"}]
    out = kavri.process(x, rate, chain)
    assert np.array_equal(out, x[loud[0] : loud[-1] + 1])
    stream = kavri.Stream(chain, rate, 1)
    pieces = [stream.process(x[i : i + 7, None]) for i in range(0, 30_002, 7)]
    pieces += [stream.process(x[30_002:, None]), stream.flush()]
    assert np.array_equal(np.concatenate(pieces)[:, 0], out)


def test_trim_and_pad_lengths():
    audio = noise(1000, 2)
    trim = [{"type": "trim", "start_s": 0.01, "end_frames": 30, "start_frames": 5}]
    assert np.array_equal(kavri.process(audio, 1000, trim), audio[15:970])
    capped = [{"type": "trim", "start_s": 0.1, "duration_s": 0.2}]
    assert np.array_equal(kavri.process(audio, 1000, capped), audio[100:300])
    padded = kavri.process(
        audio, 1000, [{"type": "pad", "start_s": 0.02, "end_frames": 3, "to_s": 1.5}]
    )
    assert padded.shape == (1500, 2) and np.array_equal(padded[20:1020], audio)
    assert not np.any(padded[:20]) and not np.any(padded[1020:])


def test_normalize_to_sample_and_true_peak():
    audio = sine(11_000.0, 48_000, 0.2, level=0.25, channels=2)
    out = kavri.process(audio, 48_000, [{"type": "normalize", "peak_db": -3}])
    peak = np.max(np.abs(out))
    assert peak <= np.float32(10 ** (-3 / 20)) and 20 * np.log10(peak) > -3.0001
    true = kavri.process(audio, 48_000, [{"type": "normalize", "peak_db": -3, "mode": "true"}])
    measured = kavri.measure(true, 48_000).true_peak_db
    assert abs(measured - -3) < 0.05 and np.max(np.abs(true)) < peak  # inter-sample peaks
    # A ceiling lowers what is above it and never raises what is below.
    ceiling = [{"type": "normalize", "peak_db": -6, "when": "above"}]
    assert np.array_equal(kavri.process(audio * 0.25, 48_000, ceiling), audio * 0.25)
    assert np.max(np.abs(kavri.process(audio, 48_000, ceiling))) <= np.float32(10 ** (-6 / 20))
    # Peaks near the least and the greatest float reach the target too: their gains pass
    # what single precision holds (it made a near-silent signal infinite).
    for scale, target in ((1e-42, -1), (1e-30, -1), (3e38, -200), (1e38, -60)):
        far = (audio[:2000] * 4 * np.float32(scale)).astype(np.float32)
        for mode in ("sample", "true"):
            spec = {"type": "normalize", "peak_db": target, "mode": mode}
            out = kavri.process(far, 48_000, [spec]).astype(np.float64)
            level = kavri.measure(out, 48_000)
            got = level.true_peak_db if mode == "true" else 20 * np.log10(np.max(np.abs(out)))
            assert abs(got - target) < (0.05 if mode == "true" else 1e-4), (scale, mode, got)


# --- any chunking gives the bits of one call -------------------------------------------------

STEP_CHAINS = [
    [{"type": "resample", "rate_hz": 11_025}],
    [{"type": "speed", "factor": 0.9}],
    [{"type": "time_stretch", "factor": 1.3}],
    [{"type": "pitch_shift", "semitones": -2}],
    [{"type": "mixdown"}, {"type": "channels", "count": 2}, {"type": "swap"}],
    [{"type": "trim", "start_frames": 7, "end_s": 0.3}, {"type": "pad", "start_s": 0.1, "to_s": 6}],
    [{"type": "fade", "in_s": 0.4, "out_s": 1.1, "curve": "log"}],
    [{"type": "trim_silence", "threshold_db": -20, "min_duration_s": 0.05}],
    [{"type": "normalize", "mode": "true"}],
    [
        {"type": "compressor"},
        {"type": "resample", "rate_hz": 16_000},
        {"type": "dynamic_eq"},
        {"type": "mixdown"},
        {"type": "delay", "delay_ms": 30},
    ],
]


def bursts(frames, channels, seed):
    """Noise in bursts with stretches of near silence between them."""
    rng = np.random.default_rng(seed)
    level = np.repeat(rng.choice([0.0, 0.001, 0.3, 0.9], size=frames // 800 + 1), 800)[:frames]
    return (rng.standard_normal((frames, channels)) * level[:, None]).astype(np.float32)


@pytest.mark.parametrize("chain", STEP_CHAINS, ids=[c[0]["type"] for c in STEP_CHAINS])
def test_each_step_streams_with_the_bits_of_one_call(chain):
    audio = bursts(8000 * 5 + 33, 2, seed=len(chain))
    whole = kavri.process(audio, 8000, chain, block_size=256)
    rng = np.random.default_rng(7)
    sizes = [int(rng.choice([0, 1, 17, 999, 20_000])) for _ in range(40)]
    assert np.array_equal(stream_in_chunks(chain, audio, 8000, sizes, block_size=256), whole)


@pytest.mark.slow
@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    chain=st.lists(
        st.sampled_from([c for chain in STEP_CHAINS for c in chain]), min_size=1, max_size=3
    ),
    sizes=st.lists(st.sampled_from([0, 1, 2, 5, 300, 4096, 16_384, 40_000]), max_size=30),
    channels=st.sampled_from([1, 2, 3]),
    workers=st.sampled_from([1, 2]),
)
def test_any_chunking_of_a_stream_equals_one_call(chain, sizes, channels, workers):
    audio = bursts(8000 * 4 + 5, channels, seed=channels)
    try:
        whole = kavri.process(audio, 8000, chain, workers=workers)
    except ChainError:
        return  # a map that does not fit these channels: refused alike by both
    streamed = stream_in_chunks(chain, audio, 8000, sizes, workers=workers)
    assert np.array_equal(streamed, whole)


def test_stream_reports_its_output_and_releases_what_the_steps_made():
    stream = Stream([{"type": "mixdown"}, {"type": "resample", "rate_hz": 16_000}], 48_000, 2)
    assert (stream.sample_rate, stream.channels) == (48_000, 2)
    assert (stream.output_sample_rate, stream.output_channels) == (16_000, 1)
    first = stream.process(noise(100_000, 2))
    assert first.shape[1] == 1 and 0 < first.shape[0] < 100_000 // 3 and stream.held_frames > 0
    assert first.shape[0] + stream.flush().shape[0] == round(100_000 / 3)
    held = Stream([{"type": "normalize"}], 8000, 1)
    assert held.process(noise(500, 1)[:, 0]).shape == (0,) and held.held_frames == 500
    assert held.flush().shape == (500,)


def test_a_stream_with_steps_serves_one_thread_at_a_time():
    stream = Stream([{"type": "normalize"}], 8000, 1)
    entered, release = threading.Event(), threading.Event()
    held = stream._steps.process

    def slow(chunk):
        entered.set()
        release.wait(10)
        return held(chunk)

    stream._steps.process = slow
    worker = threading.Thread(target=stream.process, args=(noise(10, 1),))
    worker.start()
    assert entered.wait(10)
    with pytest.raises(RuntimeError, match="^stream is in use by another thread$"):
        stream.flush()
    release.set()
    worker.join()
    assert stream.flush().shape == (10, 1)


# --- planning, memory, files, command line ---------------------------------------------------


def test_memory_guard_is_asked_for_the_longest_intermediate_buffer(monkeypatch):
    asked = []
    monkeypatch.setattr(kavri._engine, "check_memory", lambda size, what: asked.append(size))
    chain = [{"type": "resample", "rate_hz": 96_000}, {"type": "gain"}, {"type": "mixdown"}]
    kavri.process(noise(1000, 2), 8000, chain)
    # The gain after the 12x upsample: 12000 frames in and out, of two channels, 4 bytes each;
    # more than the resample's 1000 in and 12000 out, or the mixdown's 12000 x 2 in and x 1 out.
    assert asked[0] == 2 * 12_000 * 2 * 4


def test_buffers_that_grow_with_the_rate_are_counted(monkeypatch):
    # At a rate of gigahertz a stretcher's buffers, and a conversion up to it, outgrow
    # memory: the guard says so, where they ended in std::bad_alloc.
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(1 << 30))
    for spec, message in (
        ({"type": "time_stretch", "factor": 1.5}, "time_stretch: a stretcher at 2147483647 Hz"),
        ({"type": "pitch_shift", "semitones": 3}, "pitch_shift: a stretcher at 2147483647 Hz"),
    ):
        with pytest.raises(MemoryError, match=message):
            kavri.process(noise(1000, 2), 2**31 - 1, [spec])
    stream = kavri.Stream([{"type": "resample", "rate_hz": 2**31 - 1}], 48_000, 2)
    with pytest.raises(MemoryError, match=r"resample: the (conversion|output) of \d+ frames"):
        stream.process(noise(70_000, 2))


def test_a_stream_refused_memory_says_whether_it_can_go_on(monkeypatch):
    # A stretcher asked for its held input only as the chunk ran: refused there, the stream
    # had to be reset, its frames lost. It is now asked before any stage runs.
    audio = noise(96_000, 2)
    chain = [{"type": "time_stretch", "factor": 1.25}]
    stream = kavri.Stream(chain, 48_000, 2)
    parts = [stream.process(audio[:50_000])]
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "1M")
    with pytest.raises(MemoryError, match="input held for the next block"):
        stream.process(noise(80_000, 2))
    monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
    parts += [stream.process(audio[50_000:]), stream.flush()]
    assert np.array_equal(np.concatenate(parts), kavri.process(audio, 48_000, chain))
    # A flush of a whole held signal is asked for before any stage lets go of it: refused
    # as the memory on hand fell, the signal had been lost, and the stream with it.
    # So are a fade-out's, a pad's, a conversion's and a stretch's last blocks, each with what the
    # stages before it release as they flush.
    lasts = [
        {"type": "resample", "rate_hz": 44_100},
        {"type": "time_stretch", "factor": 0.8},
        {"type": "fade", "out_s": 1.5},
        {"type": "pad", "end_s": 2},
    ]
    for chain in (
        [{"type": "normalize"}],
        [{"type": "noise", "snr_db": 10, "seed": 3}],
        lasts,
    ):
        stream = kavri.Stream([{"type": "gain", "db": -1}, *chain], 48_000, 2)
        parts = [stream.process(audio[i : i + 30_000]) for i in range(0, 96_000, 30_000)]
        monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "1M")
        with pytest.raises(MemoryError, match="flush") as refused:
            stream.flush()
        assert "reset" not in str(refused.value)
        monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
        parts.append(stream.flush())
        whole = kavri.process(audio, 48_000, [{"type": "gain", "db": -1}, *chain])
        assert np.array_equal(np.concatenate(parts), whole)
    # A step that holds little asks for what the flush brings it: a codec after a normalize
    # is fed the whole signal, and refused there, the stream had lost it.
    longer = noise(20 * 48_000, 2)
    chain = [{"type": "normalize"}, {"type": "codec", "format": "mp3"}]
    stream = kavri.Stream(chain, 48_000, 2)
    parts = [stream.process(longer[i : i + 200_000]) for i in range(0, 20 * 48_000, 200_000)]
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "16M")
    with pytest.raises(MemoryError, match="codec: the 960000 frames a flush brings") as refused:
        stream.flush()
    assert "reset" not in str(refused.value)
    monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
    parts.append(stream.flush())
    assert np.array_equal(np.concatenate(parts), kavri.process(longer, 48_000, chain))
    # What is asked for is what the flush gives: a pad's start, given already, is not asked
    # for again (a minute of it had made a flush of one second refused under 40 MiB).
    chain = [{"type": "pad", "start_s": 60}, {"type": "normalize"}]
    stream = kavri.Stream(chain, 48_000, 2)
    parts = [stream.process(audio[:48_000])]
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "40M")
    parts.append(stream.flush())
    monkeypatch.delenv("KAVRI_AVAILABLE_MEMORY")
    assert np.array_equal(np.concatenate(parts), kavri.process(audio[:48_000], 48_000, chain))


def test_streamed_files_take_the_rate_channels_and_peak_the_chain_ends_with(tmp_path):
    audio = bursts(48_000 * 3, 2, seed=3)
    kavri.write(tmp_path / "in.wav", audio, 48_000)
    chain = [
        {"type": "mixdown"},
        {"type": "resample", "rate_hz": 16_000},
        {"type": "trim_silence", "threshold_db": -30},
        {"type": "normalize", "peak_db": -2, "mode": "true"},
        {"type": "fade", "out_s": 0.5},
    ]
    summary = kavri.process_file(tmp_path / "in.wav", tmp_path / "out.wav", chain, chunk=5000)
    written = kavri.read(tmp_path / "out.wav")
    assert (written.sample_rate, summary.sample_rate, summary.channels) == (16_000, 16_000, 1)
    assert (summary.input_sample_rate, summary.input_channels) == (48_000, 2)
    # The measuring pass finds the peak a whole call finds: the same bits.
    assert np.array_equal(written.audio, kavri.process(audio, 48_000, chain))
    with pytest.raises(ChainError, match="cannot make 3 channels"):
        kavri.process_file(
            tmp_path / "in.wav", tmp_path / "no.wav", [{"type": "channels", "count": 3}]
        )
    assert not (tmp_path / "no.wav").exists()


def test_command_line_conforms_rate_channels_and_peak(tmp_path, capsys):
    audio = sine(440.0, 44_100, 1.0, level=0.2, channels=2)
    kavri.write(tmp_path / "in.wav", audio, 44_100)
    out = tmp_path / "out.wav"
    source = str(tmp_path / "in.wav")
    args = ["process", source, str(out), "--rate", "16000", "--channels", "1", "--peak", "-1"]
    assert main([*args, "--quiet"]) == 0
    written = kavri.read(out)
    assert written.sample_rate == 16_000 and written.audio.shape == (16_000, 1)
    assert abs(20 * np.log10(np.max(np.abs(written.audio))) - -1) < 1e-4
    # --peak-ceiling without --loudness lowers the true peak to it, and never raises it.
    assert (
        main(["process", str(tmp_path / "in.wav"), str(out), "--peak-ceiling", "-20", "--quiet"])
        == 0
    )
    assert abs(kavri.measure_file(out).true_peak_db - -20) < 0.05
    assert (
        main(["process", str(tmp_path / "in.wav"), str(out), "--peak-ceiling", "-1", "--quiet"])
        == 0
    )
    assert np.array_equal(kavri.read(out).audio, audio)
    capsys.readouterr()
    assert (
        main(["process", str(tmp_path / "in.wav"), str(out), "--peak", "-1", "--loudness", "-20"])
        == 1
    )
    assert main(["process", str(tmp_path / "in.wav"), str(out), "--rate", "0"]) == 1
    errors = capsys.readouterr().err.splitlines()
    assert errors == [
        "kavri: error: --peak and --loudness both set the level: give one (with --loudness, "
        "--peak-ceiling keeps the true peak down)",
        "kavri: error: --rate must be between 1 and 2147483647 Hz, got 0",
    ]


def test_random_chains_draw_the_steps_and_augment_replays(tmp_path):
    description = [
        {"type": "speed", "factor": {"uniform": [0.9, 1.1]}},
        {"type": "resample", "rate_hz": {"choice": [8000, 16000]}},
        {
            "type": "fade",
            "curve": {"choice": ["log", "equal_power"]},
            "in_s": {"uniform": [0, 0.1]},
        },
        {"type": "channels", "matrix": {"choice": [[[1, 0]], [[0, 1]]]}, "p": 0.5},
    ]
    drawn = [kavri.RandomChain(description).sample(3, i) for i in range(20)]
    assert {c[1]["rate_hz"] for c in drawn} == {8000, 16000}
    assert {c[2]["curve"] for c in drawn} == {"log", "equal_power"}
    assert all(0.9 <= c[0]["factor"] <= 1.1 for c in drawn)
    assert any(len(c) == 4 and c[3]["matrix"] in ([[1.0, 0.0]], [[0.0, 1.0]]) for c in drawn)
    audio = noise(8000, 2)
    out, chain = kavri.augment(audio, 32_000, description, seed=3, index=5)
    assert np.array_equal(out, kavri.process(audio, 32_000, chain))
    with pytest.raises(ChainError, match="out of range"):
        kavri.RandomChain([{"type": "resample", "rate_hz": {"uniform": [0, 8000]}}])


@pytest.mark.slow
def test_the_same_bytes_in_another_process(tmp_path, run_kavri):
    audio = bursts(44_100 * 5, 2, seed=11)
    kavri.write(tmp_path / "in.wav", audio, 44_100)
    chain = (
        "--effect",
        "time_stretch:factor=1.1",
        "--effect",
        "pitch_shift:semitones=1",
        "--effect",
        "speed:factor=0.95",
        "--effect",
        "fade:in_s=0.2,out_s=0.5,curve=equal_power",
    )
    for name in ("a.wav", "b.wav"):
        done = run_kavri(
            "process", "in.wav", name, *chain, "--rate", "48000", "--quiet", cwd=tmp_path
        )
        assert done.returncode == 0, done.stderr
    here = kavri.process(
        audio,
        44_100,
        [kavri.chain.parse_effect_option(e) for e in chain[1::2]]
        + [{"type": "resample", "rate_hz": 48_000}],
    )
    assert (tmp_path / "a.wav").read_bytes() == (tmp_path / "b.wav").read_bytes()
    assert np.array_equal(kavri.read(tmp_path / "a.wav").audio, here)
