"""The native module's surface: import, signature, argument conversion and the checks."""

import glob
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kavri
from kavri import _kavri_core, _kavri_stream, process_pipeline

STEREO = np.array([[0.25, -0.5], [1.0, 0.0], [-1.0, 0.125]], dtype=np.float32)
CAST_ERROR = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


def module_path() -> str:
    return _kavri_core.__file__


def test_module_identity():
    assert _kavri_core.__doc__ == "Native DSP core for Kavri."
    assert [n for n in dir(_kavri_core) if not n.startswith("__")] == ["process_pipeline"]
    assert kavri.process_pipeline is _kavri_core.process_pipeline
    assert kavri.__version__ == "0.1.0"
    # The package is used as installed, with its type information beside it.
    package = Path(kavri.__file__).parent
    assert "site-packages" in package.parts
    assert (package / "py.typed").exists() and (package / "_kavri_core.pyi").exists()


def test_only_the_entry_point_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module_path()], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__kavri_core"]


def test_stream_module_surface():
    # The stream, the memory check, the worker rule, the level meter and the true-peak
    # meter's oversampling, batches with their lane widths, the native draw, the rooms
    # (convolution, reverb) and the noise colours' sections live in a module of its own, which
    # exports nothing but its entry point.
    assert _kavri_stream.__doc__ == "Native streaming DSP for Kavri."
    assert [n for n in dir(_kavri_stream) if not n.startswith("__")] == [
        "Convolver",
        "LevelMeter",
        "RandomDraw",
        "Reverb",
        "Stream",
        "TruePeak",
        "check_memory",
        "chosen_lane_width",
        "filter_sections",
        "lane_widths",
        "process_batch",
        "useful_workers",
    ]
    assert (Path(kavri.__file__).parent / "_kavri_stream.pyi").exists()
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _kavri_stream.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [
        "PyInit__kavri_stream"
    ]


def _other_interpreters():
    root = (
        subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        if subprocess.run(["which", "pyenv"], capture_output=True).returncode == 0
        else ""
    )
    found = []
    for pattern in (
        f"{root}/versions/3.13*/bin/python3.13",
        f"{root}/versions/3.11*/bin/python3.11",
    ):
        found += sorted(glob.glob(pattern))[-1:]
    return found


MODULES = [_kavri_core, _kavri_stream]


def _load_code(module) -> str:
    """Python code that loads one extension module from its file alone, printing any ImportError."""
    name = module.__name__.rsplit(".", 1)[-1]
    return (
        "import importlib.machinery, importlib.util, sys\n"
        f"loader = importlib.machinery.ExtensionFileLoader({name!r}, {module.__file__!r})\n"
        f"spec = importlib.util.spec_from_file_location({name!r}, loader.path, loader=loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    print(sys.version)\n"
    )


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
@pytest.mark.parametrize("python", _other_interpreters() or [None])
def test_other_interpreters_are_refused(python, module):
    if python is None:
        pytest.skip("no other CPython on this machine")
    out = subprocess.run(
        [python, "-c", _load_code(module)], capture_output=True, text=True, timeout=60
    ).stdout
    message, version = out.split("\n", 1)
    if "undefined symbol" in message:
        # This interpreter lacks a C API symbol the module links against, so the dynamic
        # loader refuses it before the entry point runs: refused all the same.
        return
    assert message == (
        "Python version mismatch: module was compiled for Python 3.12, but the "
        f"interpreter version is incompatible: {version.strip()}."
    )


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_sub_interpreters_are_refused(module):
    code = (
        "import _xxsubinterpreters as interpreters\n"
        "interp = interpreters.create()\n"
        "try:\n"
        f"    interpreters.run_string(interp, {_load_code(module)!r})\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
        "interpreters.destroy(interp)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "does not support loading in subinterpreters" in out.stdout


def _run_code(module) -> str:
    """Python code that loads and runs one extension module from its file alone, writing
    the ImportError it raises to standard output."""
    name = module.__name__.rsplit(".", 1)[-1]
    return (
        "import importlib.machinery, importlib.util, os\n"
        f"loader = importlib.machinery.ExtensionFileLoader({name!r}, {module.__file__!r})\n"
        f"spec = importlib.util.spec_from_file_location({name!r}, loader.path, loader=loader)\n"
        "try:\n"
        "    loader.exec_module(importlib.util.module_from_spec(spec))\n"
        "except ImportError as e:\n"
        "    os.write(1, str(e).encode())\n"
    )


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_legacy_sub_interpreters_are_refused(module):
    # A sub-interpreter that shares the main interpreter's lock loads modules that declare
    # they do not support sub-interpreters; the module refuses it itself.
    code = (
        "import _xxsubinterpreters as interpreters\n"
        "interp = interpreters.create(isolated=False)\n"
        f"interpreters.run_string(interp, {_run_code(module)!r})\n"
        "interpreters.destroy(interp)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    name = module.__name__.rsplit(".", 1)[-1]
    assert out.stdout == (
        f"{name} does not support loading in subinterpreters; import it in the main interpreter."
    )
    # The main interpreter is untouched by the refusal.
    assert np.array_equal(process_pipeline(STEREO, 48000, []), STEREO)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((STEREO, 48000.0, []), {}),  # a whole float is still a float
        ((STEREO, 48000, ()), {}),  # a tuple is not a list
        ((STEREO, 48000, [], -1), {}),
        ((STEREO, 48000, [], 2048, -1), {}),
        ((STEREO, 48000, [], 2**64), {}),
        ((STEREO, 48000, [], 2048, 2**32), {}),
        ((STEREO, 2**31, []), {}),
        (([["a", "b"]], 48000, []), {}),
        ((STEREO, "48000", []), {}),
    ],
)
def test_unconvertible_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        process_pipeline(*args, **kwargs)


@pytest.mark.parametrize(
    "audio, rate, message",
    [
        (
            np.zeros(8, np.float32),
            0,
            "Audio buffers must have exactly 2 dimensions: (frames, channels).",
        ),
        (3.0, 48000, "Audio buffers must have exactly 2 dimensions: (frames, channels)."),
        (
            np.zeros((2, 2, 2), np.float32),
            48000,
            "Audio buffers must have exactly 2 dimensions: (frames, channels).",
        ),
        (np.zeros((4, 0), np.float32), 0, "sample_rate must be positive."),
        (np.zeros((4, 2), np.float32), -44100, "sample_rate must be positive."),
        (np.zeros((4, 0), np.float32), 48000, "Audio buffers must have at least one channel."),
        (
            np.zeros((0, 2**31), np.float32),
            48000,
            "Audio buffers must have at most 2147483647 channels.",
        ),
        # A count that would wrap to 0 in 32 bits is refused as too wide, not as empty.
        (
            np.zeros((0, 2**32), np.float32),
            48000,
            "Audio buffers must have at most 2147483647 channels.",
        ),
    ],
)
def test_checks_in_order(audio, rate, message):
    with pytest.raises(RuntimeError) as info:
        process_pipeline(audio, rate, [{"type": "no such effect"}])
    assert str(info.value) == message


def test_keywords_in_any_order_and_numeric_kinds():
    out = process_pipeline(
        specs=[{"type": "gain", "db": 6}],
        input=STEREO,
        sample_rate=np.int64(8000),
        workers=np.uint8(2),
        block_size=True,
    )
    assert np.array_equal(out, STEREO * np.float32(1.9952624))


def test_cast_error_text():
    with pytest.raises(RuntimeError) as info:
        process_pipeline(STEREO, 48000, [{"type": "gain", "db": "6"}])
    assert str(info.value) == CAST_ERROR.format("<class 'str'>")


def test_a_malformed_random_draw_form_is_refused_not_a_crash():
    # The form was read as tuples unchecked: a number for the params, a fallback past the
    # items or more weights than items crashed the process (SIGSEGV, SIGBUS).
    gain = (0, None, "gain", ())
    deep = gain
    for _ in range(1000):
        deep = (1, None, 1.0, [1.0], 0, (deep,))
    for form, message in (
        ((0, None, "gain", 5), "params must be a tuple"),
        ([0, None, "gain", ()], "an item must be a tuple"),
        ((1, None, 1.0, [], 5, ()), "a one_of needs items"),
        ((1, None, 3.0, [1.0, 1.0, 1.0], 0, (gain,)), "a weight for each"),
        ((2, None, 3, 1, (gain,)), "counts must lie within its items"),
        ((0, None, "gain", (("db", 3, (5, 1)),)), "range is out of order"),
        ((0, None, "gain", (("db", 5, ()),)), "a choice must have at least 1"),
        (deep, "nests deeper than 200 levels"),
    ):
        with pytest.raises((TypeError, ValueError), match=message):
            _kavri_stream.RandomDraw((form,)).sample(0, 0)
    assert _kavri_stream.RandomDraw((gain,)).sample(0, 0) == [{"type": "gain"}]
    # The widest whole-number range: its count of values (2^63) overflowed, and every draw
    # came out 0.
    widest = _kavri_stream.RandomDraw(((0, None, "gain", (("k", 3, (0, 2**63 - 1)),)),))
    assert any(widest.sample(0, index)[0]["k"] > 2**40 for index in range(4))
