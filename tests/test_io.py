"""The file layer: every format round-trips short and empty audio or refuses it up front,
output does not depend on how the audio was cut into writes, containers' size limits are
known before the first sample, temporaries of live writers are safe and those of dead ones
go without a scan of the target's folder, inputs that cannot seek are copied within bounds
and stop on request, and closed standard streams are named."""

from __future__ import annotations

import errno
import os
import subprocess
import sys
import tempfile
import threading
import tracemalloc
import warnings

import numpy as np
import pytest
import soundfile as sf

import kavri
import kavri.io.atomic
import kavri.io.formats
import kavri.io.reading
from kavri import AudioFileError, Interrupted
from kavri.io import BlockReader, ContainerWarning, ShortFileWarning, input_path, open_input
from kavri.io.atomic import TEMPORARY_FOLDER, atomic_output, is_temporary
from kavri.io.writing import ENCODER_BLOCK_FRAMES, open_output

RATE = 48_000


def noise(frames: int, channels: int = 2, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (0.3 * rng.standard_normal((frames, channels))).astype(np.float32).clip(-1, 1)


def entries(folder) -> list[str]:
    return sorted(p.name for p in folder.rglob("*"))


# --- every format, short and empty ----------------------------------------------------------

FORMATS = [
    (".wav", None),
    (".wav", "double"),
    (".wav", "pcm16"),
    (".wav", "pcm24"),
    (".flac", None),
    (".flac", "pcm16"),
    (".ogg", None),
    (".opus", None),
    (".mp3", None),
    (".aiff", None),
    (".aiff", "double"),
    (".aiff", "pcm16"),
    (".aiff", "pcm24"),
    (".caf", None),
    (".caf", "double"),
    (".caf", "pcm16"),
    (".caf", "pcm24"),
    (".w64", None),
    (".w64", "double"),
    (".w64", "pcm16"),
    (".w64", "pcm24"),
]
EMPTY_REFUSED = {".flac", ".opus", ".mp3"}


@pytest.mark.parametrize(("suffix", "subtype"), FORMATS)
def test_short_and_empty_audio_round_trips_or_is_refused_up_front(tmp_path, suffix, subtype):
    path = tmp_path / f"x{suffix}"
    for frames in (0, 1, 2, 3, 6):
        audio = noise(frames)
        if frames == 0 and suffix in EMPTY_REFUSED:
            with pytest.raises(
                AudioFileError,
                match=r"x\.\w+: the audio has no frames, and an "
                r"empty \w+ file cannot be read back",
            ):
                kavri.write(path, audio, RATE, subtype)
            assert entries(tmp_path) == []
            # Streamed, the length is known only at the end: refused then, nothing left.
            with (
                pytest.raises(AudioFileError, match="the audio has no frames"),
                open_output(path, RATE, 2, subtype),
            ):
                pass
            assert entries(tmp_path) == []
            continue
        kavri.write(path, audio, RATE, subtype)
        back = kavri.read(path).audio
        assert back.shape == (frames, 2), (frames, back.shape)
        assert np.isfinite(back).all() and np.abs(back).max(initial=0) <= 1.0
        if subtype in (None, "double") and suffix not in (".flac", ".ogg", ".opus", ".mp3"):
            assert np.array_equal(back, audio)
        assert entries(tmp_path) == [path.name]


def test_an_odd_number_of_8_bit_samples_round_trips(tmp_path):
    # libsndfile counts an 8-bit AIFF file's pad byte as a frame: the check of the written
    # file refused it ("holds 6 frames ... after writing 5"), after the whole job had run.
    for frames, channels in ((5, 1), (3, 3)):
        audio = np.round(noise(frames, channels) * 100) / 128
        for suffix, subtype in ((".aiff", "PCM_S8"), (".wav", "PCM_U8")):
            kavri.write(tmp_path / f"x{suffix}", audio, RATE, subtype)
            assert np.array_equal(kavri.read(tmp_path / f"x{suffix}").audio, audio)


@pytest.mark.parametrize(("suffix", "subtype"), FORMATS)
def test_the_same_audio_gives_the_same_bytes_however_it_is_cut(tmp_path, suffix, subtype):
    audio = noise(3 * ENCODER_BLOCK_FRAMES + 1234)
    kavri.write(tmp_path / f"whole{suffix}", audio, RATE, subtype)
    expected = (tmp_path / f"whole{suffix}").read_bytes()
    for step in (ENCODER_BLOCK_FRAMES, 1000, 48_000 // 7, 1):
        path = tmp_path / f"cut{step}{suffix}"
        with open_output(path, RATE, 2, subtype) as writer:
            for start in range(0, len(audio), step):
                writer.write(audio[start : start + step])
        assert path.read_bytes() == expected, step
    # A write after the block: an MP3's or Ogg's took the frames and dropped them.
    with pytest.raises(kavri.AudioFileError, match="cannot write: the file is already complete"):
        writer.write(audio[:10])


# --- reading in blocks ----------------------------------------------------------------------


def test_samples_an_integer_format_cannot_hold_are_counted_once_as_written(tmp_path):
    # An infinity was counted clipped and not finite both, and said to be written as 0,
    # where it is written at full scale.
    samples = np.array([[np.inf], [-np.inf], [np.nan], [2.0], [0.5]], np.float32)
    stats = kavri.write(tmp_path / "x.wav", samples, RATE, subtype="pcm16")
    assert (stats.clipped, stats.nonfinite) == (1, 3)
    back = kavri.read(tmp_path / "x.wav").audio[:, 0] * 32768
    assert back.tolist() == [32767, -32768, 0, 32767, 16384]


def test_block_buffer_is_bounded_by_the_frames_the_file_holds(tmp_path, monkeypatch):
    # 10 frames x 1,024 channels at the highest sample rate: "a second" of it would be
    # 2**20 frames x 1,024 channels, 4 GiB, which libsndfile zero-fills on the short read.
    path = tmp_path / "wide.wav"
    sf.write(path, np.full((10, 1024), 0.5, np.float32), 2**31 - 1, "FLOAT")
    with open_input(str(path)) as source:
        reader = BlockReader(source, 1 << 20, "wide.wav")
        assert reader.buffer_bytes == 10 * 1024 * 4
        tracemalloc.start()
        try:
            for _ in range(2):  # each pass starts again at the first frame
                blocks = [block.copy() for block in reader]
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert peak < 4 * reader.buffer_bytes
    assert [b.shape for b in blocks] == [(10, 1024)] and (blocks[0] == 0.5).all()
    assert (reader.frames_read, reader.frames_claimed, reader.ended_early) == (10, 10, False)
    monkeypatch.setattr(kavri.io.reading, "BLOCK_BYTES_LIMIT", 3 * 1024 * 4)
    with open_input(str(path)) as source:
        assert [len(b) for b in BlockReader(source, 1 << 20, "wide.wav")] == [3, 3, 3, 1]


@pytest.mark.parametrize(
    "suffix", [".wav", ".flac", ".ogg", ".opus", ".mp3", ".aiff", ".caf", ".w64"]
)
def test_a_cut_file_is_refused_or_reports_what_it_holds(tmp_path, suffix):
    """libsndfile counts the frames really there in WAV, AIFF, W64, Ogg and Opus, and
    refuses cut CAF files; an MP3 header only estimates, a WAV's data chunk states its
    size, and a cut FLAC is read up to where its decoder loses sync (it had been refused):
    a cut MP3, WAV or FLAC ends early."""
    whole = tmp_path / f"whole{suffix}"
    kavri.write(whole, noise(RATE), RATE)
    cut = tmp_path / f"cut{suffix}"
    cut.write_bytes(whole.read_bytes()[: len(whole.read_bytes()) // 2])
    try:
        with open_input(str(cut), "cut") as source:
            reader = BlockReader(source, 4096, "cut")
            total = sum(len(block) for block in reader)
    except AudioFileError as error:
        assert suffix == ".caf", error
        assert str(error).startswith(("cut: not a readable audio file (", "cut: cannot read: "))
        return
    assert total == reader.frames_read and 0 < total < RATE
    if suffix not in (".mp3", ".wav", ".flac"):
        assert not reader.ended_early and reader.shortfall() is None
        return
    assert reader.ended_early and reader.frames_stated == RATE
    assert reader.shortfall() == (
        f"cut: the file ends early: it holds {total} frames, its header claims {RATE}"
    )
    with pytest.warns(ShortFileWarning, match=f"holds {total} frames, its header claims {RATE}"):
        assert kavri.read(cut).audio.shape == (total, 2)
    # Where the damage ends the file does not depend on the block size read in.
    with open_input(str(cut), "cut") as source:
        first = np.concatenate([b.copy() for b in BlockReader(source, 4096, "cut")])
    for size in (1000, 1 << 20):
        with open_input(str(cut), "cut") as source:
            blocks = [b.copy() for b in BlockReader(source, size, "cut")]
        assert np.array_equal(np.concatenate(blocks), first)


def test_a_wav_saved_from_sox_s_pipe_output_is_not_said_to_end_early(tmp_path):
    # SoX and espeak-ng write 0x7FFFF000 (down to whole frames) as the data size of a WAV
    # sent into a pipe: "espeak-ng --stdout hi > hi.wav" was said to claim 1 GiB and end
    # early, on every read and as a noise file. A WAV whose stated size is near it but
    # past a frame's bytes is still cut.
    audio = noise(RATE)  # two channels of float: 8 bytes a frame
    kavri.write(tmp_path / "base.wav", audio, RATE)
    data = (tmp_path / "base.wav").read_bytes()
    at = data.index(b"data") + 4
    for stated, cut in ((0x7FFFF000 - 7, False), (0x7FFFF000 - 8, True)):
        patched = data[:at] + stated.to_bytes(4, "little") + data[at + 4 :]
        (tmp_path / "piped.wav").write_bytes(patched)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert np.array_equal(kavri.read(tmp_path / "piped.wav").audio, audio)
            spec = {"type": "background_noise", "path": str(tmp_path / "piped.wav")}
            kavri.process(audio, RATE, [{**spec, "mode": "gain", "offset_frames": 0}])
        assert bool(caught) == cut, [str(w.message) for w in caught]


# --- container size limits ------------------------------------------------------------------


def test_size_limits_are_known_before_the_first_sample(tmp_path, monkeypatch):
    monkeypatch.setattr(kavri.io.formats, "SIZE_FIELD_LIMIT", 50_000)
    audio = noise(10_000)  # 80,000 bytes of float samples
    with pytest.warns(
        ContainerWarning,
        match=r"big.wav: .* more than WAV files hold .*"
        r"written as RF64",
    ):
        kavri.write(tmp_path / "big.wav", audio, RATE)
    data = (tmp_path / "big.wav").read_bytes()
    assert data[:4] == b"RF64"
    peak = data.index(b"PEAK", 0, 200)  # written whatever libsndfile is told; no time in it
    assert data[peak + 12 : peak + 16] == bytes(4)
    assert np.array_equal(kavri.read(tmp_path / "big.wav").audio, audio)
    with open_output(tmp_path / "small.wav", RATE, 2, expected_frames=1000) as writer:
        writer.write(audio[:1000])
    assert writer.notice is None and (tmp_path / "small.wav").read_bytes()[:4] == b"RIFF"

    for call in (
        lambda: kavri.write(tmp_path / "big.aiff", audio, RATE),
        lambda: open_output(tmp_path / "big.aiff", RATE, 2, expected_frames=10_000).__enter__(),
    ):
        with pytest.raises(
            AudioFileError,
            match=r"big.aiff: .* more than AIFF files hold "
            r".*; write .w64, .caf or .flac instead",
        ):
            call()
    # Length unknown up front: the write that would pass the limit fails, not the end.
    written = 0
    with (
        pytest.raises(AudioFileError, match="more than WAV files hold"),
        open_output(tmp_path / "stream.wav", RATE, 2) as writer,
    ):
        for start in range(0, 10_000, 1000):
            writer.write(audio[start : start + 1000])
            written += 1
    assert written == 5  # 6,000 frames and the header would pass 50,000 bytes
    assert entries(tmp_path) == ["big.wav", "small.wav"]


def test_audio_larger_than_its_disk_is_refused_before_the_first_byte(tmp_path, run_kavri):
    (tmp_path / "kept.wav").write_bytes(b"before")
    huge = 10**13  # 80 TB of stereo float samples
    with pytest.raises(AudioFileError, match=r"kept.wav: not written: its 72\.8 TiB of audio "):
        open_output(tmp_path / "kept.wav", RATE, 2, "float", expected_frames=huge).__enter__()
    # Compressed output has no size to know; it is not refused.
    with open_output(tmp_path / "a.flac", RATE, 2, expected_frames=huge // 10**9) as writer:
        writer.write(noise(10_000))
    kavri.write(tmp_path / "in.wav", noise(1000), RATE)
    result = run_kavri(
        "process",
        tmp_path / "in.wav",
        tmp_path / "out.wav",
        "--tail",
        "1e9",
        "--preset",
        "vocal",
        cwd=tmp_path,
    )
    assert result.returncode == 1 and "out.wav: not written: its " in result.stderr
    assert entries(tmp_path) == ["a.flac", "in.wav", "kept.wav"]
    assert (tmp_path / "kept.wav").read_bytes() == b"before"


# --- atomic output --------------------------------------------------------------------------


def test_names_up_to_the_file_system_limit_are_written(tmp_path):
    for name in ("a" * 251 + ".wav", "é" * 120 + "b" * 11 + ".wav"):
        assert len(name.encode()) == 255
        kavri.write(tmp_path / name, noise(10), RATE)
        assert kavri.read(tmp_path / name).audio.shape == (10, 2)
    assert len(entries(tmp_path)) == 2


def test_a_live_temporary_is_kept_and_a_dead_one_removed(tmp_path):
    hidden = tmp_path / TEMPORARY_FOLDER
    hidden.mkdir()
    (hidden / ".x.wav.abcd1234.kavri-tmp").write_bytes(b"left by a killed run")
    with atomic_output(tmp_path / "x.wav") as first:
        with open(first, "wb") as handle:
            handle.write(b"first")
        assert os.listdir(hidden) == [os.path.basename(first)]  # the dead one went
        kavri.write(tmp_path / "x.wav", noise(10), RATE)  # a second writer of the same file
        assert os.path.isfile(first)
    assert (tmp_path / "x.wav").read_bytes() == b"first"
    assert entries(tmp_path) == ["x.wav"]


def test_a_write_keeps_the_permissions_it_replaces_and_goes_through_links(tmp_path):
    audio = np.full((100, 1), 0.25, np.float32)
    private = tmp_path / "private.wav"
    kavri.write(private, audio, 48_000)
    assert os.stat(private).st_mode & 0o777 == kavri.io.atomic.FILE_MODE
    # An overwritten private file stayed private no longer (0600 became 0644).
    os.chmod(private, 0o600)
    kavri.write(private, audio * 2, 48_000)
    assert os.stat(private).st_mode & 0o777 == 0o600
    # A link is written through: it stays, and the file it leads to (made if need be) takes
    # the output. The link itself had been replaced by a file.
    for target in ("kept.wav", "made.wav"):
        if target == "kept.wav":
            kavri.write(tmp_path / target, audio, 48_000)
        link = tmp_path / f"to-{target}"
        link.symlink_to(target)
        kavri.write(link, audio * 3, 48_000)
        assert link.is_symlink() and os.readlink(link) == target
        assert np.array_equal(kavri.read(tmp_path / target).audio, audio * 3)
    # Links in a loop were replaced by the output, as a file.
    (tmp_path / "l1.wav").symlink_to("l2.wav")
    (tmp_path / "l2.wav").symlink_to("l1.wav")
    with pytest.raises(kavri.AudioFileError, match="l1.wav: cannot write: Too many levels of"):
        kavri.write(tmp_path / "l1.wav", audio, 48_000)
    assert os.readlink(tmp_path / "l1.wav") == "l2.wav"


def test_a_write_looks_only_at_the_hidden_folder(tmp_path, monkeypatch):
    for index in range(50):
        (tmp_path / f"other{index}.wav").write_bytes(b"")
    looked_at = []
    real_scandir, real_listdir = os.scandir, os.listdir
    monkeypatch.setattr(os, "scandir", lambda p=".": looked_at.append(p) or real_scandir(p))
    monkeypatch.setattr(os, "listdir", lambda p=".": looked_at.append(p) or real_listdir(p))
    kavri.write(tmp_path / "x.wav", noise(10), RATE)
    assert all(os.path.basename(p) == TEMPORARY_FOLDER for p in looked_at), looked_at


def test_temporaries_are_told_from_inputs():
    assert is_temporary(f"out/{TEMPORARY_FOLDER}")
    assert is_temporary(f"out/{TEMPORARY_FOLDER}/.a.wav.ab12cd34.kavri-tmp")
    assert is_temporary("out/.a.wav.ab12cd34.kavri-tmp")
    assert not is_temporary("out/a.wav") and not is_temporary("out/.hidden.wav")


# --- inputs that cannot seek ----------------------------------------------------------------


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


def feed(path, data: bytes | None, forever: bool = False) -> threading.Thread:
    def run():
        try:
            with open(path, "wb") as pipe:
                while True:
                    pipe.write(data)
                    if not forever:
                        return
        except (BrokenPipeError, OSError):
            pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def test_an_unseekable_input_is_copied_and_read(tmp_path, fifo):
    audio = noise(3000)
    kavri.write(tmp_path / "x.flac", audio, RATE, "pcm24")
    feed(fifo, (tmp_path / "x.flac").read_bytes())
    expected = kavri.read(tmp_path / "x.flac").audio
    assert np.array_equal(kavri.read(fifo).audio, expected)


class StopAfter:
    """A stop request that is set from the ``count``-th time it is looked at: a test of it
    depends on how often the reader looks, never on the clock or the machine's load."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.looks = 0

    def is_set(self) -> bool:
        self.looks += 1
        return self.looks >= self.count


@pytest.mark.parametrize("writer", ["none", "endless"])
def test_a_stop_request_ends_the_wait_and_the_copy(fifo, writer):
    feeder = feed(fifo, bytes(1 << 16), forever=True) if writer == "endless" else None
    stop = StopAfter(5)
    with (
        pytest.raises(Interrupted, match="fifo: interrupted while reading"),
        input_path(fifo, stop=stop),
    ):
        pass
    # Looked at again and again while waiting for a writer or copying, and obeyed at once.
    assert stop.looks == 5
    if feeder is not None:
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # lets the feeder finish
        feeder.join(60)
        assert not feeder.is_alive()


@pytest.mark.slow
def test_a_copy_stops_short_of_filling_the_disk(fifo, monkeypatch):
    # A disk with 4 MiB beyond the margin, which the spool fills as it grows: the real disk's
    # free space, read once, moved with every other test's files.
    real_free = kavri.io.reading.free_bytes

    def free_bytes(descriptor):
        real_free(descriptor)
        margin = kavri.io.reading.SPOOL_DISK_MARGIN
        return margin + (4 << 20) - os.fstat(descriptor).st_size

    monkeypatch.setattr(kavri.io.reading, "free_bytes", free_bytes)

    def scratch_open():
        # Files held open in the scratch folder, or removed while held: other threads of this
        # process (a Dask scheduler's) open and close descriptors of their own meanwhile.
        links = set()
        for fd in os.listdir("/proc/self/fd"):
            try:
                links.add(os.readlink(f"/proc/self/fd/{fd}"))
            except FileNotFoundError:  # closed meanwhile
                pass
        scratch = tempfile.gettempdir()
        return {link for link in links if link.startswith(scratch) or "(deleted)" in link}

    before = scratch_open()
    writer = feed(fifo, bytes(16 << 20))
    with (
        pytest.raises(
            AudioFileError,
            match=r"fifo: not read: copying it to .* would leave "
            r"less than \d+ MiB free there; point TMPDIR",
        ),
        input_path(fifo),
    ):
        pass
    # Its end of the FIFO closes once the reader's has (a broken pipe); counted after that.
    writer.join(60)
    assert not writer.is_alive()
    assert scratch_open() <= before  # the copy is gone


# --- standard streams -----------------------------------------------------------------------

CLOSED_INPUT = "standard input is closed; give an input file instead of '-'"
CLOSED_OUTPUT = "standard output is closed; give an output file instead of '-'"


@pytest.mark.parametrize(
    ("closed", "code", "message"),
    [
        (0, "kavri.read('-')", CLOSED_INPUT),
        (1, "kavri.write('-', [[0.0]], 8000)", CLOSED_OUTPUT),
        (0, "kavri.io.check_standard_streams('-', 'out.wav')", CLOSED_INPUT),
        (1, "kavri.io.check_standard_streams('in.wav', '-')", CLOSED_OUTPUT),
    ],
)
def test_closed_standard_streams_are_named(tmp_path, closed, code, message):
    script = (
        "import kavri, kavri.io, sys\ntry:\n    "
        + code
        + "\nexcept kavri.AudioFileError as e:\n    sys.stderr.write(str(e))\n"
        "    sys.exit(3)\n"
    )
    # The shell closes the stream before it starts Python: a preexec_fn would run Python in
    # a child forked from a process with threads (feeders of earlier tests), which can hang
    # on a lock another thread held at the fork.
    done = subprocess.run(
        ["/bin/sh", "-c", f'exec "$0" -c "$1" {closed}<&-', sys.executable, script],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (3, message)
    assert os.listdir(tmp_path) == []


def test_standard_input_is_read_and_standard_output_written(tmp_path):
    kavri.write(tmp_path / "x.wav", noise(100), RATE)
    script = "import kavri; kavri.write('-', kavri.read('-').audio * 0.5, 48000, 'pcm16')"
    with open(tmp_path / "x.wav", "rb") as source:
        done = subprocess.run(
            [sys.executable, "-c", script], stdin=source, capture_output=True, timeout=60
        )
    assert done.returncode == 0, done.stderr
    (tmp_path / "y.wav").write_bytes(done.stdout)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kavri.read(tmp_path / "y.wav").audio.shape == (100, 2)


def test_scratch_folders_left_behind_are_swept_but_live_ones_kept(tmp_path, monkeypatch):
    # A lossy output with a loudness target encodes its trials in a folder in TMPDIR; one
    # left by kill -9, or by a Ctrl-C within its clean-up, stayed there for good.
    import fcntl

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    prefix = ".kavri-encode-"
    # "empty": one whose lock could not be made (no descriptor left), which stayed for good.
    names = ("dead", "live", "young", "bare", "empty")
    folders = {name: tmp_path / f"{prefix}{name}" for name in names}
    for name, folder in folders.items():
        folder.mkdir()
        if name == "empty":
            os.utime(folder, (0, 0))
            continue
        (folder / "1.mp3").write_bytes(b"x" * 1000)
        if name != "bare":
            (folder / "lock").write_bytes(b"")
        if name != "young":
            os.utime(folder, (0, 0))
    held = os.open(folders["live"] / "lock", os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        audio = (0.1 * np.random.default_rng(3).standard_normal((48_000, 2))).astype(np.float32)
        kavri.write(tmp_path / "in.wav", audio, 48_000)
        kavri.process_file(tmp_path / "in.wav", tmp_path / "out.mp3", [], loudness=-20)
    finally:
        os.close(held)
    left = sorted(p.name[len(prefix) :] for p in tmp_path.iterdir() if p.name.startswith(prefix))
    assert left == ["bare", "live", "young"]

    # With no descriptor left, a codec's file in memory was a bare OSError (a traceback).
    def no_descriptor(*args):
        raise OSError(errno.EMFILE, os.strerror(errno.EMFILE))

    monkeypatch.setattr(os, "memfd_create", no_descriptor)
    with pytest.raises(kavri.KavriError, match="cannot make a file in memory: Too many open"):
        kavri.process(audio, 48_000, [{"type": "codec", "format": "mp3"}])

    # No usable temporary folder: a scratch folder's was a bare FileNotFoundError, and
    # standard output's "standard output: cannot write: No such file or directory".
    def none_usable():
        raise FileNotFoundError(errno.ENOENT, "No usable temporary directory found")

    monkeypatch.setattr(tempfile, "gettempdir", none_usable)
    with pytest.raises(kavri.KavriError, match="^cannot make a scratch folder: No usable"):
        with kavri.io.atomic.scratch_folder(prefix):
            pass
    with pytest.raises(AudioFileError, match="^standard output: cannot make a temporary file"):
        kavri.write("-", audio, 48_000, file_format="flac")


def test_a_long_array_is_written_in_pieces_with_the_same_bytes(tmp_path):
    # Each write had converted and quantised the whole array at once: 165 MiB beside a
    # 2,000,000-frame view for 16-bit output, and NumPy's own "Unable to allocate" for a
    # view of 10**9 frames.
    view = np.broadcast_to(np.float32(0.25), (2_000_000, 2))
    tracemalloc.start()
    try:
        kavri.write(tmp_path / "view.wav", view, 48000, "pcm16", dither="tpdf")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 32 << 20
    with open_output(tmp_path / "whole.wav", 48000, 2, "pcm16", dither="tpdf") as writer:
        writer.write_shown(np.array(view))  # in one piece
    assert (tmp_path / "view.wav").read_bytes() == (tmp_path / "whole.wav").read_bytes()
    with pytest.raises(MemoryError, match="^the float32 copy of 20,000,000,000 int16 samples"):
        kavri.write(tmp_path / "x.wav", np.broadcast_to(np.int16(3), (10**10, 2)), 48000)
    assert sorted(os.listdir(tmp_path)) == ["view.wav", "whole.wav"]
