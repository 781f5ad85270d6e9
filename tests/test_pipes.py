"""Pipes as streams: WAV written to standard output with a header of unknown length (RIFF
and data sizes 0xFFFFFFFF) that soundfile, FFmpeg and SoX read back; the first bytes leave
before the input has ended; a WAV stream is read from a pipe without a spool (anything else
is still spooled); raw PCM in every encoding both ways; a second pass spools."""

from __future__ import annotations

import io
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import soundfile as sf

import kavri
import kavri.io.reading as reading
from kavri.io import ENCODINGS, RawFormat
from kavri.io.pipes import wav_stream_header

RATE = 8_000


def grid_noise(frames: int, channels: int = 2, bits: int = 16, seed: int = 9) -> np.ndarray:
    """Noise on a grid of ``bits`` bits, which every encoding of as many bits holds exactly."""
    rng = np.random.default_rng(seed)
    steps = rng.integers(-(2 ** (bits - 1)), 2 ** (bits - 1), (frames, channels))
    return (steps / 2.0 ** (bits - 1)).astype(np.float32)


def to_stdout(monkeypatch, write) -> bytes:
    """What ``write()`` sends to standard output."""
    buffer = io.BytesIO()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(buffer))
    write()
    return buffer.getvalue()


@pytest.mark.parametrize("subtype", ["float", "pcm16", "pcm24", "pcm32", "double"])
def test_wav_to_a_pipe_states_no_length_and_reads_back(tmp_path, monkeypatch, subtype):
    audio = grid_noise(3000, bits=16)
    data = to_stdout(
        monkeypatch,
        lambda: kavri.write("-", audio, RATE, subtype, tags={"title": "Piped"}),
    )
    assert data[:4] == b"RIFF" and struct.unpack_from("<I", data, 4)[0] == 0xFFFFFFFF
    start = data.index(b"data")
    assert struct.unpack_from("<I", data, start + 4)[0] == 0xFFFFFFFF
    assert b"INAM" in data[:start] and b"Piped\0" in data[:start]
    (tmp_path / "piped.wav").write_bytes(data)
    # libsndfile counts the frames the file really holds.
    back, rate = sf.read(tmp_path / "piped.wav", dtype="float32")
    assert rate == RATE and np.array_equal(back, audio)
    for tool, command in (
        ("ffmpeg", ["ffmpeg", "-v", "error", "-i", "piped.wav", "-f", "f32le", "-"]),
        ("sox", ["sox", "-V1", "piped.wav", "-t", "f32", "-"]),
    ):
        if shutil.which(tool) is None:
            continue
        done = subprocess.run(command, cwd=tmp_path, capture_output=True, check=True)
        assert np.array_equal(np.frombuffer(done.stdout, np.float32).reshape(-1, 2), audio), tool
    with pytest.raises(kavri.AudioFileError, match="more bytes a second"):
        wav_stream_header(2**31 - 1, 1024, "DOUBLE")


class _Sipping(io.RawIOBase):
    """A raw standard output (Python run with -u) that takes at most 4 KiB a write and says
    so, as a pipe's write may when a signal comes."""

    def __init__(self) -> None:
        self.data = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, chunk) -> int:
        taken = bytes(memoryview(chunk).cast("B")[:4096])
        self.data += taken
        return len(taken)


@pytest.mark.parametrize("form", ["wav", "flac", "ogg"])
def test_every_byte_reaches_a_raw_standard_output(tmp_path, monkeypatch, form):
    # Each partial write's count was ignored: the FLAC and Ogg on standard output had holes
    # or stopped at 64 KiB, with a report of success.
    audio = grid_noise(40_000, bits=16)
    kavri.write(tmp_path / "in.wav", audio, RATE, "pcm16")
    # An Ogg with a loudness target is the best of trial encodings, copied out at the end.
    settings = {"loudness": -20.0} if form == "ogg" else {"subtype": "pcm16"}
    sink = _Sipping()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(sink, write_through=True))
    kavri.process_file(tmp_path / "in.wav", "-", [], file_format=form, **settings)
    monkeypatch.undo()
    kavri.process_file(tmp_path / "in.wav", tmp_path / f"whole.{form}", [], **settings)
    whole = (tmp_path / f"whole.{form}").read_bytes()
    if form == "wav":
        assert sink.data[44:] == whole[44:]  # the stream's header states no length
    else:
        assert bytes(sink.data) == whole


def test_a_reader_gone_from_a_spooled_format_ends_quietly(tmp_path):
    kavri.write(tmp_path / "in.wav", grid_noise(400_000, bits=16), RATE, "pcm16")
    for form in ("flac", "ogg"):
        child = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "kavri",
                "process",
                "in.wav",
                "-",
                "--format",
                form,
                "--effect",
                "gain",
            ],
            cwd=tmp_path,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        child.stdout.read(100)
        child.stdout.close()
        with child.stderr:
            assert child.wait(timeout=120) == 141, form
            assert child.stderr.read() == b"", form


def piped(write_into, target):
    """Runs ``target(read_descriptor)`` while ``write_into(write_descriptor)`` feeds it."""
    read_end, write_end = os.pipe()

    def feed():
        with os.fdopen(write_end, "wb") as out:
            write_into(out)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with os.fdopen(read_end, "rb") as stream:
            return target(stream)
    finally:
        feeder.join()


def test_a_wav_stream_is_read_without_a_spool_and_others_with_one(tmp_path, monkeypatch):
    audio = grid_noise(RATE, bits=24)
    kavri.write(tmp_path / "in.wav", audio, RATE, "pcm24", tags={"artist": "Pipe"})
    kavri.write(tmp_path / "in.flac", audio, RATE)
    spooled = []
    real_spool = reading._spooled

    def counting_spool(*args, **kwargs):
        spooled.append(args[1])
        return real_spool(*args, **kwargs)

    monkeypatch.setattr(reading, "_spooled", counting_spool)

    def read_stdin(name, **options):
        def target(stream):
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stream))
            return name, kavri.read("-", **options)

        payload = (tmp_path / name).read_bytes()
        return piped(lambda out: out.write(payload), target)[1]

    assert np.array_equal(read_stdin("in.wav").audio, audio) and spooled == []
    with reading.open_source(tmp_path / "in.wav") as opened:
        assert opened.tags() == {"artist": "Pipe"}
    assert np.array_equal(read_stdin("in.flac").audio, audio) and spooled == ["standard input"]
    # 24-bit samples in 32-bit slots (a block align of 8 for stereo) were read from a pipe
    # as packed 24-bit ones: noise, and a third more frames. They go through the spool.
    wide = np.zeros((RATE, 2), "<i4")
    wide[:] = np.round(audio * 2.0**23).astype("<i4") << 8
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 8, 8, 24)
    body = b"WAVE" + fmt + b"data" + struct.pack("<I", wide.nbytes) + wide.tobytes()
    (tmp_path / "slots.wav").write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    assert np.array_equal(read_stdin("slots.wav").audio, kavri.read(tmp_path / "slots.wav").audio)
    assert spooled[-1] == "standard input" and len(spooled) == 2
    # Raw PCM from a pipe is a stream too.
    raw = (audio * 2.0**15).astype("<i2")
    payload = raw.tobytes()
    got = piped(
        lambda out: out.write(payload),
        lambda stream: (
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stream)),
            kavri.read("-", raw=RawFormat(RATE, 2, "s16le")),
        )[1],
    )
    assert np.array_equal(got.audio, raw / 2.0**15) and len(spooled) == 2


def test_raw_pcm_in_every_encoding_round_trips(tmp_path):
    chain = [{"type": "gain", "db": 0}]
    for encoding, (subtype, width) in ENCODINGS.items():
        bits = 16 if width == 2 else 24
        audio = grid_noise(1500, 3, bits)
        source = tmp_path / f"in.{encoding}.raw"
        kavri.write(source, audio, RATE, subtype)
        assert source.stat().st_size == 1500 * 3 * width, encoding
        output = tmp_path / f"out.{encoding}.raw"
        kavri.process_file(
            source, output, chain, raw=RawFormat(RATE, 3, encoding), subtype=subtype, dither="none"
        )
        assert output.read_bytes() == source.read_bytes(), encoding
        back = kavri.read(output, raw=RawFormat(RATE, 3, encoding)).audio
        assert np.array_equal(back, audio), encoding
    # A last frame cut short was left out without a word.
    cut = tmp_path / "cut.raw"
    cut.write_bytes(source.read_bytes()[:-2])
    short = f"cut.raw: ends with {3 * width - 2} bytes short of a whole frame, left out"
    with pytest.warns(kavri.io.ShortFileWarning, match=short):
        assert kavri.read(cut, raw=RawFormat(RATE, 3, encoding)).audio.shape == (1499, 3)
    summary = kavri.process_file(cut, tmp_path / "cut.wav", chain, raw=RawFormat(RATE, 3, encoding))
    assert summary.warnings == (f"{tmp_path / short}",)
    with pytest.raises(kavri.AudioFileError, match="unknown raw encoding 'u4'"):
        RawFormat(RATE, 2, "u4")
    # Whole numbers as everywhere else: NumPy's and a whole float (both had been refused).
    assert RawFormat(np.int64(RATE), np.int32(3)) == RawFormat(float(RATE), 3)
    assert type(RawFormat(float(RATE), 3).sample_rate) is int
    for rate in (RATE + 0.5, True, 0):
        with pytest.raises(kavri.AudioFileError, match="needs a sample rate from 1 to"):
            RawFormat(rate, 2)
    with pytest.raises(kavri.AudioFileError, match="raw output holds pcm16"):
        kavri.write(tmp_path / "x.raw", audio, RATE, "vorbis")


def wav_payload(audio: np.ndarray, rate: int) -> bytes:
    buffer = io.BytesIO()
    sf.write(buffer, audio, rate, "FLOAT", format="WAV")
    return buffer.getvalue()


@pytest.mark.slow
def test_first_bytes_leave_before_the_input_ends(tmp_path):
    """The input arrives one second of audio at a time; the processed stream must start
    before the last one is sent, which a spool of the input could not do."""
    rate = 48_000
    audio = grid_noise(4 * rate, bits=16)
    payload = wav_payload(audio, rate)
    header = payload.index(b"data") + 8
    per_second = rate * 2 * 4
    with subprocess.Popen(
        [sys.executable, "-m", "kavri", "process", "-", "-", "--effect", "gain:db=0", "--quiet"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as child:
        received, streamed = _watch(child, payload, header, per_second)
        code, errors = child.wait(timeout=60), child.stderr.read() if child.stderr else b""
    assert code == 0, errors
    assert streamed, "no output before the input ended"
    (tmp_path / "out.wav").write_bytes(received)
    assert np.array_equal(sf.read(tmp_path / "out.wav", dtype="float32")[0], audio)


def _watch(child, payload, header, per_second):
    """Feeds the child two seconds, waits for a second's output, then sends the rest."""
    assert child.stdin is not None and child.stdout is not None
    rest = threading.Event()

    def feed():
        # Two seconds, then the rest only once output has been seen.
        child.stdin.write(payload[: header + 2 * per_second])
        child.stdin.flush()
        rest.wait(60)
        child.stdin.write(payload[header + 2 * per_second :])
        child.stdin.close()

    feeder = threading.Thread(target=feed)
    feeder.start()
    received = b""
    deadline = time.monotonic() + 60
    while len(received) < per_second and time.monotonic() < deadline:
        ready, _, _ = select.select([child.stdout], [], [], 1.0)
        if ready:
            received += os.read(child.stdout.fileno(), 1 << 20)
    streamed = len(received) >= per_second
    rest.set()
    received += child.stdout.read()
    feeder.join()
    return received, streamed


@pytest.mark.slow
def test_raw_and_loudness_through_pipes_on_the_command_line(tmp_path, run_kavri):
    audio = grid_noise(RATE, bits=16)
    raw = (audio * 2.0**15).astype("<i2").tobytes()
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "kavri",
            "process",
            "-",
            "-",
            "--input-format",
            "raw",
            "--input-rate",
            str(RATE),
            "--input-channels",
            "2",
            "--encoding",
            "s16le",
            "--format",
            "raw",
            "--effect",
            "gain:db=0",
            "--dither",
            "none",
            "--quiet",
        ],
        input=raw,
        capture_output=True,
        check=True,
    )
    assert done.stdout == raw
    # A loudness target reads the input twice: the pipe is spooled, and it still works.
    loud = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "-", "-", "--loudness", "-20", "--quiet"],
        input=wav_payload(audio, RATE),
        capture_output=True,
        check=True,
    )
    (tmp_path / "loud.wav").write_bytes(loud.stdout)
    assert abs(kavri.measure_file(tmp_path / "loud.wav").integrated_lufs + 20) < 0.5
    # So does noise at a ratio to the input's power, which measures the whole input first;
    # it gives the samples it gives a file.
    kavri.write(tmp_path / "in.wav", audio, RATE)
    noisy = ["--effect", "noise:snr_db=10", "--quiet"]
    piped_out = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "-", "-", *noisy],
        input=wav_payload(audio, RATE),
        capture_output=True,
    )
    assert piped_out.returncode == 0, piped_out.stderr
    (tmp_path / "piped.wav").write_bytes(piped_out.stdout)
    assert run_kavri("process", "in.wav", "file.wav", *noisy, cwd=tmp_path).returncode == 0
    assert np.array_equal(
        kavri.read(tmp_path / "piped.wav").audio, sf.read(tmp_path / "file.wav", dtype="float32")[0]
    )
    refused = run_kavri("process", "in.raw", "out.wav", "--effect", "gain", cwd=tmp_path)
    assert refused.returncode == 1 and "raw input needs --input-rate HZ and --input-channels N" in (
        refused.stderr
    )
    # The meter reads raw PCM as process does: it had taken it for an MP3 (0.67 s, exit 0).
    (tmp_path / "in.raw").write_bytes(raw)
    described = ("--input-rate", str(RATE), "--input-channels", "2", "--encoding", "s16le")
    metered = run_kavri("meter", "in.raw", "--json", *described, cwd=tmp_path)
    assert json.loads(metered.stdout)[0]["frames"] == audio.shape[0]
    bare = run_kavri("meter", "in.raw", cwd=tmp_path)
    assert bare.returncode == 1 and "raw input needs --input-rate" in bare.stderr


def _stream_header(kind: str) -> bytes:
    """A WAV header as a writer into a pipe makes it: sizes it does not know yet."""
    pcm = struct.pack("<HHIIHH", 1, 2, RATE, RATE * 4, 4, 16)
    if kind == "rf64":  # ds64 states no size either (ffmpeg -rf64 always)
        ds64 = b"ds64" + struct.pack("<I", 28) + struct.pack("<QQQI", 0, 0, 0, 0)
        return (
            b"RF64\xff\xff\xff\xffWAVE"
            + ds64
            + b"fmt "
            + struct.pack("<I", 16)
            + pcm
            + (b"data\xff\xff\xff\xff")
        )
    if kind == "plain":
        fmt = b"fmt " + struct.pack("<I", 16) + pcm
        return b"RIFF\xff\xff\xff\xffWAVE" + fmt + b"data\xff\xff\xff\xff"
    guid = struct.pack("<H", 1) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    extensible = struct.pack("<HHIIHHHHI", 0xFFFE, 2, RATE, RATE * 6, 6, 24, 22, 24, 3) + guid
    fmt = b"fmt " + struct.pack("<I", len(extensible)) + extensible
    return b"RIFF\xff\xff\xff\xffWAVE" + fmt + b"data\xff\xff\xff\xff"


@pytest.mark.parametrize(
    ("kind", "out"), [("rf64", "out.wav"), ("extensible", "out.wav"), ("plain", "out.flac")]
)
def test_streams_of_unstated_length_are_read_as_they_come(tmp_path, kind, out):
    # An RF64 stream was taken as empty (a file of no frames, exit status 0); an extensible
    # one (24-bit from ffmpeg) was not recognised and was copied to the disk first; any
    # such stream was refused for FLAC, MP3 and Opus output as having no frames.
    from kavri.io.pipes import ByteSource, parse_wav_header

    width = 3 if kind == "extensible" else 2
    ints = np.arange(-600, 600, dtype=np.int64).reshape(-1, 2) * 50
    body = b"".join(int(v).to_bytes(width, "little", signed=True) for v in ints.ravel())
    reader, writer = os.pipe()
    os.write(writer, _stream_header(kind) + body)
    os.close(writer)
    with os.fdopen(reader, "rb") as handle:
        header = parse_wav_header(ByteSource("stdin", descriptor=handle.fileno()), pipe=True)
    assert header is not None and header.data_bytes is None
    done = subprocess.run(
        [sys.executable, "-m", "kavri", "process", "-", out, "--effect", "gain", "--quiet"],
        input=_stream_header(kind) + body,
        cwd=tmp_path,
        capture_output=True,
    )
    assert done.returncode == 0, done.stderr
    scale = 2.0 ** (8 * width - 1)
    assert np.array_equal(sf.read(tmp_path / out)[0], ints / scale)
