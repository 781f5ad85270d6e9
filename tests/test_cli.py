"""The command line, run as a subprocess: results, exit statuses, and the one-line errors
for each kind of bad input, after which nothing is written."""

from __future__ import annotations

import argparse
import json
import os
import pty
import subprocess
import sys

import numpy as np
import pytest

import kavri
from kavri.catalogue import markdown_reference
from kavri.cli import build_parser

RATE = 48_000


@pytest.fixture
def work(tmp_path):
    rng = np.random.default_rng(3)
    kavri.write(
        tmp_path / "in.wav", (0.3 * rng.standard_normal((9600, 2))).astype(np.float32), RATE
    )
    (tmp_path / "chain.json").write_text(
        json.dumps([{"type": "gain", "db": 3}, {"type": "clip", "threshold": 0.5}])
    )
    (tmp_path / "bad.json").write_text('[\n  {"type": "gain",\n   "db": 3,,}\n]')
    (tmp_path / "text.wav").write_text("this is not audio")
    (tmp_path / "odd.json").write_text('[{"type": "convolution", "ir": "\\ud800.wav"}]')
    return tmp_path


@pytest.mark.slow
def test_process_writes_the_api_result(work, run_kavri):
    result = run_kavri("process", "in.wav", "out.wav", "--chain", "chain.json", cwd=work)
    assert result.returncode == 0, result.stderr
    audio, rate = kavri.read(work / "in.wav")
    expected = kavri.process(audio, rate, str(work / "chain.json"))
    assert np.array_equal(kavri.read(work / "out.wav").audio, expected)
    assert "in.wav -> out.wav: 9600 frames x 2 channels at 48000 Hz" in result.stdout


def test_a_single_frame_is_counted_as_one(work, run_kavri):
    kavri.write(work / "one.wav", np.array([0.5], np.float32), 8000)
    result = run_kavri("process", "one.wav", "out.wav", "--effect", "gain", cwd=work)
    assert "one.wav -> out.wav: 1 frame x 1 channel at 8000 Hz" in result.stdout, result.stderr
    assert "(1 frame)" in run_kavri("meter", "one.wav", cwd=work).stdout


@pytest.mark.slow
def test_effect_options_and_subtype(work, run_kavri):
    result = run_kavri(
        "process",
        "in.wav",
        "out.flac",
        "--effect",
        "gain:db=3",
        "--effect",
        "clip:threshold=0.5",
        "--subtype",
        "pcm16",
        cwd=work,
    )
    assert result.returncode == 0, result.stderr
    audio, _ = kavri.read(work / "in.wav")
    expected = kavri.process(audio, RATE, str(work / "chain.json"))
    # 16-bit output is dithered by default: rounding plus at most one step of dither.
    assert np.max(np.abs(kavri.read(work / "out.flac").audio - expected)) <= 1.5 * 2.0**-15


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--preset", "vocl"], "unknown preset 'vocl' (did you mean 'vocal'?)"),
        (
            ["--effect", "shimmer:size=3"],
            "--effect 'shimmer:size=3': unknown effect type 'shimmer'",
        ),
        (
            ["--effect", "gain:db=loud"],
            "--effect 'gain:db=loud': parameter 'db' must be a number, got 'loud'",
        ),
        (["--effect", "gain:level=3"], "unknown parameter 'level'"),
        # Python's float() took these: db=1_0 was +10 dB.
        (["--effect", "gain:db=1_0"], "parameter 'db' must be a number, got '1_0'"),
        (["--effect", "gain:db=\uff13"], "parameter 'db' must be a number"),
        (["--effect", "gain:db=1\n2"], "parameter 'db' must be a number, got '1\\n2'"),
        # Control characters split the line or reached the terminal as they were.
        (["--effect", "ga\nin\x1b[2J:db=1"], "unknown effect type 'ga\\nin\\x1b[2J'"),
        # Tracebacks: a byte that is not UTF-8 in a tag, a name no file can have.
        (
            ["--chain", "chain.json", "--tag", "title=a\udcffb"],
            "tag title: the value is not UTF-8 text (it holds '\\xff')",
        ),
        (["--chain", "odd.json"], "parameter 'ir' holds '\\ud800', which no name can"),
        (["--effect", "polarity:x=1"], "unknown parameter 'x'; known: none"),
        (["--effect", "phaser:stages=2.5"], "parameter 'stages' must be a whole number, got '2.5'"),
        (["--effect", "gain:db"], "expected key=value, got 'db'"),
        (["--effect", "gain:db=3,db=4"], "parameter 'db' is given twice"),  # the last won
        (["--chain", "bad.json"], "bad.json:3:12: malformed JSON: Expecting property name"),
        (["--chain", "nope.json"], "nope.json: no such chain file"),
        # An empty path is the current folder to pathlib: it read as "is a directory".
        (["--chain", ""], "'': no such chain file"),
        (
            ["--chain", "chain.json", "--subtype", "float", "OUT=x.flac"],
            "x.flac: FLAC files cannot hold subtype 'float'",
        ),
        (["--chain", "chain.json", "OUT=x.mp9"], "x.mp9: unknown output format '.mp9'"),
        (["--chain", "chain.json", "OUT=noext"], "noext: the output name has no suffix"),
        (
            ["--chain", "chain.json", "OUT=x."],
            "give it one (such as .wav or .flac) or give --format",
        ),
        (["--chain", "chain.json", "OUT=no/x.wav"], "cannot write: folder"),
        (["--chain", "chain.json", "IN=missing.wav"], "missing.wav: no such file"),
        (
            ["--chain", "chain.json", "IN=text.wav"],
            "text.wav: not a readable audio file (Format not recognised)",
        ),
        (
            ["--chain", "chain.json", "IN=in.wav", "OUT=in.wav"],
            "in.wav: is the input file; pass --overwrite",
        ),
        (["--chain", "chain.json", "IN=."], ".: is a folder; 'kavri process' takes one file"),
        (["--chain", "chain.json", "OUT=.."], "'kavri batch IN_DIR OUT_DIR' processes the files"),
        (
            ["--preset", "chain.json"],
            "presets are names (see 'kavri presets'); for a chain file, give --chain chain.json",
        ),
        (["--chain", "chain.json", "--tag", "title"], "--tag 'title': give KEY=VALUE"),
        # It was ignored: a WAV to WAV stayed float.
        (["--chain", "chain.json", "--encoding", "s16le"], "--encoding describes raw input"),
        (["--chain", "chain.json", "--tag", "a=b=c", "--tag", "=x"], "--tag '=x': give KEY"),
        (
            ["--chain", "chain.json", "--input-rate", "8000"],
            "--input-rate and --input-channels describe raw input",
        ),
        (
            ["--chain", "chain.json", "--format", "raw", "--subtype", "vorbis", "OUT=-"],
            "raw output holds pcm16, pcm24, pcm32, float or double samples, not 'vorbis'",
        ),
    ],
)
def test_bad_input_gives_one_line_and_writes_nothing(work, args, message, run_kavri):
    source = next((a[3:] for a in args if a.startswith("IN=")), "in.wav")
    target = next((a[4:] for a in args if a.startswith("OUT=")), "out.wav")
    options = [a for a in args if not a.startswith(("IN=", "OUT="))]
    before = {p: p.stat().st_mtime_ns for p in work.rglob("*")}
    result = run_kavri("process", source, target, *options, cwd=work)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("kavri: error: ")
    assert message in result.stderr
    assert {p: p.stat().st_mtime_ns for p in work.rglob("*")} == before


@pytest.mark.slow
def test_engine_failure_is_reported_with_the_file(work, run_kavri):
    # An effect the engine refuses at run time: a delay line larger than any memory.
    result = run_kavri("process", "in.wav", "out.wav", "--effect", "delay:delay_ms=1e30", cwd=work)
    assert result.returncode == 1 and result.stderr.startswith("kavri: error: in.wav: ")
    assert not (work / "out.wav").exists()


def test_a_thread_that_cannot_start_is_one_line(work, monkeypatch, capsys):
    # Under a memory limit the loudness meter's thread (or a batch pool's) could not start,
    # and 27 lines of traceback came out.
    from kavri import rendering
    from kavri.cli import main

    def starved(*args, **kwargs):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(rendering.MeterThread, "__init__", starved)
    args = ["process", str(work / "in.wav"), str(work / "o.wav"), "--loudness", "-16"]
    assert main([*args, "--effect", "gain"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("kavri: error: cannot start a thread") and err.count("\n") == 1
    assert not (work / "o.wav").exists()


@pytest.mark.slow
def test_overwrite_replaces_the_input_only_when_asked(work, run_kavri):
    audio = kavri.read(work / "in.wav").audio
    result = run_kavri(
        "process", "in.wav", "./in.wav", "--effect", "gain:db=-6", "--overwrite", cwd=work
    )
    assert result.returncode == 0, result.stderr
    assert np.array_equal(kavri.read(work / "in.wav").audio, audio * np.float32(0.5011872))
    assert sorted(os.listdir(work)) == ["bad.json", "chain.json", "in.wav", "odd.json", "text.wav"]


@pytest.mark.slow
def test_effects_listing_and_reference(work, run_kavri):
    listing = run_kavri("effects", cwd=work)
    assert listing.returncode == 0
    assert all(f"  {name} " in listing.stdout for name in kavri.EFFECTS)
    one = run_kavri("effects", "lowpass", cwd=work)
    assert one.returncode == 0
    assert "frequency_hz  8000" in one.stdout and "0.70710677" in one.stdout
    assert "5 … 0.499 × rate" in one.stdout
    reference = run_kavri("effects", "--markdown", cwd=work).stdout
    assert reference == markdown_reference()
    assert all(f"| `{name}` |" in reference for name in kavri.EFFECTS)
    keyless = run_kavri("effects", "swap", cwd=work)
    assert keyless.stdout == f"swap: {kavri.EFFECTS['swap'].summary}\n  no parameters\n"
    wrong = run_kavri("effects", "lowpas", cwd=work)
    assert wrong.returncode == 1 and "did you mean 'lowpass'" in wrong.stderr
    both = run_kavri("effects", "--markdown", "nosuch", cwd=work)
    assert both.returncode == 1 and "leave out TYPE" in both.stderr and not both.stdout


def test_presets_command(work, run_kavri):
    listing = run_kavri("presets", cwd=work)
    assert all(name in listing.stdout for name in kavri.list_presets())
    shown = run_kavri("presets", "saturate", cwd=work)
    assert json.loads(shown.stdout) == kavri.load_preset("saturate")


def test_demo_writes_before_and_after(work, run_kavri):
    result = run_kavri("demo", "--out-dir", "demo-out", "--preset", "saturate", cwd=work)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(work / "demo-out")) == ["input.wav", "saturate.wav"]
    before = kavri.read(work / "demo-out" / "input.wav")
    after = kavri.read(work / "demo-out" / "saturate.wav")
    assert np.array_equal(after.audio, kavri.process(before.audio, before.sample_rate, "saturate"))
    assert "peak in" in result.stdout and "real-time factor" in result.stdout
    assert result.stdout.count("\n       0 ") == 1 and "\n       1 " in result.stdout
    # An unknown preset left its --out-dir behind, made and empty.
    refused = run_kavri("demo", "--out-dir", "none", "--preset", "nope", cwd=work)
    assert refused.returncode == 1 and not (work / "none").exists()


@pytest.mark.slow
def test_plot_command(work, run_kavri):
    result = run_kavri("plot", "--chain", "chain.json", "--out", "chain.png", cwd=work)
    assert result.returncode == 0, result.stderr
    assert (work / "chain.png").read_bytes()[:4] == b"\x89PNG"
    bad = run_kavri("plot", "--chain", "chain.json", "--out", "chain.bmp", cwd=work)
    assert bad.returncode == 1 and "unknown image format '.bmp'" in bad.stderr


def test_sample_rate_is_an_option_of_plot_alone():
    parser = build_parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    having = sorted(
        name
        for name, sub in commands.choices.items()
        if any("--sample-rate" in a.option_strings for a in sub._actions)
    )
    assert having == ["plot"]


# Libraries that take a tenth of a second or more to load and that a command loads only when
# its work needs them; --version needs not even NumPy or the engine.
SLOW_TO_LOAD = ("scipy", "pyloudnorm", "matplotlib", "av", "mutagen", "dask", "soundfile")
ENGINE = ("numpy", "kavri._kavri_core", "kavri._kavri_stream", "kavri.api")


@pytest.mark.parametrize(
    ("args", "unneeded"),
    [
        (["--version"], SLOW_TO_LOAD + ENGINE),
        (["--help"], SLOW_TO_LOAD + ENGINE),
        (["effects"], SLOW_TO_LOAD + ENGINE[1:]),
        (["effects", "gain"], SLOW_TO_LOAD + ENGINE[1:]),
    ],
)
def test_quick_commands_load_no_library_their_work_does_not_need(args, unneeded):
    code = (
        "import sys, contextlib, io\n"
        "from kavri.cli import main\n"
        "with contextlib.redirect_stdout(io.StringIO()):\n"
        "    try:\n"
        f"        main({args!r})\n"
        "    except SystemExit:\n"
        "        pass\n"
        f"print(sorted(m for m in {unneeded!r} if m in sys.modules))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]", out.stdout


def test_a_command_parses_the_same_when_loaded_alone():
    """main() builds only the chosen command's parser; it must be the one the full parser
    has."""
    argv = ["process", "in.wav", "out.flac", "--preset", "vocal", "--loudness", "-16"]
    alone = build_parser("process").parse_args(argv)
    full = build_parser().parse_args(argv)
    assert vars(alone) == vars(full)
    with pytest.raises(SystemExit):
        build_parser("process").parse_args(["nonsense"])
    for whole in ("--workers=1_0", "--rate=\uff11\uff16000"):  # int() took both
        with pytest.raises(SystemExit):
            build_parser("process").parse_args(["a.wav", "b.wav", whole])


def test_console_script_is_installed(monkeypatch, capsys):
    script = os.path.join(os.path.dirname(sys.executable), "kavri")
    # Ctrl-C while the command loads printed the import's traceback.
    import importlib
    import types

    class Loading(types.ModuleType):
        def __getattr__(self, name):
            raise KeyboardInterrupt

    monkeypatch.setitem(sys.modules, "kavri.cli", Loading("kavri.cli"))
    assert importlib.import_module("kavri.__main__").run() == 130
    assert capsys.readouterr().err == "kavri: error: interrupted\n"
    monkeypatch.undo()
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == f"kavri {kavri.__version__}"


@pytest.mark.slow
def test_closed_standard_output_is_named_before_any_work(work):
    kavri.write(work / "in.wav", np.zeros((4800, 2), np.float32), 48_000)

    def closed_stdout(*args):
        # Closed by the shell before Python starts (no preexec_fn: see tests/test_io.py).
        return subprocess.run(
            ["/bin/sh", "-c", 'exec "$0" -m kavri "$@" 1>&-', sys.executable, *args],
            cwd=work,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )

    # With OUT "-" the refusal's line was followed by a traceback of the exit's flush.
    for args in (
        ("meter", "in.wav"),
        ("effects",),
        ("presets",),
        ("process", "in.wav", "-", "--effect", "gain"),
    ):
        result = closed_stdout(*args)
        assert result.returncode == 1 and result.stderr.count("\n") == 1, result.stderr
        assert "standard output is closed" in result.stderr
    # A command whose results go to files only needs stdout for its summary line.
    done = closed_stdout("process", "in.wav", "out.wav", "--effect", "gain")
    assert done.returncode == 0, done.stderr
    assert kavri.read(work / "out.wav").audio.shape == (4800, 2)


@pytest.mark.slow
def test_an_odd_environment_gives_one_line_not_a_traceback(work):
    (work / "in").mkdir()
    kavri.write(work / "in" / "a.wav", np.zeros((480, 1), np.float32), RATE)
    gone = work / "gone"

    def kavri_cli(*args, cwd=work, **environment):
        # A shell whose folder is removed under it, as "rmdir ../gone" leaves one.
        prefix = f"mkdir {gone} && cd {gone} && rmdir {gone} && " if cwd == gone else ""
        command = f'{prefix}exec "$0" -m kavri "$@"'
        return subprocess.run(
            ["/bin/sh", "-c", command, sys.executable, *args],
            cwd=work,
            capture_output=True,
            text=True,
            timeout=120,
            env={**os.environ, **environment},
        )

    cases = [
        (
            ("process", "in.wav", "o.wav", "--effect", "gain"),
            {"TQDM_MININTERVAL": "5s"},
            "the progress bar cannot be shown: TQDM_MININTERVAL: ",
        ),
        (
            ("plot", "--preset", "vocal", "--out", "p.png"),
            {"MPLBACKEND": "abc"},
            "matplotlib cannot load: ",
        ),
        (
            ("batch", "in", "out", "--effect", "gain"),
            {"KAVRI_AVAILABLE_MEMORY": "abc"},
            'KAVRI_AVAILABLE_MEMORY="abc" is not a size',
        ),
    ]
    for args, environment, message in cases:
        run = kavri_cli(*args, **environment)
        assert run.returncode == 1 and run.stderr.startswith(f"kavri: error: {message}"), run
        assert run.stderr.count("\n") == 1
    # Refused before any work: no output folder made, no file written.
    assert not (work / "out").exists() and not (work / "o.wav").exists()
    for args in (
        ("process", str(work / "in.wav"), "o.wav", "--effect", "gain"),
        ("batch", str(work / "in"), "out", "--effect", "gain"),
    ):
        run = kavri_cli(*args, cwd=gone)
        assert run.returncode == 1 and run.stderr == (
            "kavri: error: the current folder no longer exists; cd to one that does, or give "
            "full paths\n"
        )


def test_standard_output_that_is_the_input_or_a_terminal_is_refused(work):
    # "1<>take.wav" had the output written over the input as it was read: the take was
    # lost, with exit 0. A terminal got the audio's bytes.
    kavri.write(work / "in.wav", np.full((48_000, 2), 0.25, np.float32), 48_000, subtype="pcm16")
    before = (work / "in.wav").read_bytes()

    def in_shell(redirected: str) -> str:
        """kavri process with the shell's redirections; asserts the input is kept."""
        shell = f'exec "$0" -m kavri process {redirected}'
        run = subprocess.run(
            ["/bin/sh", "-c", shell, sys.executable], cwd=work, capture_output=True, text=True
        )
        assert run.returncode == 1 and (work / "in.wav").read_bytes() == before
        return run.stderr

    assert in_shell("in.wav - --effect gain --quiet 1<>in.wav") == (
        "kavri: error: standard output is the input file in.wav; give OUT, with --overwrite "
        "to replace it\n"
    )
    said = in_shell("- - --effect gain --quiet <in.wav 1<>in.wav")
    assert "standard output is standard input's file" in said
    # A named OUT that is standard input's file was written over without --overwrite.
    assert in_shell("- in.wav --effect gain --quiet <in.wav") == (
        "kavri: error: in.wav: is standard input's file; pass --overwrite to replace it\n"
    )
    leader, follower = pty.openpty()
    try:
        run = subprocess.run(
            [sys.executable, "-m", "kavri", "process", "in.wav", "-", "--effect", "gain"],
            cwd=work,
            stdout=follower,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
        )
    finally:
        os.close(follower)
        os.close(leader)
    assert run.returncode == 1 and "standard output is a terminal" in run.stderr


def test_messages_name_only_what_the_command_has(work, run_kavri):
    plot = run_kavri("plot", "--out", "x.png", cwd=work)
    assert (
        plot.stderr == "kavri: error: no chain: give --chain FILE, --preset NAME or --effect TYPE\n"
    )
    batch = run_kavri("batch", "in.wav", "out", "--effect", "gain", cwd=work)
    assert batch.stderr == "kavri: error: in.wav: is not a folder\n"


def test_meter_reports_every_file_it_can(work, run_kavri):
    text = run_kavri("meter", "in.wav", "nosuch.wav", "in.wav", cwd=work)
    assert text.returncode == 1 and text.stdout.count("  duration ") == 2
    assert text.stderr == "kavri: error: nosuch.wav: no such file\n"
    listed = run_kavri("meter", "--json", "text.wav", "in.wav", cwd=work)
    assert listed.returncode == 1 and listed.stderr.startswith("kavri: error: text.wav: ")
    assert [reading["file"] for reading in json.loads(listed.stdout)] == ["in.wav"]
    # A raw take among other files, and an option between the names: the raw options made
    # every other name an error, a raw file's missing rate stopped the whole list, and a
    # name after an option was an "unrecognized argument".
    raw = ["--input-rate", "8000", "--input-channels", "1", "--encoding", "s16le"]
    (work / "take.raw").write_bytes(bytes(8000))
    mixed = run_kavri("meter", "in.wav", "--json", "take.raw", *raw, "in.wav", cwd=work)
    assert mixed.returncode == 0, mixed.stderr
    assert [r["file"] for r in json.loads(mixed.stdout)] == ["in.wav", "take.raw", "in.wav"]
    undescribed = run_kavri("meter", "take.raw", "in.wav", cwd=work)
    assert undescribed.returncode == 1 and undescribed.stdout.count("  duration ") == 1
    assert run_kavri("meter", "in.wav", *raw, cwd=work).stderr.startswith(
        "kavri: error: --input-rate and --input-channels describe raw input"
    )


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("buffered", [True, False])
def test_unwritable_standard_streams(work, run_kavri, buffered):
    # Buffered (as by default), the failure comes only when the output is flushed at the end.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env.update({} if buffered else {"PYTHONUNBUFFERED": "1"})
    gain = ["--effect", "gain"]
    with open("/dev/full", "w") as full:

        def run(*args, **streams):
            streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
            return run_kavri(*args, cwd=work, env=env, capture_output=False, **streams)

        for args in (
            ["presets", "vocal"],
            ["process", "in.wav", "out.wav", *gain],
            ["process", "in.wav", "-", *gain],  # the library's failure to write audio
        ):
            result = run(*args, stdout=full)
            assert result.returncode == 1 and "Traceback" not in result.stderr
            assert result.stderr.splitlines()[-1] == (
                "kavri: error: standard output: cannot write: No space left on device"
            )
        # Reports nobody can see do not fail a finished job; an error still does.
        done = run("process", "in.wav", "out.wav", *gain, stderr=full)
        assert done.returncode == 0 and "in.wav -> out.wav" in done.stdout
        assert run("process", "nosuch.wav", "o.wav", *gain, stderr=full).returncode == 1
