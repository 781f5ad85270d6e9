"""Batch processing: the mirrored tree, skipping complete outputs, reporting bad files, the
command line's exit status, and a real Dask cluster giving the local run's bits."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import kavri
from kavri.batch import find_files

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
    return {str(p.relative_to(folder)): kavri.read(p).audio
            for p in sorted(folder.rglob("*")) if p.is_file()}


def test_batch_mirrors_the_tree_and_reports_the_bad_file(tree, tmp_path):
    files = find_files(tree, "*.wav")
    assert [str(p.relative_to(tree)) for p in files] == [
        "a.wav", "sub/bad.wav", "sub/c.wav", "sub/deep/d.wav"]
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


def test_outputs_inside_the_input_folder_are_not_taken_as_inputs(tree):
    kavri.batch(find_files(tree, "*.wav", exclude=tree / "out"), CHAIN, tree / "out",
                base_dir=tree)
    assert [str(p.relative_to(tree)) for p in find_files(tree, "*.wav", exclude=tree / "out")] \
        == ["a.wav", "sub/bad.wav", "sub/c.wav", "sub/deep/d.wav"]


def test_bad_chain_fails_before_any_file(tree, tmp_path):
    with pytest.raises(kavri.ChainError, match="unknown parameter 'drve'"):
        kavri.batch(find_files(tree), [{"type": "distortion", "drve": 2}], tmp_path / "out")
    assert not (tmp_path / "out").exists()


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "kavri", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300)


def test_cli_batch_exit_status_and_messages(tree, tmp_path):
    first = run_cli("batch", "in", "out", "--effect", "gain:db=5", "--effect",
                    "distortion:drive=3", "--effect", "clip", "--jobs", "2", cwd=tmp_path)
    assert first.returncode == 1
    assert "kavri: error: " in first.stderr and "sub/bad.wav: not a readable audio file" in first.stderr
    assert "3 processed, 0 skipped (already complete), 1 failed" in first.stdout
    flac = run_cli("batch", "in", "out", "--effect", "gain:db=5", "--effect",
                   "distortion:drive=3", "--effect", "clip", "--pattern", "*.flac", cwd=tmp_path)
    assert flac.returncode == 0, flac.stderr
    # FLAC keeps its format: 24-bit PCM, one step of that grid from the float result.
    written = kavri.read(tmp_path / "out" / "b.flac").audio
    assert np.max(np.abs(written - expected_for(tree / "b.flac"))) <= 2.0 ** -23
    again = run_cli("batch", "in", "out", "--effect", "gain:db=5", "--effect",
                    "distortion:drive=3", "--effect", "clip", "--pattern", "*.flac", cwd=tmp_path)
    assert "0 processed, 1 skipped" in again.stdout
    (tree / "sub" / "bad.wav").unlink()
    good = run_cli("batch", "in", "out", "--effect", "gain:db=5", "--effect",
                   "distortion:drive=3", "--effect", "clip", cwd=tmp_path)
    assert good.returncode == 0 and "0 processed, 3 skipped" in good.stdout


@pytest.mark.parametrize(("args", "message"), [
    (["missing", "out", "--preset", "saturate"], "missing: no such folder"),
    (["in", "in", "--preset", "saturate"], "in: is the input folder"),
    (["in", "out", "--preset", "saturate", "--pattern", "*.aiff"], "no files match '*.aiff'"),
    (["in", "out", "--preset", "nope"], "unknown preset 'nope'"),
    (["in", "out", "--preset", "saturate", "--subtype", "pcm7"], "unknown subtype 'pcm7'"),
])
def test_cli_batch_refuses_bad_arguments(tree, tmp_path, args, message):
    result = run_cli("batch", *args, cwd=tmp_path)
    assert result.returncode == 1 and message in result.stderr
    assert result.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_dask_cluster_gives_the_local_bits(tree, tmp_path):
    distributed = pytest.importorskip("distributed")
    files = [f for f in find_files(tree, "*.wav") if f.name != "bad.wav"]
    local = kavri.batch(files, "saturate", tmp_path / "local", base_dir=tree)
    assert local.ok
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        remote = kavri.batch(files, "saturate", tmp_path / "dask", base_dir=tree,
                             executor=client.get_executor())
    assert remote.ok and len(remote.done) == len(files)
    a, b = outputs(tmp_path / "local"), outputs(tmp_path / "dask")
    assert sorted(a) == sorted(b) == ["a.wav", "sub/c.wav", "sub/deep/d.wav"]
    for name in a:
        assert np.array_equal(a[name], b[name]), name
