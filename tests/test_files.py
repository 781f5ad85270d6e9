"""Streaming one file: the same bits as one call over the whole file, the tail of silence,
progress and stop requests, memory that does not grow with the file's length, and
interruption and kill of the command line (nothing half-written, no temporary left)."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
import soundfile as sf

import kavri
from kavri.files import chunk_frames
from kavri.io import ShortFileWarning
from kavri.io import formats as io_formats
from kavri.settings import tail_frames

RATE = 48_000
# Every kind of state a chain keeps: envelopes, a delay line, swept delays, biquad memories
# and the dynamic EQ, whose output depends on where its blocks start.
CHAIN = [
    {"type": "compressor", "threshold_db": -24, "ratio": 4},
    {"type": "chorus"},
    {"type": "delay", "delay_ms": 37, "feedback": 0.5, "mix": 0.4},
    {"type": "dynamic_eq", "threshold_db": -40, "cut_db": -9},
    {"type": "lowpass", "frequency_hz": 9000},
]

# Runs the command line with every chunk slowed down, so a test can act while it works.
SLOW_CLI = textwrap.dedent("""
    import sys, time
    from kavri.steps import ChainStream
    pieces = ChainStream.process_pieces
    def slow(self, chunk):
        time.sleep(0.05)
        return pieces(self, chunk)
    ChainStream.process_pieces = slow
    from kavri.cli import main
    sys.exit(main(sys.argv[1:]))
""")


def music(frames: int, channels: int = 2, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(frames)[:, None] / RATE
    tones = 0.3 * np.sin(2 * np.pi * 220.0 * (1 + 0.01 * np.arange(channels)) * t)
    bursts = (rng.random((frames // 4800 + 1, 1)) < 0.3).repeat(4800, axis=0)[:frames]
    return (tones + 0.4 * bursts * rng.standard_normal((frames, channels))).astype(np.float32)


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "in.wav"
    kavri.write(path, music(2 * RATE + 12_345), RATE)
    return path


@pytest.fixture
def long_source(tmp_path):
    """Thirty seconds: about thirty chunks, long enough to act on while it runs slowed."""
    path = tmp_path / "long.wav"
    kavri.write(path, music(30 * RATE), RATE)
    return path


def temporaries(folder) -> list[str]:
    return sorted(p.name for p in folder.rglob("*.kavri-tmp"))


@pytest.mark.slow
@pytest.mark.parametrize(
    ("block_size", "chunk", "tail"),
    [
        (2048, None, 0.0),
        (0, None, 0.25),  # 0 means 2048, as in the engine
        (512, 700, 0.3),  # chunks of two blocks
        (1000, 1, 0.0101),  # one block per chunk; the tail ends inside a block
    ],
)
def test_streamed_file_has_the_bits_of_one_whole_call(source, tmp_path, block_size, chunk, tail):
    out = tmp_path / "out.wav"
    summary = kavri.process_file(
        source, out, CHAIN, block_size=block_size, chunk=chunk, tail=tail, workers=2
    )
    audio, rate = kavri.read(source)
    extra = round(tail * rate)
    whole = np.concatenate([audio, np.zeros((extra, 2), np.float32)])
    expected = kavri.process(whole, rate, CHAIN, block_size=block_size)
    written, written_rate = kavri.read(out)
    assert written_rate == rate
    assert np.array_equal(written, expected, equal_nan=True)
    assert (summary.input_frames, summary.output_frames) == (len(audio), len(audio) + extra)
    assert temporaries(tmp_path) == []


def test_integer_and_mono_output_match_a_whole_write(tmp_path):
    mono = tmp_path / "mono.flac"
    kavri.write(mono, 1.5 * music(RATE + 999, channels=1)[:, 0], RATE, subtype="pcm24")
    kavri.process_file(mono, tmp_path / "out.flac", CHAIN, subtype="pcm16", tail=0.1)
    audio, _ = kavri.read(mono)
    whole = np.concatenate([audio, np.zeros((4800, 1), np.float32)])
    kavri.write(
        tmp_path / "whole.flac",
        kavri.process(whole, RATE, CHAIN),
        RATE,
        subtype="pcm16",
        dither="tpdf",
    )
    streamed, whole_written = sf.read(tmp_path / "out.flac"), sf.read(tmp_path / "whole.flac")
    assert streamed[0].ndim == 1 and np.array_equal(streamed[0], whole_written[0])
    assert sf.info(tmp_path / "out.flac").subtype == "PCM_16"


def test_tail_lets_an_echo_ring_out(tmp_path):
    # A click on the last frame: its echoes at 100 ms and 200 ms lie wholly in the tail.
    audio = np.zeros((RATE // 10, 1), np.float32)
    audio[-1] = 1.0
    kavri.write(tmp_path / "click.wav", audio, RATE)
    chain = [{"type": "delay", "delay_ms": 100, "feedback": 0.5, "mix": 1.0}]
    cut = kavri.process_file(tmp_path / "click.wav", tmp_path / "cut.wav", chain)
    assert cut.output_frames == len(audio)
    kavri.process_file(tmp_path / "click.wav", tmp_path / "rung.wav", chain, tail=0.25)
    rung = kavri.read(tmp_path / "rung.wav").audio[:, 0]
    assert len(rung) == len(audio) + 12_000
    echoes = np.flatnonzero(rung[len(audio) :])
    assert list(echoes) == [4800 - 1, 9600 - 1]
    assert rung[len(audio) + 4799] == pytest.approx(1.0) and rung[len(audio) + 9599] == 0.5


def test_tail_rounding_and_refusals(source, tmp_path):
    # Seconds x rate to the nearest frame, an exact half to the even frame.
    assert [tail_frames(s, 2) for s in (0.25, 0.75, 1.25, 0.2)] == [0, 2, 2, 0]
    assert tail_frames(0.1, 44_100) == 4410 and tail_frames(0, 48_000) == 0
    for bad in (-0.001, float("nan"), float("inf"), True, "1"):
        with pytest.raises(ValueError, match="tail must be"):
            kavri.process_file(source, tmp_path / "out.wav", CHAIN, tail=bad)
    assert not (tmp_path / "out.wav").exists()


def test_chunks_are_whole_blocks_of_about_a_second():
    assert chunk_frames(48_000, 2048) == 47_104
    assert chunk_frames(44_100, 0) == 45_056
    assert chunk_frames(8_000, 16_384) == 16_384
    assert chunk_frames(48_000, 512, 700) == 1024
    assert chunk_frames(48_000, 1 << 26) == 48_000  # a huge block is collected by the stream


def test_progress_and_stop_between_chunks(source, tmp_path, monkeypatch):
    calls = []
    kavri.process_file(
        source,
        tmp_path / "out.wav",
        CHAIN,
        tail=0.5,
        progress=lambda done, total: calls.append((done, total)),
    )
    total = 2 * RATE + 12_345 + RATE // 2
    assert calls[-1] == (total, total) and len(calls) >= 4
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:], strict=False))

    # A stop request abandons the run: the earlier output stays as it was.
    before = (tmp_path / "out.wav").read_bytes()
    stop = kavri.StopFlag()
    with pytest.raises(kavri.Interrupted, match="out.wav not written"):
        kavri.process_file(
            source,
            tmp_path / "out.wav",
            [{"type": "gain", "db": -6}],
            progress=lambda done, total: stop.set(),
            stop=stop,
        )
    assert (tmp_path / "out.wav").read_bytes() == before
    assert temporaries(tmp_path) == []
    assert stop.exit_status() == 130
    with pytest.raises(ValueError, match="signal's number"):
        kavri.StopFlag().set("TERM")  # its exit status had raised, NaN for a float
    # A stop while a step gives much from little (a long pad, after the input) had waited
    # for all of it: a day's pad wrote gigabytes after the signal.
    from kavri.steps.length import Pad

    stop, pieces = kavri.StopFlag(), Pad.flush_pieces

    def stopped_in_the_pad(step):
        for piece in pieces(step):
            yield piece
            stop.set()

    monkeypatch.setattr(Pad, "flush_pieces", stopped_in_the_pad)
    with pytest.raises(kavri.Interrupted):
        padded = [{"type": "pad", "end_s": 120}]
        kavri.process_file(source, tmp_path / "out.wav", padded, stop=stop)
    assert (tmp_path / "out.wav").read_bytes() == before
    # A stop once the output is in place (as a lossy one is measured after) had been told
    # as "not written", of a file written.
    lossy = tmp_path / "out.mp3"

    class OnceWritten:
        def is_set(self):
            return lossy.exists()

    summary = kavri.process_file(source, lossy, CHAIN, stop=OnceWritten(), measure=True)
    assert summary.measurement is not None and summary.decoded


def test_bad_files_fail_with_their_name_and_write_nothing(source, tmp_path):
    with pytest.raises(kavri.AudioFileError, match="missing.wav: no such file"):
        kavri.process_file(tmp_path / "missing.wav", tmp_path / "out.wav", CHAIN)
    (tmp_path / "text.wav").write_text("not audio")
    with pytest.raises(kavri.AudioFileError, match="text.wav: not a readable audio file"):
        kavri.process_file(tmp_path / "text.wav", tmp_path / "out.wav", CHAIN)
    with pytest.raises(kavri.AudioFileError, match="unknown output format '.mp4'"):
        kavri.process_file(source, tmp_path / "out.mp4", CHAIN)
    with pytest.raises(kavri.ChainError):
        kavri.process_file(source, tmp_path / "out.wav", [{"type": "gain", "dbb": 1}])
    with pytest.raises(kavri.AudioFileError, match="nowhere/out.wav: cannot write: folder"):
        kavri.process_file(source, tmp_path / "nowhere" / "out.wav", CHAIN)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav", "text.wav"]


def test_output_may_replace_its_input(source):
    audio, _ = kavri.read(source)
    kavri.process_file(source, source, CHAIN)
    assert np.array_equal(kavri.read(source).audio, kavri.process(audio, RATE, CHAIN))


def write_long(path, seconds: int, rate: int) -> None:
    rng = np.random.default_rng(1)
    with sf.SoundFile(path, "w", rate, 2, "FLOAT") as handle:
        for _ in range(seconds):
            handle.write((0.2 * rng.standard_normal((rate, 2))).astype(np.float32))


@pytest.mark.slow
# The sanitizer's shadow memory and quarantine grow with what a run has freed, whatever
# the program itself holds.
@pytest.mark.skipif(
    os.environ.get("KAVRI_SANITIZED") == "1",
    reason="resident memory means nothing under the address sanitizer",
)
def test_memory_does_not_grow_with_the_file(tmp_path):
    """Peak resident memory of `kavri process` on 1 and 10 minutes: the whole file held in
    memory would add well over 100 MB here; streaming adds next to nothing."""
    rate = 16_000
    peaks = []
    for minutes in (1, 10):
        name = tmp_path / f"{minutes}.wav"
        write_long(name, 60 * minutes, rate)
        # Each measurement in its own parent: RUSAGE_CHILDREN keeps the largest child's peak.
        script = textwrap.dedent(f"""
            import resource, subprocess, sys
            done = subprocess.run([sys.executable, "-m", "kavri", "process", {str(name)!r},
                                   {str(tmp_path / "out.wav")!r}, "--quiet", "--tail", "1",
                                   "--effect", "delay", "--effect", "dynamic_eq"])
            print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
        """)
        result = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=600, check=True
        )
        status, peak_kib = result.stdout.split()[-2:]
        assert status == "0", result.stderr
        peaks.append(int(peak_kib))
        name.unlink()
    assert abs(peaks[1] - peaks[0]) < 16 * 1024, peaks


def wait_for(condition, process, what: str) -> None:
    """Polls until the condition holds; fails if the process ends first."""
    deadline = time.monotonic() + 120
    while not condition():
        assert process.poll() is None, f"ended before {what}: {process.communicate()}"
        assert time.monotonic() < deadline, f"never saw {what}"
        time.sleep(0.01)


@pytest.mark.slow
@pytest.mark.parametrize(
    ("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]
)
def test_signal_stops_process_without_leaving_a_file(long_source, tmp_path, signum, status):
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            SLOW_CLI,
            "process",
            "long.wav",
            "out.wav",
            "--effect",
            "delay",
            "--tail",
            "2",
        ],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for(lambda: temporaries(tmp_path), child, "the temporary output")
    child.send_signal(signum)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == status
    assert stderr == "kavri: interrupted; out.wav not written\n" and stdout == ""
    assert not (tmp_path / "out.wav").exists() and temporaries(tmp_path) == []


def test_signals_outside_a_run_clean_up_and_an_ignored_hangup_stays_ignored(tmp_path):
    # SIGTERM or SIGHUP to a command that does not stop between chunks (plot, demo) ended
    # the process at once, its temporary left; and a run under nohup must not stop when its
    # terminal closes.
    script = """
        import os, signal
        from kavri._stop import interrupting_signals, stop_on_signals
        from kavri.io import atomic_output
        for number in (signal.SIGTERM, signal.SIGHUP):
            try:
                with interrupting_signals(), atomic_output("out.bin") as temporary:
                    open(temporary, "wb").write(b"half")
                    os.kill(os.getpid(), number)
            except KeyboardInterrupt as interrupt:
                print("interrupted", interrupt.signal)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        with stop_on_signals() as stop:
            os.kill(os.getpid(), signal.SIGHUP)
        print("stopped" if stop.is_set() else "ignored")
    """
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.stdout == "interrupted 15\ninterrupted 1\nignored\n", run.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.slow
def test_temporaries_of_a_killed_run_go_with_the_next_write(long_source, tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", SLOW_CLI, "process", "long.wav", "out.wav", "--effect", "gain"],
        cwd=tmp_path,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    wait_for(lambda: temporaries(tmp_path), child, "the temporary output")
    child.kill()
    child.wait(timeout=60)
    left = temporaries(tmp_path)
    assert len(left) == 1 and left[0].startswith(".out.wav.")
    # Look-alikes of other outputs stay: they may belong to writes still running.
    others = [".out.wav.x.wav.abcd1234.kavri-tmp", ".other.wav.abcd1234.kavri-tmp"]
    for name in others:
        (tmp_path / name).write_bytes(b"")
    kavri.process_file(long_source, tmp_path / "out.wav", [{"type": "gain"}])
    assert temporaries(tmp_path) == sorted(others)
    assert np.array_equal(kavri.read(tmp_path / "out.wav").audio, kavri.read(long_source).audio)


@pytest.mark.slow
def test_cli_tail_and_its_refusals(source, tmp_path):
    def cli(*args):
        return subprocess.run(
            [sys.executable, "-m", "kavri", "process", *args],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )

    done = cli("in.wav", "out.wav", "--effect", "delay", "--tail", "0.5", "--quiet")
    assert done.returncode == 0 and done.stderr == ""
    assert f"{2 * RATE + 12_345} + 24000 tail frames x 2 channels" in done.stdout
    assert sf.info(tmp_path / "out.wav").frames == 2 * RATE + 12_345 + 24_000
    # Not a number: the parser's usage error; a number out of range: the library's one line.
    for bad, status in (("-1", 1), ("nan", 2), ("inf", 2), ("soon", 2)):
        refused = cli("in.wav", "bad.wav", "--effect", "delay", "--tail", bad)
        assert refused.returncode == status and "--tail" in refused.stderr, bad
    assert not (tmp_path / "bad.wav").exists()


def run_on_terminal(args, cwd) -> tuple[int, str]:
    """Runs the slowed command line with stderr on a pseudo-terminal; returns its status and
    what it wrote there."""
    import fcntl
    import pty
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    child = subprocess.Popen(
        [sys.executable, "-c", SLOW_CLI, *args], cwd=cwd, stderr=slave, stdout=subprocess.DEVNULL
    )
    os.close(slave)
    seen = b""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # the terminal closes with the child
            break
        if not data:
            break
        seen += data
    os.close(master)
    return child.wait(timeout=120), seen.decode(errors="replace")


@pytest.mark.slow
def test_progress_bar_on_a_terminal_only_unless_quiet(long_source, tmp_path):
    status, shown = run_on_terminal(
        ["process", "long.wav", "out.wav", "--effect", "delay"], tmp_path
    )
    assert status == 0 and "kavri:" in shown and "frame/s" in shown and "1.44M" in shown
    status, shown = run_on_terminal(
        ["process", "long.wav", "out.wav", "--effect", "delay", "--quiet"], tmp_path
    )
    assert status == 0 and shown == ""


@pytest.mark.slow
def test_signals_are_honoured_while_input_is_read(tmp_path, handling):
    """An endless standard input and a FIFO that no writer opens: the first SIGTERM ends the
    wait or the copy, the status says which signal, and nothing is left behind."""
    endless = subprocess.Popen(
        [sys.executable, "-m", "kavri", "process", "-", "out.wav", "--effect", "gain"],
        cwd=tmp_path,
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert endless.stdin is not None
    handling(endless, signal.SIGTERM)
    endless.stdin.write(b"RIFF" + bytes(1 << 20))
    time.sleep(0.2)
    endless.send_signal(signal.SIGTERM)
    try:
        while endless.poll() is None:
            endless.stdin.write(bytes(1 << 16))
    except BrokenPipeError:
        pass
    assert endless.wait(timeout=30) == 143
    endless.stdin.close()
    endless.stderr.close()
    os.mkfifo(tmp_path / "fifo.wav")
    waiting = subprocess.Popen(
        [sys.executable, "-m", "kavri", "process", "fifo.wav", "o.wav", "--effect", "gain"],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
    )
    handling(waiting, signal.SIGTERM)
    time.sleep(0.2)
    waiting.send_signal(signal.SIGTERM)
    assert waiting.wait(timeout=30) == 143
    waiting.stderr.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo.wav"]


@pytest.mark.slow
def test_an_input_that_cannot_seek_gets_every_pass(source, tmp_path):
    # A pipe given by name, as <(cat in.wav) gives it: the loudness target reads it twice.
    read_end, write_end = os.pipe()
    feeder = subprocess.Popen(["cat", str(source)], stdout=write_end)
    os.close(write_end)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "kavri",
            "process",
            f"/dev/fd/{read_end}",
            "out.wav",
            "--effect",
            "gain",
            "--loudness",
            "-20",
        ],
        cwd=tmp_path,
        pass_fds=(read_end,),
        capture_output=True,
        text=True,
    )
    os.close(read_end)
    feeder.wait()
    assert result.returncode == 0, result.stderr
    assert np.array_equal(
        kavri.read(tmp_path / "out.wav").audio,
        kavri.process(kavri.read(source).audio, RATE, [{"type": "gain"}], loudness=-20),
    )


@pytest.mark.slow
def test_files_that_end_early_or_outgrow_their_container_are_reported(tmp_path, monkeypatch):
    audio = music(RATE * 3, channels=1)
    kavri.write(tmp_path / "whole.mp3", audio, RATE)
    data = (tmp_path / "whole.mp3").read_bytes()
    (tmp_path / "cut.mp3").write_bytes(data[: len(data) // 2])
    result = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "cut.mp3", "out.wav", "--effect", "gain"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0
    assert "kavri: warning: cut.mp3: the file ends early: it holds" in result.stderr
    with pytest.warns(ShortFileWarning):
        kavri.measure_file(tmp_path / "cut.mp3")
    # A float WAV that would pass its 32-bit sizes is written as RF64, and said to be.
    monkeypatch.setattr(io_formats, "SIZE_FIELD_LIMIT", RATE * 4)
    summary = kavri.process_file(tmp_path / "whole.mp3", tmp_path / "big.wav", [])
    assert any("RF64" in note for note in summary.warnings)
    assert kavri.read(tmp_path / "big.wav").audio.shape[0] == summary.output_frames


@pytest.mark.slow
def test_a_tiny_file_with_many_channels_and_a_huge_rate_costs_what_it_holds(tmp_path):
    """Ten frames of 1,024 channels at 2**31 - 1 Hz: the read buffer is what the file holds,
    not "a second" of its rate, so the command runs in an address space of 1 GiB."""
    sf.write(tmp_path / "wide.wav", np.zeros((10, 1024), np.float32), 2**31 - 1, subtype="PCM_16")
    limited = textwrap.dedent("""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from kavri.cli import main
        sys.exit(main(sys.argv[1:]))
    """)
    for args in (["process", "wide.wav", "out.wav", "--effect", "gain"], ["meter", "wide.wav"]):
        done = subprocess.run(
            [sys.executable, "-c", limited, *args],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr
    assert sf.info(tmp_path / "out.wav").frames == 10
