"""The effect catalogue against the engine: every default, key and clamp it lists must be
what the effects themselves do, so the Python side cannot drift from the native code."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from kavri import EFFECTS, process_pipeline
from kavri.catalogue import ENGINE_TYPES, NOISE_TYPES, ROOM_TYPES, STEP_TYPES

RATE = 48_000
NOT_BUILT = "is not available in this build yet"
README = Path(__file__).resolve().parent.parent / "README.md"

# Context keys that let another key act: a peaking or shelf filter with 0 dB gain is an
# identity whatever its frequency, q or slope, so those are checked with some gain.
CONTEXT = {kind: {"gain_db": 6.0} for kind in ("peak_eq", "low_shelf", "high_shelf")}


def _mixed_signal() -> np.ndarray:
    """Two different channels of tones, noise and transients, with passages at every level:
    a loud crescendo, silence, quiet noise near -55 dBFS and very quiet noise near -95 dBFS,
    then a sustained tone with a decaying tail. Every threshold, time and frequency key of
    the catalogue acts somewhere on it."""
    rng = np.random.default_rng(2024)
    t = np.arange(int(1.6 * RATE)) / RATE
    tones = np.stack(
        [
            0.25 * np.sin(2 * np.pi * 220 * t)
            + 0.12 * np.sin(2 * np.pi * 2800 * t)
            + 0.08 * np.sin(2 * np.pi * 7000 * t),
            0.18 * np.sin(2 * np.pi * 330 * t + 1.0)
            + 0.1 * np.sin(2 * np.pi * 1000 * t)
            + 0.1 * np.sin(2 * np.pi * 9000 * t),
        ],
        axis=1,
    )
    noise = rng.standard_normal(tones.shape)
    envelope = np.zeros(t.size)
    crescendo = t < 0.5
    envelope[crescendo] = t[crescendo] / 0.5 * 1.6
    quiet = (t >= 0.65) & (t < 0.85)
    very_quiet = (t >= 0.85) & (t < 1.0)
    sustain = (t >= 1.0) & (t < 1.3)
    tail = t >= 1.3
    envelope[sustain] = 1.0
    envelope[tail] = np.exp(-(t[tail] - 1.3) / 0.05)
    audio = tones * envelope[:, None] + 0.05 * noise * envelope[:, None]
    audio[quiet] = 10 ** (-55 / 20) * noise[quiet]
    audio[very_quiet] = 10 ** (-95 / 20) * noise[very_quiet]
    for start in (0.1, 0.25, 0.4, 1.05, 1.2):  # clicks above full scale
        i = int(start * RATE)
        audio[i : i + 24] += np.array([1.3, -1.1]) * np.linspace(1, 0, 24)[:, None]
    return audio.astype(np.float32)


SIGNAL = _mixed_signal()


def context_for(effect_type: str, key: str) -> dict:
    return {k: v for k, v in CONTEXT.get(effect_type, {}).items() if k != key}


def run(spec: dict) -> np.ndarray:
    """The engine's output for one spec, skipping types this build does not have yet."""
    try:
        return process_pipeline(SIGNAL, RATE, [spec])
    except RuntimeError as error:
        if NOT_BUILT in str(error):
            pytest.skip(str(error))
        raise


# The engine's effects; the steps run in the front end and have tests of their own.
PARAMS = [(t, p) for t in ENGINE_TYPES for p in EFFECTS[t].params]
PARAM_IDS = [f"{t}.{p.key}" for t, p in PARAMS]


def perturbed(param) -> float | int:
    """A value inside the key's range, away from its default."""
    if param.integer:
        return param.default + 1
    value = param.default * 1.5 + 0.1
    if param.maximum is not None and value > param.maximum:
        low = param.minimum if param.minimum is not None else param.default - 1.0
        value = (low + param.default) / 2
    return value


def test_catalogue_lists_the_engine_types():
    assert len(ENGINE_TYPES) == 29
    assert set(EFFECTS) == set(ENGINE_TYPES) | set(STEP_TYPES) | set(NOISE_TYPES) | set(ROOM_TYPES)
    with pytest.raises(RuntimeError, match=r"^Unknown effect type: reverb$"):
        process_pipeline(SIGNAL[:8], RATE, [{"type": "reverb"}])
    # The steps are the front end's, never the engine's.
    for step_type in STEP_TYPES:
        assert EFFECTS[step_type].step and EFFECTS[step_type].family == "steps"
        with pytest.raises(RuntimeError, match="Unknown effect type"):
            process_pipeline(SIGNAL[:8], RATE, [{"type": step_type}])
    for step_type in (*NOISE_TYPES, *ROOM_TYPES):
        assert EFFECTS[step_type].step and EFFECTS[step_type].family in ("noise", "rooms")
        with pytest.raises(RuntimeError, match="Unknown effect type"):
            process_pipeline(SIGNAL[:8], RATE, [{"type": step_type}])
    for effect_type in ENGINE_TYPES:
        try:
            process_pipeline(SIGNAL[:8], RATE, [{"type": effect_type}])
        except RuntimeError as error:
            assert NOT_BUILT in str(error), effect_type


@pytest.mark.parametrize(("effect_type", "param"), PARAMS, ids=PARAM_IDS)
def test_default_gives_the_engine_bits(effect_type, param):
    context = context_for(effect_type, param.key)
    omitted = run({"type": effect_type, **context})
    given = run({"type": effect_type, **context, param.key: param.default})
    assert np.array_equal(omitted, given, equal_nan=True)
    # The default must be the engine's single-precision value itself, not a nearby double.
    assert isinstance(param.default, int) or float(np.float32(param.default)) == param.default


@pytest.mark.parametrize(("effect_type", "param"), PARAMS, ids=PARAM_IDS)
def test_every_listed_key_is_read(effect_type, param):
    # A non-number fails only if the effect reads the key at all.
    run({"type": effect_type})
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'str'>"):
        process_pipeline(SIGNAL[:8], RATE, [{"type": effect_type, param.key: "x"}])


@pytest.mark.parametrize(("effect_type", "param"), PARAMS, ids=PARAM_IDS)
def test_live_keys_change_the_sound(effect_type, param):
    context = context_for(effect_type, param.key)
    base = run({"type": effect_type, **context})
    changed = run({"type": effect_type, **context, param.key: perturbed(param)})
    if param.inert:
        assert np.array_equal(base, changed, equal_nan=True)
    else:
        assert not np.array_equal(base, changed, equal_nan=True)


CLAMPED = [
    (t, p, side)
    for t, p in PARAMS
    for side in ("low", "high")
    if (p.minimum if side == "low" else p.upper_bound(RATE)) is not None
]


@pytest.mark.parametrize(
    ("effect_type", "param", "side"), CLAMPED, ids=[f"{t}.{p.key}.{s}" for t, p, s in CLAMPED]
)
def test_range_is_the_engine_clamp(effect_type, param, side):
    context = context_for(effect_type, param.key)
    if side == "low":
        bound = param.minimum
        beyond = (
            bound - 5
            if param.integer
            else (bound / 2 if param.absolute else bound - max(1.0, abs(bound)))
        )
    else:
        bound = param.upper_bound(RATE)
        beyond = bound + max(1.0, abs(bound))
    at_bound = run({"type": effect_type, **context, param.key: bound})
    outside = run({"type": effect_type, **context, param.key: beyond})
    assert np.array_equal(at_bound, outside, equal_nan=True)


def test_listed_values_from_the_effect_definitions():
    assert EFFECTS["lowpass"].param("q").default_text() == "0.70710677"
    assert EFFECTS["clip"].param("threshold").default == float(np.float32(0.98))
    assert EFFECTS["lowpass"].param("frequency_hz").upper_bound(48_000) == 23_952.0
    assert EFFECTS["rotary_speaker"].param("crossover_hz").upper_bound(8) == 5.0
    assert EFFECTS["phaser"].param("stages").default == 4
