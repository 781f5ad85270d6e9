"""Reading effect specs: the dispatch by "type", the two parameter readers and their errors."""

import decimal

import numpy as np
import pytest

from kavri import process_pipeline

SIGNAL = np.array([[0.5, -0.25], [1.0, 2.0], [-3.0, 0.0]], dtype=np.float32)
CAST_ERROR = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)
# The engine's types written out, not read from the package: the native module is held to
# this list.
TYPES = [
    "gain",
    "clip",
    "distortion",
    "tremolo",
    "delay",
    "ping_pong_delay",
    "chorus",
    "flanger",
    "vibrato",
    "auto_pan",
    "phaser",
    "dynamic_eq",
    "rotary_speaker",
    "lowpass",
    "highpass",
    "bandpass",
    "notch",
    "peak_eq",
    "low_shelf",
    "high_shelf",
    "compressor",
    "upward_compression",
    "limiter",
    "expander",
    "noise_gate",
    "deesser",
    "transient_shaper",
    "pan",
    "stereo_width",
]


def run(*specs, audio=SIGNAL):
    return process_pipeline(audio, 48000, list(specs))


def runtime_message(*specs) -> str:
    with pytest.raises(RuntimeError) as info:
        run(*specs)
    return str(info.value)


@pytest.mark.parametrize("name", TYPES)
def test_every_type_name_builds(name):
    out = run({"type": name})
    assert out.dtype == np.float32 and out.shape == SIGNAL.shape


@pytest.mark.parametrize(
    "spec, message",
    [
        ({"db": 3}, "Effect spec is missing the 'type' field."),
        ({"type": "Gain"}, "Unknown effect type: Gain"),
        ({"type": "gain "}, "Unknown effect type: gain "),
        ({"type": ""}, "Unknown effect type: "),
        ({"type": "reverb"}, "Unknown effect type: reverb"),
        # Bytes that are not UTF-8, and NULs, are escaped so the message stays whole text.
        ({"type": b"\x80gain"}, "Unknown effect type: \\x80gain"),
        ({"type": "ga\x00in"}, "Unknown effect type: ga\\x00in"),
        ({"type": 5}, CAST_ERROR.format("<class 'int'>")),
        ({"type": None}, CAST_ERROR.format("<class 'NoneType'>")),
        ({"type": "\udc80"}, CAST_ERROR.format("<class 'str'>")),
        ({"type": "gain", "db": None}, CAST_ERROR.format("<class 'NoneType'>")),
        ({"type": "gain", "db": "6"}, CAST_ERROR.format("<class 'str'>")),
        ({"type": "gain", "db": 1j}, CAST_ERROR.format("<class 'complex'>")),
        ({"type": "gain", "db": 10**400}, CAST_ERROR.format("<class 'int'>")),
        ({"type": "lowpass", "stages": 4.0}, CAST_ERROR.format("<class 'float'>")),
        ({"type": "lowpass", "stages": 2**31}, CAST_ERROR.format("<class 'int'>")),
        # Every key is read, even one the filter kind ignores.
        ({"type": "lowpass", "gain_db": "loud"}, CAST_ERROR.format("<class 'str'>")),
    ],
)
def test_spec_errors(spec, message):
    assert runtime_message(spec) == message


def test_type_as_bytes_and_pairs():
    expected = run({"type": "gain", "db": 6.0})
    assert np.array_equal(run({"type": b"gain", "db": 6.0}), expected)
    assert np.array_equal(run({"type": bytearray(b"gain"), "db": 6.0}), expected)
    assert np.array_equal(run([("type", "gain"), ("db", 6.0)]), expected)
    assert np.array_equal(run({"type": "gain", "db": 6}), expected)
    assert np.array_equal(run({"type": "gain", "db": decimal.Decimal(6)}), expected)
    assert np.array_equal(
        run({"type": "gain", "db": 3, "dB": 40, "colour": "red"}), run({"type": "gain", "db": 3.0})
    )


def test_bools_and_truncation():
    assert np.array_equal(run({"type": "gain", "db": True}), run({"type": "gain", "db": 1.0}))
    assert np.array_equal(run({"type": "lowpass", "stages": True}), run({"type": "lowpass"}))
    assert np.array_equal(
        run({"type": "lowpass", "stages": decimal.Decimal("2.7")}),
        run({"type": "lowpass", "stages": 2}),
    )


def test_float_beyond_float32_reads_as_infinity():
    out = run({"type": "gain", "db": 1e300})
    with np.errstate(invalid="ignore"):
        expected = SIGNAL * np.float32(np.inf)
    assert np.array_equal(out, expected, equal_nan=True)


def test_item_that_dict_refuses():
    with pytest.raises(TypeError):
        run(None)
    with pytest.raises(ValueError):
        run([("type",)])


class Exploding(dict):
    def __getitem__(self, key):
        raise KeyError(f"no access to {key}")


class NoFloat:
    def __float__(self):
        raise ZeroDivisionError("float refused")


def test_python_errors_during_reading_propagate():
    with pytest.raises(KeyError, match="no access to type"):
        run(Exploding(type="gain"))
    # A failing float conversion is a failed cast, not the conversion's own error.
    assert runtime_message({"type": "gain", "db": NoFloat()}) == CAST_ERROR.format(
        "<class 'test_factory.NoFloat'>"
    )


def test_dict_item_is_not_changed():
    pairs = [("type", "gain"), ("db", 6.0)]
    spec = {"type": "gain", "db": 6.0}
    run(pairs, spec)
    assert pairs == [("type", "gain"), ("db", 6.0)] and spec == {"type": "gain", "db": 6.0}


def test_first_failing_spec_ends_the_call():
    before = SIGNAL.copy()
    with pytest.raises(RuntimeError, match="Unknown effect type: reverb"):
        run({"type": "gain", "db": 6.0}, {"type": "reverb"}, {"type": "gain"})
    assert np.array_equal(SIGNAL, before)


def test_list_changed_while_reading():
    specs = [{"type": "gain", "db": 6.0}]

    class Grows:
        def __float__(self):
            specs.append({"type": "gain", "db": 6.0})
            return 0.0

    class Shrinks:
        def __float__(self):
            specs.clear()
            return 6.0

    # Items are read by index against the list's current length.
    specs.insert(0, {"type": "gain", "db": Grows()})
    assert np.array_equal(process_pipeline(SIGNAL, 48000, specs), run({"type": "gain", "db": 12.0}))
    specs[:] = [{"type": "gain", "db": Shrinks()}, {"type": "reverb"}]
    assert np.array_equal(process_pipeline(SIGNAL, 48000, specs), run({"type": "gain", "db": 6.0}))
