"""Batch processing: the mirrored tree, skipping complete outputs, reporting bad files, the
command line's exit status, a real Dask cluster giving the local run's bits, never writing
over an input, the record of what each output was made from, and stopping cleanly."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf

import kavri
from kavri.runs.batch import expand_braces, find_files, find_inputs
from kavri.runs.record import RECORD_NAME

RATE = 48_000
CHAIN = [{"type": "gain", "db": 5}, {"type": "distortion", "drive": 3}, {"type": "clip"}]


@pytest.fixture
def tree(tmp_path):
    """in/a.wav, in/b.flac, in/sub/c.wav, in/sub/deep/d.wav and a broken in/sub/bad.wav."""
    rng = np.random.default_rng(11)
    source = tmp_path / "in"
    (source / "sub" / "deep").mkdir(parents=True)
    for name, channels in [("a.wav", 2), ("b.flac", 1), ("sub/c.wav", 3), ("sub/deep/d.wav", 2)]:
        audio = (0.4 * rng.standard_normal((4800, channels))).astype(np.float32)
        kavri.write(source / name, audio, RATE, subtype="pcm16" if name.endswith("flac") else None)
    (source / "sub" / "bad.wav").write_bytes(b"RIFF....WAVEjunk")
    return source


def expected_for(path) -> np.ndarray:
    audio, rate = kavri.read(path)
    return kavri.process(audio, rate, CHAIN)


def outputs(folder) -> dict[str, np.ndarray]:
    return {
        str(p.relative_to(folder)): kavri.read(p).audio
        for p in sorted(folder.rglob("*"))
        if p.is_file() and p.name != RECORD_NAME
    }


def test_batch_mirrors_the_tree_and_reports_the_bad_file(tree, tmp_path):
    files = find_files(tree, "*.wav")
    assert [str(p.relative_to(tree)) for p in files] == [
        "a.wav",
        "sub/bad.wav",
        "sub/c.wav",
        "sub/deep/d.wav",
    ]
    report = kavri.batch(files, CHAIN, tmp_path / "out", jobs=3, base_dir=tree)
    assert not report.ok
    assert [r.status for r in report.results] == ["done", "failed", "done", "done"]
    assert "bad.wav: not a readable audio file" in report.failed[0].error
    got = outputs(tmp_path / "out")
    assert sorted(got) == ["a.wav", "sub/c.wav", "sub/deep/d.wav"]
    for name, audio in got.items():
        assert np.array_equal(audio, expected_for(tree / name)), name


def test_rerun_skips_complete_outputs_unless_forced(tree, tmp_path):
    files = find_files(tree, "*.wav")
    out = tmp_path / "out"
    kavri.batch(files, CHAIN, out, base_dir=tree)
    stamps = {p: p.stat().st_mtime_ns for p in out.rglob("*.wav")}
    again = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in again.results] == ["skipped", "failed", "skipped", "skipped"]
    assert {p: p.stat().st_mtime_ns for p in out.rglob("*.wav")} == stamps

    # A truncated output (not written by kavri) and an input newer than its output are redone.
    (out / "a.wav").write_bytes(b"RIFF")
    newer = tree / "sub" / "c.wav"
    os.utime(newer, ns=(stamps[out / "sub" / "c.wav"] + 10**9,) * 2)
    third = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in third.results] == ["done", "failed", "done", "skipped"]
    assert np.array_equal(kavri.read(out / "a.wav").audio, expected_for(tree / "a.wav"))

    forced = kavri.batch(files, CHAIN, out, base_dir=tree, force=True)
    assert [r.status for r in forced.results] == ["done", "failed", "done", "done"]

    # The same bytes at another path keep their outputs: a project folder moved (or IN_DIR
    # reached through a link) had every output made again.
    os.rename(tmp_path, tmp_path.with_name(tmp_path.name + "-moved"))
    moved = tmp_path.with_name(tmp_path.name + "-moved")
    try:
        files = find_files(moved / "in", "*.wav")
        again = kavri.batch(files, CHAIN, moved / "out", base_dir=moved / "in")
        assert [r.status for r in again.results] == ["skipped", "failed", "skipped", "skipped"]
    finally:
        os.rename(moved, tmp_path)


def test_outputs_inside_the_input_folder_are_not_taken_as_inputs(tree):
    kavri.batch(find_files(tree, "*.wav", exclude=tree / "out"), CHAIN, tree / "out", base_dir=tree)
    assert [str(p.relative_to(tree)) for p in find_files(tree, "*.wav", exclude=tree / "out")] == [
        "a.wav",
        "sub/bad.wav",
        "sub/c.wav",
        "sub/deep/d.wav",
    ]


def test_bad_chain_fails_before_any_file(tree, tmp_path):
    with pytest.raises(kavri.ChainError, match="unknown parameter 'drve'"):
        kavri.batch(find_files(tree), [{"type": "distortion", "drve": 2}], tmp_path / "out")
    assert not (tmp_path / "out").exists()
    # Settings no output can take failed file by file, after the folder was made.
    files = find_files(tree)
    with pytest.raises(kavri.AudioFileError, match="FLAC files cannot hold subtype 'pcm32'"):
        kavri.batch(files, CHAIN, tmp_path / "out", file_format="flac", subtype="pcm32")
    with pytest.raises(kavri.AudioFileError, match="a bit rate applies to MP3 output only"):
        kavri.augment_files(
            files, CHAIN, tmp_path / "out", variants=1, seed=1, base_dir=tree, bitrate=128
        )
    assert not (tmp_path / "out").exists()
    # Where some outputs take them, the others fail on their own.
    mixed = kavri.batch(files, CHAIN, tmp_path / "out", subtype="pcm24")
    assert {r.status for r in mixed.results} == {"done", "failed"}


@pytest.mark.slow
def test_cli_batch_exit_status_and_messages(tree, tmp_path, run_kavri):
    first = run_kavri(
        "batch",
        "in",
        "out",
        "--effect",
        "gain:db=5",
        "--effect",
        "distortion:drive=3",
        "--effect",
        "clip",
        "--jobs",
        "2",
        cwd=tmp_path,
    )
    assert first.returncode == 1
    assert (
        "kavri: error: " in first.stderr
        and "sub/bad.wav: not a readable audio file" in first.stderr
    )
    assert "3 processed, 0 skipped (already complete), 1 failed" in first.stdout
    flac = run_kavri(
        "batch",
        "in",
        "out",
        "--effect",
        "gain:db=5",
        "--effect",
        "distortion:drive=3",
        "--effect",
        "clip",
        "--pattern",
        "*.flac",
        cwd=tmp_path,
    )
    assert flac.returncode == 0, flac.stderr
    # FLAC keeps its format and its 16 bits: rounding and one step of dither at most.
    written = kavri.read(tmp_path / "out" / "b.flac").audio
    assert sf.info(str(tmp_path / "out" / "b.flac")).subtype == "PCM_16"
    assert np.max(np.abs(written - expected_for(tree / "b.flac"))) <= 1.5 * 2.0**-15
    again = run_kavri(
        "batch",
        "in",
        "out",
        "--effect",
        "gain:db=5",
        "--effect",
        "distortion:drive=3",
        "--effect",
        "clip",
        "--pattern",
        "*.flac",
        cwd=tmp_path,
    )
    assert "0 processed, 1 skipped" in again.stdout
    (tree / "sub" / "bad.wav").unlink()
    good = run_kavri(
        "batch",
        "in",
        "out",
        "--effect",
        "gain:db=5",
        "--effect",
        "distortion:drive=3",
        "--effect",
        "clip",
        cwd=tmp_path,
    )
    assert good.returncode == 0 and "0 processed, 3 skipped" in good.stdout


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["missing", "out", "--preset", "saturate"], "missing: no such folder"),
        (["in", "in", "--preset", "saturate"], "in: is the input folder"),
        (["in", "out", "--preset", "saturate", "--pattern", "*.aiff"], "no files match '*.aiff'"),
        (["in", "out", "--preset", "nope"], "unknown preset 'nope'"),
        (["in", "out", "--preset", "saturate", "--subtype", "pcm7"], "unknown subtype 'pcm7'"),
        (["in", "out", "--preset", "saturate", "--pattern", "/abs/*.wav"], "relative to IN_DIR"),
        (["in", "out", "--preset", "saturate", "--pattern", "*.{wav,{x"], "no files match"),
        (
            ["in", "out", "--preset", "x.json"],
            "presets are names (see 'kavri presets'); for a chain",
        ),
    ],
)
def test_cli_batch_refuses_bad_arguments(tree, tmp_path, args, message, run_kavri):
    result = run_kavri("batch", *args, cwd=tmp_path)
    assert result.returncode == 1 and message in result.stderr
    assert result.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.slow
def test_dask_cluster_gives_the_local_bits(tree, tmp_path, dask_client):
    files = [f for f in find_files(tree, "*.wav") if f.name != "bad.wav"]
    local = kavri.batch(files, "saturate", tmp_path / "local", base_dir=tree)
    assert local.ok
    remote = kavri.batch(
        files, "saturate", tmp_path / "dask", base_dir=tree, executor=dask_client.get_executor()
    )
    assert remote.ok and len(remote.done) == len(files)
    a, b = outputs(tmp_path / "local"), outputs(tmp_path / "dask")
    assert sorted(a) == sorted(b) == ["a.wav", "sub/c.wav", "sub/deep/d.wav"]
    for name in a:
        assert np.array_equal(a[name], b[name]), name
    # Relative names mean the caller's folder, not the worker's: they had been read and
    # written in the worker's own, beside a record kept in the caller's.
    kavri.write(tmp_path / "hum.wav", np.full((100, 2), 0.01, np.float32), RATE)
    relative = [os.path.relpath(f, tmp_path) for f in files]
    chain = [{"type": "background_noise", "path": "hum.wav", "mode": "gain", "offset_frames": 0}]
    executor = dask_client.get_executor()
    home = os.getcwd()
    os.chdir(tmp_path)
    try:
        local = kavri.batch(relative, chain, "rel-local", base_dir=tree.name)
        remote = kavri.batch(relative, chain, "rel-dask", base_dir=tree.name, executor=executor)
    finally:
        os.chdir(home)
    assert local.ok and remote.ok and [r.output for r in remote.done][0].startswith("rel-dask")
    a, b = outputs(tmp_path / "rel-local"), outputs(tmp_path / "rel-dask")
    assert sorted(a) == sorted(b) and all(np.array_equal(a[n], b[n]) for n in a)
    # Failures read alike too: a bad input named as given, and an empty noise name refused
    # (made absolute, it had named the working folder, and noise was drawn from it).
    bad = [os.path.relpath(tree / "bad.wav", tmp_path)]
    empty = [{**chain[0], "path": ""}]
    os.chdir(tmp_path)
    try:
        failed = [
            [r.error for r in kavri.batch(files, one, out, base_dir=tree.name, **options).failed]
            for files, one in ((bad, chain), (relative[:1], empty))
            for out, options in (("f-local", {}), ("f-dask", {"executor": executor}))
        ]
    finally:
        os.chdir(home)
    assert failed[0] == failed[1] and failed[2] == failed[3] and all(failed)


def test_tasks_an_executor_cancels_are_failures_not_a_clean_report(tree, tmp_path):
    from concurrent.futures import Executor, Future

    class LostCluster(Executor):  # a Dask cluster gone away cancels every task it held
        def submit(self, fn, /, *args, **kwargs):
            future: Future = Future()
            future.cancel()
            future.set_running_or_notify_cancel()
            return future

    files = [f for f in find_files(tree, "*.wav") if f.name != "bad.wav"]
    report = kavri.batch(files, "saturate", tmp_path / "out", executor=LostCluster())
    assert len(report.failed) == len(files) and not report.ok
    assert "the executor cancelled the task" in report.failed[0].error


# --- never writing over an input, and knowing what is complete ------------------------------


@pytest.mark.slow
def test_output_folder_inside_the_inputs_never_overwrites_an_original(tmp_path, run_kavri):
    """`kavri batch music music/live` where music/live already holds recordings."""
    music = tmp_path / "music"
    (music / "live").mkdir(parents=True)
    rng = np.random.default_rng(2)
    for name in ("take.wav", "live/take.wav", "live/encore.wav"):
        kavri.write(music / name, (0.3 * rng.standard_normal((2400, 2))).astype(np.float32), RATE)
    originals = {name: (music / name).read_bytes() for name in ("live/take.wav", "live/encore.wav")}

    first = run_kavri("batch", "music", "music/live", "--effect", "gain:db=5", cwd=tmp_path)
    assert first.returncode == 1
    assert "take.wav: output would overwrite the input music/live/take.wav" in first.stderr
    assert "2 processed, 0 skipped (already complete), 1 failed" in first.stdout
    assert {name: (music / name).read_bytes() for name in originals} == originals
    # The recordings in music/live are inputs like the rest; their outputs nest below.
    for name in ("live/take.wav", "live/encore.wav"):
        assert np.array_equal(
            kavri.read(music / "live" / name).audio,
            kavri.process(kavri.read(music / name).audio, RATE, [{"type": "gain", "db": 5}]),
        )
    # A rerun takes none of its own outputs as inputs and still refuses the collision.
    again = run_kavri("batch", "music", "music/live", "--effect", "gain:db=5", cwd=tmp_path)
    assert "0 processed, 2 skipped (already complete), 1 failed" in again.stdout
    assert not (music / "live" / "live" / "live").exists()

    # The library refuses it too, though the file list leaves the recording out.
    report = kavri.batch([music / "take.wav"], CHAIN, music / "live", base_dir=music)
    assert "a file in the input folder that kavri did not write" in report.failed[0].error
    # And an output that is an input under another name (a link onto it) is refused.
    out = tmp_path / "out"
    out.mkdir()
    (out / "take.wav").symlink_to(music / "take.wav")
    report = kavri.batch([music / "take.wav"], CHAIN, out)
    assert report.failed[0].error.endswith("output would overwrite the input")
    assert {name: (music / name).read_bytes() for name in originals} == originals


def test_outputs_nested_in_the_inputs_survive_metadata_changes_touches_and_kills(tree):
    out = tree / "out"
    files = lambda: find_files(tree, "*.wav", exclude=out)  # noqa: E731
    first = kavri.batch(files(), CHAIN, out, base_dir=tree)
    assert len(first.done) == 3
    # A chmod (or a hard link, a snapshot) changes the outputs' change time alone: every
    # output of the rerun failed as "a file that kavri did not write".
    for path in out.rglob("*.wav"):
        path.chmod(0o664)
    rerun = kavri.batch(files(), CHAIN, out, base_dir=tree)
    assert len(rerun.skipped) == 3 and [r.source for r in rerun.failed] == [
        str(tree / "sub/bad.wav")
    ]
    # A touched output came back as an input, and was written into out/out.
    os.utime(out / "a.wav")
    assert "out/a.wav" not in {str(p.relative_to(tree)) for p in files()}
    again = kavri.batch(files(), CHAIN, out, base_dir=tree)
    refused = next(r for r in again.failed if r.source.endswith("a.wav"))
    assert "changed since (the batch record lists it)" in refused.error
    assert not (out / "out").exists()
    # Each finished output is journaled as it is known: a run killed before its record
    # was saved loses only the entries of the moment, not a second's worth.
    from kavri.runs.record import Record

    record = Record(out)
    entry = record.get(str(out / "sub" / "c.wav"))
    (out / RECORD_NAME).unlink()
    record.put(str(out / "sub" / "c.wav"), entry)
    assert Record(out).get(str(out / "sub" / "c.wav")) == entry
    assert str(out / "sub" / "c.wav") not in {str(p) for p in files()}


@pytest.mark.parametrize("raised", [RuntimeError, KeyboardInterrupt])
def test_an_on_result_that_raises_keeps_the_record_and_ends_the_threads(tree, tmp_path, raised):
    # A KeyboardInterrupt (Ctrl-C in the caller's callback) left the outputs that finished
    # meanwhile out of the record, and a rerun made them again.
    files = [f for f in find_files(tree) if f.name != "bad.wav"]
    seen = []

    def on_result(result):
        seen.append(result)
        raise raised("the caller's own fault")

    with pytest.raises(raised, match="the caller's own fault"):
        kavri.batch(files, CHAIN, tmp_path / "out", base_dir=tree, jobs=4, on_result=on_result)
    written = {p for p in (tmp_path / "out").rglob("*.wav")}
    rerun = kavri.batch(files, CHAIN, tmp_path / "out", base_dir=tree)
    assert sum(r.status == "skipped" for r in rerun.results) == len(written) >= 1
    # The batch's own threads (kavri_0, ...); the steps' shared pool stays by design.
    assert not [t for t in threading.enumerate() if t.name.startswith("kavri_")]


def test_one_run_at_a_time_writes_into_an_output_folder(tree, tmp_path):
    # Two runs into one folder each rewrote the record (and augment its manifest) from what
    # it had read at its start: one run's entries were lost.
    files = [f for f in find_files(tree) if f.name != "bad.wav"]
    out = tmp_path / "out"
    out.mkdir()
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys, time; d = os.open(sys.argv[1], os.O_RDONLY);"
         " fcntl.flock(d, fcntl.LOCK_EX); print('held', flush=True); time.sleep(30)", str(out)],
        stdout=subprocess.PIPE,
        text=True,
    )  # fmt: skip
    try:
        assert holder.stdout.readline().strip() == "held"
        for run in (
            lambda: kavri.batch(files, CHAIN, out, base_dir=tree),
            lambda: kavri.augment_files(
                files, [{"type": "gain", "db": -3}], out, variants=1, seed=1, base_dir=tree
            ),
        ):
            with pytest.raises(kavri.KavriError, match="another kavri run is writing into"):
                run()
    finally:
        holder.kill()
        holder.communicate()
    assert list(out.iterdir()) == []
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok  # free again


def test_a_file_the_chain_reads_that_fails_names_each_input(tree, tmp_path):
    # Every file failed with the same line naming only the response file.
    (tmp_path / "room.m4a").write_text("not audio")
    files = [f for f in find_files(tree) if f.name != "bad.wav"]
    chain = [{"type": "convolution", "ir": str(tmp_path / "room.m4a")}]
    report = kavri.batch(files, chain, tmp_path / "out", base_dir=tree)
    assert [r.error.split(": convolution: ")[0] for r in report.failed] == [str(f) for f in files]


def test_rerun_decides_completeness_from_what_the_output_was_made_from(tree, tmp_path):
    files = [tree / "a.wav", tree / "sub" / "c.wav"]
    out = tmp_path / "out"
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
    made = (out / "a.wav").stat()

    # Different audio of the same length, dated before its output: redone, not skipped.
    replacement = (0.1 * np.ones((4800, 2))).astype(np.float32)
    kavri.write(tree / "a.wav", replacement, RATE)
    os.utime(tree / "a.wav", ns=(made.st_mtime_ns - 10**9,) * 2)
    rerun = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in rerun.results] == ["done", "skipped"]
    assert np.array_equal(kavri.read(out / "a.wav").audio, kavri.process(replacement, RATE, CHAIN))

    # Same size and time stamp as recorded, other bytes: the content hash tells them apart.
    stamp = (tree / "a.wav").stat().st_mtime_ns
    kavri.write(tree / "a.wav", -replacement, RATE)
    os.utime(tree / "a.wav", ns=(stamp, stamp))
    assert [r.status for r in kavri.batch(files, CHAIN, out, base_dir=tree).results] == [
        "done",
        "skipped",
    ]

    # Another chain, or an output changed since it was written, is redone as well.
    assert [r.status for r in kavri.batch(files, "saturate", out, base_dir=tree).results] == [
        "done",
        "done",
    ]
    kavri.write(out / "sub" / "c.wav", replacement, RATE)
    assert [r.status for r in kavri.batch(files, "saturate", out, base_dir=tree).results] == [
        "skipped",
        "done",
    ]
    assert (out / ".kavri-batch.json").is_file()


def test_raw_outputs_empty_folders_and_a_stop_while_counting(tree, tmp_path, monkeypatch):
    files = [tree / "a.wav", tree / "sub" / "c.wav"]
    # Raw PCM has no header to show it complete: a rerun redid it every time.
    out = tmp_path / "raw"
    assert kavri.batch(files, CHAIN, out, base_dir=tree, file_format="raw").ok
    again = kavri.batch(files, CHAIN, out, base_dir=tree, file_format="raw")
    assert [r.status for r in again.results] == ["skipped", "skipped"]
    # An empty folder (an unset variable) was taken as the current folder, and written in.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(kavri.KavriError, match="output folder: an empty path"):
        kavri.batch(files, CHAIN, "", base_dir=tree)
    with pytest.raises(kavri.KavriError, match="input folder: an empty path"):
        find_files("")
    assert not (tmp_path / "a.wav").exists()
    # Opening every input for the progress total took seconds before a stop was seen.
    flag = threading.Event()
    flag.set()
    # A run that ends before its first output takes away the folders it made (they had
    # been left, new and empty, after a stop, or where no thread could be started).
    with pytest.raises(kavri.BatchInterrupted, match="0 processed.* 2 not started"):
        kavri.batch(files, CHAIN, tmp_path / "o" / "x", on_progress=lambda d, t: None, stop=flag)
    assert not (tmp_path / "o").exists()

    def no_thread(self):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading.Thread, "start", no_thread)
    with pytest.raises(RuntimeError, match="can't start new thread"):
        kavri.augment_files(files, CHAIN, tmp_path / "o" / "x", variants=2, seed=1, base_dir=tree)
    assert not (tmp_path / "o").exists()
    with pytest.raises(RuntimeError, match="can't start new thread"):
        kavri.batch(files, CHAIN, out, base_dir=tree, force=True)
    assert sorted(os.listdir(out)) == [".kavri-batch.json", "a.raw", "sub"]  # kept as it was


def test_hidden_files_are_inputs_only_when_a_pattern_names_them(tree):
    # macOS leaves "._take.wav" beside every file on a shared drive: each failed the run.
    (tree / "._a.wav").write_bytes(b"\x00\x05\x16\x07 not audio")
    (tree / ".Trash" / "old").mkdir(parents=True)
    kavri.write(tree / ".Trash" / "old" / "x.wav", np.zeros((10, 1), np.float32), RATE)
    names = [p.relative_to(tree).as_posix() for p in find_files(tree, ["*.wav", "*.flac"])]
    assert names == ["a.wav", "b.flac", "sub/bad.wav", "sub/c.wav", "sub/deep/d.wav"]
    assert [p.name for p in find_files(tree, ".*.wav")] == ["._a.wav"]
    from kavri.io.folders import audio_files

    assert [os.path.basename(f) for f in audio_files(str(tree), "*", "noise")] == [
        "a.wav",
        "b.flac",
    ]
    assert len(audio_files(str(tree), "**/*.wav", "noise")) == 4
    # 'sub/**' (every file below, as a shell's globstar) matched only folders: no files.
    below = ["sub/bad.wav", "sub/c.wav", "sub/deep/d.wav"]
    assert [p.relative_to(tree).as_posix() for p in find_files(tree, "sub/**")] == below
    assert [os.path.relpath(f, tree) for f in audio_files(str(tree), "sub/**/", "x")] == below


def test_refusals_and_warnings_say_each_thing_once(tree, tmp_path, run_kavri):
    # A refused batch had made OUT_DIR; an input given twice was "two inputs, one output";
    # a damaged record was reported twice; a tag note named its file twice.
    with pytest.raises(kavri.KavriError, match="a.wav: given twice"):
        kavri.batch([tree / "a.wav", tree / "a.wav"], CHAIN, tmp_path / "twice")
    (tree / "a.flac").write_bytes((tree / "b.flac").read_bytes())
    refused = run_kavri(
        *"batch in flac --effect clip --format flac --pattern *.*".split(), cwd=tmp_path
    )
    assert refused.returncode == 1 and "would be written there" in refused.stderr
    assert not (tmp_path / "flac").exists()
    (tree / "a.flac").unlink()

    out = tree / "out"
    args = ("batch", "in", "in/out", "--effect", "gain:db=-1", "--tag", "composer=X")
    first = run_kavri(*args, cwd=tmp_path)
    assert first.returncode == 1  # in/sub/bad.wav
    assert "kavri: warning: in/out/a.wav: WAV output cannot hold the tag composer" in (first.stderr)
    (out / RECORD_NAME).write_text('{"format": 1, "outputs": {"a.wav": 5}}')
    again = run_kavri(*args, cwd=tmp_path)
    assert again.stderr.count("damaged entr") == 1
    # With its entry gone, the earlier output is a file kavri cannot tell from one put there.
    assert "in/out/a.wav, a file in the output folder that its batch record" in again.stderr


def test_rerun_redoes_outputs_whose_noise_or_response_files_changed(tree, tmp_path):
    # A rerun compared the input and the chain's text: a response or noise rewritten since
    # was skipped, and the outputs kept the old sound.
    files = [tree / "a.wav", tree / "sub" / "c.wav"]
    out, noises = tmp_path / "out", tmp_path / "noises"
    noises.mkdir()
    kavri.write(tmp_path / "ir.wav", np.array([[0.5]], np.float32), RATE)
    kavri.write(noises / "n1.wav", np.full((900, 1), 0.01, np.float32), RATE)
    chain = [
        {"type": "convolution", "ir": str(tmp_path / "ir.wav")},
        {"type": "background_noise", "path": str(noises), "snr_db": 10, "seed": 4},
    ]

    def statuses():
        return [r.status for r in kavri.batch(files, chain, out, base_dir=tree).results]

    assert statuses() == ["done", "done"]
    assert statuses() == ["skipped", "skipped"]
    kavri.write(tmp_path / "ir.wav", np.array([[0.25]], np.float32), RATE)
    assert statuses() == ["done", "done"]
    source = kavri.read(tree / "a.wav")
    made = kavri.process(source.audio, source.sample_rate, chain)
    assert np.array_equal(kavri.read(out / "a.wav").audio, made)
    # A file added to the folder the noise is drawn from changes what may be drawn.
    kavri.write(noises / "n2.wav", np.full((900, 1), 0.02, np.float32), RATE)
    assert statuses() == ["done", "done"]
    assert statuses() == ["skipped", "skipped"]
    # Rewritten with its size and time kept, as cp -p or rsync -a leave a file.
    before = (noises / "n1.wav").stat()
    kavri.write(noises / "n1.wav", np.full((900, 1), 0.03, np.float32), RATE)
    os.utime(noises / "n1.wav", ns=(before.st_atime_ns, before.st_mtime_ns))
    assert statuses() == ["done", "done"]


def test_chains_holding_numpy_values_run_and_rerun_by_the_bits_of_their_arrays(tree, tmp_path):
    # Accepted by process and process_file, such a chain failed every batch with json's
    # "Object of type float32 is not JSON serializable".
    files, out = [tree / "a.wav"], tmp_path / "out"
    chain = [
        {"type": "gain", "db": np.float32(-3)},
        {"type": "convolution", "ir": np.full(64, 1 / 64, np.float32)},
    ]
    assert type(kavri.validate_chain(chain)[0]["db"]) is float

    def statuses():
        return [r.status for r in kavri.batch(files, chain, out, base_dir=tree).results]

    assert statuses() == ["done"] and statuses() == ["skipped"]
    chain[1]["ir"] = np.full(64, 1 / 32, np.float32)
    assert statuses() == ["done"]
    source = kavri.read(tree / "a.wav")
    made = kavri.process(source.audio, source.sample_rate, chain)
    assert np.array_equal(kavri.read(out / "a.wav").audio, made)


def test_clamp_warnings_of_a_run_name_their_file(tmp_path):
    # They read "effect 1 ('lowpass'): frequency_hz = ..." once per file, with no file.
    source = tmp_path / "in"
    source.mkdir()
    for name in ("low.wav", "high.wav"):
        rate = 8000 if name == "low.wav" else RATE
        kavri.write(source / name, np.zeros((800, 1), np.float32), rate)
    chain = [{"type": "lowpass", "frequency_hz": 6000}]
    with pytest.warns(kavri.ClampWarning) as caught:
        kavri.batch(sorted(source.iterdir()), chain, tmp_path / "out", base_dir=source)
    assert [str(w.message).split(": ")[0] for w in caught] == [str(tmp_path / "out" / "low.wav")]


def test_errors_with_fields_cross_a_process_pool_whole():
    # A pool's worker sends its exception back pickled: SettingError could not be rebuilt
    # from its message, and the pool broke instead of raising it.
    from kavri.runs.tasks import BatchInterrupted, BatchReport

    for error in (
        kavri.SettingError("tail", "tail must be 0 or more"),
        BatchInterrupted("stopped", BatchReport(), 3),
    ):
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is type(error) and str(again) == str(error)
        assert again.__dict__.keys() == error.__dict__.keys()


def test_a_folder_that_cannot_be_made_fails_only_its_file(tree, tmp_path, run_kavri):
    out = tmp_path / "out"
    out.mkdir()
    (out / "sub").write_text("a file where the folder should be")
    (out / ".kavri-tmp.d").mkdir()
    (out / ".kavri-tmp.d" / ".a.wav.ab12cd34.kavri-tmp").write_bytes(b"left by a killed run")
    result = run_kavri("batch", "in", "out", "--preset", "saturate", cwd=tmp_path)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert "sub/c.wav: cannot create folder" in result.stderr
    assert "1 processed, 0 skipped (already complete), 3 failed" in result.stdout
    assert (out / "a.wav").is_file() and not list(out.rglob("*.kavri-tmp*"))


def test_links_are_placed_by_their_path_under_the_input_folder(tree, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    kavri.write(elsewhere / "ext.wav", np.full((480, 2), 0.25, np.float32), RATE)
    (tree / "sub" / "ext.wav").symlink_to(elsewhere / "ext.wav")
    files = [f for f in find_files(tree) if f.name != "bad.wav"]
    report = kavri.batch(files, CHAIN, tmp_path / "out", base_dir=tree)
    assert report.ok
    assert (tmp_path / "out" / "sub" / "ext.wav").is_file()
    assert not (tmp_path / "out" / "ext.wav").exists()


def test_progress_counts_the_frames_of_every_file(tree, tmp_path):
    calls = []
    files = find_files(tree)  # bad.wav counts 0 frames; its failure ends its share
    report = kavri.batch(
        files,
        CHAIN,
        tmp_path / "out",
        base_dir=tree,
        jobs=2,
        tail=0.1,
        on_progress=lambda done, total: calls.append((done, total)),
    )
    assert len(report.done) == 3
    assert calls[-1] == (3 * (4800 + 4800), 3 * (4800 + 4800))
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:], strict=False))


def test_stop_request_abandons_the_rest(tree, tmp_path):
    files = [f for f in find_files(tree) if f.name != "bad.wav"]
    out = tmp_path / "out"

    class AfterFirstOutput:
        """Set once the first output exists; the worker sees it before its next file."""

        def is_set(self):
            return (out / "a.wav").exists()

    with pytest.raises(kavri.BatchInterrupted) as caught:
        kavri.batch(files, CHAIN, out, base_dir=tree, jobs=1, stop=AfterFirstOutput())
    assert [r.status for r in caught.value.report.results] == ["done"]
    # Nor is the folder of an output not started left behind, empty.
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*")) == [".kavri-batch.json", "a.wav"]
    # The record kept the finished file: a rerun skips it and does the rest.
    rerun = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in rerun.results] == ["skipped", "done", "done"]


@pytest.mark.slow
def test_signal_stops_a_batch_between_chunks(tree, tmp_path):
    slow = (
        "import sys, time\nfrom kavri.steps import ChainStream\n"
        "pieces = ChainStream.process_pieces\n"
        "def slow(self, chunk):\n    time.sleep(0.2)\n    return pieces(self, chunk)\n"
        "ChainStream.process_pieces = slow\nfrom kavri.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    (tree / "sub" / "bad.wav").unlink()
    for name in ("x.wav", "y.wav", "z.wav"):
        kavri.write(tree / name, np.zeros((20 * RATE, 2), np.float32), RATE)
    child = subprocess.Popen(
        [sys.executable, "-c", slow, "batch", "in", "out", "--effect", "delay", "--jobs", "2"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while len(list((tmp_path / "out").rglob("*.kavri-tmp"))) < 2:
        assert child.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    child.send_signal(signal.SIGTERM)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 143
    assert stderr.startswith("kavri: interrupted: ") and stderr.count("\n") == 1, stderr
    assert not list((tmp_path / "out").rglob("*.kavri-tmp"))
    # The 20-second files were in flight or waiting: none of them is written.
    assert not any((tmp_path / "out" / name).exists() for name in ("x.wav", "y.wav", "z.wav"))


def test_no_link_or_record_makes_an_original_a_target(tmp_path):
    """Outputs are checked where their bytes would land, and only a file this tool wrote
    (by inode and change time, which no copied or hand-written record carries) may be
    replaced among the inputs."""
    music = tmp_path / "music"
    (music / "keep").mkdir(parents=True)
    kavri.write(music / "take.wav", np.full((2400, 2), 0.25, np.float32), RATE)
    kavri.write(music / "keep" / "take.wav", np.full((2400, 2), 0.5, np.float32), RATE)
    original = (music / "keep" / "take.wav").read_bytes()

    # A link inside the output folder leads into the inputs' tree, onto an original that is
    # not one of this run's inputs.
    (music / "sub").mkdir()
    kavri.write(music / "sub" / "take.wav", np.full((2400, 2), 0.1, np.float32), RATE)
    out = tmp_path / "out"
    out.mkdir()
    (out / "sub").symlink_to(music / "keep")
    report = kavri.batch(
        [music / "sub" / "take.wav", music / "take.wav"], CHAIN, out, base_dir=music
    )
    assert [r.status for r in report.results] == ["failed", "done"]
    assert "really" in report.failed[0].error and "kavri did not write" in report.failed[0].error
    assert (music / "keep" / "take.wav").read_bytes() == original

    # A record beside the outputs that lists the original as an output (forged, or copied
    # along with cp -a) still decides nothing about overwriting it.
    inside = music / "keep"
    stat = (inside / "take.wav").stat()
    forged = {
        "format": 1,
        "outputs": {
            "take.wav": {
                "source": str(music / "take.wav"),
                "settings": "x",
                "size": 0,
                "mtime_ns": 0,
                "sha256": "",
                "output_size": stat.st_size,
                "output_mtime_ns": stat.st_mtime_ns,
            }
        },
    }
    (inside / RECORD_NAME).write_text(__import__("json").dumps(forged))
    report = kavri.batch([music / "take.wav"], CHAIN, inside, base_dir=music)
    assert "kavri did not write" in report.failed[0].error
    assert (inside / "take.wav").read_bytes() == original

    # What it did write there it may replace: a second run with another chain redoes it.
    (inside / "take.wav").rename(tmp_path / "moved.wav")
    assert kavri.batch([music / "take.wav"], CHAIN, inside, base_dir=music).ok
    redo = kavri.batch([music / "take.wav"], "saturate", inside, base_dir=music)
    assert [r.status for r in redo.results] == ["done"]


def test_a_damaged_record_is_set_aside_and_rebuilt(tree, tmp_path, monkeypatch):
    files = [tree / "a.wav"]
    out = tmp_path / "out"
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
    kept = []
    for number, damaged in enumerate(
        (
            '{"format": 1, "outputs": {"a.wav": {"size": NaN}}}',
            "[" * 5000,
            '{"format": 1, "outputs": ' + "[" * 40 + "]" * 40 + "}",
            "\xff\xfe",
        )
    ):
        (out / RECORD_NAME).write_text(damaged, errors="surrogateescape")
        with pytest.warns(kavri.KavriWarning, match="damaged batch record set aside"):
            report = kavri.batch(files, CHAIN, out, base_dir=tree)
        assert [r.status for r in report.results] == ["done"]
        kept.append(damaged)
        # Each set aside under a name of its own: the second had replaced the first.
        asides = [RECORD_NAME + ".damaged" + (f".{n}" if n else "") for n in range(number + 1)]
        assert [(out / a).read_text(errors="surrogateescape") for a in asides] == kept
        # The rebuilt record serves the next run.
        assert kavri.batch(files, CHAIN, out, base_dir=tree).skipped
    # A pipe in the record's place hung every run, its journal's too; a link to /dev/zero
    # was read until memory ran out. Each is set aside or dropped, and the run goes on.
    for name in (RECORD_NAME, RECORD_NAME + ".journal"):
        (out / name).unlink(missing_ok=True)
        os.mkfifo(out / name)
    with pytest.warns(kavri.KavriWarning, match=r"\(it is a pipe, not a file\)"):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    assert (out / RECORD_NAME).is_file() and not (out / (RECORD_NAME + ".journal")).is_fifo()
    # A journal line nested past the interpreter's recursion ended every rerun in a traceback.
    (out / (RECORD_NAME + ".journal")).write_text("[" * 100_000 + "\n")
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
    # Keys no file can have (edited by hand) crashed the run on the name.
    (out / RECORD_NAME).write_text('{"format": 1, "outputs": {"\\u0000x": {}, "\\ud800": {}}}')
    with pytest.warns(kavri.KavriWarning, match="2 damaged entries left out"):
        assert kavri.batch(find_files(tree, "a.wav", out), CHAIN, out, base_dir=tree).ok
    # Where warnings are errors, the record is mended before it is told: every run had
    # stopped on the same damage. Warnings made errors fail their files, in one line each.
    (out / RECORD_NAME).write_text('{"format": 1, "outputs": {"\\u0000x": {}}}')
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(kavri.KavriWarning, match="1 damaged entry left out"):
            kavri.batch(files, CHAIN, out, base_dir=tree)
        assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
        clamped = kavri.batch(files, [{"type": "lowpass", "frequency_hz": 1e6}], out, jobs=2)
    assert clamped.failed and all(
        "the engine uses" in r.error and "on its worker" not in r.error for r in clamped.failed
    )
    # A record of gigabytes (a hole in a file system, here) was read until the system
    # refused, in words that named no file.
    os.truncate(out / RECORD_NAME, 3 << 30)
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "1G")
    with pytest.raises(MemoryError, match=r"\.kavri-batch\.json: reading it needs"):
        kavri.batch(files, CHAIN, out, base_dir=tree)


def test_a_record_that_cannot_be_read_or_saved_is_told(tree, tmp_path, monkeypatch):
    # One that could not be read (mode 000) was "damaged ... set aside", yet neither: it was
    # replaced, its mode taken over, and every rerun redid everything. One that could not
    # be saved (another user's, in a shared folder) made every rerun redo all without a word.
    import errno

    import kavri.runs.record as record

    files = [tree / "a.wav"]
    out = tmp_path / "out"
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
    # A link that leads round in a loop is set aside, as a pipe in the record's place is.
    (out / RECORD_NAME).unlink()
    (out / RECORD_NAME).symlink_to(RECORD_NAME)
    with pytest.warns(kavri.KavriWarning, match="set aside .*Too many levels of symbolic"):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    kept = (out / RECORD_NAME).read_bytes()
    read_own_file, os_open = record.read_own_file, os.open

    def denied(path):
        if path.endswith(RECORD_NAME):
            raise PermissionError(errno.EACCES, "Permission denied")
        return read_own_file(path)

    monkeypatch.setattr(record, "read_own_file", denied)
    with pytest.raises(kavri.KavriError, match=r"\.kavri-batch\.json: cannot read: Permission"):
        kavri.batch(files, CHAIN, out, base_dir=tree, force=True)
    assert (out / RECORD_NAME).read_bytes() == kept
    monkeypatch.setattr(record, "read_own_file", read_own_file)

    def refused(path):
        raise PermissionError(errno.EPERM, "Operation not permitted")

    monkeypatch.setattr(record, "atomic_output", refused)
    saved = r"\.kavri-batch\.json: the batch record cannot be saved: Operation not permitted; "
    with pytest.warns(kavri.KavriWarning, match=saved + r"its entries wait in .*\.journal$"):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    assert (out / RECORD_NAME).read_bytes() == kept
    with pytest.warns(kavri.KavriWarning, match=saved):  # told again while it lasts
        assert kavri.batch(files, CHAIN, out, base_dir=tree).skipped  # from the journal
    # An augment run stops before its manifest loses the lines it would redraw.
    monkeypatch.undo()
    augmented = tmp_path / "augmented"
    random = [{"type": "gain", "db": {"uniform": [-6, 0]}}]
    assert kavri.augment_files(files, random, augmented, variants=2, seed=1, base_dir=tree).ok
    manifest = (augmented / "augment.jsonl").read_bytes()
    monkeypatch.setattr(record, "read_own_file", denied)

    def denied_open(path, *args, **kwargs):
        if os.fspath(path).endswith(RECORD_NAME):
            raise PermissionError(errno.EACCES, "Permission denied")
        return os_open(path, *args, **kwargs)

    monkeypatch.setattr(os, "open", denied_open)
    with pytest.raises(kavri.KavriError, match=r"\.kavri-batch\.json: cannot read: Permission"):
        kavri.augment_files(files, random, augmented, variants=2, seed=2, base_dir=tree)
    assert (augmented / "augment.jsonl").read_bytes() == manifest


def test_a_journal_that_cannot_be_removed_never_wins_over_a_newer_record(tree, monkeypatch):
    # An immutable journal outlived the save that took it in: its old entries overrode
    # every later record, and a run into its own input folder refused its outputs for good.
    import builtins
    import errno

    import kavri.runs.record as record

    files = [tree / "a.wav", tree / "b.flac"]
    out = tree / "out"
    assert kavri.batch(files, CHAIN, out, base_dir=tree).ok
    atomic_output = record.atomic_output

    def refused(path):
        raise PermissionError(errno.EPERM, "Operation not permitted")

    monkeypatch.setattr(record, "atomic_output", refused)
    with pytest.warns(kavri.KavriWarning, match="cannot be saved"):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok  # in the journal
    monkeypatch.setattr(record, "atomic_output", atomic_output)
    journal = str(out / RECORD_NAME) + ".journal"
    os_remove, builtin_open = os.remove, builtins.open

    def kept(call):
        def refuse_the_journal(path, *args, **kwargs):
            if os.fspath(path) == journal and args[:1] != ("rb",):  # read, not changed
                raise PermissionError(errno.EPERM, "Operation not permitted")
            return call(path, *args, **kwargs)

        return refuse_the_journal

    monkeypatch.setattr(os, "remove", kept(os_remove))
    monkeypatch.setattr(record, "open", kept(builtin_open), raising=False)
    assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    monkeypatch.undo()
    assert os.path.exists(journal)
    again = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in again.results] == ["skipped", "skipped"], again.failed
    # Nor once a record set aside has its saves counted from 0 again.
    out = tree.parent / "elsewhere"
    journal = str(out / RECORD_NAME) + ".journal"
    monkeypatch.setattr(os, "remove", kept(os_remove))
    for _ in range(3):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    (out / RECORD_NAME).write_text("{not a record")
    with pytest.warns(kavri.KavriWarning, match="damaged batch record set aside"):
        assert kavri.batch(files, CHAIN, out, base_dir=tree, force=True).ok
    monkeypatch.undo()
    again = kavri.batch(files, CHAIN, out, base_dir=tree)
    assert [r.status for r in again.results] == ["skipped", "skipped"], again.failed


def test_outcomes_are_journaled_while_the_rest_are_still_sent(tree, tmp_path, monkeypatch):
    # Outcomes were taken only once every task had been sent: a run of 20,000 files killed
    # in its first 9 s had made 412 outputs and journaled none of them (and, into its own
    # input folder, the rerun took them for files it had not written).
    import kavri.runs.tasks as tasks

    refusal, looked = tasks._refusal, []

    def slow(*args):
        looked.append(len(looked))
        time.sleep(0.1)  # thousands of outputs' checks, each a few milliseconds
        return refusal(*args)

    monkeypatch.setattr(tasks, "_refusal", slow)
    clips = [tmp_path / "clips" / f"{n}.wav" for n in range(8)]
    clips[0].parent.mkdir()
    for clip in clips:
        kavri.write(clip, np.zeros((100, 1), np.float32), RATE)
    journaled = []
    journal = tmp_path / "out" / (RECORD_NAME + ".journal")
    on_result = lambda result: journaled.append((len(looked), journal.exists()))  # noqa: E731
    assert kavri.batch(clips, CHAIN, tmp_path / "out", jobs=1, on_result=on_result).ok
    sent, written = journaled[0]
    assert sent < len(clips) and written


def test_patterns_brace_sets_and_files_that_are_not_audio(tree):
    (tree / "notes.txt").write_text("take 2 was the good one\n")
    (tree / "sub" / "readme").write_text("no suffix\n")
    assert expand_braces("*.{wav,fl{ac,oat}}") == ["*.wav", "*.flac", "*.float"]
    assert expand_braces("{a}.wav") == ["{a}.wav"]
    names = lambda found: [str(p.relative_to(tree)) for p in found]  # noqa: E731
    both = find_inputs(tree, ["*.flac", "a.wav"])
    assert names(both.files) == ["a.wav", "b.flac"] and both.skipped == []
    assert (
        names(find_inputs(tree, "*.{wav,flac}").files)
        == names(find_files(tree, "*"))
        == [
            "a.wav",
            "b.flac",
            "sub/bad.wav",
            "sub/c.wav",
            "sub/deep/d.wav",
        ]
    )
    # A recorder's TAKE.WAV was left out by '*.wav'.
    kavri.write(tree / "sub" / "ZOOM0001.WAV", np.zeros((10, 1), np.float32), RATE)
    assert "sub/ZOOM0001.WAV" in names(find_files(tree, "*.wav"))
    (tree / "sub" / "ZOOM0001.WAV").unlink()
    # A wildcard leaves out what is not audio; a pattern naming the suffix takes it.
    assert names(find_inputs(tree, "*").skipped) == ["notes.txt", "sub/readme"]
    assert names(find_inputs(tree, ["*", "*.txt"]).files)[-1] == "sub/deep/d.wav"
    assert "notes.txt" in names(find_inputs(tree, ["*", "*.txt"]).files)


def test_output_format_for_the_whole_batch_and_kept_bit_depth(tmp_path):
    source = tmp_path / "in"
    source.mkdir()
    audio = (0.25 * np.random.default_rng(2).standard_normal((2400, 2))).astype(np.float32)
    kavri.write(source / "a.wav", audio, RATE, "pcm24")
    kavri.write(source / "b.flac", audio, RATE, "pcm16")
    kavri.write(source / "c.wav", audio, RATE)
    chain = [{"type": "gain", "db": -1}]
    files = find_files(source, "*.{wav,flac}")
    kept = kavri.batch(files, chain, tmp_path / "kept", subtype="same")
    assert kept.ok
    found = {Path(r.output).name: sf.info(r.output).subtype for r in kept.done}
    assert found == {"a.wav": "PCM_24", "b.flac": "PCM_16", "c.wav": "FLOAT"}
    flac = kavri.batch(files, chain, tmp_path / "flac", file_format="flac", subtype="pcm24")
    assert sorted(Path(r.output).name for r in flac.done) == ["a.flac", "b.flac", "c.flac"]
    assert {sf.info(r.output).subtype for r in flac.done} == {"PCM_24"}
    # The float WAV's own sample format cannot go into FLAC: "same" gives FLAC's default.
    same = kavri.batch(files, chain, tmp_path / "same", file_format="flac", subtype="same")
    assert {Path(r.output).name: sf.info(r.output).subtype for r in same.done}["c.flac"] == (
        "PCM_24"
    )
    kavri.write(source / "a.flac", audio, RATE)
    with pytest.raises(kavri.KavriError, match=r"a.flac: both .*a.flac and .*a.wav"):
        kavri.batch(find_files(source, "*.{wav,flac}"), chain, tmp_path / "x", file_format="flac")
    assert not (tmp_path / "x").exists()


@pytest.mark.slow
def test_cli_batch_patterns_format_and_skipped_files(tree, tmp_path, run_kavri):
    (tree / "notes.txt").write_text("not audio\n")
    (tree / "README").write_text("not audio\n")
    (tree / "sub" / "bad.wav").unlink()
    common = ("batch", "in", "out", "--effect", "gain:db=-12", "--pattern", "*")
    done = run_kavri(*common, "--format", "flac", "--subtype", "pcm16", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines() == [
        "kavri: skipped in/README: not an audio file (it has no suffix to tell its format)",
        "kavri: skipped in/notes.txt: not an audio file (a pattern naming '*.txt' takes it)",
    ]
    assert sorted(
        str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.flac")
    ) == [
        "a.flac",
        "b.flac",
        "sub/c.flac",
        "sub/deep/d.flac",
    ]
    # Named outright, the text file is an input, and fails for it.
    named = run_kavri(*common, "--pattern", "*.txt", cwd=tmp_path)
    assert named.returncode == 1 and "notes.txt: unknown output format '.txt'" in named.stderr


def test_what_a_caller_passes_that_misbehaves_loses_no_finished_work(tree, tmp_path):
    from concurrent.futures import Executor, ThreadPoolExecutor

    files = [tree / "a.wav", tree / "b.flac", tree / "sub" / "c.wav"]
    out = tmp_path / "out"
    recorded = lambda: set(json.loads((out / RECORD_NAME).read_text())["outputs"])  # noqa: E731
    # A run into the same folder from the run's own callback was let in (the lock counted
    # the thread's nesting), and the outer run's record dropped the inner run's outputs.
    refused = []

    def again(result):
        if not refused:
            with pytest.raises(kavri.KavriError, match="another kavri run is writing") as error:
                kavri.batch(files[2:], CHAIN, out, base_dir=tree)
            refused.append(error)

    assert kavri.batch(files[:2], CHAIN, out, base_dir=tree, on_result=again, jobs=1).ok
    assert refused and recorded() == {"a.wav", "b.flac"}
    # The entry a result carries is the caller's: clearing it had emptied the record's.
    shutil.rmtree(out)
    assert kavri.batch(files, CHAIN, out, base_dir=tree, on_result=lambda r: r.record.clear()).ok
    again = kavri.batch(files, CHAIN, out, base_dir=tree, on_result=lambda r: r.record.clear())
    assert [r.status for r in again.results] == ["skipped"] * 3
    assert [r.status for r in kavri.batch(files, CHAIN, out, base_dir=tree).results] == [
        "skipped"
    ] * 3

    # What a stop request raises on a worker thread reaches the caller (each file had
    # failed with its words, and the run said it was done).
    class OnlyHere:
        def is_set(self):
            if threading.current_thread() is not threading.main_thread():
                raise LookupError("the caller's own")
            return False

    with pytest.raises(LookupError, match="the caller's own"):
        kavri.batch(files, CHAIN, tmp_path / "o2", base_dir=tree, stop=OnlyHere(), jobs=2)

    # Another executor's tasks that finished before a stop are recorded (they had been
    # counted abandoned, their outputs on the disk, and made again by the rerun).
    class Wrapped(Executor):
        def __init__(self):
            self.pool = ThreadPoolExecutor(2)

        def submit(self, fn, *args, **kwargs):
            return self.pool.submit(fn, *args, **kwargs)

    wrapped, stop, out = Wrapped(), threading.Event(), tmp_path / "o3"

    def slowly(result):
        time.sleep(0.5)
        stop.set()

    try:
        kavri.batch(files, CHAIN, out, base_dir=tree, executor=wrapped, on_result=slowly, stop=stop)
    except kavri.BatchInterrupted:
        pass
    wrapped.pool.shutdown()
    written = {p.relative_to(out).as_posix() for p in out.rglob("*.*") if p.suffix != ".json"}
    assert written and written <= recorded()

    # A stop leaves the folders of tasks another executor's workers may still be running
    # (they had been taken away under them, and the outputs lost).
    class Late(Wrapped):
        def submit(self, fn, *args, **kwargs):
            return self.pool.submit(lambda: (time.sleep(0.5), fn(*args, **kwargs))[1])

    late, stop, out = Late(), threading.Event(), tmp_path / "o5" / "new"
    threading.Timer(0.1, stop.set).start()
    with pytest.raises(kavri.BatchInterrupted, match="in flight abandoned"):
        kavri.batch(files, CHAIN, out, base_dir=tree, executor=late, stop=stop)
    late.pool.shutdown()
    assert (out / "a.wav").exists() and (out / "b.flac").exists()
    # What cannot be called, or an executor that is none, is refused before any work.
    for bad in ({"on_result": 3}, {"on_progress": "bar"}, {"executor": "threads"}):
        with pytest.raises(TypeError, match="must be"):
            kavri.batch(files, CHAIN, tmp_path / "o4", base_dir=tree, **bad)
        with pytest.raises(TypeError, match="must be"):
            kavri.augment_files(
                files, CHAIN, tmp_path / "o4", variants=1, seed=1, base_dir=tree, **bad
            )
    assert not (tmp_path / "o4").exists()
