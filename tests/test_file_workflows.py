"""Files as an audio engineer uses them: reproducible bytes, clean float WAV headers,
dither, MP3, pipes, the forms a chain is written in, the report after processing, the
meter, and loudness targets on streamed files."""

from __future__ import annotations

import io
import json
import struct
import subprocess
import sys
import time

import numpy as np
import pyloudnorm
import pytest
import soundfile as sf

import kavri

RATE = 48_000


def run(*args: str, cwd, data: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "kavri", *args],
        cwd=cwd,
        input=data,
        capture_output=True,
        timeout=300,
    )


def music(seconds: float = 3.0, channels: int = 2, level: float = 0.3) -> np.ndarray:
    rng = np.random.default_rng(9)
    t = np.arange(int(seconds * RATE)) / RATE
    tone = np.sin(2 * np.pi * 220 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 1.5 * t))
    audio = tone[:, None] + 0.3 * rng.standard_normal((t.size, channels))
    return (level * audio).astype(np.float32)


@pytest.fixture
def work(tmp_path):
    kavri.write(tmp_path / "in.wav", music(), RATE)
    return tmp_path


def chunks(data: bytes) -> list[tuple[bytes, int]]:
    """The chunk ids and sizes of a RIFF file."""
    found, position = [], 12
    while position + 8 <= len(data):
        name, size = data[position : position + 4], struct.unpack_from("<I", data, position + 4)[0]
        found.append((name, size))
        position += 8 + size + (size & 1)
    return found


# --- files ----------------------------------------------------------------------------------


@pytest.mark.slow
@pytest.mark.parametrize(
    ("name", "subtype"),
    [
        ("x.wav", None),
        ("x.wav", "pcm16"),
        ("x.wav", "pcm24"),
        ("x.flac", None),
        ("x.aiff", None),
        ("x.ogg", None),
        ("x.opus", None),
        ("x.mp3", None),
    ],
)
def test_identical_runs_write_identical_bytes(tmp_path, name, subtype):
    kavri.write(tmp_path / "source.wav", music(1.0), RATE)
    written = []
    for run_index in range(2):
        if run_index:
            time.sleep(1.1)  # a time stamp in a header would now differ
        path = tmp_path / f"{run_index}{name}"
        kavri.process_file(
            tmp_path / "source.wav", path, [{"type": "gain", "db": -1}], subtype=subtype
        )
        written.append(path.read_bytes())
    assert written[0] == written[1]
    assert b"PEAK" not in written[0][:200]


def test_float_wav_has_a_complete_format_chunk(tmp_path):
    audio = music(0.1, channels=2)
    kavri.write(tmp_path / "x.wav", audio, RATE)
    data = (tmp_path / "x.wav").read_bytes()
    ids = chunks(data)
    assert ids[0] == (b"fmt ", 18) and data[20:22] == b"\x03\x00" and data[36:38] == b"\x00\x00"
    assert [name for name, _ in ids] == [b"fmt ", b"fact", b"PAD ", b"data"]
    assert np.array_equal(kavri.read(tmp_path / "x.wav").audio, audio)


def test_dither_moves_16_bit_output_by_at_most_one_step(tmp_path):
    audio = music(1.0)
    kavri.write(tmp_path / "plain.wav", audio, RATE, subtype="pcm16")
    kavri.write(tmp_path / "dithered.wav", audio, RATE, subtype="pcm16", dither="tpdf")
    plain, _ = sf.read(tmp_path / "plain.wav", dtype="int16")
    dithered, _ = sf.read(tmp_path / "dithered.wav", dtype="int16")
    difference = dithered.astype(int) - plain
    assert np.max(np.abs(difference)) == 1 and 0.2 < np.mean(difference != 0) < 0.8
    # Undithered output is the nearest step; the 24-bit default is never dithered.
    assert np.array_equal(plain, np.clip(np.rint(audio.astype(np.float64) * 32768), -32768, 32767))
    kavri.write(tmp_path / "deep.wav", audio, RATE, subtype="pcm24", dither="tpdf")
    assert np.array_equal(
        kavri.read(tmp_path / "deep.wav").audio,
        (np.rint(audio.astype(np.float64) * 2**23) / 2**23).astype(np.float32),
    )


def test_mp3_round_trip_and_bit_rate(tmp_path):
    audio = music(2.0)
    kavri.write(tmp_path / "x.mp3", audio, RATE, bitrate=128)
    back, rate = kavri.read(tmp_path / "x.mp3")
    assert rate == RATE and back.shape[1] == 2 and abs(back.shape[0] - audio.shape[0]) < 4096
    assert (tmp_path / "x.mp3").stat().st_size == pytest.approx(128_000 / 8 * 2.0, rel=0.1)
    with pytest.raises(kavri.AudioFileError, match="MP3 bit rate 100 kbit/s is not one of"):
        kavri.write(tmp_path / "y.mp3", audio, RATE, bitrate=100)


# --- the command line -------------------------------------------------------------------------


@pytest.mark.slow
def test_pipes_in_and_out(work):
    source = (work / "in.wav").read_bytes()
    result = run("process", "-", "-", "--effect", "gain:db=-6", cwd=work, data=source)
    assert result.returncode == 0, result.stderr
    out, rate = sf.read(io.BytesIO(result.stdout), dtype="float32", always_2d=True)
    expected = kavri.process(music(), RATE, [{"type": "gain", "db": -6}])
    assert rate == RATE and np.array_equal(out, expected)
    assert b"standard output: peak" in result.stderr
    flac = run(
        "process",
        "-",
        "-",
        "--effect",
        "gain",
        "--format",
        "flac",
        "--quiet",
        cwd=work,
        data=source,
    )
    assert flac.stdout[:4] == b"fLaC" and flac.stderr == b""
    metered = run("meter", "-", "--json", cwd=work, data=flac.stdout)
    assert json.loads(metered.stdout)[0]["file"] == "-"


@pytest.mark.slow
def test_chain_forms(work):
    (work / "one.json").write_text(json.dumps({"type": "gain", "db": -3}))
    result = run(
        "process", "in.wav", "out.wav", "--preset", "vocal", "--effect", "gain:db=-3", cwd=work
    )
    assert result.returncode == 0, result.stderr
    chain = kavri.load_preset("vocal") + [{"type": "gain", "db": -3}]
    assert np.array_equal(kavri.read(work / "out.wav").audio, kavri.process(music(), RATE, chain))
    assert kavri.load_chain(work / "one.json") == [{"type": "gain", "db": -3}]
    result = run(
        "process", "in.wav", "out2.wav", "--chain", "one.json", "--effect", "clip", cwd=work
    )
    assert result.returncode == 0, result.stderr
    none = run("process", "in.wav", "out3.wav", cwd=work)
    assert none.returncode == 1 and b"no chain" in none.stderr


@pytest.mark.slow
def test_report_warns_of_clipping_and_quiet_silences_it(work):
    loud = run(
        "process", "in.wav", "out.wav", "--effect", "gain:db=12", "--subtype", "pcm16", cwd=work
    )
    assert loud.returncode == 0
    lines = loud.stderr.decode().splitlines()
    assert lines[0].startswith("kavri: out.wav: peak ") and " LUFS" in lines[0]
    steps = kavri.process(music(), RATE, [{"type": "gain", "db": 12}]).astype(np.float64) * 32768
    clipped = int(np.count_nonzero((steps > 32767) | (steps < -32768)))
    assert f"kavri: warning: {clipped} samples clipped at the 16-bit full scale" in lines
    quiet = run(
        "process",
        "in.wav",
        "out.wav",
        "--effect",
        "gain:db=12",
        "--subtype",
        "pcm16",
        "--quiet",
        cwd=work,
    )
    assert quiet.stderr == b""
    (work / "batch").mkdir()
    (work / "in.wav").rename(work / "batch" / "in.wav")
    batch = run("batch", "batch", "done", "--effect", "gain:db=12", "--subtype", "pcm16", cwd=work)
    assert f"kavri: warning: done/in.wav: {clipped} samples clipped".encode() in batch.stderr


@pytest.mark.slow
def test_meter_agrees_with_pyloudnorm(work):
    result = run("meter", "in.wav", "in.wav", "--json", cwd=work)
    readings = json.loads(result.stdout)
    assert len(readings) == 2
    reading = readings[0]
    audio = music().astype(np.float64)
    assert reading["integrated_lufs"] == pytest.approx(
        pyloudnorm.Meter(RATE).integrated_loudness(audio), abs=0.01
    )
    assert reading["sample_peak_dbfs"] == pytest.approx(
        20 * np.log10(np.max(np.abs(audio))), abs=1e-3
    )
    assert reading["true_peak_dbtp"] >= reading["sample_peak_dbfs"]
    assert (reading["channels"], reading["sample_rate"], reading["clipped_samples"]) == (2, RATE, 0)
    text = run("meter", "in.wav", cwd=work).stdout.decode()
    assert "loudness" in text and "true peak" in text


@pytest.mark.slow
def test_streamed_file_reaches_the_loudness_target(work):
    kavri.write(work / "quiet.flac", music(level=0.02), RATE, subtype="pcm24")
    result = run(
        "process",
        "quiet.flac",
        "out.wav",
        "--effect",
        "highpass:frequency_hz=80",
        "--loudness",
        "-16",
        "--peak-ceiling",
        "-1",
        cwd=work,
    )
    assert result.returncode == 0, result.stderr
    out = kavri.read(work / "out.wav").audio.astype(np.float64)
    assert abs(pyloudnorm.Meter(RATE).integrated_loudness(out) + 16) <= 0.5
    assert kavri.loudness.measure(out, RATE).true_peak_db <= -1.0 + 0.05
    assert b"gain +" in result.stderr and b"warning" not in result.stderr
    # A target alone needs no chain; one that cannot be met under the ceiling says so.
    missed = run(
        "process", "quiet.flac", "out2.wav", "--loudness", "-5", "--peak-ceiling", "-20", cwd=work
    )
    assert missed.returncode == 0
    assert b"kavri: warning: loudness target -5 LUFS missed by " in missed.stderr


# --- plots -----------------------------------------------------------------------------------


def test_plot_paths_and_low_frequency_detail():
    from kavri.plot import level_over_time, path_responses, smoothed

    _, pan = path_responses([{"type": "pan", "position": 0.5}], RATE)
    assert set(pan) == {"left -> left", "right -> right"}
    assert pan["left -> left"][100] < pan["right -> right"][100] - 6
    _, wide = path_responses([{"type": "stereo_width", "width": 1.8}], RATE)
    assert list(wide) == ["each side to itself", "each side to the other"]
    _, rotary = path_responses([{"type": "rotary_speaker"}], RATE)
    assert not np.array_equal(rotary["left -> left"], rotary["right -> right"])
    # The level over time lists the paths in the same order, so each keeps its colour (its
    # left -> right was drawn in the colour of right -> right beside it); a swap's silent
    # path to itself was named in the legend, its curve below the axis.
    _, moving = level_over_time([{"type": "rotary_speaker"}], RATE)
    assert list(moving) == list(rotary)
    assert list(path_responses([{"type": "swap"}], RATE)[1]) == ["each side to the other"]
    frequencies, high = path_responses([{"type": "highpass", "frequency_hz": 30}], RATE)
    assert list(high) == ["left and right"]
    centres, shown = smoothed(frequencies, high["left and right"][:, None])
    low = shown[(centres >= 12) & (centres <= 100), 0]
    assert np.all(np.diff(low) > 0)  # a smooth rise, no steps between bins
    assert np.interp(30.0, centres, shown[:, 0]) == pytest.approx(-3.01, abs=0.15)


@pytest.mark.slow
def test_delays_show_their_echoes_in_time(tmp_path):
    from kavri.plot import ECHO_FLOOR_DB, echoes_over_time, has_echoes, plot_chain

    def spikes(levels: np.ndarray) -> list[float]:
        """The times (s) of the 1 ms windows that rise above the floor."""
        return [round(float(times[i]), 3) for i in np.flatnonzero(levels > ECHO_FLOOR_DB)]

    times, levels = echoes_over_time(
        [{"type": "ping_pong_delay", "delay_ms": 250, "feedback": 0.5, "mix": 0.5}], RATE
    )
    # The dry sound, then echoes bouncing between the sides every 250 ms, 6 dB apart.
    assert list(levels) == ["each side to itself", "each side to the other"]
    assert spikes(levels["each side to itself"])[:3] == [0.0, 0.5, 1.0]
    assert spikes(levels["each side to the other"])[:3] == [0.25, 0.75, 1.25]
    other = levels["each side to the other"]
    first, second = (other[int(t * 1000)] for t in (0.25, 0.75))
    assert first - second == pytest.approx(12.04, abs=0.1)  # two bounces at -6 dB each
    times, levels = echoes_over_time([{"type": "delay", "delay_ms": 100}], RATE)
    assert list(levels) == ["left and right"]
    assert spikes(levels["left and right"])[:4] == [0.0, 0.1, 0.2, 0.3]
    assert has_echoes([{"type": "delay"}]) and not has_echoes([{"type": "chorus"}])
    pytest.importorskip("matplotlib")
    plot_chain([{"type": "ping_pong_delay"}], tmp_path / "echoes.png")
    assert (tmp_path / "echoes.png").stat().st_size > 10_000


def test_moving_effects_say_what_their_level_over_time_shows():
    from kavri.plot import _caption, _motion_notes

    notes = _motion_notes([{"type": "chorus"}, {"type": "flanger"}, {"type": "gain"}])
    assert len(notes) == 1 and "comb filtering" in notes[0]  # one note for both
    assert "pitch" in _motion_notes([{"type": "vibrato"}])[0]
    caption = _caption(notes, 2)
    assert caption.startswith("Level over time: chorus and flanger")
    assert max(len(line) for line in caption.splitlines()) <= 120


def test_a_closed_pipe_ends_quietly(work):
    reader = subprocess.Popen(
        [sys.executable, "-m", "kavri", "effects"],
        cwd=work,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    reader.stdout.close()  # the reader goes away before a line is printed
    with reader.stderr:
        assert reader.wait(timeout=60) == 141
        assert b"Traceback" not in reader.stderr.read()


def test_moving_effects_show_their_level_over_time():
    from kavri.plot import level_over_time

    times, levels = level_over_time([{"type": "auto_pan", "rate_hz": 1.0}], RATE, seconds=1.0)
    left, right = levels["left -> left"], levels["right -> right"]
    assert times[-1] < 1.0 and set(levels) == {"left -> left", "right -> right"}
    # The tone swings from side to side: each side has a deep dip where the other is loud.
    assert np.ptp(left) > 20 and np.ptp(right) > 20
    assert abs(int(np.argmin(left)) - int(np.argmin(right))) > len(times) // 4
