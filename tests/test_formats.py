"""Inputs and tags: compressed formats libsndfile cannot read are decoded through PyAV, the
same samples on every run, streamed in blocks like any file and agreeing with FFmpeg's own
decoder; tags travel from input to output where both formats hold them, can be set and
left out, land in the file before it appears, and keep the output reproducible."""

from __future__ import annotations

import json
import math
import shutil
import struct
import subprocess
import sys
import warnings

import av
import mutagen
import numpy as np
import pytest
import scipy.signal
import soundfile as sf

import kavri
from kavri.io import BlockReader, open_input, read_tags
from kavri.runs.batch import find_files

RATE = 48_000


def noise(frames: int, channels: int = 2, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (0.2 * rng.standard_normal((frames, channels))).astype(np.float32)


def encode(path, audio, codec: str, container: str, tags=None, **options) -> None:
    """Encodes audio with PyAV's own encoders, as a phone or recorder app would."""
    layout = "stereo" if audio.shape[1] == 2 else "mono"
    with av.open(str(path), "w", format=container) as out:
        out.metadata.update(tags or {})
        stream = out.add_stream(codec, rate=RATE, layout=layout)
        for key, value in options.items():
            setattr(stream, key, value)
        frame = av.AudioFrame.from_ndarray(
            np.ascontiguousarray(audio.T), format="fltp", layout=layout
        )
        frame.sample_rate = RATE
        for packet in [*stream.encode(frame), *stream.encode(None)]:
            out.mux(packet)


@pytest.fixture(scope="module")
def compressed(tmp_path_factory):
    """take.m4a (AAC, tagged), take.webm (Opus), take.wma (WMA 2), made by PyAV."""
    folder = tmp_path_factory.mktemp("compressed")
    audio = noise(RATE)
    encode(folder / "take.m4a", audio, "aac", "mp4", {"title": "Take", "artist": "Phone"})
    encode(folder / "take.webm", audio, "libopus", "webm")
    encode(folder / "take.wma", audio, "wmav2", "asf", bit_rate=128_000)
    return folder


NAMES = ["take.m4a", "take.webm", "take.wma"]


def test_compressed_inputs_decode_the_same_every_time_and_stream_like_files(compressed):
    for name in NAMES:
        path = compressed / name
        with pytest.raises(sf.LibsndfileError, match="Format not recognised"):
            sf.info(str(path))
        first, rate = kavri.read(path)
        again, _ = kavri.read(path)
        assert rate == RATE and first.shape[1] == 2, name
        assert np.array_equal(first, again), name
        # About the second encoded: codecs add or trim a frame's worth at the ends.
        assert abs(first.shape[0] - RATE) <= 2048, (name, first.shape)
        assert 0.05 < np.sqrt(np.mean(first**2)) < 0.4, name
        # Block by block, two passes, the same samples: the reader behind process_file.
        with open_input(str(path)) as source:
            reader = BlockReader(source, 1000, name)
            assert reader.block_frames == 1000 and not reader.length_known
            for _ in range(2):
                blocks = np.concatenate([block.copy() for block in reader])
                assert np.array_equal(blocks, first), name
                assert reader.frames_read == first.shape[0] and not reader.ended_early
        assert abs(kavri.measure_file(path).frames - first.shape[0]) == 0, name


def test_compressed_inputs_through_process_file_batch_and_the_command_line(
    compressed, tmp_path, run_kavri
):
    chain = [{"type": "gain", "db": -6}]
    decoded, _ = kavri.read(compressed / "take.m4a")
    summary = kavri.process_file(compressed / "take.m4a", tmp_path / "out.wav", chain)
    assert summary.input_frames == decoded.shape[0]
    assert np.array_equal(
        kavri.read(tmp_path / "out.wav").audio, kavri.process(decoded, RATE, chain)
    )
    report = kavri.batch([compressed / "take.m4a"], chain, tmp_path / "batch", file_format="flac")
    assert report.ok and (tmp_path / "batch" / "take.flac").is_file()
    # take.m4a and take.webm would both be take.flac: refused before anything is written.
    files = find_files(compressed, "*.{m4a,webm}")
    with pytest.raises(kavri.KavriError, match="take.flac: both .*take.m4a and .*take.webm"):
        kavri.batch(files, chain, tmp_path / "clash", file_format="flac")
    assert not (tmp_path / "clash").exists()
    # Without a format, an output suffix nothing writes fails that file alone, saying so.
    failed = kavri.batch([compressed / "take.wma"], chain, tmp_path / "wma").failed
    assert "unknown output format '.wma'" in failed[0].error
    # A name with no suffix is told so (it read as an unknown format of four quotes).
    with pytest.raises(kavri.AudioFileError, match="noext: the name has no suffix to tell"):
        kavri.write(tmp_path / "noext", np.zeros((10, 1), np.float32), RATE)
    # A format the name's audio suffix contradicts is refused: FLAC was written as take.wav.
    silence = np.zeros((10, 1), np.float32)
    for name in ("take.wav", "take.m4a"):
        with pytest.raises(kavri.AudioFileError, match="suffix says .* format asked for is flac"):
            kavri.write(tmp_path / name, silence, RATE, file_format="flac")
        assert not (tmp_path / name).exists()
    kavri.write(tmp_path / "take.oga", silence, RATE, file_format="ogg")  # the same container
    kavri.write(tmp_path / "take.v2", silence, RATE, file_format="flac")  # no audio suffix
    assert sf.info(tmp_path / "take.v2").format == "FLAC"


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_decoding_agrees_with_ffmpeg(compressed):
    for name in NAMES:
        ours, _ = kavri.read(compressed / name)
        done = subprocess.run(
            ["ffmpeg", "-v", "error", "-i", str(compressed / name), "-f", "f32le", "-"],
            capture_output=True,
            check=True,
        )
        theirs = np.frombuffer(done.stdout, np.float32).reshape(-1, 2)
        # Another FFmpeg build may round the last bit differently, and may keep the
        # encoder's padding at the end, which ours trims as the container says.
        common = min(ours.shape[0], theirs.shape[0])
        assert common >= RATE - 2048, name
        assert np.max(np.abs(ours[:common] - theirs[:common])) < 1e-5, name


@pytest.mark.skipif(shutil.which("ffprobe") is None, reason="ffmpeg is not installed")
def test_wav_of_three_to_eight_channels_names_its_layout(tmp_path):
    # WAV output held no channel mask, so readers guessed the layout from the count:
    # ffmpeg took a quad file for L R C Cs and folded its back left into both sides.
    layouts = {2: "unknown", 3: "3.0", 4: "quad", 5: "5.0", 6: "5.1", 7: "6.1", 8: "7.1"}

    def layout(path) -> str:
        probe = ["ffprobe", "-v", "error", "-show_entries", "stream=channel_layout"]
        done = subprocess.run([*probe, "-of", "csv=p=0", str(path)], capture_output=True)
        return done.stdout.decode().strip()

    for channels, name in layouts.items():
        audio = noise(4800, channels)
        for subtype in ("float", "pcm16"):
            path = tmp_path / f"{channels}-{subtype}.wav"
            kavri.write(path, audio, RATE, subtype)
            assert layout(path) == name, (channels, subtype)
            back = kavri.read(path).audio
            assert np.array_equal(back, audio) if subtype == "float" else back.shape == audio.shape
        # A stream to standard output states the layout too, and reads back whole.
        streamed = tmp_path / f"{channels}-stream.wav"
        with open(streamed, "wb") as out:
            command = [sys.executable, "-m", "kavri", "process", str(path), "-"]
            subprocess.run([*command, "--effect", "polarity"], stdout=out, check=True)
        assert layout(streamed) == name
        assert np.array_equal(-kavri.read(streamed).audio, kavri.read(path).audio)
    # ffmpeg's downmix of a quad file now keeps its back right on the right.
    quad = np.zeros((4800, 4), np.float32)
    quad[:, 3] = 0.5
    kavri.write(tmp_path / "quad.wav", quad, RATE)
    mix = ["ffmpeg", "-v", "error", "-i", str(tmp_path / "quad.wav"), "-ac", "2", "-f", "f32le"]
    done = subprocess.run([*mix, "-"], capture_output=True, check=True)
    left, right = np.abs(np.frombuffer(done.stdout, np.float32).reshape(-1, 2)).max(axis=0)
    assert left == 0 and right > 0.3


def _masked_wav(path, audio: np.ndarray, mask: int) -> None:
    """A 16-bit extensible WAV file stating ``mask`` as its channel mask."""
    channels = audio.shape[1]
    data = np.round(audio * 32767).astype("<i2").tobytes()
    fmt = struct.pack("<HHIIHH", 0xFFFE, channels, RATE, RATE * channels * 2, channels * 2, 16)
    fmt += struct.pack("<HHIH", 22, 16, mask, 1)
    fmt += bytes.fromhex("000000001000800000aa00389b71")
    body = b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"data" + struct.pack("<I", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)


@pytest.mark.skipif(shutil.which("ffprobe") is None, reason="ffmpeg is not installed")
def test_a_layout_the_input_states_is_kept_and_metered(tmp_path):
    # Inputs of another layout of their count were taken as Kavri's: a 3.1 file came out
    # labelled quad (its LFE played as a back speaker) and 5.1 with side surrounds as 5.1
    # with back ones; six discrete channels (a mask of 0) were metered as 5.1, the fourth
    # left out as an LFE.
    def layout(path) -> str:
        probe = ["ffprobe", "-v", "error", "-show_entries", "stream=channel_layout"]
        done = subprocess.run([*probe, "-of", "csv=p=0", str(path)], capture_output=True)
        return done.stdout.decode().strip()

    tone = 0.25 * np.sin(2 * np.pi * 1000 * np.arange(RATE) / RATE).astype(np.float32)
    # Each layout, and a channel with its weight in the loudness: the LFE of 3.1 is left out,
    # a side surround of 5.1 weighs 1.41, a discrete channel 1 as the others.
    cases = ((4, 0x0F, "3.1", 3, 0.0), (6, 0x60F, "5.1(side)", 4, 1.41), (6, 0, "unknown", 3, 1.0))
    for channels, mask, name, picked, weight in cases:
        audio = noise(RATE, channels)
        source = tmp_path / f"{name}.wav"
        _masked_wav(source, audio, mask)
        assert layout(source) == name
        written = tmp_path / f"{name}-out.wav"
        kavri.process_file(source, written, [{"type": "polarity"}])
        command = [sys.executable, "-m", "kavri", "process", "-", "-", "--effect", "polarity"]
        with open(source, "rb") as given:
            piped = subprocess.run(command, stdin=given, capture_output=True, check=True)
        (tmp_path / "piped.wav").write_bytes(piped.stdout)
        # FLAC keeps another layout than its count's in a comment, as FFmpeg does: it was
        # labelled by the count, and a mask read from an input was carried as a plain tag,
        # into outputs of other counts and MP3s too.
        flac = tmp_path / f"{name}.flac"
        kavri.process_file(source, flac, [{"type": "polarity"}])
        kavri.process_file(flac, tmp_path / "back.wav", [])
        kavri.process_file(flac, tmp_path / "two.flac", [{"type": "mixdown"}])
        assert mutagen.File(tmp_path / "two.flac").tags.keys() == []
        if name != "unknown":  # FFmpeg reads a mask of 0 as its count's layout
            assert layout(flac) == name
        if name == "3.1":  # (FFmpeg writes 5.1 with side surrounds to FLAC as 5.1)
            # FFmpeg's FLAC to a pipe states no length, and is decoded by FFmpeg: the
            # layout of its comment was dropped on the way.
            piped = subprocess.run(
                ["ffmpeg", "-v", "error", "-i", str(source), "-f", "flac", "-"],
                capture_output=True,
                check=True,
            ).stdout
            (tmp_path / "piped.flac").write_bytes(piped)
            kavri.process_file(tmp_path / "piped.flac", tmp_path / "unstated.wav", [])
            assert layout(tmp_path / "unstated.wav") == name
        back = [tmp_path / "back.wav"] if name != "unknown" else []  # FLAC has no mask 0
        for path in (written, tmp_path / "piped.wav", *back):
            assert layout(path) == name, path
            assert np.array_equal(-kavri.read(path).audio, kavri.read(source).audio)
        alone = np.zeros((RATE, channels), np.float32)
        alone[:, picked] = tone
        _masked_wav(source, alone, mask)
        loudness = kavri.measure_file(source).integrated_lufs
        kavri.process_file(source, flac, [])
        if back:
            assert kavri.measure_file(flac).integrated_lufs == loudness
        if weight:
            expected = kavri.measure(tone, RATE).integrated_lufs + 10 * math.log10(weight)
            assert loudness == pytest.approx(expected, abs=0.01), name
        else:
            assert loudness == -math.inf
    # Ogg stores six channels as 5.1: the fourth of six discrete ones, in the LFE's slot, is
    # cut to its low band by the encoder. It was done without a word; it is now said.
    summary = kavri.process_file(source, tmp_path / "six.opus", [{"type": "polarity"}])
    assert any("channel 3 (a channel without a speaker) is coded as" in w for w in summary.warnings)
    _masked_wav(source, noise(RATE, 6), 0x3F)  # 5.1 as stated: its LFE is in its slot
    assert not kavri.process_file(source, tmp_path / "six.ogg", []).warnings


@pytest.mark.parametrize("suffix", [".ogg", ".opus"])
def test_surround_channels_keep_their_roles_in_vorbis_and_opus(tmp_path, suffix):
    # Vorbis and Opus order 5.1 as L C R Ls Rs LFE; the channels went in in WAV's order
    # (L R C LFE Ls Rs), so the right surround sat in the LFE's slot and Opus kept only a
    # low band of it: a 1 kHz tone came back 50 dB down.
    t = np.arange(RATE) / RATE
    audio = np.zeros((RATE, 6), np.float32)
    audio[:, 5] = 0.5 * np.sin(2 * np.pi * 1000 * t)  # right surround
    audio[:, 3] = 0.5 * np.sin(2 * np.pi * 50 * t)  # LFE
    out = tmp_path / f"surround{suffix}"
    kavri.write(out, audio, RATE)
    stored, _ = sf.read(out, dtype="float32")  # libsndfile's own reading: the codec's order
    rms = np.sqrt(np.mean(stored.astype(np.float64) ** 2, axis=0))
    assert np.argsort(rms)[-2:].tolist() in ([4, 5], [5, 4]), rms  # Rs and LFE slots
    back, _ = kavri.read(out)
    rms = np.sqrt(np.mean(back.astype(np.float64) ** 2, axis=0))
    assert rms[5] > 0.3 and rms[3] > 0.3 and rms[[0, 1, 2, 4]].max() < 0.05, rms
    # The loudness meter weighs the surround by its place: the same as the WAV's.
    wav = kavri.measure(audio, RATE).integrated_lufs
    assert kavri.measure(back, RATE).integrated_lufs == pytest.approx(wav, abs=0.5)
    # The codec effect's round trip in memory keeps the roles too.
    codec = {"type": "codec", "format": suffix.strip(".").replace("ogg", "vorbis")}
    coded = kavri.process(audio, RATE, [codec])
    assert np.sqrt(np.mean(coded[:, 5].astype(np.float64) ** 2)) > 0.3
    # Past the 64 channels FFmpeg's converter takes, a file Kavri wrote could not be read
    # back ("Invalid argument").
    wide = noise(4800, 65, seed=1) * 0.1
    kavri.write(tmp_path / f"wide{suffix}", wide, RATE)
    assert kavri.read(tmp_path / f"wide{suffix}").audio.shape == wide.shape
    # And at a rate other than 48 kHz, which FFmpeg decodes Opus at: three channels written
    # at 16 kHz came back at 48 kHz and 24 frames short, where two came back at 16 kHz.
    kavri.write(tmp_path / f"low{suffix}", wide[:, :3], 16_000)
    low = kavri.read(tmp_path / f"low{suffix}")
    assert low.sample_rate == 16_000 and low.audio.shape == (4800, 3)


def test_an_mp3_is_read_to_its_last_packet_whatever_its_header_says(tmp_path):
    # libsndfile reads an MP3 only as far as the length it works out: of two files joined
    # end to end it gave the first (and of a VBR file without a Xing header, 4 s of 20).
    tone = (0.25 * np.sin(np.arange(RATE) / RATE * 2 * np.pi * 440)).astype(np.float32)
    kavri.write(tmp_path / "one.mp3", tone[:, np.newaxis], RATE)
    joined = tmp_path / "joined.mp3"
    joined.write_bytes((tmp_path / "one.mp3").read_bytes() * 2)
    audio = kavri.read(joined).audio
    assert 2 * RATE <= audio.shape[0] <= 2 * RATE + 4 * 1152
    second = audio[-RATE // 2 :, 0].astype(np.float64)
    assert np.sqrt(np.mean(second**2)) == pytest.approx(0.25 / np.sqrt(2), rel=0.05)
    if shutil.which("ffmpeg") is None:
        return
    # Joined after a Xing header, the second header is a packet FFmpeg refuses. Looped as
    # noise, the file warns of it once, not at every turn and pass.
    made = ["ffmpeg", "-v", "error", "-i", str(tmp_path / "one.mp3"), str(tmp_path / "x.mp3")]
    subprocess.run(made, check=True)
    joined.write_bytes((tmp_path / "x.mp3").read_bytes() * 2)
    # A short MP3 without a Xing header was guessed by FFmpeg to be a transport stream, and
    # refused as "not a readable audio file": it is read as the MP3 it is known to be.
    band = scipy.signal.butter(4, [300, 2500], "bandpass", fs=44_100, output="sos")
    short = 0.2 * scipy.signal.sosfilt(band, np.random.default_rng(4).standard_normal(1151))
    kavri.write(tmp_path / "short.wav", short.astype(np.float32), 44_100, "float")
    made = ["ffmpeg", "-v", "error", "-i", str(tmp_path / "short.wav"), "-c:a", "libmp3lame"]
    made += ["-b:a", "32k", "-write_xing", "0", str(tmp_path / "short.mp3")]
    subprocess.run(made, check=True)
    assert kavri.read(tmp_path / "short.mp3").audio.shape[0] >= 1151
    spec = {"type": "background_noise", "path": str(joined), "mode": "gain"}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kavri.process(np.zeros((5 * RATE, 1), np.float32), RATE, [spec])
    assert sum("undecodable packet" in str(w.message) for w in caught) == 1
    # Where warnings are errors, every call fails alike: it had counted as told once it
    # raised, and the same call went through the second time without a word.
    joined.write_bytes(joined.read_bytes() + b"\0")  # another file, not told yet
    for _ in range(2):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(kavri.KavriWarning, match="undecodable packet"):
                kavri.process_file(joined, tmp_path / "o.wav", [])
        assert not (tmp_path / "o.wav").exists()


def test_an_mp3_header_stating_more_than_the_file_could_hold_is_not_believed(tmp_path):
    # A damaged or forged Xing count (2**31 MPEG frames in a file of a few KB) was a stated
    # length: the output was refused as 18 TiB the disk had no room for.
    tone = (0.25 * np.sin(np.arange(RATE) / RATE * 2 * np.pi * 440)).astype(np.float32)
    kavri.write(tmp_path / "one.mp3", tone[:, np.newaxis], RATE)
    data = bytearray((tmp_path / "one.mp3").read_bytes())
    at = max(data.find(b"Xing"), data.find(b"Info"))
    assert at > 0 and data[at + 7] & 1  # a frame count follows the flags
    data[at + 8 : at + 12] = (2**31 - 1).to_bytes(4, "big")
    (tmp_path / "forged.mp3").write_bytes(data)
    for name in ("out.wav", "out.flac"):
        summary = kavri.process_file(tmp_path / "forged.mp3", tmp_path / name, [])
        assert abs(summary.output_frames - RATE) < 4 * 1152
    # A real count in a file cut short (a download stopped at 3%) is still told of.
    long = np.tile(tone, 30)[:, np.newaxis]
    kavri.write(tmp_path / "long.mp3", long, RATE)
    whole = (tmp_path / "long.mp3").read_bytes()
    (tmp_path / "cut.mp3").write_bytes(whole[: len(whole) * 3 // 100])
    with pytest.warns(kavri.io.ShortFileWarning, match="the file ends early"):
        kavri.read(tmp_path / "cut.mp3")


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_a_container_s_duration_is_not_taken_for_room_a_loudness_target_needs(
    tmp_path, monkeypatch
):
    # A container's duration is an estimate: a damaged one stating days had a second of
    # input refused for the disk room its rendering would keep (33 TiB).
    kavri.write(tmp_path / "in.wav", noise(RATE), RATE, "pcm16")
    encode = [str(tmp_path / "in.wav"), "-c:a", "aac", str(tmp_path / "in.m4a")]
    subprocess.run(["ffmpeg", "-v", "error", "-i", *encode], check=True)
    monkeypatch.setattr(kavri.io.DecodedSource, "_estimate", lambda self, stream: 10**13)
    summary = kavri.process_file(tmp_path / "in.m4a", tmp_path / "out.flac", [], loudness=-20)
    assert summary.loudness is not None and abs(summary.output_frames - RATE) < 2048


def test_mp3_at_mpeg_2_rates_is_read_without_lines_on_stderr(tmp_path, capfd):
    # libsndfile's mpg123 printed "part2_3_length ... too large" as it read MPEG-2 layer III
    # (rates below 32 kHz), up to 40 lines a command, though the samples were right.
    rng = np.random.default_rng(4)
    speechlike = np.repeat(rng.standard_normal(2205) * 0.3, 100)
    speechlike *= np.sin(np.arange(speechlike.size) / 22050 * 2 * np.pi * 3) ** 2
    kavri.write(tmp_path / "talk.mp3", speechlike.astype(np.float32), 22050)
    capfd.readouterr()
    audio = kavri.read(tmp_path / "talk.mp3").audio
    assert audio.shape[0] == sf.info(tmp_path / "talk.mp3").frames
    summary = kavri.process_file(tmp_path / "talk.mp3", tmp_path / "out.wav", "vocal")
    assert summary.input_frames == audio.shape[0]
    assert capfd.readouterr().err == ""
    # Two files joined: libsndfile, opening it, printed "Warning: Xing stream size off".
    joined = (tmp_path / "talk.mp3").read_bytes() * 2
    (tmp_path / "joined.mp3").write_bytes(joined)
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        assert kavri.read(tmp_path / "joined.mp3").audio.shape[0] > audio.shape[0]
    assert capfd.readouterr().err == ""


def test_files_that_lead_ffmpeg_elsewhere_are_not_audio(tmp_path):
    # FFmpeg knows a file by its content: an SDP description as a noise file opened UDP ports
    # and waited 20 s on them, and an ffconcat list was read as the file it names.
    kavri.write(tmp_path / "n.wav", noise(4800, 2), RATE)
    (tmp_path / "s.wav").write_text("v=0\nc=IN IP4 127.0.0.1\nm=audio 47004 RTP/AVP 0\n")
    (tmp_path / "list.wav").write_text(f"ffconcat version 1.0\nfile {tmp_path / 'n.wav'}\n")
    for name in ("s.wav", "list.wav"):
        with pytest.raises(kavri.AudioFileError, match="not a readable audio file"):
            kavri.read(tmp_path / name)
    # A file whose first bytes cannot be read (as a failing disk's) ended in a traceback.
    with pytest.raises(kavri.AudioFileError, match="cannot read: Input/output error"):
        kavri.read("/proc/self/mem")


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_an_encoding_libsndfile_cannot_decode_is_decoded_by_ffmpeg(tmp_path):
    # ALAC in CAF: libsndfile knows the container, not the codec, and the file was refused
    # ("unsupported encoding"), though the same audio in .m4a was read.
    audio = (np.arange(-3000, 3000, dtype=np.float32).reshape(-1, 2) * 8) / 32768
    kavri.write(tmp_path / "in.wav", audio, RATE, "pcm16")
    subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(tmp_path / "in.wav"), "-c:a", "alac"]
        + [str(tmp_path / "lossless.caf")],
        check=True,
    )
    assert np.array_equal(kavri.read(tmp_path / "lossless.caf").audio, audio)
    # Float samples in an extensible W64 header (as ffmpeg writes them) were read by
    # libsndfile as integers: full-scale noise.
    subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(tmp_path / "in.wav"), "-c:a", "pcm_f32le"]
        + [str(tmp_path / "float.w64")],
        check=True,
    )
    assert np.array_equal(kavri.read(tmp_path / "float.w64").audio, audio)


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_multichannel_files_ffmpeg_makes_are_read_whole(tmp_path):
    # PyAV could not hand over a planar frame of eight or more channels: 7.1 AAC (and
    # 8-channel Vorbis or Opus in Matroska) was "plane index 8 out of range for 8 planes".
    # libsndfile fails on the last pages of FFmpeg's 5.1 Opus: 30 ms were lost, the file
    # said to end early.
    encoders = subprocess.run(["ffmpeg", "-v", "error", "-encoders"], capture_output=True)
    cases = [(8, "aac", "mka", 9600)]
    cases += [(9, "libvorbis", "mka", 9600)] if b"libvorbis" in encoders.stdout else []
    cases += [(6, "libopus", "opus", 2 * RATE)] if b"libopus" in encoders.stdout else []
    for channels, codec, suffix, frames in cases:
        audio = noise(frames, channels, seed=channels) * 0.25
        if codec == "libopus":  # tones in 24 bits: a stream libsndfile fails at the end of
            tones = np.outer(np.arange(frames), [500, 700, 300, 900, 1100, 1300])
            audio = np.round(0.125 * np.sin(2 * np.pi / RATE * tones) * 32768) / 32768
        kavri.write(tmp_path / "in.wav", audio.astype(np.float32), RATE, "pcm24")
        made = tmp_path / f"{channels}.{suffix}"
        for source, to, target in (("in.wav", codec, made), (made, "pcm_f32le", "back.wav")):
            subprocess.run(
                ["ffmpeg", "-y", "-v", "error", "-i", str(tmp_path / source), "-c:a", to]
                + [str(tmp_path / target)],
                check=True,
            )
        expected = kavri.read(tmp_path / "back.wav").audio
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = kavri.read(made).audio
        assert got.shape == expected.shape and np.abs(got - expected).max() < 1e-6, channels
    if cases[-1][1] == "libopus":  # as noise, read from near its end
        near = {"type": "background_noise", "path": str(made), "mode": "gain"}
        silence = np.zeros((RATE, 6), np.float32)
        mixed = kavri.process(silence, RATE, [{**near, "offset_frames": frames - 1000}])
        assert np.abs(mixed[:1000] - expected[-1000:]).max() < 1e-6


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_streams_written_to_a_pipe_without_their_length_are_read_whole(tmp_path):
    # ffmpeg writing FLAC to a pipe leaves its length unstated, which libsndfile gave as
    # 2**63 - 1 frames ("damaged header"); its CAF then has a data chunk of size -1, which
    # libsndfile calls malformed. Both are read whole, with the bits of the known-length file,
    # as is FLAC in Ogg, which libsndfile's FLAC decoder refused.
    audio = noise(30_000, 2, seed=9)
    kavri.write(tmp_path / "in.wav", audio, RATE, "pcm24")
    known = kavri.read(tmp_path / "in.wav").audio
    # ffmpeg's RF64 to a pipe states sizes of 0: saved as it came, it was read as no frames.
    rf64 = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(tmp_path / "in.wav"), "-c:a", "pcm_s24le"]
        + ["-rf64", "always", "-f", "wav", "-"],
        check=True,
        capture_output=True,
    ).stdout
    (tmp_path / "piped.wav").write_bytes(rf64)
    summary = kavri.process_file(tmp_path / "piped.wav", tmp_path / "o.wav", [], loudness=-20)
    assert summary.input_frames == 30_000
    assert kavri.measure_file(tmp_path / "piped.wav").frames == 30_000
    for form in ("flac", "caf", "ogg"):
        piped = subprocess.run(
            ["ffmpeg", "-v", "error", "-i", str(tmp_path / "in.wav")]
            + {"flac": [], "caf": ["-c:a", "pcm_s24be"], "ogg": ["-c:a", "flac"]}[form]
            + ["-f", form, "-"],
            check=True,
            capture_output=True,
        ).stdout
        (tmp_path / f"piped.{form}").write_bytes(piped)
        assert np.array_equal(kavri.read(tmp_path / f"piped.{form}").audio, known), form
        summary = kavri.process_file(tmp_path / f"piped.{form}", tmp_path / "o.wav", "vocal")
        assert summary.input_frames == 30_000 and not summary.warnings, form


def test_a_decoded_input_too_long_for_a_wav_header_makes_rf64_from_the_start(
    compressed, tmp_path, monkeypatch
):
    # A container's duration is an estimate, so the length of an M4A was not known: its WAV
    # output was refused at the chunk that passed 4 GiB, the work till then lost. The
    # decoder counts it first, and the output is the RF64 a stated length gives.
    import kavri.io.formats as formats
    import kavri.io.reading as reading

    for module in (formats, reading):
        monkeypatch.setattr(module, "SIZE_FIELD_LIMIT", RATE * 2 * 3 // 2)  # half a second
    audio = kavri.read(compressed / "take.m4a").audio
    kavri.write(tmp_path / "stated.w64", audio, RATE, "float")
    settings = {"keep_tags": False, "subtype": "pcm24"}
    for name in ("take.m4a", "stated.w64"):
        source = compressed / name if name == "take.m4a" else tmp_path / name
        summary = kavri.process_file(source, tmp_path / f"{name}.wav", "vocal", **settings)
        assert any("written as RF64" in note for note in summary.warnings), name
    made = (tmp_path / "take.m4a.wav").read_bytes()
    assert made[:4] == b"RF64" and made == (tmp_path / "stated.w64.wav").read_bytes()


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
def test_damaged_headers_and_packets_say_so_in_one_line(tmp_path, run_kavri):
    # Found by fuzzing: a traceback where FFmpeg found a stream but no decoder (AttributeError)
    # or a CAF chunk size sent a read past a C long (OverflowError); a damaged AC-3 packet
    # refused the whole file, which ffmpeg decodes.
    def seed(name, *args):
        subprocess.run(
            ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=1:r=48000", "-ac", "2"]
            + [*args, str(tmp_path / name)],
            check=True,
        )
        return bytearray((tmp_path / name).read_bytes())

    m4a, caf, ac3 = (
        seed("s.m4a", "-c:a", "aac"),
        seed("s.caf", "-c:a", "pcm_s16be"),
        seed("s.ac3", "-c:a", "ac3"),
    )
    at = m4a.find(b"hdlr") - 4
    m4a[at : at + 4] = bytes(4)
    (tmp_path / "h.m4a").write_bytes(m4a)
    huge = bytearray(caf)
    huge[12:20] = (2**63 - 1).to_bytes(8, "big")
    (tmp_path / "o.caf").write_bytes(huge)
    for name in ("h.m4a", "o.caf"):
        done = run_kavri("meter", name, cwd=tmp_path)
        assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
        assert done.stderr.startswith(f"kavri: error: {name}: not a readable audio file")
    (tmp_path / "m.ac3").write_bytes(ac3 + bytes(65536))
    done = run_kavri("meter", "m.ac3", cwd=tmp_path)
    assert done.returncode == 0 and "1 undecodable packet left out" in done.stderr


def test_a_decoded_file_cut_far_short_of_its_duration_says_so(tmp_path):
    # A Matroska download cut at a third was processed into 3 s of a 10 s take, exit 0.
    encode(tmp_path / "whole.mka", noise(10 * RATE), "libopus", "matroska")
    data = (tmp_path / "whole.mka").read_bytes()
    (tmp_path / "cut.mka").write_bytes(data[: len(data) // 3])
    summary = kavri.process_file(tmp_path / "whole.mka", tmp_path / "whole.wav", [])
    assert not summary.warnings and summary.output_frames >= 10 * RATE
    summary = kavri.process_file(tmp_path / "cut.mka", tmp_path / "cut.wav", [])
    assert any("cut.mka: the file ends early: it holds" in w for w in summary.warnings)
    with pytest.warns(kavri.KavriWarning, match="its container states about 480"):
        kavri.read(tmp_path / "cut.mka")


def test_a_vorbis_stream_that_decodes_nothing_is_not_sought(tmp_path):
    # libsndfile's seek into such a stream (a damaged header, found by fuzzing) crashed the
    # process when it was a noise file read from an offset.
    from kavri.io.reading import FileReads

    class Silent:
        format, frames, samplerate, channels = "OGG", 44_100, 44_100, 2

        def read(self, *args, **kwargs):
            return np.zeros((0, 2), np.float32)

    with pytest.raises(kavri.AudioFileError, match="n.ogg: .*decodes to nothing, though its"):
        FileReads(Silent(), "n.ogg")


def test_unreadable_files_still_say_so(tmp_path):
    (tmp_path / "notes.m4a").write_text("not audio at all\n")
    with pytest.raises(kavri.AudioFileError, match=r"notes.m4a: not a readable audio file"):
        kavri.read(tmp_path / "notes.m4a")


def test_damaged_and_empty_inputs_say_so_in_one_message(tmp_path, capfd):
    # A WAV cut short was read without a word (libsndfile counts only what is there); an
    # empty .mp3 printed PyAV's traceback before the error.
    kavri.write(tmp_path / "full.wav", noise(4800), RATE)
    whole = (tmp_path / "full.wav").read_bytes()
    (tmp_path / "cut.wav").write_bytes(whole[: len(whole) // 2])
    with pytest.warns(kavri.io.ShortFileWarning, match="holds 2394 frames, its header claims 4800"):
        assert kavri.read(tmp_path / "cut.wav").audio.shape == (2394, 2)
    summary = kavri.process_file(tmp_path / "cut.wav", tmp_path / "o.wav", [{"type": "polarity"}])
    assert any("its header claims 4800" in note for note in summary.warnings)
    (tmp_path / "empty.mp3").write_bytes(b"")
    capfd.readouterr()
    with pytest.raises(kavri.AudioFileError, match=r"empty.mp3: .*\(it is empty\)"):
        kavri.read(tmp_path / "empty.mp3")
    assert capfd.readouterr().err == ""


def test_kept_sample_formats_are_those_the_output_can_be_written_in(tmp_path, monkeypatch):
    # MP3 data kept "the same" in a WAV could not be written; 8-bit and companded WAVs
    # came out as 32-bit float, four times their size.
    audio = 0.5 * noise(4800)
    kavri.write(tmp_path / "in.mp3", audio, RATE)
    for name, subtype in (("u8.wav", "PCM_U8"), ("mu.wav", "ULAW"), ("a.wav", "ALAW")):
        kavri.write(tmp_path / name, audio, RATE, subtype=subtype)
    out = tmp_path / "out"
    inputs = sorted(tmp_path.glob("*.*"))
    report = kavri.batch(inputs, "saturate", out, subtype="same", file_format="wav")
    assert report.ok
    kept = {p.name: sf.info(str(p)).subtype for p in out.glob("*.wav")}
    assert kept == {"u8.wav": "PCM_U8", "mu.wav": "ULAW", "a.wav": "ALAW", "in.wav": "FLOAT"}
    with pytest.raises(kavri.AudioFileError, match="WAV files cannot hold subtype 'mp3'"):
        kavri.write(tmp_path / "x.wav", audio, RATE, subtype="mp3")
    # A Vorbis input kept "the same" under .opus was written as Vorbis there, and so was
    # a Vorbis subtype asked for.
    kavri.write(tmp_path / "v.ogg", audio, RATE)
    opus = kavri.batch([tmp_path / "v.ogg"], [], tmp_path / "o", subtype="same", file_format="opus")
    assert opus.ok and sf.info(str(tmp_path / "o" / "v.opus")).subtype == "OPUS"
    with pytest.raises(kavri.AudioFileError, match="an .opus file holds Opus, not 'vorbis'"):
        kavri.write(tmp_path / "x.opus", audio, RATE, subtype="vorbis")
    # FLAC's size is not known before it is written: only uncompressed output is refused
    # for want of room.
    monkeypatch.setattr(kavri.io.writing, "free_bytes", lambda descriptor: 10_000)
    kavri.process_file(tmp_path / "u8.wav", tmp_path / "small.flac", [{"type": "polarity"}])
    with pytest.raises(kavri.AudioFileError, match="would not fit"):
        kavri.process_file(tmp_path / "u8.wav", tmp_path / "big.wav", [{"type": "polarity"}])


def test_outputs_their_encoders_would_spoil_are_refused_before_any_audio(tmp_path):
    # Each of these failed only after the whole render (a frame count read back wrong), or
    # crashed the process (Vorbis above 200 kHz).
    audio = np.zeros((100, 2), np.float32)
    for name, rate, options, message in (
        ("x.ogg", 240_000, {}, "Ogg Vorbis holds sample rates up to 200000 Hz"),
        ("x.mp3", 192_000, {}, "MP3 holds sample rates of 8000, .* got 192000 Hz"),
        ("x.mp3", 48_000, {"bitrate": 48}, "48 kbit/s would shift the audio.*use 64 kbit/s"),
        ("x.wav", 8_000, {"subtype": "IMA_ADPCM"}, "cannot hold subtype 'IMA_ADPCM'"),
        ("x.wav", 8_000, {"subtype": "GSM610"}, "cannot hold subtype 'GSM610'"),
    ):
        with pytest.raises(kavri.AudioFileError, match=message):
            kavri.write(tmp_path / name, audio, rate, **options)
        assert not (tmp_path / name).exists()
    kavri.write(tmp_path / "y.mp3", audio, 48_000, bitrate=64)
    # A loudness target's trial encodings are named as the output they stand for, not as
    # the temporary they are written to.
    kavri.write(tmp_path / "none.wav", audio[:0], 48_000)
    with pytest.raises(kavri.AudioFileError, match=r"^\S*z\.mp3: the audio has no frames"):
        kavri.process_file(tmp_path / "none.wav", tmp_path / "z.mp3", [], loudness=-16)


def test_a_ceiling_that_a_lossy_encoder_passes_is_reported(tmp_path):
    # --peak-ceiling without a loudness target holds the peaks before encoding; the MP3
    # encoder's own overshoot then passed the ceiling without a word.
    t = np.arange(RATE) / RATE
    square = np.repeat((0.9 * np.sign(np.sin(2 * np.pi * 1000 * t)))[:, None], 2, 1)
    kavri.write(tmp_path / "sq.wav", square.astype(np.float32), RATE)
    ceiling = [{"type": "normalize", "peak_db": -1, "mode": "true", "when": "above"}]
    for name, warned in (("sq.mp3", True), ("sq.flac", False)):
        summary = kavri.process_file(tmp_path / "sq.wav", tmp_path / name, ceiling, measure=True)
        notes = [n for n in summary.warnings if "above the -1 dBTP ceiling" in n]
        assert bool(notes) == warned, (name, summary.warnings)
    # Unmeasured too, as a batch runs its files: it had passed the ceiling without a word.
    summary = kavri.process_file(tmp_path / "sq.wav", tmp_path / "sq.mp3", ceiling)
    assert any("above the -1 dBTP ceiling" in note for note in summary.warnings)
    assert summary.measurement is None


# --- tags ------------------------------------------------------------------------------------


def tagged_flac(path) -> None:
    kavri.write(path, noise(4800), RATE)
    flac = mutagen.File(path)
    flac["TITLE"], flac["ARTIST"], flac["REPLAYGAIN_TRACK_GAIN"] = "Song", "Band", "-3 dB"
    flac.save()


def test_tags_travel_between_formats_and_can_be_set_or_left_out(tmp_path):
    tagged_flac(tmp_path / "in.flac")
    chain = [{"type": "gain", "db": -1}]
    for suffix in (".mp3", ".wav", ".ogg", ".flac", ".aiff"):
        out = tmp_path / f"out{suffix}"
        kavri.process_file(tmp_path / "in.flac", out, chain, tags={"album": "LP"})
        tags = read_tags(str(out))
        assert tags == {"title": "Song", "artist": "Band", "album": "LP"}, suffix
        # Levels measured on the input would be false of the output: never carried.
        assert "replaygain_track_gain" not in tags
    # MP3 back to FLAC, a tag replaced, and the input's tags left out.
    kavri.process_file(tmp_path / "out.mp3", tmp_path / "back.flac", chain, tags={"title": "B"})
    assert read_tags(str(tmp_path / "back.flac"))["title"] == "B"
    kavri.process_file(tmp_path / "in.flac", tmp_path / "none.flac", chain, keep_tags=False)
    assert read_tags(str(tmp_path / "none.flac")) == {}
    # ID3 dates that are no time stamp are kept as written ("05/01/2024" came back as
    # "0005-01-2024", "Spring 2024" not at all), and a picture kept as a Vorbis comment
    # goes to Vorbis comments only (into ID3 it became text of base64).
    flac = mutagen.File(tmp_path / "in.flac")
    flac["METADATA_BLOCK_PICTURE"] = "QUJD"
    flac.save()
    for date in ("05/01/2024", "Spring 2024", "2024-05-01"):
        for suffix in (".mp3", ".aiff", ".ogg"):
            out = tmp_path / f"dated{suffix}"
            kavri.process_file(tmp_path / "in.flac", out, chain, tags={"date": date})
            tags = read_tags(str(out))
            assert tags["date"] == date, (date, suffix)
            assert ("metadata_block_picture" in tags) == (suffix == ".ogg"), suffix
    # A format without tags: the tags given are reported, not silently lost.
    summary = kavri.process_file(tmp_path / "in.flac", tmp_path / "x.caf", chain, tags={"a": "b"})
    assert any("CAF output cannot hold the tag a" in note for note in summary.warnings)
    for name in ("x.wav", "x.raw"):
        container = name[2:].upper()
        with pytest.warns(kavri.io.ContainerWarning, match=f"{container} output cannot hold"):
            kavri.write(tmp_path / name, np.zeros(10, np.float32), RATE, tags={"mood": "calm"})
    with pytest.raises(ValueError, match="tag name"):
        kavri.RenderSettings(tags={"bad=name": "x"})


def test_info_written_in_a_windows_code_page_keeps_its_letters(tmp_path):
    # libsndfile hands INFO strings on as UTF-8: "caf\xe9" became "caf\ufffd" in every copy.
    info = b"INFO"
    for chunk, text in ((b"INAM", b"caf\xe9"), (b"IART", "Zoë".encode())):
        body = text + b"\0"
        info += chunk + struct.pack("<I", len(body)) + body + b"\0" * (len(body) & 1)
    fmt = struct.pack("<HHIIHH", 1, 1, RATE, 2 * RATE, 2, 16)
    chunks = b"fmt " + struct.pack("<I", 16) + fmt + b"LIST" + struct.pack("<I", len(info))
    chunks += info + b"data" + struct.pack("<I", 200) + bytes(200)
    wav = b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks
    (tmp_path / "w.wav").write_bytes(wav)
    assert read_tags(str(tmp_path / "w.wav")) == {"title": "café", "artist": "Zoë"}
    kavri.process_file(tmp_path / "w.wav", tmp_path / "w.flac", [])
    assert read_tags(str(tmp_path / "w.flac")) == {"title": "café", "artist": "Zoë"}
    # The same in RF64, whose INFO follows data of a size the ds64 chunk states.
    ds64 = b"ds64" + struct.pack("<IQQQI", 28, 0, 200, 100, 0)
    rf64 = b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + ds64
    rf64 += chunks.replace(b"data" + struct.pack("<I", 200), b"data" + b"\xff" * 4)
    at = rf64.index(b"LIST")
    moved = rf64[at : at + 8 + len(info)]
    (tmp_path / "r.wav").write_bytes(rf64.replace(moved, b"") + moved)  # INFO after data
    assert read_tags(str(tmp_path / "r.wav")) == {"title": "café", "artist": "Zoë"}
    command = [sys.executable, "-m", "kavri", "process", "-", "s.flac", "--effect", "gain"]
    subprocess.run(command, input=wav, cwd=tmp_path, check=True, capture_output=True)
    assert read_tags(str(tmp_path / "s.flac")) == {"title": "café", "artist": "Zoë"}


def test_long_tag_values_neither_stop_the_audio_nor_take_other_tags_with_them(tmp_path):
    # A carried value over 64 KiB (cover art in a Vorbis comment) had the file refused as a
    # bad tag; a WAV value over libsndfile's 2,045 bytes was lost without a word, with
    # every tag set after it.
    tagged_flac(tmp_path / "in.flac")
    flac = mutagen.File(tmp_path / "in.flac")
    flac["METADATA_BLOCK_PICTURE"] = "A" * 70_000
    flac.save()
    chain = [{"type": "gain", "db": -1}]
    for suffix in (".flac", ".wav"):
        kavri.process_file(tmp_path / "in.flac", tmp_path / f"out{suffix}", chain)
        assert read_tags(str(tmp_path / f"out{suffix}")) == {"title": "Song", "artist": "Band"}
    given = {"comment": "c" * 2100, "copyright": "Me", "date": "2024"}
    summary = kavri.process_file(tmp_path / "in.flac", tmp_path / "long.wav", chain, tags=given)
    # Said to be too long, not a tag WAV cannot hold.
    assert any(
        note.endswith(
            "the tag comment: longer than the 2,045 bytes a WAV file's INFO holds; not written"
        )
        for note in summary.warnings
    )
    assert read_tags(str(tmp_path / "long.wav")) == {
        "title": "Song",
        "artist": "Band",
        "copyright": "Me",
        "date": "2024",
    }


def test_tagged_output_is_reproducible_and_complete_when_it_appears(tmp_path, monkeypatch):
    tagged_flac(tmp_path / "in.flac")
    chain = [{"type": "gain", "db": -1}]
    for suffix in (".mp3", ".ogg", ".flac", ".wav"):
        first, second = tmp_path / f"a{suffix}", tmp_path / f"b{suffix}"
        kavri.process_file(tmp_path / "in.flac", first, chain)
        kavri.process_file(tmp_path / "in.flac", second, chain)
        assert first.read_bytes() == second.read_bytes(), suffix
    # Tags are written into the temporary: a failure there leaves no file at all.
    import kavri.io.writing as writing

    def fail(*args, **kwargs):
        raise kavri.AudioFileError("cannot write the tags: disk gone")

    monkeypatch.setattr(writing, "write_tags", fail)
    with pytest.raises(kavri.AudioFileError, match="cannot write the tags"):
        kavri.process_file(tmp_path / "in.flac", tmp_path / "never.flac", chain)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["in.flac"] + [f"{n}{s}" for n in "ab" for s in (".mp3", ".ogg", ".flac", ".wav")]
    )


def test_settings_digest_covers_tags():
    base = kavri.RenderSettings()
    assert base.digest([]) != kavri.RenderSettings(tags={"title": "x"}).digest([])
    assert base.digest([]) != kavri.RenderSettings(keep_tags=False).digest([])
    assert kavri.RenderSettings(tags=[("Title", "x")]).tags == (("title", "x"),)
    # Block size 0 is the default block, and a rerun with it redid every file.
    assert kavri.RenderSettings(block_size=0).digest([]) == base.digest([])
    # One chain however it is spelled: `--effect gain:db=0` is 0.0, Python's 0, and a key
    # left out its default; a batch from Python redid every file the command had made.
    spelled = ([{"type": "gain", "db": 0}], [{"type": "gain", "db": 0.0}], [{"type": "gain"}])
    assert len({base.digest(chain) for chain in spelled}) == 1
    assert base.digest([{"type": "gain", "db": 1}]) != base.digest(spelled[0])


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("ffprobe") is None, reason="ffprobe is not installed")
def test_tags_on_the_command_line_as_ffprobe_reads_them(tmp_path, run_kavri):
    tagged_flac(tmp_path / "in.flac")
    for name in ("out.mp3", "out.wav"):
        done = run_kavri(
            "process",
            "in.flac",
            name,
            "--effect",
            "gain:db=-1",
            "--tag",
            "album=Live",
            "--quiet",
            cwd=tmp_path,
        )
        assert done.returncode == 0, done.stderr
        probe = subprocess.run(
            ["ffprobe", "-v", "error", "-print_format", "json", "-show_format", name],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            check=True,
        )
        tags = {k.lower(): v for k, v in json.loads(probe.stdout)["format"]["tags"].items()}
        assert (tags["title"], tags["artist"], tags["album"]) == ("Song", "Band", "Live"), name
    done = run_kavri(
        "process",
        "in.flac",
        "bare.mp3",
        "--effect",
        "gain",
        "--no-tags",
        "--quiet",
        cwd=tmp_path,
    )
    assert done.returncode == 0 and read_tags(str(tmp_path / "bare.mp3")) == {}


@pytest.mark.slow
def test_formats_command_lists_what_is_read_and_written(run_kavri, tmp_path):
    done = run_kavri("formats", cwd=tmp_path)
    assert done.returncode == 0
    for word in (".m4a", ".wma", ".webm", "(PyAV)", ".flac", "s24le", "tags: any"):
        assert word in done.stdout, word


@pytest.mark.skipif("MPEG_LAYER_III" not in sf.available_subtypes("MP3"), reason="no MP3")
def test_an_mp3_has_the_same_bits_whatever_the_block_size_and_the_pass(tmp_path):
    # libsndfile's MP3 decoder gave wrong samples (up to full range) after reads that were
    # not whole MPEG frames, other last bits for reads of other sizes, and other last bits
    # again after a seek to the start: a streamed MP3, and noise read from one, changed with
    # the block size, and a second (measuring) pass differed from the first. And a VBR
    # file of a steady tone lost 50 to 70 ms to silence wherever a read of 73,728 frames
    # began. Every MP3 is now FFmpeg's decode.
    tone = 0.25 * np.sin(2 * np.pi * 1000 * np.arange(5 * RATE) / RATE)
    kavri.write(tmp_path / "tone.mp3", tone.astype(np.float32), RATE)
    decoded = kavri.read(tmp_path / "tone.mp3").audio[:, 0]
    made = ["ffmpeg", "-v", "error", "-i", str(tmp_path / "tone.mp3"), "-f", "f32le", "-"]
    theirs = np.frombuffer(subprocess.run(made, capture_output=True, check=True).stdout, "<f4")
    assert np.array_equal(decoded, theirs)
    assert np.abs(decoded[73_728:76_080]).max() > 0.2
    rng = np.random.default_rng(9)
    mp3 = tmp_path / "n.mp3"
    sf.write(mp3, rng.uniform(-0.5, 0.5, (30_000, 1)).astype(np.float32), 16000)
    clip = tmp_path / "take.wav"
    sf.write(clip, rng.uniform(-0.3, 0.3, (70_000, 1)).astype(np.float32), 16000, "FLOAT")
    whole, rate = kavri.read(mp3)
    signal, _ = kavri.read(clip)
    noise = {"type": "background_noise", "path": str(mp3), "mode": "gain"}
    # A response read from the file is the array kavri.read gives.
    on_file = kavri.process(signal, rate, [{"type": "convolution", "ir": str(mp3)}])
    assert np.array_equal(
        on_file, kavri.process(signal, rate, [{"type": "convolution", "ir": whole}])
    )
    cases = [
        (mp3, whole, [{"type": "polarity"}]),
        (mp3, whole, [{"type": "normalize"}]),  # a measuring pass, then the pass that runs
        (clip, signal, [{**noise, "offset_frames": 0}]),
        (clip, signal, [{**noise, "offset_frames": 7777}]),
    ]
    for source, audio, chain in cases:
        expected = kavri.process(audio, rate, chain)
        for block_size in (1000, 4096):
            out = tmp_path / "out.wav"
            kavri.process_file(source, out, chain, block_size=block_size, subtype="FLOAT")
            assert np.array_equal(sf.read(out, dtype="float32", always_2d=True)[0], expected)
        stream = kavri.Stream(chain, rate, 1)
        cuts = [0, 1, 1153, 5000, 21_111, audio.shape[0]]
        pieces = [stream.process(audio[a:b]) for a, b in zip(cuts, cuts[1:], strict=False)]
        assert np.array_equal(np.concatenate([*pieces, stream.flush()]), expected)
